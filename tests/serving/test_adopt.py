"""Adopting new traffic into a recipe from the sample store: every process
takes the new reference while serving, keeps its samples, and a rollback
brings the old verdict back; a recipe whose models changed asks for a restart."""
from __future__ import annotations

import json
import logging
import time

import numpy as np
import pytest

from olvane_sdk.fast.deployment.ood.cli import main as cli_main
from support import wait_until, write_recipe

E1 = np.eye(8)[0] * 4


def verdicts(collectors):
    return [c.reports.report["rows"][0]["verdict"] for c in collectors]


def one_report(collectors):
    """Both processes serve the deployment's one report (the same samples)."""
    snaps = [c.reports.snapshot for c in collectors]
    return all(s.scope == "deployment" for s in snaps) and len({s.time for s in snaps}) == 1


@pytest.fixture
def deployment(mod, fake_models, recipe_root, tmp_path):
    """Two processes' collectors on one directory store, a recipe of a cone
    around e1, ordinary traffic and a group on the far side."""
    from olvane_sdk.fast.deployment.ood.middleware import ShiftCollector, ShiftConfig

    rng = np.random.default_rng(3)
    known = lambda n: rng.standard_normal((n, 8)) + E1  # noqa: E731
    recipe = write_recipe(recipe_root, "alpha", train={"text_embeddings": known(1500),
                                                       "text_roles": np.array(["user"] * 1500)},
                          test={"text_embeddings": known(500)})
    cfg = ShiftConfig(recipes={"alpha": str(recipe)}, max_rate=0.0, report_interval=600, store=str(tmp_path / "pool"))
    collectors = [ShiftCollector(cfg, handler=mod.ShiftDetectionRequestHandler(), metrics=False) for _ in range(2)]
    try:
        for i, c in enumerate(collectors):
            assert c.ready.wait(60) and c.reports.pool is not None
            pool = c.reports.pool
            pool.holder = pool.feeder.origin = pool.health.holder = f"proc:{i}"
            h = c.loader.handler
            for v in known(300):
                h.add_embedding("alpha", "text", v.astype(np.float32))
            for v in rng.normal(0, 0.7, (30, 8)) - E1:
                h.add_embedding("alpha", "text", v.astype(np.float32))
            pool.feeder.run_once(force=True)
        yield collectors, recipe, tmp_path / "pool"
    finally:
        for c in collectors:
            c.close()


def test_adopt_a_cluster_then_roll_back(deployment, capsys, caplog):
    collectors, recipe, store = deployment
    holder, other = collectors
    assert holder.reports.refresh(True) and other.reports.follow()
    assert verdicts(collectors) == ["novel", "novel"]
    clusters = holder.reports.snapshot.clusters["alpha"]["text"]
    group = max(clusters, key=lambda c: c["size"])
    assert group["size"] >= 50
    base = ["--store", str(store), "--recipes", f"alpha={recipe}", "--model", "alpha"]

    assert cli_main(["adopt", *base, "--cluster", "999"]) == 2  # not a cluster of the current report
    assert "has no cluster 999" in capsys.readouterr().err
    assert cli_main(["adopt", *base, "--cluster", str(group["id"]), "--dry-run"]) == 0
    assert "NOVEL -> " in capsys.readouterr().out and not (recipe / "versions").exists()

    caplog.set_level(logging.INFO, logger="olvane_sdk")
    t0 = time.monotonic()
    assert cli_main(["adopt", *base, "--cluster", str(group["id"]), "--reason", "billing is ours now"]) == 0
    # Each process's background thread notices the new version and reports against it.
    wait_until(lambda: all(c.watch.swaps == 1 for c in collectors) and one_report(collectors) and
               "novel" not in verdicts(collectors), timeout=60, interval=0.2,
               describe=lambda: verdicts(collectors))
    took = time.monotonic() - t0
    docs = [c.status() for c in collectors]
    for d in docs:
        row = d["report"]["rows"][0]
        assert row["n_live"] == 660 and d["recipes"]["alpha"]["version"] == 2, d["recipes"]
        assert d["window"]["alpha"]["text"]["count"] == 660  # no sample set aside
    assert not [r for r in caplog.records if "set aside" in r.getMessage()]
    index = json.loads((recipe / "versions" / "index.json").read_text())
    assert index["versions"][-1]["reason"] == "billing is ours now" and index["versions"][-1]["clusters"] == [
        group["id"]]
    events = [r for r in holder.reports.history_rows("alpha", "text") if r.get("event")]
    assert [(e["event"], e["version"], e["reason"]) for e in events] == [("adopt", 2, "billing is ours now")]
    page = other.reports.page()  # the change is drawn on the verdict chart and listed
    assert page.count('class="event"') == 1 and "adopt: version 1 -&gt; 2 (+" in page, page[-3000:]
    print(f"adopt -> every process serving the new verdict: {took:.1f} s")

    assert cli_main(["adopt", *base, "--rollback"]) == 0
    wait_until(lambda: all(c.watch.swaps == 2 for c in collectors) and one_report(collectors) and
               verdicts(collectors) == ["novel", "novel"],
               timeout=60, interval=0.2, describe=lambda: verdicts(collectors))
    events = [r for r in other.reports.history_rows("alpha", "text") if r.get("event")]
    assert [(e["event"], e["version"]) for e in events] == [("adopt", 2), ("rollback", 1)]


