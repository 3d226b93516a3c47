"""Shared fixtures: the module, fresh handlers, a console recorder, recipe
directories on disk and fake embedding models for fault injection."""
from __future__ import annotations

import importlib
import json
import os
import sys
import threading
import time
import types
from pathlib import Path

import numpy as np
import pytest

os.environ.setdefault("HF_HUB_OFFLINE", "1")
os.environ.setdefault("TRANSFORMERS_OFFLINE", "1")

MODULE_NAME = "olvane_sdk.fast.deployment.ood.interceptor"

# What the constructor sets on a handler, in order.
HANDLER_ATTRIBUTES = [
    "embedding_models",
    "train_test_embeddings",
    "live_embeddings",
    "embedding_indices",
    "MAX_EMBEDDINGS",
    "live_messages_queue",
    "embedding_lock",
    "embedding_thread",
    "vllm_to_embedding_model_map",
]


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


class FakeModel:
    """An embedding model whose encode returns a small float vector."""

    def __init__(self, name, dim=4, fail=None):
        self.name = name
        self.dim = dim
        self.fail = fail
        self.inputs = []

    def encode(self, value):
        self.inputs.append(value)
        if self.fail is not None:
            raise self.fail
        seed = abs(hash((self.name, repr(value)))) % (2**32)
        return np.random.default_rng(seed).standard_normal(self.dim).astype(np.float32)


