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
import time
from typing import Any

from ..report.clusters import load_terms
from ..samples import Retention, SampleStore, StoreFeeder, deployment_name, open_store, origin_name
from ..report.window import WINDOW_LATEST, report_from_window
from .trace import Tracer

log = logging.getLogger(__name__)

RESULT = "report"


class SharedReport:
    """The deployment's one report over the pooled samples: feeds this
    process's rings to the store, computes the report under the store's
    lease or reads the one the lease holder stored."""

    def __init__(self, store: SampleStore, handler, interval: float, on_error=None, *, tracer: Tracer | None = None,
                 profiles: dict[str, Any] | None = None):
        self.store = store
        self.holder = origin_name()
        # Ids and excerpts go with the samples this process stores (see .trace).
        self.tracer = tracer
        self.profiles = profiles or {}  # served model -> its recipe's term profile
        self.feeder = StoreFeeder(handler, store, origin=self.holder, on_error=on_error,
                                  meta_of=None if tracer is None else tracer.meta_of)
        self.interval = interval or 60.0
        self.extra: dict[str, Any] = {}
        self.outliers: dict | None = None  # of the last report read or computed
        self.clusters: dict | None = None

    @classmethod
    def from_config(cls, cfg, handler, on_error=None) -> SharedReport | None:
        """The shared report for ``cfg``, or None when OLVANE_SHIFT_STORE is ``off``
        or unusable (then the process reports on its own, with one error)."""
        try:
            store = open_store(cfg.store, deployment_name(cfg.recipes, name=cfg.deployment or None),
                               Retention(excerpt_max_age=cfg.excerpt_max_age))
        except Exception as e:
            log.error("olvane shift: sample store disabled: %s", e)
            return None
        if store is None:
            return None
        tracer = Tracer(handler, excerpts=cfg.excerpts, excerpt_chars=cfg.excerpt_chars)
        return cls(store, handler, cfg.report_interval, on_error, tracer=tracer,
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
                window = self.store.window(latest=WINDOW_LATEST)
                origins = self.store.origins()
                report = report_from_window(reference, window)
                rep = _json_safe(report.to_dict())
                seconds, now = time.perf_counter() - t0, time.time()
                result = {"report": rep, "time": now, "seconds": seconds, "computed_by": self.holder,
                          "outliers": _json_safe(report.outliers(window.records)),
                          "clusters": _json_safe(report.clusters(window.records, self.profiles)),
                          "window": window.summary(),
                          "origins": {o: {"samples": n, "last_write": origins.get(o)}
                                      for o, n in sorted(window.origin_counts().items())}}
                self.store.put_result(RESULT, json.dumps(result).encode())
            else:
                raw = self.store.get_result(RESULT)
                if raw is None:
                    return None
                result = json.loads(raw)
        except Exception as e:
            self.feeder.note_failure(e, time.time())
            return None
        self.extra = {k: result.get(k) for k in ("window", "origins", "computed_by")}
        self.outliers = result.get("outliers")
        self.clusters = result.get("clusters")
        return result["report"], float(result["time"]), float(result.get("seconds") or 0.0)

    def status(self, report_time: float | None, scope: str) -> dict:
        return {"scope": scope, "deployment": self.store.deployment, **self.extra,
                "report_age": None if report_time is None else max(0.0, time.time() - report_time),
                "store": self.feeder.status()}
