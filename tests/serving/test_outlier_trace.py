"""From a novel group of messages to the requests behind it, in vLLM's real
app: request ids, masked excerpts, a cluster with the group's terms, the
outliers command, and no excerpt from a server without an API key (the
masking rules: test_masking.py)."""
from __future__ import annotations

import json
import subprocess
import sys

import pytest
from support import wait_until
from test_sample_store import redis_server  # noqa: F401 - a fixture

SECRETS = ("jane.doe@example.com", "4111 1111 1111 1111", "sk-proj4f9TqZ81xLmN2vB7")
GROUP = [
    "Refund the invoice {i} charged twice to my billing account, contact " + SECRETS[0],
    "The invoice {i} billing failed for card " + SECRETS[1] + ", please refund",
    "Billing portal rejects my invoice {i}; my API key is " + SECRETS[2] + " and I want a refund",
    "Why was invoice {i} billed again? Refund it to card " + SECRETS[1],
    "Cancel the billing plan and refund invoice {i}, reply to " + SECRETS[0],
    "Invoice {i} refund still pending on the billing page, token " + SECRETS[2],
]


@pytest.mark.parametrize("backend", ["directory", "redis"])
def test_excerpts_have_a_retention_of_their_own(backend, request, tmp_path):
    """Past OLVANE_SHIFT_EXCERPT_MAX_AGE a record is read without its
    excerpt (ids stay); the directory also drops it from the file."""
    import time

    import numpy as np

    from olvane_sdk.fast.deployment.ood.samples import Record, Retention, open_store

    url = request.getfixturevalue("redis_server").url if backend == "redis" else str(tmp_path / "store")
    store = open_store(url, "d", Retention(excerpt_max_age=3600))
    now, vec = time.time(), np.ones(4, dtype=np.float32)
    store.append([Record("m", "text", vec, now - 7200, "h:1", {"rid": "old", "x": "secret old text"})])
    store.append([Record("m", "text", vec, now, "h:1", {"rid": "new", "x": "fresh text"})])
    got = {r.meta["rid"]: r.meta.get("x") for r in store.window().records[("m", "text")]}
    assert got == {"old": None, "new": "fresh text"}
    store.enforce_retention(now)
    if backend == "directory":
        files = b"".join(p.read_bytes() for p in (tmp_path / "store").rglob("*.osb"))
        assert b"secret old text" not in files and b"fresh text" in files and b'"old"' in files
    store.close()


