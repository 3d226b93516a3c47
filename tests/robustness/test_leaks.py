"""Leaks: every method path, success and each error path, run many times.

The console is rebound to sinks that keep nothing (print discards its line,
print_exc formats the traceback and drops it), so whatever memory or
references remain after a round belong to the module. Each path runs through
a warm-up round first (interned names, caches, lazily made literals), then
the measured rounds; after gc the allocated blocks, the tracemalloc total and
the resident memory must stay within noise, and the reference counts of
objects the calls handled must be what they were before.
"""
from __future__ import annotations

import base64
import gc
import io
import os
import sys
import threading
import tracemalloc
import types

import numpy as np
import pytest

from support import FakeFactory, FakeModel, QuietProgress, write_recipe

# Rounds per measured phase (the sanitizer run lowers it: everything is slower there).
ROUNDS = int(os.environ.get("OLVANE_LEAK_ROUNDS", "2000"))
SLOW_PATHS = {"init_success", "init_failures", "worker", "worker_batched"}
UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")


class Stop(BaseException):
    """Ends a worker run from inside the test thread."""


class StopMessage:
    def get(self, *args):
        raise Stop()


class Boom(Exception):
    pass


class BoomText(FakeModel):
    """Fails on a text holding "boom", and so on a batch holding one."""

    def encode(self, value):
        if "boom" in repr(value):
            raise Boom("encode")
        return super().encode(value)


class RaisingToList:
    def tolist(self):
        raise Boom("tolist")


class Sink:
    """print and traceback stand-ins that keep nothing."""

    def __init__(self):
        self.count = 0
        self.traceback = types.SimpleNamespace(print_exc=self.print_exc)

    def print(self, line):
        self.count += 1

    def print_exc(self):
        import traceback

        traceback.format_exc()


class FakeThreading:
    """The module's `threading` with a Thread that is created but never runs."""

    Lock = staticmethod(threading.Lock)

    class Thread:
        fail_start = False

        def __init__(self, target, daemon):
            self.target = target
            self.daemon = daemon

        def start(self):
            if self.fail_start:
                raise RuntimeError("can't start new thread")

        def is_alive(self):
            return False


class RaisingIsAlive:
    def is_alive(self):
        raise Boom("is_alive")


class NoPut:
    def put_nowait(self, item):
        raise Boom("put")


class DictSub(dict):
    pass


def png_data_url():
    from PIL import Image

    buf = io.BytesIO()
    Image.new("RGB", (4, 4), (255, 0, 0)).save(buf, format="PNG")
    return "data:image/png;base64," + base64.b64encode(buf.getvalue()).decode()


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096


@pytest.fixture
def sink(mod, monkeypatch):
    s = Sink()
    monkeypatch.setattr(mod, "print", s.print)
    monkeypatch.setattr(mod, "traceback", s.traceback)
    monkeypatch.setattr(mod, "Progress", QuietProgress)
    return s


