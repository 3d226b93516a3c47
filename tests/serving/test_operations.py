"""What an operator watches: the alert rules under promtool, counters that
move while a report is being computed, shared refreshes, and recipe health
and outcome accounting in vLLM's real app."""
from __future__ import annotations

import asyncio
import json
import os
import shutil
import socket
import subprocess
import threading
from pathlib import Path
from types import SimpleNamespace

import numpy as np
import pytest
from support import wait_until, write_recipe
from test_middleware import CHAT, FakeHandler, chat

from olvane_sdk.fast.deployment.ood.middleware import OUTCOMES, ShiftCollector, ShiftConfig, ShiftDetectionMiddleware
from olvane_sdk.fast.deployment.ood.samples import deployment_name
import tiny_models

ROOT = Path(__file__).resolve().parents[2]


def test_alert_rules_under_promtool():
    promtool = shutil.which("promtool")
    if promtool is None:
        assert os.environ.get("CI") != "true", "promtool missing: scripts/run.sh test installs Debian's prometheus"
        pytest.skip("promtool missing (scripts/run.sh test installs Debian's prometheus)")
    for args in (["check", "rules", ROOT / "deploy/prometheus/olvane-shift-alerts.yml"],
                 ["test", "rules", ROOT / "tests/data/olvane-shift-alerts.test.yml"]):
        out = subprocess.run([promtool, *map(str, args)], capture_output=True, text=True, timeout=120)
        assert out.returncode == 0, out.stdout + out.stderr


def test_counters_move_during_a_slow_report_and_refreshes_share_it(monkeypatch):
    """The background report blocks until released: meanwhile the request
    counter reaches /metrics, and three concurrent ?refresh=true plus one
    right after share that one report instead of computing their own."""
    httpx = pytest.importorskip("httpx")
    from prometheus_client import CollectorRegistry
    from starlette.applications import Starlette
    from starlette.responses import JSONResponse
    from starlette.routing import Route

    from olvane_sdk.fast.deployment.ood import report
    from olvane_sdk.fast.deployment.ood.middleware.metrics import Metrics

    started, release, refreshing = threading.Event(), threading.Event(), threading.Event()
    reports = []

    def slow_report(handler, **_):
        reports.append(started.set())
        assert release.wait(30)
        return SimpleNamespace(to_dict=lambda: {"rows": []}, outliers=lambda records=None: {},
                               clusters=lambda records=None, profiles=None: {}, rows=[])

    monkeypatch.setattr(report, "shift_report", slow_report)
    registry = CollectorRegistry()
    # store off: the process's own report (the store's lease is tested with the sample store)
    c = ShiftCollector(ShiftConfig(recipes={"m1": "/r/m1"}, max_rate=0.0, report_interval=1, store="off"),
                       handler=FakeHandler(),
                       init_models=False, metrics=Metrics(registry))
    refresh = c.reports.refresh
    # A route's refresh (forced), not the background one.
    c.reports.refresh = lambda force=False: (force and refreshing.set(), refresh(force))[1]

    async def echo(request):
        return JSONResponse(len(await request.body()))

    app = Starlette(routes=[Route(CHAT, echo, methods=["POST"])])
    app.add_middleware(ShiftDetectionMiddleware, collector=c)
    collected = lambda: registry.get_sample_value("olvane_shift_requests_total", {"outcome": "collected"})  # noqa: E731

    async def scenario():
        async with httpx.AsyncClient(transport=httpx.ASGITransport(app=app), base_url="http://t") as client:
            assert await asyncio.to_thread(started.wait, 30)
            for _ in range(10):
                assert (await client.post(CHAT, content=chat("m1"))).status_code == 200
            assert await asyncio.to_thread(c.handover.drain)
            await asyncio.to_thread(wait_until, lambda: collected() == 10)
            assert not release.is_set() and len(reports) == 1  # the report is still running
            shared = [asyncio.ensure_future(client.get("/v1/shift?refresh=true")) for _ in range(3)]
            assert await asyncio.to_thread(refreshing.wait, 30)
            release.set()
            answers = [(await r).json() for r in shared]
            answers.append((await client.get("/v1/shift?refresh=true")).json())
            return answers

    try:
        answers = asyncio.run(scenario())
    finally:
        release.set()
        c.close()
    assert len(reports) == 1 and len({a["report_time"] for a in answers}) == 1 and answers[0]["report"]
    # Every outcome exists from the start, and the recipe's health is a gauge.
    assert {o: registry.get_sample_value("olvane_shift_requests_total", {"outcome": o}) for o in OUTCOMES} == {
        o: 10.0 if o == "collected" else 0.0 for o in OUTCOMES}
    assert registry.get_sample_value("olvane_shift_recipe_loaded", {"model": "m1"}) == 1.0
    # Without a store the report's gauges carry the name the store would have.
    assert registry.get_sample_value("olvane_shift_report_timestamp_seconds",
                                     {"deployment": deployment_name({"m1": "/r/m1"})}) == answers[0]["report_time"]


