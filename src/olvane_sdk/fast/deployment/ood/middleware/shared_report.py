"""The deployment's report: the collector's side of the sample store.

Every process feeds its rings to the store (``samples.StoreFeeder``). Each
report interval one process, the holder of the store's lease, computes the
report over the pooled window and stores it; the others read that result. So
whichever process answers ``/v1/shift`` gives the same verdict. Without a
store, or while it fails, a process falls back to its own rings (``scope``:
``process``) and says why (``store.state``: ``degraded``).
"""
from __future__ import annotations

import json
import logging
import math
import time
from typing import Any

from ..report.clusters import load_terms
from ..report.model import history_rows, outlier_answers
from ..report.window import (WINDOW_LATEST, recipe_fingerprint, recipe_keys, report_from_window,
                             split_by_fingerprint)
from ..samples import Retention, SampleStore, StoreFeeder, deployment_name, mask_url, open_store, origin_name
from .status import REFRESH_MIN_SECONDS
from .trace import Tracer

log = logging.getLogger(__name__)

RESULT = "report"
#: The stored report's time alone: what a process polls to follow the others.
STAMP = "report-time"
#: model -> {fingerprint, since}: the recipe the deployment's samples are judged against.
RECIPES = "recipes"
#: The lease a ``?refresh=true`` takes: one refresh per deployment per this many seconds.
REFRESH = "refresh"
REFRESH_LEASE_SECONDS = REFRESH_MIN_SECONDS
#: The lease of the one process that tells of a wipe of the store.
RESET = "reset"
RESET_LEASE_SECONDS = 60.0
#: An origin whose clock is further than this from the store's is flagged.
SKEW_SECONDS = 60.0


def page_maps(report, outliers) -> dict | None:
    """The page's maps of ``report``; None when they cannot be made (the
    report stands without them)."""
    from ..report.page import report_maps
    from .status import _json_safe

    try:
        return _json_safe(report_maps(report, outliers))
    except Exception as e:
        log.warning("olvane shift: the page's map failed: %s", e)
        return None


