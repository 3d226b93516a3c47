"""The type stub (interceptor.pyi) against the built module.

mypy's stubtest checks what it can see at run time: that every name, class
and method of the stub exists and is of the right kind. It cannot see the
methods' parameters (the module's method objects carry their signature only
in the docstring's first line) nor the handler's attributes (set per
instance), so the second test compares those with the runtime itself."""
from __future__ import annotations

import ast
import os
import re
import subprocess
import sys
from pathlib import Path

MODULE = "olvane_sdk.fast.deployment.ood.interceptor"

# Heavy typed packages (vllm, sentence-transformers and what they import) are
# not followed: stubtest would spend minutes type-checking them. scikit-learn
# ships no type information.
MYPY_CONFIG = """\
[mypy]
[mypy-vllm.*,sentence_transformers.*,torch.*,transformers.*]
follow_imports = skip
[mypy-sklearn.*]
ignore_missing_imports = True
"""


def stub_path(mod) -> Path:
    return Path(mod.__file__).with_name("interceptor.pyi")


def test_stubtest_passes_against_the_built_module(mod, tmp_path):
    (tmp_path / "mypy.ini").write_text(MYPY_CONFIG)
    package_root = Path(mod.__file__).parents[4]  # the directory that holds olvane_sdk/
    assert (stub_path(mod).with_name("py.typed")).is_file()
    env = dict(os.environ, PYTHONPATH=str(package_root))
    r = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", MODULE, "--mypy-config-file", "mypy.ini"],
        cwd=tmp_path, env=env, capture_output=True, text=True, timeout=600,
    )
    assert r.returncode == 0, r.stdout + r.stderr
    assert "Success" in r.stdout


def test_stub_parameters_attributes_and_names_are_the_modules(mod, handler, console, progress_recorder):
    tree = ast.parse(stub_path(mod).read_text())
    [cls] = [n for n in tree.body if isinstance(n, ast.ClassDef)]
    stub_methods = {n.name: [a.arg for a in n.args.args] for n in cls.body if isinstance(n, ast.FunctionDef)}
    stub_attributes = {n.target.id for n in cls.body if isinstance(n, ast.AnnAssign)}

    # "ShiftDetectionRequestHandler.add_live_message(self, dict message: dict)"
    runtime_methods = {}
    for name, fn in vars(mod.ShiftDetectionRequestHandler).items():
        if callable(fn) and fn.__doc__:
            params = re.match(r"[\w.]+\((.*)\)", fn.__doc__.splitlines()[0]).group(1)
            runtime_methods[name] = [p.split(":")[0].split()[-1] for p in params.split(",")]
    assert stub_methods == runtime_methods
    assert list(stub_methods) == list(runtime_methods)

    handler.init_models({})  # creates text_prefixes, the one attribute the constructor does not set
    assert stub_attributes == set(vars(handler))

    stub_names = {n.target.id for n in tree.body if isinstance(n, ast.AnnAssign)}
    stub_names |= {n.name for n in tree.body if isinstance(n, ast.ClassDef)}
    stub_names |= {t.id for n in tree.body if isinstance(n, ast.Assign) for t in n.targets}
    stub_names |= {a.asname for n in tree.body if isinstance(n, (ast.Import, ast.ImportFrom))
                   for a in n.names if a.asname}  # "import x as x" is what a stub re-exports
    stub_names = {k for k in stub_names if k == "__test__" or not k.startswith("_")}  # no stub-only aliases
    assert stub_names == {k for k in vars(mod) if not k.startswith("__")} | {"__test__"}
