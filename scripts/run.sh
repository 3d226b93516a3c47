#!/usr/bin/env bash
# Runs project tasks inside the pinned environment (scripts/env.sh).
#
#   scripts/run.sh test [pytest args...]   python -m pytest -q tests [args...]
#   scripts/run.sh demo [args...]          the demo host, or the handler's state
#
# `test` treats pytest's exit 5 (no tests collected) as a failure.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
usage() { echo "usage: $0 {test|demo} [args...]" >&2; }

if [[ $# -lt 1 ]]; then
    usage
    exit 2
fi
cmd=$1
shift

# shellcheck source=scripts/env.sh
source "$root/scripts/env.sh"
cd "$root"

case "$cmd" in
    test)
        rc=0
        "$OLVANE_PY" -m pytest -q tests "$@" || rc=$?
        if [[ $rc -eq 5 ]]; then
            echo "run.sh: pytest collected no tests (exit 5); treated as a failure" >&2
            exit 1
        fi
        exit "$rc"
        ;;
    demo)
        if "$OLVANE_PY" - <<'PY'
import importlib.util, sys
try:
    found = importlib.util.find_spec("olvane_sdk.fast.deployment.ood.demo_host") is not None
except ModuleNotFoundError:
    found = False
sys.exit(0 if found else 1)
PY
        then
            exec "$OLVANE_PY" -m olvane_sdk.fast.deployment.ood.demo_host "$@"
        fi
        exec "$OLVANE_PY" - "$@" <<'PY'
from pprint import pprint

from olvane_sdk.fast.deployment.ood.interceptor import olvane_shift_detection_handler as handler

print(f"{type(handler).__module__}.{type(handler).__qualname__} instance:")
pprint(vars(handler), sort_dicts=True)
PY
        ;;
    *)
        usage
        exit 2
        ;;
esac
