#!/usr/bin/env bash
# check_deploy.sh: the Ansible playbook passes ansible-playbook's syntax check
# and ansible-lint, and deploys the version that this source builds.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
playbook=$top/deploy/ansible/ondavipci.yml

version=$(bash "$top/scripts/version")
grep -q "ondavipci_version: \"$version\"" "$playbook" ||
    { echo "FAIL: $playbook does not deploy version $version" >&2; exit 1; }

cd "$(dirname "$playbook")"
ansible-playbook --syntax-check -i localhost, "$(basename "$playbook")"
ansible-lint --offline --nocolor "$(basename "$playbook")"
