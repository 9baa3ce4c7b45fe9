#!/usr/bin/env python3
"""make_msi.py OUT.msi DIR VERSION: a per-machine Windows Installer package
of the files in DIR (the 32-bit build's package), installed into
[ProgramFilesFolder]Ondavi\\ondavipci.

The package depends on DIR's contents and VERSION alone: the product code is
derived from the version, the package code from the version and the files,
each component's code from its file's name, and wixl runs with the clock
stopped at SOURCE_DATE_EPOCH (which must be set).

wixl exits 0 after many faults of its own (an attribute it does not know is a
warning, and the row it would have made is missing), so anything it prints
fails the build, and what it cannot express is set afterwards with msibuild.
"""
import hashlib
import os
import re
import struct
import subprocess
import sys
import tempfile
import time
import uuid
from xml.sax.saxutils import quoteattr

# Fixed for the life of the product: every version upgrades every other.
UPGRADE_CODE = "f1dc02e6-69dc-4268-9d26-b2b4bf98d1ad"
# The namespace of the codes derived below.
CODES = uuid.UUID("5d0b8f0e-3c1a-4f7e-9a39-0c5e2b6f4d21")

PRODUCT_NAME = "Ondavi PCI utility"
MANUFACTURER = "Ondavi"
FLEET_EXE = "ondavipci-fleet.exe"
DOWNGRADE_MESSAGE = ("A newer version of [ProductName] is already installed. "
                     "To install this one, remove the newer version first.")


def code(kind, text):
    return str(uuid.uuid5(CODES, f"{kind}/{text}")).upper()


def file_id(name):
    return "f_" + re.sub(r"[^A-Za-z0-9_.]", "_", name)


SHORT_NAME = re.compile(r"[A-Za-z0-9_$~!#%&'(){}^@`-]{1,8}(\.[A-Za-z0-9_$~!#%&'(){}^@`-]{1,3})?")


def msi_file_names(names):
    """The File table's FileName for each name: the name alone when it is a
    valid short name, else SHORT|long, with short names unique in the folder."""
    taken, result = set(), {}
    for name in names:
        if SHORT_NAME.fullmatch(name):
            result[name] = name
            taken.add(name.upper())
    for name in names:
        if name in result:
            continue
        stem, _, ext = name.rpartition(".") if "." in name else (name, "", "")
        stem = re.sub(r"[^A-Za-z0-9]", "", stem).upper()[:6] or "FILE"
        ext = re.sub(r"[^A-Za-z0-9]", "", ext).upper()[:3]
        for number in range(1, 10):
            short = f"{stem}~{number}" + (f".{ext}" if ext else "")
            if short not in taken:
                break
        else:
            sys.exit(f"make_msi: no short name left for {name}")
        taken.add(short)
        result[name] = f"{short}|{name}"
    return result


def pe_file_version(data):
    """The file version of a PE file's version resource, or None."""
    found = data.find(struct.pack("<I", 0xFEEF04BD))
    if found < 0:
        return None
    ms, ls = struct.unpack_from("<II", data, found + 8)
    return f"{ms >> 16}.{ms & 0xFFFF}.{ls >> 16}.{ls & 0xFFFF}"


def wxs(names, version):
    components = []
    for name in names:
        # The vendor's folder goes too when the product leaves it empty; the
        # fleet tool's component removes it, so that no component is
        # without a key file.
        remove_folder = '              <RemoveFolder Id="VendorFolder" On="uninstall"/>\n' if name == FLEET_EXE else ""
        components.append(
            f'            <Component Id={quoteattr("c_" + file_id(name)[2:])} Guid="{code("component", name.lower())}">\n'
            f'              <File Id={quoteattr(file_id(name))} Name={quoteattr(name)}'
            f' Source={quoteattr(name)} KeyPath="yes"/>\n'
            f'{remove_folder}'
            f'            </Component>')
    refs = "\n".join(f'      <ComponentRef Id={quoteattr("c_" + file_id(name)[2:])}/>' for name in names)
    return f"""<?xml version="1.0" encoding="utf-8"?>
<Wix xmlns="http://schemas.microsoft.com/wix/2006/wi">
  <Product Id="{code("product", version)}" Name="{PRODUCT_NAME}" Language="1033" Version="{version}"
           Manufacturer="{MANUFACTURER}" UpgradeCode="{UPGRADE_CODE.upper()}">
    <Package InstallerVersion="200" Compressed="yes" InstallScope="perMachine" Manufacturer="{MANUFACTURER}"
             Description="{PRODUCT_NAME} {version}" Comments="Lists Ondavi PCI devices and sets their phone options"/>
    <MajorUpgrade DowngradeErrorMessage={quoteattr(DOWNGRADE_MESSAGE)}/>
    <Media Id="1" Cabinet="ondavipci.cab" EmbedCab="yes"/>
    <Property Id="ARPNOMODIFY" Value="1"/>
    <Directory Id="TARGETDIR" Name="SourceDir">
      <Directory Id="ProgramFilesFolder">
        <Directory Id="VendorFolder" Name="Ondavi">
          <Directory Id="INSTALLFOLDER" Name="ondavipci">
{chr(10).join(components)}
          </Directory>
        </Directory>
      </Directory>
    </Directory>
    <Feature Id="Complete" Level="1">
{refs}
    </Feature>
    <CustomAction Id="ApplyPhoneSettings" FileKey={quoteattr(file_id(FLEET_EXE))} ExeCommand="apply"
                  Execute="deferred" Impersonate="no" Return="ignore"/>
    <InstallExecuteSequence>
      <Custom Action="ApplyPhoneSettings" After="InstallFiles">APPLY = "1" AND NOT REMOVE ~= "ALL"</Custom>
    </InstallExecuteSequence>
  </Product>
</Wix>
"""


