"""The sample store: feeding from the handler's rings, the directory backend
under two writing processes, a real redis-server going away and coming back,
and `olvane-shift report --store`."""
from __future__ import annotations

import itertools
import logging
import os
import random
import shutil
import socket
import stat
import subprocess
import sys
import textwrap

import numpy as np
import pytest

from olvane_sdk.fast.deployment.ood.cli import main as cli_main
from olvane_sdk.fast.deployment.ood.samples import (DirectoryStore, Record, RedisStore, Retention, StoreFeeder,
                                                    open_store)
from support import wait_until, write_recipe


def values(store, key=("m", "text")):
    return [int(r.embedding[0]) for r in store.window().records.get(key, [])]


@pytest.mark.parametrize("seed", [1, 2, 3])
def test_every_stored_embedding_reaches_the_store_once(handler, console, progress_recorder, tmp_path, seed):
    """Random adds between feeds (fewer than a ring's size, the feeder's
    premise), wrapping the ring many times, with init_models resetting the
    indices at random, also while the ring is partly filled."""
    rng = random.Random(seed)
    handler.MAX_EMBEDDINGS = 7
    store = DirectoryStore(tmp_path, "d")
    feeder = StoreFeeder(handler, store, origin="o", clock=itertools.count(1).__next__)
    added = {"text": [], "image": []}
    n = 0
    for _ in range(150):
        for _ in range(rng.randrange(7)):
            modality = rng.choice(["text", "text", "image"])
            handler.add_embedding("m", modality, np.array([n], dtype=np.float32))
            added[modality].append(n)
            n += 1
        if rng.random() < 0.2:
            handler.init_models({})
        feeder.run_once()
    assert n > 300
    assert values(store) == added["text"]
    assert values(store, ("m", "image")) == added["image"]
    assert feeder.status()["pending"] == 0 and feeder.errors == 0


WRITER = textwrap.dedent("""
    import sys, numpy as np
    from olvane_sdk.fast.deployment.ood.samples import DirectoryStore, Record
    store = DirectoryStore(sys.argv[1], "d")
    origin = sys.argv[2]
    for b in range(150):
        store.append([Record("m/x", "text", np.full(384, b * 4 + i, np.float32), b + i / 10, origin)
                      for i in range(4)])
""")


def test_directory_store_two_processes(tmp_path, caplog):
    store = DirectoryStore(tmp_path, "d")
    procs = [subprocess.Popen([sys.executable, "-c", WRITER, str(tmp_path), f"host:{k}"]) for k in (1, 2)]
    seen = set()
    while any(p.poll() is None for p in procs):
        win = store.window()
        assert win.problems == []
        counts = win.origin_counts()
        assert all(c % 4 == 0 for c in counts.values()), counts  # whole batches only
        seen.update(counts.values())
    assert [p.returncode for p in procs] == [0, 0]
    assert len(seen) > 2  # the reader ran while both were writing
    recs = store.window().records[("m/x", "text")]
    for origin in ("host:1", "host:2"):
        assert sorted(int(r.embedding[0]) for r in recs if r.origin == origin) == list(range(600))
    assert set(store.origins()) == {"host:1", "host:2"}
    assert stat.S_IMODE(os.stat(store.root).st_mode) == 0o700
    assert [len(v) for v in store.window(latest=10).records.values()] == [10]
    assert len(store.window(since=140).records[("m/x", "text")]) == 2 * 10 * 4

    store.retention = Retention(max_count=100, max_age=3600)
    store.enforce_retention(now=3600)
    assert 100 <= len(store.window().records[("m/x", "text")]) < 108  # whole batches
    store.enforce_retention(now=3600 + 145)
    assert min(r.time for r in store.window().records[("m/x", "text")]) >= 145

    # A damaged batch: skipped with one error, however often it is read.
    victim = sorted(store.root.rglob("*.osb"))[-1]
    victim.write_bytes(victim.read_bytes()[:-9])
    with caplog.at_level(logging.ERROR, logger="olvane_sdk"):
        for _ in range(2):
            win = store.window()
            assert len(win.problems) == 1 and len(win.records[("m/x", "text")]) == 2 * 5 * 4 - 4
    assert len([r for r in caplog.records if "corrupt batch" in r.getMessage()]) == 1


