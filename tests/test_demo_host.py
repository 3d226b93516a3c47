"""The demo host end to end: a real FastAPI/uvicorn endpoint on loopback, the
official openai client, vLLM's ChatCompletionRequest and the interceptor's
handler; and the whole demo as its command runs it."""
from __future__ import annotations

import base64
import json
import os
import subprocess
import sys
import threading
from pathlib import Path

import numpy as np
import pytest

pytest.importorskip("onnxruntime")
openai = pytest.importorskip("openai")
httpx = pytest.importorskip("httpx")
pytest.importorskip("vllm.entrypoints.openai.protocol")

from olvane_sdk.fast.deployment.ood import demo_host as dh  # noqa: E402
from olvane_sdk.fast.deployment.ood import local_models  # noqa: E402

SERVED = ["alpha-chat", "beta-chat"]


@pytest.fixture(scope="module")
def host(mod, tmp_path_factory):
    """A fresh handler configured from demo recipes (tiny text model, tiny
    image model) behind a running server; stopped (server and worker) at the end."""
    work = tmp_path_factory.mktemp("demo-host")
    text_model = local_models.tiny_text_model_dir(work / "tiny-text")
    image_model = local_models.image_model_dir()
    data = dh.make_demo_data(dh.find_data_dir(), seed=0, n_images=12)
    paths = dh.build_demo_recipes(work, data, text_model, image_model, show_progress=False)
    assert list(paths) == SERVED
    handler = mod.ShiftDetectionRequestHandler()
    handler.init_models(paths)
    server = dh.ServerThread(dh.create_app(handler, list(paths))).start()
    client = dh.openai_client(server.base_url, timeout=30)
    yield handler, server, client, data
    server.stop()
    with pytest.MonkeyPatch.context() as mp:  # the worker ends with SystemExit; keep it quiet
        mp.setattr(threading, "excepthook", lambda args: None)
        assert dh.stop_worker(handler, timeout=20)


def dims():
    return {"text": local_models.TINY_TEXT_MODEL_DIM, "image": local_models.IMAGE_MODEL_DIM}


def test_models_listed(host):
    _, _, client, _ = host
    assert [m.id for m in client.models.list().data] == SERVED


def test_requests_answered_and_embeddings_stored_per_model_and_modality(host):
    handler, _, client, data = host
    before = dh.live_counts(handler)
    traffic = {m: data.traffic[m][:5] for m in SERVED}
    res = dh.send_traffic(client, handler, traffic, batch=4, drain_timeout=60)
    assert res.sent == res.answered == {m: 5 for m in SERVED}
    assert res.drained
    after = dh.live_counts(handler)
    for m in SERVED:
        for modality in ("text", "image"):
            assert after[m][modality] - before.get(m, {}).get(modality, 0) == 5, (m, modality, after)
            ring = handler.live_embeddings[m][modality]["live"]
            assert all(isinstance(x, float) for x in ring[-1])
            assert len(ring[-1]) == dims()[modality]


def test_completion_is_openai_shaped(host):
    _, _, client, data = host
    text, png = data.traffic["alpha-chat"][0]
    out = client.chat.completions.create(
        model="alpha-chat",
        messages=[{"role": "system", "content": "You are terse."},
                  {"role": "user", "content": [
                      {"type": "text", "text": text},
                      {"type": "image_url", "image_url": {
                          "url": "data:image/png;base64," + base64.b64encode(png).decode()}}]}],
    )
    assert out.object == "chat.completion" and out.model == "alpha-chat"
    assert out.choices[0].message.role == "assistant" and out.choices[0].message.content
    assert out.choices[0].finish_reason == "stop"
    assert out.usage.total_tokens == out.usage.prompt_tokens + out.usage.completion_tokens


