#!/usr/bin/env bash
# Installs the plugin into a scratch folder and checks its description with lv2_validate.
set -euo pipefail
build=$1
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
cmake --install "$build" --component lv2 --prefix "$root" >/dev/null
bundle=$root/lib/lv2/thumpa.lv2
test -f "$bundle/thumpa.so"
out=$(lv2_validate "$bundle"/*.ttl 2>&1)
echo "$out" | tail -3
echo "$out" | grep -q "Found 0 errors"
