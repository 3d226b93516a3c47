"""Shared fixtures: the module, fresh handlers, a console recorder, recipe
directories on disk and fake embedding models for fault injection."""
from __future__ import annotations

import importlib
import os
import sys
import tempfile
import threading
import types

import pytest

from support import FakeFactory

os.environ.setdefault("HF_HUB_OFFLINE", "1")
os.environ.setdefault("TRANSFORMERS_OFFLINE", "1")
# The middleware's default sample store lives under the state directory: keep
# the suite's (and the servers' it starts) out of the user's.
os.environ.setdefault("XDG_STATE_HOME", tempfile.mkdtemp(prefix="olvane-test-state-"))

MODULE_NAME = "olvane_sdk.fast.deployment.ood.interceptor"


@pytest.fixture(scope="session")
def mod():
    return importlib.import_module(MODULE_NAME)


@pytest.fixture
def handler(mod):
    """A new handler, so that tests never share queues, maps or workers."""
    return mod.ShiftDetectionRequestHandler()


class Console:
    """Stands in for the module's `print` and `traceback`.

    `events` keeps, in order, ("print", text) for every line and
    ("traceback", exc) for every print_exc call, exc being the exception that
    was being handled at that moment (what print_exc would print).
    """

    def __init__(self):
        self.events: list[tuple[str, object]] = []
        self._lock = threading.Lock()
        self.traceback = types.SimpleNamespace(print_exc=self.print_exc)

    def print(self, *args, **kwargs):
        assert not kwargs, kwargs
        assert len(args) == 1, args
        with self._lock:
            self.events.append(("print", args[0]))

    def print_exc(self, *args, **kwargs):
        assert not args and not kwargs
        with self._lock:
            self.events.append(("traceback", sys.exc_info()[1]))

    @property
    def lines(self) -> list[str]:
        with self._lock:
            return [v for k, v in self.events if k == "print"]

    @property
    def tracebacks(self) -> list[BaseException]:
        with self._lock:
            return [v for k, v in self.events if k == "traceback"]

    def kinds(self) -> list[str]:
        with self._lock:
            return [k for k, _ in self.events]

    def clear(self):
        with self._lock:
            self.events.clear()


@pytest.fixture
def console(mod, monkeypatch):
    """Rebinds the module's `print` and `traceback` to a recorder."""
    rec = Console()
    monkeypatch.setattr(mod, "print", rec.print)
    monkeypatch.setattr(mod, "traceback", rec.traceback)
    return rec


@pytest.fixture
def fake_models(mod, monkeypatch):
    factory = FakeFactory()
    monkeypatch.setattr(mod, "SentenceTransformer", factory)
    return factory


@pytest.fixture
def recipe_root(tmp_path):
    return tmp_path / "recipes"


@pytest.fixture
def thread_errors(monkeypatch):
    """Records (instead of printing) exceptions that end threads."""
    seen: list[BaseException] = []
    monkeypatch.setattr(threading, "excepthook", lambda args: seen.append(args.exc_value))
    return seen


@pytest.fixture
def real_pillow():
    """Skips where only a stand-in for Pillow is importable."""
    image = pytest.importorskip("PIL.Image")
    if not hasattr(image, "UnidentifiedImageError") and not hasattr(
        __import__("PIL"), "UnidentifiedImageError"
    ):
        pytest.skip("the real Pillow is not installed")
    return image


# ---------------------------------------------------------------------------
# Progress display stand-in (init_models)
# ---------------------------------------------------------------------------


class ProgressRecorder:
    """Stands in for rich's `Progress` in the module's namespace.

    Calling it records the constructor arguments and returns a context
    manager; entering that returns `display`, a separate object whose
    add_task/update calls are recorded. `exits` keeps the three arguments of
    every __exit__ call (exception type, value, traceback).
    """

    def __init__(self):
        self.created: list[tuple[tuple, dict]] = []
        self.tasks: list[tuple[tuple, dict]] = []
        self.updates: list[tuple[tuple, dict]] = []
        self.entered = 0
        self.exits: list[tuple] = []
        self.task_id = object()
        self.display = types.SimpleNamespace(add_task=self._add_task, update=self._update)

    def __call__(self, *args, **kwargs):
        self.created.append((args, kwargs))
        return _ProgressContext(self)

    def _add_task(self, *args, **kwargs):
        self.tasks.append((args, kwargs))
        return self.task_id

    def _update(self, *args, **kwargs):
        self.updates.append((args, kwargs))


class _ProgressContext:
    def __init__(self, rec):
        self._rec = rec

    def __enter__(self):
        self._rec.entered += 1
        return self._rec.display

    def __exit__(self, *exc):
        self._rec.exits.append(exc)
        return None


@pytest.fixture
def progress_recorder(mod, monkeypatch):
    """Rebinds the module's `Progress` to a ProgressRecorder."""
    rec = ProgressRecorder()
    monkeypatch.setattr(mod, "Progress", rec)
    return rec


class FakeImages:
    """Replaces the module's `Image`: open() records the bytes of the
    in-memory file it was given and returns a token for the opened image."""

    def __init__(self):
        self.opened: list = []

    def open(self, *args, **kwargs):
        assert not kwargs and len(args) == 1, (args, kwargs)
        token = types.SimpleNamespace(data=args[0].read())
        self.opened.append(token)
        return token


@pytest.fixture
def images(mod, monkeypatch):
    fake = FakeImages()
    monkeypatch.setattr(mod, "Image", fake)
    return fake


@pytest.fixture
def broken_console(mod, console, monkeypatch):
    """The module's print fails for lines that start with `broken.prefix`."""
    state = types.SimpleNamespace(prefix=None)

    def print_(line):
        if state.prefix is not None and line.startswith(state.prefix):
            raise RuntimeError("console down")
        console.print(line)

    monkeypatch.setattr(mod, "print", print_)
    return state
