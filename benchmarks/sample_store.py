"""What the sample store costs.

    PYTHONPATH=src python benchmarks/sample_store.py [--quick] [--redis URL]

1. Feed hold time: how long the feeder holds ``embedding_lock`` (the worker
   waits at most this) to copy full rings of 1000 384-dim embeddings, for 1
   and 4 (model, modality) rings, and the whole round (copy, diff, float32
   conversion) off the lock.
2. Disk use of the directory as the feeder writes it at the default budget
   (``du``), one file per feed round against the feeder's batches.
3. Write and read throughput of each backend: records/s appended in batches
   of 3 (one feed at the default budget) and of 100, and a window of the
   latest 1000 and 10,000 records read back. Redis when --redis is given or
   redis-server is installed (started on a free loopback port, no persistence).
4. The report over 10,000 pooled samples (subsampled to the report's 1000).
5. Event-loop lag at the default budget, with the store and without: an
   asyncio loop sleeps 1 ms at a time while a thread stores 3 embeddings/s
   into the module's rings (what the worker does at the default budget) and,
   with the store, the feeder copies them to a directory once a second.
"""
from __future__ import annotations

import argparse
import importlib
import os
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np

from olvane_sdk.fast.deployment.ood.samples import DirectoryStore, Record, RedisStore, StoreFeeder
from olvane_sdk.fast.deployment.ood.report.window import report_from_window

DIM = 384


def feed_hold(repeats: int) -> None:
    mod = importlib.import_module("olvane_sdk.fast.deployment.ood.interceptor")
    mod.print = lambda *a, **k: None
    for rings in (1, 4):
        h = mod.ShiftDetectionRequestHandler()
        rng = np.random.default_rng(0)
        for r in range(rings):
            for _ in range(1000):
                h.add_embedding(f"m{r // 2}", ("text", "image")[r % 2], rng.standard_normal(DIM).astype(np.float32))

        class Null(DirectoryStore):
            def append(self, records):  # the round without I/O
                pass

        feeder = StoreFeeder(h, Null(tempfile.mkdtemp(), "bench"), origin="b")
        holds, rounds = [], []
        for i in range(repeats):
            # Overwrite 3 entries per ring between rounds, as the default budget would.
            for r in range(rings):
                for _ in range(3):
                    h.add_embedding(f"m{r // 2}", ("text", "image")[r % 2],
                                    rng.standard_normal(DIM).astype(np.float32))
            t0 = time.perf_counter()
            feeder.run_once(force=True)
            rounds.append(time.perf_counter() - t0)
            holds.append(feeder.rings.hold_seconds)
        print(f"feed, {rings} full ring(s): lock held median {statistics.median(holds) * 1e6:.1f} µs "
              f"(max {max(holds) * 1e6:.1f}); whole round {statistics.median(rounds) * 1e6:.0f} µs")


def records(n: int, origin: str = "bench:1") -> list[Record]:
    rng = np.random.default_rng(1)
    t = time.time() - n
    return [Record("model", "text", rng.standard_normal(DIM).astype(np.float32), t + i, origin) for i in range(n)]


