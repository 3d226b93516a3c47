"""Concurrency: many host threads, a worker and repeated init_models at once.

Eight host threads send 20,000 requests between them while another thread
calls `init_models` over and over (fake, fast models) and the worker embeds.
Nothing may crash or deadlock (every wait is bounded), at most one worker may
ever be started, and every message must be accounted for by exactly one line:
embedded (the store's green counts line), skipped (the yellow skip line) or
dropped (the red queue-full line).
"""
from __future__ import annotations

import threading
import types

import pytest

from support import FakeFactory, QuietProgress, drain, write_recipe

HOST_THREADS = 8
REQUESTS = 20_000
JOIN_TIMEOUT = 180.0

EMBEDDED = "[green]Model: "
SKIPPED = "[yellow]Shift detection skipped for model "
DROPPED = "[red]Live messages queue is full. Dropping message.[/red]"
ROUND_ROBIN = "[yellow]Round-robin replacement for "
SUMMARY_PREFIXES = ("  [green]", "    [yellow]Text:[/yellow] ", "    [yellow]Image:[/yellow] ",
                    "    [yellow]Text Prefix:[/yellow] ")


class CountingFactory(FakeFactory):
    """Keeps every model it made (the base keeps the last one per name)."""

    def __init__(self):
        super().__init__()
        self.all_models = []

    def __call__(self, *args, **kwargs):
        model = super().__call__(*args, **kwargs)
        self.all_models.append(model)
        return model

    def encoded(self):
        return [v for m in self.all_models for v in list(m.inputs)]


def counting_threading(real_threading):
    """The module's `threading`, with a Thread class that counts its instances."""
    made = []

    class Thread(real_threading.Thread):
        def __init__(self, *args, **kwargs):
            super().__init__(*args, **kwargs)
            made.append(self)

    ns = types.SimpleNamespace(Thread=Thread, Lock=real_threading.Lock)
    return ns, made


@pytest.mark.parametrize("content_kind", ["string", "parts"])
def test_hosts_worker_and_init_models_together(mod, handler, console, monkeypatch, recipe_root, content_kind):
    factory = CountingFactory()
    monkeypatch.setattr(mod, "SentenceTransformer", factory)
    monkeypatch.setattr(mod, "Progress", QuietProgress)
    threading_ns, threads_made = counting_threading(threading)
    monkeypatch.setattr(mod, "threading", threading_ns)

    r0 = write_recipe(recipe_root, "r0")
    r1 = write_recipe(recipe_root, "r1", config={"embeddings": {
        "text_model_name": "text-model", "image_model_name": "image-model", "text_prefix": "passage: "}})
    # Two recipe sets: "m1" is configured in one and unknown in the other, so
    # its messages are embedded or skipped depending on when they are handled.
    sets = [{"m0": str(r0), "m1": str(r1)}, {"m0": str(r0)}]
    handler.init_models(sets[0])
    assert handler.vllm_to_embedding_model_map == {
        "m0": {"text": "text-model", "image": "image-model"},
        "m1": {"text": "text-model", "image": "image-model"},
    }
    console.clear()

    stop = threading.Event()
    init_calls = [0]
    errors = []

    def reinit():
        try:
            while not stop.is_set():
                handler.init_models(sets[init_calls[0] % 2])
                init_calls[0] += 1
        except BaseException as exc:  # pragma: no cover - reported below
            errors.append(exc)

    models = ["m0", "m1", "unknown"]

    def host(tid, count):
        try:
            for i in range(count):
                text = f"t{tid}-{i}"
                if content_kind == "string":
                    content = text
                else:
                    content = [{"type": "text", "text": text}, {"type": "image_url", "image_url": {"url": "https://x/y.png"}}]
                request = types.SimpleNamespace(model=models[i % 3], messages=[{"role": "user", "content": content}])
                assert handler.handle_chat_completion_request(request) is None
        except BaseException as exc:  # pragma: no cover - reported below
            errors.append(exc)

    per_thread = REQUESTS // HOST_THREADS
    reinit_thread = threading.Thread(target=reinit, daemon=True)
    hosts = [threading.Thread(target=host, args=(t, per_thread), daemon=True) for t in range(HOST_THREADS)]
    reinit_thread.start()
    for t in hosts:
        t.start()
    for t in hosts:
        t.join(JOIN_TIMEOUT)
    assert not any(t.is_alive() for t in hosts), "host threads deadlocked"
    drain(handler, timeout=60)
    stop.set()
    reinit_thread.join(JOIN_TIMEOUT)
    assert not reinit_thread.is_alive(), "init_models thread deadlocked"
    assert errors == []
    assert init_calls[0] > 0

    lines = console.lines
    embedded = sum(1 for line in lines if line.startswith(EMBEDDED))
    skipped = sum(1 for line in lines if line.startswith(SKIPPED))
    dropped = sum(1 for line in lines if line == DROPPED)
    others = [line for line in lines
              if not line.startswith((EMBEDDED, SKIPPED, ROUND_ROBIN, *SUMMARY_PREFIXES)) and line != DROPPED]
    assert others == []
    assert console.tracebacks == []
    assert embedded + skipped + dropped == REQUESTS * 1
    # Every embedded message went through exactly one encode, behind its prefix.
    encoded = factory.encoded()
    assert len(encoded) == embedded
    assert all(v.startswith(("query: t", "passage: t")) for v in encoded)
    # "unknown" is never configured, so a third of the handled messages at least are skipped.
    assert skipped > 0
    # The worker-start gate: host threads racing into the start made one worker only.
    assert len(threads_made) == 1
    assert handler.embedding_thread is threads_made[0]
    assert handler.embedding_thread.is_alive()
    assert not handler.embedding_lock.locked()
    # The store stayed consistent: bounded rings, indices in range.
    for rings in handler.live_embeddings.values():
        for modality in ("text", "image"):
            assert len(rings[modality]["live"]) <= handler.MAX_EMBEDDINGS
    for indices in handler.embedding_indices.values():
        assert all(0 <= i < handler.MAX_EMBEDDINGS for i in indices.values())


