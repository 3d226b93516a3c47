"""Helpers for a process that hosts ``olvane_shift_detection_handler``.

- :func:`wait_drained`: wait until every queued message has been embedded.
- :func:`stop_worker`: end the embedding worker cleanly, after what is queued.
- :class:`LoggingConsole` / :func:`install_logging_console`: send the module's
  console lines to :mod:`logging` instead of rich's ``print``.
- :func:`install_model_factory` / :class:`OnnxModelFactory`: the ONNX Runtime
  session options of the embedding models (threads, spinning); see
  :mod:`._onnx`.

The handler prints through rich (about 350 µs a line, on whichever thread
prints: the request thread for a dropped message, the worker for every stored
embedding). A server wants its lines in its own logs, cheaply and without
floods; the module looks up ``print`` and ``traceback`` in its namespace at
call time, so rebinding those two names once at start-up is enough.
"""
from __future__ import annotations

import importlib
import logging
import re
import sys
import threading
import time
import traceback as _traceback
from typing import Any, Callable

from ._onnx import OnnxModelFactory, install_model_factory

__all__ = ["wait_drained", "stop_worker", "LoggingConsole", "install_logging_console", "install_model_factory",
           "OnnxModelFactory"]

LOGGER_NAME = "olvane_sdk"


# --------------------------------------------------------------------------
# queue and worker


def wait_drained(handler, timeout: float) -> bool:
    """Waits until the handler's queue is empty and every message taken from
    it has been marked done (``Queue.join`` with a deadline).

    Returns True when drained, False if ``timeout`` seconds passed first. A
    message is marked done after the worker has embedded (or failed) it, so a
    True result means the live store holds everything queued before the call.
    """
    q = handler.live_messages_queue
    deadline = time.monotonic() + timeout
    with q.all_tasks_done:
        while q.unfinished_tasks:
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                return False
            q.all_tasks_done.wait(min(remaining, 0.5))
    return True


class _StopModel:
    """An "embedding model" whose ``encode`` ends the worker thread."""

    def encode(self, *_args, **_kwargs):
        # SystemExit does not derive from Exception: it passes every guard of
        # the worker, which marks the message done and then ends.
        raise SystemExit(0)


_STOP_NAME = "__olvane_host_stop__"


def stop_worker(handler, timeout: float = 10.0) -> bool:
    """Ends the handler's embedding worker after the messages already queued.

    The module has no stop operation: its worker is a daemon thread meant to
    live as long as the process. For a clean exit (tests, a host that unloads
    collection) this queues one last message for a served-model name of its
    own, whose text model raises ``SystemExit`` in ``encode``: the worker
    handles everything queued before it, marks it done and ends. The model
    maps are restored afterwards (unless ``init_models`` replaced them
    meanwhile). Returns True if no worker is left running.

    A request handed over afterwards starts a new worker, as usual.
    """
    thread = getattr(handler, "embedding_thread", None)
    if thread is None or not thread.is_alive():
        return True
    old = (handler.embedding_models, handler.vllm_to_embedding_model_map)
    new = ({**old[0], _STOP_NAME: _StopModel()}, {**old[1], _STOP_NAME: {"text": _STOP_NAME, "image": None}})
    handler.embedding_models, handler.vllm_to_embedding_model_map = new
    try:
        deadline = time.monotonic() + timeout
        while thread.is_alive() and time.monotonic() < deadline:
            try:
                handler.live_messages_queue.put({"model": _STOP_NAME, "content": "stop"},
                                                timeout=max(0.01, deadline - time.monotonic()))
            except Exception:  # queue.Full: keep waiting for the worker
                continue
            thread.join(max(0.0, deadline - time.monotonic()))
    finally:
        if handler.embedding_models is new[0]:
            handler.embedding_models = old[0]
        if handler.vllm_to_embedding_model_map is new[1]:
            handler.vllm_to_embedding_model_map = old[1]
    return not thread.is_alive()


# --------------------------------------------------------------------------
# console into logging

