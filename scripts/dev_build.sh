#!/usr/bin/env bash
# Developer loop: build the extension in place (into the package, beside its
# Python modules; the sources are in src/native) so that
# `PYTHONPATH=src python -m pytest` picks it up without reinstalling.
# Usage: scripts/dev_build.sh [python] [extra cmake args...]
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
py=${1:-${OLVANE_PY:-python3}}
shift || true
build="$root/build/dev-$(basename "$py")"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DINTERCEPTOR_ASSERTS=ON -DPython_EXECUTABLE="$(command -v "$py")" "$@" >/dev/null
cmake --build "$build"
# Copy beside the target and rename over it: a process that has the old .so
# mapped keeps it intact instead of seeing it rewritten in place.
pkg="$root/src/olvane_sdk/fast/deployment/ood"
install_so() {  # install_so <built .so> <package directory>
    cp "$1" "$2/.$(basename "$1").tmp"
    mv -f "$2/.$(basename "$1").tmp" "$2/$(basename "$1")"
}
for so in "$build"/interceptor*.so; do install_so "$so" "$pkg"; done
for so in "$build"/_bodyscan*.so; do install_so "$so" "$pkg/middleware"; done
