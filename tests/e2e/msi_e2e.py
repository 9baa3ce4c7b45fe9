#!/usr/bin/env python3
"""The release's Windows Installer package under Wine's msiexec.

  msi_e2e.py --prefix DIR --msi FILE --zip FILE --raw-helper EXE --fixtures DIR --msiexec 64|32

Each case starts from the prefix's pristine registry with nothing installed,
plants a machine, runs msiexec (the 64-bit one, or the 32-bit one of
syswow64) and checks what the package left: the installed files against the
32-bit zip, the Add/Remove Programs entries, the driver values, the fleet
tool's log. msiexec's exit codes are read by a caller inside Wine, since
Linux sees a Windows exit code modulo 256. For the upgrade and downgrade
cases the test builds a package of an older version from a copy of the
files, with two of them changed. Uses a prefix made by wine_e2e.py prefix.
"""
import argparse
import hashlib
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import zipfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import wine_e2e  # noqa: E402

TOP = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
INSTALLED = os.path.join("drive_c", "Program Files (x86)", "Ondavi", "ondavipci")
VENDOR = os.path.dirname(INSTALLED)
TOOL_DATA = os.path.join("drive_c", "ProgramData", "Ondavi")
LOG = os.path.join(TOOL_DATA, "ondavipci", "apply.log")
UNINSTALL = r"HKLM\Software\Wow6432Node\Microsoft\Windows\CurrentVersion\Uninstall"
UNINSTALL_64 = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall"
PRODUCT_NAME = "Ondavi PCI utility"
OLDER_VERSION = "0.9.0"
MSIEXEC = {"64": r"C:\windows\system32\msiexec.exe", "32": r"C:\windows\syswow64\msiexec.exe"}
# Runs its arguments and prints their whole exit code.
RUNNER = "@echo off\r\n%*\r\necho exit-code=%errorlevel%\r\n"
ENABLE, MUTE = "Enable Phone", "Default Phone Mute State"
APPLIED = {ENABLE: ("REG_BINARY", "0000"), MUTE: ("REG_BINARY", "01")}


def product_code(msi):
    rows = subprocess.run(["msiinfo", "export", msi, "Property"], capture_output=True, text=True,
                          check=True).stdout.splitlines()
    return next(row.split("\t")[1] for row in rows if row.startswith("ProductCode\t"))


def file_hashes(directory):
    if not os.path.isdir(directory):
        return {}
    return {name: hashlib.sha256(open(os.path.join(directory, name), "rb").read()).hexdigest()
            for name in sorted(os.listdir(directory))}