def test_report_and_store_gauges_carry_the_deployment(mod, fake_models, recipe_root, tmp_path, monkeypatch):
    """Two collectors of one deployment on a directory store, the reader with
    metrics: the report's and the store's gauges carry the deployment, the
    window's sample times are its records' own, and a failing store shows."""
    from prometheus_client import CollectorRegistry

    from olvane_sdk.fast.deployment.ood.middleware.metrics import Metrics

    registry = CollectorRegistry()
    cfg = ShiftConfig(recipes={"alpha": str(write_recipe(recipe_root, "alpha"))}, max_rate=0.0,
                      report_interval=600, store=str(tmp_path / "pool"), deployment="dep-a")
    collectors = [ShiftCollector(cfg, handler=mod.ShiftDetectionRequestHandler(), metrics=m)
                  for m in (False, Metrics(registry))]
    row = {"model": "alpha", "modality": "text"}

    def gauge(name, **labels):
        return registry.get_sample_value(name, {"deployment": "dep-a", **labels})

    try:
        for i, c in enumerate(collectors):
            assert c.ready.wait(60) and c.reports.pool is not None
            c.reports.pool.holder = c.reports.pool.feeder.origin = f"proc:{i}"
            for k in range(3):
                c.loader.handler.add_embedding("alpha", "text", np.full(4, k, np.float32))
            c.reports.pool.feeder.run_once(force=True)
        reader = collectors[1]
        assert collectors[0].reports.refresh() and reader.reports.refresh()
        reader.pusher.push()
        doc = reader.status()
        span = doc["window"]["alpha"]["text"]
        assert doc["computed_by"] == "proc:0" and gauge("olvane_shift_live_embeddings", **row) == 6
        assert gauge("olvane_shift_verdict", **row) is not None
        assert gauge("olvane_shift_report_timestamp_seconds") == doc["report_time"]
        assert (gauge("olvane_shift_window_oldest_timestamp_seconds", **row),
                gauge("olvane_shift_window_newest_timestamp_seconds", **row)) == (span["oldest"], span["newest"])
        assert (gauge("olvane_shift_store_degraded"), gauge("olvane_shift_store_pending")) == (0, 0)

        def fail(records):
            raise OSError("read-only file system")

        monkeypatch.setattr(reader.reports.pool.store, "append", fail)
        reader.loader.handler.add_embedding("alpha", "text", np.full(4, 9, np.float32))
        reader.reports.pool.feeder.run_once(force=True)
        reader.pusher.push()
        assert (gauge("olvane_shift_store_degraded"), gauge("olvane_shift_store_pending")) == (1, 1)
    finally:
        for c in collectors:
            c.close()


def _raw_disconnect(srv) -> None:
    """A chat request whose client leaves in the middle of the body."""
    with socket.create_connection(("127.0.0.1", srv.port), timeout=10) as s:
        s.sendall(b"POST /v1/chat/completions HTTP/1.1\r\nHost: t\r\ncontent-type: application/json\r\n"
                  b"Authorization: Bearer " + srv.api_key.encode() + b"\r\nContent-Length: 4000\r\n\r\n"
                  b'{"model": "alpha-chat", "messages": [')


