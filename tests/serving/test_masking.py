"""What an excerpt may keep: every secret of the labelled corpus masked
(whole, also where the excerpt's end cuts it), ordinary numbers kept; the
response id read from the top level only; the trace table bounded in bytes;
and the command line printing nothing that drives the terminal."""
from __future__ import annotations

import importlib.util
import json
import queue
import threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path

import numpy as np
import pytest
from test_cli import _shift_body

from olvane_sdk.fast.deployment.ood import cli
from olvane_sdk.fast.deployment.ood.samples.store import REQUEST_ID_KEY
from olvane_sdk.fast.deployment.ood.middleware.trace import TRACE_KEY, Tracer, excerpt_of, response_id

_spec = importlib.util.spec_from_file_location(
    "masking_corpus", Path(__file__).parents[2] / "benchmarks" / "masking_corpus.py")
corpus = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(corpus)
SECRETS = corpus.secrets()


@pytest.mark.parametrize("category", sorted(corpus.CATEGORIES))
def test_every_secret_of_the_corpus_is_masked(category):
    cases = [(t, spelling, s) for c, t, spelling, s in SECRETS if c == category]
    shown = {t: excerpt_of("query: " + t, 400, "query: ") for t, _, _ in cases}
    assert [shown[t] for t, _, s in cases if corpus.leaked(shown[t], s)] == []
    # Cut by the excerpt's end, a secret is still masked whole: it starts
    # just before the end, after ordinary words.
    for t, spelling, s in cases:
        for before in (3, 8):
            text = ("word " * 60)[:200 - before - 1] + " " + t[t.index(spelling):]
            assert not corpus.leaked(excerpt_of(text, 200), s), (text, excerpt_of(text, 200))


def test_ordinary_numbers_dates_and_prices_are_kept():
    assert [(t, excerpt_of(t, 400)) for t, kept in corpus.NEGATIVES
            if not all(k in excerpt_of(t, 400) for k in kept)] == []


@pytest.mark.parametrize("chunk, expected", [
    (b'{"id":"chatcmpl-abc123","object":"chat.completion","choices":[]}', "chatcmpl-abc123"),
    (b'data: {"id": "chatcmpl-7", "object": "chat.completion.chunk"}\n\n', "chatcmpl-7"),
    # A long client X-Request-Id: vLLM's id is chatcmpl-<it>, past any fixed window.
    (b'{"id":"chatcmpl-' + b"r" * 900 + b'","choices":[{"message":{"tool_calls":[{"id":"call_1"}]}}]}',
     "chatcmpl-" + "r" * 900),
    # A nested id first, the top-level one after it; an "id" inside a string.
    (b'{"choices":[{"message":{"tool_calls":[{"id":"call_9"}]}}],"id":"chatcmpl-top"}', "chatcmpl-top"),
    (b'{"object":"x \\"id\\":\\"fake\\" {[","id":"real"}', "real"),
    (b'{"choices":[{"id":"nested"}]}', None),
    (b'{"object":"cut in a str', None),
    (b'{"id":5,"x":{"id":"deep"}}', None),
])
def test_response_id_is_the_top_level_one(chunk, expected):
    assert response_id(chunk) == expected


def test_trace_table_is_bounded_in_bytes():
    class Handler:
        live_messages_queue: queue.Queue = queue.Queue()
        stored: list = []

        def add_embedding(self, model, modality, entry):
            self.stored.append(entry)

    h = Handler()
    tracer = Tracer(h)
    tracer.MAX_BYTES = 1 << 20
    tracer.install()
    for i in range(400):
        h.live_messages_queue.put({"role": "user", "content": "x", TRACE_KEY: (f"chatcmpl-{i}", None)})
        h.live_messages_queue.get()
        h.add_embedding("m", "text", np.ones(384, dtype=np.float32))
        h.live_messages_queue.task_done()
    assert 0 < tracer.table_bytes <= 1 << 20
    kept = [tracer.meta_of(e) for e in h.stored]
    first = next(i for i, m in enumerate(kept) if m is not None)
    # The newest are kept, as many as ~12 KB entries fit in 1 MiB; the oldest went first.
    assert 60 < 400 - first < 100 and all(m is not None for m in kept[first:])
    assert kept[-1][REQUEST_ID_KEY] == "chatcmpl-399" and tracer.table_bytes == 0


HOSTILE = "a\x1b]0;owned\x07b\x1b[2J\x9b31m\u202etxt.exe\u2066\r\nforged line"


@pytest.fixture
def hostile_server():
    doc = _shift_body()
    for r in doc["report"]["rows"]:
        r["model"] += HOSTILE
    outliers = {"model": "m" + HOSTILE, "modality": "text", "verdict": "shift" + HOSTILE,
                "outliers": [{"request_id": HOSTILE, "client_request_id": HOSTILE, "p_value": 0.001}],
                "clusters": [{"id": 1, "size": 3, "share": 0.1, "terms": [HOSTILE, "refund"],
                              "examples": [{"request_id": HOSTILE, "client_request_id": "c", "excerpt": HOSTILE}]}]}

    class Handler(BaseHTTPRequestHandler):
        def do_GET(self):
            data = json.dumps(outliers if self.path.startswith("/v1/shift/outliers") else doc).encode()
            self.send_response(200)
            self.send_header("Content-Type", "application/json")
            self.end_headers()
            self.wfile.write(data)

        def log_message(self, *args):
            pass

    server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    yield f"http://127.0.0.1:{server.server_address[1]}"
    server.shutdown()


@pytest.mark.parametrize("command", [["report"], ["outliers", "--model", "m"]])
def test_cli_prints_no_control_characters(hostile_server, command, capsys):
    rc = cli.main([*command, "--url", hostile_server, "--timeout", "10"] if command[0] == "outliers"
                  else [*command, "--url", hostile_server])
    out = capsys.readouterr().out
    assert rc == 1 and "owned" in out, out
    bad = sorted({hex(ord(c)) for c in out if c != "\n" and (ord(c) < 0x20 or 0x7F <= ord(c) < 0xA0
                                                            or c in "\u202e\u2066")})
    assert bad == [] and "\nforged line" not in out, (bad, out)