def make_paths(mod, handler, recipe_root, monkeypatch):
    """One callable per method path; each returns nothing and leaves the handler reusable."""
    factory = FakeFactory(fail_for={"broken-model"})
    image_fail = FakeFactory()
    monkeypatch.setattr(mod, "SentenceTransformer", factory)
    good = write_recipe(recipe_root, "good")
    no_config = write_recipe(recipe_root, "no-config", config=False)
    no_archive = write_recipe(recipe_root, "no-archive", train=False)
    bad_text = write_recipe(recipe_root, "bad-text", train={"text_embeddings": np.zeros((2, 4)),
                                                           "image_embeddings": np.zeros((2, 4))})
    broken = write_recipe(recipe_root, "broken", text_model="broken-model", image_model="image-model")
    bad_json = write_recipe(recipe_root, "bad-json", config="{not json")
    url = png_data_url()
    real_threading = mod.threading
    H = type(handler)

    class Request:
        def __init__(self, model, messages):
            self.model = model
            self.messages = messages

    def expect(exc_type, fn, *args, **kwargs):
        try:
            fn(*args, **kwargs)
        except exc_type:
            return
        raise AssertionError(f"{fn} did not raise {exc_type}")

    def reset_queue():
        q = handler.live_messages_queue
        with q.mutex:
            q.queue.clear()
            q.unfinished_tasks = 0
            q.not_full.notify_all()

    # --- constructor ---
    def construct():
        H()

    # --- argument errors (every rule, on every method kind) ---
    def argument_errors():
        expect(TypeError, handler.add_embedding, "m", "text")
        expect(TypeError, handler.start_live_embedding_worker, 1)
        expect(TypeError, handler.init_models)
        expect(TypeError, handler.add_live_message, message=None, bogus=1)
        expect(TypeError, handler.add_live_message, {}, message={})
        expect(TypeError, H.add_embedding, handler, "m", modal_type="text")
        expect(TypeError, handler.add_live_message, None)
        expect(TypeError, handler.add_live_message, DictSub())
        expect(TypeError, H.handle_chat_completion_request)
        expect(TypeError, handler.live_embedding_worker, 1, 2)

    # --- init_models: success and every failure row ---
    def forget_fakes():
        # The fakes record their calls; drop the records so that only the module's memory counts.
        factory.calls.clear()
        image_fail.calls.clear()
        for model in [*factory.made.values(), *image_fail.made.values(), text_model]:
            model.inputs.clear()

    def init_success():
        handler.init_models({"good": str(good)})
        forget_fakes()

    def init_failures():
        handler.init_models({"no-config": str(no_config), "no-archive": str(no_archive),
                             "bad-text": str(bad_text), "broken": str(broken), "bad-json": str(bad_json)})
        handler.init_models(["not", "a", "mapping"])
        handler.init_models({"x": 12})
        forget_fakes()

    # --- add_embedding: append, overwrite, numpy, list, failures ---
    def store():
        handler.MAX_EMBEDDINGS = 3
        for i in range(5):
            handler.add_embedding("leak-model", "text", np.full(4, float(i), dtype=np.float32))
            handler.add_embedding("leak-model", "image", [float(i)] * 4)
        expect(KeyError, handler.add_embedding, "leak-model", "audio", [1.0])
        expect(Boom, handler.add_embedding, "leak-model", "text", RaisingToList())
        expect(TypeError, handler.add_embedding, ["unhashable"], "text", [1.0])
        handler.MAX_EMBEDDINGS = 1000

    # --- intake ---
    def intake_success():
        handler.embedding_thread = None
        mod.threading = FakeThreading
        try:
            handler.handle_chat_completion_request(Request("m", [{"role": "user", "content": "hi"}] * 3))
            handler.handle_chat_completion_request(Request("m", []))
        finally:
            mod.threading = real_threading
        reset_queue()

    def intake_full():
        handler.embedding_thread = types.SimpleNamespace(is_alive=lambda: True)
        handler.handle_chat_completion_request(Request("m", [{"i": i} for i in range(20)]))
        reset_queue()

    def intake_errors():
        handler.embedding_thread = types.SimpleNamespace(is_alive=lambda: True)
        handler.handle_chat_completion_request(object())
        handler.handle_chat_completion_request(Request("m", 5))
        handler.handle_chat_completion_request(Request("m", [{"a": 1}, None, {"b": 2}]))
        handler.handle_chat_completion_request(Request("m", [{"a": 1}, DictSub(), {"b": 2}]))
        handler.handle_chat_completion_request(types.SimpleNamespace(messages=[{}]))
        queue = handler.live_messages_queue
        handler.live_messages_queue = NoPut()
        try:
            handler.add_live_message({"x": 1})
        finally:
            handler.live_messages_queue = queue
        reset_queue()

    def worker_start_errors():
        handler.embedding_thread = RaisingIsAlive()
        handler.start_live_embedding_worker()
        mod.threading = FakeThreading
        FakeThreading.Thread.fail_start = True
        try:
            handler.embedding_thread = None
            handler.start_live_embedding_worker()
        finally:
            FakeThreading.Thread.fail_start = False
            mod.threading = real_threading
        handler.embedding_thread = types.SimpleNamespace(is_alive=lambda: True)
        handler.start_live_embedding_worker()
        handler.embedding_thread = None

    # --- worker: every message path, run on this thread until Stop ---

    handler.init_models({"good": str(good)})
    configured = dict(embedding_models=dict(handler.embedding_models),
                      vllm_to_embedding_model_map=dict(handler.vllm_to_embedding_model_map),
                      text_prefixes=dict(handler.text_prefixes))
    failing = image_fail("failing")
    failing.fail = Boom("encode")
    configured["embedding_models"]["failing"] = failing
    configured["embedding_models"]["text-model"] = text_model = BoomText("text-model")
    image_model = configured["embedding_models"]["image-model"]

    def worker(batch=None):
        # With a batch, every message below is gathered at once (8 at a time) and encoded together.
        handler.encode_batch_size = batch
        handler.encode_gather_seconds = 0.0
        handler.MAX_EMBEDDINGS = 4  # rings full after the warm-up: stores overwrite, never grow
        # A new exception each round: re-raising one instance would grow its traceback chain.
        failing.fail = Boom("encode")
        for attr, value in configured.items():
            setattr(handler, attr, value)
        messages = [
            {"model": "good", "content": "plain text"},
            {"model": "good", "content": ""},
            {"model": "good", "content": [
                {"type": "text", "text": "a"}, {"type": "text"},
                {"type": "image_url", "image_url": {"url": url}},
                {"type": "image_url", "image_url": {"url": "https://example.com/a.png"}},
                {"type": "image_url", "image_url": {"url": "data:image/png;base64"}},
                {"type": "image_url", "image_url": {"url": "data:image/png;base64,abc"}},
                {"type": "image_url", "image_url": {"url": "data:image/png;base64,aGVsbG8="}},
                {"type": "image_url"}, {"type": "other"}, {"type": None},
            ]},
            # A second image beside the texts; two long texts, cut from the short ones by
            # length, whose batch fails on "boom" and is encoded again one text a call.
            {"model": "good", "content": [{"type": "image_url", "image_url": {"url": url}},
                                          {"type": "text", "text": "boom " * 30}, {"type": "text", "text": "y " * 60}]},
            {"model": "good", "content": [{"type": "text", "text": "x"}, "plain string part", {"type": "text"}]},
            {"model": "good", "content": ("tuple",)},
            {"model": "good", "content": None},
            {"model": "unknown", "content": "skipped"},
            {"content": "no model"},
            {"model": "good", "content": {"type": "text"}},
        ]
        for m in messages:
            handler.live_messages_queue.put_nowait(m)
        handler.live_messages_queue.put_nowait(StopMessage())
        expect(Stop, handler.live_embedding_worker)
        # Not-found models, a failing encode, a missing text_prefixes map.
        handler.vllm_to_embedding_model_map = {"good": {"text": "missing", "image": "failing"}}
        for m in [{"model": "good", "content": "x"},
                  {"model": "good", "content": [{"type": "text", "text": "y"},
                                                {"type": "image_url", "image_url": {"url": url}}]},
                  {"model": "good", "content": [{"type": "image_url", "image_url": {"url": url}}]}]:
            handler.live_messages_queue.put_nowait(m)
        handler.live_messages_queue.put_nowait(StopMessage())
        expect(Stop, handler.live_embedding_worker)
        del handler.text_prefixes
        handler.live_messages_queue.put_nowait({"model": "good", "content": "x"})
        handler.live_messages_queue.put_nowait(StopMessage())
        expect(Stop, handler.live_embedding_worker)
        reset_queue()
        if batch:  # inputs went together: this is the batch path, not the one-at-a-time one again
            assert all(any(isinstance(v, list) for v in m.inputs) for m in (text_model, image_model, failing))
        forget_fakes()

    return {
        "construct": construct,
        "argument_errors": argument_errors,
        "init_success": init_success,
        "init_failures": init_failures,
        "store": store,
        "intake_success": intake_success,
        "intake_full": intake_full,
        "intake_errors": intake_errors,
        "worker_start_errors": worker_start_errors,
        "worker": worker,
        "worker_batched": lambda: worker(batch=8),
    }


