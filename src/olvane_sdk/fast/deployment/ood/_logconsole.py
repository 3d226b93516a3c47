"""The module's console lines as :mod:`logging` records (``host.LoggingConsole``)
and the package's logger (``olvane_sdk``) inside vLLM's logging (``host.use_vllm_logging``).

The module writes rich markup lines through the ``print``, ``traceback`` and
``Progress`` it finds in its namespace; the console stands in for all three.
Each line is matched against the module's known line shapes (its fixed head):
the shape gives the kind, the level and the rate limiter's group, so values in
a line (model names, exception texts with addresses) never split a group or
grow a cache.
"""
from __future__ import annotations

import importlib
import logging
import re
import sys
import threading
import time
import traceback as _traceback
from typing import Any, Callable, NamedTuple

# The package's logger: every module logs on a child of it (getLogger(__name__)),
# so handlers, levels and filters set here cover them all.
LOGGER_NAME = __name__.split(".")[0]

# rich's markup tags (the same shape rich's own parser accepts); "\[" is an
# escaped bracket, which the module writes in front of values it places in lines.
_TAG = re.compile(r"((\\*)\[([a-z#/@][^[]*?)])", re.VERBOSE)
_NUMBERS = re.compile(r"0x[0-9a-fA-F]+|\d+")
_LEVEL_BY_STYLE = {"red": logging.ERROR, "yellow": logging.WARNING, "green": logging.DEBUG}
_KIND_BY_LEVEL = {logging.ERROR: "error", logging.WARNING: "notice"}


class _Shape(NamedTuple):
    """One of the module's lines: its fixed head (plain text), kind, level,
    whether it is rate-limited, the level of its traceback, and a fixed tail
    after the value."""

    head: str
    kind: str
    level: int
    limited: bool = True
    tb_level: int = logging.ERROR
    tail: str = ""


_SHAPES = (
    _Shape("Live messages queue is full", "queue_full", logging.ERROR),
    _Shape("Model: ", "stored", logging.DEBUG),
    # A full ring replacing its oldest embedding: the ring working as meant, on every store once full.
    _Shape("Round-robin replacement for ", "round_robin", logging.DEBUG, tail="."),
    # Data the client sent that is no image (or breaks the image limits): the client's fault.
    _Shape("Error processing image: ", "image", logging.WARNING, tb_level=logging.DEBUG),
    # A recipe's failure is the operator's to see, every one of them.
    *(_Shape(f"Error {what} for ", "recipe", logging.ERROR, limited=False)
      for what in ("loading config", "loading embeddings", "processing text embeddings",
                   "processing image embeddings")),
    _Shape("Error initializing models: ", "recipe", logging.ERROR, limited=False),
    *(_Shape(f"Error {what}: ", "error", logging.ERROR)
      for what in ("handling chat completion request", "adding live message", "starting live embedding worker",
                   "computing image embedding", "computing text embedding in list", "computing text embedding",
                   "getting message from queue", "marking task as done", "processing live message")),
    *(_Shape(f"{m} embedding model ", "error", logging.ERROR, tail=" not found in self.embedding_models")
      for m in ("Image", "Text")),
    _Shape("Available models: ", "error", logging.ERROR),
    _Shape("Content parts after the first ", "notice", logging.WARNING),
    _Shape("Shift detection skipped for model ", "notice", logging.WARNING),
)
# init_models' summary: "  <served model>:" then one indented line per setting.
_SETTINGS = ("    Text: ", "    Image: ", "    Text Prefix: ")
_SUMMARY_HEAD = re.compile(r"  \S.*:\Z", re.DOTALL)


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
    """Rate-limit state of the lines that share a group."""

    __slots__ = ("start", "emitted", "suppressed", "level", "kind", "sample")

    def __init__(self, start: float, level: int, kind: str, sample: str):
        self.start, self.emitted, self.suppressed = start, 0, 0
        self.level, self.kind, self.sample = level, kind, sample


class _Line:
    """What the console knows about one distinct line text (cached)."""

    __slots__ = ("message", "level", "kind", "count", "window", "tb_level")

    def __init__(self, message: str, level: int, kind: str, count: _Count, window: _Window | None, tb_level: int):
        self.message, self.level, self.kind, self.count, self.window, self.tb_level = (
            message, level, kind, count, window, tb_level)


# What one cached line or group costs besides its strings (objects, dict slots).
_ENTRY_BYTES = 240


