"""Shift collection inside vLLM's OpenAI-compatible server, switched on with one flag::

    OLVANE_SHIFT_RECIPES=/srv/recipes vllm serve MODEL \\
        --middleware olvane_sdk.fast.deployment.ood.middleware.ShiftDetectionMiddleware

:class:`ShiftDetectionMiddleware` is a pure ASGI middleware (Starlette builds
it as ``cls(app)``). For ``POST /v1/chat/completions`` it copies the body as
vLLM reads it (vLLM receives exactly what the client sent, chunk by chunk,
then the client's disconnect) and, once vLLM's response starts with a 2xx
status, hands the body to a background thread that parses it with vLLM's
``ChatCompletionRequest`` and passes it to
``olvane_shift_detection_handler.handle_chat_completion_request``. The event
loop pays a header scan, a look at the handler's queue, a token-bucket
check and a deque append; parsing and
hand-over run on the thread. Everything else passes untouched, and nothing
here raises into vLLM or changes its answer.

It also adds ``GET /v1/shift`` to the app (a real route, so vLLM's
``--api-key`` covers it) and metrics to vLLM's ``/metrics``.

Configuration comes from the environment only (spawned API-server processes
inherit it); see :func:`config_from_env`. A bad value logs one error and the
server runs without collection.
"""
from __future__ import annotations

import collections
import importlib
import json
import logging
import math
import os
import threading
import time
from dataclasses import asdict, dataclass, field
from pathlib import Path
from typing import TYPE_CHECKING, Any, Callable, Mapping

if TYPE_CHECKING:
    from ._metrics import Metrics
    from .host import LoggingConsole

log = logging.getLogger("olvane_sdk")

CHAT_PATH = "/v1/chat/completions"
SHIFT_PATH = "/v1/shift"
POLICIES = ("all", "new")
MODALITIES = ("text", "image")
_CONFIG_FILE = Path("data") / "distribution" / "test_config.json"

# Outcomes counted per request (the "intake" of /v1/shift).
OUTCOMES = ("collected", "rejected_by_vllm", "no_recipe", "queue_full", "too_large", "sampled_out",
            "not_ready", "empty", "invalid", "backlog_full", "error")


class ConfigError(ValueError):
    """A bad OLVANE_SHIFT_* value."""


# --------------------------------------------------------------------------
# configuration


@dataclass(frozen=True)
class ShiftConfig:
    """What the middleware does, from the environment (:func:`config_from_env`)."""

    recipes: Mapping[str, str] = field(default_factory=dict)
    policy: str = "new"
    max_body: int = 8 * 1024 * 1024
    report_interval: float = 60.0
    console: str = "logging"
    max_rate: float = 3.0           # messages/s per process; 0 = unlimited (README: "Why 3 messages/s")
    ort_threads: int = 1
    ort_spinning: bool = False
    backlog: int = 64               # bodies waiting for the hand-over thread


def parse_recipes(value: str) -> dict[str, str]:
    """``OLVANE_SHIFT_RECIPES``: a JSON object ``{"served-model": "/path"}``,
    ``name=path,name=path``, or a directory whose subdirectories are recipes
    named by served model. Every recipe must have its configuration file."""
    value = value.strip()
    if not value:
        raise ConfigError("OLVANE_SHIFT_RECIPES is empty")
    if value.startswith("{"):
        try:
            recipes = json.loads(value)
        except json.JSONDecodeError as e:
            raise ConfigError(f"OLVANE_SHIFT_RECIPES is not valid JSON: {e}") from None
        if not isinstance(recipes, dict) or not all(isinstance(k, str) and isinstance(v, str)
                                                    for k, v in recipes.items()):
            raise ConfigError("OLVANE_SHIFT_RECIPES as JSON must be an object of served model name -> path")
    elif "=" in value:
        recipes = {}
        for item in filter(None, (s.strip() for s in value.split(","))):
            name, sep, path = item.partition("=")
            if not sep or not name.strip() or not path.strip():
                raise ConfigError(f"OLVANE_SHIFT_RECIPES: {item!r} is not name=path")
            recipes[name.strip()] = path.strip()
    else:
        root = Path(value)
        if not root.is_dir():
            raise ConfigError(f"OLVANE_SHIFT_RECIPES: {value!r} is neither JSON, name=path pairs nor a directory")
        recipes = {p.name: str(p) for p in sorted(root.iterdir()) if (p / _CONFIG_FILE).is_file()}
        if not recipes:
            raise ConfigError(f"OLVANE_SHIFT_RECIPES: no recipe (*/{_CONFIG_FILE}) under {value!r}")
    if not recipes:
        raise ConfigError("OLVANE_SHIFT_RECIPES names no recipe")
    missing = [f"{k} ({v})" for k, v in recipes.items() if not (Path(v) / _CONFIG_FILE).is_file()]
    if missing:
        raise ConfigError(f"OLVANE_SHIFT_RECIPES: no {_CONFIG_FILE} for " + ", ".join(missing))
    return recipes