class Case:
    def __init__(self, options, name, machine_file):
        self.options, self.name = options, name
        with open(os.path.join(options.fixtures, machine_file)) as f:
            self.machine = json.load(f)
        self.steps, self.failures, self.summary = [], [], []
        prefix = options.prefix
        wine_e2e.reset_registry(prefix)
        for folder in (VENDOR, TOOL_DATA, os.path.join("drive_c", "windows", "Installer")):
            shutil.rmtree(os.path.join(prefix, folder), ignore_errors=True)
        wine_e2e.plant(prefix, self.machine, options.raw_helper)
        self.values_before = self.driver_values()

    def note(self, text):
        self.steps.append(text)

    def fail(self, text):
        self.failures.append(text)
        self.steps.append("  FAILED: " + text)

    def run_reported(self, title, summary, command, wanted):
        """COMMAND through the runner, which reports its whole exit code."""
        result = wine_e2e.wine(self.options.prefix, "cmd", "/c", r"C:\run-and-report.cmd", *command)
        found = re.search(rb"exit-code=(\d+)", result.stdout)
        code = int(found.group(1)) if found else None
        self.note(f"$ {title} -> {code}")
        self.summary.append(f"{summary} {code}")
        if code != wanted:
            self.fail(f"{title} exited {code}, wanted {wanted}: {result.stdout[-300:]!r}")

    def msiexec(self, *args, wanted):
        """msiexec with ARGS, /qn and a verbose log."""
        command = [MSIEXEC[self.options.msiexec], *args, "/qn", "/l*v", r"C:\msiexec.log"]
        self.run_reported(f"msiexec {' '.join(args)} /qn", " ".join(a for a in args if not a.startswith("C:")),
                          command, wanted)

    def startup_script(self, wanted):
        """The Group Policy startup script, as Windows runs it."""
        self.run_reported("ondavipci-startup.cmd", "startup script", ["cmd", "/c", r"C:\ondavipci-startup.cmd"],
                          wanted)

    def msi_log(self):
        path = os.path.join(self.options.prefix, "drive_c", "msiexec.log")
        return open(path, "rb").read().decode("utf-8", errors="replace") if os.path.exists(path) else ""

    # --- what is there --------------------------------------------------------

    def arp_entries(self, key=UNINSTALL):
        """{product code: {value: data}} of this product's Add/Remove Programs entries."""
        result = wine_e2e.wine(self.options.prefix, "reg", "query", key, "/s")
        entries, current = {}, None
        for line in result.stdout.decode("latin-1").split("\r\n"):
            if line.startswith("HKEY_"):
                current = entries.setdefault(line.rsplit("\\", 1)[-1], {})
            elif line.startswith("    ") and current is not None:
                parts = line[4:].split("    ")
                current[parts[0]] = parts[2] if len(parts) > 2 else ""
        return {code: values for code, values in entries.items() if values.get("DisplayName") == PRODUCT_NAME}

    def expect_arp(self, version, code):
        entries = self.arp_entries()
        shown = {c: (v.get("DisplayVersion"), v.get("Publisher"), v.get("NoModify")) for c, v in entries.items()}
        self.note(f"Add/Remove Programs: {shown}")
        if shown != {code: (version, "Ondavi", "0x1")}:
            self.fail(f"Add/Remove Programs shows {shown}, wanted {code}: version {version}, publisher Ondavi, "
                      "no Modify")
        if self.arp_entries(UNINSTALL_64):
            self.fail("an entry in the 64-bit view of Add/Remove Programs")

    def expect_no_arp(self):
        entries = self.arp_entries()
        self.note(f"Add/Remove Programs: {sorted(entries)}")
        if entries:
            self.fail(f"Add/Remove Programs still lists {sorted(entries)}")

    def expect_files(self, wanted):
        got = file_hashes(os.path.join(self.options.prefix, INSTALLED))
        self.note(f"installed: {sorted(got)}")
        if got != wanted:
            differ = sorted(n for n in set(got) | set(wanted) if got.get(n) != wanted.get(n))
            self.fail(f"the installed files differ from the package's in {differ}")

    def expect_no_files(self):
        installed = os.path.join(self.options.prefix, INSTALLED)
        vendor = os.path.join(self.options.prefix, VENDOR)
        left = os.listdir(vendor) if os.path.isdir(vendor) else []
        self.note(f"left in Program Files (x86)\\Ondavi: {left}")
        if os.path.exists(installed) or left:
            self.fail(f"files left after the uninstall: {left}")

    def watched_key(self):
        """The first vendor device's driver key, or else the first one there is."""
        with_keys = [d for d in self.machine["devices"] if d.get("driver")]
        return next((d for d in with_keys if "VEN_7F3C" in d["hardware_ids"][0]), with_keys[0])["driver"]

    def driver_values(self):
        found = wine_e2e.class_keys(self.options.prefix).get(wine_e2e.driver_key_name(self.watched_key()), {})
        return {name: (kind, shown.lower()) for name, (kind, shown) in found.items()}

    def expect_values(self, wanted, label):
        got = self.driver_values()
        self.note(f"driver values ({label}): {got}")
        if got != wanted:
            self.fail(f"driver values {got}, wanted {wanted} ({label})")

    def log_results(self):
        path = os.path.join(self.options.prefix, LOG)
        lines = open(path, "rb").read().split(b"\r\n")[:-1] if os.path.exists(path) else []
        results = [json.loads(line)["result"] for line in lines]
        self.note(f"apply.log: {results}")
        return results

    def expect_log(self, wanted):
        results = self.log_results()
        if results != wanted:
            self.fail(f"apply.log holds {results}, wanted {wanted}")

    def delete_value(self, name):
        key = rf"HKLM\{wine_e2e.CLASS}\{self.watched_key()}"
        result = wine_e2e.wine(self.options.prefix, "reg", "delete", key, "/v", name, "/f")
        self.note(f"$ reg delete {key} /v \"{name}\" -> {result.returncode}")

    def check(self, wanted):
        """The installed fleet tool's check, as a detection script runs it."""
        exe = "C:\\" + INSTALLED.split(os.sep, 1)[1].replace(os.sep, "\\") + "\\ondavipci-fleet.exe"
        result = wine_e2e.wine(self.options.prefix, exe, "check")
        self.note(f"$ ondavipci-fleet check -> {result.returncode}")
        self.summary.append(f"check {result.returncode}")
        if result.returncode != wanted:
            self.fail(f"check exited {result.returncode}, wanted {wanted}: {result.stdout!r}")


def older_package(options, scratch):
    """C:\\older.msi, a package of version OLDER_VERSION from a copy of the
    zip's files, with the user guide and an exe changed (same file version,
    other bytes); the hashes of its files."""
    stage = os.path.join(scratch, "older")
    os.makedirs(stage)
    with zipfile.ZipFile(options.zip) as package:
        package.extractall(stage)
    for name in os.listdir(stage):
        if name.lower().startswith("readme") or name == "ondavipci.exe":
            with open(os.path.join(stage, name), "ab") as f:
                f.write(b"\0" if name.endswith(".exe") else b"\r\nThe older version.\r\n")
    out = os.path.join(options.prefix, "drive_c", "older.msi")
    env = dict(os.environ, SOURCE_DATE_EPOCH="1700000000")
    subprocess.run([sys.executable, os.path.join(TOP, "release", "make_msi.py"), out, stage, OLDER_VERSION],
                   env=env, check=True)
    return file_hashes(stage)