class LoggingConsole:
    """A stand-in for the module's ``print`` and ``traceback``.

    Called as ``print(text)``, it turns the rich markup line into a record on
    the logger ``olvane_sdk``, markup removed. The record's place is the
    module's, by kind (``interceptor.<kind>``, line 0), not the console's.
    Level and kind come from the line's shape: a client's undecodable image
    is a WARNING (its traceback DEBUG); a recipe's settings are INFO records
    that name the served model; other lines take their colour (red ERROR,
    yellow WARNING, green DEBUG, otherwise INFO).

    Repeated lines are rate-limited by kind (the line's fixed head, never its
    values): within each ``interval`` seconds the first ``burst`` of a group
    are logged, the rest counted, and one summary line with the count follows
    (at the group's next line after the interval, or at :meth:`flush`).
    Recipe errors and settings are never held back. A traceback
    (``print_exc``) is logged only when the line before it on that thread was.

    Values longer than ``max_value`` characters are shortened in the record
    to that prefix and their length. The caches of line texts and groups hold
    at most ``max_cache_bytes`` together (texts longer than ``max_value`` are
    never cached), whatever values clients send.

    ``counts`` gives the number of lines by kind ("queue_full", "stored",
    "round_robin", "image", "recipe", "error", "notice", "progress",
    "traceback"), suppressed lines included. A suppressed line costs the
    calling thread well under a microsecond.
    """

    def __init__(self, logger: logging.Logger | None = None, *, interval: float = 10.0, burst: int = 3,
                 clock: Callable[[], float] = time.monotonic, max_value: int = 500,
                 max_cache_bytes: int = 1 << 20):
        self.logger = logger or logging.getLogger(LOGGER_NAME)
        self.interval = float(interval)
        self.burst = int(burst)
        self.clock = clock
        self.max_value = int(max_value)
        self.max_cache_bytes = int(max_cache_bytes)
        self.suppressed_total = 0
        self._kinds: dict[str, _Count] = {}
        self._lines: dict[str, _Line] = {}
        self._windows: dict[str, _Window] = {}
        self._cache_bytes = 0
        self._lock = threading.Lock()
        self._thread = threading.local()  # the last line of each thread: (logged, its traceback level, kind)
        self._stored = self._kind("stored")
        self.traceback = _TracebackShim(self)

    @property
    def counts(self) -> dict[str, int]:
        return {k: c.n for k, c in self._kinds.items() if c.n}

    @property
    def cache_bytes(self) -> int:
        """What the caches of line texts and groups hold now (estimated)."""
        return self._cache_bytes

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
        summary = None
        with self._lock:
            line.count.n += 1
            if w is not None:
                now = self.clock()
                if now - w.start >= self.interval:
                    if w.suppressed:
                        summary = (w.level, w.kind, w.suppressed, w.sample, now - w.start)
                    w.start, w.emitted, w.suppressed = now, 0, 0
                if w.emitted >= self.burst:
                    w.suppressed += 1
                    self.suppressed_total += 1
                    self._thread.last = None
                    return
                w.emitted += 1
        self._thread.last = line
        if summary is not None:
            self._summary(*summary)
        if line.message:
            self._emit(line.level, line.kind, line.message)

    __call__ = write

    def _classify(self, text: str) -> _Line:
        plain = strip_markup(text)
        shape = next((s for s in _SHAPES if plain.startswith(s.head)), None)
        if shape is None and plain.startswith(_SETTINGS):
            return self._setting(plain)
        if shape is None and _SUMMARY_HEAD.match(plain):
            # The summary's model line: the settings that follow carry its name.
            self._thread.model = plain[2:-1]
            return _Line("", logging.DEBUG, "recipe", self._kind("recipe"), None, logging.ERROR)
        if shape is None:
            m = _TAG.search(text)
            level = logging.INFO
            if m is not None and not len(m.group(2)) % 2:
                level = next((_LEVEL_BY_STYLE[w] for w in m.group(3).split() if w in _LEVEL_BY_STYLE), logging.INFO)
            kind, head, tail, limited, tb_level = _KIND_BY_LEVEL.get(level, "progress"), "", "", True, logging.ERROR
        else:
            head, kind, level, limited, tb_level, tail = shape
        message = self._shorten(plain, len(head), len(tail) if tail and plain.endswith(tail) else 0)
        # The group: a known line's head; another line's text with its numbers
        # and addresses taken out.
        key = head or (kind + ":" + _NUMBERS.sub("#", message[:200]))
        cacheable = len(text) <= self.max_value
        with self._lock:
            if self._cache_bytes > self.max_cache_bytes:
                self._drop_caches()
            w = None
            if limited:
                w = self._windows.get(key)
                if w is None:
                    # The summary names the group (its head, or the text with its numbers
                    # as #), never the first line's values, which later lines do not share.
                    label = head.rstrip(" :") + " …" if head else key.split(":", 1)[1]
                    w = self._windows[key] = _Window(self.clock(), level, kind, label)
                    self._cache_bytes += sys.getsizeof(key) + sys.getsizeof(label) + _ENTRY_BYTES
            line = _Line(message, level, kind, self._kind(kind), w, tb_level)
            if cacheable:
                self._lines[text] = line
                self._cache_bytes += sys.getsizeof(text) + sys.getsizeof(message) + _ENTRY_BYTES
        return line

    def _setting(self, plain: str) -> _Line:
        # Never cached: the same setting line belongs to whichever model's summary it follows.
        model = getattr(self._thread, "model", None)
        setting = self._shorten(plain.strip(), 0, 0)
        message = f"recipe {self._shorten(model, 0, 0)}: {setting}" if model is not None else setting
        return _Line(message, logging.INFO, "recipe", self._kind("recipe"), None, logging.ERROR)

    def _shorten(self, plain: str, head: int, tail: int) -> str:
        value = len(plain) - head - tail
        if value <= self.max_value:
            return plain
        return (f"{plain[:head + self.max_value]}… ({value} characters in all)"
                + (plain[len(plain) - tail:] if tail else ""))

    def _drop_caches(self) -> None:
        # Lines whose text keeps changing (values in them): start afresh, but
        # keep the groups that hold back lines, so that their summaries follow.
        self._lines.clear()
        self._windows = {k: w for k, w in self._windows.items() if w.suppressed}
        self._cache_bytes = sum(sys.getsizeof(k) + sys.getsizeof(w.sample) + _ENTRY_BYTES
                                for k, w in self._windows.items())

    def _emit(self, level: int, kind: str, msg: str, args: tuple = (), exc_info: Any = None) -> None:
        logger = self.logger
        if logger.isEnabledFor(level):
            logger.handle(logger.makeRecord(logger.name, level, "interceptor." + kind, 0, msg, args, exc_info,
                                            func=kind))

    def _summary(self, level: int, kind: str, n: int, sample: str, seconds: float) -> None:
        self._emit(level, kind, "%d more lines like these in the last %.0f s: %s", (n, seconds, sample))

    def flush(self) -> int:
        """Logs the summary of every group whose interval has ended with lines
        suppressed; returns how many summaries were logged. Call it now and
        then (the middleware's background thread does)."""
        now = self.clock()
        due = []
        with self._lock:
            for w in self._windows.values():
                if w.suppressed and now - w.start >= self.interval:
                    due.append((w.level, w.kind, w.suppressed, w.sample, now - w.start))
                    w.start, w.emitted, w.suppressed = now, 0, 0
        for d in due:
            self._summary(*d)
        return len(due)

    # -- the traceback stand-in ---------------------------------------------
    def print_exc(self, limit: int | None = None, file: Any = None, chain: bool = True) -> None:
        with self._lock:
            self._kind("traceback").n += 1
        line = getattr(self._thread, "last", None)
        if line is None:
            return
        exc = sys.exc_info()
        if exc[0] is None:
            return
        self._emit(line.tb_level, line.kind, "traceback", exc_info=exc)


