"""What the vLLM middleware and the logging console cost.

    PYTHONPATH=src python benchmarks/middleware.py [--quick]

1. Event-loop time per chat request added by ShiftDetectionMiddleware: the
   ASGI call of a bare app (reads the body in the chunks uvicorn delivers,
   answers 200) with and without the middleware in front, for a small body and
   a 5 MB image body. The yardstick is what vLLM itself spends on the same
   body: ``ChatCompletionRequest.model_validate_json``. The hand-over thread's
   work (parse and hand-over) is waited for outside the timed call and shown
   apart; it runs on its own thread.
2. The drop path: a request whose messages all meet a full queue, through the
   real module, with the module's print bound to the LoggingConsole, to rich's
   print (output to /dev/null, a lower bound for a terminal or a log pipe) and
   to a no-op (the floor: the queue's own Full).
3. Hostile bodies: an 8 MiB body whose unknown top-level field (vLLM
   ignores it and answers 200) holds 2.8 million empty lists, one holding
   zeros, and a request of 17 long messages (more than the handler's queue
   holds, so it is turned away as ``queue_full``). Per body: the CPU the
   hand-over thread spends on it (``time.thread_time``), vLLM's own parse of
   it as FastAPI does it (``json.loads`` then ``model_validate``), the units
   the budget charged, and how late a 1 ms ticker on the event loop wakes
   while the thread works (its largest lateness and the sum of the
   lateness over 1 ms, beside the same ticker with no work). Target: at most
   20 ms of the loop in total and 10 % of vLLM's parse.
4. Event-loop lag while the worker is saturated: an asyncio loop on the main
   thread sleeps 1 ms at a time and records how late it wakes, with no worker,
   then with the real module's worker kept busy (all-MiniLM-L6-v2, one-thread
   ONNX Runtime session) printing through rich and through the LoggingConsole.

Figures are medians of repeats; the machine is shared, so single figures move
by 10-30 % between runs.
"""
from __future__ import annotations

import argparse
import asyncio
import base64
import contextlib
import io
import json
import os
import queue
import statistics
import sys
import threading
import time
import types

os.environ.setdefault("HF_HUB_OFFLINE", "1")
os.environ.setdefault("TRANSFORMERS_OFFLINE", "1")

CHAT = "/v1/chat/completions"
CHUNK = 65536  # what uvicorn's h11/httptools protocols hand over per http.request


class NullHandler:
    """Takes requests like the module's handler, embeds nothing."""

    def __init__(self):
        self.live_messages_queue = queue.Queue(16)
        self.vllm_to_embedding_model_map = {"m": {"text": "t", "image": "i"}}
        self.train_test_embeddings = {"m": {"text": {}, "image": {}}}  # a loaded recipe
        self.live_embeddings = {}
        self.n = 0

    def add_embedding(self, *a):
        pass

    def handle_chat_completion_request(self, request):
        self.n += len(request.messages)


async def bare_app(scope, receive, send):
    while True:
        m = await receive()
        if not m.get("more_body"):
            break
    await send({"type": "http.response.start", "status": 200, "headers": []})
    await send({"type": "http.response.body", "body": b"{}"})


def bodies() -> dict[str, bytes]:
    small = {"model": "m", "messages": [{"role": "system", "content": "You are a helpful assistant."},
                                        {"role": "user", "content": "How long should I boil an egg?"}]}
    png = os.urandom(int(5 * 1024 * 1024 * 3 / 4))  # ~5 MB once Base64-encoded
    url = "data:image/png;base64," + base64.b64encode(png).decode()
    image = {"model": "m", "messages": [{"role": "user", "content": [
        {"type": "text", "text": "What is in this picture?"},
        {"type": "image_url", "image_url": {"url": url}}]}]}
    return {"small": json.dumps(small).encode(), "5 MB image": json.dumps(image).encode()}


async def one_call(app, body: bytes) -> float:
    parts = [body[i:i + CHUNK] for i in range(0, len(body), CHUNK)]
    msgs = [{"type": "http.request", "body": p, "more_body": i + 1 < len(parts)} for i, p in enumerate(parts)]
    it = iter(msgs)

    async def receive():
        return next(it, {"type": "http.disconnect"})

    async def send(_m):
        pass

    scope = {"type": "http", "method": "POST", "path": CHAT, "query_string": b"",
             "headers": [(b"content-type", b"application/json"), (b"content-length", str(len(body)).encode())]}
    t0 = time.perf_counter()
    await app(scope, receive, send)
    return time.perf_counter() - t0


