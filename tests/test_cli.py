"""`olvane-shift report` against a server answering GET /v1/shift with a real
ShiftReport, plus a server that cannot be reached."""
from __future__ import annotations

import json
import socket
import threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
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


@pytest.fixture(scope="module")
def urls():
    body = json.dumps(_shift_body()).encode()

    class Handler(BaseHTTPRequestHandler):
        def do_GET(self):
            if self.headers.get("Authorization") != f"Bearer {API_KEY}":
                status, data = 401, json.dumps({"error": {"message": "Unauthorized", "code": 401}}).encode()
            else:
                status, data = (200, body) if self.path == "/v1/shift" else (404, b"{}")
            self.send_response(status)
            self.send_header("Content-Type", "application/json")
            self.end_headers()
            self.wfile.write(data)

        def log_message(self, *args):
            pass

    server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    with socket.socket() as s:  # a port nothing listens on
        s.bind(("127.0.0.1", 0))
        dead = f"http://127.0.0.1:{s.getsockname()[1]}"
    yield f"http://127.0.0.1:{server.server_address[1]}", dead
    server.shutdown()


@pytest.mark.parametrize("key, code, expected", [
    (API_KEY, 1, ["alpha-chat", "OK", "beta-chat", "SHIFT"]),
    ("wrong", 3, ["HTTP 401", "Unauthorized"]),
])
def test_report_two_servers_one_unreachable(urls, tmp_path, capsys, key, code, expected):
    live, dead = urls
    out_json = tmp_path / "shift.json"
    rc = cli.main(["report", "--url", live + "/", "--url", dead, "--api-key", key, "--json", str(out_json)])
    out = capsys.readouterr().out
    assert rc == code, out
    for text in expected:
        assert text in out
    lines = out.splitlines()
    if code == 1:
        rows = {ln.split("│")[2].strip(): ln for ln in lines if "-chat" in ln}
        assert "SHIFT" in rows["beta-chat"] and "SHIFT" not in rows["alpha-chat"] and live in rows["beta-chat"]
    assert any(dead in ln and "unreachable" in ln and "refused" in ln.lower() for ln in lines), out
    saved = json.loads(out_json.read_text())
    assert saved["any_shift"] is (code == 1) and [s["url"] for s in saved["servers"]] == [live, dead]
