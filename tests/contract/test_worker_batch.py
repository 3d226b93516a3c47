"""Batched embedding (``encode_batch_size`` set on the handler): the same rings,
order, console lines and tracebacks as one message at a time, with the inputs
of each model embedded together."""
from __future__ import annotations

import re

import numpy as np
import pytest

from support import configure, data_url, png_bytes, run_worker


class BatchModel:
    """Encodes one input or a list of them; an input that holds "boom" (a
    text) or is 7x7 pixels (an image) fails, and so does a list holding one."""

    def __init__(self, name):
        self.name = name
        self.calls = []

    def _one(self, value):
        key = value if isinstance(value, str) else bytes(value.size) + value.tobytes()
        if "boom" in str(key) or getattr(value, "size", None) == (7, 7):
            raise ValueError(f"cannot embed {str(key)[:20]!r}")
        seed = abs(hash((self.name, key))) % (2**32)
        return np.random.default_rng(seed).standard_normal(4).astype(np.float32)

    def encode(self, value):
        self.calls.append(value)
        if isinstance(value, list):
            return np.stack([self._one(v) for v in value])
        return self._one(value)


def text(t):
    return {"type": "text", "text": t}


def image(size=(6, 4), color=(200, 30, 40)):
    return {"type": "image_url", "image_url": {"url": data_url(png_bytes(size, color))}}


MESSAGES = [
    {"model": "m", "content": "a short question"},
    {"model": "m", "content": [text("see this"), image(), text("x" * 300)]},
    {"model": "m", "content": [text("boom goes the part"), image((7, 7)), text("after the failure")]},
    {"model": "other", "content": "skipped"},
    {"model": "m", "content": [image(), {"type": "image_url", "image_url": {"url": "data:image/png;base64,@@@"}}]},
    {"model": "m", "content": [text("one"), "not a part", text("never")]},
    {"model": "m", "content": [text(str(i)) for i in range(6)]},
    {"model": "m", "content": "boom in a string"},
    {"model": "m", "content": [image((8, 8), (1, 2, 3)), text("a last question, a bit longer than most")]},
]


def run(handler, console, mod, batch):
    models = {"t": BatchModel("t"), "i": BatchModel("i")}
    configure(handler, {"m": {"text": "t", "image": "i"}, "n": {"text": "t", "image": None}}, models)
    if batch:
        handler.encode_batch_size = batch
        handler.encode_gather_seconds = 0.0
    q = run_worker(handler, *[dict(m) for m in MESSAGES])
    shown = lambda v: re.sub(r"0x[0-9a-f]+", "0x?", str(v))  # noqa: E731 (an object's address)
    events = [(k, shown(v)) if k == "print" else (k, type(v).__name__, shown(v)) for k, v in console.events]
    rings = {m: {k: v["live"] for k, v in r.items()} for m, r in handler.live_embeddings.items()}
    console.clear()
    return events, rings, [c[0] for c in q.calls if c[0] == "task_done"], models


@pytest.mark.parametrize("batch", [2, 16])
def test_batched_worker_stores_and_prints_as_one_at_a_time(mod, console, real_pillow, batch):
    one_events, one_rings, one_done, _ = run(mod.ShiftDetectionRequestHandler(), console, mod, None)
    events, rings, done, models = run(mod.ShiftDetectionRequestHandler(), console, mod, batch)
    assert events == one_events
    assert rings == one_rings
    assert done == one_done == ["task_done"] * len(MESSAGES)
    # The failing batch fell back to one input per call; others went together.
    lists = [c for c in models["t"].calls + models["i"].calls if isinstance(c, list)]
    assert lists and all(len(c) <= batch for c in lists)
    assert any({"query: boom goes the part", "query: after the failure"} <= set(c) for c in models["t"].calls if isinstance(c, list))
    assert "query: boom goes the part" in models["t"].calls  # the fallback
    assert sum(len(r) for m in one_rings.values() for r in m.values()) == 13


def test_long_texts_are_not_padded_with_short_ones(mod, handler, console):
    model = BatchModel("t")
    configure(handler, {"m": {"text": "t", "image": None}}, {"t": model})
    handler.encode_batch_size = 8
    run_worker(handler, *[{"model": "m", "content": c} for c in ("a", "b" * 2000, "c", "d" * 2100, "e")])
    assert [sorted(map(len, c)) for c in model.calls] == [[8, 8, 8], [2007, 2107]]
