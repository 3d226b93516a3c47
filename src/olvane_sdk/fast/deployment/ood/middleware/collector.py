"""The per-process side of the middleware: :class:`ShiftCollector` wires its
parts together; :func:`get_collector` makes the process's one collector from
the environment.

The parts, each with its own state:

- :class:`.handover.Handover`: admission on the event loop, the outcome
  counts, and the hand-over thread;
- :class:`.loading.RecipeLoader`: the handler's start-up (console, session
  options, recipes) and the count of stored embeddings;
- :class:`.report_keeper.ReportKeeper`: the report snapshot every route
  serves, and its refresh;
- :class:`.shared_report.SharedReport`: the store feeding, the lease and
  the deployment's one snapshot, when the processes share a store;
- :class:`.metrics.MetricsPusher`: the counts pushed to Prometheus.
"""
from __future__ import annotations

import logging
import math
import os
import threading
import time
from typing import TYPE_CHECKING, Any, Callable

from .budget import ORDINARY_S, TokenBucket
from .config import ShiftConfig, config_from_env
from .handover import OUTCOMES, Handover, parse_chat_request
from .loading import RecipeLoader
from .shared_report import SharedReport
from .report_keeper import ReportKeeper

if TYPE_CHECKING:
    from .metrics import Metrics, MetricsPusher
    from .recipe_watch import RecipeWatch

__all__ = ["ShiftCollector", "get_collector", "OUTCOMES"]

log = logging.getLogger(__name__)


