#!/usr/bin/env bash
# check_deploy.sh DIST: the Ansible playbook passes ansible-playbook's syntax
# check and ansible-lint, and deploys the version that this source builds,
# by the product code of that version's package in DIST.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
playbook=$top/deploy/ansible/ondavipci.yml

dist=$(realpath "${1:-$top/dist}")
version=$(bash "$top/scripts/version")
grep -q "ondavipci_version: \"$version\"" "$playbook" ||
    { echo "FAIL: $playbook does not deploy version $version" >&2; exit 1; }
code=$(msiinfo export "$dist/ondavipci-$version.msi" Property | sed -n 's/^ProductCode\t\([^\r]*\).*/\1/p')
grep -qF "ondavipci_product_code: \"$code\"" "$playbook" ||
    { echo "FAIL: $playbook does not install the package by its product code $code" >&2; exit 1; }

cd "$(dirname "$playbook")"
ansible-playbook --syntax-check -i localhost, "$(basename "$playbook")"
ansible-lint --offline --nocolor "$(basename "$playbook")"
