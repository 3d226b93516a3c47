"""The package's imports point down: storage and the recipe format know
nothing of the report, the report nothing of building recipes, and none of
them of serving, the commands or the demo; serving knows
nothing of the commands or the demo, and the demo nothing of the commands.
Read from the sources, imports inside functions included (a lazy import is
still a dependency)."""
from __future__ import annotations

import ast
from pathlib import Path

import pytest

import olvane_sdk.fast.deployment.ood as ood

ROOT = Path(ood.__file__).parent
PACKAGE = ood.__name__

#: What each part may not import. A recipe directory's format sits below
#: everything that reads it; building and adopting recipes use the report's
#: statistics (calibration, power), so they sit above it.
ABOVE = {
    "recipe_files": {"samples", "report", "recipes", "middleware", "cli", "demo"},
    "samples": {"recipe_files", "report", "recipes", "middleware", "cli", "demo"},
    "report": {"recipes", "middleware", "cli", "demo"},
    "recipes": {"middleware", "cli", "demo"},
    "middleware": {"cli", "demo"},
    "demo": {"cli"},
}


def _imported_parts(path: Path, source: str | None = None) -> set[str]:
    """The package's top-level parts that ``path`` imports."""
    here = path.relative_to(ROOT).with_suffix("").parts
    parts = set()
    for node in ast.walk(ast.parse(path.read_text() if source is None else source)):
        if isinstance(node, ast.ImportFrom) and node.level:
            base = here[:len(here) - node.level]
            names = [*base, *(node.module or "").split(".")] if node.module else list(base)
            if names and names[0]:
                parts.add(names[0])
            elif not node.module:  # from .. import cli
                parts.update(a.name for a in node.names)
        else:
            full = [a.name for a in node.names] if isinstance(node, ast.Import) else \
                [node.module or ""] if isinstance(node, ast.ImportFrom) else []
            parts.update(n[len(PACKAGE) + 1:].split(".")[0] for n in full if n.startswith(PACKAGE + "."))
    return parts


@pytest.mark.parametrize("part", sorted(ABOVE))
def test_imports_point_down(part):
    wrong = {str(p.relative_to(ROOT)): sorted(_imported_parts(p) & ABOVE[part])
             for p in sorted((ROOT / part).rglob("*.py"))}
    assert not {p: w for p, w in wrong.items() if w}


def test_the_check_sees_relative_absolute_and_lazy_imports():
    """A check that never finds anything guards nothing."""
    source = ("from ..cli import report\nfrom .. import demo\nfrom .stats import ShareTest\n"
              f"def f():\n    import {PACKAGE}.middleware.asgi\n")
    assert _imported_parts(ROOT / "report" / "probe.py", source) == {"cli", "demo", "report", "middleware"}
