"""ShiftDetectionMiddleware at ASGI level: a raw ASGI app stands in for vLLM
(it reads the body, echoes it, answers 2xx/4xx, streams), the collector runs
its real threads and vLLM's real ChatCompletionRequest parses."""
from __future__ import annotations

import asyncio
import hashlib
import json
import logging
import queue
import random

import pytest
from fastapi import Request  # module level: FastAPI resolves the endpoint annotations here
from support import write_recipe
from vllm.entrypoints.openai.protocol import ChatCompletionRequest  # noqa: F401  (imported once, up front)

from olvane_sdk.fast.deployment.ood.middleware import (
    ConfigError, ShiftCollector, ShiftConfig, ShiftDetectionMiddleware, config_from_env)

CHAT = "/v1/chat/completions"


class FakeHandler:
    """Records what is handed over; a 16-message queue like the module's."""

    def __init__(self, models=("m1", "m2")):
        self.live_messages_queue = queue.Queue(16)
        self.vllm_to_embedding_model_map = {m: {"text": "t", "image": None} for m in models}
        self.train_test_embeddings = {m: {"text": {}} for m in models}  # a loaded recipe has a modality
        self.live_embeddings: dict = {}
        self.requests: list = []

    def add_embedding(self, *a):
        pass

    def handle_chat_completion_request(self, request):
        self.requests.append((request.model, [m["content"] for m in request.messages]))


async def downstream(scope, receive, send):
    """vLLM's part: reads the body, answers 400 for model "bad", else 200 with
    the body's sha256 (as JSON, or as two SSE events when streaming), then
    reports whether a disconnect reached it."""
    if scope["type"] != "http":
        return
    body = b""
    while True:
        m = await receive()
        body += m.get("body", b"")
        if not m.get("more_body"):
            break
    doc = json.loads(body)
    status = 400 if doc.get("model") == "bad" else 200
    await send({"type": "http.response.start", "status": status, "headers": []})
    digest = hashlib.sha256(body).hexdigest().encode()
    if doc.get("stream"):
        await send({"type": "http.response.body", "body": b"data: " + digest + b"\n\n", "more_body": True})
        tail = await receive()  # a disconnect must reach the app
        await send({"type": "http.response.body", "body": b"data: " + tail["type"].encode() + b"\n\n"})
    else:
        await send({"type": "http.response.body", "body": digest})


def chat(model="m1", n=1, stream=False, assistant_at=None, pad=0) -> bytes:
    msgs = [{"role": "user", "content": f"q{i}" + "x" * pad} for i in range(n)]
    if assistant_at is not None:
        msgs[assistant_at] = {"role": "assistant", "content": "a"}
    return json.dumps({"model": model, "messages": msgs, "stream": stream}).encode()


async def call(app, body: bytes, *, path=CHAT, chunk=7, content_length=True):
    """Sends body in chunks, then a disconnect; returns (status, response body)."""
    parts = [body[i:i + chunk] for i in range(0, len(body), chunk)] or [b""]
    inbox = [{"type": "http.request", "body": p, "more_body": i + 1 < len(parts)} for i, p in enumerate(parts)]
    inbox.append({"type": "http.disconnect"})
    out = []

    async def receive():
        return inbox.pop(0)

    async def send(m):
        out.append(m)

    headers = [(b"content-length", str(len(body)).encode())] if content_length else []
    await app({"type": "http", "method": "POST", "path": path, "headers": headers, "query_string": b""},
              receive, send)
    return out[0]["status"], b"".join(m.get("body", b"") for m in out[1:])


@pytest.fixture
def make():
    made = []

    def make(handler=None, clock=None, **cfg):
        handler = handler or FakeHandler()
        kw = {"clock": clock} if clock else {}
        c = ShiftCollector(ShiftConfig(**{"max_rate": 0.0, "store": "off", **cfg}), handler=handler, init_models=False,
                           metrics=False, **kw)
        made.append(c)
        assert c.ready.wait(60)
        return ShiftDetectionMiddleware(downstream, collector=c), c, handler

    yield make
    for c in made:
        c.close()


