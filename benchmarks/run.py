"""Benchmarks: the native handler against its pure-Python peer and against floors.

Run with ``bash scripts/bench.sh`` (which sources scripts/env.sh and runs this
file with the pinned interpreter). Everything is measured side by side in one
run and printed as a table of figures and ratios; see benchmarks/README.md for
what each figure means and the figures of the last recorded run.

    python benchmarks/run.py [--only intake,store,worker,stall,memory,callgrind] [--quick]

Method: timeit-style. Each figure is the median over REPEATS repeats; within a
repeat the variants run interleaved (module, baseline, floor, in rotating
order) so that noise from other work on the machine spreads over all of them.
The machine is shared (2 cores): single figures are noisy, ratios of medians
less so, and the callgrind section counts instructions, which do not depend
on the load.
"""
from __future__ import annotations

import argparse
import gc
import json
import os
import queue
import statistics
import subprocess
import sys
import tempfile
import textwrap
import threading
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
sys.path.insert(0, str(ROOT))  # `benchmarks.baseline`

os.environ.setdefault("HF_HUB_OFFLINE", "1")
os.environ.setdefault("TRANSFORMERS_OFFLINE", "1")

import numpy as np  # noqa: E402

from benchmarks import baseline  # noqa: E402
from olvane_sdk.fast.deployment.ood import interceptor as native  # noqa: E402
from olvane_sdk.fast.deployment.ood.recipe_files.layout import DEFAULT_TEXT_PREFIX  # noqa: E402

pc = time.perf_counter_ns


def noop(*args, **kwargs):
    pass


def median(xs):
    return statistics.median(xs)


def timer_overhead_ns(n=20000):
    samples = []
    for _ in range(n):
        t0 = pc()
        t1 = pc()
        samples.append(t1 - t0)
    return median(samples)


def live_dummy_thread():
    """A started thread that stays alive until released: stored in embedding_thread,
    it makes start_live_embedding_worker find a live worker (its is_alive() is True),
    so the worker start is the no-op that a server with a running worker pays."""
    release = threading.Event()
    t = threading.Thread(target=release.wait, daemon=True, name="bench-dummy-worker")
    t.start()
    return t, release


def empty_queue(q):
    with q.mutex:
        q.queue.clear()
        q.unfinished_tasks = 0
        q.not_full.notify_all()


def print_table(title, header, rows):
    print()
    print(title)
    widths = [max(len(str(x)) for x in col) for col in zip(header, *rows)]
    line = "  ".join(str(h).rjust(w) for h, w in zip(header, widths))
    print(line)
    print("-" * len(line))
    for r in rows:
        print("  ".join(str(x).rjust(w) for x, w in zip(r, widths)))


RESULTS: dict = {}


# ---------------------------------------------------------------------------
# Intake
# ---------------------------------------------------------------------------

def make_request(n):
    from vllm.entrypoints.openai.protocol import ChatCompletionRequest

    body = {
        "model": "served-a",
        "messages": [{"role": "user", "content": f"What is the capital of country number {i}?"} for i in range(n)],
    }
    request = ChatCompletionRequest.model_validate(body)
    assert all(type(m) is dict for m in request.messages), "vLLM gave non-dict messages"
    return request


def floor_intake(request, q):
    """The floor: the same dict writes and put_nowait calls, in a Python loop."""
    for message in request.messages:
        message["model"] = request.model
        q.put_nowait(message)