# rich's markup tags (the same shape rich's own parser accepts); "\[" is an
# escaped bracket, which the module writes in front of values it places in lines.
_TAG = re.compile(r"((\\*)\[([a-z#/@][^[]*?)])", re.VERBOSE)
_DIGITS = re.compile(r"\d+")
_LEVEL_BY_STYLE = {"red": logging.ERROR, "yellow": logging.WARNING, "green": logging.DEBUG}

# Kinds of the module's lines: (kind, prefix of the plain text). The rest are
# "error", "notice" or "progress" by colour.
_KINDS = (
    ("queue_full", "Live messages queue is full"),
    ("stored", "Model: "),
    ("round_robin", "Round-robin replacement"),
)


def strip_markup(text: str) -> str:
    """The text of a rich markup string, tags removed and escapes undone."""

    def repl(m: re.Match) -> str:
        n = len(m.group(2))
        return "\\" * (n // 2) + (f"[{m.group(3)}]" if n % 2 else "")

    return _TAG.sub(repl, text)


class _Count:
    __slots__ = ("n",)

    def __init__(self):
        self.n = 0


class _Window:
    """Rate-limit state of the lines that share a key."""

    __slots__ = ("start", "emitted", "suppressed", "level", "sample")

    def __init__(self, start: float, level: int, sample: str):
        self.start, self.emitted, self.suppressed, self.level, self.sample = start, 0, 0, level, sample


class _Line:
    """What the console knows about one distinct line text (cached)."""

    __slots__ = ("plain", "level", "count", "window")

    def __init__(self, plain: str, level: int, count: _Count, window: _Window):
        self.plain, self.level, self.count, self.window = plain, level, count, window


class LoggingConsole:
    """A stand-in for the module's ``print`` and ``traceback``.

    Called as ``print(text)``, it turns the rich markup line into a record on
    the logger ``olvane_sdk``: markup removed, level from the line's first
    colour (red ERROR, yellow WARNING, green DEBUG, otherwise INFO).

    Repeated lines are rate-limited: lines that differ only in their numbers
    share a key; within each ``interval`` seconds the first ``burst`` of a key
    are logged, the rest counted, and one summary line with the count follows
    (at the key's next line after the interval, or at :meth:`flush`). A
    traceback (``print_exc``) is logged only when the line before it was, so
    a flood of one failure keeps its first tracebacks.

    ``counts`` gives the number of lines by kind ("queue_full", "stored",
    "round_robin", "error", "notice", "progress", "traceback"), suppressed
    lines included. A suppressed line costs the calling thread well under a
    microsecond (one dict look-up, a clock read and two counters under a lock).
    """

    def __init__(self, logger: logging.Logger | None = None, *, interval: float = 10.0, burst: int = 3,
                 clock: Callable[[], float] = time.monotonic, max_cached: int = 4096):
        self.logger = logger or logging.getLogger(LOGGER_NAME)
        self.interval = float(interval)
        self.burst = int(burst)
        self.clock = clock
        self.suppressed_total = 0
        self._kinds: dict[str, _Count] = {}
        self._lines: dict[str, _Line] = {}
        self._windows: dict[str, _Window] = {}
        self._max_cached = max_cached
        self._lock = threading.Lock()
        self._last_emitted = True
        self._stored = self._kind("stored")
        self.traceback = _TracebackShim(self)

    @property
    def counts(self) -> dict[str, int]:
        return {k: c.n for k, c in self._kinds.items() if c.n}

    def _kind(self, kind: str) -> _Count:
        c = self._kinds.get(kind)
        if c is None:
            c = self._kinds[kind] = _Count()
        return c

    # -- the print stand-in -------------------------------------------------
    def write(self, text: Any = "", *more: Any, sep: str = " ", end: str = "\n", file: Any = None,
              flush: bool = False) -> None:
        """``print(text)``: what the module's ``print`` is bound to (a bound
        method: cheaper to call than an instance)."""
        if more or type(text) is not str:
            text = sep.join(map(str, (text, *more)))
        line = self._lines.get(text)
        if line is None:
            if text.startswith("[green]Model: ") and not self.logger.isEnabledFor(logging.DEBUG):
                # The worker's per-embedding counts line, with DEBUG off: its
                # text changes every time, so skip the parse and the cache.
                with self._lock:
                    self._stored.n += 1
                return
            line = self._classify(text)
        w = line.window
        now = self.clock()
        summary = None
        with self._lock:
            line.count.n += 1
            if now - w.start >= self.interval:
                if w.suppressed:
                    summary = (w.level, w.suppressed, w.sample, now - w.start)
                w.start, w.emitted, w.suppressed = now, 0, 0
            if w.emitted >= self.burst:
                w.suppressed += 1
                self.suppressed_total += 1
                self._last_emitted = False
                return
            w.emitted += 1
            self._last_emitted = True
        if summary is not None:
            self._summary(*summary)
        self.logger.log(line.level, line.plain)

    __call__ = write

    def _classify(self, text: str) -> _Line:
        m = _TAG.search(text)
        level = logging.INFO
        if m is not None and not len(m.group(2)) % 2:
            level = next((_LEVEL_BY_STYLE[w] for w in m.group(3).split() if w in _LEVEL_BY_STYLE), logging.INFO)
        plain = strip_markup(text)
        kind = next((k for k, prefix in _KINDS if plain.startswith(prefix)), None)
        if kind is None:
            kind = {logging.ERROR: "error", logging.WARNING: "notice"}.get(level, "progress")
        key = _DIGITS.sub("#", plain)
        with self._lock:
            if len(self._lines) >= self._max_cached or len(self._windows) >= self._max_cached:
                # Lines whose text keeps changing (values in error texts): start afresh.
                self._lines.clear()
                self._windows.clear()
            w = self._windows.get(key)
            if w is None:
                w = self._windows[key] = _Window(self.clock(), level, plain)
            line = _Line(plain, level, self._kind(kind), w)
            self._lines[text] = line
        return line

    def _summary(self, level: int, n: int, sample: str, seconds: float) -> None:
        self.logger.log(level, "%d more lines like this one in the last %.0f s: %s", n, seconds, sample)

    def flush(self) -> int:
        """Logs the summary of every key whose interval has ended with lines
        suppressed; returns how many summaries were logged. Call it now and
        then (the middleware's background thread does)."""
        now = self.clock()
        due = []
        with self._lock:
            for w in self._windows.values():
                if w.suppressed and now - w.start >= self.interval:
                    due.append((w.level, w.suppressed, w.sample, now - w.start))
                    w.start, w.emitted, w.suppressed = now, 0, 0
        for d in due:
            self._summary(*d)
        return len(due)

    # -- the traceback stand-in ---------------------------------------------
    def print_exc(self, limit: int | None = None, file: Any = None, chain: bool = True) -> None:
        with self._lock:
            self._kind("traceback").n += 1
        if not self._last_emitted:
            return
        exc = sys.exc_info()
        if exc[0] is None:
            return
        self.logger.log(logging.ERROR, "traceback", exc_info=exc)


class _TracebackShim:
    """The module's ``traceback``: ``print_exc`` goes to the console's logger,
    anything else to the standard module."""

    def __init__(self, console: LoggingConsole):
        self.print_exc = console.print_exc

    def __getattr__(self, name: str) -> Any:
        return getattr(_traceback, name)


def install_logging_console(module=None, console: LoggingConsole | None = None, **options: Any) -> LoggingConsole:
    """Rebinds ``module.print`` and ``module.traceback`` (default: the
    interceptor module) to a :class:`LoggingConsole` (its ``write`` and its
    ``traceback``) and returns the console.

    Keyword options go to :class:`LoggingConsole` (``interval``, ``burst``,
    ``logger``, ``clock``). Call it once, at start-up; calling it again
    replaces the previous console.
    """
    if module is None:
        module = importlib.import_module(".interceptor", __package__)
    console = console or LoggingConsole(**options)
    setattr(module, "print", console.write)
    setattr(module, "traceback", console.traceback)
    return console