def run(coro):
    return asyncio.run(coro)


@pytest.mark.parametrize("model,stream,status,outcome", [
    ("m1", False, 200, "collected"),
    ("m1", True, 200, "collected"),
    ("bad", False, 400, "rejected_by_vllm"),
    ("m3", False, 200, "no_recipe"),
])
def test_status_gate_replay_and_disconnect(make, model, stream, status, outcome):
    mw, c, h = make()
    body = chat(model, n=3, stream=stream)
    got_status, answer = run(call(mw, body))
    assert got_status == status
    digest = hashlib.sha256(body).hexdigest().encode()
    if stream:  # the body arrived unchanged and the disconnect after it
        assert answer == b"data: " + digest + b"\n\ndata: http.disconnect\n\n"
    else:
        assert answer == digest
    assert c.handover.drain()
    assert c.handover.intake[outcome] == 1
    assert h.requests == ([(model, ["q0", "q1", "q2"])] if outcome == "collected" else [])


def test_other_routes_and_size_limit(make):
    mw, c, h = make(max_body=300)
    small, big = chat(n=2), chat(n=2, pad=400)
    assert run(call(mw, small, path="/v1/completions"))[1] == hashlib.sha256(small).hexdigest().encode()
    for content_length in (True, False):  # announced, or found while reading
        assert run(call(mw, big, content_length=content_length))[1] == hashlib.sha256(big).hexdigest().encode()
    assert c.handover.drain() and h.requests == []
    assert c.handover.intake["too_large"] == 2 and sum(c.handover.intake.values()) == 2


@pytest.mark.parametrize("policy,expected", [("all", ["q0", "a", "q2", "q3"]), ("new", ["q2", "q3"])])
def test_policies(make, policy, expected):
    mw, c, h = make(policy=policy)
    run(call(mw, chat(n=4, assistant_at=1)))
    run(call(mw, chat(n=2, assistant_at=1)))  # nothing new after the assistant turn
    assert c.handover.drain()
    assert h.requests == [("m1", expected)] + ([("m1", ["q0", "a"])] if policy == "all" else [])
    assert c.handover.intake["empty"] == (policy == "new")


def test_queue_full_whole_request_or_nothing(make):
    h = FakeHandler()
    for _ in range(10):
        h.live_messages_queue.put_nowait({})
    mw, c, _ = make(handler=h, policy="all", clock=Clock(), max_rate=100.0)
    run(call(mw, chat(n=7)))
    run(call(mw, chat(n=6)))
    assert c.handover.drain()
    assert [len(m) for _, m in h.requests] == [6]
    assert c.handover.intake["queue_full"] == 1 and c.handover.messages["queue_full"] == 7
    # The parsed request that did not fit keeps its token spent, the six
    # handed over are charged their estimates (by hand: 0.0005 + 0.0045 +
    # 2 * 0.000357 = 0.005714 s each, a unit 0.042927456 s: 0.798653 units),
    # and each parse its measured CPU (well under 0.6 of a unit, 26 ms, even
    # under the sanitizers; charging the six twice would take 0.8 more); with
    # the queue full on arrival, a request is neither copied nor charged.
    assert 100 - 1 - 0.798653 - 0.6 < c.bucket.tokens < 100 - 1 - 0.798653
    tokens = c.bucket.tokens
    for _ in range(6):
        h.live_messages_queue.put_nowait({})
    run(call(mw, chat(n=1)))
    assert c.handover.drain() and c.handover.intake["queue_full"] == 2 and c.handover.messages["queue_full"] == 7 and c.bucket.tokens == tokens


class Clock:
    def __init__(self):
        self.t = 0.0

    def __call__(self):
        return self.t


