"""Facts the C++ module and the Python package each state: read from the C++
sources and from the Python modules, so that changing one side alone fails
here instead of drifting silently (a budget charging for limits the module no
longer has, a renamed console line losing its kind and level)."""
from __future__ import annotations

import re
from pathlib import Path

import pytest

from olvane_sdk.fast.deployment.ood import _logconsole
from olvane_sdk.fast.deployment.ood.middleware import budget
from olvane_sdk.fast.deployment.ood.samples import WINDOW_LATEST

NATIVE = Path(__file__).resolve().parents[2] / "src" / "native" / "interceptor"


def _cpp(rel: str) -> str:
    text = (NATIVE / rel).read_text()
    # Comments out, so that a constant named only in a comment does not count.
    return re.sub(r"//[^\n]*", "", text)


def _constant(rel: str, name: str) -> int:
    m = re.search(rf"constexpr\s+[\w:\s]+?\b{name}\s*=\s*([^;]+);", _cpp(rel))
    assert m, f"{name} not found in {rel}"
    # The initializers are integer arithmetic: 2048LL * 2048LL, Py_ssize_t{8} << 10.
    expr = re.sub(r"Py_ssize_t\{(\d+)\}", r"\1", m.group(1))
    expr = re.sub(r"(\d+)(?:LL|L|U|UL|ULL)\b", r"\1", expr)
    assert re.fullmatch(r"[\d\s*+<>()-]+", expr), f"{name}: cannot read {m.group(1)!r}"
    return int(eval(expr))  # noqa: S307 -- digits and operators only, checked above


@pytest.mark.parametrize(("cpp_name", "python_value"), [
    ("kPartsPerMessage", budget.PARTS),
    ("kTextChars", budget.TEXT_CHARS),
    ("kImagePixels", budget.PIXELS),
    ("kTextWordPieces", budget.TEXT_PIECES),
])
def test_budget_charges_the_modules_limits(cpp_name, python_value):
    assert _constant("handler/content.cpp", cpp_name) == python_value


def test_ring_size():
    from olvane_sdk.fast.deployment.ood.interceptor import ShiftDetectionRequestHandler

    ring = _constant("handler/state.cpp", "MAX_EMBEDDINGS")
    # The built module agrees with its source (a stale build would not), and
    # the store's report window reads as many records as one ring holds.
    assert ShiftDetectionRequestHandler().MAX_EMBEDDINGS == ring == WINDOW_LATEST


def _console_literals() -> list[str]:
    """The plain text of every literal the module writes that opens with a
    markup tag: the heads of its console lines, and their closing tails."""
    found = [lit for path in sorted(NATIVE.rglob("*.cpp"))
             for lit in re.findall(r'ICPT_LIT\("((?:[^"\\]|\\.)*)"\)', _cpp(str(path.relative_to(NATIVE))))]
    assert found, "no literals found: the sources moved?"
    return found


# The progress bar's task title: rich's Progress draws it, never the console.
NOT_CONSOLE_LINES = {"[green]Configuring shift detection..."}


def test_console_line_heads_are_classified():
    literals = _console_literals()
    heads = [lit for lit in literals
             if re.match(r"\s*\[(red|yellow|green)]", lit) and lit not in NOT_CONSOLE_LINES]
    plain_literals = [_logconsole.strip_markup(lit) for lit in literals]

    unclassified = []
    for lit in heads:
        plain = _logconsole.strip_markup(lit)
        if any(plain.startswith(s.head) for s in _logconsole._SHAPES) or plain.startswith(_logconsole._SETTINGS):
            continue
        # The summary's model line: indentation, the served model's name, a colon.
        if not plain.strip() and _logconsole._SUMMARY_HEAD.match(plain + "alpha-chat:"):
            continue
        unclassified.append(lit)
    assert not unclassified, f"console lines the log console does not classify: {unclassified}"

    missing = [s.head for s in _logconsole._SHAPES
               if not any(_logconsole.strip_markup(lit).startswith(s.head) for lit in heads)]
    missing += [s for s in _logconsole._SETTINGS if not any(_logconsole.strip_markup(lit) == s for lit in heads)]
    assert not missing, f"line heads no C++ literal writes: {missing}"

    tails = [s.tail for s in _logconsole._SHAPES if s.tail]
    assert tails
    lost = [t for t in tails if not any(p.startswith(t) for p in plain_literals)]
    assert not lost, f"line tails no C++ literal writes: {lost}"
