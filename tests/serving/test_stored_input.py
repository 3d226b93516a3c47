"""What the store gives back is not trusted: forged or foreign history rows
and stored results leave every route up (dropped and counted), the page
renders any JSON in their shapes, and excerpts past their age leave every
route and the stored result."""
from __future__ import annotations

import json
import math

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from support import write_recipe
from test_sample_store import redis_server  # noqa: F401 - a fixture

from olvane_sdk.fast.deployment.ood.middleware import ShiftCollector, ShiftConfig, ShiftDetectionMiddleware
from olvane_sdk.fast.deployment.ood.middleware.routes import HISTORY_PATH, OUTLIERS_PATH, SHIFT_PATH, UI_PATH
from olvane_sdk.fast.deployment.ood.report.page import render_page

ROUTES = (SHIFT_PATH, f"{OUTLIERS_PATH}?model=alpha", f"{HISTORY_PATH}?model=alpha", UI_PATH)
NOW = 1.8e9

scalars = st.none() | st.booleans() | st.integers(-2**70, 2**70) | st.floats() | st.text(max_size=8)
anything = st.recursive(scalars, lambda inner: st.lists(inner, max_size=4)
                        | st.dictionaries(st.text(max_size=6), inner, max_size=4), max_leaves=12)


def shaped(keys, value=anything):
    """Dicts with some of ``keys`` (any JSON in each) and maybe others."""
    return st.fixed_dictionaries({}, optional={k: value for k in keys}) | anything


def nested(leaf):
    return st.dictionaries(st.sampled_from(["alpha", "x"]), st.dictionaries(st.sampled_from(["text", "y"]), leaf))


ROW_KEYS = ("model", "modality", "verdict", "n_live", "n_train", "live", "ood", "note", "repeats")
HIST_KEYS = ("time", "verdict", "auc", "ood_share", "ood_bound", "n_live", "clusters")
CLUSTER_KEYS = ("id", "size", "share", "terms", "terms_time", "examples", "first_seen")
row = shaped(ROW_KEYS, st.sampled_from(["alpha", "text", "novel"]) | anything)
history_row = shaped(HIST_KEYS, st.floats(0, 2e9) | anything)
cluster = shaped(CLUSTER_KEYS, st.lists(shaped(("time", "excerpt", "score")), max_size=3) | anything)
flagged = shaped(("score", "time", "excerpt", "cluster", "p_value"))
point = st.lists(st.floats(-3, 3) | anything, min_size=2, max_size=3)
a_map = shaped(("reference", "live", "flagged", "n_live"), st.lists(point, max_size=4) | anything)
result = st.fixed_dictionaries(
    {"report": st.fixed_dictionaries({"rows": st.lists(row, max_size=3)}, optional={"settings": anything}),
     "time": st.floats(0, 2e9) | anything},
    optional={"outliers": nested(st.lists(flagged, max_size=3)) | anything,
              "clusters": nested(st.lists(cluster, max_size=3)) | anything,
              "maps": nested(a_map) | anything, "history": st.lists(history_row, max_size=4) | anything,
              "window": anything, "origins": anything, "stored": anything, "recipes": anything})


@settings(max_examples=150, deadline=None)
@given(result, st.lists(history_row, max_size=6))
def test_the_page_renders_any_stored_json(stored, history):
    rows = stored["report"]["rows"]
    keys = [(str(r.get("model")), str(r.get("modality"))) for r in rows if isinstance(r, dict)]
    page = render_page(stored["report"], {k: history for k in keys}, stored.get("maps"),
                       {"alpha": {"text": {"outliers": stored.get("outliers"), "clusters": stored.get("clusters")}}},
                       now=NOW)
    assert page.endswith("</html>\n")


@pytest.fixture
def served(mod, fake_models, recipe_root, request, tmp_path):
    """A collector on a store (``request.param``: directory or redis), its
    routes behind vLLM's key, and a Prometheus registry of its own."""
    from fastapi import FastAPI
    from prometheus_client import CollectorRegistry
    from starlette.testclient import TestClient
    from vllm.entrypoints.openai.api_server import AuthenticationMiddleware

    from olvane_sdk.fast.deployment.ood.middleware.metrics import Metrics

    url = request.getfixturevalue("redis_server").url if request.param == "redis" else str(tmp_path / "pool")
    cfg = ShiftConfig(recipes={"alpha": str(write_recipe(recipe_root, "alpha"))}, max_rate=0.0, report_interval=0,
                      store=url, deployment="d", excerpts=True, excerpt_max_age=60.0)
    c = ShiftCollector(cfg, handler=mod.ShiftDetectionRequestHandler(), metrics=Metrics(CollectorRegistry()))
    app = FastAPI()
    app.add_middleware(AuthenticationMiddleware, tokens=["sesame"])
    app.add_middleware(ShiftDetectionMiddleware, collector=c)
    try:
        assert c.ready.wait(60) and c.reports.pool is not None
        with TestClient(app, headers={"Authorization": "Bearer sesame"}) as client:
            yield c, client
    finally:
        c.close()


