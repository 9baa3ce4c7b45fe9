#!/usr/bin/env python3
"""seed_corpus.py OUT_DIR MACHINE.json...: the fuzzer's seed inputs, one for
each machine file and mode, in the input format of fuzz_program.cpp."""
import hashlib
import json
import os
import struct
import sys

MODES = [b"\x00", b"\x01", b"\x02", b"\x03", b"\x04", b"\x05\x01x"]
VALUE_NAMES = {"Enable Phone": 0, "Default Phone Mute State": 1}
FAULT_BITS = ["hardware_id", "description", "driver", "open_key"]


def u16_bytes(data):
    data = data[:699]
    return struct.pack("<H", len(data)) + data


def property_form(value, is_list):
    if value is None:
        return 0, b""
    if isinstance(value, dict):
        return 2, u16_bytes(bytes.fromhex(value["hex"]))
    if is_list:
        strings = value[:3]
        return 1, bytes([len(strings)]) + b"".join(u16_bytes(s.encode("latin-1")) for s in strings)
    return 1, u16_bytes(value.encode("latin-1"))


def device(d):
    flags = 0 if d.get("present", True) else 1
    body = b""
    for shift, member in ((1, "hardware_ids"), (3, "description"), (5, "driver")):
        form, data = property_form(d.get(member), member == "hardware_ids")
        flags |= form << shift
        body += data
    values = list(d.get("driver_values", {}).items())[:3]
    body += bytes([len(values)])
    for name, value in values:
        data = bytes.fromhex(value["data"])[:255]
        body += bytes([VALUE_NAMES.get(name, 2), value["type"] & 0xFF, len(data)]) + data
    faults = d.get("faults", {})
    mask, codes = 0, b""
    for bit, member in enumerate(FAULT_BITS):
        if member in faults:
            mask |= 1 << bit
            codes += struct.pack("<I", faults[member])
    for bit, name in ((4, "Enable Phone"), (5, "Default Phone Mute State")):
        if name in faults.get("set_value", {}):
            mask |= 1 << bit
            codes += struct.pack("<I", faults["set_value"][name])
    return bytes([flags]) + body + bytes([mask]) + codes


def machine(m):
    faults = m.get("faults", {})
    mask, body = 0, b""
    if "open_set" in faults:
        mask |= 1
        body += struct.pack("<I", faults["open_set"])
    if "enum" in faults:
        mask |= 2
        body += bytes([faults["enum"]["index"] & 0xFF]) + struct.pack("<I", faults["enum"]["code"])
    devices = m.get("devices", [])[:8]
    return bytes([mask]) + body + bytes([len(devices)]) + b"".join(device(d) for d in devices)


def main():
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    for path in sys.argv[2:]:
        with open(path) as f:
            encoded = machine(json.load(f))
        for mode in MODES:
            data = mode + encoded
            with open(os.path.join(out, hashlib.sha1(data).hexdigest()), "wb") as f:
                f.write(data)


if __name__ == "__main__":
    main()
