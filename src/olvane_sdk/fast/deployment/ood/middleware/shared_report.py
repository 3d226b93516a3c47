"""The deployment's report: the collector's side of the sample store.

Every process feeds its rings to the store (``samples.StoreFeeder``). Each
report interval one process, the holder of the store's lease, computes the
report snapshot over the pooled window and stores it; the others read that
snapshot. So whichever process answers ``/v1/shift`` gives the same verdict,
outliers, clusters and page. Without a store, or while it fails, a process
falls back to its own rings (``scope``: ``process``) and says why
(``store.state``: ``degraded``).
"""
from __future__ import annotations

import json
import logging
import time
from typing import Any, Callable

from ..recipe_files.terms import load_terms
from ..report.snapshot import STORED_RESULT, ReportSnapshot, alarm_states, build_snapshot
from ..report.window import (WINDOW_LATEST, recipe_fingerprint, recipe_keys, report_from_window,
                             split_by_fingerprint)
from ..samples import Retention, SampleStore, StoreFeeder, deployment_name, mask_url, open_store, origin_name
from ..samples.feeder import retention_period
from .recipe_ledger import RecipeLedger
from .store_health import StoreHealth
from .trace import Tracer

log = logging.getLogger(__name__)

RESULT = STORED_RESULT
#: The stored report's time alone: what a process polls to follow the others.
STAMP = "report-time"
#: The lease a ``?refresh=true`` takes: one refresh per deployment per this many seconds.
REFRESH = "refresh"
#: A ``?refresh=true`` within this many seconds of the last one returns that
#: report: a report costs 0.35-1 s of CPU per model and modality, and any
#: caller with the API key can ask for one.
REFRESH_MIN_SECONDS = 5.0


