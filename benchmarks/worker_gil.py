"""How long the embedding worker keeps other Python threads waiting, and in
which step: the cause of the event-loop lag the server load shows.

    PYTHONPATH=src python benchmarks/worker_gil.py [--seconds 10] [--rate 22] [--batches 1,4,16]
        [--mixes texts,text+image] [--cpu 1] [--nice 19] [--busy 2]

One process: the real module with the demo's models (all-MiniLM-L6-v2, the tiny
CLIP vision tower, one-thread ONNX Runtime sessions), the logging console, and
the worker fed --rate messages a second from the main thread (22 is what the
default share collects in benchmarks/server_load.py), with encode_batch_size N
and, above 1, the middleware's 1 s gather. Beside it a probe thread sleeps 1 ms
at a time and records how late it wakes: a thread that wants the GIL while the
worker holds it waits for the worker's next release, and vLLM's event loop is
such a thread.

The worker's steps are timed by wrapping, in place: each model's ``preprocess``
(the tokenizer for texts; for images the CLIP processor, which also decodes the
PNG that ``Image.open`` only opened), its first module's ``forward`` (the ONNX
Runtime run), the modules after it (pooling, normalising), the rest of
``encode`` (input checks, batching, tensor to numpy), the console (``print`` in
the module's namespace), the store (``add_embedding``) and ``Image.open``. A
late wake is charged to the innermost step running when the probe asked for
the GIL; "worker, other" is the worker outside those steps (the content walk,
queue, Base64), "idle" is no step running.

--cpu pins the process to one core, as server_load pins the server, so that
the probe waits for the core as well as for the GIL; not pinned, it waits for
the GIL alone. --nice sets the worker thread's nice value, to tell the two
apart: the GIL does not know about nice, the scheduler does. --busy has the
probe run that many ms of Python after each wake, as a loop serving requests
does: a thread that holds the GIL is made to drop it for the worker after the
switch interval, and then waits for the worker's next release, which an idle
probe never sees.
"""
from __future__ import annotations

import argparse
import os
import sys
import threading
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
from batch_encode import QUESTIONS  # noqa: E402
from cost_model import demo_handler, noisy  # noqa: E402
from hostile import MODEL, image_part, png, text_part  # noqa: E402


def timeit(fn) -> float:
    t = time.perf_counter()
    fn()
    return time.perf_counter() - t


class Steps:
    """Intervals (start, end, name, depth) of the worker's steps."""

    def __init__(self):
        self.spans: list[tuple[float, float, str, int]] = []
        self.depth = 0

    def wrap(self, name, fn):
        def timed(*a, **k):
            self.depth += 1
            t0 = time.perf_counter()
            try:
                return fn(*a, **k)
            finally:
                self.spans.append((t0, time.perf_counter(), name, self.depth))
                self.depth -= 1
        return timed


def spin(n: int) -> int:
    x = 0
    for i in range(n):
        x += i
    return x