def throughput(name: str, store, total: int) -> None:
    recs = records(total)
    for batch in (3, 100):
        t0 = time.perf_counter()
        n = 0
        for i in range(0, total // (1 if batch > 3 else 5), batch):
            store.append(recs[i:i + batch])
            n += len(recs[i:i + batch])
        dt = time.perf_counter() - t0
        print(f"{name}: append in batches of {batch}: {n / dt:,.0f} records/s")
    for latest in (1000, 10_000):
        t0 = time.perf_counter()
        win = store.window(latest=latest)
        dt = time.perf_counter() - t0
        got = sum(len(v) for v in win.records.values())
        print(f"{name}: window of the latest {latest}: {got} records in {dt * 1e3:.0f} ms "
              f"({got / dt:,.0f} records/s)")


def disk_usage(path) -> int:
    """Bytes the tree takes on its file system (``du``: whole blocks), not the files' lengths."""
    out = subprocess.run(["du", "-sk", str(path)], capture_output=True, text=True, check=True, timeout=120)
    return int(out.stdout.split()[0]) * 1024


def feeder_size(rounds: int) -> None:
    """The directory as the feeder leaves it at the default budget: 3
    embeddings a second, a feed round a second, a forced write every
    60 s (the report interval), written one file per round and batched."""
    mod = importlib.import_module("olvane_sdk.fast.deployment.ood.interceptor")
    mod.print = lambda *a, **k: None
    rng = np.random.default_rng(0)
    for label, batch in (("a file per feed round", 1), ("batched (the default)", None)):
        h = mod.ShiftDetectionRequestHandler()
        now = [time.time() - rounds]
        with tempfile.TemporaryDirectory() as d:
            store = DirectoryStore(d, "size")
            kw = {} if batch is None else {"batch_records": batch}
            feeder = StoreFeeder(h, store, origin="b", clock=lambda: now[0], **kw)
            for i in range(rounds):
                for _ in range(3):
                    h.add_embedding("m", "text", rng.standard_normal(DIM).astype(np.float32))
                now[0] += 1.0
                feeder.run_once(force=i % 60 == 59)
            feeder.run_once(force=True)
            files = len(list(store.root.rglob("*.osb")))
            used = disk_usage(store.root)
            kept = store.window().total()  # retention keeps the newest 10,000
        print(f"directory, {label}: {kept} records in {files} files, du {used / 1e6:.2f} MB: "
              f"{used / kept / 1e3:.2f} kB per record")


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def loop_lag(seconds: float, store_dir: str | None) -> list[float]:
    import asyncio
    import threading

    mod = importlib.import_module("olvane_sdk.fast.deployment.ood.interceptor")
    mod.print = lambda *a, **k: None
    h = mod.ShiftDetectionRequestHandler()
    stop = threading.Event()
    rng = np.random.default_rng(0)

    def worker():  # 3 embeddings/s, as the worker at the default budget
        while not stop.wait(1 / 3):
            h.add_embedding("m", "text", rng.standard_normal(DIM).astype(np.float32))

    threads = [threading.Thread(target=worker, daemon=True)]
    feeder = None if store_dir is None else StoreFeeder(h, DirectoryStore(store_dir, "lag"), origin="b")
    for t in threads:
        t.start()
    if feeder is not None:
        feeder.start()

    async def probe() -> list[float]:
        lags, end = [], time.perf_counter() + seconds
        while time.perf_counter() < end:
            t0 = time.perf_counter()
            await asyncio.sleep(0.001)
            lags.append(time.perf_counter() - t0 - 0.001)
        return lags

    try:
        return asyncio.run(probe())
    finally:
        stop.set()
        if feeder is not None:
            feeder.stop()


def report_lag(seconds: float) -> None:
    print(f"event-loop lag at the default budget ({seconds:.0f} s each, 1 ms sleeps):")
    for label in ("without the store", "with the store (directory)", "without the store", "with the store (directory)"):
        with tempfile.TemporaryDirectory() as d:
            lags = np.array(loop_lag(seconds, d if "with the" in label else None)) * 1e6
        print(f"  {label:28s} p50 {np.percentile(lags, 50):6.0f} µs  p99 {np.percentile(lags, 99):6.0f} µs  "
              f"max {lags.max() / 1e3:6.2f} ms  ({len(lags)} wake-ups)")


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--quick", action="store_true")
    ap.add_argument("--redis", metavar="URL")
    ap.add_argument("--only", choices=["lag"], help="only the event-loop lag")
    args = ap.parse_args()
    if args.only == "lag":
        report_lag(5 if args.quick else 20)
        return
    total = 2_000 if args.quick else 12_000
    feed_hold(20 if args.quick else 200)
    feeder_size(600 if args.quick else 3600)

    with tempfile.TemporaryDirectory() as d:
        store = DirectoryStore(d, "bench")
        throughput("directory", store, total)
        size = sum(f.stat().st_size for f in store.root.rglob("*.osb"))
        count = sum(len(v) for v in store.window().records.values())
        print(f"directory: {size / count * 1000 / 1e6:.2f} MB per 1000 samples of {DIM} dimensions in the files, "
              f"{disk_usage(store.root) / count * 1000 / 1e6:.2f} MB on disk (du)")
        ref = {"model": {"text": {"train": np.random.default_rng(2).standard_normal((1000, DIM)),
                                  "test": np.random.default_rng(3).standard_normal((300, DIM))}}}
        win = store.window(latest=10_000)
        t0 = time.perf_counter()
        report_from_window(ref, win)
        print(f"report over {sum(len(v) for v in win.records.values())} pooled samples: "
              f"{time.perf_counter() - t0:.1f} s")

    server, url = None, args.redis
    exe = shutil.which("redis-server")
    if url is None and exe:
        port = free_port()
        server = subprocess.Popen([exe, "--port", str(port), "--bind", "127.0.0.1", "--save", "",
                                   "--appendonly", "no"], stdout=subprocess.DEVNULL)
        url = f"redis://127.0.0.1:{port}/0"
        time.sleep(0.5)
    if url:
        try:
            store = RedisStore(url, f"bench-{os.getpid()}")
            throughput("redis", store, total)
            used = store.client.info("memory")["used_memory"]
            print(f"redis: {used / 1e6:.1f} MB used for {total + total // 5} records")
        finally:
            if server is not None:
                server.terminate()
                server.wait()
    else:
        print("redis: skipped (no --redis URL and no redis-server)", file=sys.stderr)
    report_lag(5 if args.quick else 20)


if __name__ == "__main__":
    main()