# --------------------------------------------------------------------------
# Redis


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class RedisServer:
    def __init__(self, workdir):
        self.exe = shutil.which("redis-server") or "/usr/bin/redis-server"
        self.port, self.dir, self.proc = free_port(), workdir, None

    def start(self):
        self.proc = subprocess.Popen([self.exe, "--port", str(self.port), "--bind", "127.0.0.1", "--dir",
                                      str(self.dir), "--appendonly", "yes", "--save", ""],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wait_until(self._up, timeout=20)

    def _up(self):
        import redis  # a PING answered: listening and done loading its append-only file
        try:
            return redis.Redis(port=self.port, socket_timeout=1).ping()
        except redis.RedisError:
            return False

    def stop(self):
        if self.proc is not None:
            self.proc.terminate()
            self.proc.wait(20)
            self.proc = None

    @property
    def url(self):
        return f"redis://127.0.0.1:{self.port}/0"


@pytest.fixture
def redis_server(tmp_path):
    pytest.importorskip("redis")
    if not (shutil.which("redis-server") or os.path.exists("/usr/bin/redis-server")):
        pytest.skip("redis-server is not installed")
    server = RedisServer(tmp_path)
    server.start()
    yield server
    server.stop()


def test_redis_store_outage_and_recovery(handler, console, redis_server, tmp_path, monkeypatch, capsys):
    dep = "replicas"
    a = StoreFeeder(handler, open_store(redis_server.url, dep), origin="a:1")
    other = type(handler)()
    b = StoreFeeder(other, open_store(redis_server.url, dep), origin="b:1")
    rng = np.random.default_rng(0)
    for h, feeder in ((handler, a), (other, b)):
        for _ in range(12):
            h.add_embedding("m", "text", rng.standard_normal(4).astype(np.float32) + 3)
        assert feeder.run_once() == 12
    store = a.store
    assert isinstance(store, RedisStore) and set(store.origins()) == {"a:1", "b:1"}
    assert store.window().origin_counts() == {"a:1": 12, "b:1": 12}
    assert store.try_lease("report", "a:1", 30) and not store.try_lease("report", "b:1", 30)

    redis_server.stop()
    for i in range(5):
        handler.add_embedding("m", "text", rng.standard_normal(4).astype(np.float32))  # serving goes on
        assert a.run_once(force=True) == 0
    st = a.status()
    assert st["state"] == "degraded" and "Connection" in st["reason"] and st["pending"] == 5 and st["errors"] == 5
    assert len(handler.live_embeddings["m"]["text"]["live"]) == 17

    redis_server.start()
    assert a.run_once(force=True) == 5 and a.status()["state"] == "ok"
    assert store.window().origin_counts() == {"a:1": 17, "b:1": 12}

    # The command, with no server: 24 + 5 samples far from the reference.
    recipe = write_recipe(tmp_path / "recipes", "m", dim=4,
                          train={"text_embeddings": rng.standard_normal((40, 4)),
                                 "text_roles": np.array(["user"] * 40)},
                          test={"text_embeddings": rng.standard_normal((20, 4))})
    out = tmp_path / "r.json"
    code = cli_main(["report", "--store", redis_server.url, "--recipes", f"m={recipe}", "--deployment", dep,
                     "--json", str(out)])
    import json
    body = json.loads(out.read_text())
    assert body["window"]["m"]["text"]["count"] == 29
    assert body["origins"]["b:1"]["samples"] == 12
    assert code == (1 if body["report"]["rows"][0]["verdict"] == "shift" else 0)
    assert body["report"]["rows"][0]["n_live"] == 29
    assert "store replicas" in capsys.readouterr().out
    redis_server.stop()
    assert cli_main(["report", "--store", redis_server.url, "--recipes", f"m={recipe}",
                     "--deployment", dep]) == 3


def test_two_collectors_one_deployment_report(mod, fake_models, recipe_root, tmp_path):
    """Two processes' collectors (here two handlers) sharing a directory:
    one computes under the lease, the other serves the stored result."""
    from olvane_sdk.fast.deployment.ood.middleware import ShiftCollector, ShiftConfig

    cfg = ShiftConfig(recipes={"alpha": str(write_recipe(recipe_root, "alpha"))}, max_rate=0.0,
                      report_interval=600, store=str(tmp_path / "pool"))
    collectors = [ShiftCollector(cfg, handler=mod.ShiftDetectionRequestHandler(), metrics=False) for _ in range(2)]
    try:
        for i, c in enumerate(collectors):
            assert c.ready.wait(60) and c.pool is not None
            c.pool.holder = c.pool.feeder.origin = f"proc:{i}"
            for k in range(5 + i):
                c.handler.add_embedding("alpha", "text", np.full(4, k, np.float32))
            c.pool.feeder.run_once(force=True)
        assert collectors[0].refresh_report() and collectors[1].refresh_report()
        docs = [c.status() for c in collectors]
    finally:
        for c in collectors:
            c.close()
    assert [d["scope"] for d in docs] == ["deployment", "deployment"]
    assert docs[0]["report"] == docs[1]["report"] and docs[0]["report_time"] == docs[1]["report_time"]
    assert docs[1]["computed_by"] == "proc:0"
    assert docs[1]["window"]["alpha"]["text"]["count"] == 11
    assert {o: v["samples"] for o, v in docs[1]["origins"].items()} == {"proc:0": 5, "proc:1": 6}
    assert docs[0]["report"]["rows"][0]["n_live"] == 11
    assert docs[1]["store"]["state"] == "ok" and docs[1]["report_age"] >= 0
