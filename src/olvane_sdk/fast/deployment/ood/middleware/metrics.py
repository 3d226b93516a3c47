"""Prometheus metrics of the shift collection, on vLLM's own ``/metrics``, and
the thread that pushes the collector's counts to them.

They are plain metric objects in prometheus_client's default registry, which
vLLM's ``/metrics`` serves. Under ``PROMETHEUS_MULTIPROC_DIR`` (vLLM sets it
for ``--api-server-count > 1``) only metric objects survive, and each gauge's
``multiprocess_mode`` says how the processes' values become one:

* counters are summed over processes (each counts what it saw);
* the report's gauges (verdict, AUC, MMD, p-value, window size, report time)
  use ``livemostrecent`` when the processes share a sample store: every
  process then serves the same deployment report (one computes it under the
  store's lease, the others read it), so the last value any live process set
  is the deployment's newest report, one series per served model and
  modality with no ``pid``. A max or sum over processes would be the same
  figure at best and mix an older report in at worst. With the store ``off``
  each process judges its own rings and its report is no one else's: they
  stay ``liveall`` (one series per ``pid``);
* ``olvane_shift_ready``, ``olvane_shift_recipe_loaded`` and the store's
  health (``olvane_shift_store_degraded``, ``olvane_shift_store_pending``)
  describe each process, not the report (one process without a recipe is a
  fault to see): ``liveall``.

The report's gauges and the store's carry ``deployment``: the sample store's
deployment name (the one :func:`deployment_of` gives), so that two
deployments serving the same model names never share a series.
"""
from __future__ import annotations

import logging
import math
import threading
from typing import Any

from ..report.verdict import metric_value

log = logging.getLogger(__name__)

_lock = threading.Lock()


def deployment_of(cfg, pool) -> str:
    """The ``deployment`` label: the pool's store's name, else the name the
    store would have (OLVANE_SHIFT_DEPLOYMENT or one derived from the recipes)."""
    if pool is not None:
        return pool.store.deployment
    if cfg is None:
        return ""
    from ..samples import deployment_name

    return deployment_name(cfg.recipes, cfg.deployment or None)

_metrics: "Metrics | None" = None


