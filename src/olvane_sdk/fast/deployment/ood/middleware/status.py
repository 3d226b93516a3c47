"""What the collector tells: the cached shift report, the Prometheus push and
the ``GET /v1/shift`` answer."""
from __future__ import annotations

import logging
import math
import os
import threading
import time
from dataclasses import asdict
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from ..host import LoggingConsole
    from .config import ShiftConfig
    from .metrics import Metrics

log = logging.getLogger("olvane_sdk")

# A ?refresh=true within this many seconds of the last one it triggered
# returns that report: a report costs 0.35-1 s of CPU per model and modality,
# and any caller with the API key can ask for one.
REFRESH_MIN_SECONDS = 5.0


class StatusMixin:
    """The figures of :class:`.collector.ShiftCollector`, which sets these
    attributes up."""

    config: ShiftConfig | None
    handler: Any
    error: str | None
    ready: threading.Event
    console: LoggingConsole | None
    intake: dict[str, int]
    messages: dict[str, int]
    embeddings: dict[tuple[str, str], int]
    live_counts: dict[str, dict[str, int]]
    report: dict | None
    report_seconds: float | None
    report_time: float | None
    report_error: str | None
    _report_key: Any
    _report_cond: threading.Condition
    _report_busy: bool
    _report_runs: int
    _refreshed: float | None
    recipe_states: dict[str, dict[str, Any]]
    _lock: threading.Lock
    _metrics: Metrics | None
    _pushed: dict[Any, float]
    pool: Any
    scope: str

    def refresh_report(self, force: bool = False) -> bool:
        """Recomputes the shift report if the embeddings changed since the
        last one (or ``force``). Blocking: call it off the event loop. A
        forced call that finds a report being computed waits for that one
        and returns it instead of computing another."""
        if not self.ready.is_set():
            return False
        with self._report_cond:
            runs = self._report_runs
            while self._report_busy:
                self._report_cond.wait()
            if force and self._report_runs != runs:
                return True
            key = tuple(sorted(self.embeddings.items()))
            # With a store, other processes' samples change the window too.
            if not force and key == self._report_key and self.report is not None and self.pool is None:
                return False
            self._report_busy = True
        try:
            from ..report import shift_report

            t0 = time.perf_counter()
            try:
                pooled = None if self.pool is None else self.pool.report(self.handler, force)
                if pooled is not None:
                    rep, when, seconds = pooled
                    self.scope = "deployment"
                    self.outliers = self.pool.outliers
                else:
                    report = shift_report(self.handler)
                    rep = _json_safe(report.to_dict())
                    self.outliers = _json_safe(report.outliers())
                    when, seconds, self.scope = time.time(), time.perf_counter() - t0, "process"
            except Exception as e:
                self.report_error = f"{type(e).__name__}: {e}"
                log.exception("olvane shift: the shift report failed")
                return False
            self.report_seconds = seconds
            self.report, self.report_time, self._report_key = rep, when, key
            self.report_error = None
            if self._metrics is not None:
                from .metrics import deployment_of

                self._metrics.set_report(rep, self.report_seconds, self.report_time,
                                         deployment_of(self.config, self.pool),
                                         None if pooled is None else self.pool.extra.get("window"))
            return True
        finally:
            with self._report_cond:
                self._report_busy = False
                self._report_runs += 1
                self._report_cond.notify_all()

    def refresh_on_request(self) -> None:
        """``GET /v1/shift?refresh=true``: a new report, unless this route
        made one less than :data:`REFRESH_MIN_SECONDS` ago (then that one
        stands) or one is being computed (then it is shared)."""
        last = self._refreshed
        if last is not None and time.monotonic() - last < REFRESH_MIN_SECONDS:
            return
        self.refresh_report(True)
        self._refreshed = time.monotonic()

    def push_metrics(self) -> None:
        """Adds the counts since the last push to the Prometheus counters
        (counted in plain ints on the request path, pushed once a second on
        a thread of their own). A series is created at its first push, at 0
        if need be: every outcome from the start, every loaded recipe's
        models and modalities once loaded, so that absent means unknown."""
        m = self._metrics
        if m is None:
            return
        with self._lock:
            current: dict[tuple[str, ...], int] = {("r", k): v for k, v in self.intake.items()}
            current.update({("m", k): v for k, v in self.messages.items()})
        current.update({("e",) + k: v for k, v in list(self.embeddings.items())})
        if self.console is not None:
            current.update({("c", k): v for k, v in list(self.console.counts.items())})
        for key, v in current.items():
            last = self._pushed.get(key)
            if last is not None and v <= last:
                continue
            kind = key[0]
            if kind == "r":
                child = m.requests.labels(key[1])
            elif kind == "m":
                child = m.messages.labels(key[1])
            elif kind == "e":
                child = m.embeddings.labels(key[1], key[2])
            else:
                child = m.console_lines.labels(key[1])
            if v > (last or 0):
                child.inc(v - (last or 0))
            self._pushed[key] = v
        for name, st in list(self.recipe_states.items()):
            m.recipe_loaded.labels(name).set(1 if st["state"] == "loaded" else 0)
        m.ready.set(1 if self.ready.is_set() else 0)
        if self.pool is not None:
            m.set_store(self.pool.store.deployment, self.pool.feeder.status())

    # -- /v1/shift ------------------------------------------------------------
    def outlier_status(self, model: str, modality: str, limit: int) -> dict | None:
        """``GET /v1/shift/outliers``: the last report's flagged live messages
        of one served model and modality, or None without such a row."""
        rows = (self.report or {}).get("rows") or []
        row = next((r for r in rows if r.get("model") == model and r.get("modality") == modality), None)
        if row is None:
            return None
        flagged = ((self.outliers or {}).get(model) or {}).get(modality) or []
        return {"model": model, "modality": modality, "scope": self.scope, "report_time": self.report_time,
                "verdict": row.get("verdict"), "ood": row.get("ood"), "outliers": flagged[:limit]}

    def status(self) -> dict:
        with self._lock:
            intake: dict[str, Any] = dict(self.intake)
            intake["messages"] = dict(self.messages)
        cfg = self.config
        return {
            "ready": self.ready.is_set(),
            "pid": os.getpid(),
            "error": self.error,
            # Every configured recipe: loaded (modalities), failed (reason) or loading.
            "recipes": {k: dict(v) for k, v in sorted(self.recipe_states.items())},
            "live_counts": {m: dict(c) for m, c in list(self.live_counts.items()) if any(c.values())},
            "intake": intake,
            "report": self.report,
            "report_seconds": self.report_seconds,
            "report_time": self.report_time,
            "report_error": self.report_error,
            # Recipe names only: their paths are the server's business.
            "config": None if cfg is None else {**asdict(cfg), "recipes": sorted(cfg.recipes),
                                                # the URL may carry a password
                                                "store": None if self.pool is None else self.pool.store.description},
            **({"scope": "process", "report_age": None if self.report_time is None else
                time.time() - self.report_time} if self.pool is None else
               self.pool.status(self.report_time, self.scope)),
        }



def _json_safe(value):
    """The report with NaN and infinities as None (JSON has no NaN)."""
    if isinstance(value, float):
        return value if math.isfinite(value) else None
    if isinstance(value, dict):
        return {k: _json_safe(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [_json_safe(v) for v in value]
    return value