def bench_intake(repeats, calls):
    overhead = timer_overhead_ns()
    rows = []
    for n in (1, 4, 16):
        request = make_request(n)
        handlers = {"module": native.ShiftDetectionRequestHandler(), "baseline": baseline.ShiftDetectionRequestHandler()}
        releases = []
        for h in handlers.values():
            h.embedding_thread, rel = live_dummy_thread()
            releases.append(rel)
        floor_q = queue.Queue(maxsize=16)
        alive_thread = handlers["module"].embedding_thread
        variants = {
            "module": (handlers["module"].handle_chat_completion_request, handlers["module"].live_messages_queue),
            "baseline": (handlers["baseline"].handle_chat_completion_request, handlers["baseline"].live_messages_queue),
            "floor": (lambda r, _q=floor_q: floor_intake(r, _q), floor_q),
            "is_alive": (lambda r, _t=alive_thread: _t.is_alive(), floor_q),
        }
        per_call = {k: [] for k in variants}
        order = list(variants)
        for rep in range(repeats):
            order = order[1:] + order[:1]
            for name in order:
                fn, q = variants[name]
                total = 0
                for _ in range(calls):
                    t0 = pc()
                    fn(request)
                    t1 = pc()
                    total += t1 - t0 - overhead
                    empty_queue(q)
                per_call[name].append(total / calls)
        for rel in releases:
            rel.set()
        # Sanity: the handlers really queued the messages (and nothing was dropped).
        med = {k: median(v) / 1000 for k, v in per_call.items()}  # µs per call
        mod_over = med["module"] - med["floor"]
        base_over = med["baseline"] - med["floor"]
        ratio = mod_over / base_over if base_over > 0 else float("nan")
        # The live-worker check is Python code (Thread.is_alive) that both must call.
        ratio_ex = ((mod_over - med["is_alive"]) / (base_over - med["is_alive"])
                    if base_over - med["is_alive"] > 0 else float("nan"))
        rows.append([n, f"{med['module'] / n:.3f}", f"{med['baseline'] / n:.3f}", f"{med['floor'] / n:.3f}",
                     f"{med['module'] / med['baseline']:.2f}", f"{mod_over:.3f}", f"{base_over:.3f}",
                     f"{ratio:.2f}", f"{med['is_alive']:.3f}", f"{ratio_ex:.2f}"])
        RESULTS.setdefault("intake", {})[n] = {k: round(v, 4) for k, v in med.items()} | {
            "overhead_ratio": round(ratio, 3), "overhead_ratio_excl_is_alive": round(ratio_ex, 3)}
    print_table(
        f"Intake: handle_chat_completion_request, real vLLM ChatCompletionRequest "
        f"(median of {repeats} repeats x {calls} calls; timer overhead {overhead} ns subtracted)",
        ["msgs", "module us/msg", "baseline us/msg", "floor us/msg", "module/baseline",
         "module over floor us/call", "baseline over floor us/call", "overhead ratio (goal<=0.3)",
         "is_alive us", "ratio excl. is_alive"],
        rows)


# ---------------------------------------------------------------------------
# Store
# ---------------------------------------------------------------------------

escape_value = baseline._v


def floor_store(state, name, modality, emb, count, out):
    """The floor: the same dict/list operations, tolist and line building, inline
    (maps held in locals, no method call, no attribute lookups), printing to a no-op."""
    live = state.live_embeddings
    idx = state.embedding_indices
    lock = state.embedding_lock
    cap = 1000
    for _ in range(count):
        with lock:
            if name not in live:
                live[name] = {"text": {"live": []}, "image": {"live": []}}
            if name not in idx:
                idx[name] = {"text": 0, "image": 0}
            lst = live[name][modality]["live"]
            i = idx[name][modality]
            if len(lst) < cap:
                lst.append(emb.tolist() if hasattr(emb, "tolist") else emb)
            else:
                lst[i] = emb.tolist() if hasattr(emb, "tolist") else emb
                out(f"[yellow]Round-robin replacement for {modality} embedding at index {i} for model {name}.[/yellow]")
            idx[name][modality] = (i + 1) % cap
            rings = live[name]
            out(f"[green]Model: {name} | Text: {len(rings['text']['live'])} embeddings | "
                f"Image: {len(rings['image']['live'])} embeddings[/green]")


