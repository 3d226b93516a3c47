#!/usr/bin/env bash
# Runs project tasks inside the pinned environment (scripts/env.sh).
#
#   scripts/run.sh test [pytest args...]   python -m pytest -q tests [args...]
#   scripts/run.sh demo [args...]          the demo host (recipes, live endpoint, traffic, report)
#
# `test` first installs the Debian tools the suite runs when missing
# (scripts/test_deps.sh), and treats pytest's exit 5 (no tests collected) as a failure.
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
        bash "$root/scripts/test_deps.sh"
        rc=0
        "$OLVANE_PY" -m pytest -q tests "$@" || rc=$?
        if [[ $rc -eq 5 ]]; then
            echo "run.sh: pytest collected no tests (exit 5); treated as a failure" >&2
            exit 1
        fi
        exit "$rc"
        ;;
    demo)
        exec "$OLVANE_PY" -m olvane_sdk.fast.deployment.ood.demo "$@"
        ;;
    *)
        usage
        exit 2
        ;;
esac
