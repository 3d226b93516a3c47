"""What vLLM's chat route serves is collected however the body is spelled,
and the budget charges a request by what its messages can cost."""
from __future__ import annotations

import asyncio
import base64
import io
import json
import queue

import pytest
from support import wait_until

httpx = pytest.importorskip("httpx")
pytest.importorskip("vllm.entrypoints.openai.api_server")

from olvane_sdk.fast.deployment.ood import demo as dh  # noqa: E402
from olvane_sdk.fast.deployment.ood.demo import models as local_models  # noqa: E402
from olvane_sdk.fast.deployment.ood.middleware import ShiftCollector, ShiftConfig, ShiftDetectionMiddleware  # noqa: E402
import tiny_models  # noqa: E402


def nested(depth: int) -> str:
    return '{"a": ' * depth + "1" + "}" * depth


def test_bodies_vllm_serves_are_collected(tmp_path):
    """However the body is spelled, and charged by its parse's measured CPU:
    6 MiB of an unknown field vLLM ignores are skipped unread, and the same
    body with a NaN (which json.loads reads and the strict reading refuses)
    takes vLLM's route's path, whose dear parse the budget charges."""
    data = dh.make_demo_data(dh.find_data_dir(), seed=0, n_images=4)
    dh.build_demo_recipes(tmp_path, data, tiny_models.tiny_text_model_dir(tmp_path / "tiny-text"),
                          local_models.image_model_dir(), show_progress=False)
    head = '{"model": "alpha-chat", "messages": [{"role": "user", "content": '
    unknown = ",".join(["[]"] * (2 << 20))
    bodies = [b"\xef\xbb\xbf" + (head + '"a body behind a BOM"}]}').encode(),
              (head + '"a lone \\ud800 surrogate"}]}').encode(),
              *((head + f'"deep extra field"}}], "extra": {nested(d)}}}').encode() for d in (300, 900)),
              (head + f'"an unknown field"}}], "x": [{unknown}]}}').encode(),
              (head + f'"an unknown field with a NaN"}}], "x": [{unknown}, NaN]}}').encode()]
    srv = dh.VllmServer(["alpha-chat"], log_path=tmp_path / "server.log",
                        env={"OLVANE_SHIFT_RECIPES": str(tmp_path / "recipes"), "OLVANE_SHIFT_MAX_RATE": "0"})
    charges = []
    with srv, httpx.Client(trust_env=False, timeout=120) as http:
        assert srv.wait_ready(), srv.log_tail()
        for i, body in enumerate(bodies):
            before = srv.shift()["charged"]
            r = http.post(srv.url + "/v1/chat/completions", content=body,
                          headers={"Authorization": f"Bearer {srv.api_key}", "content-type": "application/json"})
            assert r.status_code == 200, r.text
            wait_until(lambda: srv.shift()["intake"]["collected"] == i + 1, 60, 0.1,
                       describe=lambda: f"{srv.shift()}\n{srv.log_tail()}")
            after = srv.shift()["charged"]
            charges.append({k: after[k] - before[k] for k in after})
        wait_until(lambda: srv.shift()["live_counts"].get("alpha-chat", {}).get("text", 0) >= len(bodies), 60, 0.1,
                   describe=lambda: f"{srv.shift()}\n{srv.log_tail()}")
        s = srv.shift()
    assert s["intake"]["collected"] == len(bodies) and s["intake"]["invalid"] == 0
    assert "does not parse here" not in srv.log_tail(100_000)
    # By the cost model, by hand: a text of c characters costs 0.0005 + 0.0045 + c * (0.00035 + 7e-6) s,
    # so "an unknown field" (16) 0.010712 s and "an unknown field with a NaN" (27) 0.014639 s; a unit
    # (an ordinary message) is 0.0005 + (0.0045 + 100 * 0.000357) + 0.002 + 36e-9 * 64 * 64 + 5e-9 * 16000
    # = 0.042927456 s. A request is charged max(1, (parse CPU + its messages) / unit).
    for charge, message_s in zip(charges[-2:], (0.010712, 0.014639)):
        assert charge["parse_cpu_s"] > 0
        assert charge["units"] == pytest.approx(max(1.0, (charge["parse_cpu_s"] + message_s) / 0.042927456), rel=1e-6)
    # json.loads of two million lists takes seconds, a unit is 43 ms; the strict scan skips them
    # many times cheaper (seven times even in the unoptimised sanitizer build).
    assert charges[-1]["units"] > 3 * charges[-2]["units"]


class Handler:
    def __init__(self):
        self.live_messages_queue = queue.Queue()
        self.vllm_to_embedding_model_map = {"m": {"text": "t", "image": "i"}}
        self.train_test_embeddings = {"m": {"text": {}, "image": {}}}  # a loaded recipe (an empty one failed)
        self.handed: list = []

    def add_embedding(self, *a):
        pass

    def handle_chat_completion_request(self, request):
        self.handed += request.messages


def test_expensive_messages_are_collected_less_not_charged_less():
    """20 s of traffic at 20 requests/s under the default budget: ordinary
    questions alone are collected at 3 messages/s; with every other request
    four images at the pixel budget, far fewer messages get through."""
    from PIL import Image

    buf = io.BytesIO()
    Image.new("RGB", (2048, 2048)).save(buf, format="PNG")
    image = {"type": "image_url", "image_url": {"url": "data:image/png;base64," + base64.b64encode(buf.getvalue()).decode()}}
    ordinary = json.dumps({"model": "m", "messages": [{"role": "user", "content": "How long does dough rest?"}]}).encode()
    dear = json.dumps({"model": "m", "messages": [{"role": "user", "content": [image] * 4}]}).encode()

    async def app(scope, receive, send):
        while (await receive()).get("more_body"):
            pass
        await send({"type": "http.response.start", "status": 200, "headers": []})
        await send({"type": "http.response.body", "body": b"{}"})

    def run(bodies) -> list:
        now = [0.0]
        h = Handler()
        c = ShiftCollector(ShiftConfig(store="off"), handler=h, init_models=False, metrics=False,
                           clock=lambda: now[0])
        assert c.ready.wait(60)
        mw = ShiftDetectionMiddleware(app, collector=c)

        async def traffic():
            for i in range(400):
                now[0] += 0.05
                inbox = [{"type": "http.request", "body": bodies[i % len(bodies)]}]
                await mw({"type": "http", "method": "POST", "path": "/v1/chat/completions", "headers": []},
                         lambda: asyncio.sleep(0, inbox.pop(0)), lambda m: asyncio.sleep(0))
                assert c.handover.drain()

        asyncio.run(traffic())
        c.close()
        return h.handed

    alone = run([ordinary])
    assert 60 <= len(alone) <= 63
    mixed = run([ordinary, dear])
    questions = sum(isinstance(m["content"], str) for m in mixed)
    assert 0 < questions < len(mixed) < 20
    # By the cost model, by hand: the 25-character question costs 0.0005 + 0.0045 + 25 * (0.00035 + 7e-6)
    # = 0.013925 s; the four images 0.0005 + 4 * (0.002 + 36e-9 * 2048 * 2048 + 5e-9 * their Base64 length)
    # = 0.0005 + 4 * (0.152994944 + 5e-9 * b64) s. The default budget is 0.13 of a core: 2.6 s in 20 s,
    # and the bucket may end in debt by about one dear request.
    b64 = len(image["image_url"]["url"]) - len("data:image/png;base64,")
    dear_s = 0.0005 + 4 * (0.152994944 + 5e-9 * b64)
    assert 0.013925 * questions + dear_s * (len(mixed) - questions) <= 2.6 + 2 * dear_s