def test_novel_group_leads_to_its_requests(tmp_path):
    pytest.importorskip("vllm.entrypoints.openai.api_server")
    from olvane_sdk.fast.deployment.ood import demo as dh
    from olvane_sdk.fast.deployment.ood.demo import models
    from olvane_sdk.fast.deployment.ood.demo.data import find_data_dir, load_texts
    from olvane_sdk.fast.deployment.ood.recipes import build_recipe

    data = find_data_dir()
    reference = [t for name in ("cooking", "gardening", "travel") for t in load_texts(data, name)]
    recipe = tmp_path / "chat"
    build_recipe(recipe, text_model=models.text_model_dir(), texts=reference[::2] + reference[1::4],
                 show_progress=False)
    env = {"OLVANE_SHIFT_RECIPES": json.dumps({"chat": str(recipe)}), "OLVANE_SHIFT_MAX_RATE": "0",
           "OLVANE_SHIFT_REPORT_INTERVAL": "0", "OLVANE_SHIFT_STORE": str(tmp_path / "store"),
           "OLVANE_SHIFT_EXCERPTS": "on", "OLVANE_SHIFT_REPORT_TAIL": "0.1"}  # a wider tail: the recipe is small
    ordinary = reference[3::4][:16]
    sent: dict[str, str] = {}  # X-Request-Id -> the id vLLM answered with
    with dh.VllmServer(["chat"], env=env, log_path=tmp_path / "server.log") as srv:
        assert srv.wait_ready(), srv.log_tail()
        client = srv.openai_client()

        def embedded(k):
            # The handler's queue holds 16 messages: each request waits for the
            # one before it to be embedded, so a slow worker turns none away.
            wait_until(lambda: srv.shift()["live_counts"].get("chat", {}).get("text", 0) >= k, 120,
                       describe=lambda: f"{json.dumps(srv.shift())}\n{srv.log_tail()}")

        for k, text in enumerate(ordinary):
            client.chat.completions.create(model="chat", messages=[{"role": "user", "content": text}])
            embedded(k + 1)
        for i, template in enumerate(GROUP):
            cid = f"trace-{i}-{tmp_path.name[-6:]}"
            msg = [{"role": "user", "content": template.format(i=1000 + i)}]
            if i % 2:  # streamed: the id comes from the first event
                stream = client.chat.completions.create(model="chat", messages=msg, stream=True,
                                                        extra_headers={"X-Request-Id": cid})
                sent[cid] = next(iter(stream)).id
                for _ in stream:
                    pass
            else:
                sent[cid] = client.chat.completions.create(model="chat", messages=msg,
                                                           extra_headers={"X-Request-Id": cid}).id
            embedded(len(ordinary) + i + 1)
        srv.shift(refresh=True)
        doc = srv._http.get("/v1/shift/outliers", params={"model": "chat"}).json()
        printed = subprocess.run([sys.executable, "-m", "olvane_sdk.fast.deployment.ood.cli", "outliers", "--url",
                                  srv.url, "--model", "chat", "--api-key", srv.api_key], env=srv.env,
                                 capture_output=True, text=True, timeout=120)
    got = {o["client_request_id"]: o for o in doc["outliers"] if o.get("client_request_id") in sent}
    assert set(got) == set(sent), (sent, doc["outliers"])
    for cid, o in got.items():
        assert o["request_id"] == sent[cid]
        assert o["p_floor"] <= o["p_value"] <= o["q_value"] <= 1
        assert not any(s in o["excerpt"] for s in SECRETS), o["excerpt"]
    excerpts = " ".join(o["excerpt"] for o in got.values())
    assert all(tag in excerpts for tag in ("[email]", "[card]", "[key]")), excerpts
    ours = [c for c in doc["clusters"] if {e.get("client_request_id") for e in c["examples"]} & set(sent)]
    assert any({"invoice", "refund", "billing"} & set(c["terms"]) for c in ours), doc["clusters"]
    # Terms are words of the stored, masked excerpts: none of a secret's.
    stored = b"".join(p.read_bytes() for p in (tmp_path / "store").rglob("*.osb")).decode(errors="replace").lower()
    assert all(t in stored for c in doc["clusters"] for t in c.get("terms") or []), doc["clusters"]
    assert printed.returncode == 1, printed.stderr
    assert any(cid in printed.stdout for cid in sent) and "refund" in printed.stdout, printed.stdout

    # The same deployment behind a server without an API key: ids, never an
    # excerpt or a term. Its excerpts' age is short and it is idle: they
    # leave the batch files and the stored report too.
    files = lambda pattern: b"".join(p.read_bytes() for p in (tmp_path / "store").rglob(pattern))  # noqa: E731
    assert b'"x":' in files("*.osb") and b"refund" in files("report.json")
    with dh.VllmServer(["chat"], env={**env, "OLVANE_SHIFT_EXCERPT_MAX_AGE": "2s"}, api_key="",
                       log_path=tmp_path / "server2.log") as srv:
        assert srv.wait_ready(), srv.log_tail()
        # No new report: it serves the stored one, idle.
        wait_until(lambda: srv._http.get("/v1/shift/outliers", params={"model": "chat"}).status_code == 200, 60,
                   describe=srv.log_tail)
        bare = srv._http.get("/v1/shift/outliers", params={"model": "chat"}).json()
        page = srv._http.get("/v1/shift/ui").text
        wait_until(lambda: b'"x":' not in files("*.osb") and b"refund" not in files("report.json"), 60,
                   describe=lambda: f"{files('report.json')[:400]!r}\n{srv.log_tail()}")
    assert {o.get("client_request_id") for o in bare["outliers"]} >= set(sent), bare
    shown = json.dumps(bare) + page
    assert '"excerpt"' not in shown and '"terms"' not in shown and "terms:" not in page
    assert not [w for w in ("refund", "invoice", "billing") if w in shown.lower()], shown
