"""The per-process side of the middleware: :class:`ShiftCollector` sets the
handler up and accounts for every chat request; :func:`get_collector` makes
the process's one collector from the environment."""
from __future__ import annotations

import collections
import importlib
import logging
import math
import threading
import time
from typing import TYPE_CHECKING, Any, Callable

from .budget import ORDINARY_S, TokenBucket
from .config import ShiftConfig, config_from_env, recipe_problem
from .handover import HandoverMixin, parse_chat_request
from .pooling import DeploymentPool
from .status import StatusMixin

if TYPE_CHECKING:
    from ..host import LoggingConsole
    from .metrics import Metrics

log = logging.getLogger("olvane_sdk")

# Outcomes counted per request (the "intake" of /v1/shift). Every chat
# request the middleware sees ends in exactly one of them.
OUTCOMES = ("collected", "rejected_by_vllm", "no_recipe", "queue_full", "too_large", "sampled_out",
            "not_ready", "empty", "invalid", "backlog_full", "error", "disconnected")

# Seconds between two pushes of the counts to Prometheus.
PUSH_SECONDS = 1.0


class _ErrorLines(logging.Filter):
    """Keeps the error lines logged while the recipes load (the handler
    prints a failed recipe's reason and returns nothing). A filter, not a
    handler: the records still go where they went."""

    def __init__(self):
        super().__init__()
        self.lines: list[str] = []

    def filter(self, record):
        if record.levelno >= logging.ERROR:
            try:
                self.lines.append(record.getMessage())
            except Exception:
                pass
        return True


