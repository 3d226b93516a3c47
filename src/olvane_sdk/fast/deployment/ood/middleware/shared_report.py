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

from ..report.model import history_rows
from ..report.window import WINDOW_LATEST, recipe_keys, report_from_window
from ..samples import SampleStore, StoreFeeder, deployment_name, mask_url, open_store, origin_name

log = logging.getLogger(__name__)

RESULT = "report"


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
    lease or reads the one the lease holder stored."""

    def __init__(self, store: SampleStore, handler, interval: float, on_error=None):
        self.store = store
        self.holder = origin_name()
        self.feeder = StoreFeeder(handler, store, origin=self.holder, on_error=on_error)
        self.interval = interval or 60.0
        self.extra: dict[str, Any] = {}
        self.outliers: dict | None = None  # of the last report read or computed
        #: Stored results this process could not read (another version's, damaged): ignored.
        self.bad_results = 0
        self.maps: dict | None = None  # the page's maps of the last report

    @classmethod
    def from_config(cls, cfg, handler, on_error=None) -> SharedReport | None:
        """The shared report for ``cfg``, or None when OLVANE_SHIFT_STORE is ``off``
        or unusable (then the process reports on its own, with one error)."""
        try:
            store = open_store(cfg.store, deployment_name(cfg.recipes, name=cfg.deployment or None))
        except Exception as e:
            log.error("olvane shift: sample store disabled: %s", mask_url(str(e)))
            return None
        return None if store is None else cls(store, handler, cfg.report_interval, on_error)

    def start(self) -> None:
        self.feeder.start()

    def close(self) -> None:
        self.feeder.stop()
        self.store.close()

    def report(self, handler, force: bool = False) -> tuple[dict, float, float] | None:
        """(report dict, its Unix time, seconds it took) for the deployment,
        computed here when this process holds the lease (or ``force``), else
        the stored one; None when the store cannot be used (the caller then
        reports on its own rings)."""
        from ..report import copy_embeddings
        from .status import _json_safe

        self.feeder.run_once(force=True)
        try:
            if force or self.store.try_lease(RESULT, self.holder, self.interval * 0.9):
                t0 = time.perf_counter()
                reference, _ = copy_embeddings(handler)
                # Only the streams of the models this process serves: bogus names in the store cost nothing.
                window = self.store.window(latest=WINDOW_LATEST, keys=recipe_keys(reference))
                origins = self.store.origins(window.origin_counts())
                report = report_from_window(reference, window)
                rep = _json_safe(report.to_dict())
                seconds, now = time.perf_counter() - t0, time.time()
                result = {"report": rep, "time": now, "seconds": seconds, "computed_by": self.holder,
                          "outliers": _json_safe(report.outliers(window.records)),
                          "maps": page_maps(report, None),
                          "window": _json_safe(window.summary()),
                          "origins": {o: {"samples": n, "last_write": origins.get(o)}
                                      for o, n in sorted(window.origin_counts().items())}}
                self.store.put_result(RESULT, json.dumps(result).encode())
                self.store.append_history(history_rows(rep, result["outliers"]), now)
            else:
                raw = self.store.get_result(RESULT)
                if raw is None:
                    return None
                result = understood(raw)
                if result is None:
                    self.bad_results += 1
                    if self.bad_results == 1:
                        log.warning("olvane shift: the stored report of %s is not one this version reads; "
                                    "ignored (counted in store.bad_results)", self.store.description)
                    return None
                result = _json_safe(result)
        except Exception as e:
            self.feeder.note_failure(e, time.time())
            return None
        self.extra = {k: result.get(k) for k in ("window", "origins", "computed_by")}
        self.outliers = result.get("outliers")
        self.maps = result.get("maps")
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
