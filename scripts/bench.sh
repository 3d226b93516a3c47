#!/usr/bin/env bash
# Runs the benchmarks (benchmarks/run.py) with the pinned interpreter.
#
#   bash scripts/bench.sh [--only intake,store,worker,stall,memory,callgrind] [--quick] [--json FILE]
#
# Prints every figure and ratio side by side; benchmarks/README.md explains them.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# shellcheck source=scripts/env.sh
source "$root/scripts/env.sh"
cd "$root"
exec "$OLVANE_PY" benchmarks/run.py "$@"