class ShiftCollector(HandoverMixin, StatusMixin):
    """The per-process side of the middleware: configuration, budget, the
    hand-over thread, the start-up/refresh thread and the figures.

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
        self.handler = handler
        self.parse = parse or parse_chat_request
        self.bucket = TokenBucket(config.budget_rate if config else 0.0, clock=clock)
        self.ready = threading.Event()
        self.console: LoggingConsole | None = None
        self.recipe_models: frozenset[str] = frozenset()
        self.intake = {k: 0 for k in OUTCOMES}
        self.messages = {"collected": 0, "no_recipe": 0, "queue_full": 0}
        self.embeddings: dict[tuple[str, str], int] = {}
        self.live_counts: dict[str, dict[str, int]] = {}
        self.report: dict | None = None
        self.outliers: dict | None = None  # model -> modality -> flagged live messages of the last report
        self.report_seconds: float | None = None
        self.report_time: float | None = None
        self.report_error: str | None = None
        self._report_key: Any = None
        # One report at a time; callers that arrive meanwhile share it.
        self._report_cond = threading.Condition()
        self._report_busy = False
        self._report_runs = 0
        self._refreshed: float | None = None
        # Every configured recipe: loading, then loaded or failed (with the reason).
        self.recipe_states: dict[str, dict[str, Any]] = {
            name: {"state": "loading"} for name in (config.recipes if config else ())}
        self.pool: DeploymentPool | None = None   # the sample store, once started (pooling.py)
        self.scope = "process"
        self._lock = threading.Lock()
        # Bodies for the hand-over thread. A deque append costs the event loop
        # ~0.1 µs and no system call; the thread polls it (collection may lag
        # by a poll interval, requests never do).
        self._bodies: collections.deque = collections.deque()
        self._thread_idle = True
        self._idle = threading.Condition(self._lock)
        self._wake = threading.Event()
        self._stop = threading.Event()
        self._init_models = init_models
        self._metrics: Metrics | None = None
        self._want_metrics = metrics
        self._pushed: dict[Any, float] = {}
        self._threads: list[threading.Thread] = []
        if start:
            self.start()

    # -- life --------------------------------------------------------------
    @property
    def enabled(self) -> bool:
        return self.config is not None and self.error is None

    def start(self) -> None:
        if self._threads:
            return
        if self._want_metrics is True:
            from ..samples import store_off
            from .metrics import get_metrics

            try:
                # The report gauges' multiprocess mode: shared by the processes when they pool.
                self._metrics = get_metrics(pooled=not store_off(self.cfg.store))
            except Exception as e:  # a clash with another registry must not stop the server
                log.error("olvane shift: metrics disabled: %s", e)
        elif self._want_metrics:  # a Metrics of the caller's (tests, another registry)
            self._metrics = self._want_metrics
        loops = []
        if self._metrics is not None:
            # Its own thread: the counts never wait on a report or on the recipes loading.
            loops.append(("olvane-shift-metrics", self._metrics_loop))
        if self.enabled:
            loops += [("olvane-shift-handover", self._handover_loop),
                      ("olvane-shift-background", self._background_loop)]
        for name, target in loops:
            t = threading.Thread(target=target, name=name, daemon=True)
            t.start()
            self._threads.append(t)

    def close(self, timeout: float = 5.0) -> None:
        """Stops this collector's threads (tests, benchmarks)."""
        self._stop.set()
        self._wake.set()
        for t in self._threads:
            t.join(timeout)
        if self.pool is not None:
            self.pool.close()

    def _setup(self) -> None:
        """Start-up, on the background thread: ORT session options, console,
        recipes and models. Collection begins when this has finished."""
        cfg = self.cfg
        if self.handler is None:
            # The process's own handler: its module's console and model
            # factory are ours to set (a handler passed in is the caller's).
            from ..host import install_logging_console, install_model_factory

            interceptor = importlib.import_module("..interceptor", __package__)

            self.handler = interceptor.olvane_shift_detection_handler
            if cfg.console == "logging":
                self.console = install_logging_console(interceptor)
            # sentence-transformers logs every model load at INFO and draws a
            # tqdm bar on stderr for every encode when its logger is at INFO or
            # DEBUG (a root logger at INFO is enough; some library imported
            # with vLLM sets one): one bar per live message. Unless configured
            # otherwise, quiet it.
            st_logger = logging.getLogger("sentence_transformers")
            if st_logger.level == logging.NOTSET:
                st_logger.setLevel(logging.WARNING)
            install_model_factory(interceptor, intra_op_threads=cfg.ort_threads, inter_op_threads=1,
                                  allow_spinning=cfg.ort_spinning)
        if self.parse is parse_chat_request:
            from vllm.entrypoints.openai.protocol import ChatCompletionRequest  # noqa: F401  (import before ready)
        h = self.handler
        # (A handler loaded by the caller has its own recipes: nothing to check.)
        failed = {k: p for k, v in cfg.recipes.items() if self._init_models and (p := recipe_problem(v))}
        for k, why in failed.items():
            log.error("olvane shift: recipe for %s: %s (%s); its requests are not collected", k, why,
                      cfg.recipes[k])
        errors = _ErrorLines()
        if self._init_models:
            t0 = time.perf_counter()
            olvane_log = logging.getLogger("olvane_sdk")
            olvane_log.addFilter(errors)
            try:
                h.init_models({k: v for k, v in cfg.recipes.items() if k not in failed})
            finally:
                olvane_log.removeFilter(errors)
            seconds = time.perf_counter() - t0
        ref = getattr(h, "train_test_embeddings", {}) or {}
        model_map = getattr(h, "vllm_to_embedding_model_map", {}) or {}
        # A recipe that fails part-way keeps an empty entry in
        # train_test_embeddings: without a reference it is failed, not loaded.
        self.recipe_models = frozenset(m for m in model_map if isinstance(ref.get(m), dict) and ref[m])
        for k in cfg.recipes:
            if k in self.recipe_models:
                self.recipe_states[k] = {"state": "loaded", "modalities": sorted(ref[k])}
                for modality in ref[k]:
                    self.embeddings.setdefault((k, modality), 0)
            else:
                why = failed.get(k) or next((ln for ln in errors.lines if k in ln), None) or next(
                    iter(errors.lines), "did not load (see the server log)")
                self.recipe_states[k] = {"state": "failed", "reason": why[:500]}
        good = [m for m in cfg.recipes if m in self.recipe_models]
        bad = [m for m in cfg.recipes if m not in self.recipe_models]
        took = f" in {seconds:.1f} s" if self._init_models else ""
        if bad:
            log.error("olvane shift: recipes loaded%s: %s; failed: %s (see the errors above; their requests "
                      "are not collected)", took, ", ".join(good) or "none", ", ".join(bad))
        else:
            log.info("olvane shift: recipes loaded%s: %s", took, ", ".join(good))
        self._wrap_add_embedding(h)
        self._start_pool(h)
        self.ready.set()

    def _start_pool(self, h) -> None:
        m = self._metrics
        self.pool = DeploymentPool.from_config(self.cfg, h, on_error=None if m is None else m.store_errors.inc)
        if self.pool is not None:
            self.pool.start()
            log.info("olvane shift: pooling samples in %s", self.pool.store.description)

    def _wrap_add_embedding(self, h) -> None:
        # Count embeddings per model and modality where they are stored: the
        # worker calls add_embedding through the instance, so a wrapper there
        # sees every store without reading the store back.
        inner = getattr(h, "add_embedding")
        if getattr(inner, "_olvane_collector", None) is not None:
            inner = inner._olvane_inner
        counts, live = self.embeddings, self.live_counts

        def add_embedding(vllm_model_name, modal_type, embedding):
            inner(vllm_model_name, modal_type, embedding)
            key = (vllm_model_name, modal_type)
            counts[key] = counts.get(key, 0) + 1
            try:
                live.setdefault(vllm_model_name, {"text": 0, "image": 0})[modal_type] = len(
                    h.live_embeddings[vllm_model_name][modal_type]["live"])
            except Exception:
                pass

        add_embedding._olvane_collector = self  # type: ignore[attr-defined]
        add_embedding._olvane_inner = inner  # type: ignore[attr-defined]
        try:
            h.add_embedding = add_embedding
        except (AttributeError, TypeError):
            log.warning("olvane shift: cannot count embeddings on this handler")

    # -- the request path (event loop) --------------------------------------
    def count(self, outcome: str, messages: int = 0) -> None:
        with self._lock:
            self.intake[outcome] += 1
            if outcome in self.messages:
                self.messages[outcome] += messages

    def turn_away(self, outcome: str, messages: int = 0) -> None:
        """Counts a request that was admitted but not handed over, and gives
        its reservation back to the bucket."""
        self.bucket.refund()
        self.count(outcome, messages)

    def admit(self, scope) -> bool:
        """Whether to copy this chat request's body (called on the event loop)."""
        if not self.enabled or not self.ready.is_set():
            self.count("not_ready")
            return False
        for k, v in scope.get("headers", ()):
            if k == b"content-length":
                try:
                    if int(v) > self.cfg.max_body:
                        self.count("too_large")
                        return False
                except ValueError:
                    pass
                break
        # A handler queue with no room now would turn the request away after
        # the copy and the parse: skip it here, before both (the token stays).
        q = self.handler.live_messages_queue
        if q.maxsize > 0 and q.qsize() >= q.maxsize:
            self.count("queue_full")
            return False
        if not self.bucket.admit():
            self.count("sampled_out")
            return False
        return True

    def submit(self, chunks: list) -> None:
        """Hands a 2xx request's body chunks to the hand-over thread."""
        if len(self._bodies) >= self.cfg.backlog:
            self.turn_away("backlog_full")
        else:
            self._bodies.append(chunks)

    # -- the background thread ---------------------------------------------
    def _metrics_loop(self) -> None:
        while True:
            try:
                self.push_metrics()
                if self.console is not None:
                    self.console.flush()
            except Exception:
                log.exception("olvane shift: metrics push failed")
            if self._stop.wait(PUSH_SECONDS):
                return

    def _background_loop(self) -> None:
        try:
            self._setup()
        except Exception:
            self.error = "start-up failed (see the log)"
            for k, st in self.recipe_states.items():
                if st["state"] == "loading":
                    self.recipe_states[k] = {"state": "failed", "reason": "start-up failed (see the server log)"}
            log.exception("olvane shift: start-up failed; the server runs without collection")
            return
        interval = self.cfg.report_interval
        next_report = time.monotonic() + (interval or math.inf)
        while not self._stop.wait(1.0):
            try:
                if interval and time.monotonic() >= next_report:
                    next_report = time.monotonic() + interval
                    self.refresh_report()
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
