"""The integration in vLLM's own API server (run_server/build_app with a
stand-in engine), driven by the official openai client: what vLLM serves is
collected, what it rejects is not, /v1/shift sits behind --api-key and the
figures reach /metrics."""
from __future__ import annotations


import pytest
from support import wait_until

openai = pytest.importorskip("openai")
httpx = pytest.importorskip("httpx")
pytest.importorskip("vllm.entrypoints.openai.api_server")

from olvane_sdk.fast.deployment.ood import demo as dh  # noqa: E402
from olvane_sdk.fast.deployment.ood.demo import models as local_models  # noqa: E402
from olvane_sdk.fast.deployment.ood.demo.server import REPLY  # noqa: E402
import tiny_models  # noqa: E402

SERVED = ["alpha-chat", "beta-chat"]


@pytest.fixture(scope="module")
def server(tmp_path_factory):
    work = tmp_path_factory.mktemp("vllm-server")
    data = dh.make_demo_data(dh.find_data_dir(), seed=0, n_images=12)
    dh.build_demo_recipes(work, data, tiny_models.tiny_text_model_dir(work / "tiny-text"),
                          local_models.image_model_dir(), show_progress=False)
    srv = dh.VllmServer(SERVED, log_path=work / "server.log",
                        env={"OLVANE_SHIFT_RECIPES": str(work / "recipes"), "OLVANE_SHIFT_MAX_RATE": "0",
                             "OLVANE_SHIFT_REPORT_INTERVAL": "1"})
    with srv:
        assert srv.wait_ready(), srv.log_tail()
        yield srv, data
    assert srv.proc.returncode == 0, srv.log_tail()


def counts(srv) -> tuple[dict, dict]:
    s = srv.shift()
    return s["live_counts"], s["intake"]


def wait_text_count(srv, model: str, n: int, timeout: float = 60) -> dict:
    wait_until(lambda: counts(srv)[0].get(model, {}).get("text", 0) >= n, timeout, 0.1,
               describe=lambda: f"{model} never reached {n} text embeddings: {counts(srv)}\n{srv.log_tail()}")
    return counts(srv)[0]


def test_served_requests_are_collected_streaming_or_not(server):
    srv, data = server
    client = srv.openai_client()
    for i, (text, png) in enumerate(data.traffic["alpha-chat"][:8]):
        assert dh.chat(client, "alpha-chat", [dh.user_message(text, png)], stream=i % 2 == 1) == REPLY
    # String content, several turns: policy "new" hands over what follows the last assistant turn.
    out = client.chat.completions.create(model="beta-chat", messages=[
        {"role": "system", "content": "Answer about gardens."},
        {"role": "user", "content": "When do I sow carrots?"},
        {"role": "assistant", "content": "In spring."},
        {"role": "user", "content": "And beans?"}])
    assert out.choices[0].message.content == REPLY and out.choices[0].finish_reason == "stop"
    live = wait_text_count(srv, "alpha-chat", 8)
    live = wait_text_count(srv, "beta-chat", 1)
    assert live["alpha-chat"] == {"text": 8, "image": 8}
    assert live["beta-chat"]["text"] >= 1 and live["beta-chat"].get("image", 0) == 0


def test_rejected_requests_are_not_collected(server):
    srv, _ = server
    client = srv.openai_client()
    live0, intake0 = counts(srv)
    r = srv.get("/v1/chat/completions")  # wrong method: never collected
    assert r.status_code == 405
    with httpx.Client(trust_env=False, timeout=30) as http:
        url = srv.url + "/v1/chat/completions"
        bad = http.post(url, content=b"{not json", headers={"Authorization": f"Bearer {srv.api_key}",
                                                            "content-type": "application/json"})
        assert bad.status_code == 400 and set(bad.json()["error"]) == {"message", "type", "param", "code"}
    msg = [{"role": "user", "content": "hello"}]
    with pytest.raises(openai.BadRequestError):
        client.chat.completions.create(model="alpha-chat", messages=msg, extra_body={"n": "many"})
    with pytest.raises(openai.NotFoundError) as nf:
        client.chat.completions.create(model="gamma-chat", messages=msg)
    assert "gamma-chat" in str(nf.value)
    with pytest.raises(openai.AuthenticationError):
        client.with_options(api_key="wrong").chat.completions.create(model="alpha-chat", messages=msg)
    # A served request as a barrier: once it is stored, nothing else was.
    client.chat.completions.create(model="alpha-chat", messages=[{"role": "user", "content": "barrier"}])
    n0 = live0["alpha-chat"]["text"]
    wait_text_count(srv, "alpha-chat", n0 + 1)
    # The rejections are counted as their answers end, before the barrier was sent.
    wait_until(lambda: counts(srv)[1]["rejected_by_vllm"] > intake0["rejected_by_vllm"], 10, 0.1)
    live, intake = counts(srv)
    assert live["alpha-chat"]["text"] == n0 + 1 and live.get("beta-chat") == live0.get("beta-chat")
    assert intake["rejected_by_vllm"] > intake0["rejected_by_vllm"]
    assert intake["collected"] == intake0["collected"] + 1


def test_shift_route_behind_the_key_and_metrics(server):
    srv, _ = server
    with httpx.Client(trust_env=False, timeout=60) as http:
        assert http.get(srv.url + "/v1/shift").status_code == 401
        assert http.get(srv.url + "/v1/shift", headers={"Authorization": "Bearer wrong"}).status_code == 401
    s = {}

    def current():
        """A report of what is stored (a refresh within 5 s of the last returns the last)."""
        s.update(srv.shift(refresh=True))
        rows = {(r["model"], r["modality"]): r for r in (s.get("report") or {}).get("rows") or []}
        return rows.get(("alpha-chat", "text"), {}).get("n_live") == s["live_counts"]["alpha-chat"]["text"]
    wait_until(current, 30, 1, describe=lambda: s)
    assert s["ready"] is True and s["report_seconds"] > 0
    rows = {(r["model"], r["modality"]): r for r in s["report"]["rows"]}
    assert 0 <= rows[("alpha-chat", "image")]["live"]["auc"] <= 1  # 8 live images: enough for a comparison
    fragments = ('olvane_shift_auc{', 'set="live"', 'set="test"', "alpha-chat", "olvane_shift_messages",
                 "olvane_shift_embeddings", "olvane_shift_live_embeddings")
    # Counters reach /metrics with the next push (once a second, on their own thread).
    wait_until(lambda: all(f in "\n".join(srv.shift_metrics()) for f in fragments), 30, 0.5,
               describe=lambda: "\n".join(srv.shift_metrics()))
