"""Helpers for a process that hosts ``olvane_shift_detection_handler``.

- :func:`wait_drained`: wait until every queued message has been embedded.
- :func:`stop_worker`: end the embedding worker cleanly, after what is queued.
- :class:`LoggingConsole` / :func:`install_logging_console`: send the module's
  console lines to :mod:`logging` instead of rich's ``print``.

The handler prints through rich (about 350 µs a line, on whichever thread
prints: the request thread for a dropped message, the worker for every stored
embedding). A server wants its lines in its own logs, cheaply and without
floods; the module looks up ``print`` and ``traceback`` in its namespace at
call time, so rebinding those two names once at start-up is enough.
"""
from __future__ import annotations

import logging
import re
import sys
import threading
import time
import traceback as _traceback
from typing import Any, Callable

__all__ = ["wait_drained", "stop_worker", "LoggingConsole", "install_logging_console"]

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


class _Line:
    """What the console knows about one distinct line text (cached)."""

    __slots__ = ("plain", "level", "kind", "key")

    def __init__(self, plain: str, level: int, kind: str, key: str):
        self.plain, self.level, self.kind, self.key = plain, level, kind, key


class _Window:
    """Rate-limit state of one kind of repeated line."""

    __slots__ = ("start", "emitted", "suppressed", "level", "sample")

    def __init__(self, start: float, level: int, sample: str):
        self.start, self.emitted, self.suppressed, self.level, self.sample = start, 0, 0, level, sample


class LoggingConsole:
    """A stand-in for the module's ``print`` and ``traceback``.

    Called as ``print(text)``, it turns the rich markup line into a record on
    the logger ``olvane_sdk``: markup removed, level from the line's first
    colour (red ERROR, yellow WARNING, green DEBUG, otherwise INFO).

    Repeated lines are rate-limited: lines that differ only in their numbers
    share a key; within each ``interval`` seconds the first ``burst`` of a key
    are logged, the rest counted, and one summary line with the count follows
    (at the key's next line after the interval, or at :meth:`flush`). A
    traceback (``print_exc``) is logged only when the line before it on the
    same thread was, so a flood of one failure keeps its first tracebacks.

    ``counts`` holds the number of lines by kind ("queue_full", "stored",
    "round_robin", "error", "notice", "progress", "traceback"), suppressed
    lines included. A dropped message costs the calling thread about a
    microsecond (one dict look-up and a counter when suppressed).
    """

    def __init__(self, logger: logging.Logger | None = None, *, interval: float = 10.0, burst: int = 3,
                 clock: Callable[[], float] = time.monotonic, max_cached: int = 4096):
        self.logger = logger or logging.getLogger(LOGGER_NAME)
        self.interval = float(interval)
        self.burst = int(burst)
        self.clock = clock
        self.counts: dict[str, int] = {}
        self.suppressed_total = 0
        self._lines: dict[str, _Line] = {}
        self._windows: dict[str, _Window] = {}
        self._max_cached = max_cached
        self._lock = threading.Lock()
        self._last = threading.local()
        self.traceback = _TracebackShim(self)

    # -- the print stand-in -------------------------------------------------
    def __call__(self, *objects: Any, sep: str = " ", end: str = "\n", **_ignored: Any) -> None:
        text = objects[0] if len(objects) == 1 and type(objects[0]) is str else sep.join(map(str, objects))
        line = self._lines.get(text)
        if line is None:
            line = self._classify(text)
        now = self.clock()
        summary = None
        with self._lock:
            self.counts[line.kind] = self.counts.get(line.kind, 0) + 1
            w = self._windows.get(line.key)
            if w is None:
                w = self._windows[line.key] = _Window(now, line.level, line.plain)
            elif now - w.start >= self.interval:
                if w.suppressed:
                    summary = (w.level, w.suppressed, w.sample, now - w.start)
                w.start, w.emitted, w.suppressed = now, 0, 0
            if w.emitted >= self.burst:
                w.suppressed += 1
                self.suppressed_total += 1
                self._last.emitted = False
                return
            w.emitted += 1
        self._last.emitted = True
        if summary is not None:
            self._summary(*summary)
        self.logger.log(line.level, line.plain)

    def _classify(self, text: str) -> _Line:
        m = _TAG.search(text)
        level = logging.INFO
        if m is not None and not len(m.group(2)) % 2:
            level = next((_LEVEL_BY_STYLE[w] for w in m.group(3).split() if w in _LEVEL_BY_STYLE), logging.INFO)
        plain = strip_markup(text)
        kind = next((k for k, prefix in _KINDS if plain.startswith(prefix)), None)
        if kind is None:
            kind = {logging.ERROR: "error", logging.WARNING: "notice"}.get(level, "progress")
        line = _Line(plain, level, kind, _DIGITS.sub("#", plain))
        if len(self._lines) >= self._max_cached:
            self._lines.clear()
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
            self.counts["traceback"] = self.counts.get("traceback", 0) + 1
        if not getattr(self._last, "emitted", True):
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
    interceptor module) to a :class:`LoggingConsole` and returns it.

    Keyword options go to :class:`LoggingConsole` (``interval``, ``burst``,
    ``logger``, ``clock``). Call it once, at start-up; calling it again
    replaces the previous console.
    """
    if module is None:
        from . import interceptor as module
    console = console or LoggingConsole(**options)
    setattr(module, "print", console)
    setattr(module, "traceback", console.traceback)
    return console
