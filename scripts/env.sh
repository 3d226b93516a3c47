#!/usr/bin/env bash
# Creates (or reuses) the project's pinned Python environment and installs the
# project into it.
#
#   source scripts/env.sh   # sets OLVANE_PY (the venv's python) in this shell
#   bash scripts/env.sh     # same, and prints the path of that python
#
# The venv lives outside the checkout, keyed by the content of
# requirements/lock.txt:
#   ${OLVANE_ENV_HOME:-$HOME/.cache/olvane-sdk}/venv-<first 12 hex of sha256(lock.txt)>
# The lock is installed with `pip install --no-deps` (see the header of
# lock.txt for why) only when the venv's completion marker is missing; the
# marker is written last, so an interrupted install is redone from a fresh
# venv. Concurrent callers are serialised with flock on a file beside the venv.
# The project itself is then (re)installed on every call with
# `pip install --no-build-isolation --no-deps <repo root>`, unless
# OLVANE_PROJECT_INSTALLED names this checkout: .ci/run installs once and sets
# it for its stages (run.sh test, wheel_check.sh, sanitize.sh), which then use
# that install as it is.
#
# Settings (environment):
#   OLVANE_ENV_HOME     where venvs are kept (default $HOME/.cache/olvane-sdk)
#   OLVANE_BASE_PYTHON  interpreter that creates the venv (default python3.11,
#                       else python3); it must be CPython 3.11
#   OLVANE_PROJECT_INSTALLED  the repo root already installed into this venv
#                       by the caller (.ci/run): the project install is skipped
# Exported: OLVANE_PY, OLVANE_VENV, HF_HUB_OFFLINE=1, TRANSFORMERS_OFFLINE=1.

_olvane_env_main() {
    local root lock hash home venv marker base_py ver lockfile
    root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd) || return 1
    lock="$root/requirements/lock.txt"
    if [[ ! -f "$lock" ]]; then
        echo "env.sh: $lock not found" >&2
        return 1
    fi
    hash=$(sha256sum "$lock" | cut -c1-12) || return 1
    home=${OLVANE_ENV_HOME:-${HOME:-/tmp}/.cache/olvane-sdk}
    venv="$home/venv-$hash"
    marker="$venv/.olvane-lock-installed"

    # No model hub here: everything that this environment runs stays offline.
    export HF_HUB_OFFLINE=1
    export TRANSFORMERS_OFFLINE=1

    mkdir -p "$home" || return 1
    lockfile="$home/venv-$hash.lock"
    (
        # Subshell: holds the flock for the duration of the install only.
        exec 9>"$lockfile"
        if command -v flock >/dev/null 2>&1; then
            flock 9 || exit 1
        fi
        if [[ -f "$marker" ]] && [[ -x "$venv/bin/python" ]]; then
            exit 0
        fi
        base_py=${OLVANE_BASE_PYTHON:-}
        if [[ -z "$base_py" ]]; then
            if command -v python3.11 >/dev/null 2>&1; then base_py=python3.11; else base_py=python3; fi
        fi
        ver=$("$base_py" -c 'import sys; print("%d.%d" % sys.version_info[:2])') || exit 1
        if [[ "$ver" != "3.11" ]]; then
            echo "env.sh: $base_py is Python $ver; CPython 3.11 is required (set OLVANE_BASE_PYTHON)" >&2
            exit 1
        fi
        echo "env.sh: creating $venv from $lock" >&2
        rm -rf "$venv"
        "$base_py" -m venv "$venv" || exit 1
        echo "env.sh: installing the pinned packages (1.5 to 3.5 min with a warm pip cache)" >&2
        # -qq: only errors; the machine's pip config names index folders that
        # do not exist, and pip warns about each of them for every package.
        "$venv/bin/python" -m pip install --no-input --disable-pip-version-check -qq \
            --no-deps -r "$lock" >&2 || exit 1
        "$venv/bin/python" - <<'PY' >&2 || exit 1
import vllm.entrypoints.openai.protocol  # noqa: F401  (the import the project relies on)
import sentence_transformers, onnxruntime, optimum.onnxruntime  # noqa: F401,E401
PY
        printf '%s\n' "$hash" >"$marker.tmp" && mv -f "$marker.tmp" "$marker"
    ) || { echo "env.sh: installing the lock failed" >&2; return 1; }

    export OLVANE_VENV="$venv"
    export OLVANE_PY="$venv/bin/python"

    if [[ "${OLVANE_PROJECT_INSTALLED:-}" == "$root" ]]; then
        return 0
    fi
    "$OLVANE_PY" -m pip install --no-input --disable-pip-version-check -qq \
        --no-build-isolation --no-deps "$root" >&2 \
        || { echo "env.sh: installing the project from $root failed" >&2; return 1; }
}

if [[ "${BASH_SOURCE[0]}" != "$0" ]]; then
    # Sourced: never exit the caller's shell, only report failure.
    _olvane_env_main
    _olvane_env_rc=$?
    unset -f _olvane_env_main
    if [[ $_olvane_env_rc -ne 0 ]]; then
        unset _olvane_env_rc
        return 1
    fi
    unset _olvane_env_rc
else
    set -euo pipefail
    _olvane_env_main
    echo "$OLVANE_PY"
fi
