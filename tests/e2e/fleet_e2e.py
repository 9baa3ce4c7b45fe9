#!/usr/bin/env python3
"""ondavipci-fleet.exe and the shim ondavipci-apply.cmd under Wine, against
the simulator.

  fleet_e2e.py --prefix DIR --shipped DIR --raw-helper EXE --sim SIM --fixtures DIR [--cmd32] [--only fleet|shim]

Copies the fleet tool and shim of an unpacked release zip into the prefix
(C:\\ondavipci). Each
case plants a machine in the prefix's pristine registry and goes through its
steps: a verb of the fleet tool, run under Wine and by the simulator on the
same machine, whose JSON (parsed) must be the same, with the same exit code;
or a change made to both machines (a value deleted, the device's driver key
re-pointed, a folder replaced by a link). The shim's exit codes are read by a
caller inside Wine, since Linux sees a Windows exit code modulo 256. Every
step is printed with what it ran, what it got and what it wanted. Uses a
prefix made by wine_e2e.py prefix.
"""
import argparse
import copy
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import wine_e2e  # noqa: E402

ENABLE, MUTE = "Enable Phone", "Default Phone Mute State"
TOOL_DIR = os.path.join("drive_c", "ProgramData", "Ondavi")
LOG = os.path.join(TOOL_DIR, "ondavipci", "apply.log")
VICTIM = os.path.join("drive_c", "victimdir")
CMD32 = r"C:\windows\syswow64\cmd.exe"
# The caller inside Wine that reads the shim's whole exit code.
RUNNER = "@echo off\r\ncmd /c C:\\ondavipci\\ondavipci-apply.cmd\r\necho shim-exit=%errorlevel%\r\n"


