#!/usr/bin/env python3
"""check_release.py DIST VERSION: the release packages are what an
administrator can download, check and run on a clean Windows."""
import hashlib
import io
import os
import re
import subprocess
import sys
import tempfile
import zipfile

SYSTEM_DLLS = {"KERNEL32.DLL", "ADVAPI32.DLL", "SETUPAPI.DLL", "MSVCRT.DLL"}
MAX_WIN32_SIZE = 64 * 1024
ARCHES = {
    "win32": ("i686-w64-mingw32-objdump", "file format pei-i386", "PE32 i386"),
    "win64": ("x86_64-w64-mingw32-objdump", "file format pei-x86-64", "PE32+ x86-64"),
}
MEMBERS = ["DEPLOYMENT.txt", "LICENSE.txt", "README.txt", "THIRD-PARTY-NOTICES.txt", "ondavipci-apply.cmd",
           "ondavipci-fleet.exe", "ondavipci.exe"]
TOP = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
# The program's own sources: every fixed message it prints is in them.
PROGRAM_SOURCES = ["scan/scan.cpp", "device/report.cpp", "settings/phone_settings.cpp"]
EXES = ["ondavipci.exe", "ondavipci-fleet.exe"]
# The toolchain packages whose runtime code is linked in, by architecture.
RUNTIME_PACKAGES = {
    "win32": {"mingw-w64-i686-dev": "MinGW-w64 runtime", "gcc-mingw-w64-i686-win32": "GCC runtime libraries"},
    "win64": {"mingw-w64-x86-64-dev": "MinGW-w64 runtime", "gcc-mingw-w64-x86-64-win32": "GCC runtime libraries"},
}

failures = []


def check(condition, message):
    if not condition:
        failures.append(message)


def check_checksums(dist, names):
    with open(os.path.join(dist, "SHA256SUMS")) as f:
        sums = dict(reversed(line.split()) for line in f if line.strip())
    check(sorted(sums) == sorted(names), f"SHA256SUMS lists {sorted(sums)}, expected {sorted(names)}")
    for name in names:
        with open(os.path.join(dist, name), "rb") as f:
            check(sums.get(name) == hashlib.sha256(f.read()).hexdigest(), f"{name}: checksum does not match")


def check_exe(platform, name, exe, version):
    objdump, file_format, label = ARCHES[platform]
    with tempfile.NamedTemporaryFile(suffix=".exe") as f:
        f.write(exe)
        f.flush()
        headers = subprocess.run([objdump, "-p", f.name], capture_output=True, text=True, check=True).stdout
    where = f"{platform} {name}"
    check(file_format in headers, f"{where}: not {label}")
    check("(Windows CUI)" in headers, f"{where}: not a console program")
    dlls = {line.split()[-1].upper() for line in headers.splitlines() if "DLL Name:" in line}
    check(dlls <= SYSTEM_DLLS, f"{where}: imports {sorted(dlls - SYSTEM_DLLS)}, not on a clean Windows")
    for text in ("CompanyName", "Ondavi", "ProductName", "ondavipci", "FileVersion", version, "OriginalFilename",
                 name, "LegalCopyright"):
        check(text.encode("utf-16-le") in exe, f"{where}: version resource lacks {text!r}")
    check(b'level="asInvoker"' in exe, f"{where}: no asInvoker manifest")
    check(b"{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}" in exe, f"{where}: manifest does not name Windows 10")
    if platform == "win32" and name == "ondavipci.exe":
        check(len(exe) <= MAX_WIN32_SIZE, f"win32: the stripped exe is {len(exe)} bytes, over {MAX_WIN32_SIZE}")
    print(f"{where}: {label}, {len(exe)} bytes, imports {' '.join(sorted(dlls))}")


def package_version(package):
    return subprocess.run(["dpkg-query", "-W", "-f=${Version}", package], capture_output=True, text=True,
                          check=True).stdout


def check_notices(platform, notices):
    for package, component in RUNTIME_PACKAGES[platform].items():
        version = package_version(package)
        check(f"{component}" in notices and f"Version: {version} (Debian package {package})" in notices,
              f"{platform}: the notices do not name {component} {version} from {package}")
        check(f"{package} {version}: /usr/share/doc/{package}/copyright" in notices,
              f"{platform}: the notices lack the copyright file of {package}")
    for text in ("crt2.o", "libmingwex.a", "libgcc.a", "ZPL-2.1", "GCC Runtime Library Exception"):
        check(text in notices, f"{platform}: the notices do not mention {text}")


def check_line_endings(platform, name, text):
    # Notepad before Windows 10 1809, and cmd.exe, need CR LF.
    check(text.count(b"\n") == text.count(b"\r\n") and text.count(b"\r") == text.count(b"\r\n"),
          f"{platform}: {name}: its lines do not all end in CR LF")


CONVERSION = re.compile(r"%[-.*0-9]*[a-z]")


def program_messages():
    """The fixed messages of ondavipci.exe, from its sources: each string
    literal that is a message or a part of one, a conversion in it as a
    pattern."""
    literal = re.compile(r'"((?:[^"\\]|\\.)*)"')
    messages = set()
    for source in PROGRAM_SOURCES:
        with open(os.path.join(TOP, source)) as f:
            for text in literal.findall(f.read()):
                text = text.replace("\\n", "\n").replace("\\\\", "\\").strip("\n")
                words = CONVERSION.sub("", text)
                if re.search(r"[A-Za-z]{3}", words) and not text.endswith(".h"):
                    messages.update(part for part in text.split("\n") if part)
    return sorted(messages)


def check_guide(platform, guide, version):
    text = guide.decode("utf-8").replace("\r\n", "\n")
    check(f"ONDAVIPCI {version}" in text, f"{platform}: the user guide does not name version {version}")
    messages = program_messages()
    check(len(messages) >= 15, f"{platform}: only {len(messages)} messages found in the sources: {messages}")
    for message in messages:
        # What a conversion prints may be anything but a space.
        pattern = r"\S+".join(re.escape(part) for part in CONVERSION.split(message))
        check(re.search(pattern, text), f"{platform}: the user guide does not explain {message!r}")


def check_shim(platform, shim):
    check(b'"%~dp0ondavipci-fleet.exe" apply' in shim, f"{platform}: the shim does not run ondavipci-fleet.exe apply")


def main():
    dist, version = sys.argv[1], sys.argv[2]
    names = [f"ondavipci-{version}-{platform}.zip" for platform in ARCHES]
    check_checksums(dist, names + [f"ondavipci-{version}.msi"])
    for platform, name in zip(ARCHES, names):
        with zipfile.ZipFile(os.path.join(dist, name)) as package:
            check(sorted(package.namelist()) == MEMBERS, f"{name} holds {package.namelist()}")
            for exe in EXES:
                check_exe(platform, exe, package.read(exe), version)
            check_notices(platform, package.read("THIRD-PARTY-NOTICES.txt").decode("utf-8"))
            check_shim(platform, package.read("ondavipci-apply.cmd"))
            for member in MEMBERS:
                if not member.endswith(".exe"):
                    check_line_endings(platform, member, package.read(member))
            check_guide(platform, package.read("README.txt"), version)
    for failure in failures:
        print("FAIL:", failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