def test_token_bucket_counts(make):
    clock = Clock()
    mw, c, h = make(clock=clock, max_rate=4.0)  # 4 msg/s, 4 tokens to start
    c.handover.meter = None  # charged by the cost model alone: at least a token a message
    for n, dt in [(3, 0), (3, 0), (1, 0), (1, 0.5), (1, 0.25), (2, 0), (1, 1.0)]:
        clock.t += dt
        run(call(mw, chat(n=n)))
        assert c.handover.drain()
    # 4 tokens: 3 taken; the second 3-message request goes into debt (-2);
    # 0.5 s later 2 tokens bring it to 0, 0.25 s later to 1: one request.
    assert [len(m) for _, m in h.requests] == [3, 3, 1, 1]
    assert c.handover.intake["collected"] == 4 and c.handover.intake["sampled_out"] == 3
    # Rejected requests hand their reservation back.
    clock.t += 10
    for _ in range(5):
        run(call(mw, chat("bad")))
    assert c.bucket.tokens == c.bucket.capacity


def test_sampling_keeps_the_traffic_ratio(make):
    clock = Clock()
    mw, c, h = make(clock=clock, max_rate=20.0)
    c.handover.meter = None  # charged by the cost model alone: at least a token a message
    rng = random.Random(0)

    async def traffic():
        for _ in range(3300):
            clock.t += 0.02  # 50 requests/s offered (75 messages/s), budget 20 messages/s
            await call(mw, chat("m1" if rng.random() < 10 / 11 else "m2", n=rng.choice([1, 2])))
            assert c.handover.drain()

    run(traffic())
    got = {m: sum(1 for r in h.requests if r[0] == m) for m in ("m1", "m2")}
    assert abs(c.handover.messages["collected"] - (20 + 20 * 66)) < 40
    assert 7.5 < got["m1"] / got["m2"] < 13


def test_non_finite_report_figures_are_null_on_the_routes(make, monkeypatch, caplog):
    """JSON has no NaN: the route's encoder refuses it, so the report's NaN
    and infinities reach /v1/shift and its outliers as null. No key guards
    the routes here: said once."""
    from types import SimpleNamespace

    from starlette.applications import Starlette
    from starlette.testclient import TestClient

    from olvane_sdk.fast.deployment.ood import report

    row = {"model": "m1", "modality": "text", "verdict": "ok", "ood": {"share": float("nan"), "bound": 0.1},
           "live": {"auc": float("inf"), "p_value": -float("inf")}}
    monkeypatch.setattr(report, "shift_report", lambda handler, **_: SimpleNamespace(
        to_dict=lambda: {"rows": [row]}, outliers=lambda records=None: {"m1": {"text": [{"score": float("nan")}]}},
        rows=[], clusters=lambda records=None, profiles=None: {"m1": {"text": [{"id": 0, "share": float("inf")}]}}))
    _, c, _ = make(recipes={"m1": "/r/m1"})
    assert c.reports.refresh(True)
    caplog.set_level(logging.WARNING, logger="olvane_sdk")
    monkeypatch.setattr(logging.getLogger("olvane_sdk"), "propagate", True)  # vLLM's logging may have taken it
    app = Starlette()
    app.add_middleware(ShiftDetectionMiddleware, collector=c)
    with TestClient(app) as client:
        got = client.get("/v1/shift").json()["report"]["rows"][0]
        outliers = client.get("/v1/shift/outliers?model=m1").json()
    assert got["ood"] == {"share": None, "bound": 0.1} and got["live"] == {"auc": None, "p_value": None}
    assert outliers["ood"]["share"] is None and outliers["outliers"] == [{"score": None}]
    assert [r.levelname for r in caplog.records if "no API key guards" in r.getMessage()] == ["WARNING"]


def test_config_from_env(tmp_path):
    write_recipe(tmp_path, "alpha")
    write_recipe(tmp_path, "beta")
    forms = [str(tmp_path), f"alpha={tmp_path / 'alpha'},beta={tmp_path / 'beta'}",
             json.dumps({"alpha": str(tmp_path / "alpha"), "beta": str(tmp_path / "beta")})]
    for form in forms:
        cfg = config_from_env({"OLVANE_SHIFT_RECIPES": form, "OLVANE_SHIFT_MAX_BODY": "2MiB",
                               "OLVANE_SHIFT_MAX_RATE": "off"})
        assert set(cfg.recipes) == {"alpha", "beta"} and cfg.max_body == 2 << 20 and cfg.max_rate == 0