def probe(stop: threading.Event, wakes: list, busy: int, busy_s: float):
    # Each cycle: sleep 1 ms, then `busy` iterations of Python (busy_s alone);
    # the lateness is the cycle's time beyond what it takes with nothing beside it.
    while not stop.is_set():
        t = time.perf_counter()
        time.sleep(0.001)
        if busy:
            spin(busy)
        wakes.append((t + 0.001, time.perf_counter() - t - 0.001 - busy_s))


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--seconds", type=float, default=10.0)
    ap.add_argument("--rate", type=float, default=22.0)
    ap.add_argument("--batches", default="1,4,16")
    ap.add_argument("--mixes", default="texts,text+image")
    ap.add_argument("--cpu", type=int, help="pin the process to this core, as server_load pins the server")
    ap.add_argument("--nice", type=int, default=0, help="the worker thread's nice value (the probe's is 0)")
    ap.add_argument("--busy", type=float, default=0.0,
                    help="ms of Python the probe runs after each wake, a busy event loop's share (0: none)")
    args = ap.parse_args(argv)
    if args.cpu is not None:
        os.sched_setaffinity(0, {args.cpu})  # before any thread exists: they inherit it
    os.environ.setdefault("HF_HUB_OFFLINE", "1")
    os.environ.setdefault("TRANSFORMERS_OFFLINE", "1")
    from vllm.entrypoints.openai.protocol import ChatCompletionRequest

    from olvane_sdk.fast.deployment.ood import host
    from olvane_sdk.fast.deployment.ood import interceptor as m
    from olvane_sdk.fast.deployment.ood.middleware import loading

    host.install_logging_console(m)
    host.install_model_factory(m, intra_op_threads=1, inter_op_threads=1, allow_spinning=False)
    h = demo_handler(m, MODEL)
    h.train_test_embeddings = {MODEL: {"text": {}}}
    steps = Steps()
    for kind, st in zip(("text", "image"), h.embedding_models.values()):
        st.preprocess = steps.wrap(f"{kind}: tokenize" if kind == "text" else "image: preprocess", st.preprocess)
        first, *rest = list(st)
        first.forward = steps.wrap(f"{kind}: ONNX run", first.forward)
        for mod in rest:
            mod.forward = steps.wrap(f"{kind}: pooling/normalise", mod.forward)
        st.encode = steps.wrap(f"{kind}: encode, other", st.encode)
    m.print = steps.wrap("console line", m.print)
    h.add_embedding = steps.wrap("store (add_embedding)", h.add_embedding)

    class TimedImage:  # Image.open as the module finds it in its namespace
        def __getattr__(self, name, _image=m.Image):
            return getattr(_image, name)
    timed_image = TimedImage()
    timed_image.open = steps.wrap("Image.open", m.Image.open)
    m.Image = timed_image

    pictures = [png(noisy(64 + i)) for i in range(4)]
    requests = {
        "texts": [ChatCompletionRequest.model_validate({"model": MODEL, "messages": [
            {"role": "user", "content": q}]}) for q in QUESTIONS],
        "text+image": [ChatCompletionRequest.model_validate({"model": MODEL, "messages": [
            {"role": "user", "content": [text_part(q), image_part(pictures[i % 4])]}]})
            for i, q in enumerate(QUESTIONS)],
    }

    def drain():
        while h.live_messages_queue.unfinished_tasks:
            time.sleep(0.01)

    def run(batch: int, mix: str | None) -> dict:
        loading.set_batching(h, batch)
        if mix:  # warm the worker and the models at this batch
            for i in range(batch):
                h.handle_chat_completion_request(requests[mix][i % len(requests[mix])])
            drain()
            if args.nice:
                os.setpriority(os.PRIO_PROCESS, h.embedding_thread.native_id, args.nice)
        steps.spans.clear()
        wakes: list = []
        stop = threading.Event()
        t = threading.Thread(target=probe, args=(stop, wakes, busy, busy_s))
        cpu0, t0 = time.process_time(), time.perf_counter()
        t.start()
        sent = 0
        while (now := time.perf_counter()) < t0 + args.seconds:
            if mix:
                h.handle_chat_completion_request(requests[mix][sent % len(requests[mix])])
                sent += 1
            time.sleep(max(0.0, t0 + sent / args.rate - now) if mix else 0.05)
        drain()
        stop.set()
        t.join()
        cpu = (time.process_time() - cpu0) / (time.perf_counter() - t0)
        spans = sorted(steps.spans)
        starts = np.array([s[0] for s in spans])
        by_step: dict[str, list[float]] = {}
        walls: dict[str, list[float]] = {}
        for s0, s1, name, _ in spans:
            walls.setdefault(name, []).append(s1 - s0)
        for at, late in wakes:
            # The innermost step running at `at`: the deepest span containing it.
            k = int(np.searchsorted(starts, at, side="right"))
            inside = [s for s in spans[max(0, k - 40):k] if s[0] <= at < s[1]]
            name = max(inside, key=lambda s: s[3])[2] if inside else ("worker, other" if mix else "idle")
            by_step.setdefault(name, []).append(late)
        lates = np.array([late for _, late in wakes]) * 1e3
        return {"batch": batch, "mix": mix or "idle", "sent": sent, "cpu": cpu, "p50": np.percentile(lates, 50),
                "p99": np.percentile(lates, 99), "max": lates.max(), "by_step": by_step, "walls": walls}

    busy, busy_s = 0, 0.0
    if args.busy:  # iterations for args.busy ms, and their time alone (the best of 50)
        busy = int(args.busy / 1e3 / (min(timeit(lambda: spin(100_000)) for _ in range(5)) / 100_000))
        busy_s = min(timeit(lambda: spin(busy)) for _ in range(50))
    print(f"probe busy {busy_s * 1e3:.2f} ms a cycle; "
          f"switch interval {sys.getswitchinterval() * 1e3:g} ms; {args.rate:g} messages/s for "
          f"{args.seconds:g} s per set-up; " + (f"pinned to core {args.cpu}" if args.cpu is not None else "not pinned")
          + f"; worker nice {args.nice}"
          + f"; load average {os.getloadavg()[0]:.1f}")
    results = [run(1, None)]
    for mix in args.mixes.split(","):
        for batch in (int(b) for b in args.batches.split(",")):
            results.append(run(batch, mix))
    print(f"\nprobe lateness (ms) over the window; CPU = the process's, % of one core")
    print(f"{'mix':<11}{'batch':>6}{'msgs':>6}{'CPU%':>6}{'p50':>7}{'p99':>7}{'max':>7}")
    for r in results:
        print(f"{r['mix']:<11}{r['batch']:>6}{r['sent']:>6}{r['cpu'] * 100:>6.0f}{r['p50']:>7.2f}{r['p99']:>7.2f}"
              f"{r['max']:>7.1f}")
    print("\nper step: calls, wall ms per call (median / max); probe wakes that fell in the step and their "
          "lateness in ms (p50 / p99 / max)")
    for r in results[1:]:
        print(f"-- {r['mix']}, batch {r['batch']}")
        names = sorted(set(r["walls"]) | set(r["by_step"]),
                       key=lambda n: -max(r["by_step"].get(n, [0])))
        for n in names:
            w = np.array(r["walls"].get(n, [np.nan])) * 1e3
            lt = np.array(r["by_step"].get(n, [np.nan])) * 1e3
            calls = len(r["walls"].get(n, []))
            print(f"   {n:<26}{calls:>6} calls {np.median(w):>7.2f} / {np.max(w):>7.2f} ms   "
                  f"{len(r['by_step'].get(n, [])):>6} wakes {np.percentile(lt, 50):>6.2f} / "
                  f"{np.percentile(lt, 99):>6.2f} / {np.max(lt):>6.1f}")
    print(f"\nload average at the end {os.getloadavg()[0]:.1f}")
    os._exit(0)  # the worker thread is the module's and does not stop


if __name__ == "__main__":
    sys.exit(main())
