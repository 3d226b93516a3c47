"""`olvane-shift report` against a server answering GET /v1/shift with a real
ShiftReport, plus a server that cannot be reached; bad input to every
command."""
from __future__ import annotations

import json
import os
import socket
import subprocess
import sys
import threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path
from types import SimpleNamespace

import numpy as np
import pytest

from olvane_sdk.fast.deployment.ood import cli
from olvane_sdk.fast.deployment.ood.report import shift_report

API_KEY = "sk-test"


def _shift_body() -> dict:
    """What the middleware serves: a report computed by report.py on collected
    embeddings, alpha in distribution and beta shifted."""
    rng = np.random.default_rng(0)
    ref = {m: {"text": {"train": rng.normal(size=(80, 8)), "test": rng.normal(size=(20, 8))}}
           for m in ("alpha-chat", "beta-chat")}
    live = {"alpha-chat": {"text": {"live": rng.normal(size=(40, 8)).tolist()}},
            "beta-chat": {"text": {"live": (rng.normal(size=(40, 8)) + 2.0).tolist()}}}
    handler = SimpleNamespace(train_test_embeddings=ref, live_embeddings=live, embedding_lock=threading.Lock())
    report = shift_report(handler, n_permutations=200)
    return {"ready": True, "live_counts": {m: {"text": 40, "image": 0} for m in live},
            "intake": {"collected": 80}, "report": report.to_dict(), "report_seconds": 0.1}


def _stand_in_server():
    from olvane_sdk.fast.deployment.ood.report.page import render_page

    doc = _shift_body()
    body, page = json.dumps(doc).encode(), render_page(doc["report"]).encode()

    class Handler(BaseHTTPRequestHandler):
        def do_GET(self):
            if self.headers.get("Authorization") != f"Bearer {API_KEY}":
                status, data = 401, json.dumps({"error": {"message": "Unauthorized", "code": 401}}).encode()
            else:
                status, data = {"/v1/shift": (200, body), "/v1/shift/ui": (200, page)}.get(self.path, (404, b"{}"))
            self.send_response(status)
            self.send_header("Content-Type", "application/json")
            self.end_headers()
            self.wfile.write(data)

        def log_message(self, *args):
            pass

    server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    yield f"http://127.0.0.1:{server.server_address[1]}", API_KEY
    server.shutdown()


def _demo_server(work):
    """vLLM's API server of the demo with the shift middleware, after the
    demo's traffic (alpha-chat in distribution, beta-chat shifted)."""
    from olvane_sdk.fast.deployment.ood import demo as dh
    from olvane_sdk.fast.deployment.ood.demo import models as local_models

    data = dh.make_demo_data(dh.find_data_dir(), seed=0, n_images=24)
    dh.build_demo_recipes(work, data, local_models.text_model_dir(), local_models.image_model_dir(),
                          show_progress=False)
    with dh.VllmServer(list(data.traffic), env={"OLVANE_SHIFT_RECIPES": str(work / "recipes"),
                                                "OLVANE_SHIFT_MAX_RATE": "0"}) as srv:
        assert srv.wait_ready(), srv.log_tail()
        assert dh.send_traffic(srv, srv.openai_client(), data.traffic).drained, srv.log_tail()
        srv.shift(refresh=True)
        yield srv.url, srv.api_key


@pytest.fixture(scope="module", params=["stand-in", "vllm-demo"])
def server(request, tmp_path_factory):
    yield from _stand_in_server() if request.param == "stand-in" else _demo_server(tmp_path_factory.mktemp("demo"))


def test_report_two_servers_one_unreachable(server, tmp_path, capsys):
    live, key = server
    with socket.socket() as s:  # a port nothing listens on
        s.bind(("127.0.0.1", 0))
        dead = f"http://127.0.0.1:{s.getsockname()[1]}"
    out_json = tmp_path / "shift.json"
    rc = cli.main(["report", "--url", live + "/", "--url", dead, "--api-key", key, "--json", str(out_json)])
    out = capsys.readouterr().out
    assert rc == 1, out
    rows = {ln.split("│")[2].strip(): ln for ln in out.splitlines() if "-chat" in ln and "│" in ln}
    assert live in rows["beta-chat"] and "SHIFT" in rows["beta-chat"] and "SHIFT" not in rows["alpha-chat"], out
    assert any(dead in ln and "unreachable" in ln and "refused" in ln.lower() for ln in out.splitlines()), out
    saved = json.loads(out_json.read_text())
    assert saved["any_shift"] is True and [s["url"] for s in saved["servers"]] == [live, dead]

    # The server's page saved as it serves it: a section per served model and modality.
    page = tmp_path / "shift.html"
    assert cli.main(["report", "--url", live, "--api-key", key, "--html", str(page)]) == 1
    assert all(f'id="{m}--text"' in page.read_text() for m in ("alpha-chat", "beta-chat"))

    # A wrong key: the server's 401 is shown, nothing says SHIFT, and a server could not be read.
    assert cli.main(["report", "--url", live, "--url", dead, "--api-key", "wrong"]) == 3
    assert f"{live}: HTTP 401" in capsys.readouterr().out


@pytest.mark.parametrize("argv, prog", [
    ([], "olvane-shift"),
    (["recipe"], "olvane-shift recipe"),
    (["recipe", "out", "--text-model", "/no/such/model", "--texts", "texts.txt"], "olvane-shift recipe"),
    (["demo", "--seed", "abc"], "olvane-shift demo"),
    (["demo", "--data-dir", "."], "olvane-shift demo"),
    (["report", "--url", "ftp://host"], "olvane-shift report"),
    (["report", "--store", "redis//127.0.0.1:16379/0", "--recipes", "a=/x"], "olvane-shift report"),
    (["report", "--store", "redis:/out", "--recipes", "a=/x"], "olvane-shift report"),
], ids=["no-command", "recipe-no-options", "recipe-bad-model", "demo-bad-seed", "demo-no-texts", "report-bad-url",
        "report-store-no-colon", "report-store-one-slash"])
def test_bad_input_is_one_line_and_exit_2(argv, prog, tmp_path):
    """As an operator runs the command: no usage dump, no wrapped error, no
    traceback, nothing on stdout."""
    (tmp_path / "texts.txt").write_text("one\ntwo\nthree\n")
    src = Path(cli.__file__).resolve().parents[5]
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(src), os.environ.get("PYTHONPATH", "")]),
               COLUMNS="60")
    proc = subprocess.run([sys.executable, "-m", cli.__name__, *argv], capture_output=True, text=True,
                          timeout=120, env=env, cwd=tmp_path)
    assert proc.returncode == 2, proc.stderr
    assert proc.stderr.startswith(f"{prog}: error: ") and proc.stderr.count("\n") == 1, proc.stderr
    assert proc.stdout == ""
    assert not (tmp_path / "out").exists() and not (tmp_path / "redis").exists() and not (tmp_path / "redis:").exists()


def test_report_store_reads_never_creates(tmp_path, capsys):
    """A path with no store is no empty store: exit 3, and nothing made there."""
    missing = tmp_path / "no-such-dir"
    assert cli.main(["report", "--store", str(missing), "--recipes", "a=/x"]) == 3
    assert f"no sample store at {missing}" in capsys.readouterr().out and not missing.exists()
