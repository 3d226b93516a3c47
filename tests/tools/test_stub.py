"""interceptor.pyi against the built module: mypy's stubtest for what it can
see at run time, then what it cannot (parameters, which the method objects
carry only in their docstrings' first line, and per-instance attributes)."""
import ast
import os
import re
import subprocess
import sys
from pathlib import Path

# Heavy typed packages are not followed (minutes of checking); sklearn has no types.
MYPY_INI = """[mypy]\n[mypy-vllm.*,sentence_transformers.*,torch.*,transformers.*]\nfollow_imports = skip
[mypy-sklearn.*]\nignore_missing_imports = True\n"""


def test_stubtest_passes_against_the_built_module(mod, tmp_path):
    assert Path(mod.__file__).with_name("py.typed").is_file()
    (tmp_path / "mypy.ini").write_text(MYPY_INI)
    env = dict(os.environ, PYTHONPATH=str(Path(mod.__file__).parents[4]))  # the directory holding olvane_sdk/
    r = subprocess.run([sys.executable, "-m", "mypy.stubtest", mod.__name__, "--mypy-config-file", "mypy.ini"],
                       cwd=tmp_path, env=env, capture_output=True, text=True, timeout=600)
    assert r.returncode == 0 and "Success" in r.stdout, r.stdout + r.stderr


def test_stub_parameters_attributes_and_names_are_the_modules(mod, handler, console, progress_recorder):
    tree = ast.parse(Path(mod.__file__).with_name("interceptor.pyi").read_text())
    [cls] = [n for n in tree.body if isinstance(n, ast.ClassDef)]
    stub_methods = {n.name: [a.arg for a in n.args.args] for n in cls.body if isinstance(n, ast.FunctionDef)}
    runtime_methods = {  # from "ShiftDetectionRequestHandler.add_live_message(self, dict message: dict)"
        name: [p.split(":")[0].split()[-1] for p in re.match(r"[\w.]+\((.*)\)", fn.__doc__).group(1).split(",")]
        for name, fn in vars(mod.ShiftDetectionRequestHandler).items() if callable(fn)}
    assert list(stub_methods.items()) == list(runtime_methods.items())
    handler.init_models({})  # creates text_prefixes, the one attribute the constructor does not set
    assert {n.target.id for n in cls.body if isinstance(n, ast.AnnAssign)} == set(vars(handler))
    names = {cls.name} | {t.id for n in tree.body if isinstance(n, ast.Assign) for t in n.targets}
    names |= {n.target.id for n in tree.body if isinstance(n, ast.AnnAssign)} | {  # "import x as x" re-exports
        a.asname for n in tree.body if isinstance(n, (ast.Import, ast.ImportFrom)) for a in n.names if a.asname}
    assert {k for k in names if k == "__test__" or k[0] != "_"} == {k for k in vars(mod) if k[:2] != "__"} | {"__test__"}
