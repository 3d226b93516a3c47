"""Prometheus metrics of the shift collection, on vLLM's own ``/metrics``.

They are plain metric objects in prometheus_client's default registry, which
vLLM's ``/metrics`` serves. Under ``PROMETHEUS_MULTIPROC_DIR`` (vLLM sets it
for ``--api-server-count > 1``) only metric objects survive: counters are
summed over processes and every gauge is kept per live process ("liveall":
one series per ``pid``), because each process collects its own share of the
traffic and has its own report. Aggregate with ``max by`` / ``sum by``.
"""
from __future__ import annotations

import math
import threading
from typing import Any

from ..report.verdict import metric_value

_lock = threading.Lock()
_metrics: "Metrics | None" = None

class Metrics:
    def __init__(self, registry=None):
        from prometheus_client import REGISTRY, Counter, Gauge

        registry = REGISTRY if registry is None else registry
        row = ["model", "modality"]

        def gauge(name: str, doc: str, labels: list[str]):
            return Gauge(name, doc, labels, registry=registry, multiprocess_mode="liveall")

        self.requests = Counter("olvane_shift_requests", "Chat-completion requests seen by the shift "
                                "middleware, by outcome", ["outcome"], registry=registry)
        self.messages = Counter("olvane_shift_messages", "Messages of parsed requests, by outcome "
                                "(collected: handed to the handler)", ["outcome"], registry=registry)
        self.embeddings = Counter("olvane_shift_embeddings", "Live embeddings stored, by served model "
                                  "and modality", row, registry=registry)
        self.console_lines = Counter("olvane_shift_console_lines", "Console lines of the handler, by kind",
                                     ["kind"], registry=registry)
        self.store_errors = Counter("olvane_shift_store_errors", "Failed writes and reads of the sample store",
                                    registry=registry)
        self.ready = gauge("olvane_shift_ready", "1 when this process has loaded its recipes and collects", [])
        self.recipe_loaded = gauge("olvane_shift_recipe_loaded", "1 when the served model's recipe is loaded "
                                   "and its requests are collected; 0 while loading or when it failed", ["model"])
        self.auc = gauge("olvane_shift_auc", "Domain-classifier ROC AUC against train (0.5: no shift)",
                         row + ["set"])
        self.mmd2 = gauge("olvane_shift_mmd2", "Unbiased squared MMD against train", row + ["set"])
        self.p_value = gauge("olvane_shift_p_value", "Permutation-test p-value of the MMD against train",
                             row + ["set"])
        self.verdict = gauge("olvane_shift_verdict", "Shift verdict of the live set: 0 ok, 1 drift (formerly "
                             "weak), 1.5 novel, 2 shift, -1 not enough data", row)
        self.ood_share = gauge("olvane_shift_ood_share", "Share of live messages out of the recipe's distribution "
                               "(kind=live) and the bound normal traffic stays under (kind=bound)", row + ["kind"])
        self.live = gauge("olvane_shift_live_embeddings", "Live embeddings in this process's store", row)
        self.report_seconds = gauge("olvane_shift_report_seconds", "Time the last shift report took", [])
        self.report_timestamp = gauge("olvane_shift_report_timestamp_seconds",
                                      "Unix time of the last shift report", [])

    def set_report(self, report: dict[str, Any], seconds: float, timestamp: float) -> None:
        for r in report.get("rows", []):
            labels = (r["model"], r["modality"])
            self.live.labels(*labels).set(r["n_live"])
            self.verdict.labels(*labels).set(metric_value(r["verdict"]))
            ood = r.get("ood") or {}
            for kind, key in (("live", "share"), ("bound", "bound")):
                v = ood.get(key)
                self.ood_share.labels(*labels, kind).set(math.nan if v is None else float(v))
            for s in ("live", "test"):
                c = r.get(s)
                for g, key in ((self.auc, "auc"), (self.mmd2, "mmd2"), (self.p_value, "p_value")):
                    v = None if c is None else c.get(key)
                    g.labels(*labels, s).set(math.nan if v is None else float(v))
        self.report_seconds.set(seconds)
        self.report_timestamp.set(timestamp)


def get_metrics() -> Metrics | None:
    """The process's metrics (created once), or None without prometheus_client."""
    global _metrics
    with _lock:
        if _metrics is None:
            try:
                _metrics = Metrics()
            except ImportError:
                return None
        return _metrics
