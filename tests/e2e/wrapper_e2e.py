#!/usr/bin/env python3
"""The deployment wrapper, ondavipci-apply.cmd, under Wine's cmd.exe.

  wrapper_e2e.py --prefix DIR --build DIR --fixtures DIR [--cmd32]

Copies the build's exe and wrapper into the prefix (C:\\ondavipci), and for
each case plants a machine file in the prefix's pristine registry, runs the
wrapper one or more times and checks its exit status, the detection mark, the
driver values and the log. Uses a prefix made by wine_e2e.py prefix.
"""
import argparse
import json
import os
import re
import shutil
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import wine_e2e  # noqa: E402

MARK = r"HKLM\SOFTWARE\Ondavi\ondavipci"
# Wine passes a Windows exit status to Linux modulo 256 (1603 would arrive as
# 67): a calling script reads the whole code inside Wine.
RUNNER = "@echo off\r\ncmd /c C:\\ondavipci\\ondavipci-apply.cmd\r\necho wrapper-exit=%errorlevel%\r\n"
LOG = os.path.join("drive_c", "ProgramData", "Ondavi", "ondavipci", "apply.log")

# A 32-bit agent (Intune's, say) runs the wrapper in the 32-bit cmd.exe, whose
# reg.exe would write to the 32-bit registry view unless told otherwise.
CMD32 = r"C:\windows\syswow64\cmd.exe"

# (name, machine file, a mark of an earlier run, exit status of each run, the
# mark afterwards, the phone values written, the cmd.exe that runs it)
CASES = [
    ("d succeeds", "mixed.json", False, [0], True, True, "cmd"),
    ("twice in a row", "mixed.json", False, [0, 0], True, True, "cmd"),
    ("first vendor device without a driver key", "d-no-driver-key.json", False, [1603], False, False, "cmd"),
    ("no vendor device", "no-vendor.json", False, [2], False, False, "cmd"),
    ("a failure removes an earlier mark", "d-no-driver-key.json", True, [1603], False, False, "cmd"),
    ("d succeeds from a 32-bit cmd.exe", "mixed.json", False, [0], True, True, CMD32),
]


def install(prefix, build):
    target = os.path.join(prefix, "drive_c", "ondavipci")
    shutil.rmtree(target, ignore_errors=True)
    os.makedirs(target)
    for name in ("ondavipci.exe", "ondavipci-apply.cmd"):
        shutil.copy(os.path.join(build, name), target)
    with open(os.path.join(prefix, "drive_c", "run-wrapper.cmd"), "w", newline="") as f:
        f.write(RUNNER)


def run_wrapper(prefix, cmd="cmd"):
    result = wine_e2e.wine(prefix, cmd, "/c", r"C:\run-wrapper.cmd")
    found = re.search(rb"wrapper-exit=(\d+)", result.stdout)
    if not found:
        sys.exit(f"no exit status from the wrapper: {result.stdout!r} {result.stderr!r}")
    return int(found.group(1)), result.stdout


def mark(prefix):
    result = wine_e2e.wine(prefix, "reg", "query", MARK, "/v", "Applied", "/reg:64")
    found = re.search(rb"Applied\s+REG_SZ\s+(\S+)", result.stdout)
    return found.group(1).decode() if found else None


def phone_values_written(prefix, machine):
    values = wine_e2e.fixture_values(wine_e2e.class_keys(prefix), machine)
    return any({"Enable Phone", "Default Phone Mute State"} <= set(v) for v in values.values())


def log_entries(prefix):
    path = os.path.join(prefix, LOG)
    if not os.path.exists(path):
        return []
    with open(path, "rb") as f:
        return re.findall(rb"^==== .*$", f.read(), re.MULTILINE)


def check_case(options, version, case):
    name, machine_file, marked_before, statuses, marked, written, cmd = case
    with open(os.path.join(options.fixtures, machine_file)) as f:
        machine = json.load(f)
    wine_e2e.reset_registry(options.prefix)
    shutil.rmtree(os.path.join(options.prefix, "drive_c", "ProgramData", "Ondavi"), ignore_errors=True)
    wine_e2e.plant(options.prefix, machine, raw_helper=None)
    if marked_before:
        wine_e2e.wine(options.prefix, "reg", "add", MARK, "/v", "Applied", "/t", "REG_SZ", "/d", "0.9", "/f", "/reg:64")

    failures, outputs = [], []
    for run, expected in enumerate(statuses, 1):
        status, output = run_wrapper(options.prefix, cmd)
        outputs.append(output.decode(errors="replace"))
        if status != expected:
            failures.append(f"run {run}: exit status {status}, expected {expected}")
    entries = log_entries(options.prefix)
    if len(entries) != len(statuses):
        failures.append(f"{len(entries)} log entries after {len(statuses)} runs: {entries}")
    shown = mark(options.prefix)
    if shown != (version if marked else None):
        views = [wine_e2e.wine(options.prefix, "reg", "query", MARK, view).stdout for view in ("/reg:64", "/reg:32")]
        failures.append(f"mark {shown!r}, expected {version if marked else None!r}; the key in the 64-bit and "
                        f"32-bit views: {views}")
    if failures:
        failures.append("the wrapper's output:\n" + "\n".join(outputs))
    if phone_values_written(options.prefix, machine) != written:
        failures.append(f"phone values written: {not written}, expected {written}")
    print(f"{name}: exit {statuses}, mark {shown}, {len(entries)} log entries" if not failures else
          "\n".join(f"{name}: {failure}" for failure in failures))
    return not failures


def check_log_bound(options):
    """A log past 1 MiB starts over."""
    with open(os.path.join(options.fixtures, "no-vendor.json")) as f:
        machine = json.load(f)
    wine_e2e.reset_registry(options.prefix)
    wine_e2e.plant(options.prefix, machine, raw_helper=None)
    path = os.path.join(options.prefix, LOG)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(b"old entry\r\n" * 100_000)
    run_wrapper(options.prefix)
    size = os.path.getsize(path)
    ok = size < 4096 and len(log_entries(options.prefix)) == 1
    print(f"a log of 1.1 MB starts over: now {size} bytes" if ok else f"log bound: {size} bytes after the run")
    return ok


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--prefix", required=True)
    parser.add_argument("--build", required=True)
    parser.add_argument("--fixtures", required=True)
    parser.add_argument("--cmd32", action="store_true", help="also run the wrapper in the 32-bit cmd.exe")
    options = parser.parse_args()
    with open(os.path.join(options.build, "ondavipci-apply.cmd"), encoding="latin-1") as f:
        version = re.search(r'set "version=([^"]+)"', f.read()).group(1)
    install(options.prefix, options.build)
    results = [check_case(options, version, case) for case in CASES if options.cmd32 or case[-1] != CMD32]
    results.append(check_log_bound(options))
    wine_e2e.stop_server(options.prefix)
    return 0 if all(results) else 1


if __name__ == "__main__":
    sys.exit(main())