class Metrics:
    def __init__(self, registry=None, pooled: bool = True):
        from prometheus_client import REGISTRY, Counter, Gauge

        registry = REGISTRY if registry is None else registry
        row = ["model", "modality"]
        dep = ["deployment"]
        drow = dep + row

        def gauge(name: str, doc: str, labels: list[str], mode: str = "liveall"):
            return Gauge(name, doc, labels, registry=registry, multiprocess_mode=mode)

        def report_gauge(name: str, doc: str, labels: list[str]):
            return gauge(name, doc, labels, "livemostrecent" if pooled else "liveall")

        self.requests = Counter("olvane_shift_requests", "Chat-completion requests seen by the shift "
                                "middleware, by outcome", ["outcome"], registry=registry)
        self.messages = Counter("olvane_shift_messages", "Messages of parsed requests, by outcome "
                                "(collected: handed to the handler)", ["outcome"], registry=registry)
        self.embeddings = Counter("olvane_shift_embeddings", "Live embeddings stored, by served model "
                                  "and modality", row, registry=registry)
        self.no_recipe = Counter("olvane_shift_no_recipe_requests", "Chat-completion requests served for a model "
                                 "name with no loaded recipe, by that name (not collected)", ["model"],
                                 registry=registry)
        self.console_lines = Counter("olvane_shift_console_lines", "Console lines of the handler, by kind",
                                     ["kind"], registry=registry)
        self.store_errors = Counter("olvane_shift_store_errors", "Failed writes and reads of the sample store",
                                    registry=registry)
        self.store_resets = Counter("olvane_shift_store_resets", "Times this process found the sample store "
                                    "wiped (its layout marker gone, or the window far smaller than retention "
                                    "explains)", registry=registry)
        self.recipe_swaps = Counter("olvane_shift_recipe_swaps", "Times this process took a recipe's new reference "
                                    "while serving (an adoption, a rollback)", registry=registry)
        self.store_bad_items = Counter("olvane_shift_store_bad_items", "Items read back from the sample store "
                                       "(history rows, parts of the stored report) that failed their check and "
                                       "were left out", registry=registry)
        self.ready = gauge("olvane_shift_ready", "1 when this process has loaded its recipes and collects", [])
        self.recipe_loaded = gauge("olvane_shift_recipe_loaded", "1 when the served model's recipe is loaded "
                                   "and its requests are collected; 0 while loading or when it failed", ["model"])
        self.store_degraded = gauge("olvane_shift_store_degraded", "1 while this process's writes or reads "
                                    "of the sample store fail (from the first failure to the next success)", dep)
        self.store_pending = gauge("olvane_shift_store_pending", "Records waiting in this process's memory "
                                   "for the sample store", dep)
        self.auc = report_gauge("olvane_shift_auc", "Domain-classifier ROC AUC against train (0.5: no shift)",
                                drow + ["set"])
        self.mmd2 = report_gauge("olvane_shift_mmd2", "Unbiased squared MMD against train", drow + ["set"])
        self.p_value = report_gauge("olvane_shift_p_value", "Permutation-test p-value of the MMD against train",
                                    drow + ["set"])
        self.verdict = report_gauge("olvane_shift_verdict", "Shift verdict of the live set: 0 ok, 1 drift, 1.5 novel, "
                                    "2 shift, -1 not enough data", drow)
        self.novel_alarm = report_gauge("olvane_shift_novel_alarm", "1 while the sequential detector of the "
                                        "window's flagged messages is past its threshold (months between false "
                                        "alarms at 3 messages/s), else 0", drow)
        self.ood_share = report_gauge("olvane_shift_ood_share", "Share of live messages out of the recipe's "
                                      "distribution (kind=live) and the bound normal traffic stays under (kind=bound)",
                                      drow + ["kind"])
        self.live = report_gauge("olvane_shift_live_embeddings", "Live embeddings in the report's window (the pooled "
                                 "window with a sample store, else this process's rings)", drow)
        self.window_oldest = report_gauge("olvane_shift_window_oldest_timestamp_seconds", "Unix time of the oldest "
                                          "sample in the report's pooled window", drow)
        self.window_newest = report_gauge("olvane_shift_window_newest_timestamp_seconds", "Unix time of the newest "
                                          "sample in the report's pooled window", drow)
        self.report_seconds = report_gauge("olvane_shift_report_seconds", "Time the last shift report took", dep)
        self.report_timestamp = report_gauge("olvane_shift_report_timestamp_seconds",
                                             "Unix time of the last shift report", dep)

    def set_report(self, report: dict[str, Any], seconds: float, timestamp: float, deployment: str = "",
                   window: dict | None = None) -> None:
        """The report's figures; ``window`` is the pooled window's summary
        (model -> modality -> {count, oldest, newest}), None for a process's
        own rings (which keep no sample times)."""
        for r in report.get("rows", []):
            labels = (deployment, r["model"], r["modality"])
            self.live.labels(*labels).set(r["n_live"])
            self.verdict.labels(*labels).set(metric_value(r["verdict"]))
            self.novel_alarm.labels(*labels).set(1 if r.get("alarm") else 0)
            ood = r.get("ood") or {}
            for kind, key in (("live", "share"), ("bound", "bound")):
                v = ood.get(key)
                self.ood_share.labels(*labels, kind).set(math.nan if v is None else float(v))
            for s in ("live", "test"):
                c = r.get(s)
                for g, key in ((self.auc, "auc"), (self.mmd2, "mmd2"), (self.p_value, "p_value")):
                    v = None if c is None else c.get(key)
                    g.labels(*labels, s).set(math.nan if v is None else float(v))
            if window is not None:
                span = (window.get(r["model"]) or {}).get(r["modality"]) or {}
                for g, key in ((self.window_oldest, "oldest"), (self.window_newest, "newest")):
                    v = span.get(key)
                    g.labels(*labels).set(math.nan if v is None else float(v))
        self.report_seconds.labels(deployment).set(seconds)
        self.report_timestamp.labels(deployment).set(timestamp)

    def set_store(self, deployment: str, status: dict[str, Any]) -> None:
        """The store's health from the feeder's ``status()``."""
        self.store_degraded.labels(deployment).set(0 if status.get("state") == "ok" else 1)
        self.store_pending.labels(deployment).set(status.get("pending") or 0)


