#!/usr/bin/env python3
"""End-to-end runs of the Windows build under Wine, against the simulator.

  wine_e2e.py prefix --prefix DIR
      makes a fresh Wine prefix and keeps a copy of its pristine registry
  wine_e2e.py fixture --prefix DIR --exe EXE --raw-helper EXE --sim SIM --model MODEL MACHINE.json
      plants the machine in the pristine registry, runs every mode of the
      exe under Wine and checks it against the simulator and against the
      reference model (which shares no code with the program), run by run:
      their output with each "\\n" as "\\r\\n" must equal Wine's byte for
      byte, with the same exit status, nothing on standard error and the
      same driver values; no other driver key may change.
      Exits 77 (skipped) for a machine that Wine cannot express.
  wine_e2e.py demo --prefix DIR --exe EXE --raw-helper EXE [--fleet EXE] MACHINE.json
      plants the machine, runs the exe with no argument, "a" and "d" (and
      the fleet tool's check and apply), and shows the driver values
      afterwards as reg query reads them
  wine_e2e.py same --prefix DIR --raw-helper EXE MACHINE.json EXE EXE
      plants the machine, runs both exes with no argument, "a" and "d" and
      checks that they print the same bytes with the same exit status
  wine_e2e.py stop --prefix DIR
      stops the prefix's Wine server
  wine_e2e.py unpack --prefix DIR ZIP
      unpacks a release zip into DIR, fresh: the tests run the exes that ship
"""
import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
import zipfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "fixtures"))
import transcript  # noqa: E402

# Both from the wine64 package, which installs them off PATH.
WINE = "/usr/lib/wine/wine64"
WINESERVER = "/usr/lib/wine/wineserver"
SKIPPED = 77

ENUM_PCI = r"System\CurrentControlSet\Enum\PCI"
CLASS = r"System\CurrentControlSet\Control\Class"
DEFAULT_CLASS_GUID = "{4d36e96c-e325-11ce-bfc1-08002be10318}"
REG_TYPES = {"REG_SZ": 1, "REG_BINARY": 3, "REG_DWORD": 4, "REG_MULTI_SZ": 7}


