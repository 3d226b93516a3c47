"""Values placed in console lines are shown as written.

The lines are rich markup; a served model name comes from the request and an
exception's text may quote input, so markup inside a value is escaped (as
rich's own `escape` does) instead of restyling the line or making rich raise.
"""
from __future__ import annotations

import io
import types

import pytest
from rich.console import Console as RichConsole
from rich.markup import escape

from support import FakeModel, StopWorker, configure, run_worker

NAMES = [
    "[/yellow]",  # a closing tag that matches an open one in the line
    "[/x]",  # a closing tag that matches nothing: rich raises on it
    "[bold red]alert",
    "a\\[b]",  # an already escaped-looking value
    "ends with backslashes\\\\",
    "[Errno 2] plain",  # not tag-shaped: unchanged
    "list ['a', 'b']",  # not tag-shaped: unchanged
]


def rendered(line: str) -> str:
    out = RichConsole(file=io.StringIO(), width=500, color_system=None)
    out.print(line)
    return out.file.getvalue().rstrip("\n")


@pytest.mark.parametrize("name", NAMES)
def test_skip_line_shows_the_model_name_as_written(mod, handler, monkeypatch, name):
    """With rich's real print, a request naming a model like "[/x]" is
    reported and the worker goes on to the next message."""
    screen = RichConsole(file=io.StringIO(), width=500, color_system=None)
    monkeypatch.setattr(mod, "print", screen.print)
    configure(handler, {"served": {"text": "t", "image": None}}, models={"t": FakeModel("t")})
    q = run_worker(handler, {"model": name, "content": "hi"}, {"model": "served", "content": "hi"}, StopWorker())
    assert q.task_done_count == 2
    shown = screen.file.getvalue().splitlines()
    assert shown[0] == f"Shift detection skipped for model {name}"
    assert shown[1] == "Model: served | Text: 1 embeddings | Image: 0 embeddings"
    assert handler.live_embeddings["served"]["text"]["live"] and name not in handler.live_embeddings


def test_exception_text_is_escaped_in_guard_lines(mod, handler, console):
    """An exception whose text carries markup is reported with it escaped."""
    configure(handler, {"served": {"text": "t", "image": None}},
              models={"t": FakeModel("t", fail=ValueError("bad token [/red] here"))})
    run_worker(handler, {"model": "served", "content": "hi"}, StopWorker())
    assert console.lines == ["[red]Error computing text embedding:[/red] bad token \\[/red] here"]
    assert rendered(console.lines[0]) == "Error computing text embedding: bad token [/red] here"


@pytest.mark.parametrize("name", NAMES)
def test_store_lines_escape_the_model_name(mod, handler, console, name):
    handler.MAX_EMBEDDINGS = 1
    handler.add_embedding(name, "text", [0.5])
    handler.add_embedding(name, "text", [0.25])
    green = console.lines[-1]
    yellow = console.lines[-2]
    tags_escaped = escape(name).rstrip("\\") + "\\" * (len(name) - len(name.rstrip("\\")))
    assert green == f"[green]Model: {tags_escaped} | Text: 1 embeddings | Image: 0 embeddings[/green]"
    assert yellow == f"[yellow]Round-robin replacement for text embedding at index 0 for model {tags_escaped}.[/yellow]"
    assert rendered(green) == f"Model: {name} | Text: 1 embeddings | Image: 0 embeddings"
    assert rendered(yellow) == f"Round-robin replacement for text embedding at index 0 for model {name}."
