#!/usr/bin/env bash
# The Debian packages the test suite runs besides Python: promtool (package
# `prometheus`, for the alert rule tests), `redis-server` and `chromium` (the
# operator's page is rendered in headless Chromium). Installs only
# what is missing, with one `apt-get update`, so a fresh machine or a CI clone
# gets them and a prepared one pays two `command -v`.
set -euo pipefail

need=()
command -v promtool >/dev/null 2>&1 || need+=(prometheus)
command -v redis-server >/dev/null 2>&1 || need+=(redis-server)
command -v chromium >/dev/null 2>&1 || need+=(chromium)
[[ ${#need[@]} -eq 0 ]] && exit 0

if ! command -v apt-get >/dev/null 2>&1; then
    echo "test_deps.sh: ${need[*]} missing and no apt-get here: install them (promtool, redis-server, chromium)" >&2
    exit 1
fi
as_root=()
if [[ $(id -u) -ne 0 ]]; then
    as_root=(sudo)
fi
echo "test_deps.sh: installing ${need[*]}" >&2
"${as_root[@]}" apt-get update
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${need[@]}"