@pytest.mark.parametrize("bad", [
    {"OLVANE_SHIFT_RECIPES": None}, {"OLVANE_SHIFT_RECIPES": "{nope"}, {"OLVANE_SHIFT_RECIPES": "x="},
    {"OLVANE_SHIFT_POLICY": "some"}, {"OLVANE_SHIFT_MAX_RATE": "-1"}, {"OLVANE_SHIFT_MAX_RATE": "nan"},
    {"OLVANE_SHIFT_CPU_SHARE": "5"}, {"OLVANE_SHIFT_REPORT_INTERVAL": "inf"},
    {"OLVANE_SHIFT_REPORT_INTERVAL": "nan"}, {"OLVANE_SHIFT_REPORT_INTERVAL": "0.5"},
    {"OLVANE_SHIFT_STORE": "redis://:secret@127.0.0.1:163799/0"}, {"OLVANE_SHIFT_STORE": "redis://h:6379/x"},
    {"OLVANE_SHIFT_STORE": "redis//127.0.0.1:16379/0"}, {"OLVANE_SHIFT_STORE": "redis:/x"},
    {"OLVANE_SHIFT_STORE": "http://h/x"}, {"OLVANE_SHIFT_REPORT_K": "x"}, {"OLVANE_SHIFT_ENCODE_BATCH": "0"},
    {"OLVANE_SHIFT_WORKER_NICE": "20"},
    # several at once: every one named in the one error
    {"OLVANE_SHIFT_CPU_SHARE": "5", "OLVANE_SHIFT_STORE": "redis//h/0", "OLVANE_SHIFT_REPORT_AUC": "nan",
     "OLVANE_SHIFT_REPORT_K": "x", "OLVANE_SHIFT_POLICY": "some"},
], ids=lambda b: ",".join(f"{k[13:]}={v}" for k, v in b.items()))
def test_config_refuses_and_names_every_bad_variable(tmp_path, bad):
    env = {k: v for k, v in {"OLVANE_SHIFT_RECIPES": str(tmp_path), **bad}.items() if v is not None}
    with pytest.raises(ConfigError) as e:
        config_from_env(env)
    assert all(k in str(e.value) for k in bad) and "secret" not in str(e.value)


@pytest.mark.parametrize("text, value", [("1", True), ("TRUE", True), ("Yes", True), ("on", True),
                                         ("0", False), ("false", False), ("NO", False), ("Off", False),
                                         ("2", None), ("enabled", None)])
def test_boolean_variables_take_every_spelling(text, value):
    base = {"OLVANE_SHIFT_RECIPES": "a=/r/a"}
    for var, field in (("OLVANE_SHIFT_EXCERPTS", "excerpts"), ("OLVANE_SHIFT_ORT_SPINNING", "ort_spinning")):
        if value is None:  # the error lists what is accepted, beside any other bad value
            with pytest.raises(ConfigError) as e:
                config_from_env({**base, var: text, "OLVANE_SHIFT_POLICY": "x"})
            assert f"{var}='{text}': expected one of 1/true/yes/on or 0/false/no/off" in str(e.value)
            assert "OLVANE_SHIFT_POLICY" in str(e.value)
        else:
            assert getattr(config_from_env({**base, var: text}), field) is value


def test_config_values_and_unknown_names(tmp_path):
    from olvane_sdk.fast.deployment.ood.middleware.config import unknown_variables

    base = {"OLVANE_SHIFT_RECIPES": "a=/r/a"}
    for store in ("off", "", str(tmp_path / "s"), "rel/dir", f"file://{tmp_path}", "redis://h:6379/2",
                  "rediss://:pw@h/0"):
        assert config_from_env({**base, "OLVANE_SHIFT_STORE": store}).store == store
    assert config_from_env({**base, "OLVANE_SHIFT_CPU_SHARE": "1"}).cpu_share == 1.0
    assert config_from_env({**base, "OLVANE_SHIFT_REPORT_INTERVAL": "0"}).report_interval == 0
    lines = unknown_variables({"OLVANE_SHIFT_STOER": "x", "OLVANE_SHIFT_REPORT_ALHPA": "1",
                               "OLVANE_SHIFT_STORE": "off", "OLVANE_SHIFT_REPORT_K": "3", "OTHER": "1"})
    assert [ln.split(" ")[0] + ln.rpartition("did you mean")[2] for ln in lines] == [
        "OLVANE_SHIFT_REPORT_ALHPA OLVANE_SHIFT_REPORT_ALPHA?", "OLVANE_SHIFT_STOER OLVANE_SHIFT_STORE?"]