def _size(name: str, text: str) -> int:
    units = {"": 1, "k": 1024, "kb": 1024, "kib": 1024, "m": 1024 ** 2, "mb": 1024 ** 2, "mib": 1024 ** 2}
    t = text.strip().lower()
    num = t.rstrip("kmib")
    try:
        n = int(float(num) * units[t[len(num):]])
    except (ValueError, KeyError):
        raise ConfigError(f"{name}={text!r}: expected a size in bytes (e.g. 8388608 or 8MiB)") from None
    if n < 0:
        raise ConfigError(f"{name}={text!r}: must not be negative")
    return n


def _number(name: str, text: str, *, low: float = 0.0, integer: bool = False) -> float:
    try:
        v = float(text)
    except ValueError:
        raise ConfigError(f"{name}={text!r}: expected a number") from None
    if math.isnan(v) or v < low or (integer and v != int(v)):
        raise ConfigError(f"{name}={text!r}: expected {'an integer' if integer else 'a number'} >= {low:g}")
    return int(v) if integer else v


def config_from_env(environ: Mapping[str, str] | None = None) -> ShiftConfig:
    """Reads the OLVANE_SHIFT_* variables; raises :class:`ConfigError` with a
    message naming the variable. Unset variables take the defaults of
    :class:`ShiftConfig`; OLVANE_SHIFT_RECIPES is required."""
    env = os.environ if environ is None else environ
    get = lambda k: (env.get(k) or "").strip()  # noqa: E731
    if not get("OLVANE_SHIFT_RECIPES"):
        raise ConfigError("OLVANE_SHIFT_RECIPES is not set: no recipes, nothing to collect")
    kw: dict[str, Any] = {"recipes": parse_recipes(get("OLVANE_SHIFT_RECIPES"))}
    if v := get("OLVANE_SHIFT_POLICY"):
        if v.lower() not in POLICIES:
            raise ConfigError(f"OLVANE_SHIFT_POLICY={v!r}: expected one of {', '.join(POLICIES)}")
        kw["policy"] = v.lower()
    if v := get("OLVANE_SHIFT_MAX_BODY"):
        kw["max_body"] = _size("OLVANE_SHIFT_MAX_BODY", v)
    if v := get("OLVANE_SHIFT_REPORT_INTERVAL"):
        kw["report_interval"] = _number("OLVANE_SHIFT_REPORT_INTERVAL", v)
    if v := get("OLVANE_SHIFT_CONSOLE"):
        if v.lower() not in ("logging", "rich"):
            raise ConfigError(f"OLVANE_SHIFT_CONSOLE={v!r}: expected logging or rich")
        kw["console"] = v.lower()
    if v := get("OLVANE_SHIFT_MAX_RATE"):
        kw["max_rate"] = 0.0 if v.lower() in ("off", "inf", "unlimited") else _number("OLVANE_SHIFT_MAX_RATE", v)
    if v := get("OLVANE_SHIFT_ORT_THREADS"):
        kw["ort_threads"] = _number("OLVANE_SHIFT_ORT_THREADS", v, low=1, integer=True)
    if v := get("OLVANE_SHIFT_ORT_SPINNING"):
        if v.lower() not in ("0", "1", "true", "false", "yes", "no", "on", "off"):
            raise ConfigError(f"OLVANE_SHIFT_ORT_SPINNING={v!r}: expected 0 or 1")
        kw["ort_spinning"] = v.lower() in ("1", "true", "yes", "on")
    return ShiftConfig(**kw)


# --------------------------------------------------------------------------
# the budget