def wine_env(prefix):
    env = dict(os.environ)
    env.update(WINEPREFIX=os.path.abspath(prefix), WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")
    env.pop("DISPLAY", None)
    return env


# Every command this process ran, with what it gave back: a harness that
# gives up prints them, so that a failure explains itself.
HISTORY = []


def record(command, code, stdout=b"", stderr=b""):
    HISTORY.append(f"$ {' '.join(command)}\n  exit {code}; stdout {stdout[:300]!r}; stderr {stderr[:300]!r}")


def give_up(message):
    print("\n".join(["the commands run so far:"] + HISTORY[-40:]), file=sys.stderr)
    sys.exit(message)


# What Wine's launcher prints when it could not start the program at all;
# seen once in some 500 test runs, just after a server had started. The
# program never ran, so running it again hides nothing of its own.
NOT_STARTED = b"ShellExecuteEx failed"


def wine(prefix, *args):
    for attempt in range(3):
        # Output goes through files, not pipes: Wine's background processes
        # inherit the handles and would hold a pipe open for seconds.
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            code = subprocess.run([WINE, *args], env=wine_env(prefix), stdin=subprocess.DEVNULL, stdout=out,
                                  stderr=err, timeout=120).returncode
            out.seek(0)
            err.seek(0)
            result = subprocess.CompletedProcess(args, code, out.read(), err.read())
        record(["wine", *args], code, result.stdout, result.stderr)
        if code == 0 or NOT_STARTED not in result.stdout:
            break
        print(f"Wine could not start {args[0]} (attempt {attempt + 1}); again", file=sys.stderr)
    return result


def server(prefix, option, timeout=60):
    # Through files too: the server that "-p" leaves behind inherits them.
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        code = subprocess.run([WINESERVER, option], env=wine_env(prefix), stdin=subprocess.DEVNULL, stdout=out,
                              stderr=err, timeout=timeout).returncode
        out.seek(0)
        err.seek(0)
        result = subprocess.CompletedProcess([option], code, out.read(), err.read())
    record(["wineserver", option], code, result.stdout, result.stderr)
    return result


def prefix_processes(prefix):
    """Processes of this prefix that are still there: {pid: command line}."""
    wanted = b"WINEPREFIX=" + os.path.abspath(prefix).encode()
    found = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit() or int(entry) == os.getpid():
            continue
        try:
            with open(f"/proc/{entry}/environ", "rb") as f:
                if wanted not in f.read().split(b"\0"):
                    continue
            with open(f"/proc/{entry}/cmdline", "rb") as f:
                found[int(entry)] = f.read().replace(b"\0", b" ").decode(errors="replace").strip()
        except OSError:
            continue
    return found


def stop_server(prefix):
    """Stops the prefix's server and everything of the prefix's. A Wine
    process that was still starting when its server went (a 32-bit one under
    the emulator is slow to start) would otherwise start a server of its own,
    which then holds the prefix while the next run starts another."""
    server(prefix, "-k")
    server(prefix, "-w")
    for _ in range(50):
        left = prefix_processes(prefix)
        if not left:
            return
        record(["kill", *map(str, left)], 0, repr(left).encode())
        for pid in left:
            try:
                os.kill(pid, 9)
            except OSError:
                pass
        server(prefix, "-w")
        time.sleep(0.1)
    give_up(f"processes of {prefix} outlive their server: {prefix_processes(prefix)}")


def pristine_copy(prefix):
    return os.path.abspath(prefix) + ".pristine-system.reg"


def make_prefix(prefix):
    if os.path.isdir(prefix):
        stop_server(prefix)
    shutil.rmtree(prefix, ignore_errors=True)
    result = wine(prefix, "wineboot", "-i")
    stop_server(prefix)
    if not os.path.isfile(os.path.join(prefix, "system.reg")):
        give_up(f"wineboot made no registry in {prefix}: {result.stderr.decode(errors='replace')}")
    shutil.copyfile(os.path.join(prefix, "system.reg"), pristine_copy(prefix))


def start_server(prefix):
    """A server that stays up until it is stopped. Debian's wineserver exits
    as soon as its last process does (-p0), so every run would start one
    anew, possibly while the last one is still saving the registry; on a busy
    machine a run has then come back empty and a registry write has been
    lost. One server for all of a machine's runs has no such gaps."""
    # "wineserver -p" returns once its server holds the prefix's lock, or
    # with an error when another server does: one that a Wine process
    # started on its own in between. Stop that one and try again.
    for attempt in range(3):
        if server(prefix, "-p").returncode == 0:
            return
        stop_server(prefix)
    give_up("wineserver -p failed three times")


def reset_registry(prefix):
    stop_server(prefix)
    shutil.copyfile(pristine_copy(prefix), os.path.join(prefix, "system.reg"))
    start_server(prefix)


# --- what Wine can express ---------------------------------------------------

def simulator_only_reason(machine):
    if "faults" in machine:
        return "forced faults"
    for device in machine.get("devices", []):
        if "faults" in device:
            return "forced faults"
        if device.get("present", True) is False:
            return "an absent device (Wine lists every planted device as present)"
        if isinstance(device.get("driver"), dict):
            return "a driver name given as raw bytes"
        for value in device.get("driver_values", {}).values():
            if value["type"] not in (3, 4):
                return "a driver value that reg query cannot show exactly"
    return None


# --- planting ------------------------------------------------------------------

def reg_string(text):
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'


def reg_hex(kind, data):
    return f"hex({kind:x}):" + ",".join(f"{b:02x}" for b in data)


def device_key(index):
    # Wine lists devices in key order; its own adapter's key starts with VEN_.
    return rf"{ENUM_PCI}\XDEV{index:04d}\0"


def plant(prefix, machine, raw_helper):
    lines = ["REGEDIT4", ""]
    raw_values = []
    for index, device in enumerate(machine.get("devices", [])):
        key = device_key(index)
        driver = device.get("driver")
        class_guid = driver.split("\\")[0] if driver and driver.startswith("{") else DEFAULT_CLASS_GUID
        lines += [f"[HKEY_LOCAL_MACHINE\\{key}]", f'"ClassGUID"={reg_string(class_guid)}']
        for member, name, kind in (("hardware_ids", "HardwareID", 7), ("description", "DeviceDesc", 1),
                                   ("driver", "Driver", 1)):
            value = device.get(member)
            if value is None:
                continue
            if isinstance(value, dict):
                raw_values.append((key, name, value.get("type", kind), value["hex"]))
            elif member == "hardware_ids":
                lines.append(f'"{name}"=' + reg_hex(7, b"".join(s.encode("latin-1") + b"\0" for s in value) + b"\0"))
            else:
                lines.append(f'"{name}"={reg_string(value)}')
        lines.append("")
        if driver:
            lines.append(f"[HKEY_LOCAL_MACHINE\\{CLASS}\\{driver}]")
            for name, value in device.get("driver_values", {}).items():
                lines.append(f"{reg_string(name)}=" + reg_hex(value["type"], bytes.fromhex(value["data"])))
            lines.append("")
    reg_file = os.path.join(prefix, "drive_c", "machine.reg")
    with open(reg_file, "w", newline="\r\n", encoding="latin-1") as f:
        f.write("\n".join(lines) + "\n")
    result = wine(prefix, "regedit", "/S", r"C:\machine.reg")
    if result.returncode != 0:
        give_up(f"regedit failed: {result.stderr.decode(errors='replace')}")
    for key, name, kind, data in raw_values:
        result = wine(prefix, raw_helper, key, name, str(kind), data)
        if result.returncode != 0:
            give_up(f"set_raw_value failed: {result.stderr.decode(errors='replace')}")


# --- reading back ----------------------------------------------------------------

def class_keys(prefix):
    """Every key under Control\\Class: {key (lower case): {name: (type, data as shown)}}."""
    for attempt in range(2):
        result = wine(prefix, "reg", "query", rf"HKLM\{CLASS}", "/s")
        if result.returncode == 0 and result.stdout.startswith(b"\r\nHKEY_"):
            break
        # Seen once on a freshly made prefix: a read that came back empty.
        print(f"reg query failed ({result.returncode}): {result.stdout[:200]!r} {result.stderr[:500]!r}",
              file=sys.stderr)
    else:
        give_up("reg query failed twice")
    keys, current = {}, None
    for line in result.stdout.decode("latin-1").split("\r\n"):
        if line.startswith("HKEY_"):
            current = keys.setdefault(line.lower(), {})
        elif line.startswith("    ") and current is not None:
            parts = line[4:].split("    ")
            current[parts[0]] = (parts[1], parts[2] if len(parts) > 2 else "")
    return keys


def as_bytes(kind, shown):
    if kind == "REG_BINARY":
        return shown.lower()
    if kind == "REG_DWORD":
        return int(shown, 16).to_bytes(4, "little").hex()
    raise ValueError(f"cannot compare a {kind} value")


# Wine rewrites its display adapter's key (a driver date) whenever its server
# starts; that class belongs to Wine, never to a planted device.
WINE_DISPLAY_CLASS = rf"hkey_local_machine\{CLASS}\{{4d36e968-e325-11ce-bfc1-08002be10318}}".lower()


def driver_key_name(driver):
    return rf"hkey_local_machine\{CLASS}\{driver}".lower()


def fixture_values(keys, machine):
    values = {}
    for index, device in enumerate(machine.get("devices", [])):
        driver = device.get("driver")
        found = keys.get(driver_key_name(driver), {}) if driver else {}
        if found:
            values[index] = {name: (REG_TYPES[kind], as_bytes(kind, shown)) for name, (kind, shown) in found.items()}
    return values


# --- the runs ----------------------------------------------------------------------

def check_fixture(options):
    with open(options.machine) as f:
        machine = json.load(f)
    name = os.path.basename(options.machine)
    reason = simulator_only_reason(machine)
    if reason:
        print(f"{name}: simulator only: {reason}")
        return SKIPPED

    with open(pristine_copy(options.prefix), encoding="latin-1") as f:
        pristine = f.read().lower()
    for device in machine.get("devices", []):
        key = rf"[{CLASS}\{device['driver']}]".replace("\\", "\\\\").lower() if device.get("driver") else None
        if key and key in pristine:
            sys.exit(f"{name}: driver key {device['driver']} is one of Wine's own; choose another")

    expected_runs = transcript.simulate(options.sim, options.machine)
    model_runs = transcript.simulate(options.model, options.machine)
    reset_registry(options.prefix)
    plant(options.prefix, machine, options.raw_helper)
    own_keys = {driver_key_name(d["driver"]) for d in machine.get("devices", []) if d.get("driver")}

    def other_keys(keys):
        return {k: v for k, v in keys.items() if k not in own_keys and not k.startswith(WINE_DISPLAY_CLASS)}

    before = other_keys(class_keys(options.prefix))

    failures = []
    for expected, modelled in zip(expected_runs, model_runs):
        result = wine(options.prefix, options.exe, *expected.args)
        keys = class_keys(options.prefix)
        actual = transcript.Run(expected.args, expected.chained, result.stdout.replace(b"\r\n", b"\n"),
                                result.returncode, fixture_values(keys, machine))
        title = expected.title()
        if result.stderr:
            failures.append(f"{title}: standard error: {result.stderr!r}")
        for label, wanted in (("simulator", expected), ("model", modelled)):
            if result.stdout != wanted.stdout.replace(b"\n", b"\r\n"):
                failures.append(f"{title}: output differs\n--- {label}\n{wanted.stdout!r}\n--- Wine\n{result.stdout!r}")
            if actual.status != wanted.status:
                failures.append(f"{title}: exit status {actual.status}, {label} {wanted.status}")
            if actual.values != wanted.values:
                failures.append(f"{title}: driver values {actual.values}, {label} {wanted.values}")
        others = other_keys(keys)
        if others != before:
            changed = sorted(k for k in set(others) | set(before) if others.get(k) != before.get(k))
            failures.append(f"{title}: other driver keys changed: {changed}")

    for failure in failures:
        print(f"{name}: {failure}")
    if failures:
        print("\n".join(["the commands run:"] + HISTORY))
    else:
        print(f"{name}: Wine, the simulator and the model agree on {len(expected_runs)} runs")
    return 1 if failures else 0


def demo(options):
    with open(options.machine) as f:
        machine = json.load(f)
    if not os.path.isfile(pristine_copy(options.prefix)):
        make_prefix(options.prefix)
    reset_registry(options.prefix)
    plant(options.prefix, machine, options.raw_helper)
    sys.stdout.buffer.write(f"Running {options.exe} under Wine on {options.machine}\n\n".encode())
    for args in ([], ["a"], ["d"]):
        result = wine(options.prefix, options.exe, *args)
        sys.stdout.buffer.write(" ".join(["$ ondavipci"] + args).encode() + b"\n" + result.stdout.replace(b"\r\n", b"\n"))
        sys.stdout.buffer.write(result.stderr)
        sys.stdout.buffer.write(f"(exit status {result.returncode})\n\n".encode())
    if options.fleet:
        # The fleet tool on the machine as "d" left it: compliant, nothing to write.
        for args in (["check"], ["apply"]):
            result = wine(options.prefix, options.fleet, *args)
            sys.stdout.buffer.write(" ".join(["$ ondavipci-fleet"] + args).encode() + b"\n" +
                                    result.stdout.replace(b"\r\n", b"\n") + result.stderr +
                                    f"(exit status {result.returncode})\n\n".encode())
    sys.stdout.buffer.write(b"Driver values after \"d\", read back with reg query:\n")
    for device in machine.get("devices", []):
        if device.get("driver"):
            result = wine(options.prefix, "reg", "query", rf"HKLM\{CLASS}\{device['driver']}")
            shown = result.stdout.replace(b"\r\n", b"\n").strip(b"\n")
            if b"\n    " in shown:
                sys.stdout.buffer.write(shown + b"\n\n")
    stop_server(options.prefix)
    return 0


def same(options):
    with open(options.machine) as f:
        machine = json.load(f)
    if not os.path.isfile(pristine_copy(options.prefix)):
        make_prefix(options.prefix)
    failures = []
    for args in ([], ["a"], ["d"]):
        results = []
        for exe in options.exes:
            reset_registry(options.prefix)
            plant(options.prefix, machine, options.raw_helper)
            results.append(wine(options.prefix, exe, *args))
        first, second = results
        title = " ".join(["ondavipci"] + args)
        if not first.stdout or (first.stdout, first.returncode) != (second.stdout, second.returncode):
            failures.append(f"{title}: {first.stdout!r} (status {first.returncode}) and "
                            f"{second.stdout!r} (status {second.returncode})")
        else:
            print(f"{title}: the same {len(first.stdout)} bytes, exit status {first.returncode}")
    stop_server(options.prefix)
    for failure in failures:
        print(f"differ: {failure}")
    return 1 if failures else 0


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("command", choices=["prefix", "fixture", "demo", "same", "stop", "unpack"])
    parser.add_argument("--prefix", required=True)
    parser.add_argument("--exe")
    parser.add_argument("--raw-helper")
    parser.add_argument("--fleet", help="the demo also runs this ondavipci-fleet.exe")
    parser.add_argument("--sim")
    parser.add_argument("--model", help="the reference model, ondavipci-model")
    parser.add_argument("machine", nargs="?")
    parser.add_argument("exes", nargs="*")
    options = parser.parse_intermixed_args()
    if options.command == "prefix":
        make_prefix(options.prefix)
        return 0
    if options.command == "stop":
        stop_server(options.prefix)
        return 0
    if options.command == "unpack":
        if not os.path.isfile(options.machine):
            sys.exit(f"{options.machine} is missing: scripts/release makes it")
        shutil.rmtree(options.prefix, ignore_errors=True)
        with zipfile.ZipFile(options.machine) as package:
            package.extractall(options.prefix)
        print(f"unpacked {options.machine} into {options.prefix}: {sorted(os.listdir(options.prefix))}")
        return 0
    if options.command == "demo":
        return demo(options)
    if options.command == "same":
        return same(options)
    return check_fixture(options)


if __name__ == "__main__":
    sys.exit(main())
