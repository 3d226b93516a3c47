"""The benchmarks' pure-Python peer (benchmarks/baseline.py) must behave like the
module, line for line, or the benchmark compares different work. Each scenario
runs on a fresh handler of each and the recorded console lines must be equal.

Known, deliberate difference: a value ending in a backslash. The module doubles
trailing backslashes only when a tag follows the value at once; rich's
`markup.escape`, which the peer uses as a Python developer would, always adds
one. No scenario here ends a value in a backslash. Second: a data URL without a
comma; the module words the unpacking error "need more than 1 value to unpack",
Python 3.11 (and so the peer) "not enough values to unpack (expected 2, got 1)".
"""
from __future__ import annotations

import sys
import types
from pathlib import Path

import numpy as np
import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[2]))
from benchmarks import baseline  # noqa: E402


class Stop(BaseException):
    pass


class StopMessage:
    def get(self, *args):
        raise Stop()


def record(m, scenario):
    lines = []
    saved = m.print, m.traceback
    m.print = lambda *a: lines.append(a[0])
    m.traceback = types.SimpleNamespace(print_exc=lambda: lines.append(("traceback", type(sys.exc_info()[1]).__name__)))
    try:
        h = m.ShiftDetectionRequestHandler()
        scenario(h)
    finally:
        m.print, m.traceback = saved
    return lines, h


def store(h):
    h.MAX_EMBEDDINGS = 3
    for i in range(5):
        h.add_embedding("m[red]x", "text", np.full(3, i, dtype=np.float32))
        h.add_embedding("m[red]x", "image", [float(i)])
    with pytest.raises(KeyError):
        h.add_embedding("other", "audio", [1.0])


def intake(h):
    h.embedding_thread = types.SimpleNamespace(is_alive=lambda: True)
    h.handle_chat_completion_request(types.SimpleNamespace(model="x", messages=[{"n": i} for i in range(18)]))
    h.handle_chat_completion_request(types.SimpleNamespace(model="x", messages=[None]))
    h.handle_chat_completion_request(types.SimpleNamespace(model="x", messages=[type("D", (dict,), {})()]))
    h.handle_chat_completion_request(object())
    h.embedding_thread = types.SimpleNamespace(is_alive=lambda: 1 / 0)
    h.start_live_embedding_worker()


def worker(h):
    h.embedding_models = {"t": types.SimpleNamespace(encode=lambda v: np.ones(2, dtype=np.float32)),
                          "bad": types.SimpleNamespace(encode=lambda v: 1 / 0)}
    h.vllm_to_embedding_model_map = {"a": {"text": "t", "image": None}, "b": {"text": "missing", "image": "nope"},
                                     "c": {"text": None, "image": "t"}, "d": {"text": "bad", "image": None}}
    h.text_prefixes = {"a": "query: "}
    q = h.live_messages_queue
    for msg in [{"model": "a", "content": "hi"}, {"model": "b", "content": "hi"}, {"model": "z[red]", "content": "x"},
                {"model": "c", "content": "x"}, {"model": "d", "content": "x"},
                {"model": "d", "content": [{"type": "text", "text": "y"}]},
                {"model": "b", "content": [{"type": "text"}, {"type": "image_url", "image_url": {"url": "data:image/png;base64,abc"}}]},
                {"model": "a", "content": [{"type": "text", "text": "y"}, "plain", {"type": "text"}]}]:
        q.put_nowait(msg)
    q.put_nowait(StopMessage())
    with pytest.raises(Stop):
        h.live_embedding_worker()


def before_init(h):
    h.live_messages_queue.put_nowait({"model": "a", "content": "x"})
    h.live_messages_queue.put_nowait(StopMessage())
    with pytest.raises(Stop):
        h.live_embedding_worker()


@pytest.mark.parametrize("scenario", [store, intake, worker, before_init], ids=lambda f: f.__name__)
def test_peer_prints_the_same_lines(mod, scenario):
    native_lines, native_h = record(mod, scenario)
    peer_lines, peer_h = record(baseline, scenario)
    assert native_lines, "the scenario printed nothing"
    assert native_lines == peer_lines
    assert native_h.live_embeddings == peer_h.live_embeddings
    assert native_h.embedding_indices == peer_h.embedding_indices
    assert list(native_h.live_messages_queue.queue) == list(peer_h.live_messages_queue.queue)
