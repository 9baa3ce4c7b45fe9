#!/usr/bin/env python3
"""check_msi.py DIST VERSION: the tables of ondavipci-VERSION.msi, read back
with msiinfo. wixl drops rows it cannot make and still exits 0, so what the
package does on a PC is checked here, row by row: it installs the win32
zip's files into [ProgramFilesFolder]Ondavi\\ondavipci, per machine; it
upgrades every other version and refuses to replace a newer one; and only
with APPLY=1 does it run the installed fleet tool, elevated, after the files
are in place, without its outcome failing the install."""
import os
import subprocess
import sys
import zipfile

UPGRADE_CODE = "{F1DC02E6-69DC-4268-9D26-B2B4BF98D1AD}"
# Custom action type bits.
EXE_FROM_FILE, CONTINUE, DEFERRED, NO_IMPERSONATE = 18, 64, 1024, 2048
VERSION_MIN_INCLUSIVE, ONLY_DETECT, VERSION_MAX_INCLUSIVE = 256, 2, 512
STANDARD_ACTIONS = {
    "FindRelatedProducts", "LaunchConditions", "ValidateProductID", "CostInitialize", "FileCost", "CostFinalize",
    "MigrateFeatureStates", "InstallValidate", "RemoveExistingProducts", "InstallInitialize", "ProcessComponents",
    "UnpublishFeatures", "RemoveFiles", "InstallFiles", "RegisterUser", "RegisterProduct", "PublishFeatures",
    "PublishProduct", "InstallFinalize", "CreateFolders", "RemoveFolders", "WriteRegistryValues",
    "RemoveRegistryValues", "DuplicateFiles", "RemoveDuplicateFiles", "CreateShortcuts", "RemoveShortcuts",
}

failures = []


def check(condition, message):
    if not condition:
        failures.append(message)


def table(msi, name):
    """The rows of a table, each a dict by column name."""
    lines = subprocess.run(["msiinfo", "export", msi, name], capture_output=True, text=True,
                           check=True).stdout.splitlines()
    columns = lines[0].split("\t")
    return [dict(zip(columns, line.split("\t") + [""] * len(columns))) for line in lines[3:]]


def check_files(msi, zip_members):
    files = {row["File"]: row for row in table(msi, "File")}
    long_names = {row["FileName"].split("|")[-1]: row for row in files.values()}
    check(sorted(long_names) == sorted(zip_members),
          f"File table installs {sorted(long_names)}, the win32 zip holds {sorted(zip_members)}")
    for name, row in long_names.items():
        check(int(row["FileSize"]) == zip_members.get(name), f"{name}: FileSize {row['FileSize']}")
        short = row["FileName"].split("|")[0]
        check(len(short.split(".")[0]) <= 8, f"{name}: {short} is not a short name")
    components = {row["Component"]: row for row in table(msi, "Component")}
    for row in files.values():
        component = components.get(row["Component_"], {})
        check(component.get("Directory_") == "INSTALLFOLDER" and component.get("KeyPath") == row["File"],
              f"{row['File']}: not the key file of a component in INSTALLFOLDER: {component}")
    keyless = sorted(name for name, row in components.items() if not row["KeyPath"])
    check(not keyless, f"components without a key file (ICE18 wants a CreateFolder row for each): {keyless}")
    removed = {row["DirProperty"]: row["Component_"] for row in table(msi, "RemoveFile") if not row["FileName"]}
    check(removed.get("VendorFolder") in components, f"the vendor's folder is not removed on uninstall: {removed}")
    codes = [row["ComponentId"] for row in components.values()]
    check(len(set(codes)) == len(codes) and all(codes), f"component codes not unique: {codes}")
    features = {row["Component_"] for row in table(msi, "FeatureComponents")}
    check(features == set(components), f"components outside the feature: {set(components) - features}")
    return files


def check_directories(msi):
    parents = {row["Directory"]: (row["Directory_Parent"], row["DefaultDir"]) for row in table(msi, "Directory")}
    check(parents.get("INSTALLFOLDER") == ("VendorFolder", "ondavipci")
          and parents.get("VendorFolder") == ("ProgramFilesFolder", "Ondavi")
          and parents.get("ProgramFilesFolder", ("",))[0] == "TARGETDIR",
          f"not installed into [ProgramFilesFolder]Ondavi\\ondavipci: {parents}")


