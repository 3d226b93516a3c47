"""Helpers the tests import: fake embedding models, recipe directories on
disk, bounded waits, and driving live_embedding_worker without a thread.
Fixtures stay in conftest.py."""
from __future__ import annotations

import json
import time
from pathlib import Path

import numpy as np
import pytest

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
        if isinstance(value, list):  # a batch, as the real encode takes one: a row per input
            return np.stack([self._row(v) for v in value])
        return self._row(value)

    def _row(self, value):
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


def wait_until(predicate, timeout=10.0, interval=0.01, describe=None):
    """Polls predicate until true; fails the test after `timeout` seconds,
    with what `describe()` tells of the state (a server's log, say)."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return
        time.sleep(interval)
    raise AssertionError(f"condition not met within {timeout}s" + (f": {describe()}" if describe else ""))


def drain(handler, timeout=20.0):
    """Waits (bounded) until every queued message was marked done."""
    q = handler.live_messages_queue
    wait_until(lambda: q.unfinished_tasks == 0, timeout=timeout)


# ---------------------------------------------------------------------------
# Worker and intake helpers (driving live_embedding_worker without a thread,
# images as data URLs)
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
