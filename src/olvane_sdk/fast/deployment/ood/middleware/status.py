"""The collector's report: the cached shift report and its outliers, the
refresh that one caller computes and the others share, and the
``GET /v1/shift`` answer."""
from __future__ import annotations

import logging
import math
import threading
import time
from dataclasses import asdict
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from .config import ShiftConfig
    from .metrics import Metrics
    from .shared_report import SharedReport

log = logging.getLogger(__name__)

# A ?refresh=true within this many seconds of the last one it triggered
# returns that report: a report costs 0.35-1 s of CPU per model and modality,
# and any caller with the API key can ask for one.
REFRESH_MIN_SECONDS = 5.0


class ReportKeeper:
    """Keeps the last shift report and its outliers: this process's own, or
    the deployment's through ``pool`` (a :class:`.shared_report.SharedReport`)
    when the processes share a sample store.

    ``embeddings`` is the live count per (model, modality), the cache key: a
    report is recomputed only when it changed (or the pool may have new
    samples). ``metrics``, when set, gets every new report."""

    def __init__(self, ready: threading.Event, embeddings: dict[tuple[str, str], int]):
        self.ready = ready
        self.embeddings = embeddings
        self.metrics: Metrics | None = None
        self.handler: Any = None
        self.pool: SharedReport | None = None
        self.deployment = ""  # the metrics' deployment label
        self.report: dict | None = None
        self.outliers: dict | None = None  # model -> modality -> flagged live messages of the last report
        self.clusters: dict | None = None  # model -> modality -> their clusters
        self.report_seconds: float | None = None
        self.report_time: float | None = None
        self.report_error: str | None = None
        self.scope = "process"
        self._key: Any = None
        # One report at a time; callers that arrive meanwhile share it.
        self._cond = threading.Condition()
        self._busy = False
        self._runs = 0
        self._refreshed: float | None = None

    def open(self, handler: Any, pool: SharedReport | None, deployment: str) -> None:
        self.handler = handler
        self.pool = pool
        self.deployment = deployment

    def refresh(self, force: bool = False) -> bool:
        """Recomputes the shift report if the embeddings changed since the
        last one (or ``force``). Blocking: call it off the event loop. A
        forced call that finds a report being computed waits for that one
        and returns it instead of computing another."""
        if not self.ready.is_set():
            return False
        with self._cond:
            runs = self._runs
            while self._busy:
                self._cond.wait()
            if force and self._runs != runs:
                return True
            key = tuple(sorted(self.embeddings.items()))
            # With a store, other processes' samples change the window too.
            if not force and key == self._key and self.report is not None and self.pool is None:
                return False
            self._busy = True
        try:
            from ..report import shift_report

            t0 = time.perf_counter()
            pool = self.pool
            try:
                pooled = None if pool is None else pool.report(self.handler, force)
                if pool is not None and pooled is not None:
                    rep, when, seconds = pooled
                    self.scope = "deployment"
                    self.outliers, self.clusters = pool.outliers, pool.clusters
                else:
                    report = shift_report(self.handler)
                    rep = _json_safe(report.to_dict())
                    self.outliers = _json_safe(report.outliers())
                    self.clusters = _json_safe(report.clusters())
                    when, seconds, self.scope = time.time(), time.perf_counter() - t0, "process"
            except Exception as e:
                self.report_error = f"{type(e).__name__}: {e}"
                log.exception("olvane shift: the shift report failed")
                return False
            self.report_seconds = seconds
            self.report, self.report_time, self._key = rep, when, key
            self.report_error = None
            if self.metrics is not None:
                self.metrics.set_report(rep, self.report_seconds, self.report_time, self.deployment,
                                        None if pooled is None else pool.extra.get("window"))
            return True
        finally:
            with self._cond:
                self._busy = False
                self._runs += 1
                self._cond.notify_all()

    def refresh_on_request(self) -> None:
        """``GET /v1/shift?refresh=true``: a new report, unless this route
        made one less than :data:`REFRESH_MIN_SECONDS` ago (then that one
        stands) or one is being computed (then it is shared)."""
        last = self._refreshed
        if last is not None and time.monotonic() - last < REFRESH_MIN_SECONDS:
            return
        self.refresh(True)
        self._refreshed = time.monotonic()

    def outlier_status(self, model: str, modality: str, limit: int, excerpts: bool = False) -> dict | None:
        """``GET /v1/shift/outliers``: the last report's flagged live messages
        of one served model and modality and their clusters, or None without
        such a row. Excerpts only with ``excerpts`` (the server has an API key)."""
        rows = (self.report or {}).get("rows") or []
        row = next((r for r in rows if r.get("model") == model and r.get("modality") == modality), None)
        if row is None:
            return None
        flagged = ((self.outliers or {}).get(model) or {}).get(modality) or []
        clusters = ((self.clusters or {}).get(model) or {}).get(modality) or []
        if not excerpts:
            flagged = [_without_excerpt(o) for o in flagged]
            clusters = [{**c, "examples": [_without_excerpt(e) for e in c.get("examples") or []]} for c in clusters]
        return {"model": model, "modality": modality, "scope": self.scope, "report_time": self.report_time,
                "verdict": row.get("verdict"), "ood": row.get("ood"), "outliers": flagged[:limit],
                "clusters": clusters}

    def status(self, config: ShiftConfig | None) -> dict:
        """The report's part of ``GET /v1/shift``, with the configuration in force."""
        pool = self.pool
        return {
            "report": self.report,
            "report_seconds": self.report_seconds,
            "report_time": self.report_time,
            "report_error": self.report_error,
            # Recipe names only: their paths are the server's business.
            "config": None if config is None else {**asdict(config), "recipes": sorted(config.recipes),
                                                   # the URL may carry a password
                                                   "store": None if pool is None else pool.store.description},
            **({"scope": "process", "report_age": None if self.report_time is None else
                time.time() - self.report_time} if pool is None else pool.status(self.report_time, self.scope)),
        }


def _without_excerpt(item: dict) -> dict:
    return {k: v for k, v in item.items() if k != "excerpt"}


def _json_safe(value):
    """``value`` with NaN and infinities as None (JSON has no NaN; the route's
    encoder refuses them)."""
    if isinstance(value, float):
        return value if math.isfinite(value) else None
    if isinstance(value, dict):
        return {k: _json_safe(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [_json_safe(v) for v in value]
    return value