def check_properties(msi, version):
    properties = {row["Property"]: row["Value"] for row in table(msi, "Property")}
    for name, value in (("ALLUSERS", "1"), ("ARPNOMODIFY", "1"), ("ProductVersion", version),
                        ("UpgradeCode", UPGRADE_CODE), ("Manufacturer", "Ondavi"),
                        ("ProductName", "Ondavi PCI utility")):
        check(properties.get(name) == value, f"property {name} is {properties.get(name)!r}, wanted {value!r}")
    check("APPLY" in properties.get("SecureCustomProperties", "").split(";"),
          "APPLY is not a secure property: an elevated install would not see it")
    return properties


def check_apply_action(msi, files):
    actions = {row["Action"]: row for row in table(msi, "CustomAction")}
    sequence = {row["Action"]: row for row in table(msi, "InstallExecuteSequence")}
    for action in sequence:
        check(action in STANDARD_ACTIONS or action in actions, f"the sequence runs {action}, which no table defines")
    apply = actions.get("ApplyPhoneSettings")
    check(apply is not None, "no ApplyPhoneSettings custom action")
    if apply:
        kind = int(apply["Type"])
        check(kind == EXE_FROM_FILE | CONTINUE | DEFERRED | NO_IMPERSONATE,
              f"ApplyPhoneSettings has type {kind}: not a deferred, elevated exe whose exit code is ignored")
        source = files.get(apply["Source"], {}).get("FileName", "").split("|")[-1]
        check(source == "ondavipci-fleet.exe" and apply["Target"] == "apply",
              f"ApplyPhoneSettings runs {source} {apply['Target']}")
    order = {action: int(row["Sequence"]) for action, row in sequence.items()}
    run = sequence.get("ApplyPhoneSettings", {})
    check(run.get("Condition") == 'APPLY = "1" AND NOT REMOVE ~= "ALL"',
          f"ApplyPhoneSettings runs on {run.get('Condition')!r}")
    check(order.get("InstallFiles", 0) < order.get("ApplyPhoneSettings", 0) < order.get("InstallFinalize", 0),
          "ApplyPhoneSettings does not run after the files are in place")
    check(order.get("InstallValidate", 0) < order.get("RemoveExistingProducts", 0) < order.get("InstallInitialize", 0),
          "the older product is not removed before the files go in")


def check_upgrades(msi, version):
    rows = table(msi, "Upgrade")
    by_property = {row["ActionProperty"]: row for row in rows}
    older, newer = by_property.get("WIX_UPGRADE_DETECTED"), by_property.get("WIX_DOWNGRADE_DETECTED")
    check(all(row["UpgradeCode"] == UPGRADE_CODE for row in rows), f"Upgrade rows of another code: {rows}")
    check(older is not None and older["VersionMin"] == "" and older["VersionMax"] == version
          and not int(older["Attributes"]) & (ONLY_DETECT | VERSION_MAX_INCLUSIVE),
          f"older versions are not removed: {older}")
    check(newer is not None and newer["VersionMin"] == version and newer["VersionMax"] == ""
          and int(newer["Attributes"]) & ONLY_DETECT and not int(newer["Attributes"]) & VERSION_MIN_INCLUSIVE,
          f"newer versions are not detected: {newer}")
    conditions = {row["Condition"]: row["Description"] for row in table(msi, "LaunchCondition")}
    check("A newer version of [ProductName] is already installed" in conditions.get("NOT WIX_DOWNGRADE_DETECTED", ""),
          f"no downgrade message: {conditions}")


def check_summary(msi):
    summary = subprocess.run(["msiinfo", "suminfo", msi], capture_output=True, text=True, check=True).stdout
    check("Template: Intel;1033" in summary, "not a 32-bit package")
    check("Source: 2 (2)" in summary, "the files are not compressed into the package")


def main():
    dist, version = sys.argv[1], sys.argv[2]
    msi = os.path.join(dist, f"ondavipci-{version}.msi")
    with zipfile.ZipFile(os.path.join(dist, f"ondavipci-{version}-win32.zip")) as package:
        members = {info.filename: info.file_size for info in package.infolist()}
    files = check_files(msi, members)
    check_directories(msi)
    properties = check_properties(msi, version)
    check_apply_action(msi, files)
    check_upgrades(msi, version)
    check_summary(msi)
    for failure in failures:
        print("FAIL:", failure)
    if not failures:
        print(f"{os.path.basename(msi)}: {len(files)} files into [ProgramFilesFolder]Ondavi\\ondavipci, "
              f"product {properties['ProductCode']}, APPLY runs ondavipci-fleet.exe apply")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