def bench_event_loop(repeats: int, quick: bool) -> None:
    from vllm.entrypoints.openai.protocol import ChatCompletionRequest

    from olvane_sdk.fast.deployment.ood.middleware import ShiftCollector, ShiftConfig, ShiftDetectionMiddleware

    c = ShiftCollector(ShiftConfig(max_rate=0.0, max_body=64 << 20, store="off"), handler=NullHandler(), init_models=False,
                       metrics=False)
    assert c.ready.wait(120)
    # Time the thread's work where it runs: the event loop's epoll releases the
    # GIL, and the woken hand-over thread may run before or after the timed call.
    thread_times: list[float] = []
    inner = c.handover._handover

    def timed_handover(chunks, *rest):
        t0 = time.perf_counter()
        inner(chunks, *rest)
        thread_times.append(time.perf_counter() - t0)

    c.handover._handover = timed_handover
    mw = ShiftDetectionMiddleware(bare_app, collector=c)
    print("\n## Event-loop time per chat request (µs, median)\n")
    print("| body | bytes | bare app | with middleware | added | thread: parse + hand-over "
          "| vLLM's parse (yardstick) | added / yardstick |")
    print("|---|---|---|---|---|---|---|---|")
    loop = asyncio.new_event_loop()
    for name, body in bodies().items():
        n = (20 if quick else 60) if len(body) > 1e6 else (500 if quick else 3000)
        bare, withmw, thread, parse = [], [], [], []
        for _ in range(repeats):
            a, b, p = [], [], []
            thread_times.clear()
            for _ in range(n):
                a.append(loop.run_until_complete(one_call(bare_app, body)))
                b.append(loop.run_until_complete(one_call(mw, body)))
                c.handover.drain()
                t0 = time.perf_counter()
                ChatCompletionRequest.model_validate_json(body)
                p.append(time.perf_counter() - t0)
            bare.append(statistics.median(a))
            withmw.append(statistics.median(b))
            thread.append(statistics.median(thread_times))
            parse.append(statistics.median(p))
        m = {k: statistics.median(v) * 1e6 for k, v in
             (("bare", bare), ("mw", withmw), ("thread", thread), ("parse", parse))}
        added = m["mw"] - m["bare"]
        print(f"| {name} | {len(body):,} | {m['bare']:.1f} | {m['mw']:.1f} | {added:.1f} | {m['thread']:.0f} "
              f"| {m['parse']:.0f} | {added / m['parse']:.3f} |")
    assert c.handover.intake["collected"] > 0
    c.close()
    loop.close()


def bench_drop_path(repeats: int, quick: bool) -> None:
    import logging

    import rich

    from olvane_sdk.fast.deployment.ood import interceptor as mod
    from olvane_sdk.fast.deployment.ood.host import LoggingConsole

    logging.getLogger("olvane_sdk").addHandler(logging.NullHandler())
    logging.getLogger("olvane_sdk").propagate = False
    h = mod.ShiftDetectionRequestHandler()
    release = threading.Event()
    h.embedding_thread = threading.Thread(target=release.wait, daemon=True)  # a live worker: none starts
    h.embedding_thread.start()
    for _ in range(16):
        h.live_messages_queue.put_nowait({})
    saved = mod.print, mod.traceback
    consoles = {"no-op print (floor)": lambda *a, **k: None, "LoggingConsole": None, "rich print": rich.print}
    sizes = {"no-op print (floor)": 100_000, "LoggingConsole": 100_000, "rich print": 300 if quick else 2000}
    runs: dict[str, list[float]] = {name: [] for name in consoles}
    names = list(consoles)
    try:
        for r in range(repeats):  # variants interleaved, in rotating order
            for name in names[r % len(names):] + names[:r % len(names)]:
                sink = consoles[name]
                if name == "LoggingConsole":
                    console = LoggingConsole()
                    sink, mod.traceback = console.write, console.traceback
                mod.print = sink
                req = types.SimpleNamespace(model="m", messages=[{} for _ in range(sizes[name])])
                with open(os.devnull, "w") as devnull, contextlib.redirect_stdout(devnull):
                    t0 = time.perf_counter()
                    h.handle_chat_completion_request(req)
                    runs[name].append((time.perf_counter() - t0) / sizes[name])
    finally:
        mod.print, mod.traceback = saved
        release.set()
    per_msg = {name: statistics.median(v) for name, v in runs.items()}
    print("\n## Drop path: a request whose messages meet a full queue\n")
    print("| console | messages | µs per dropped message | 100,000-message request (s) | vs LoggingConsole |")
    print("|---|---|---|---|---|")
    for name in consoles:
        print(f"| {name} | {sizes[name]:,} | {per_msg[name] * 1e6:.2f} | {per_msg[name] * 1e5:.3f}"
              f"{'' if sizes[name] == 100_000 else ' (extrapolated)'} | "
              f"{per_msg[name] / per_msg['LoggingConsole']:.1f}x |")
    own = per_msg["LoggingConsole"] - per_msg["no-op print (floor)"]
    print(f"\nLoggingConsole's own cost per dropped message (over the floor): {own * 1e6:.2f} µs")


