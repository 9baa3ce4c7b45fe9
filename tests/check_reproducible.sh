#!/usr/bin/env bash
# check_reproducible.sh: builds the release twice, from two copies of this
# source tree at different paths, one after the other, and compares the
# SHA-256 of every artifact: both zips, the Windows Installer package,
# SHA256SUMS, and each file inside the zips. Any difference fails.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
work=$top/build/reproducible
export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git -C "$top" log -1 --format=%ct)}

rm -rf "$work"
dirs=("$work/first/ondavipci" "$work/second/a/longer/path/ondavipci")
for dir in "${dirs[@]}"; do
    mkdir -p "$dir"
    # The tree as it stands, uncommitted changes included, without build output.
    git -C "$top" ls-files -z --cached --others --exclude-standard | (cd "$top" && xargs -0 tar -cf - --) |
        tar -xf - -C "$dir"
    (cd "$dir" && ONDAVIPCI_DIST=dist bash scripts/release >/dev/null)
done

# The SHA-256 of each zip, of the package, of SHA256SUMS and of every file in the zips.
hashes() {
    python3 - "$1/dist" <<'PY'
import glob, hashlib, os, sys, zipfile
dist = sys.argv[1]
packages = sorted(glob.glob(os.path.join(dist, "ondavipci-*.zip")) + glob.glob(os.path.join(dist, "ondavipci-*.msi")))
if len(packages) != 3:
    sys.exit(f"expected two zips and a package in {dist}, found {packages}")
for path in packages + [os.path.join(dist, "SHA256SUMS")]:
    with open(path, "rb") as f:
        print(hashlib.sha256(f.read()).hexdigest(), os.path.basename(path))
for path in sorted(glob.glob(os.path.join(dist, "ondavipci-*.zip"))):
    with zipfile.ZipFile(path) as package:
        for member in package.namelist():
            print(hashlib.sha256(package.read(member)).hexdigest(), f"{os.path.basename(path)}/{member}")
PY
}

first=$(hashes "${dirs[0]}")
second=$(hashes "${dirs[1]}")
echo "$first"
if [[ "$first" != "$second" ]]; then
    echo "the two builds differ:" >&2
    diff <(echo "$first") <(echo "$second") >&2 || true
    exit 1
fi
echo "two builds, at $(dirname "${dirs[0]}") and $(dirname "${dirs[1]}"), are identical"
rm -rf "$work"