def test_init_models_while_storing_keeps_every_embedding(mod, handler, console, monkeypatch, recipe_root):
    """init_models swaps embedding_indices under the store's lock: adds racing it never fail."""
    factory = CountingFactory()
    monkeypatch.setattr(mod, "SentenceTransformer", factory)
    monkeypatch.setattr(mod, "Progress", QuietProgress)
    recipe = write_recipe(recipe_root, "r0")
    adds = 20_000
    stop = threading.Event()
    errors = []

    def reinit():
        try:
            while not stop.is_set():
                handler.init_models({"m0": str(recipe)})
        except BaseException as exc:  # pragma: no cover
            errors.append(exc)

    def store():
        try:
            for i in range(adds):
                handler.add_embedding("m0", "text" if i % 2 else "image", [float(i)])
        except BaseException as exc:
            errors.append(exc)

    t_init = threading.Thread(target=reinit, daemon=True)
    t_store = threading.Thread(target=store, daemon=True)
    t_init.start()
    t_store.start()
    t_store.join(JOIN_TIMEOUT)
    stop.set()
    t_init.join(JOIN_TIMEOUT)
    assert not t_store.is_alive() and not t_init.is_alive()
    assert errors == []
    counts = [line for line in console.lines if line.startswith(EMBEDDED)]
    assert len(counts) == adds
    assert console.tracebacks == []
    assert not handler.embedding_lock.locked()


EXIT_SCRIPT = r"""
import sys, threading, time, types
import {module} as m
h = m.ShiftDetectionRequestHandler()
scenario = sys.argv[1]
if scenario == "idle-worker":
    h.handle_chat_completion_request(types.SimpleNamespace(model="x", messages=[]))
    deadline = time.monotonic() + 10
    while not h.embedding_thread.is_alive() and time.monotonic() < deadline:
        time.sleep(0.01)
elif scenario == "busy-worker":
    m.print = lambda *a, **k: None
    busy = threading.Event()
    class Slow:
        def encode(self, value):
            busy.set()
            time.sleep(0.05)
            return [0.0]
    h.embedding_models = {{"t": Slow()}}
    h.vllm_to_embedding_model_map = {{"x": {{"text": "t", "image": None}}}}
    h.text_prefixes = {{}}
    h.handle_chat_completion_request(types.SimpleNamespace(
        model="x", messages=[{{"role": "user", "content": "hi"}} for _ in range(16)]))
    busy.wait(10)
print("alive", h.embedding_thread.is_alive(), flush=True)
"""


@pytest.mark.parametrize("scenario", ["idle-worker", "busy-worker"])
def test_process_exits_cleanly_with_a_live_worker(mod, scenario):
    """The worker is a daemon thread: the interpreter's exit ends it without
    taking the process down (CPython ends daemon threads with pthread_exit,
    whose forced unwinding must pass through the module's frames)."""
    import subprocess
    import sys

    script = EXIT_SCRIPT.format(module=mod.__name__)
    # A hang guard, not a speed check: under the sanitizers on a loaded
    # machine the child's imports alone have taken over a minute.
    proc = subprocess.run([sys.executable, "-c", script, scenario], capture_output=True, text=True, timeout=300)
    assert "alive True" in proc.stdout
    assert "FATAL" not in proc.stderr
    assert proc.returncode == 0, proc.stderr[-2000:]