def get_metrics(pooled: bool = True) -> Metrics | None:
    """The process's metrics (created once, by the first caller's ``pooled``:
    whether the report is the deployment's), or None without prometheus_client."""
    global _metrics
    with _lock:
        if _metrics is None:
            try:
                _metrics = Metrics(pooled=pooled)
            except ImportError:
                return None
        return _metrics


# Seconds between two pushes of the counts to Prometheus.
PUSH_SECONDS = 1.0


class MetricsPusher:
    """Adds the collector's plain-int counts to the Prometheus counters once a
    second, on a thread of its own (:meth:`run`), so that the request path
    never touches a metric object and the counts never wait on a report or on
    the recipes loading. It also flushes the console's held-back lines.

    ``intake`` is the :class:`.handover.Handover` (its ``counts()``),
    ``recipes`` the :class:`.loading.RecipeLoader` (embeddings, console,
    recipe states)."""

    def __init__(self, metrics: Metrics, intake: Any, recipes: Any, ready: threading.Event):
        self.metrics = metrics
        self.intake = intake
        self.recipes = recipes
        self.ready = ready
        self.pool: Any = None  # the shared report, once open: its store's state
        self._pushed: dict[Any, float] = {}

    def push(self) -> None:
        """Adds the counts since the last push. A series is created at its
        first push, at 0 if need be: every outcome from the start, every
        loaded recipe's models and modalities once loaded, so that absent
        means unknown."""
        m = self.metrics
        counts = self.intake.counts()
        messages = counts.pop("messages")
        unserved = self.intake.unserved_counts()
        current: dict[tuple[str, ...], int] = {("r", k): v for k, v in counts.items()}
        current.update({("m", k): v for k, v in messages.items()})
        current.update({("n", k): v for k, v in unserved.items()})
        current.update({("e",) + k: v for k, v in list(self.recipes.embeddings.items())})
        console = self.recipes.console
        if console is not None:
            current.update({("c", k): v for k, v in list(console.counts.items())})
        for key, v in current.items():
            last = self._pushed.get(key)
            if last is not None and v <= last:
                continue
            kind = key[0]
            if kind == "r":
                child = m.requests.labels(key[1])
            elif kind == "m":
                child = m.messages.labels(key[1])
            elif kind == "n":
                child = m.no_recipe.labels(key[1])
            elif kind == "e":
                child = m.embeddings.labels(key[1], key[2])
            else:
                child = m.console_lines.labels(key[1])
            if v > (last or 0):
                child.inc(v - (last or 0))
            self._pushed[key] = v
        for name, st in list(self.recipes.recipe_states.items()):
            m.recipe_loaded.labels(name).set(1 if st["state"] == "loaded" else 0)
        m.ready.set(1 if self.ready.is_set() else 0)
        pool = self.pool
        if pool is not None:
            m.set_store(pool.store.deployment, pool.feeder.status())
            bad, last = pool.bad_items, self._pushed.get(("bad",), 0)
            if bad > last:
                m.store_bad_items.inc(bad - last)
                self._pushed[("bad",)] = bad

    def run(self, stop: threading.Event) -> None:
        while True:
            try:
                self.push()
                if self.recipes.console is not None:
                    self.recipes.console.flush()
            except Exception:
                log.exception("olvane shift: metrics push failed")
            if stop.wait(PUSH_SECONDS):
                return