def test_string_content_and_several_messages_reach_the_store(host):
    handler, _, client, _ = host
    assert dh.wait_drained(handler, 30)
    before = dh.live_counts(handler)["beta-chat"]
    client.chat.completions.create(model="beta-chat", messages=[
        {"role": "system", "content": "Answer about gardens."},
        {"role": "user", "content": "When do I sow carrots?"},
        {"role": "assistant", "content": "In spring."},
    ])
    assert dh.wait_drained(handler, 30)
    after = dh.live_counts(handler)["beta-chat"]
    assert after["text"] - before["text"] == 3 and after["image"] == before["image"]


RAW_BAD = {
    "not json": (b"{this is not json", 400, "BadRequestError", "Invalid JSON"),
    "json array": (b"[1, 2]", 400, "BadRequestError", "must be a JSON object"),
    "no messages": (json.dumps({"model": "alpha-chat"}).encode(), 400, "BadRequestError", "messages"),
    "messages not a list": (json.dumps({"model": "alpha-chat", "messages": "hi"}).encode(), 400, "BadRequestError", "messages"),
    "unknown part type": (json.dumps({"model": "alpha-chat", "messages": [
        {"role": "user", "content": [{"type": "video", "video": 1}]}]}).encode(), 400, "BadRequestError",
        "messages[0].content"),
    "content a number": (json.dumps({"model": "alpha-chat", "messages": [{"role": "user", "content": 5}]}).encode(),
                         400, "BadRequestError", "messages.0"),
    "bad n": (json.dumps({"model": "alpha-chat", "n": "many", "messages": [
        {"role": "user", "content": "hi"}]}).encode(), 400, "BadRequestError", "valid integer"),
    "unknown model": (json.dumps({"model": "nope", "messages": [{"role": "user", "content": "hi"}]}).encode(),
                      404, "NotFoundError", "The model `nope` does not exist."),
    "stream": (json.dumps({"model": "alpha-chat", "stream": True, "messages": [
        {"role": "user", "content": "hi"}]}).encode(), 400, "BadRequestError", "stream"),
}


@pytest.mark.parametrize("case", sorted(RAW_BAD))
def test_malformed_body_gets_vllm_style_error_json(host, case):
    handler, server, client, _ = host
    body, status, err_type, fragment = RAW_BAD[case]
    assert dh.wait_drained(handler, 30)
    counts_before = dh.live_counts(handler)
    with httpx.Client(trust_env=False, timeout=30) as http:
        r = http.post(server.base_url + "/chat/completions", content=body,
                      headers={"content-type": "application/json"})
    assert r.status_code == status
    body = r.json()
    assert set(body) == {"error"}
    err = body["error"]
    assert set(err) == {"message", "type", "param", "code"}
    assert err["type"] == err_type and err["code"] == status and err["param"] is None
    assert fragment in err["message"]
    # Nothing reached the handler, and the server still answers.
    assert dh.wait_drained(handler, 30)
    assert dh.live_counts(handler) == counts_before
    assert client.chat.completions.create(model="alpha-chat", messages=[{"role": "user", "content": "ok?"}])


def test_openai_client_sees_bad_request_error(host):
    _, _, client, _ = host
    with pytest.raises(openai.BadRequestError) as ei:
        client.chat.completions.create(model="alpha-chat", messages=[{"role": "user", "content": "hi"}],
                                       extra_body={"n": "many"})
    assert ei.value.status_code == 400
    with pytest.raises(openai.NotFoundError):
        client.chat.completions.create(model="gamma-chat", messages=[{"role": "user", "content": "hi"}])