def sql_text(text):
    return "'" + text.replace("'", "''") + "'"


def fixups(directory, names):
    """What wixl cannot say: short names, the versions of the exes, APPLY
    passed to the elevated part of the install, the vendor's folder as the
    folder to remove (wixl takes the component's), and the old product removed
    before the new files go in (wixl schedules it after InstallFinalize,
    where an exe of the same file version would be kept instead of replaced)."""
    queries = ["UPDATE InstallExecuteSequence SET Sequence = 1401 WHERE Action = 'RemoveExistingProducts'",
               "UPDATE Property SET Value = 'APPLY;WIX_DOWNGRADE_DETECTED;WIX_UPGRADE_DETECTED' "
               "WHERE Property = 'SecureCustomProperties'",
               "UPDATE RemoveFile SET DirProperty = 'VendorFolder' WHERE FileKey = 'VendorFolder'"]
    for name, file_name in msi_file_names(names).items():
        queries.append(f"UPDATE File SET FileName = {sql_text(file_name)} WHERE File = {sql_text(file_id(name))}")
        with open(os.path.join(directory, name), "rb") as f:
            version = pe_file_version(f.read()) if name.lower().endswith(".exe") else None
        if version:
            # A versioned file is compared by version, not by hash.
            queries.append(f"UPDATE File SET Version = {sql_text(version)}, Language = '1033' "
                           f"WHERE File = {sql_text(file_id(name))}")
            queries.append(f"DELETE FROM MsiFileHash WHERE File_ = {sql_text(file_id(name))}")
    return queries


def run(command, **kwargs):
    result = subprocess.run(command, capture_output=True, text=True, **kwargs)
    if result.returncode != 0 or result.stdout.strip() or result.stderr.strip():
        sys.exit(f"make_msi: {command[0]} (exit {result.returncode}):\n{result.stdout}{result.stderr}")


def main():
    out, directory, version = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2]), sys.argv[3]
    epoch = int(os.environ["SOURCE_DATE_EPOCH"])
    names = sorted(os.listdir(directory))
    if FLEET_EXE not in names:
        sys.exit(f"make_msi: no {FLEET_EXE} in {directory}")
    contents = hashlib.sha256(version.encode())
    for name in names:
        with open(os.path.join(directory, name), "rb") as f:
            contents.update(name.encode() + b"\0" + hashlib.sha256(f.read()).digest())
        # The cabinet dates each file by its modification time.
        os.utime(os.path.join(directory, name), (epoch, epoch))

    clock = time.strftime("%Y-%m-%d %H:%M:%S", time.gmtime(epoch))
    stopped = ["faketime", "-f", clock]
    env = dict(os.environ, TZ="UTC")
    with tempfile.TemporaryDirectory() as scratch:
        source = os.path.join(scratch, "ondavipci.wxs")
        with open(source, "w", encoding="utf-8") as f:
            f.write(wxs(names, version))
        if os.path.exists(out):
            os.remove(out)
        # Sources are named relative to DIR: wixl cannot take absolute ones.
        run(stopped + ["wixl", "--arch", "x86", "--output", out, source], env=env, cwd=directory)
        query_options = [option for query in fixups(directory, names) for option in ("-q", query)]
        run(stopped + ["msibuild", out] + query_options, env=env)
        package_code = "{" + code("package", contents.hexdigest()) + "}"
        run(stopped + ["msibuild", out, "-s", f"{PRODUCT_NAME} {version}", MANUFACTURER, "Intel;1033", package_code],
            env=env)


if __name__ == "__main__":
    main()
