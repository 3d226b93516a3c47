"""The demo as its command runs it (vLLM's server in a child process, the
openai client, the report from /v1/shift), and the images it draws."""
from __future__ import annotations

import base64
import json
import os
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

pytest.importorskip("onnxruntime")
pytest.importorskip("openai")
pytest.importorskip("vllm.entrypoints.openai.api_server")

from olvane_sdk.fast.deployment.ood import demo as dh  # noqa: E402
from olvane_sdk.fast.deployment.ood.demo.models import default_cache_dir  # noqa: E402

SERVED = ["alpha-chat", "beta-chat"]


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
    """The main job as users run it, with the real models and vLLM's server,
    twice on one workdir: each run exits 0 after answering every request; the
    shifted model is flagged on both modalities, the in-distribution one on
    neither (an earlier run's samples are not pooled in); the samples live
    in the workdir, never in the user's state directory."""
    out_json = tmp_path / "demo.json"
    plot = tmp_path / "plot.png"
    home = tmp_path / "home"
    home.mkdir()
    src = Path(dh.__file__).resolve().parents[5]
    # A setting of the caller's reaches the server, and the demo says so.
    env = dict(os.environ, HF_HUB_OFFLINE="1", TRANSFORMERS_OFFLINE="1", OLVANE_SHIFT_ORT_SPINNING="0",
               HOME=str(home), OLVANE_MODEL_CACHE=str(default_cache_dir()),
               PYTHONPATH=os.pathsep.join([str(src), os.environ.get("PYTHONPATH", "")]))
    env.pop("XDG_STATE_HOME", None)
    env.pop("OLVANE_SHIFT_STORE", None)
    for _ in range(2):
        proc = subprocess.run([sys.executable, "-m", "olvane_sdk.fast.deployment.ood.demo", "--json", str(out_json),
                               "--plot", str(plot), "--workdir", str(tmp_path / "work")],
                              capture_output=True, text=True, timeout=280, env=env, cwd=tmp_path)
        assert proc.returncode == 0, proc.stderr[-3000:]
        check_demo_run(json.loads(out_json.read_text()), proc, plot)
    assert (tmp_path / "work" / "recipes" / "alpha-chat" / "data" / "distribution" / "test_config.json").is_file()
    assert (tmp_path / "work" / "samples").is_dir() and not (home / ".local" / "state" / "olvane-shift").exists()


def check_demo_run(res, proc, plot):
    assert res["drained"] and res["sent"] == res["answered"]
    assert res["sent"] == {"alpha-chat": 164, "beta-chat": 40} and res["streamed"] == 102
    assert res["intake"]["collected"] == 204 and res["intake"]["queue_full"] == 0
    # /metrics counts what /v1/shift counted.
    assert 'olvane_shift_requests_total{outcome="collected"} 204.0' in res["metrics"]
    for m, n in res["sent"].items():
        assert res["live_counts"][m] == {"text": n, "image": n}
    rows = {(r["model"], r["modality"]): r for r in res["report"]["rows"]}
    assert set(rows) == {(m, x) for m in SERVED for x in ("text", "image")}
    assert {k: r["verdict"] for k, r in rows.items()} == {
        ("alpha-chat", "text"): "novel", ("alpha-chat", "image"): "ok",
        ("beta-chat", "text"): "shift", ("beta-chat", "image"): "shift"}
    for modality in ("text", "image"):
        a, b = rows[("alpha-chat", modality)], rows[("beta-chat", modality)]
        assert b["live"]["auc"] > a["live"]["auc"] + 0.25
        assert b["live"]["p_value"] < 0.01 <= a["live"]["p_value"]
    # The newest cluster of the novel row is the billing group, with request ids and excerpts.
    top = res["clusters"]["alpha-chat/text"][0]
    assert {"refund", "invoice"} & set(top["terms"]) and top["size"] >= 15, top
    assert all(ex["request_id"].startswith("chatcmpl-") and ex["excerpt"] for ex in top["examples"])
    environment = proc.stdout.split("environment: ", 1)[1].split("serving on", 1)[0].replace("\n", "")
    assert "OLVANE_SHIFT_ORT_SPINNING=0" in environment and "OLVANE_SHIFT_MAX_RATE=0" in environment
    assert plot.read_bytes()[:4] == b"\x89PNG"
    out = proc.stdout.replace("\n", "")
    page = Path(res["page"])
    assert str(plot) in out and str(page) in out and 'data-cluster="0"' in page.read_text()
    assert "olvane-shift report --store" in out and "NOVEL" in proc.stdout and "SHIFT" in proc.stdout
    assert not [ln for ln in proc.stderr.splitlines() if "error" in ln.lower()], proc.stderr


@pytest.mark.parametrize("inherited", ["default", "ignored"])
def test_front_end_stops_on_sigint_whichever_thread_takes_it(inherited, tmp_path):
    """The multi-process front end's parent has native threads beside its
    main one; SIGINT handed to one of them stops the server all the same,
    also when the server starts with SIGINT ignored (a background job of a
    shell without job control)."""
    import ctypes
    import signal

    srv = dh.VllmServer(SERVED, env={"OLVANE_SHIFT_RECIPES": None}, middleware=None,
                        extra_args=["--api-server-count", "2"], log_path=tmp_path / "server.log")
    before = signal.signal(signal.SIGINT, signal.SIG_IGN if inherited == "ignored" else signal.SIG_DFL)
    try:
        srv.start()  # the child inherits SIGINT's disposition
    finally:
        signal.signal(signal.SIGINT, before)
    try:
        pid = srv.proc.pid
        others = sorted(int(t) for t in os.listdir(f"/proc/{pid}/task") if int(t) != pid)
        if not others:
            pytest.skip("the parent runs no thread beside its main one")
        assert ctypes.CDLL(None, use_errno=True).tgkill(pid, others[0], signal.SIGINT) == 0
        try:
            rc = srv.proc.wait(30)
        except subprocess.TimeoutExpired:
            rc = None
    finally:
        srv.stop()
    assert rc == 0, srv.log_tail()
