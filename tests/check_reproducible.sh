#!/usr/bin/env bash
# check_reproducible.sh: builds the release twice, from two copies of this
# source tree at different paths, one after the other, and compares the
# SHA-256 of every artifact: both zips, SHA256SUMS, and each file inside the
# zips. Any difference fails.
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

hashes() {
    local dist=$1/dist zip member
    (cd "$dist" && sha256sum ondavipci-*.zip SHA256SUMS)
    for zip in "$dist"/ondavipci-*.zip; do
        for member in $(python3 -c 'import sys, zipfile; print(*zipfile.ZipFile(sys.argv[1]).namelist())' "$zip"); do
            printf '%s  %s\n' "$(python3 -c 'import hashlib, sys, zipfile
print(hashlib.sha256(zipfile.ZipFile(sys.argv[1]).read(sys.argv[2])).hexdigest())' "$zip" "$member")" \
                "$(basename "$zip")/$member"
        done
    done
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