class _TracebackShim:
    """The module's ``traceback``: ``print_exc`` goes to the console's logger,
    anything else to the standard module."""

    def __init__(self, console: LoggingConsole):
        self.print_exc = console.print_exc

    def __getattr__(self, name: str) -> Any:
        return getattr(_traceback, name)


class _NoProgress:
    """The module's ``Progress`` under a logging console: a bar drawn into a
    log is noise (and one that stops at 50% when a recipe fails looks like a
    hang). What loaded and what failed is in the records."""

    def __init__(self, *args: Any, **kwargs: Any):
        pass

    def __enter__(self) -> "_NoProgress":
        return self

    def __exit__(self, *exc: Any) -> None:
        return None

    def add_task(self, *args: Any, **kwargs: Any) -> int:
        return 0

    def update(self, *args: Any, **kwargs: Any) -> None:
        return None


def install_logging_console(module=None, console: LoggingConsole | None = None, **options: Any) -> LoggingConsole:
    """Rebinds ``module.print`` and ``module.traceback`` (default: the
    interceptor module) to a :class:`LoggingConsole` (its ``write`` and its
    ``traceback``), ``module.Progress`` to a display that draws nothing, and
    returns the console.

    Keyword options go to :class:`LoggingConsole` (``interval``, ``burst``,
    ``logger``, ``clock``, ``max_value``, ``max_cache_bytes``). Call it once,
    at start-up; calling it again replaces the previous console.
    """
    if module is None:
        module = importlib.import_module(".interceptor", __package__)
    console = console or LoggingConsole(**options)
    setattr(module, "print", console.write)
    setattr(module, "traceback", console.traceback)
    setattr(module, "Progress", _NoProgress)
    return console