@pytest.mark.filterwarnings("ignore::pytest.PytestUnhandledThreadExceptionWarning")  # stop_worker's SystemExit
def test_real_module_behind_vllm_auth(handler, fake_models, recipe_root, caplog, monkeypatch):
    """The real handler, its worker and vLLM's AuthenticationMiddleware in a
    FastAPI app: requests collected and embedded, /v1/shift a route behind
    the key, counts on the metrics."""
    import httpx
    from fastapi import FastAPI
    from prometheus_client import REGISTRY, generate_latest
    from vllm.entrypoints.openai.api_server import AuthenticationMiddleware

    from olvane_sdk.fast.deployment.ood.host import stop_worker, wait_drained

    c = ShiftCollector(ShiftConfig(recipes={"alpha": str(write_recipe(recipe_root, "alpha"))}, max_rate=0.0,
                                   report_interval=0), handler=handler)
    app = FastAPI()

    @app.post(CHAT)
    async def chat_completions(raw: Request):
        req = ChatCompletionRequest.model_validate_json(await raw.body())
        return {"model": req.model, "choices": []}

    app.add_middleware(AuthenticationMiddleware, tokens=["sesame"])
    app.add_middleware(ShiftDetectionMiddleware, collector=c)
    monkeypatch.setattr(logging.getLogger("olvane_sdk"), "propagate", True)  # vLLM's logging may have taken it
    caplog.set_level(logging.WARNING, logger="olvane_sdk")
    key = {"Authorization": "Bearer sesame"}

    async def scenario():
        transport = httpx.ASGITransport(app=app)
        async with httpx.AsyncClient(transport=transport, base_url="http://t") as client:
            assert (await client.get("/v1/shift")).status_code == 401
            assert c.ready.wait(60)
            for model in ("alpha", "alpha", "other"):
                r = await client.post(CHAT, headers=key, content=chat(model, n=2))
                assert r.status_code == 200
            assert (await client.post(CHAT, content=chat("alpha"))).status_code == 401
            assert c.handover.drain() and wait_drained(handler, 20)
            doc = (await client.get("/v1/shift?refresh=true", headers=key)).json()
            outliers = "/v1/shift/outliers?model=alpha&modality=text&limit=5"
            assert (await client.get(outliers)).status_code == 401
            codes = [(await client.get(u, headers=key)).status_code for u in (
                "/v1/shift/outliers", "/v1/shift/outliers?model=alpha&limit=x", "/v1/shift/outliers?model=nope")]
            assert codes == [400, 400, 404]
            return doc, (await client.get(outliers, headers=key)).json()

    try:
        doc, flagged = asyncio.run(scenario())
    finally:
        c.close()
        assert stop_worker(handler)
    assert doc["ready"] and doc["live_counts"] == {"alpha": {"text": 4, "image": 0}}
    assert doc["intake"]["collected"] == 2 and doc["intake"]["no_recipe"] == 1
    assert [(r["model"], r["modality"], r["n_live"]) for r in doc["report"]["rows"]][:1] == [("alpha", "text", 4)]
    # 4 live embeddings are below the report's minimum: the row is there, with nothing flagged
    assert {k: flagged[k] for k in ("model", "modality", "verdict", "ood", "outliers")} == {
        "model": "alpha", "modality": "text", "verdict": "n/a", "ood": None, "outliers": []}
    c.pusher.push()
    text = generate_latest(REGISTRY).decode()
    assert 'olvane_shift_embeddings_total{modality="text",model="alpha"} 4.0' in text
    assert 'olvane_shift_requests_total{outcome="no_recipe"}' in text
    assert not [r for r in caplog.records if "no API key guards" in r.getMessage()]