def cases(options, current_files, older_files):
    current, older = r"C:\ondavipci.msi", r"C:\older.msi"
    code, older_code = product_code(options.msi), product_code(os.path.join(options.prefix, "drive_c", "older.msi"))
    version = options.version

    case = Case(options, "install", "mixed.json")
    case.msiexec("/i", current, wanted=0)
    case.expect_files(current_files)
    case.expect_arp(version, code)
    case.expect_values(case.values_before, "without APPLY nothing is written")
    case.expect_log([])
    yield case

    case = Case(options, "APPLY=1 on a machine with the card", "mixed.json")
    case.msiexec("/i", current, "APPLY=1", wanted=0)
    case.expect_values(dict(case.values_before, **APPLIED), "after the install")
    case.expect_log(["applied"])
    if "ApplyPhoneSettings" not in case.msi_log():
        case.fail("the MSI log does not name the ApplyPhoneSettings action")
    case.check(0)
    yield case

    case = Case(options, "APPLY=1 with no vendor device", "no-vendor.json")
    case.msiexec("/i", current, "APPLY=1", wanted=0)
    case.expect_values(case.values_before, "nothing to write")
    case.expect_log(["no-device"])
    case.expect_arp(version, code)
    yield case

    case = Case(options, "APPLY=1 with a card that has no driver key", "d-no-driver-key.json")
    case.msiexec("/i", current, "APPLY=1", wanted=0)
    case.expect_log(["failed"])
    case.expect_files(current_files)
    yield case

    case = Case(options, "the same version again", "mixed.json")
    case.msiexec("/i", current, wanted=0)
    case.msiexec("/i", current, wanted=0)
    case.expect_files(current_files)
    case.expect_arp(version, code)
    yield case

    case = Case(options, "APPLY=1 again after a value was lost", "mixed.json")
    case.msiexec("/i", current, "APPLY=1", wanted=0)
    case.delete_value(ENABLE)
    case.msiexec("/i", current, "APPLY=1", wanted=0)
    case.expect_values(dict(case.values_before, **APPLIED), "applied again")
    case.expect_log(["applied", "applied"])
    case.expect_arp(version, code)
    yield case

    case = Case(options, "the Group Policy startup script after an install", "mixed.json")
    case.msiexec("/i", current, wanted=0)
    case.startup_script(wanted=0)
    case.expect_values(dict(case.values_before, **APPLIED), "after the startup script")
    case.startup_script(wanted=0)
    case.expect_log(["applied", "already-compliant"])
    yield case

    case = Case(options, f"upgrade from {OLDER_VERSION}", "mixed.json")
    case.msiexec("/i", older, wanted=0)
    case.expect_files(older_files)
    case.expect_arp(OLDER_VERSION, older_code)
    case.msiexec("/i", current, wanted=0)
    case.expect_files(current_files)
    case.expect_arp(version, code)
    yield case

    case = Case(options, f"downgrade to {OLDER_VERSION}", "mixed.json")
    case.msiexec("/i", current, wanted=0)
    case.msiexec("/i", older, wanted=1603)
    case.expect_files(current_files)
    case.expect_arp(version, code)
    yield case

    case = Case(options, "uninstall after APPLY=1", "mixed.json")
    case.msiexec("/i", current, "APPLY=1", wanted=0)
    case.msiexec("/x", code, wanted=0)
    case.expect_no_files()
    case.expect_no_arp()
    case.expect_values(dict(case.values_before, **APPLIED), "kept after the uninstall")
    case.expect_log(["applied"])
    yield case


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--prefix", required=True)
    parser.add_argument("--msi", required=True)
    parser.add_argument("--zip", required=True, help="the win32 zip, whose files the package must install")
    parser.add_argument("--version", required=True)
    parser.add_argument("--raw-helper", required=True)
    parser.add_argument("--fixtures", required=True)
    parser.add_argument("--msiexec", choices=sorted(MSIEXEC), required=True)
    options = parser.parse_args()
    for path in (options.msi, options.zip):
        if not os.path.isfile(path):
            sys.exit(f"{path} is missing: scripts/release makes it")

    drive_c = os.path.join(options.prefix, "drive_c")
    shutil.copyfile(options.msi, os.path.join(drive_c, "ondavipci.msi"))
    with open(os.path.join(drive_c, "run-and-report.cmd"), "w", newline="") as f:
        f.write(RUNNER)
    shutil.copyfile(os.path.join(TOP, "deploy", "gpo", "ondavipci-startup.cmd"),
                    os.path.join(drive_c, "ondavipci-startup.cmd"))
    with zipfile.ZipFile(options.zip) as package:
        current_files = {name: hashlib.sha256(package.read(name)).hexdigest() for name in sorted(package.namelist())}
    with tempfile.TemporaryDirectory() as scratch:
        older_files = older_package(options, scratch)
    if older_files == current_files:
        sys.exit("the older package's files are the same as the current one's")

    done = list(cases(options, current_files, older_files))
    wine_e2e.stop_server(options.prefix)
    for case in done:
        print(f"{'FAIL' if case.failures else 'ok'}: {case.name}: {', '.join(case.summary)}")
        if case.failures:
            print("\n".join(case.steps))
    return 1 if any(case.failures for case in done) else 0


if __name__ == "__main__":
    sys.exit(main())
