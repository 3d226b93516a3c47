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

from .budget import TokenBucket
from .config import ShiftConfig, config_from_env
from .handover import HandoverMixin, parse_chat_request
from .status import StatusMixin

if TYPE_CHECKING:
    from ..host import LoggingConsole
    from .metrics import Metrics

log = logging.getLogger("olvane_sdk")

# Outcomes counted per request (the "intake" of /v1/shift).
OUTCOMES = ("collected", "rejected_by_vllm", "no_recipe", "queue_full", "too_large", "sampled_out",
            "not_ready", "empty", "invalid", "backlog_full", "error")


class ShiftCollector(HandoverMixin, StatusMixin):
    """The per-process side of the middleware: configuration, budget, the
    hand-over thread, the start-up/refresh thread and the figures.

    ``handler`` defaults to the module's ``olvane_shift_detection_handler``;
    ``parse`` to vLLM's ``ChatCompletionRequest.model_validate_json``;
    ``clock`` drives the token bucket. With ``start=False`` no thread starts
    until :meth:`start`.
    """

    def __init__(self, config: ShiftConfig | None, *, handler=None, error: str | None = None,
                 clock: Callable[[], float] = time.monotonic, parse: Callable[[bytes], Any] | None = None,
                 init_models: bool = True, metrics: bool = True, start: bool = True):
        self.config = config
        # The settings in force (defaults when disabled: then nothing reads them).
        self.cfg: ShiftConfig = config if config is not None else ShiftConfig()
        self.error = error
        self.handler = handler
        self.parse = parse or parse_chat_request
        self.bucket = TokenBucket(config.max_rate if config else 0.0, clock=clock)
        self.ready = threading.Event()
        self.console: LoggingConsole | None = None
        self.recipe_models: frozenset[str] = frozenset()
        self.intake = {k: 0 for k in OUTCOMES}
        self.messages = {"collected": 0, "no_recipe": 0, "queue_full": 0}
        self.embeddings: dict[tuple[str, str], int] = {}
        self.live_counts: dict[str, dict[str, int]] = {}
        self.report: dict | None = None
        self.report_seconds: float | None = None
        self.report_time: float | None = None
        self.report_error: str | None = None
        self._report_key: Any = None
        self._report_lock = threading.Lock()
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
        if self._want_metrics:
            from .metrics import get_metrics

            try:
                self._metrics = get_metrics()
            except Exception as e:  # a clash with another registry must not stop the server
                log.error("olvane shift: metrics disabled: %s", e)
        if not self.enabled:
            return
        for name, target in (("olvane-shift-handover", self._handover_loop),
                             ("olvane-shift-background", self._background_loop)):
            t = threading.Thread(target=target, name=name, daemon=True)
            t.start()
            self._threads.append(t)

    def close(self, timeout: float = 5.0) -> None:
        """Stops this collector's threads (tests, benchmarks)."""
        self._stop.set()
        self._wake.set()
        for t in self._threads:
            t.join(timeout)

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
        t0 = time.perf_counter()
        if self._init_models:
            h.init_models(dict(cfg.recipes))
        ref = getattr(h, "train_test_embeddings", {}) or {}
        self.recipe_models = frozenset(m for m in getattr(h, "vllm_to_embedding_model_map", {}) or {} if m in ref)
        good = [m for m in cfg.recipes if m in self.recipe_models]
        bad = [m for m in cfg.recipes if m not in self.recipe_models]
        took = f" in {time.perf_counter() - t0:.1f} s" if self._init_models else ""
        if bad:
            log.error("olvane shift: recipes loaded%s: %s; failed: %s (see the errors above; their requests "
                      "are not collected)", took, ", ".join(good) or "none", ", ".join(bad))
        else:
            log.info("olvane shift: recipes loaded%s: %s", took, ", ".join(good))
        self._wrap_add_embedding(h)
        self.ready.set()

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
        if not self.ready.is_set():
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
    def _background_loop(self) -> None:
        try:
            self._setup()
        except Exception:
            self.error = "start-up failed (see the log)"
            log.exception("olvane shift: start-up failed; the server runs without collection")
            return
        interval = self.cfg.report_interval
        next_report = time.monotonic() + (interval or math.inf)
        while not self._stop.wait(1.0):
            try:
                self.push_metrics()
                if self.console is not None:
                    self.console.flush()
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
                log.info("olvane shift: collecting for %s (policy %s, max %s msg/s)", ", ".join(cfg.recipes),
                         cfg.policy, cfg.max_rate or "unlimited")
            except Exception as e:
                log.error("olvane shift: collection disabled: %s", e)
                _collector = ShiftCollector(None, error=str(e))
        return _collector
