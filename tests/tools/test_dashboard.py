"""The Grafana dashboard in deploy/grafana: a well-formed model whose queries
name our own metrics and parse as PromQL (through promtool, as Prometheus
itself would parse them)."""
from __future__ import annotations

import json
import os
import re
import shutil
import subprocess
from pathlib import Path

import pytest
from prometheus_client import CollectorRegistry

from olvane_sdk.fast.deployment.ood.middleware.metrics import Metrics

DASHBOARD = Path(__file__).resolve().parents[2] / "deploy" / "grafana" / "olvane-shift.json"
DS = {"type": "prometheus", "uid": "${DS_PROMETHEUS}"}
# Grafana's own variables, given values of the shape Grafana substitutes.
BUILTINS = {"__rate_interval": "2m", "__interval": "30s", "__range": "6h"}


def load():
    board = json.loads(DASHBOARD.read_text())
    variables = {v["name"]: v for v in board["templating"]["list"]}
    return board, variables


def queries(board, variables):
    """(label, PromQL) of every panel target and every query variable's selector."""
    for p in board["panels"]:
        for t in p["targets"]:
            yield f"{p['title']} / {t['refId']}", t["expr"]
    for v in variables.values():
        if v["type"] == "query":
            m = re.fullmatch(r"label_values\((.+),\s*\w+\)", v["query"]["query"])
            assert m, v["query"]
            yield f"variable {v['name']}", m.group(1)


def substitute(expr: str, variables) -> str:
    values = dict(BUILTINS, **{name: "some-value" for name in variables})

    def value(m: re.Match) -> str:
        assert m.group(1) in values, f"undefined variable ${m.group(1)} in {expr}"
        return values[m.group(1)]

    # $name, ${name} and ${name:format}
    return re.sub(r"\$\{?(\w+)(?::\w+)?\}?", value, expr)


def test_dashboard_model_and_metric_names():
    board, variables = load()
    assert isinstance(board["schemaVersion"], int) and board["uid"]
    assert {"job", "instance", "deployment", "model"} <= variables.keys()
    ds = variables["DS_PROMETHEUS"]
    assert (ds["type"], ds["query"]) == ("datasource", "prometheus")
    for v in (variables[n] for n in ("job", "instance", "deployment", "model")):
        assert v["type"] == "query" and v["datasource"] == DS, v["name"]

    registry = CollectorRegistry()
    Metrics(registry)
    known = {m.name + ("_total" if m.type == "counter" else "") for m in registry.collect()}
    used = set()
    for p in board["panels"]:
        assert p["datasource"] == DS and p["targets"], p["title"]
        for t in p["targets"]:
            assert t["datasource"] == DS and t["expr"].strip(), (p["title"], t["refId"])
        assert len({t["refId"] for t in p["targets"]}) == len(p["targets"]), p["title"]
    for _, expr in queries(board, variables):
        substitute(expr, variables)
        used |= set(re.findall(r"\bolvane_shift_\w+", expr))
    assert used - known == set()


def test_dashboard_promql_parses(tmp_path):
    if shutil.which("promtool") is None:
        if os.environ.get("CI") == "true":
            pytest.fail("promtool is not installed (Debian package 'prometheus'); CI must have it")
        pytest.skip("promtool is not installed (Debian package 'prometheus')")
    board, variables = load()
    rules = [{"record": f"dashboard:query_{i}", "expr": substitute(expr, variables)}
             for i, (_, expr) in enumerate(queries(board, variables))]
    names = [where for where, _ in queries(board, variables)]
    path = tmp_path / "dashboard-rules.yml"
    # JSON is YAML, and spares a YAML dependency.
    path.write_text(json.dumps({"groups": [{"name": "dashboard", "rules": rules}]}))
    run = subprocess.run(["promtool", "check", "rules", str(path)], capture_output=True, text=True)
    assert run.returncode == 0, run.stdout + run.stderr + "\nqueries by index: " + repr(names)
    assert f"SUCCESS: {len(rules)} rules found" in run.stdout, run.stdout