class SharedReport:
    """The deployment's one report over the pooled samples: feeds this
    process's rings to the store, computes the report under the store's
    lease or reads the one the lease holder stored.

    ``fingerprints`` (served model -> recipe fingerprint) go with every
    sample, and a report compares only samples of the recipes loaded now.
    ``on_reset`` is called once per wipe of the store this process notices.
    ``tracer`` (see .trace) gives each stored sample its request's ids and,
    when enabled, its excerpt; ``profiles`` are the recipes' term profiles."""

    def __init__(self, store: SampleStore, handler, interval: float, on_error=None, on_reset=None,
                 fingerprints: dict[str, str] | None = None, *, tracer: Tracer | None = None,
                 profiles: dict[str, Any] | None = None):
        self.store = store
        self.holder = origin_name()
        self.fingerprints = dict(fingerprints or {})
        self.tracer = tracer
        self.profiles = profiles or {}  # served model -> its recipe's term profile
        self.feeder = StoreFeeder(handler, store, origin=self.holder, on_error=on_error,
                                  fingerprints=self.fingerprints,
                                  meta_of=None if tracer is None else tracer.meta_of)
        self.interval = interval or 60.0
        self.on_reset = on_reset
        self.extra: dict[str, Any] = {}
        self.outliers: dict | None = None  # of the last report read or computed
        #: Stored results this process could not read (another version's, damaged): ignored.
        self.bad_results = 0
        self.maps: dict | None = None  # the page's maps of the last report
        self.recipes: dict[str, dict] = {}  # the stored RECIPES of the last report
        self._resets_seen = 0
        self._stored: tuple[int, float | None] | None = None  # (samples in the store's window, oldest)
        self._skew_logged: set[str] = set()
        self.clusters: dict | None = None

    @classmethod
    def from_config(cls, cfg, handler, on_error=None, on_reset=None) -> SharedReport | None:
        """The shared report for ``cfg``, or None when OLVANE_SHIFT_STORE is ``off``
        or unusable (then the process reports on its own, with one error)."""
        try:
            store = open_store(cfg.store, deployment_name(cfg.recipes, name=cfg.deployment or None),
                               Retention(excerpt_max_age=cfg.excerpt_max_age))
        except Exception as e:
            log.error("olvane shift: sample store disabled: %s", mask_url(str(e)))
            return None
        if store is None:
            return None
        fingerprints = {m: recipe_fingerprint(p) for m, p in cfg.recipes.items()}
        tracer = Tracer(handler, excerpts=cfg.excerpts, excerpt_chars=cfg.excerpt_chars)
        return cls(store, handler, cfg.report_interval, on_error, on_reset, fingerprints, tracer=tracer,
                   profiles={m: load_terms(p) for m, p in cfg.recipes.items()})

    def start(self) -> None:
        if self.tracer is not None:
            try:
                self.tracer.install()
            except Exception as e:
                log.warning("olvane shift: stored samples carry no request ids: %s", e)
        self.feeder.start()

    def close(self) -> None:
        self.feeder.stop()
        self.store.close()

    def report(self, handler, force: bool = False) -> tuple[dict, float, float] | None:
        """(report dict, its Unix time, seconds it took) for the deployment,
        computed here when this process holds the lease, else the stored one;
        None when the store cannot be used (the caller then reports on its own
        rings). ``force`` (a ``?refresh=true``) computes under the refresh
        lease instead: one refresh per deployment per
        :data:`REFRESH_LEASE_SECONDS`, the others serve that one."""
        self.feeder.run_once(force=True)
        try:
            lease = (REFRESH, REFRESH_LEASE_SECONDS) if force else (RESULT, self.interval * 0.9)
            if self.store.try_lease(lease[0], self.holder, lease[1]):
                result = self._compute(handler)
            else:
                self._check_reset(None)
                raw = self.store.get_result(RESULT)
                if raw is None:
                    return None
                result = self._understood(raw)
                if result is None or not self._mine(result):
                    return None
        except Exception as e:
            self.feeder.note_failure(e, time.time())
            return None
        return self._adopt(result)

    def newer(self, known: float | None) -> tuple[dict, float, float] | None:
        """The stored report when it is newer than ``known`` (another process
        computed one), else None. Reads the stored time first: cheap enough
        to ask once a second."""
        if self.feeder.state != "ok":  # not while the store fails: each try would wait for its timeout
            return None
        try:
            stamp = self.store.get_result(STAMP)
            if stamp is None or (known is not None and float(stamp) <= known):
                return None
            raw = self.store.get_result(RESULT)
            result = None if raw is None else self._understood(raw)
            return self._adopt(result) if result is not None and self._mine(result) else None
        except Exception:  # the feeder's next write reports a failing store
            return None

    def _understood(self, raw: bytes) -> dict | None:
        """The stored result made JSON-safe, or None (counted, one warning)
        when it is not one this version reads."""
        from .status import _json_safe

        result = understood(raw)
        if result is None:
            self.bad_results += 1
            if self.bad_results == 1:
                log.warning("olvane shift: the stored report of %s is not one this version reads; "
                            "ignored (counted in store.bad_results)", self.store.description)
            return None
        return _json_safe(result)

    def _mine(self, result: dict) -> bool:
        """Whether ``result`` judged the samples against the recipes loaded
        here (not a report on a recipe since rebuilt, or another version's
        during a rolling update)."""
        theirs = result.get("recipes") or {}
        return all((theirs.get(m) or {}).get("fingerprint") in (None, fp) for m, fp in self.fingerprints.items())

    def use_own(self, report: dict) -> None:
        """While the store fails: ``window`` and ``origins`` describe the
        samples the rows use, this process's own."""
        counts = {(r["model"], r["modality"]): r.get("n_live") or 0 for r in report.get("rows") or []}
        window: dict[str, dict] = {}
        for (model, modality), n in sorted(counts.items()):
            if n:
                window.setdefault(model, {})[modality] = {"count": n, "oldest": None, "newest": None}
        self.extra = {"window": window, "computed_by": self.holder, "skewed": [],
                      "origins": {self.holder: {"samples": sum(counts.values()),
                                                "last_write": self.feeder.last_write}}}

    def annotate(self, recipes: dict[str, dict]) -> None:
        """Adds each loaded recipe's fingerprint, and since when the
        deployment's samples are judged against it, to ``/v1/shift``'s ``recipes``."""
        for model, st in recipes.items():
            fp = self.fingerprints.get(model)
            if fp is not None and st.get("state") == "loaded":
                st["fingerprint"] = fp
                known = self.recipes.get(model) or {}
                st["fingerprint_since"] = known.get("since") if known.get("fingerprint") == fp else None

    # -- the lease holder's part ------------------------------------------
    def _compute(self, handler) -> dict:
        from ..report import copy_embeddings
        from .status import _json_safe

        t0 = time.perf_counter()
        reference, _ = copy_embeddings(handler)
        # Only the streams of the models this process serves: bogus names in the store cost nothing.
        raw = self.store.window(latest=WINDOW_LATEST, keys=recipe_keys(reference))
        self._check_reset(raw)
        window, aside = split_by_fingerprint(raw, self.fingerprints)
        recipes = self._recipes(aside)
        origins = self.store.origins(window.origin_counts())
        skew = self._skew(raw.clock_offsets)
        report = report_from_window(reference, window)
        rep = _json_safe(report.to_dict())
        oldest = [r[0].time for r in raw.records.values() if r]
        result = {"report": rep, "time": time.time(), "seconds": time.perf_counter() - t0,
                  "computed_by": self.holder, "outliers": _json_safe(report.outliers(window.records)),
                  "clusters": _json_safe(report.clusters(window.records, self.profiles)),
                  "maps": page_maps(report, None),
                  "window": _json_safe(window.summary()), "recipes": recipes, "skewed": sorted(skew),
                  "stored": [raw.total(), min(oldest, default=None)],
                  # A skewed origin stays listed even when its samples were dropped as dated ahead.
                  "origins": {o: {"samples": n, "last_write": origins.get(o),
                                  **({"skew_seconds": skew[o]} if o in skew else {})}
                              for o, n in sorted({**dict.fromkeys(skew, 0), **window.origin_counts()}.items())}}
        self.store.put_result(RESULT, json.dumps(result).encode())
        self.store.put_result(STAMP, repr(result["time"]).encode())
        self.store.append_history(history_rows(rep, outlier_answers(result["outliers"], result["clusters"])),
                                  result["time"])
        return result

    def _recipes(self, aside: dict[str, int]) -> dict[str, dict]:
        """The stored recipe of each model, replaced (with one warning) by
        the one loaded here when it differs."""
        raw = self.store.get_result(RECIPES)
        stored = json.loads(raw) if raw else {}
        changed = False
        for model, fp in self.fingerprints.items():
            old = (stored.get(model) or {}).get("fingerprint")
            if old == fp:
                continue
            if old is not None or aside.get(model):
                log.warning("olvane shift: the recipe for %s changed (fingerprint %s -> %s): %d samples in the "
                            "window, collected against another recipe, are set aside; the report compares only "
                            "samples of the recipe loaded now", model, old or "none", fp, aside.get(model, 0))
            stored[model] = {"fingerprint": fp, "since": time.time()}
            changed = True
        if changed:
            self.store.put_result(RECIPES, json.dumps(stored).encode())
        return stored

    def _skew(self, offsets: dict[str, float]) -> dict[str, float]:
        skew = {o: round(v, 1) for o, v in offsets.items() if abs(v) > SKEW_SECONDS}
        for o in sorted(set(skew) - self._skew_logged):
            self._skew_logged.add(o)
            log.warning("olvane shift: the clock of %s is %+.0f s off the sample store's: its samples' times "
                        "(window newest, report age) are off by as much", o, skew[o])
        return skew

    def _check_reset(self, raw) -> None:
        """One warning and ``on_reset`` when the store was wiped: its layout
        marker was gone at a write (any process), or the window holds far
        fewer samples than the last report's and retention does not explain
        it (the lease holder, reading it)."""
        gone = self.store.resets > self._resets_seen
        self._resets_seen = self.store.resets
        if not gone and (raw is None or self._stored is None):
            return
        if raw is None:
            raw = self.store.window(latest=WINDOW_LATEST)
        now_total = raw.total()
        had, oldest = self._stored or (now_total, None)  # not known yet: no loss to tell
        aged = oldest is None or oldest < time.time() - self.store.retention.max_age
        if gone or (had - now_total > 10 and now_total < had / 2 and not aged):
            self._stored = (now_total, None)
            # Several processes may notice one wipe: the first to take this lease tells it.
            if not self.store.try_lease(RESET, self.holder, RESET_LEASE_SECONDS):
                return
            log.warning("olvane shift: sample store %s was reset (%s): the pooled window lost %d samples (%d -> "
                        "%d)", self.store.description, "its layout marker was gone; layout recreated" if gone else
                        "the window shrank, more than retention explains", max(0, had - now_total), had, now_total)
            if self.on_reset is not None:
                self.on_reset()

    def _adopt(self, result: dict) -> tuple[dict, float, float]:
        self.extra = {k: result.get(k) for k in ("window", "origins", "computed_by", "skewed")}
        self.outliers = result.get("outliers")
        self.maps = result.get("maps")
        self.recipes = result.get("recipes") or {}
        stored = result.get("stored")
        if isinstance(stored, list) and len(stored) == 2:
            self._stored = (int(stored[0]), stored[1])
        self.clusters = result.get("clusters")
        return result["report"], float(result["time"]), float(result.get("seconds") or 0.0)

    def status(self, report_time: float | None, scope: str) -> dict:
        return {"scope": scope, "deployment": self.store.deployment, **self.extra,
                "report_age": None if report_time is None else max(0.0, time.time() - report_time),
                "store": {**self.feeder.status(), "bad_results": self.bad_results}}


def understood(raw: bytes) -> dict | None:
    """A stored result as this version writes it, or None: it must say what
    the report is and when, or serving it would fail further on."""
    try:
        result = json.loads(raw)
    except (ValueError, UnicodeDecodeError):
        return None
    if not isinstance(result, dict) or not isinstance(result.get("report"), dict):
        return None
    rows = result["report"].get("rows", [])
    if not isinstance(rows, list) or not all(isinstance(r, dict) for r in rows):
        return None
    t, seconds = result.get("time"), result.get("seconds") or 0.0
    if not all(isinstance(v, (int, float)) and not isinstance(v, bool) and math.isfinite(v) for v in (t, seconds)):
        return None
    for part in ("window", "origins", "outliers"):
        if result.get(part) is not None and not isinstance(result[part], dict):
            return None
    return result
