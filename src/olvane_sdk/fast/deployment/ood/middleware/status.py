"""The collector's report: the cached shift report and its outliers, the
refresh that one caller computes and the others share, and the
``GET /v1/shift`` answer."""
from __future__ import annotations

import logging
import threading
import time
from dataclasses import asdict
from typing import TYPE_CHECKING, Any

from ..report.model import json_safe as _json_safe
from ..samples.store import MemoryHistory, mask_url

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
        self.maps: dict | None = None  # model -> modality -> the page's map of the last report
        self.clusters: dict | None = None  # model -> modality -> their clusters
        self.report_seconds: float | None = None
        self.report_time: float | None = None
        self.report_error: str | None = None
        self.scope = "process"
        # The history of this process's own reports (the deployment's is in the store).
        self.history = MemoryHistory()
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
            from ..report.model import history_rows, outlier_answers
            from .shared_report import page_maps

            t0 = time.perf_counter()
            pool = self.pool
            try:
                pooled = None if pool is None else pool.report(self.handler, force)
                if pool is not None and pooled is not None:
                    rep, when, seconds = pooled
                    self.scope = "deployment"
                    self.outliers, self.maps, self.clusters = pool.outliers, pool.maps, pool.clusters
                else:
                    report = shift_report(self.handler)
                    rep = _json_safe(report.to_dict())
                    self.outliers = _json_safe(report.outliers())
                    self.maps = page_maps(report, self.outliers)
                    self.clusters = _json_safe(report.clusters())
                    when, seconds, self.scope = time.time(), time.perf_counter() - t0, "process"
                    self.history.append_history(history_rows(rep, outlier_answers(self.outliers, self.clusters)),
                                                when)
                    if pool is not None:
                        pool.use_own(rep)
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

    def follow(self) -> bool:
        """Takes the deployment's stored report when another process stored
        a newer one (its ``?refresh=true``, or this process just started):
        every process serves the newest. Blocking (a small store read)."""
        pool = self.pool
        if pool is None or not self.ready.is_set():
            return False
        with self._cond:
            if self._busy:
                return False
            self._busy = True
        try:
            got = pool.newer(self.report_time if self.scope == "deployment" else None)
            if got is None:
                return False
            rep, when, seconds = got
            self.scope, self.outliers, self.report_error = "deployment", pool.outliers, None
            self.report, self.report_time, self.report_seconds = rep, when, seconds
            if self.metrics is not None:
                self.metrics.set_report(rep, seconds, when, self.deployment, pool.extra.get("window"))
            return True
        finally:
            with self._cond:
                self._busy = False
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

    def history_rows(self, model: str, modality: str, since: float | None = None) -> list[dict]:
        """``GET /v1/shift/history``: the deployment's from the store, else
        (no store, or it fails) this process's own, oldest first."""
        if self.pool is not None:
            try:
                return self.pool.store.history(model, modality, since)
            except Exception as e:
                log.warning("olvane shift: report history from the store failed, this process's shown: %s", e)
        return self.history.history(model, modality, since)

    def page(self, title: str = "olvane shift", excerpts: bool = False) -> str:
        """``GET /v1/shift/ui``: the page of the last report, its history and
        the map of what it compared. Blocking (the history may be read from
        the store): call it off the event loop."""
        from ..report.page import render_page

        report, maps = self.report, self.maps
        rows = (report or {}).get("rows") or []
        outliers: dict[str, dict[str, dict]] = {}
        for r in rows:
            answer = self.outlier_status(r["model"], r["modality"], 1 << 30, excerpts=excerpts)
            if answer is not None:
                outliers.setdefault(r["model"], {})[r["modality"]] = answer
        history = {(r["model"], r["modality"]): self.history_rows(r["model"], r["modality"]) for r in rows}
        where = f"deployment {self.deployment}" if self.scope == "deployment" else "this process"
        when = "" if self.report_time is None else time.strftime(", computed %H:%M:%S UTC",
                                                                  time.gmtime(self.report_time))
        return render_page(report, history, maps, outliers, title=title, subtitle=f"report of {where}{when}")

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
                                                   "store": pool.store.description if pool is not None
                                                   else mask_url(config.store) if config.store else None},
            **({"scope": "process", "report_age": None if self.report_time is None else
                time.time() - self.report_time} if pool is None else pool.status(self.report_time, self.scope)),
        }


def _without_excerpt(item: dict) -> dict:
    return {k: v for k, v in item.items() if k != "excerpt"}