def hostile_bodies() -> dict[str, bytes]:
    size = 8 << 20
    head = '{"model": "m", "messages": [{"role": "user", "content": "How long should bread dough rest?"}], "x": '

    def unknown_field(item: str) -> bytes:
        n = (size - len(head) - 2) // (len(item) + 1)
        return (head + "[" + ",".join([item] * n) + "]}").encode()

    text = "crème brûlée, \"pain\"\n" * ((size // 17 - 64) // 40)
    many = {"model": "m", "messages": [{"role": "user", "content": text} for _ in range(17)]}
    return {"8 MiB unknown field of []": unknown_field("[]"), "8 MiB unknown field of 0": unknown_field("0"),
            "17 messages, 8 MiB (queue_full)": json.dumps(many).encode()}


async def _ticker(done: threading.Event) -> list[float]:
    late = []
    while not done.is_set():
        t0 = time.perf_counter()
        await asyncio.sleep(0.001)
        late.append(max(0.0, time.perf_counter() - t0 - 0.001))
    return late


def bench_hostile(repeats: int) -> None:
    from vllm.entrypoints.openai.protocol import ChatCompletionRequest

    from olvane_sdk.fast.deployment.ood.middleware import ShiftCollector, ShiftConfig, ShiftDetectionMiddleware
    from olvane_sdk.fast.deployment.ood.middleware.budget import ORDINARY_S

    handler = NullHandler()
    # A clock that stands still: the bucket moves only by what it is charged.
    c = ShiftCollector(ShiftConfig(max_rate=1000.0, max_body=64 << 20, store="off"), handler=handler, init_models=False,
                       metrics=False, clock=lambda: 0.0)
    assert c.ready.wait(120)
    cpu: list[float] = []
    done = threading.Event()
    inner = c.handover._handover

    def timed_handover(chunks, *rest):
        t0 = time.thread_time()
        try:
            inner(chunks, *rest)
        finally:
            cpu.append(time.thread_time() - t0)
            done.set()

    c.handover._handover = timed_handover
    mw = ShiftDetectionMiddleware(bare_app, collector=c)
    loop = asyncio.new_event_loop()

    async def one(body, work: bool):
        done.clear()
        ticker = asyncio.ensure_future(_ticker(done))
        await asyncio.sleep(0.005)
        if work:
            await one_call(mw, body)
        else:
            threading.Timer(0.1, done.set).start()
        return await ticker

    print("\n## Hostile bodies: the hand-over thread's CPU and the event loop (median of "
          f"{repeats})\n")
    print("| body | bytes | outcome | our CPU (s), median [min] | vLLM's parse CPU (s) | ours / vLLM's | charged units "
          "| measured parse in units | loop: max late (ms) | loop: total late (ms) | idle ticker: max / total (ms) |")
    print("|---|---|---|---|---|---|---|---|---|---|---|")
    for name, body in hostile_bodies().items():
        ours, theirs, mx, total, idle_mx, idle_total, charged = [], [], [], [], [], [], []
        before = dict(c.handover.intake)
        for _ in range(repeats):
            cpu.clear()
            c.bucket.tokens = c.bucket.capacity
            handler.n = 0
            late = loop.run_until_complete(one(body, True))
            assert c.handover.drain()
            charged.append(c.bucket.capacity - c.bucket.tokens)
            ours.append(cpu[0])
            mx.append(max(late))
            total.append(sum(late))
            late = loop.run_until_complete(one(body, False))
            idle_mx.append(max(late))
            idle_total.append(sum(late))
            t0 = time.thread_time()
            ChatCompletionRequest.model_validate(json.loads(body))
            theirs.append(time.thread_time() - t0)
        outcome = [k for k, v in c.handover.intake.items() if v != before.get(k)]
        md = statistics.median
        print(f"| {name} | {len(body):,} | {'/'.join(outcome)} | {md(ours):.4f} [{min(ours):.4f}] | {md(theirs):.3f} "
              f"| {md(ours) / md(theirs):.3f} | {md(charged):.2f} | {md(ours) / ORDINARY_S:.2f} "
              f"| {md(mx) * 1e3:.1f} | {md(total) * 1e3:.1f} | {md(idle_mx) * 1e3:.1f} / {md(idle_total) * 1e3:.1f} |")
    c.close()
    loop.close()


def bench_lag(seconds: float) -> None:
    import logging

    import onnxruntime as ort
    import rich
    from sentence_transformers import SentenceTransformer

    from olvane_sdk.fast.deployment.ood import interceptor as mod
    from olvane_sdk.fast.deployment.ood.demo.models import text_model_dir
    from olvane_sdk.fast.deployment.ood.host import LoggingConsole, stop_worker
    from olvane_sdk.fast.deployment.ood.recipe_files.layout import DEFAULT_TEXT_PREFIX

    logging.getLogger("olvane_sdk").addHandler(logging.NullHandler())
    logging.getLogger("olvane_sdk").propagate = False
    so = ort.SessionOptions()
    so.intra_op_num_threads = so.inter_op_num_threads = 1
    so.add_session_config_entry("session.intra_op.allow_spinning", "0")
    model = SentenceTransformer(text_model_dir(), backend="onnx", model_kwargs={"session_options": so})
    texts = [f"How do I keep basil alive on a windowsill in winter, question {i}?" for i in range(64)]

    async def probe() -> list[float]:
        late = []
        end = time.perf_counter() + seconds
        while time.perf_counter() < end:
            t0 = time.perf_counter()
            await asyncio.sleep(0.001)
            late.append(time.perf_counter() - t0 - 0.001)
        return late

    saved = mod.print, mod.traceback
    rows = []
    try:
        for name in ("no collection", "worker, rich print", "worker, LoggingConsole"):
            h = mod.ShiftDetectionRequestHandler()
            h.embedding_models = {"mini": model}
            h.vllm_to_embedding_model_map = {"m": {"text": "mini", "image": None}}
            h.text_prefixes = {"m": DEFAULT_TEXT_PREFIX}
            console = LoggingConsole()
            mod.print = rich.print if "rich" in name else console.write
            mod.traceback = saved[1] if "rich" in name else console.traceback
            stop = threading.Event()
            sent = [0]

            def feed():
                while not stop.is_set():
                    try:
                        h.live_messages_queue.put({"model": "m", "content": texts[sent[0] % 64]}, timeout=0.1)
                        sent[0] += 1
                    except queue.Full:
                        pass

            feeder = threading.Thread(target=feed, daemon=True)
            with open(os.devnull, "w") as devnull, contextlib.redirect_stdout(devnull):
                if name != "no collection":
                    h.start_live_embedding_worker()
                    feeder.start()
                    time.sleep(1.0)  # warm-up
                n0 = sent[0]
                late = sorted(asyncio.run(probe()))
                rate = (sent[0] - n0) / seconds
                stop.set()
                if feeder.is_alive():
                    feeder.join()
                stop_worker(h)
            q = lambda f: late[min(len(late) - 1, int(f * len(late)))] * 1e3  # noqa: E731
            rows.append((name, q(0.5), q(0.99), late[-1] * 1e3, rate))
    finally:
        mod.print, mod.traceback = saved
    print(f"\n## Event-loop lag while the worker is saturated ({seconds:.0f} s per set-up, 1 ms sleeps)\n")
    print("| set-up | p50 (ms) | p99 (ms) | max (ms) | messages/s embedded |")
    print("|---|---|---|---|---|")
    for name, p50, p99, mx, rate in rows:
        print(f"| {name} | {p50:.2f} | {p99:.2f} | {mx:.1f} | {rate:.0f} |")


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true")
    ap.add_argument("--only", default="loop,drop,hostile,lag")
    args = ap.parse_args(argv)
    repeats = 3 if args.quick else 7
    only = set(args.only.split(","))
    print(f"python {sys.version.split()[0]}, {os.cpu_count()} cores")
    if "loop" in only:
        bench_event_loop(repeats, args.quick)
    if "drop" in only:
        bench_drop_path(repeats, args.quick)
    if "hostile" in only:
        bench_hostile(3 if args.quick else 5)
    if "lag" in only:
        bench_lag(3.0 if args.quick else 10.0)
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