class ShiftCollector:
    """Configuration, budget and the parts of the collection, and the threads
    that run them: hand-over, start-up/refresh, and the metrics push.

    ``handler`` defaults to the module's ``olvane_shift_detection_handler``;
    ``parse`` to :func:`.handover.parse_chat_request` (vLLM's chat route's reading);
    ``clock`` drives the token bucket. With ``start=False`` no thread starts
    until :meth:`start`.
    """

    def __init__(self, config: ShiftConfig | None, *, handler=None, error: str | None = None,
                 clock: Callable[[], float] = time.monotonic, parse: Callable[[bytes], Any] | None = None,
                 init_models: bool = True, metrics: "bool | Metrics" = True, start: bool = True):
        self.config = config
        # The settings in force (defaults when disabled: then nothing reads them).
        self.cfg: ShiftConfig = config if config is not None else ShiftConfig()
        self.error = error
        # Set once start-up has loaded the recipes: collection begins.
        self.ready = threading.Event()
        self.bucket = TokenBucket(config.budget_rate if config else 0.0, clock=clock)
        self.loader = RecipeLoader(self.cfg, handler, init_models=init_models)
        self.handover = Handover(self.cfg, self.bucket, self.ready, handler=handler,
                                 parse=parse or parse_chat_request)
        self.reports = ReportKeeper(self.ready, self.loader.embeddings, excerpt_max_age=self.cfg.excerpt_max_age)
        self.pusher: MetricsPusher | None = None
        self.watch: RecipeWatch | None = None  # once start-up has loaded the recipes
        self._want_metrics = metrics
        self._stop = threading.Event()
        self._threads: list[threading.Thread] = []
        if start:
            self.start()

    @property
    def enabled(self) -> bool:
        return self.config is not None and self.error is None

    def excerpts(self, api_key: bool) -> bool:
        """Whether excerpts may be served: kept (OLVANE_SHIFT_EXCERPTS) and the server has an API key."""
        return api_key and self.cfg.excerpts

    def status(self) -> dict:
        """``GET /v1/shift``."""
        loader = self.loader
        return {
            "ready": self.ready.is_set(),
            "pid": os.getpid(),
            "error": self.error,
            # Every configured recipe: loaded (modalities), failed (reason) or loading.
            "recipes": self._recipes(),
            "live_counts": {m: dict(c) for m, c in list(loader.live_counts.items()) if any(c.values())},
            "intake": self.handover.counts(),
            # Requests turned away as no_recipe, by served model name.
            "no_recipe": self.handover.unserved_counts(),
            "charged": self.handover.charged(),
            **self.reports.status(self.config),
        }

    def _recipes(self) -> dict[str, dict[str, Any]]:
        recipes = {k: dict(v) for k, v in sorted(self.loader.recipe_states.items())}
        if self.reports.pool is not None:
            self.reports.pool.annotate(recipes, self.reports.snapshot)
        if self.watch is not None:
            self.watch.annotate(recipes)
        return recipes

    # -- life --------------------------------------------------------------
    def start(self) -> None:
        if self._threads:
            return
        metrics: Metrics | None = None
        if self._want_metrics is True:
            from ..samples import store_off
            from .metrics import get_metrics

            try:
                # The report gauges' multiprocess mode: shared by the processes when they pool.
                metrics = get_metrics(pooled=not store_off(self.cfg.store))
            except Exception as e:  # a clash with another registry must not stop the server
                log.error("olvane shift: metrics disabled: %s", e)
        elif self._want_metrics:  # a Metrics of the caller's (tests, another registry)
            metrics = self._want_metrics
        loops: list[tuple[str, Callable[[], None]]] = []
        if metrics is not None:
            from .metrics import MetricsPusher

            self.reports.metrics = metrics
            self.pusher = pusher = MetricsPusher(metrics, self.handover, self.loader, self.ready)
            loops.append(("olvane-shift-metrics", lambda: pusher.run(self._stop)))
        if self.enabled:
            loops += [("olvane-shift-handover", lambda: self.handover.run(self._stop)),
                      ("olvane-shift-background", self._background_loop)]
        for name, target in loops:
            t = threading.Thread(target=target, name=name, daemon=True)
            t.start()
            self._threads.append(t)

    def close(self, timeout: float = 5.0) -> None:
        """Stops this collector's threads (tests, benchmarks)."""
        self._stop.set()
        self.handover.wake()
        for t in self._threads:
            t.join(timeout)
        if self.reports.pool is not None:
            self.reports.pool.close()

    def _setup(self) -> None:
        """Start-up, on the background thread: ORT session options, console,
        recipes and models, then the store. Collection begins when this has
        finished."""
        loader = self.loader
        h = loader.install()
        self.handover.prepare()
        loader.load()
        good = [m for m in self.cfg.recipes if m in loader.recipe_models]
        bad = [m for m in self.cfg.recipes if m not in loader.recipe_models]
        took = f" in {loader.seconds:.1f} s" if loader.init_models else ""
        if bad:
            log.error("olvane shift: recipes loaded%s: %s; failed: %s (see the errors above; their requests "
                      "are not collected)", took, ", ".join(good) or "none", ", ".join(bad))
        else:
            log.info("olvane shift: recipes loaded%s: %s", took, ", ".join(good))
        loader.count_embeddings()
        m = self.reports.metrics
        from ..recipe_files.terms import load_terms
        from ..report.window import recipe_fingerprint

        from ..recipe_files.identity import model_identity

        profiles = {name: load_terms(p) for name, p in self.cfg.recipes.items()}
        fingerprints = {name: recipe_fingerprint(p) for name, p in self.cfg.recipes.items()}
        model_ids = {name: model_identity(p) for name, p in self.cfg.recipes.items()}
        pool = SharedReport.from_config(self.cfg, h, on_error=None if m is None else m.store_errors.inc,
                                        on_reset=None if m is None else m.store_resets.inc, profiles=profiles,
                                        fingerprints=fingerprints, model_ids=model_ids)
        if pool is not None:
            pool.start()
            log.info("olvane shift: pooling samples in %s", pool.store.description)
        from .metrics import deployment_of

        self.reports.open(h, pool, deployment_of(self.cfg, pool), profiles, fingerprints)
        if loader.init_models:  # recipes this process loaded from their directories: watched for new versions
            from .recipe_watch import RecipeWatch

            self.watch = RecipeWatch({k: v for k, v in self.cfg.recipes.items() if k in loader.recipe_models}, h,
                                     fingerprints, on_swap=self._use_recipe)
        if self.pusher is not None:
            self.pusher.pool = pool
        self.handover.open(h, loader.recipe_models)
        self.ready.set()

    def _use_recipe(self, model: str, fingerprint: str, model_id: str) -> None:
        """A recipe's new reference is in the handler: the samples and the report follow it."""
        pool = self.reports.pool
        if pool is not None:
            pool.use_recipe(model, fingerprint, model_id)
        self.reports.fingerprints = {**self.reports.fingerprints, model: fingerprint}
        if self.reports.metrics is not None:
            self.reports.metrics.recipe_swaps.inc()
        if self.watch is not None:
            self.reports.note_version(model, self.watch.events.get(model) or {}, self.watch.modalities(model))

    def _background_loop(self) -> None:
        try:
            self._setup()
        except Exception:
            self.error = "start-up failed (see the log)"
            self.loader.fail_loading("start-up failed (see the server log)")
            log.exception("olvane shift: start-up failed; the server runs without collection")
            return
        interval = self.cfg.report_interval
        next_report = time.monotonic() + (interval or math.inf)
        self.reports.follow()  # a restart serves the deployment's stored report at once
        while not self._stop.wait(1.0):
            try:
                if self.watch is not None and self.watch.check():
                    self.reports.refresh(True)  # the verdict against the new reference, now
                elif interval and time.monotonic() >= next_report:
                    next_report = time.monotonic() + interval
                    self.reports.refresh()
                else:  # another process's newer report (a refresh there): served here too
                    self.reports.follow()
                self.reports.expire()
            except Exception:
                log.exception("olvane shift: background refresh failed")


_collector: ShiftCollector | None = None
_collector_lock = threading.Lock()


def get_collector() -> ShiftCollector:
    """The process's collector, created (and started) at the first call from
    the environment. Never raises: a bad configuration gives a disabled
    collector with one error logged."""
    global _collector
    with _collector_lock:
        if _collector is None:
            from ..host import use_vllm_logging

            use_vllm_logging()
            from .config import unknown_variables

            for line in unknown_variables():
                log.warning("olvane shift: %s", line)
            try:
                cfg = config_from_env()
                _collector = ShiftCollector(cfg)
                rate = cfg.budget_rate
                log.info("olvane shift: collecting for %s (policy %s, budget %s)", ", ".join(cfg.recipes),
                         cfg.policy, f"{rate * ORDINARY_S:.3g} of a core, {rate:.3g} ordinary msg/s"
                         if rate else "unlimited")
            except Exception as e:
                log.error("olvane shift: collection disabled: %s", e)
                _collector = ShiftCollector(None, error=str(e))
        return _collector
