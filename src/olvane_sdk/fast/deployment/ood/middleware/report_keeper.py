"""The report this process serves: one :class:`.ReportSnapshot`, this
process's own or the deployment's, replaced whole at each refresh; the
refresh that one caller computes and the others share; and the answers of
``GET /v1/shift``, ``/outliers``, ``/history`` and ``/ui``, each read from
one snapshot."""
from __future__ import annotations

import logging
import math
import os
import threading
import time
from dataclasses import asdict, replace
from typing import TYPE_CHECKING, Any, Callable

from ..report.snapshot import ReportSnapshot, alarm_states, build_snapshot
from ..samples.store import DEFAULT_EXCERPT_MAX_AGE, MemoryHistory, mask_url
from .shared_report import REFRESH_MIN_SECONDS

if TYPE_CHECKING:
    from .config import ShiftConfig
    from .metrics import Metrics
    from .shared_report import SharedReport

log = logging.getLogger(__name__)


class ReportKeeper:
    """Keeps the last report snapshot: this process's own, or the
    deployment's through ``pool`` (a :class:`.shared_report.SharedReport`)
    when the processes share a sample store.

    ``embeddings`` is the live count per (model, modality), the cache key: a
    report is recomputed only when it changed (or the pool may have new
    samples). ``metrics``, when set, gets every new report. No excerpt (nor
    terms made from one) older than ``excerpt_max_age`` seconds is served.
    ``clock`` (wall time) and ``monotonic`` are injected for tests."""

    def __init__(self, ready: threading.Event, embeddings: dict[tuple[str, str], int], *,
                 excerpt_max_age: float = DEFAULT_EXCERPT_MAX_AGE,
                 clock: Callable[[], float] = time.time, monotonic: Callable[[], float] = time.monotonic):
        self.ready = ready
        self.embeddings = embeddings
        self.excerpt_max_age = excerpt_max_age
        self.clock = clock
        self.monotonic = monotonic
        self.metrics: Metrics | None = None
        self.handler: Any = None
        self.pool: SharedReport | None = None
        self.deployment = ""  # the metrics' deployment label
        self.profiles: dict[str, Any] = {}  # served model -> its recipe's term profile
        self.fingerprints: dict[str, str] = {}
        #: What every route serves; replaced whole, never changed in place.
        self.snapshot: ReportSnapshot | None = None
        self.report_error: str | None = None
        # The history of this process's own reports (the deployment's is in the store).
        self.history = MemoryHistory()
        self._key: Any = None
        # One report at a time; callers that arrive meanwhile share it.
        self._cond = threading.Condition()
        self._busy = False
        self._runs = 0
        self._refreshed: float | None = None

    def open(self, handler: Any, pool: SharedReport | None, deployment: str,
             profiles: dict[str, Any] | None = None, fingerprints: dict[str, str] | None = None) -> None:
        self.handler = handler
        self.pool = pool
        self.deployment = deployment
        self.profiles = dict(profiles or {})
        self.fingerprints = dict(fingerprints or {})

    # What the last snapshot says (None before the first).
    @property
    def report(self) -> dict | None:
        return None if self.snapshot is None else self.snapshot.report

    @property
    def report_time(self) -> float | None:
        return None if self.snapshot is None else self.snapshot.time

    @property
    def scope(self) -> str:
        return "process" if self.snapshot is None else self.snapshot.scope

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
            if not force and key == self._key and self.snapshot is not None and self.pool is None:
                return False
            self._busy = True
        try:
            try:
                snap = self._take(force)
            except Exception as e:
                self.report_error = f"{type(e).__name__}: {e}"
                log.exception("olvane shift: the shift report failed")
                return False
            self._key = key
            self._swap(snap)
            return True
        finally:
            with self._cond:
                self._busy = False
                self._runs += 1
                self._cond.notify_all()

    def _take(self, force: bool) -> ReportSnapshot:
        """The deployment's snapshot when the pool gives one, else this process's own."""
        pool = self.pool
        pooled = None if pool is None else pool.report(force)
        if pooled is not None:
            return pooled
        from ..report import shift_report

        t0 = time.perf_counter()
        # The alarm goes on from where the last report's left it.
        report = shift_report(self.handler, sequential=alarm_states(self.snapshot))
        snap = build_snapshot(report, time=self.clock(), seconds=time.perf_counter() - t0,
                              profiles=self.profiles, fingerprints=self.fingerprints)
        if pool is not None:
            snap = replace(snap, extra=pool.own_extra(snap))
        self.history.append_history(snap.history, snap.time)
        return snap

    def _swap(self, snap: ReportSnapshot) -> None:
        with self._cond:
            self.snapshot = snap
        self.report_error = None
        if self.metrics is not None:
            self.metrics.set_report(snap.report, snap.seconds, snap.time, self.deployment,
                                    snap.extra.get("window") if self.pool is not None else None)

    def expire(self) -> bool:
        """Drops from the snapshot served (and, with a store, from the
        stored result it came from) the excerpts past their age, and the
        terms made from them. Called once a second: nothing is kept past
        the age for want of a new report. True when something went."""
        snap = self.snapshot
        if snap is None:
            return False
        fresh = snap.without_excerpts(self.clock() - self.excerpt_max_age)
        if fresh is snap:
            return False
        with self._cond:
            if self.snapshot is snap:  # not over a new report swapped in meanwhile
                self.snapshot = fresh
        if self.pool is not None and snap.scope == "deployment":
            self.pool.restore(fresh)
        return True

    def follow(self) -> bool:
        """Takes the deployment's stored snapshot when another process stored
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
            known = self.snapshot.time if self.snapshot is not None and self.snapshot.scope == "deployment" else None
            snap = pool.newer(known)
            if snap is None:
                return False
            self._swap(snap)
            return True
        finally:
            with self._cond:
                self._busy = False
                self._cond.notify_all()

    def note_version(self, model: str, event: dict[str, Any], modalities: list[str]) -> None:
        """The recipe of ``model`` changed while serving (an adoption, a
        rollback): ``event`` as a row in the history of each of its
        modalities, written once per deployment (the first process to notice
        takes a lease on it)."""
        rows = [{"model": model, "modality": m, **event} for m in modalities]
        pool = self.pool
        try:
            if pool is None:
                self.history.append_history(rows, self.clock())
            # A change is one version to another; a later change to the same version comes from
            # another (adoptions number their versions anew), so the pair names it for a day.
            elif pool.store.try_lease(f"event:{model}:{event.get('from_version')}:{event.get('version')}",
                                      pool.holder, 86400):
                pool.store.append_history(rows, self.clock())
        except Exception as e:  # the event is a note on the charts; the swap stands without it
            log.warning("olvane shift: the recipe change of %s could not be noted in the history: %s", model, e)

    def refresh_on_request(self) -> None:
        """``GET /v1/shift?refresh=true``: a new report, unless this route
        made one less than :data:`REFRESH_MIN_SECONDS` ago (then that one
        stands) or one is being computed (then it is shared)."""
        last = self._refreshed
        if last is not None and self.monotonic() - last < REFRESH_MIN_SECONDS:
            return
        self.refresh(True)
        self._refreshed = self.monotonic()

    def outlier_status(self, model: str, modality: str, limit: int, excerpts: bool = False,
                       snap: ReportSnapshot | None = None) -> dict | None:
        """``GET /v1/shift/outliers``: the snapshot's flagged live messages
        of one served model and modality and their clusters, or None without
        such a row, with the page's map of the row (``map``) and the answering
        process (``pid``). Excerpts, and the terms made from them, only with
        ``excerpts`` (the server keeps them and has an API key), and none
        past their age."""
        snap = snap or self.snapshot
        if snap is None:
            return None
        snap = snap.without_excerpts(self.clock() - self.excerpt_max_age if excerpts else math.inf)
        row = next((r for r in snap.rows if r.get("model") == model and r.get("modality") == modality), None)
        if row is None:
            return None
        flagged = (snap.outliers.get(model) or {}).get(modality) or []
        clusters = (snap.clusters.get(model) or {}).get(modality) or []
        return {"model": model, "modality": modality, "scope": snap.scope, "report_time": snap.time,
                "pid": os.getpid(), "verdict": row.get("verdict"), "ood": row.get("ood"),
                "outliers": flagged[:limit], "clusters": clusters,
                "map": ((snap.maps or {}).get(model) or {}).get(modality)}

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
        """``GET /v1/shift/ui``: the page of the snapshot, its history and
        the map of what it compared. Blocking (the history may be read from
        the store): call it off the event loop."""
        from ..report.page import page_of

        snap = self.snapshot
        rows = [] if snap is None else snap.rows
        outliers: dict[str, dict[str, dict]] = {}
        for r in rows:
            answer = self.outlier_status(r["model"], r["modality"], 1 << 30, excerpts=excerpts, snap=snap)
            if answer is not None:
                outliers.setdefault(r["model"], {})[r["modality"]] = answer
        history = {(r["model"], r["modality"]): self.history_rows(r["model"], r["modality"]) for r in rows}
        where = f"deployment {self.deployment}" if snap is not None and snap.scope == "deployment" else "this process"
        when = "" if snap is None else time.strftime(", computed %H:%M:%S UTC", time.gmtime(snap.time))
        return page_of(snap, history, excerpts=excerpts, answers=outliers, title=title,
                       subtitle=f"report of {where}{when}")

    def status(self, config: ShiftConfig | None) -> dict:
        """The report's part of ``GET /v1/shift``, with the configuration in force."""
        pool, snap = self.pool, self.snapshot
        return {
            "report": None if snap is None else snap.report,
            "report_seconds": None if snap is None else snap.seconds,
            "report_time": None if snap is None else snap.time,
            "report_error": self.report_error,
            # Recipe names only: their paths are the server's business.
            "config": None if config is None else {**asdict(config), "recipes": sorted(config.recipes),
                                                   # the URL may carry a password
                                                   "store": pool.store.description if pool is not None
                                                   else mask_url(config.store) if config.store else None},
            **({"scope": "process", "report_age": None if snap is None else self.clock() - snap.time}
               if pool is None else pool.status(snap)),
        }
