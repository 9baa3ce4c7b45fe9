#!/usr/bin/env bash
# check_signing.sh DIST: signs a release with a throwaway self-signed
# code-signing certificate and checks it against the unsigned release in
# DIST: each signed exe and the signed Windows Installer package verify with
# that certificate as the trusted root, a copy with one byte changed does
# not, and under Wine the signed exe prints exactly what the unsigned one
# prints.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
unsigned_dist=$(realpath "$1")
work=$top/build/signing
rm -rf "$work"
mkdir -p "$work"
cd "$work"

openssl req -x509 -newkey rsa:2048 -nodes -keyout key.pem -out cert.pem -days 2 -subj "/CN=ondavipci test signing" \
    -addext "keyUsage=critical,digitalSignature" -addext "extendedKeyUsage=codeSigning" 2>/dev/null
printf 'throwaway password' > password
openssl pkcs12 -export -inkey key.pem -in cert.pem -out signing.p12 -passout file:password

# The password from a file, and from the environment.
ONDAVIPCI_DIST=$work/dist ONDAVIPCI_SIGN_PKCS12=$work/signing.p12 ONDAVIPCI_SIGN_PASSWORD_FILE=$work/password \
    bash "$top/scripts/release" >/dev/null
ONDAVIPCI_DIST=$work/dist-env ONDAVIPCI_SIGN_PKCS12=$work/signing.p12 ONDAVIPCI_SIGN_PASSWORD='throwaway password' \
    bash "$top/scripts/release" >/dev/null
(cd dist && sha256sum -c --quiet SHA256SUMS)

failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}
extract() {  # extract ZIP MEMBER OUT
    python3 -c 'import sys, zipfile; open(sys.argv[3], "wb").write(zipfile.ZipFile(sys.argv[1]).read(sys.argv[2]))' "$@"
}

for platform in win32 win64; do
    zip=$(basename "$unsigned_dist"/ondavipci-*-"$platform".zip)
    extract "dist/$zip" ondavipci-fleet.exe "signed-fleet-$platform.exe"
    osslsigncode verify -CAfile cert.pem -in "signed-fleet-$platform.exe" >/dev/null 2>&1 ||
        fail "the $platform ondavipci-fleet.exe does not verify"
    extract "$unsigned_dist/$zip" ondavipci.exe "unsigned-$platform.exe"
    extract "dist/$zip" ondavipci.exe "signed-$platform.exe"
    extract "dist-env/$zip" ondavipci.exe "signed-env-$platform.exe"

    for exe in "signed-$platform.exe" "signed-env-$platform.exe"; do
        osslsigncode verify -CAfile cert.pem -in "$exe" >"$exe.verify" 2>&1 || fail "$exe does not verify"
    done
    osslsigncode verify -CAfile /etc/ssl/certs/ca-certificates.crt -in "signed-$platform.exe" >/dev/null 2>&1 &&
        fail "signed-$platform.exe verifies without its certificate trusted"
    cmp -s "unsigned-$platform.exe" "signed-$platform.exe" && fail "signed-$platform.exe is not signed"

    python3 - "signed-$platform.exe" "tampered-$platform.exe" <<'PY'
import sys
data = bytearray(open(sys.argv[1], "rb").read())
data[0x500] ^= 0x01  # in the first section, covered by the signature
open(sys.argv[2], "wb").write(data)
PY
    osslsigncode verify -CAfile cert.pem -in "tampered-$platform.exe" >/dev/null 2>&1 &&
        fail "tampered-$platform.exe still verifies"
    echo "$platform: signed exe verifies; a changed byte fails verification"
done

# The Windows Installer package: signed, its tables intact, and a changed
# byte in its cabinet fails verification.
version=$(bash "$top/scripts/version")
msi=dist/ondavipci-$version.msi
osslsigncode verify -CAfile cert.pem -in "$msi" >/dev/null 2>&1 || fail "$msi does not verify"
cmp -s "$unsigned_dist/ondavipci-$version.msi" "$msi" && fail "$msi is not signed"
python3 "$top/tests/check_msi.py" dist "$version" >/dev/null || fail "the signed package's tables differ"
python3 - "$msi" tampered.msi <<'PY'
import sys
data = bytearray(open(sys.argv[1], "rb").read())
data[data.index(b"MSCF") + 200] ^= 0x01
open(sys.argv[2], "wb").write(data)
PY
osslsigncode verify -CAfile cert.pem -in tampered.msi >/dev/null 2>&1 && fail "tampered.msi still verifies"
echo "msi: signed package verifies; a changed byte fails verification"

# Under Wine, signed and unsigned alike.
e2e=$top/tests/e2e/wine_e2e.py
machine=$top/tools/sample-machine.json
bash "$top/scripts/fetch-qemu-i386" "$top/build/qemu"
"$top/tests/e2e/i386-namespace" "$top/build/qemu/qemu-i386" python3 "$e2e" same --prefix "$work/wine-prefix" \
    --raw-helper "$top/build/win32/tests/e2e/set_raw_value.exe" "$machine" unsigned-win32.exe signed-win32.exe ||
    fail "under Wine, the signed win32 exe differs from the unsigned one"
python3 "$e2e" same --prefix "$work/wine-prefix" --raw-helper "$top/build/win64/tests/e2e/set_raw_value.exe" \
    "$machine" unsigned-win64.exe signed-win64.exe ||
    fail "under Wine, the signed win64 exe differs from the unsigned one"

[[ $failures -eq 0 ]] || exit 1
cd "$top" && rm -rf "$work"