class TokenBucket:
    """Messages per second handed to the handler.

    ``admit()`` is asked once per request, when it arrives and before anything
    is known of it: it reserves one token if at least one is there. After the
    request is parsed, ``consume(n - 1)`` takes the rest for its ``n``
    messages, going into debt if need be (a request is handed over whole or
    not at all), and ``refund()`` returns the reservation of a request that
    was not handed over (except one turned away by a full queue after its
    parse: that parse is charged). The decision depends only on time and on what was
    handed over before, never on the served model or the request's content,
    so the requests collected are a fair sample of the traffic.

    ``rate`` <= 0 means unlimited. The bucket holds at most ``burst`` tokens
    (default: one second of the rate, at least 1).
    """

    def __init__(self, rate: float, burst: float | None = None, clock: Callable[[], float] = time.monotonic):
        self.rate = float(rate)
        self.unlimited = not (self.rate > 0) or math.isinf(self.rate)
        self.capacity = max(1.0, self.rate if burst is None else float(burst))
        self.clock = clock
        self.tokens = self.capacity
        self._t = clock()
        self._lock = threading.Lock()

    def _refill(self) -> None:
        now = self.clock()
        self.tokens = min(self.capacity, self.tokens + (now - self._t) * self.rate)
        self._t = now

    def admit(self) -> bool:
        if self.unlimited:
            return True
        with self._lock:
            self._refill()
            if self.tokens >= 1.0:
                self.tokens -= 1.0
                return True
            return False

    def consume(self, n: float) -> None:
        if not self.unlimited and n:
            with self._lock:
                self._refill()
                self.tokens -= n

    def refund(self, n: float = 1.0) -> None:
        if not self.unlimited:
            with self._lock:
                self.tokens = min(self.capacity, self.tokens + n)


# --------------------------------------------------------------------------
# the collector: one per process


def new_messages(messages: list) -> list:
    """The messages after the last assistant message: what the client added
    this turn (the whole list when there is no assistant message)."""
    for i in range(len(messages) - 1, -1, -1):
        m = messages[i]
        if isinstance(m, dict) and m.get("role") == "assistant":
            return messages[i + 1:]
    return messages


def _parse_chat_request(body: bytes):
    from vllm.entrypoints.openai.protocol import ChatCompletionRequest

    return ChatCompletionRequest.model_validate_json(body)