def test_a_model_change_sets_samples_aside_and_asks_for_a_restart(deployment, caplog):
    collectors, recipe, _ = deployment
    holder = collectors[0]
    caplog.set_level(logging.INFO, logger="olvane_sdk")
    cfg_file = recipe / "data" / "distribution" / "test_config.json"
    cfg = json.loads(cfg_file.read_text())
    cfg["embeddings"]["text_model_name"] = "another-text-model"
    cfg_file.write_text(json.dumps(cfg))
    wait_until(lambda: "alpha" in holder.watch.restart_needed, timeout=30, interval=0.2)
    assert holder.status()["recipes"]["alpha"]["restart_needed"]
    assert [r for r in caplog.records if "restart the server" in r.getMessage()]
    # A process started on the changed recipe compares none of the samples embedded by the old models.
    from olvane_sdk.fast.deployment.ood.report.window import recipe_fingerprint, split_by_fingerprint
    from olvane_sdk.fast.deployment.ood.recipe_files.identity import model_identity

    window = holder.reports.pool.store.window()
    kept, aside = split_by_fingerprint(window, {"alpha": recipe_fingerprint(recipe)},
                                       {"alpha": model_identity(recipe)})
    assert not kept.records and aside == {"alpha": 660}


def test_adopt_in_vllm_app_with_two_processes(tmp_path, capsys):
    """Two vLLM API servers on one directory store, the demo's alpha-chat
    recipe and traffic with a group of billing questions: NOVEL; `olvane-shift
    adopt --url ... --cluster` of the group; both processes serve a verdict
    that is no longer NOVEL on the same samples, with no restart and no
    sample set aside; `--rollback` brings NOVEL back."""
    pytest.importorskip("vllm.entrypoints.openai.api_server")
    from olvane_sdk.fast.deployment.ood import demo as dh
    from olvane_sdk.fast.deployment.ood.demo import models as local_models
    from test_sample_store import text_window

    data = dh.make_demo_data(dh.find_data_dir(), seed=0, n_images=2, novel_share=0.12)
    dh.build_demo_recipes(tmp_path, data, local_models.text_model_dir(), local_models.image_model_dir(),
                          show_progress=False)
    store, recipes = tmp_path / "samples", tmp_path / "recipes"
    env = {"OLVANE_SHIFT_RECIPES": str(recipes), "OLVANE_SHIFT_STORE": str(store), "OLVANE_SHIFT_MAX_RATE": "0",
           "OLVANE_SHIFT_REPORT_INTERVAL": "3600", "OLVANE_SHIFT_DEPLOYMENT": None}

    def row(a):
        return next(r for r in a["report"]["rows"] if (r["model"], r["modality"]) == ("alpha-chat", "text"))

    def both(want, timeout=90):
        """Until both processes serve the deployment's one report and ``want`` holds for it."""
        answers = {}

        def done():
            answers.update(a=a.shift(), b=b.shift())
            return (answers["a"]["report_time"] == answers["b"]["report_time"]
                    and all(x["scope"] == "deployment" and want(x) for x in answers.values()))
        wait_until(done, timeout=timeout, interval=0.5, describe=lambda: {
            k: (x.get("report_time"), x.get("scope"), row(x)["verdict"] if x.get("report") else None,
                x["recipes"]["alpha-chat"].get("version")) for k, x in answers.items()})
        return answers

    texts = [(t, None) for t, _ in data.traffic["alpha-chat"]]
    a, b = (dh.VllmServer(["alpha-chat"], env=env, log_path=tmp_path / f"{n}.log") for n in "ab")
    with a, b:
        for srv, part in ((a, texts[0::2]), (b, texts[1::2])):
            assert srv.wait_ready(), srv.log_tail()
            assert dh.send_traffic(srv, srv.openai_client(), {"alpha-chat": part}).drained, srv.log_tail()
        wait_until(lambda: text_window(a.shift(refresh=True)) == len(texts), timeout=60, interval=1)
        both(lambda x: row(x)["verdict"] == "novel")
        doc = a.get("/v1/shift/outliers", params={"model": "alpha-chat"}).json()
        group = doc["clusters"][0]
        t0 = time.monotonic()
        assert cli_main(["adopt", "--url", a.url, "--api-key", a.api_key, "--recipes", str(recipes),
                         "--model", "alpha-chat", "--cluster", str(group["id"]),
                         "--reason", "billing questions are ours"]) == 0
        members = sum(o.get("cluster") == group["id"] for o in doc["outliers"])
        assert f"cluster {group['id']}: {members} stored samples" in capsys.readouterr().out
        after = both(lambda x: x["recipes"]["alpha-chat"].get("version") == 2 and row(x)["verdict"] != "novel")
        took = time.monotonic() - t0
        assert all(text_window(x) == len(texts) for x in after.values()), after  # no sample set aside
        print(f"adopt -> both processes serving the new verdict: {took:.1f} s ({row(after['a'])['verdict']})")
        assert cli_main(["adopt", "--store", str(store), "--recipes", str(recipes), "--model", "alpha-chat",
                         "--rollback"]) == 0
        both(lambda x: x["recipes"]["alpha-chat"].get("version") == 1 and row(x)["verdict"] == "novel")
        logs = [srv.log_tail(10**6) for srv in (a, b)]
    for log in logs:  # each process took both changes while serving
        assert log.count("the report compares with it from now on") == 2, log
        assert "set aside" not in log