def test_recipe_health_and_outcomes_in_vllm(tmp_path):
    """One good recipe, one whose embeddings fail part-way (the handler keeps
    an empty entry for it), one missing directory: the good one is
    collected, the others are failed with their reasons on /v1/shift and
    /metrics, and every request seen ends in exactly one outcome."""
    pytest.importorskip("vllm.entrypoints.openai.api_server")
    from olvane_sdk.fast.deployment.ood import demo as dh

    tiny = tiny_models.tiny_text_model_dir(tmp_path / "tiny-text")
    rng = np.random.default_rng(0)
    text = {"text_embeddings": rng.standard_normal((40, 32)), "text_roles": np.array(["user"] * 40)}
    recipes = {"alpha-chat": write_recipe(tmp_path, "alpha-chat", text_model=tiny, train=text,
                                          test={"text_embeddings": rng.standard_normal((20, 32))}),
               "beta-chat": write_recipe(tmp_path, "beta-chat", text_model=tiny, train=text,
                                         test={"unrelated": np.zeros(2)}),
               "gamma-chat": tmp_path / "gamma-chat"}
    env = {"OLVANE_SHIFT_RECIPES": json.dumps({k: str(v) for k, v in recipes.items()}),
           "OLVANE_SHIFT_MAX_RATE": "0", "OLVANE_SHIFT_REPORT_INTERVAL": "0"}
    with dh.VllmServer(["alpha-chat", "beta-chat"], env=env, log_path=tmp_path / "server.log") as srv:
        assert srv.wait_ready(), srv.log_tail()
        client = srv.openai_client()
        for model in ("alpha-chat", "alpha-chat", "beta-chat"):
            client.chat.completions.create(model=model, messages=[{"role": "user", "content": "hello there"}])
        _raw_disconnect(srv)
        wait_until(lambda: sum(v for k, v in srv.shift()["intake"].items() if k != "messages") >= 4, 60)
        s = srv.shift(refresh=True)
        # Counted as the worker stores them (it gathers for up to a second before it embeds).
        wait_until(lambda: {'olvane_shift_requests_total{outcome="disconnected"} 1.0',
                            'olvane_shift_embeddings_total{modality="text",model="alpha-chat"} 2.0'}
                   <= set(srv.shift_metrics()), 30)
        metrics = srv.shift_metrics()
    intake = s["intake"]
    assert (intake["collected"], intake["no_recipe"], intake["disconnected"]) == (2, 1, 1)
    assert sum(v for k, v in intake.items() if k != "messages") == 4, intake
    states = s["recipes"]
    alpha = states["alpha-chat"]
    assert (alpha["state"], alpha["modalities"], len(alpha.pop("fingerprint")), set(alpha)) == (
        "loaded", ["text"], 12, {"state", "modalities", "fingerprint_since", "version", "adopted_at"})
    assert (alpha["version"], alpha["adopted_at"]) == (1, None)  # as built
    assert states["beta-chat"]["state"] == "failed" and "beta-chat" in states["beta-chat"]["reason"], states
    assert states["gamma-chat"] == {"state": "failed", "reason": "no recipe directory"}
    assert s["ready"] and s["error"] is None
    assert {r["model"] for r in s["report"]["rows"]} == {"alpha-chat"}  # the failed recipe is no n/a row
    for line in ['olvane_shift_recipe_loaded{model="alpha-chat"} 1.0',
                 'olvane_shift_recipe_loaded{model="beta-chat"} 0.0',
                 'olvane_shift_recipe_loaded{model="gamma-chat"} 0.0',
                 'olvane_shift_embeddings_total{modality="text",model="alpha-chat"} 2.0',
                 'olvane_shift_requests_total{outcome="sampled_out"} 0.0', 'olvane_shift_ready 1.0']:
        assert line in metrics, (line, metrics)


def test_a_recipe_too_small_for_a_newcomer_is_warned_about_at_start(mod, fake_models, recipe_root, caplog):
    """The real handler loads the demo-sized recipe (54 train + 18 test
    texts) and a 1,600-text one: one warning, naming the small recipe and
    the share it can detect."""
    from olvane_sdk.fast.deployment.ood.middleware.loading import RecipeLoader

    rng = np.random.default_rng(0)

    def recipe(name, n_train, n_test):
        return str(write_recipe(recipe_root, name, image_model=None,
                                train={"text_embeddings": rng.standard_normal((n_train, 4)),
                                       "text_roles": np.array(["user"] * n_train)},
                                test={"text_embeddings": rng.standard_normal((n_test, 4))}))

    cfg = ShiftConfig(recipes={"small": recipe("small", 54, 18), "large": recipe("large", 1200, 400)})
    loader = RecipeLoader(cfg, mod.ShiftDetectionRequestHandler())
    with caplog.at_level("WARNING"):
        loader.load()
    assert {k: st["state"] for k, st in loader.recipe_states.items()} == {"small": "loaded", "large": "loaded"}
    warned = [r.getMessage() for r in caplog.records if "too small" in r.getMessage()]
    assert len(warned) == 1 and "recipe for small" in warned[0] and "detects a newcomer at 7.4%" in warned[0], warned