class FakeFactory:
    """Replaces `SentenceTransformer`: records every construction."""

    def __init__(self, fail_for=()):
        self.calls: list[tuple[tuple, dict]] = []
        self.fail_for = set(fail_for)
        self.made: dict[object, FakeModel] = {}

    def __call__(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        name = args[0]
        if name in self.fail_for:
            raise OSError(f"cannot load {name}")
        model = FakeModel(name)
        self.made[name] = model
        return model

    @property
    def loaded_names(self):
        return [a[0] for a, _ in self.calls]


@pytest.fixture
def fake_models(mod, monkeypatch):
    factory = FakeFactory()
    monkeypatch.setattr(mod, "SentenceTransformer", factory)
    return factory


def write_recipe(
    root: Path,
    name: str,
    *,
    config: dict | str | None = None,
    text_model="text-model",
    image_model="image-model",
    train: dict | None = None,
    test: dict | None = None,
    dim: int = 4,
) -> Path:
    """Writes a recipe directory in the layout init_models reads.

    `config` overrides the configuration document (a str is written as is,
    None writes the default one). `train`/`test` map member names to arrays;
    passing False for either skips that archive.
    """
    recipe = root / name
    dist = recipe / "data" / "distribution"
    (dist / "train").mkdir(parents=True, exist_ok=True)
    (dist / "test").mkdir(parents=True, exist_ok=True)
    if config is None:
        config = {"embeddings": {"text_model_name": text_model, "image_model_name": image_model}}
    if config is not False:
        text = config if isinstance(config, str) else json.dumps(config)
        (dist / "test_config.json").write_text(text)
    rng = np.random.default_rng(len(name))
    if train is None:
        train = {
            "text_embeddings": rng.standard_normal((5, dim)),
            "text_roles": np.array(["user"] * 5),
            "image_embeddings": rng.standard_normal((3, dim)),
            "image_roles": np.array(["user"] * 3),
        }
    if test is None:
        test = {
            "text_embeddings": rng.standard_normal((2, dim)),
            "image_embeddings": rng.standard_normal((2, dim)),
        }
    if train is not False:
        np.savez(dist / "train" / "embeddings.npz", **train)
    if test is not False:
        np.savez(dist / "test" / "embeddings.npz", **test)
    return recipe


@pytest.fixture
def recipe_root(tmp_path):
    return tmp_path / "recipes"


def wait_until(predicate, timeout=10.0, interval=0.01):
    """Polls predicate until true; fails the test after `timeout` seconds."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return
        time.sleep(interval)
    raise AssertionError(f"condition not met within {timeout}s")


def drain(handler, timeout=20.0):
    """Waits (bounded) until every queued message was marked done."""
    q = handler.live_messages_queue
    wait_until(lambda: q.unfinished_tasks == 0, timeout=timeout)


# ---------------------------------------------------------------------------
# Worker and intake helpers (driving live_embedding_worker without a thread,
# fake threading, images as data URLs)
# ---------------------------------------------------------------------------


class StopWorker(BaseException):
    """Ends live_embedding_worker: derives from BaseException, so it passes
    every guard of the worker."""


class ScriptedQueue:
    """Stands in for live_messages_queue when the worker is driven directly.

    Each get() takes the next step of the script: an exception instance is
    raised, anything else is returned as the message. With the script used
    up, get() raises StopWorker, which ends the worker. `calls` records every
    get/task_done in order; `task_done_error` (an exception instance or a
    callable returning one or None) makes task_done raise.
    """

    def __init__(self, steps=(), task_done_error=None):
        self.steps = list(steps)
        self.calls: list[tuple] = []
        self.task_done_error = task_done_error

    def get(self, *args, **kwargs):
        self.calls.append(("get", args, kwargs))
        if not self.steps:
            raise StopWorker()
        step = self.steps.pop(0)
        if isinstance(step, BaseException):
            raise step
        return step

    def task_done(self, *args, **kwargs):
        self.calls.append(("task_done", args, kwargs))
        error = self.task_done_error
        if callable(error):
            error = error()
        if error is not None:
            raise error

    @property
    def task_done_count(self) -> int:
        return sum(1 for c in self.calls if c[0] == "task_done")

    @property
    def get_count(self) -> int:
        return sum(1 for c in self.calls if c[0] == "get")


def run_worker(handler, *steps, task_done_error=None) -> ScriptedQueue:
    """Runs the real live_embedding_worker on this thread over `steps`
    (messages or exceptions to raise from get) until the script is used up."""
    q = ScriptedQueue(steps, task_done_error=task_done_error)
    handler.live_messages_queue = q
    with pytest.raises(StopWorker):
        handler.live_embedding_worker()
    return q


def configure(handler, model_map, models=None, prefixes=None):
    """Installs model maps on a handler as init_models would publish them."""
    handler.vllm_to_embedding_model_map = model_map
    handler.embedding_models = dict(models or {})
    handler.text_prefixes = dict(prefixes or {})


@pytest.fixture
def thread_errors(monkeypatch):
    """Records (instead of printing) exceptions that end threads."""
    seen: list[BaseException] = []
    monkeypatch.setattr(threading, "excepthook", lambda args: seen.append(args.exc_value))
    return seen


def png_bytes(size=(6, 4), color=(200, 30, 40)) -> bytes:
    """A small PNG made with Pillow (needs the real package)."""
    import io

    from PIL import Image

    buf = io.BytesIO()
    Image.new("RGB", size, color).save(buf, format="PNG")
    return buf.getvalue()


def data_url(payload: bytes, header="data:image/png;base64") -> str:
    import base64

    return header + "," + base64.b64encode(payload).decode("ascii")


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


def stop_worker(handler, thread, timeout=5.0):
    """Ends a real worker thread: the queue it reads next raises StopWorker,
    and a harmless message wakes it if it is waiting on the old queue. Use
    with the thread_errors fixture, which keeps the ending quiet."""

    class Ending:
        def get(self, *args, **kwargs):
            raise StopWorker()

        def task_done(self):
            pass

    old = handler.live_messages_queue
    handler.live_messages_queue = Ending()
    try:
        old.put_nowait({})
    except Exception:
        pass
    thread.join(timeout)
    assert not thread.is_alive(), "worker did not end"


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


class QuietProgress:
    """Stands in for rich's Progress so that hundreds of init_models calls stay fast."""

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        return None

    def add_task(self, description, total):
        return 0

    def update(self, task, advance):
        pass


class RecordingMapping(dict):
    """A mapping that records the arguments of every `get`."""

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.reads = []

    def get(self, *args):
        self.reads.append(args)
        return super().get(*args)