class SharedReport:
    """The deployment's one report over the pooled samples: feeds this
    process's rings to the store, computes the snapshot under the store's
    lease or reads the one the lease holder stored.

    ``fingerprints`` (served model -> recipe fingerprint) go with every
    sample, and a report compares only samples of the recipes loaded now.
    ``on_reset`` is called once per wipe of the store this process notices.
    ``tracer`` (see .trace) gives each stored sample its request's ids and,
    when enabled, its excerpt; ``profiles`` are the recipes' term profiles.
    ``clock`` is the wall clock (tests step it)."""

    def __init__(self, store: SampleStore, handler, interval: float, on_error=None, on_reset=None,
                 fingerprints: dict[str, str] | None = None, *, tracer: Tracer | None = None,
                 profiles: dict[str, Any] | None = None, clock: Callable[[], float] = time.time,
                 model_ids: dict[str, str] | None = None):
        self.store = store
        self.handler = handler
        self.holder = origin_name()
        self.fingerprints = dict(fingerprints or {})
        self.model_ids = dict(model_ids or {})
        self.tracer = tracer
        self.profiles = profiles or {}  # served model -> its recipe's term profile
        self.clock = clock
        self.feeder = StoreFeeder(handler, store, origin=self.holder, on_error=on_error,
                                  fingerprints=self.fingerprints, model_ids=self.model_ids,
                                  retention_every=retention_period(store.retention.excerpt_max_age),
                                  meta_of=None if tracer is None else tracer.meta_of)
        self.interval = interval or 60.0
        self.ledger = RecipeLedger(store, self.fingerprints, clock, self.model_ids)
        self.health = StoreHealth(store, self.holder, on_reset, clock)
        #: Stored results this process could not read (another version's, damaged): ignored.
        self.bad_results = 0
        #: Parts of stored results that failed their check (dropped, the rest served).
        self.bad_parts = 0

    @classmethod
    def from_config(cls, cfg, handler, on_error=None, on_reset=None, *, profiles: dict[str, Any] | None = None,
                    fingerprints: dict[str, str] | None = None,
                    model_ids: dict[str, str] | None = None) -> SharedReport | None:
        """The shared report for ``cfg``, or None when OLVANE_SHIFT_STORE is ``off``
        or unusable (then the process reports on its own, with one error).
        ``profiles`` and ``fingerprints`` are read from the recipes unless given."""
        try:
            store = open_store(cfg.store, deployment_name(cfg.recipes, name=cfg.deployment or None),
                               Retention(excerpt_max_age=cfg.excerpt_max_age))
        except Exception as e:
            log.error("olvane shift: sample store disabled: %s", mask_url(str(e)))
            return None
        if store is None:
            return None
        if fingerprints is None:
            fingerprints = {m: recipe_fingerprint(p) for m, p in cfg.recipes.items()}
        if profiles is None:
            profiles = {m: load_terms(p) for m, p in cfg.recipes.items()}
        tracer = Tracer(handler, excerpts=cfg.excerpts, excerpt_chars=cfg.excerpt_chars)
        return cls(store, handler, cfg.report_interval, on_error, on_reset, fingerprints, tracer=tracer,
                   profiles=profiles, model_ids=model_ids)

    def start(self) -> None:
        if self.tracer is not None:
            try:
                self.tracer.install()
            except Exception as e:
                log.warning("olvane shift: stored samples carry no request ids: %s", e)
        self.feeder.start()

    def use_recipe(self, model: str, fingerprint: str, model_id: str) -> None:
        """The recipe of ``model`` has a new reference (same models): samples
        carry its fingerprint from now on and the report judges against it."""
        self.fingerprints[model] = fingerprint
        self.model_ids[model] = model_id
        self.feeder.use_recipe(model, fingerprint, model_id)

    def close(self) -> None:
        self.feeder.stop()
        self.store.close()

    def report(self, force: bool = False) -> ReportSnapshot | None:
        """The deployment's snapshot, computed here when this process holds
        the lease, else the stored one; None when the store cannot be used
        (the caller then reports on its own rings). ``force`` (a
        ``?refresh=true``) computes under the refresh lease instead: one
        refresh per deployment per :data:`REFRESH_MIN_SECONDS`, the others
        serve that one."""
        self.feeder.run_once(force=True)
        try:
            lease = (REFRESH, REFRESH_MIN_SECONDS) if force else (RESULT, self.interval * 0.9)
            if self.store.try_lease(lease[0], self.holder, lease[1]):
                return self._compute()
            self.health.check_reset(None)
            return self._stored()
        except Exception as e:
            self.feeder.note_failure(e, self.clock())
            return None

    def newer(self, known: float | None) -> ReportSnapshot | None:
        """The stored snapshot when it is newer than ``known`` (another
        process computed one), else None. Reads the stored time first: cheap
        enough to ask once a second."""
        if self.feeder.state != "ok":  # not while the store fails: each try would wait for its timeout
            return None
        try:
            stamp = self.store.get_result(STAMP)
            if stamp is None or (known is not None and float(stamp) <= known):
                return None
            return self._stored()
        except Exception:  # the feeder's next write reports a failing store
            return None

    def _stored(self) -> ReportSnapshot | None:
        """The stored snapshot when this version reads it and it judged the
        samples against the recipes loaded here; an unreadable one is
        counted, with one warning."""
        raw = self.store.get_result(RESULT)
        if raw is None:
            return None
        try:
            snap = ReportSnapshot.from_stored(json.loads(raw))
        except (ValueError, UnicodeDecodeError, RecursionError):
            snap = None
        if snap is None:
            self.bad_results += 1
            if self.bad_results == 1:
                log.warning("olvane shift: the stored report of %s is not one this version reads; "
                            "ignored (counted in store.bad_results)", self.store.description)
            return None
        if snap.bad_items:
            if not self.bad_parts:
                log.warning("olvane shift: the stored report of %s holds items this version does not read; "
                            "they are left out (counted in store.bad_items)", self.store.description)
            self.bad_parts += snap.bad_items
        if not self.ledger.mine(snap.fingerprints or snap.extra.get("recipes")):
            return None
        self.health.note_stored(snap.extra.get("stored"))
        return snap

    @property
    def bad_items(self) -> int:
        """Items read back from the store that failed their check: history rows and parts of stored results."""
        return self.bad_parts + self.store.bad_items

    def restore(self, snap: ReportSnapshot) -> bool:
        """Stores ``snap`` (the stored result, its old excerpts dropped) in
        place of the one it was read from, so that the store does not keep
        them either. Under the report lease, and only while that result is
        still the stored one: a newer report is never overwritten."""
        if self.feeder.state != "ok":
            return False
        try:
            if not self.store.try_lease(RESULT, self.holder, self.interval * 0.9):
                return False  # its holder drops them
            stamp = self.store.get_result(STAMP)
            if stamp is None or float(stamp) != snap.time:
                return False
            self.store.put_result(RESULT, json.dumps(snap.to_stored(), allow_nan=False).encode())
            return True
        except Exception as e:  # the feeder's next write reports a failing store
            log.debug("olvane shift: the stored report could not be stored again: %s", e)
            return False

    def own_extra(self, snap: ReportSnapshot) -> dict[str, Any]:
        """While the store fails: ``window`` and ``origins`` describing the
        samples the rows of ``snap`` (this process's own) use."""
        counts = {(r["model"], r["modality"]): r.get("n_live") or 0 for r in snap.rows}
        window: dict[str, dict] = {}
        for (model, modality), n in sorted(counts.items()):
            if n:
                window.setdefault(model, {})[modality] = {"count": n, "oldest": None, "newest": None}
        return {"window": window, "computed_by": self.holder, "skewed": [],
                "origins": {self.holder: {"samples": sum(counts.values()), "last_write": self.feeder.last_write}}}

    # -- the lease holder's part ------------------------------------------
    def _compute(self) -> ReportSnapshot:
        from ..report import copy_embeddings

        t0 = time.perf_counter()
        reference, _ = copy_embeddings(self.handler)
        # Only the streams of the models this process serves: bogus names in the store cost nothing.
        raw = self.store.window(latest=WINDOW_LATEST, keys=recipe_keys(reference))
        self.health.check_reset(raw)
        window, aside = split_by_fingerprint(raw, self.fingerprints, self.model_ids)
        recipes = self.ledger.update(aside)
        origins = self.store.origins(window.origin_counts())
        skew = self.health.skew(raw.clock_offsets)
        # The alarm goes on from the deployment's last report, whichever process computed it.
        try:
            previous = self._stored()
        except Exception:
            previous = None
        report = report_from_window(reference, window, sequential=alarm_states(previous))
        oldest = [r[0].time for r in raw.records.values() if r]
        extra = {"computed_by": self.holder, "window": window.summary(), "recipes": recipes,
                 "skewed": sorted(skew), "stored": [raw.total(), min(oldest, default=None)],
                 # A skewed origin stays listed even when its samples were dropped as dated ahead.
                 "origins": {o: {"samples": n, "last_write": origins.get(o),
                                 **({"skew_seconds": skew[o]} if o in skew else {})}
                             for o, n in sorted({**dict.fromkeys(skew, 0), **window.origin_counts()}.items())}}
        snap = build_snapshot(report, time=self.clock(), seconds=time.perf_counter() - t0, records=window.records,
                              profiles=self.profiles, fingerprints=self.fingerprints, scope="deployment",
                              extra=extra)
        data = json.dumps(snap.to_stored()).encode()
        self.store.put_result(RESULT, data)
        self.store.put_result(STAMP, repr(snap.time).encode())
        self.store.append_history(snap.history, snap.time)
        self.health.note_stored(extra["stored"])
        # Served as every other process reads it back: the same bytes on each.
        return ReportSnapshot.from_stored(json.loads(data))  # type: ignore[return-value]

    def status(self, snap: ReportSnapshot | None) -> dict:
        extra = {} if snap is None else {k: snap.extra.get(k) for k in ("window", "origins", "computed_by",
                                                                          "skewed")}
        return {"scope": "process" if snap is None else snap.scope, "deployment": self.store.deployment, **extra,
                "report_age": None if snap is None else max(0.0, self.clock() - snap.time),
                "store": {**self.feeder.status(), "bad_results": self.bad_results,
                          "bad_items": self.bad_items}}

    def annotate(self, recipes: dict[str, dict], snap: ReportSnapshot | None) -> None:
        self.ledger.annotate(recipes, None if snap is None else snap.extra.get("recipes"))