def store_result(c, doc: dict, t: float) -> None:
    """``doc`` as the deployment's stored report of time ``t``, taken by the collector."""
    store = c.reports.pool.store
    store.put_result("report", json.dumps(doc).encode())
    store.put_result("report-time", repr(t).encode())
    c.reports.snapshot = None
    c.reports.follow()


GOOD_ROW = {"model": "alpha", "modality": "text", "verdict": "novel", "n_live": 40}


@pytest.mark.parametrize("served", ["redis"], indirect=True)
def test_forged_history_and_result_in_redis_are_dropped_and_counted(served):
    c, client = served
    store = c.reports.pool.store
    forged = [{"time": 1e20, "verdict": "ok"}, {"time": math.inf}, {"time": NOW, "n_live": [1, 2]}, "a row",
              {"time": NOW - 60, "verdict": "novel", "auc": 0.7}]
    key = store._k("h", "alpha\0text")
    store.client.rpush(key, *(json.dumps(r) for r in forged), b"{not json")
    store_result(c, {"report": {"rows": [GOOD_ROW, {**GOOD_ROW, "model": 7}]}, "time": NOW,
                     "outliers": {"alpha": {"text": [{"time": 1e20, "score": 1}, {"score": 0.5}]}},
                     "clusters": {"alpha": {"text": [{"id": 0, "size": [3]}, {"id": 1, "size": 2}]}},
                     "maps": {"alpha": {"text": {"live": [[0.1, 0.2], [math.inf, 0], "x"], "flagged": 5}}}}, NOW)
    got = {path: client.get(path) for path in ROUTES}
    assert {p: r.status_code for p, r in got.items()} == dict.fromkeys(ROUTES, 200)
    answer = got[ROUTES[1]].json()
    assert answer["outliers"] == [{"score": 0.5}] and [k["id"] for k in answer["clusters"]] == [1]
    assert answer["map"]["live"] == [[0.1, 0.2]] and answer["map"]["flagged"] == []
    assert [r["auc"] for r in got[ROUTES[2]].json()["rows"]] == [0.7]
    # The result: a row, an outlier, a cluster, two points and the flagged points; the history: four rows
    # and a line that is no JSON, read by the history route and again by the page.
    assert client.get(SHIFT_PATH).json()["store"]["bad_items"] == 6 + 5 * 2
    c.pusher.push()
    assert c.reports.metrics.store_bad_items._value.get() == 16


@pytest.mark.parametrize("served", ["directory"], indirect=True)
def test_any_stored_result_leaves_the_routes_up(served):
    c, client = served
    store = c.reports.pool.store

    @settings(max_examples=40, deadline=None, suppress_health_check=list(HealthCheck))
    @given(result, st.lists(history_row, max_size=4))
    def check(doc, history):
        path = store._history_file("alpha", "text")
        path.parent.mkdir(parents=True, exist_ok=True)
        with path.open("a") as f:
            f.writelines(json.dumps(r) + "\n" for r in history)
        store_result(c, doc, NOW)
        assert all(client.get(p).status_code in (200, 404) for p in ROUTES)

    check()


@pytest.mark.parametrize("served", ["directory"], indirect=True)
def test_excerpts_past_their_age_leave_every_route_and_the_store(served):
    c, client = served
    clock = [NOW]
    c.reports.clock = lambda: clock[0]
    c.reports.pool.feeder.state = "ok"
    example = {"time": NOW - 30, "request_id": "r-1", "excerpt": "Mrs Quimby, password tulip"}
    store_result(c, {"report": {"rows": [GOOD_ROW]}, "time": NOW,
                     "outliers": {"alpha": {"text": [{**example, "score": 0.9, "cluster": 0}]}},
                     "clusters": {"alpha": {"text": [{"id": 0, "size": 1, "terms": ["quimby", "tulip"],
                                                      "terms_time": NOW - 30, "examples": [example]}]}}}, NOW)

    def shown() -> str:
        return "".join(client.get(p).text for p in ROUTES[1:])

    assert "quimby" in shown() and "Quimby" in shown()
    clock[0] = NOW + 31  # the excerpt is 61 s old: past the 60 s
    assert c.reports.expire()
    text, stored = shown(), c.reports.pool.store.get_result("report").decode()
    assert "r-1" in text and "r-1" in stored  # the ids stay
    assert not [w for w in ("quimby", "Quimby", "tulip") if w in text or w in stored]