def test_stop_worker_ends_the_worker_after_queued_messages(mod, tmp_path, thread_errors):
    """stop_worker lets the queued messages through first, then ends the
    worker, and leaves the maps as they were."""
    text_model = local_models.tiny_text_model_dir(tmp_path / "tiny")
    from olvane_sdk.fast.deployment.ood.recipes import build_recipe

    build_recipe(tmp_path / "r", text_model=text_model, texts=["one text", "two texts", "three"],
                 show_progress=False)
    handler = mod.ShiftDetectionRequestHandler()
    handler.init_models({"m": str(tmp_path / "r")})
    maps = (handler.embedding_models, handler.vllm_to_embedding_model_map)
    for i in range(5):
        handler.add_live_message({"model": "m", "content": f"message {i}"})
    handler.start_live_embedding_worker()
    assert dh.stop_worker(handler, timeout=30)
    assert not handler.embedding_thread.is_alive()
    assert len(handler.live_embeddings["m"]["text"]["live"]) == 5
    assert (handler.embedding_models, handler.vllm_to_embedding_model_map) == maps
    assert handler.embedding_models is maps[0] and handler.vllm_to_embedding_model_map is maps[1]
    assert handler.live_messages_queue.unfinished_tasks == 0
    # The worker ended with the SystemExit (which the default hook ignores), nothing else.
    assert [type(e) for e in thread_errors] == [SystemExit]


@pytest.mark.parametrize("draw", [dh.draw_shapes, dh.draw_gradient])
def test_drawn_images_and_distortion(draw):
    from PIL import Image

    rng = np.random.default_rng(0)
    img = draw(rng)
    shifted = dh.distort(img, rng)
    assert img.size == shifted.size == (dh.IMAGE_SIZE, dh.IMAGE_SIZE)
    a, b = np.asarray(img, float), np.asarray(shifted, float)
    assert abs(a.mean() - b.mean()) > 10 or abs(a.std() - b.std()) > 10
    url = dh.data_url(img)
    assert url.startswith("data:image/png;base64,")
    back = Image.open(__import__("io").BytesIO(base64.b64decode(url.split(",", 1)[1])))
    assert np.array_equal(np.asarray(back), np.asarray(img))


def test_demo_command_end_to_end(tmp_path):
    """The main job as users run it, with the real models: exits 0 after
    answering every request; the shifted model is flagged on both modalities,
    the in-distribution one on neither."""
    out_json = tmp_path / "demo.json"
    plot = tmp_path / "plot.png"
    src = Path(dh.__file__).resolve().parents[4]
    env = dict(os.environ, HF_HUB_OFFLINE="1", TRANSFORMERS_OFFLINE="1",
               PYTHONPATH=os.pathsep.join([str(src), os.environ.get("PYTHONPATH", "")]))
    proc = subprocess.run([sys.executable, "-m", "olvane_sdk.fast.deployment.ood.demo_host", "--json", str(out_json),
                           "--plot", str(plot), "--workdir", str(tmp_path / "work"),
                           "--data-dir", str(Path(__file__).resolve().parents[1] / "examples" / "data")],
                          capture_output=True, text=True, timeout=280, env=env, cwd=tmp_path)
    assert proc.returncode == 0, proc.stderr[-3000:]
    res = json.loads(out_json.read_text())
    assert res["drained"] and res["sent"] == res["answered"]
    assert res["sent"] == {"alpha-chat": 24, "beta-chat": 40}
    for m, n in res["sent"].items():
        assert res["live_counts"][m] == {"text": n, "image": n}
    rows = {(r["model"], r["modality"]): r for r in res["report"]["rows"]}
    assert set(rows) == {(m, x) for m in SERVED for x in ("text", "image")}
    for modality in ("text", "image"):
        a, b = rows[("alpha-chat", modality)], rows[("beta-chat", modality)]
        assert a["verdict"] == "ok" and not a["shifted"]
        assert b["verdict"] == "shift" and b["shifted"]
        assert b["live"]["auc"] > a["live"]["auc"] + 0.25
        assert b["live"]["p_value"] < 0.01 <= a["live"]["p_value"]
    assert plot.read_bytes()[:4] == b"\x89PNG"
    assert str(plot) in proc.stdout.replace("\n", "")
    assert "SHIFT" in proc.stdout and "Distribution shift" in proc.stdout
    assert (tmp_path / "work" / "recipes" / "alpha-chat" / "data" / "distribution" / "test_config.json").is_file()
