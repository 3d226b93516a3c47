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