def test_logging_console_on_the_module(mod, handler, monkeypatch, caplog):
    """Drop lines of a 1000-message request against a full queue become three
    ERROR records and one summary with the count; errors keep their traceback."""
    import logging
    import threading
    import types

    from olvane_sdk.fast.deployment.ood.host import install_logging_console

    for name in ("print", "traceback"):
        monkeypatch.setattr(mod, name, getattr(mod, name))
    clock = Clock()
    console = install_logging_console(mod, interval=10, burst=3, clock=clock)
    release = threading.Event()
    handler.embedding_thread = threading.Thread(target=release.wait, daemon=True)  # a "live worker"
    handler.embedding_thread.start()
    for _ in range(16):
        handler.live_messages_queue.put_nowait({})
    caplog.set_level(logging.DEBUG, logger="olvane_sdk")
    try:
        handler.handle_chat_completion_request(types.SimpleNamespace(model="m", messages=[{} for _ in range(1000)]))
        clock.t += 11
        assert console.flush() == 1
        handler.handle_chat_completion_request(types.SimpleNamespace(model="m", messages=[None]))
    finally:
        release.set()
    records = [(r.levelno, r.getMessage()) for r in caplog.records]
    drop = "Live messages queue is full. Dropping message."
    assert records[:3] == [(logging.ERROR, drop)] * 3
    assert records[3] == (logging.ERROR, "997 more lines like these in the last 11 s: Live messages queue is full …")
    assert records[4][1].startswith("Error handling chat completion request: ")
    assert caplog.records[5].exc_info is not None and len(records) == 6
    assert console.counts == {"queue_full": 1000, "error": 1, "traceback": 1}


@pytest.mark.parametrize("pooled", [True, False])
def test_metrics_under_prometheus_multiproc_dir(tmp_path, pooled):
    """Two processes write their metrics to PROMETHEUS_MULTIPROC_DIR (as vLLM's
    API servers do); what vLLM's /metrics would serve sums the counters, keeps
    each process's health apart, and shows the deployment's report once when
    the processes pool their samples (the last one set), per process when not."""
    import os
    import subprocess
    import sys

    from prometheus_client import CollectorRegistry, generate_latest, multiprocess

    script = (
        "import sys; from olvane_sdk.fast.deployment.ood.middleware.metrics import get_metrics\n"
        "m = get_metrics(pooled=sys.argv[3] == '1'); m.requests.labels('collected').inc(3); m.ready.set(1)\n"
        "row = {'model': 'alpha', 'modality': 'text', 'n_live': 40, 'verdict': sys.argv[1],\n"
        "       'live': {'auc': float(sys.argv[2]), 'mmd2': 0.1, 'p_value': 0.002}, 'test': None}\n"
        "m.set_report({'rows': [row]}, 0.5, 1.0)\n")
    env = {**os.environ, "PROMETHEUS_MULTIPROC_DIR": str(tmp_path), "PYTHONPATH": os.pathsep.join(sys.path)}
    for verdict, auc in (("shift", "0.9"), ("ok", "0.5")):
        subprocess.run([sys.executable, "-c", script, verdict, auc, str(int(pooled))], env=env, check=True,
                       timeout=60)
    registry = CollectorRegistry()
    multiprocess.MultiProcessCollector(registry, path=str(tmp_path))
    lines = generate_latest(registry).decode().splitlines()
    assert 'olvane_shift_requests_total{outcome="collected"} 6.0' in lines
    aucs = sorted(ln.rsplit(" ", 1)[1] for ln in lines if ln.startswith("olvane_shift_auc{") and 'set="live"' in ln)
    verdicts = [ln for ln in lines if ln.startswith("olvane_shift_verdict{")]
    assert aucs == (["0.5"] if pooled else ["0.5", "0.9"])
    assert len(verdicts) == (1 if pooled else 2) and all(('pid="' in v) != pooled for v in verdicts)
    ready = [ln for ln in lines if ln.startswith("olvane_shift_ready{")]
    assert len(ready) == 2 and all('pid="' in r for r in ready)