PATHS = ["construct", "argument_errors", "init_success", "init_failures", "store", "intake_success",
         "intake_full", "intake_errors", "worker_start_errors", "worker", "worker_batched"]


def blocks_growth(run, rounds):
    gc.collect()
    before = sys.getallocatedblocks()
    for _ in range(rounds):
        run()
    gc.collect()
    return sys.getallocatedblocks() - before


@pytest.mark.parametrize("path", PATHS)
def test_path_does_not_leak(mod, handler, sink, recipe_root, monkeypatch, path):
    run = make_paths(mod, handler, recipe_root, monkeypatch)[path]
    rounds = ROUNDS // 4 if path in SLOW_PATHS else ROUNDS
    for _ in range(rounds // 2):
        run()
    printed_in_warmup = sink.count
    watched = [handler, handler.live_messages_queue, handler.embedding_lock, type(handler),
               type(handler).add_embedding, mod.olvane_shift_detection_handler]
    gc.collect()
    refcounts = [sys.getrefcount(o) for o in watched]
    rss_before = rss_bytes()
    # Phase 1: allocated blocks (free lists and caches make a few hundred blocks of
    # noise that does not grow with the rounds; a leak of one object per round does).
    growth_1 = blocks_growth(run, rounds)
    # Phase 2: the same under tracemalloc.
    tracemalloc.start()
    try:
        gc.collect()
        traced_before = tracemalloc.get_traced_memory()[0]
        growth_2 = blocks_growth(run, rounds)
        traced_after = tracemalloc.get_traced_memory()[0]
    finally:
        tracemalloc.stop()
    gc.collect()
    rss_after = rss_bytes()
    # The path did its work (lines were printed), so it exercised what it names.
    if path not in ("construct", "argument_errors", "intake_success"):
        assert sink.count > printed_in_warmup
    assert min(growth_1, growth_2) < rounds // 2, (growth_1, growth_2, rounds)
    assert traced_after - traced_before < 16 * rounds + 64 * 1024, (traced_before, traced_after, rounds)
    if not UNDER_ASAN:  # ASan's quarantine keeps freed memory resident: RSS says nothing there
        assert rss_after - rss_before < 32 * 2**20, (rss_before, rss_after)
    assert [sys.getrefcount(o) for o in watched] == refcounts


def test_objects_passed_in_are_released(mod, handler, sink, monkeypatch):
    """What a call only looks at must not keep a reference after it returns."""
    handler.embedding_thread = types.SimpleNamespace(is_alive=lambda: True)

    class Request:
        model = "m"

        def __init__(self, messages):
            self.messages = messages

    message = {"role": "user", "content": "x"}
    bad = DictSub()
    request = Request([message])
    bad_request = Request([bad])
    embedding = np.zeros(4, dtype=np.float32)
    name = "refcount-model-" + str(id(handler))
    watched = [message, bad, request, bad_request, embedding, name]
    gc.collect()
    before = [sys.getrefcount(o) for o in watched]
    for _ in range(200):
        handler.handle_chat_completion_request(request)
        handler.live_messages_queue.get_nowait()
        handler.live_messages_queue.task_done()
        handler.handle_chat_completion_request(bad_request)
        try:
            handler.add_live_message(bad)
        except TypeError:
            pass
        handler.add_embedding(name, "text", embedding)
    gc.collect()
    after = [sys.getrefcount(o) for o in watched]
    # `name` is kept once per map as a key of live_embeddings and embedding_indices.
    expected = list(before)
    expected[-1] += 2
    assert after == expected
    assert len(handler.live_embeddings[name]["text"]["live"]) == 200