class ShiftCollector:
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
        self.parse = parse or _parse_chat_request
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
            from ._metrics import get_metrics

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
            from .host import install_logging_console

            interceptor = importlib.import_module(".interceptor", __package__)

            self.handler = interceptor.olvane_shift_detection_handler
            if cfg.console == "logging":
                self.console = install_logging_console(interceptor)
            # sentence-transformers draws a tqdm bar on stderr for every encode
            # when its logger is at INFO or DEBUG (a root logger at INFO is
            # enough): one bar per live message. Unless configured otherwise, quiet it.
            st_logger = logging.getLogger("sentence_transformers.sentence_transformer.model")
            if st_logger.level == logging.NOTSET:
                st_logger.setLevel(logging.WARNING)
            try:
                runtime = importlib.import_module(".runtime", __package__)
            except ImportError:  # no ORT session options on this build
                runtime = None
            if runtime is not None:
                runtime.install_model_factory(interceptor, intra_op_threads=cfg.ort_threads, inter_op_threads=1,
                                              allow_spinning=cfg.ort_spinning)
        if self.parse is _parse_chat_request:
            from vllm.entrypoints.openai.protocol import ChatCompletionRequest  # noqa: F401  (import before ready)
        h = self.handler
        if self._init_models:
            t0 = time.perf_counter()
            h.init_models(dict(cfg.recipes))
            log.info("olvane shift: recipes for %s loaded in %.1f s", ", ".join(cfg.recipes), time.perf_counter() - t0)
        ref = getattr(h, "train_test_embeddings", {}) or {}
        self.recipe_models = frozenset(m for m in getattr(h, "vllm_to_embedding_model_map", {}) or {} if m in ref)
        bad = sorted(set(cfg.recipes) - self.recipe_models)
        if bad:
            log.error("olvane shift: no usable recipe for %s (see the errors above); their requests "
                      "are not collected", ", ".join(bad))
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

    # -- the hand-over thread ----------------------------------------------
    POLL_SECONDS = 0.02

    def _handover_loop(self) -> None:
        bodies = self._bodies
        while not self._stop.is_set():
            if not bodies:
                with self._lock:
                    self._thread_idle = True
                    self._idle.notify_all()
                self._wake.clear()
                if not bodies:
                    self._wake.wait(self.POLL_SECONDS)
                continue
            with self._lock:
                self._thread_idle = False
            chunks = bodies.popleft()
            try:
                self._handover(chunks)
            except Exception as e:
                self.turn_away("error")
                log.error("olvane shift: hand-over failed: %s: %s", type(e).__name__, e)

    def _handover(self, chunks: list) -> None:
        body = chunks[0] if len(chunks) == 1 else b"".join(chunks)
        try:
            request = self.parse(body)
        except Exception:
            self.turn_away("invalid")
            return
        messages = list(request.messages)
        if request.model not in self.recipe_models:
            self.turn_away("no_recipe", len(messages))
            return
        chosen = new_messages(messages) if self.cfg.policy == "new" else messages
        if not chosen:
            self.turn_away("empty")
            return
        h = self.handler
        q = h.live_messages_queue
        # The whole request or nothing: this thread is the only producer, so
        # the room seen here can only grow before the hand-over. The
        # reservation is kept: the copy and the parse were spent, and the
        # budget bounds them too (a refund would let a worker slower than the
        # budget keep the bucket full and the parses going).
        if q.maxsize > 0 and q.maxsize - q.qsize() < len(chosen):
            self.count("queue_full", len(chosen))
            return
        self.bucket.consume(len(chosen) - 1)
        if len(chosen) != len(messages):
            request = request.model_copy(update={"messages": chosen})
        h.handle_chat_completion_request(request)
        self.count("collected", len(chosen))

    def drain(self, timeout: float = 10.0) -> bool:
        """Waits until the hand-over thread has handled every body submitted."""
        deadline = time.monotonic() + timeout
        self._wake.set()
        with self._lock:
            while self._bodies or not self._thread_idle:
                left = deadline - time.monotonic()
                if left <= 0:
                    return False
                self._idle.wait(min(left, self.POLL_SECONDS))
                self._wake.set()
        return True

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

    def refresh_report(self, force: bool = False) -> bool:
        """Recomputes the shift report if the embeddings changed since the
        last one (or ``force``). Blocking: call it off the event loop."""
        if not self.ready.is_set():
            return False
        with self._report_lock:
            key = tuple(sorted(self.embeddings.items()))
            if not force and key == self._report_key and self.report is not None:
                return False
            from .report import shift_report

            t0 = time.perf_counter()
            try:
                rep = _json_safe(shift_report(self.handler).to_dict())
            except Exception as e:
                self.report_error = f"{type(e).__name__}: {e}"
                log.exception("olvane shift: the shift report failed")
                return False
            self.report_seconds = time.perf_counter() - t0
            self.report, self.report_time, self._report_key = rep, time.time(), key
            self.report_error = None
        if self._metrics is not None:
            self._metrics.set_report(rep, self.report_seconds, self.report_time)
        return True

    def push_metrics(self) -> None:
        """Adds the counts since the last push to the Prometheus counters
        (counted in plain ints on the request path, pushed once a second)."""
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
            d = v - self._pushed.get(key, 0)
            if d <= 0:
                continue
            kind = key[0]
            if kind == "r":
                m.requests.labels(key[1]).inc(d)
            elif kind == "m":
                m.messages.labels(key[1]).inc(d)
            elif kind == "e":
                m.embeddings.labels(key[1], key[2]).inc(d)
            else:
                m.console_lines.labels(key[1]).inc(d)
            self._pushed[key] = v
        m.ready.set(1 if self.ready.is_set() else 0)

    # -- /v1/shift ------------------------------------------------------------
    def status(self) -> dict:
        with self._lock:
            intake: dict[str, Any] = dict(self.intake)
            intake["messages"] = dict(self.messages)
        cfg = self.config
        return {
            "ready": self.ready.is_set(),
            "pid": os.getpid(),
            "error": self.error,
            "live_counts": {m: dict(c) for m, c in list(self.live_counts.items()) if any(c.values())},
            "intake": intake,
            "report": self.report,
            "report_seconds": self.report_seconds,
            "report_time": self.report_time,
            "report_error": self.report_error,
            # Recipe names only: their paths are the server's business.
            "config": None if cfg is None else {**asdict(cfg), "recipes": sorted(cfg.recipes)},
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


_collector: ShiftCollector | None = None
_collector_lock = threading.Lock()


def get_collector() -> ShiftCollector:
    """The process's collector, created (and started) at the first call from
    the environment. Never raises: a bad configuration gives a disabled
    collector with one error logged."""
    global _collector
    with _collector_lock:
        if _collector is None:
            try:
                cfg = config_from_env()
                _collector = ShiftCollector(cfg)
                log.info("olvane shift: collecting for %s (policy %s, max %s msg/s)", ", ".join(cfg.recipes),
                         cfg.policy, cfg.max_rate or "unlimited")
            except Exception as e:
                log.error("olvane shift: collection disabled: %s", e)
                _collector = ShiftCollector(None, error=str(e))
        return _collector


# --------------------------------------------------------------------------
# the middleware


def _route_for(collector: ShiftCollector):
    from starlette.concurrency import run_in_threadpool
    from starlette.responses import JSONResponse
    from starlette.routing import Route

    async def shift_status(request):
        if request.query_params.get("refresh", "").lower() in ("1", "true", "yes"):
            await run_in_threadpool(collector.refresh_report, True)
        return JSONResponse(collector.status())

    return Route(SHIFT_PATH, shift_status, methods=["GET"], name="olvane_shift", include_in_schema=False)


class ShiftDetectionMiddleware:
    """Pure ASGI middleware: collects chat-completion requests that vLLM
    answers with 2xx and serves ``GET /v1/shift`` through a route it adds to
    the app. ``collector`` is for tests; vLLM builds it as ``cls(app)``."""

    def __init__(self, app, collector: ShiftCollector | None = None):
        self.app = app
        self.collector = collector if collector is not None else get_collector()
        self._routed: set[int] = set()

    def _add_route(self, app) -> None:
        # scope["app"] is the Starlette/FastAPI application on every scope
        # (lifespan included); the middleware itself only sees the inner stack.
        self._routed.add(id(app))
        try:
            router = getattr(app, "router", None)
            if router is None or any(getattr(r, "path", None) == SHIFT_PATH for r in router.routes):
                return
            router.routes.append(_route_for(self.collector))
        except Exception as e:
            log.error("olvane shift: could not add %s: %s", SHIFT_PATH, e)

    async def __call__(self, scope, receive, send):
        app = scope.get("app")
        if app is not None and id(app) not in self._routed:
            self._add_route(app)
        if scope["type"] != "http" or scope["method"] != "POST":
            return await self.app(scope, receive, send)
        path = scope["path"]
        root = scope.get("root_path")
        if root and path.startswith(root):
            path = path[len(root):]
        c = self.collector
        if path != CHAT_PATH or not c.enabled:
            return await self.app(scope, receive, send)
        try:
            admitted = c.admit(scope)
        except Exception:
            admitted = False
        if not admitted:
            return await self.app(scope, receive, send)

        max_body = c.cfg.max_body
        chunks: list[bytes] = []
        size = 0
        # None while the body is being read, True once complete, False when given up.
        complete: bool | None = None
        started = False

        async def tee():
            nonlocal size, complete
            message = await receive()
            if complete is None:
                try:
                    if message["type"] == "http.request":
                        body = message.get("body", b"")
                        size += len(body)
                        if size > max_body:
                            complete = False
                            chunks.clear()
                            c.turn_away("too_large")
                        else:
                            if body:
                                chunks.append(body)
                            if not message.get("more_body", False):
                                complete = True
                    else:  # disconnected before the whole body
                        complete = False
                        c.bucket.refund()
                except Exception:  # whatever the message holds, vLLM gets it as it came
                    complete = False
            return message

        async def gate(message):
            nonlocal started, complete
            if not started and message["type"] == "http.response.start":
                started = True
                try:
                    if complete:
                        if 200 <= message["status"] < 300:
                            c.submit(chunks)
                        else:
                            c.turn_away("rejected_by_vllm")
                    elif complete is None:  # answered without reading the body
                        c.turn_away("rejected_by_vllm")
                    complete = False
                except Exception:
                    pass
            await send(message)

        try:
            await self.app(scope, tee, gate)
        finally:
            if not started and complete is not False:
                # No response at all (the app raised): hand the reservation back.
                c.bucket.refund()