def bench_store(repeats, count=1000):
    native.print = noop
    baseline.print = noop
    rows = []
    inputs = {
        "list[384]": [float(x) for x in np.random.default_rng(1).standard_normal(384)],
        "ndarray f32[384]": np.random.default_rng(2).standard_normal(384).astype(np.float32),
    }
    try:
        for input_name, emb in inputs.items():
            for phase in ("append", "overwrite"):
                per_add = {"module": [], "baseline": [], "floor": [], "baseline-noescape": []}
                order = list(per_add)
                for rep in range(repeats):
                    order = order[1:] + order[:1]
                    for name in order:
                        # "baseline-noescape": the peer without rich's markup escape of the values
                        baseline._v = format if name == "baseline-noescape" else escape_value
                        h = (native.ShiftDetectionRequestHandler() if not name.startswith("baseline")
                             else baseline.ShiftDetectionRequestHandler())
                        # Warm the allocator: one untimed batch, then start over, so that no
                        # variant pays for fresh memory pages that another one got warm.
                        floor_store(h, "m", "text", emb, count, noop)
                        h.live_embeddings.clear()
                        h.embedding_indices.clear()
                        if phase == "overwrite":  # a full ring: every add overwrites and prints the yellow line
                            h.live_embeddings["m"] = {"text": {"live": [emb] * 1000}, "image": {"live": []}}
                            h.embedding_indices["m"] = {"text": 0, "image": 0}
                        gc.disable()
                        try:
                            if name == "floor":
                                t0 = pc()
                                floor_store(h, "m", "text", emb, count, noop)
                                t1 = pc()
                            else:
                                add = h.add_embedding
                                t0 = pc()
                                for _ in range(count):
                                    add("m", "text", emb)
                                t1 = pc()
                        finally:
                            gc.enable()
                        assert len(h.live_embeddings["m"]["text"]["live"]) == 1000
                        per_add[name].append((t1 - t0) / count)
                med = {k: median(v) / 1000 for k, v in per_add.items()}
                baseline._v = escape_value
                mod_over = med["module"] - med["floor"]
                base_over = med["baseline"] - med["floor"]
                plain_over = med["baseline-noescape"] - med["floor"]
                ratio = mod_over / base_over if base_over > 0 else float("nan")
                ratio_plain = mod_over / plain_over if plain_over > 0 else float("nan")
                rows.append([input_name, phase, f"{med['module']:.3f}", f"{med['baseline']:.3f}",
                             f"{med['baseline-noescape']:.3f}", f"{med['floor']:.3f}",
                             f"{med['module'] / med['baseline']:.2f}", f"{mod_over:.3f}", f"{base_over:.3f}",
                             f"{ratio:.2f}", f"{ratio_plain:.2f}"])
                RESULTS.setdefault("store", {})[f"{input_name}/{phase}"] = {k: round(v, 4) for k, v in med.items()} | {
                    "overhead_ratio": round(ratio, 3), "overhead_ratio_vs_noescape": round(ratio_plain, 3)}
    finally:
        native.print = __import__("rich").print
        baseline.print = __import__("rich").print
    print_table(
        f"Store: add_embedding with print rebound to a no-op (median of {repeats} repeats x {count} adds)",
        ["input", "phase", "module us/add", "baseline us/add", "baseline w/o escape us/add", "floor us/add",
         "module/baseline", "module over floor us", "baseline over floor us", "overhead ratio (goal<=0.3)",
         "ratio vs peer w/o escape"],
        rows)


# ---------------------------------------------------------------------------
# Worker throughput and host stall (real ONNX text model)
# ---------------------------------------------------------------------------

def load_texts(limit=None):
    texts = []
    for p in sorted((ROOT / "src/olvane_sdk/fast/deployment/ood/demo/texts").glob("*.txt")):
        texts += [line.strip() for line in p.read_text().splitlines() if line.strip()]
    return texts[:limit] if limit else texts


def load_text_model():
    from sentence_transformers import SentenceTransformer

    from olvane_sdk.fast.deployment.ood.demo.models import text_model_dir

    return SentenceTransformer(text_model_dir(), backend="onnx")


def configured_handler(kind, model):
    h = native.ShiftDetectionRequestHandler() if kind == "module" else baseline.ShiftDetectionRequestHandler()
    h.embedding_models = {"minilm": model}
    h.vllm_to_embedding_model_map = {"served": {"text": "minilm", "image": None}}
    h.text_prefixes = {"served": DEFAULT_TEXT_PREFIX}
    return h