class Case:
    def __init__(self, options, name, machine):
        self.options, self.name = options, name
        self.wine_machine = machine          # what was planted in Wine
        self.sim_machine = copy.deepcopy(machine)  # the simulator's machine, as it stands
        self.steps, self.failures, self.summary = [], [], []

    @property
    def prefix(self):
        return self.options.prefix

    def note(self, text):
        self.steps.append(text)

    def fail(self, text):
        self.failures.append(text)
        self.steps.append("  FAILED: " + text)

    # --- both machines ------------------------------------------------------

    def simulate(self, args):
        with tempfile.TemporaryDirectory() as scratch:
            source, state = os.path.join(scratch, "machine.json"), os.path.join(scratch, "state.json")
            with open(source, "w") as f:
                json.dump(self.sim_machine, f)
            result = subprocess.run([self.options.sim, "--fleet", "--state-out", state, source, *args],
                                    capture_output=True)
            with open(state) as f:
                after = json.load(f)
        after.pop("open_handles", None)
        self.sim_machine = after
        return result

    def run(self, verb, expected_code):
        """The verb with --json under Wine and in the simulator."""
        args = [verb, "--json"]
        exe = r"C:\ondavipci\ondavipci-fleet.exe"
        wine = wine_e2e.wine(self.prefix, exe, *args)
        sim = self.simulate(args)
        self.note(f"$ ondavipci-fleet {' '.join(args)}\n  Wine (exit {wine.returncode}): {wine.stdout!r}"
                  f"\n  simulator (exit {sim.returncode}): {sim.stdout!r}")
        try:
            got = json.loads(wine.stdout.decode("utf-8"))
        except (UnicodeDecodeError, json.JSONDecodeError) as error:
            self.fail(f"{verb}: Wine's output is not one UTF-8 JSON object: {error}")
            return None
        wanted = json.loads(sim.stdout)
        self.summary.append(f"{verb} {got.get('exit_code')} {got.get('result')}")
        if wine.stderr:
            self.fail(f"{verb}: standard error: {wine.stderr!r}")
        if got != wanted:
            self.fail(f"{verb}: Wine's JSON differs from the simulator's in "
                      + ", ".join(k for k in sorted(set(got) | set(wanted)) if got.get(k) != wanted.get(k)))
        if wanted["exit_code"] != expected_code:
            self.fail(f"{verb}: the simulator's exit code is {wanted['exit_code']}, the case wants {expected_code}")
        # Linux sees the code modulo 256 (1603 as 67).
        if wine.returncode != got.get("exit_code", -1) % 256:
            self.fail(f"{verb}: Wine's exit status {wine.returncode} is not exit_code {got.get('exit_code')} mod 256")
        return got

    def delete_value(self, name):
        key = self.driver_key()
        result = wine_e2e.wine(self.prefix, "reg", "delete", rf"HKLM\{wine_e2e.CLASS}\{key}", "/v", name, "/f")
        self.note(f"$ reg delete ...\\{key} /v \"{name}\" -> {result.returncode}")
        self.first_vendor(self.sim_machine).get("driver_values", {}).pop(name, None)

    def repoint(self, new_key):
        """The device found again with a new, empty driver key, as after a
        move to another slot or a driver reinstall."""
        device_key = self.device_key()
        for args in (["add", rf"HKLM\{wine_e2e.CLASS}\{new_key}", "/f"],
                     ["add", rf"HKLM\{device_key}", "/v", "Driver", "/t", "REG_SZ", "/d", new_key, "/f"]):
            result = wine_e2e.wine(self.prefix, "reg", *args)
            self.note(f"$ reg {' '.join(args)} -> {result.returncode}")
        device = self.first_vendor(self.sim_machine)
        device["driver"] = new_key
        device.pop("driver_values", None)

    def link(self, folder, sim_path):
        """Replaces a folder of the tool's by a link to C:\\victimdir, made
        beforehand by a user."""
        victim = os.path.join(self.prefix, VICTIM)
        os.makedirs(victim, exist_ok=True)
        path = os.path.join(self.prefix, folder)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        os.symlink(victim, path)
        self.note(f"$ ln -s {VICTIM} {folder}")
        files = self.sim_machine.setdefault("files", {})
        files["C:\\victimdir"] = {"directory": True}
        files.setdefault("C:\\ProgramData\\Ondavi", {"directory": True})
        files[sim_path] = {"directory": True, "reparse": True, "target": "C:\\victimdir", "owner": "S-1-5-21-1000"}

    def victim_empty(self):
        left = os.listdir(os.path.join(self.prefix, VICTIM))
        self.note(f"C:\\victimdir holds {left}")
        if left:
            self.fail(f"the tool wrote into the linked folder: {left}")

    def log_entries(self, count):
        path = os.path.join(self.prefix, LOG)
        lines = open(path, "rb").read().split(b"\r\n")[:-1] if os.path.exists(path) else []
        entries = [json.loads(line) for line in lines]
        self.note(f"apply.log: {len(entries)} entries: {[e.get('result') for e in entries]}")
        if len(entries) != count:
            self.fail(f"apply.log holds {len(entries)} entries, wanted {count}")
        sim_log = self.sim_machine.get("files", {}).get("C:\\ProgramData\\Ondavi\\ondavipci\\apply.log", {})
        sim_entries = [json.loads(line) for line in sim_log.get("data", "").split("\r\n")[:-1]]
        def untimed(entry):
            return {k: v for k, v in entry.items() if k != "time"}
        if [untimed(e) for e in entries] != [untimed(e) for e in sim_entries]:
            self.fail("the log's entries differ from the simulator's")
        for entry in entries:
            if not re.fullmatch(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ", entry.get("time", "")):
                self.fail(f"log entry time {entry.get('time')!r} is not ISO 8601 UTC")

    # --- helpers ---------------------------------------------------------------

    @staticmethod
    def first_vendor(machine):
        return next(d for d in machine["devices"]
                    if d.get("present", True) and "VEN_7F3C" in d.get("hardware_ids", [""])[0])

    def index_of_first_vendor(self):
        return self.wine_machine["devices"].index(self.first_vendor(self.wine_machine))

    def driver_key(self):
        return self.first_vendor(self.sim_machine)["driver"]

    def device_key(self):
        return wine_e2e.device_key(self.index_of_first_vendor())


def start(options, name, machine):
    wine_e2e.reset_registry(options.prefix)
    for folder in (TOOL_DIR, VICTIM):
        path = os.path.join(options.prefix, folder)
        if os.path.islink(path):
            os.unlink(path)
        shutil.rmtree(path, ignore_errors=True)
    wine_e2e.plant(options.prefix, machine, options.raw_helper)
    return Case(options, name, machine)


def fixture(options, name):
    with open(os.path.join(options.fixtures, name)) as f:
        return json.load(f)


def with_values(machine, values):
    machine = copy.deepcopy(machine)
    Case.first_vendor(machine)["driver_values"] = values
    return machine


def fleet_cases(options):
    mixed = fixture(options, "mixed.json")

    case = start(options, "a fresh card: check, apply, check, apply", mixed)
    for verb, code in (("check", 1), ("apply", 0), ("check", 0), ("apply", 0)):
        case.run(verb, code)
    case.log_entries(2)
    yield case

    for label, values in (
            ("another type", {ENABLE: {"type": 4, "data": "00000000"}, MUTE: {"type": 3, "data": "01"}}),
            ("other data", {ENABLE: {"type": 3, "data": "0000"}, MUTE: {"type": 3, "data": "00"}}),
            ("another size", {ENABLE: {"type": 3, "data": "000000"}, MUTE: {"type": 3, "data": "01"}})):
        case = start(options, f"values of {label}", with_values(mixed, values))
        for verb, code in (("check", 1), ("apply", 0), ("check", 0)):
            case.run(verb, code)
        yield case

    case = start(options, "a value deleted after apply", mixed)
    case.run("apply", 0)
    case.delete_value(ENABLE)
    case.run("check", 1)
    case.run("apply", 0)
    case.run("check", 0)
    yield case

    case = start(options, "the device's Driver re-pointed to a new key", mixed)
    case.run("apply", 0)
    case.repoint("{4d36e96c-e325-11ce-bfc1-08002be10318}\\0111")
    case.run("check", 1)
    case.run("apply", 0)
    case.run("check", 0)
    yield case

    case = start(options, "no vendor device", fixture(options, "no-vendor.json"))
    case.run("check", 2)
    case.run("apply", 2)
    yield case

    case = start(options, "a vendor device without a driver key", fixture(options, "d-no-driver-key.json"))
    case.run("check", 3)
    case.run("apply", 1603)
    yield case

    accents = copy.deepcopy(mixed)
    # "Ondavi Téléphone™" in Windows-1252, as the ANSI functions return it.
    Case.first_vendor(accents)["description"] = {"hex": "Ondavi T\xe9l\xe9phone\x99\0".encode("latin-1").hex()}
    case = start(options, "a description with é and ™", accents)
    got = case.run("check", 1)
    if got and got["device"]["description"] != "Ondavi Téléphone™":
        case.fail(f"description {got['device']['description']!r}")
    yield case

    for label, folder, sim_path in (
            ("the tool's top folder made beforehand as a link", TOOL_DIR, "C:\\ProgramData\\Ondavi"),
            ("the log's own folder replaced by a link", os.path.join(TOOL_DIR, "ondavipci"),
             "C:\\ProgramData\\Ondavi\\ondavipci")):
        case = start(options, label, mixed)
        case.link(folder, sim_path)
        got = case.run("apply", 0)
        case.victim_empty()
        if got and got["log"]["written"] is not False:
            case.fail(f"log {got['log']}")
        yield case


def run_shim(case, cmd):
    result = wine_e2e.wine(case.prefix, cmd, "/c", r"C:\run-shim.cmd")
    found = re.search(rb"shim-exit=(\d+)", result.stdout)
    case.note(f"$ {cmd} /c ondavipci-apply.cmd\n  {result.stdout!r}")
    if not found:
        case.fail(f"no exit status from the shim: {result.stdout!r} {result.stderr!r}")
        return None
    return int(found.group(1))


def shim_cases(options):
    runs = [("d-no-driver-key.json", 1603, "cmd"), ("no-vendor.json", 2, "cmd"), ("mixed.json", 0, "cmd")]
    if options.cmd32:
        runs.append(("mixed.json", 0, CMD32))
    for machine_file, wanted, cmd in runs:
        case = start(options, f"the shim on {machine_file} from {cmd}", fixture(options, machine_file))
        code = run_shim(case, cmd)
        case.summary.append(f"shim {code}")
        if code != wanted:
            case.fail(f"the shim exited {code}, wanted {wanted}")
        yield case


def install(options):
    target = os.path.join(options.prefix, "drive_c", "ondavipci")
    shutil.rmtree(target, ignore_errors=True)
    os.makedirs(target)
    for name in ("ondavipci-fleet.exe", "ondavipci-apply.cmd"):
        shutil.copy(os.path.join(options.shipped, name), target)
    with open(os.path.join(options.prefix, "drive_c", "run-shim.cmd"), "w", newline="") as f:
        f.write(RUNNER)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--prefix", required=True)
    parser.add_argument("--shipped", required=True, help="an unpacked release zip")
    parser.add_argument("--raw-helper", required=True)
    parser.add_argument("--sim", required=True)
    parser.add_argument("--fixtures", required=True)
    parser.add_argument("--cmd32", action="store_true", help="also run the shim in the 32-bit cmd.exe")
    parser.add_argument("--only", choices=["fleet", "shim"])
    options = parser.parse_args()
    install(options)
    cases = []
    if options.only != "shim":
        cases += fleet_cases(options)
    if options.only != "fleet":
        cases += shim_cases(options)
    wine_e2e.stop_server(options.prefix)
    failed = [case for case in cases if case.failures]
    for case in cases:
        print(f"{'FAIL' if case.failures else 'ok'}: {case.name}: {', '.join(case.summary)}")
        if case.failures:
            print("\n".join(case.steps))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