def wait_drained(q, timeout):
    deadline = time.monotonic() + timeout
    while q.unfinished_tasks:
        if time.monotonic() > deadline:
            raise RuntimeError("worker did not drain the queue in time")
        time.sleep(0.0005)


def feed(h, texts, stop=None):
    q = h.live_messages_queue
    i = 0
    while True:
        for t in texts:
            if stop is not None and stop.is_set():
                return i
            q.put({"role": "user", "content": t, "model": "served"}, timeout=60)
            i += 1
        if stop is None:
            return i


def run_worker_batch(h, texts):
    """Messages/s: a producer keeps the queue full (blocking put, so nothing is dropped)
    while the handler's worker embeds; timed from the first put to the last task_done."""
    q = h.live_messages_queue
    h.start_live_embedding_worker()
    t0 = time.perf_counter()
    feed(h, texts)
    wait_drained(q, 600)
    return len(texts) / (time.perf_counter() - t0)


def run_bare(model, texts):
    t0 = time.perf_counter()
    for t in texts:
        model.encode(DEFAULT_TEXT_PREFIX + t)
    return len(texts) / (time.perf_counter() - t0)


def bench_worker(repeats, n_texts):
    import rich.console

    model = load_text_model()
    texts = load_texts()
    texts = (texts * (n_texts // len(texts) + 1))[:n_texts]
    for t in texts[:20]:
        model.encode(DEFAULT_TEXT_PREFIX + t)  # warm the session
    devnull = open(os.devnull, "w")
    rich_to_devnull = rich.console.Console(file=devnull, force_terminal=True, color_system="truecolor").print
    handlers = {}
    for kind in ("module", "baseline"):
        handlers[kind] = configured_handler(kind, model)
    rates = {"bare": [], "module": [], "baseline": [], "module+rich": [], "baseline+rich": []}
    order = list(rates)
    saved = native.print, baseline.print
    try:
        for rep in range(repeats):
            order = order[1:] + order[:1]
            for name in order:
                if name == "bare":
                    rates[name].append(run_bare(model, texts))
                    continue
                kind = name.split("+")[0]
                out = rich_to_devnull if name.endswith("+rich") else noop
                native.print = out
                baseline.print = out
                rates[name].append(run_worker_batch(handlers[kind], texts))
    finally:
        native.print, baseline.print = saved
        devnull.close()
    med = {k: median(v) for k, v in rates.items()}
    rows = [[k, f"{v:.1f}", f"{v / med['bare']:.3f}"] for k, v in med.items()]
    RESULTS["worker"] = {k: round(v, 2) for k, v in med.items()} | {
        "ratio_module": round(med["module"] / med["bare"], 4), "ratio_baseline": round(med["baseline"] / med["bare"], 4)}
    print_table(
        f"Worker: messages/s, all-MiniLM-L6-v2 ONNX, {n_texts} texts (median of {repeats} repeats); "
        f"print is a no-op, or rich printing to /dev/null (+rich)",
        ["variant", "messages/s", "ratio to bare encode loop (goal>=0.97)"], rows)
    return model, texts


def stall_probe(stop, out, period=0.001):
    sleep = time.sleep
    perf = time.perf_counter
    while not stop.is_set():
        t0 = perf()
        sleep(period)
        out.append(perf() - t0 - period)


def bench_stall(repeats, seconds, model=None, texts=None):
    if model is None:
        model = load_text_model()
        texts = load_texts()
    native.print = noop
    baseline.print = noop
    lateness = {"idle": [], "bare encode thread": [], "module": [], "baseline": []}
    try:
        handlers = {k: configured_handler(k, model) for k in ("module", "baseline")}
        order = list(lateness)
        for rep in range(repeats):
            order = order[1:] + order[:1]
            for name in order:
                stop = threading.Stop = threading.Event()
                samples = []
                probe = threading.Thread(target=stall_probe, args=(stop, samples), daemon=True)
                if name == "idle":
                    probe.start()
                    time.sleep(seconds)
                    stop.set()
                    probe.join(10)
                elif name == "bare encode thread":
                    def bare():
                        while not stop.is_set():
                            for t in texts:
                                if stop.is_set():
                                    break
                                model.encode(DEFAULT_TEXT_PREFIX + t)
                    worker = threading.Thread(target=bare, daemon=True)
                    worker.start()
                    probe.start()
                    time.sleep(seconds)
                    stop.set()
                    probe.join(10)
                    worker.join(30)
                else:
                    h = handlers[name]
                    h.start_live_embedding_worker()
                    feeder_stop = threading.Event()
                    feeder = threading.Thread(target=feed, args=(h, texts, feeder_stop), daemon=True)
                    feeder.start()
                    time.sleep(0.2)  # saturated: the queue is full and the worker busy
                    probe.start()
                    time.sleep(seconds)
                    stop.set()
                    probe.join(10)
                    feeder_stop.set()
                    feeder.join(30)
                    wait_drained(h.live_messages_queue, 120)
                lateness[name].extend(samples)
    finally:
        native.print = __import__("rich").print
        baseline.print = __import__("rich").print
    rows = []
    for name, xs in lateness.items():
        a = np.array(xs) * 1000
        rows.append([name, len(a), f"{np.percentile(a, 50):.3f}", f"{np.percentile(a, 99):.3f}", f"{a.max():.3f}"])
        RESULTS.setdefault("stall", {})[name] = {"n": len(a), "p50_ms": round(float(np.percentile(a, 50)), 4),
                                                 "p99_ms": round(float(np.percentile(a, 99)), 4),
                                                 "max_ms": round(float(a.max()), 4)}
    print_table(
        f"Host stall: lateness of a 1 ms sleep loop on a host thread while the worker is saturated "
        f"({repeats} x {seconds}s per variant, pooled)",
        ["while", "samples", "p50 ms", "p99 ms", "max ms"], rows)


# ---------------------------------------------------------------------------
# Memory
# ---------------------------------------------------------------------------

MEMORY_SCRIPT = textwrap.dedent(r"""
    import gc, json, sys
    import numpy as np
    sys.path.insert(0, {root!r})
    kind = sys.argv[1]
    if kind == "module":
        from olvane_sdk.fast.deployment.ood import interceptor as m
    else:
        from benchmarks import baseline as m
    m.print = lambda *a, **k: None

    def rss():
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * 4096

    h = m.ShiftDetectionRequestHandler()
    rng = np.random.default_rng(0)
    dims = {{"text": 384, "image": 512}}
    # warm: one add of each kind, then start from an empty store
    h.add_embedding("warm", "text", rng.standard_normal(4).astype(np.float32))
    h.live_embeddings.clear(); h.embedding_indices.clear()
    gc.collect()
    before = rss()
    payload = 0
    for model in range(4):
        for modality, dim in dims.items():
            for i in range(1000):
                e = rng.standard_normal(dim).astype(np.float32)
                payload += e.nbytes
                h.add_embedding(f"served-{{model}}", modality, e)
    del e
    gc.collect()
    after = rss()
    stored = sum(len(h.live_embeddings[f"served-{{k}}"][mm]["live"]) for k in range(4) for mm in dims)
    obj = sum(sys.getsizeof(v) + sum(sys.getsizeof(x) for x in v)
              for k in range(4) for mm in dims for v in h.live_embeddings[f"served-{{k}}"][mm]["live"])
    print(json.dumps({{"rss_growth": after - before, "payload": payload, "stored": stored, "objects": obj}}))
""")


def bench_memory(repeats):
    script = MEMORY_SCRIPT.format(root=str(ROOT))
    res = {"module": [], "baseline": []}
    for rep in range(repeats):
        for kind in res:
            out = subprocess.run([sys.executable, "-c", script, kind], capture_output=True, text=True, timeout=600)
            if out.returncode != 0:
                raise RuntimeError(out.stderr[-2000:])
            res[kind].append(json.loads(out.stdout.strip().splitlines()[-1]))
    rows = []
    for kind, runs in res.items():
        growth = median([r["rss_growth"] for r in runs])
        payload = runs[0]["payload"]
        objects = runs[0]["objects"]
        rows.append([kind, runs[0]["stored"], f"{payload / 2**20:.1f}", f"{growth / 2**20:.1f}",
                     f"{growth / payload:.2f}", f"{objects / 2**20:.1f}"])
        RESULTS.setdefault("memory", {})[kind] = {"rss_growth": growth, "payload": payload, "objects": objects}
    print_table(
        f"Memory: 4 served models x 1000 text (384-d) + 1000 image (512-d) float32 embeddings "
        f"(separate processes, median of {repeats})",
        ["store", "entries", "payload MiB (float32)", "RSS growth MiB", "RSS/payload", "list+float objects MiB"],
        rows)


# ---------------------------------------------------------------------------
# Instruction counts (callgrind): intake and store, per call
# ---------------------------------------------------------------------------

CALLGRIND_SCRIPT = textwrap.dedent(r"""
    import ctypes, sys, threading, queue, types
    # The intake and store paths use none of these packages: stubs keep valgrind's
    # start short (torch and vLLM under valgrind take minutes).
    for name, attrs in {{"sentence_transformers": ["SentenceTransformer"], "sklearn": [],
                         "sklearn.ensemble": ["IsolationForest"], "vllm": [], "vllm.entrypoints": [],
                         "vllm.entrypoints.openai": [], "vllm.entrypoints.openai.protocol": ["ChatCompletionRequest"]}}.items():
        m = types.ModuleType(name)
        for a in attrs:
            setattr(m, a, type(a, (), {{}}))
        sys.modules[name] = m
    sys.path.insert(0, {root!r})
    sys.path.insert(0, {here!r})
    import numpy as np
    from benchmarks import baseline
    from olvane_sdk.fast.deployment.ood import interceptor as native
    from run import floor_intake, floor_store, empty_queue, noop
    cg = ctypes.CDLL({lib!r})
    what, variant, n, calls = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
    native.print = noop; baseline.print = noop
    if what == "intake":
        # the request as the handler sees it: an object with `model` and a list of dicts
        request = types.SimpleNamespace(model="served-a", messages=[{{"role": "user", "content": "hi"}} for _ in range(n)])
        ev = threading.Event()
        t = threading.Thread(target=ev.wait, daemon=True); t.start()
        if variant == "floor":
            q = queue.Queue(maxsize=16)
            fn = lambda: floor_intake(request, q)
        else:
            h = (native if variant == "module" else baseline).ShiftDetectionRequestHandler()
            h.embedding_thread = t
            q = h.live_messages_queue
            fn = lambda: h.handle_chat_completion_request(request)
        for _ in range(20):
            fn(); empty_queue(q)
        if variant == "empty":
            fn = lambda: None
        cg.cg_start()
        for _ in range(calls):
            fn()
            empty_queue(q)
        cg.cg_stop()
        ev.set()
    else:
        emb = np.random.default_rng(2).standard_normal(384).astype(np.float32)
        if n == 0:
            emb = [float(x) for x in emb]
        if variant == "baseline-noescape":
            baseline._v = format
        h = (native if variant == "module" else baseline).ShiftDetectionRequestHandler()
        floor_store(h, "w", "text", emb, 20, noop)
        cg.cg_start()
        if variant == "floor":
            floor_store(h, "m", "text", emb, calls, noop)
        else:
            add = h.add_embedding
            for _ in range(calls):
                add("m", "text", emb)
        cg.cg_stop()
""")


def build_cgtoggle(directory):
    lib = os.path.join(directory, "cgtoggle.so")
    subprocess.run(["gcc", "-O2", "-shared", "-fPIC", "-o", lib, str(HERE / "cgtoggle.c")], check=True)
    return lib


def callgrind_count(lib, args):
    with tempfile.TemporaryDirectory() as d:
        out = os.path.join(d, "cg.out")
        proc = subprocess.run(["valgrind", "--tool=callgrind", "--instr-atstart=no", f"--callgrind-out-file={out}",
                               sys.executable, "-c", CALLGRIND_SCRIPT.format(root=str(ROOT), here=str(HERE), lib=lib),
                               *map(str, args)], capture_output=True, text=True, timeout=1800)
        if proc.returncode != 0:
            raise RuntimeError(proc.stderr[-3000:])
        for f in sorted(Path(d).glob("cg.out*")):
            for line in f.read_text().splitlines():
                if line.startswith("totals:"):
                    total = int(line.split()[1])
                    if total:
                        return total
    raise RuntimeError("no callgrind totals")


def bench_callgrind(calls=2000):
    """Instructions per call, counted by callgrind between two client requests
    around the measured loop (benchmarks/cgtoggle.c), divided by the calls."""
    rows = []
    with tempfile.TemporaryDirectory() as d:
        lib = build_cgtoggle(d)
        for what, n in (("intake", 1), ("intake", 16), ("store", 0), ("store", 1)):
            per = {}
            variants = ("module", "baseline", "floor") + (("baseline-noescape",) if what == "store" else ())
            for variant in variants:
                per[variant] = callgrind_count(lib, [what, variant, n, calls]) / calls
            if what == "intake":  # the loop's own cost (the lambda and the queue emptying)
                per = {k: v - callgrind_count(lib, [what, "empty", n, calls]) / calls for k, v in per.items()}
            label = f"intake {n} msg" if what == "intake" else ("store ndarray append" if n else "store list append")
            mo, bo = per["module"] - per["floor"], per["baseline"] - per["floor"]
            po = per.get("baseline-noescape", per["baseline"]) - per["floor"]
            rows.append([label, f"{per['module']:.0f}", f"{per['baseline']:.0f}",
                         f"{per.get('baseline-noescape', per['baseline']):.0f}", f"{per['floor']:.0f}",
                         f"{mo:.0f}", f"{bo:.0f}", f"{mo / bo:.2f}" if bo > 0 else "nan",
                         f"{mo / po:.2f}" if po > 0 else "nan"])
            RESULTS.setdefault("callgrind", {})[label] = {k: round(v) for k, v in per.items()}
    print_table(f"Instructions per call (valgrind --tool=callgrind, {calls} calls; intake net of the loop's own cost)",
                ["case", "module", "baseline", "baseline w/o escape", "floor", "module over floor",
                 "baseline over floor", "ratio", "ratio vs peer w/o escape"], rows)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--only", default="intake,store,worker,stall,memory,callgrind",
                    help="comma-separated sections: intake,store,worker,stall,memory,callgrind")
    ap.add_argument("--quick", action="store_true", help="fewer repeats (a smoke run, not for figures)")
    ap.add_argument("--json", help="also write the figures to this JSON file")
    args = ap.parse_args()
    only = set(args.only.split(","))
    q = args.quick
    print(f"python {sys.version.split()[0]}, numpy {np.__version__}, cores {os.cpu_count()}, "
          f"load average {os.getloadavg()[0]:.2f} (shared machine: figures are noisy, medians reported)")
    model = texts = None
    if "intake" in only:
        bench_intake(repeats=3 if q else 15, calls=300 if q else 2000)
    if "store" in only:
        bench_store(repeats=3 if q else 15)
    if "worker" in only:
        model, texts = bench_worker(repeats=1 if q else 5, n_texts=40 if q else 200)
    if "stall" in only:
        bench_stall(repeats=1 if q else 3, seconds=1.0 if q else 3.0, model=model, texts=texts)
    if "memory" in only:
        bench_memory(repeats=1 if q else 3)
    if "callgrind" in only:
        bench_callgrind(calls=200 if q else 2000)
    print(f"\nload average at the end: {os.getloadavg()[0]:.2f}")
    if args.json:
        Path(args.json).write_text(json.dumps(RESULTS, indent=2, default=str))


if __name__ == "__main__":
    main()
