"""The sample store's interface: what it keeps, its layout and the
operations every backend offers.

A record is one live embedding: served model, modality, the vector (float32),
the Unix time it was collected, its origin ("host:pid" of the process that
collected it) and ``meta``, short string facts about the sample that the
collector chose to keep with it (empty by default, and then nothing is
written for it).
"""
from __future__ import annotations

import abc
import hashlib
import math
import os
import re
import socket
import threading
import time
import urllib.parse
from collections import deque
from collections.abc import Callable, Iterable, Mapping, Sequence
from dataclasses import dataclass, field, replace

import numpy as np

from .history import history_entries, retained_history

#: The layout both backends write and check (docs/operating.md, "Sample store"):
#: its name and version, and the marker that states them in the store.
LAYOUT_NAME = "olvane-shift-samples"
LAYOUT_VERSION = 1
LAYOUT_MARKER = {"layout": LAYOUT_NAME, "version": LAYOUT_VERSION}

#: The window a report reads: the latest records per served model and
#: modality, as many as one process's ring holds.
WINDOW_LATEST = 1000

#: At most this many (model, modality) pairs are read when the reader does
#: not name them: a store filled with bogus names cannot make a read unbounded.
MAX_STREAMS = 64

#: Retention defaults: per served model and modality, the newest 10,000
#: records, none older than 7 days.
DEFAULT_MAX_COUNT = 10_000
DEFAULT_MAX_AGE = 7 * 24 * 3600.0

#: A record dated further ahead than this is forged or from a broken clock:
#: read as corrupt, so it cannot hold a place in every later window.
MAX_CLOCK_AHEAD = 300.0
#: ``meta`` keys (short: they are written with every record): the id vLLM
#: answered the sample's request with, the client's X-Request-Id, and the
#: masked text excerpt, which has a retention of its own
#: (``Retention.excerpt_max_age``, default a day): older records are read
#: without it.
REQUEST_ID_KEY, CLIENT_ID_KEY, EXCERPT_KEY = "rid", "cid", "x"
DEFAULT_EXCERPT_MAX_AGE = 24 * 3600.0


class StoreError(OSError):
    """The store cannot be used (unreachable, full, read-only, wrong layout)."""


@dataclass(frozen=True)
class Record:
    model: str
    modality: str
    embedding: np.ndarray  # float32, 1-D
    time: float
    origin: str
    meta: dict[str, str] = field(default_factory=dict, compare=False)


def note_offset(offsets: dict[str, float], origin: str, offset: float) -> None:
    """Keeps the largest offset per origin: a write that waited (a backlog
    after an outage) only makes a smaller one."""
    if offset > offsets.get(origin, -float("inf")):
        offsets[origin] = offset


def clean_meta(value) -> dict[str, str]:
    """A stored ``meta`` as read back: a dict of strings, anything else dropped."""
    if not isinstance(value, dict):
        return {}
    return {k: v for k, v in value.items() if isinstance(k, str) and isinstance(v, str)}


@dataclass(frozen=True)
class Retention:
    max_count: int = DEFAULT_MAX_COUNT
    max_age: float = DEFAULT_MAX_AGE
    excerpt_max_age: float = DEFAULT_EXCERPT_MAX_AGE


Key = tuple[str, str]  # (served model, modality)


@dataclass
class Window:
    """Records read from the store, oldest first, per (model, modality)."""

    records: dict[Key, list[Record]] = field(default_factory=dict)
    #: Problems met while reading (a corrupt batch, ...), one line each.
    problems: list[str] = field(default_factory=list)
    #: Records left out for a non-finite time or vector.
    dropped: int = 0

    def keep_usable(self, records: list[Record], where: str, now: float | None = None) -> list[Record]:
        """``records`` without those a report cannot use: a NaN or infinite
        time or vector (one would turn every figure of the window NaN) or a
        time more than :data:`MAX_CLOCK_AHEAD` ahead (it would stay the
        newest); counted in ``dropped`` with one problem line for ``where``."""
        limit = (time.time() if now is None else now) + MAX_CLOCK_AHEAD
        kept = [r for r in records
                if math.isfinite(r.time) and r.time <= limit and bool(np.isfinite(r.embedding).all())]
        bad = len(records) - len(kept)
        if bad:
            self.dropped += bad
            self.problems.append(f"{where}: {bad} records with a non-finite vector or time, or dated ahead, skipped")
        return kept

    #: Origin -> its clock minus the store's, in seconds, estimated from its
    #: freshest write read here (collection time against the time the store
    #: took it, so a little below the true offset). Empty when the backend
    #: has no clock of its own to compare with.
    clock_offsets: dict[str, float] = field(default_factory=dict)

    def total(self) -> int:
        return sum(len(v) for v in self.records.values())

    def summary(self) -> dict[str, dict[str, dict]]:
        """model -> modality -> {count, oldest, newest}, for /v1/shift."""
        out: dict[str, dict[str, dict]] = {}
        for (model, modality), recs in sorted(self.records.items()):
            if recs:
                out.setdefault(model, {})[modality] = {
                    "count": len(recs), "oldest": recs[0].time, "newest": recs[-1].time}
        return out

    def origin_counts(self) -> dict[str, int]:
        counts: dict[str, int] = {}
        for recs in self.records.values():
            for r in recs:
                counts[r.origin] = counts.get(r.origin, 0) + 1
        return counts


_URL = re.compile(r"(?i)\b[a-z][a-z0-9+.-]*://[^\s'\"<>]*")
_SECRET_PARAMS = ("password",)


def mask_url(text: str) -> str:
    """``text`` (a store URL, or a message quoting one) with every password
    the Redis client would take from a URL replaced by ``***``: the
    userinfo's (``redis://user:pw@host``, ``redis://:pw@host``) and a
    ``password=`` query parameter. User names stay visible. The one function
    every surface showing a store URL goes through: logs, routes, the
    command's output and errors."""
    return _URL.sub(lambda m: _mask_one(m.group(0)), str(text))


def _mask_one(url: str) -> str:
    scheme, sep, rest = url.partition("://")
    # The userinfo ends at the last "@" before the query: an unquoted "/" or
    # "@" in a password then still counts as the password's.
    cut = min((i for i in (rest.find("?"), rest.find("#")) if i >= 0), default=len(rest))
    at = rest.rfind("@", 0, cut)
    if at >= 0:
        user, colon, _ = rest[:at].partition(":")
        rest = f"{user}:***{rest[at:]}" if colon else rest
    return f"{scheme}{sep}{_mask_query(rest)}"


def _mask_query(tail: str) -> str:
    path, q, query = tail.partition("?")
    if not q:
        return tail
    query, hash_, frag = query.partition("#")
    parts = []
    for item in query.split("&"):
        name = item.partition("=")[0]
        if urllib.parse.unquote_plus(name).strip().lower() in _SECRET_PARAMS:
            item = f"{name}=***"
        parts.append(item)
    return f"{path}?{'&'.join(parts)}{hash_}{frag}"


class SampleStore(abc.ABC):
    """The operations every backend offers. Methods raise :class:`StoreError`
    (or OSError / the client's errors) on a fault; the feeder turns those
    into the ``degraded`` state, never the request path."""

    #: What to show for the store (no password).
    description: str = ""

    def __init__(self, deployment: str, retention: Retention | None = None,
                 clock: Callable[[], float] = time.time):
        self.deployment = deployment
        self.retention = retention or Retention()
        #: The wall clock of this process's leases, retention and window
        #: (tests step it; a backend whose server keeps time uses the server's).
        self.clock = clock
        #: Times this object found the layout marker gone after it had seen
        #: it (the store was wiped): it writes the marker again and counts.
        self.resets = 0
        #: Items read back that failed their schema (history rows here, parts
        #: of the stored report in the reader's count): dropped, never served.
        self.bad_items = 0

    @abc.abstractmethod
    def append(self, records: Sequence[Record]) -> None:
        """Adds the records atomically per served model and modality."""

    @abc.abstractmethod
    def window(self, latest: int | None = None, since: float | None = None,
               keys: Iterable[Key] | None = None) -> Window:
        """The latest ``latest`` records per served model and modality, or all
        since the Unix time ``since`` (both: the latest of those since); only
        the (model, modality) pairs ``keys`` when given (a reader that knows
        its recipes), else at most :data:`MAX_STREAMS` pairs found in the
        store."""

    @abc.abstractmethod
    def origins(self, names: Iterable[str] | None = None) -> dict[str, float]:
        """Origin -> Unix time of its last write, over the retained records
        (only the origins ``names`` when given)."""

    @abc.abstractmethod
    def enforce_retention(self, now: float | None = None) -> int:
        """Drops what retention no longer keeps; returns how many records
        (or batches, for the directory) went."""

    # Shared results (one computation per interval across processes).
    @abc.abstractmethod
    def try_lease(self, name: str, holder: str, seconds: float) -> bool:
        """True when ``holder`` now holds the lease ``name`` for ``seconds``
        (taken, or renewed by its holder). A lease nobody renews lapses after
        its seconds and another holder takes it over: a hung holder cannot keep it."""

    @abc.abstractmethod
    def put_result(self, name: str, data: bytes) -> None: ...

    @abc.abstractmethod
    def get_result(self, name: str) -> bytes | None: ...

    # The report history: one row per report, served model and modality.
    @abc.abstractmethod
    def append_history(self, rows: Sequence[Mapping], time: float) -> None:
        """Appends ``rows`` (plain data with ``model`` and ``modality``),
        stamped ``time`` unless they carry one."""

    @abc.abstractmethod
    def history(self, model: str, modality: str, since: float | None = None) -> list[dict]:
        """The rows of one served model and modality, oldest first, within
        retention (and from the Unix time ``since``)."""

    def close(self) -> None:
        pass

    def _retained(self, rows: Iterable, since: float | None) -> list[dict]:
        """The history rows read back that retention keeps; bad ones counted in ``bad_items``."""
        kept, bad = retained_history(rows, self.retention, since, self.clock())
        self.bad_items += bad
        return kept


class MemoryHistory:
    """The report history of a process without a store: the same bounds,
    kept in memory."""

    def __init__(self, retention: Retention | None = None, clock: Callable[[], float] = time.time):
        self.retention = retention or Retention()
        self.clock = clock
        self._rows: dict[Key, deque[dict]] = {}
        self._lock = threading.Lock()

    def append_history(self, rows: Sequence[Mapping], time: float) -> None:
        with self._lock:
            for key, entries in history_entries(rows, time).items():
                self._rows.setdefault(key, deque(maxlen=self.retention.max_count)).extend(entries)

    def history(self, model: str, modality: str, since: float | None = None) -> list[dict]:
        with self._lock:
            rows = list(self._rows.get((model, modality), ()))
        return retained_history(rows, self.retention, since, self.clock())[0]


def origin_name() -> str:
    """``host:pid``: the container's or machine's host name and this process."""
    return f"{socket.gethostname()}:{os.getpid()}"


_NAME_OK = re.compile(r"[^A-Za-z0-9._-]+")


def deployment_name(recipes: Mapping[str, str] | None = None, name: str | None = None) -> str:
    """``name`` when given (OLVANE_SHIFT_DEPLOYMENT, as the caller read it),
    else a name derived from the served models and their recipes: processes
    that compare against the same references pool their samples; another
    server with other recipes does not."""
    name = (name or "").strip()
    if name:
        return name
    items = sorted((k, os.path.realpath(v)) for k, v in (recipes or {}).items())
    digest = hashlib.sha256(repr(items).encode()).hexdigest()[:12]
    return f"recipes-{digest}"


def safe_component(text: str) -> str:
    """A file-name component for any string, unique per string."""
    clean = _NAME_OK.sub("_", text)[:60].strip(".") or "_"
    return f"{clean}~{hashlib.sha256(text.encode()).hexdigest()[:8]}"


def as_vector(value) -> np.ndarray | None:
    """A ring entry as a float32 vector, or None when it is not one."""
    try:
        a = np.asarray(value, dtype=np.float32)
    except (TypeError, ValueError):
        return None
    return a if a.ndim == 1 and a.size else None


def sample_key(embedding) -> str:
    """16 hex digits naming a stored sample by its vector: the report's
    flagged messages carry it, so what a report flagged is found again in
    the store (times are per feed, not per sample, and positions move)."""
    return hashlib.blake2b(np.ascontiguousarray(embedding, dtype=np.float32).tobytes(), digest_size=8).hexdigest()


def expire_excerpts(records: list[Record], max_age: float, now: float | None = None) -> list[Record]:
    """``records`` with the excerpt left out of those older than ``max_age``
    seconds: what both backends' ``window`` reads."""
    cut = (time.time() if now is None else now) - max_age
    return [replace(r, meta={k: v for k, v in r.meta.items() if k != EXCERPT_KEY})
            if r.time < cut and EXCERPT_KEY in r.meta else r for r in records]


def latest_per_key(records: Iterable[Record], latest: int | None, since: float | None) -> dict[Key, list[Record]]:
    out: dict[Key, list[Record]] = {}
    for r in records:
        if since is None or r.time >= since:
            out.setdefault((r.model, r.modality), []).append(r)
    for k, recs in out.items():
        recs.sort(key=lambda r: r.time)
        if latest is not None and len(recs) > latest:
            out[k] = recs[-latest:]
    return out


_DURATION = re.compile(r"^\s*(\d+(?:\.\d+)?)\s*(s|m|h|d|w)?\s*$", re.I)
_UNITS = {"s": 1, "m": 60, "h": 3600, "d": 86400, "w": 7 * 86400}


def parse_duration(text: str) -> float:
    """``90``, ``90s``, ``15m``, ``6h``, ``2d``, ``1w`` -> seconds."""
    m = _DURATION.match(text)
    if not m or float(m.group(1)) <= 0:
        raise ValueError(f"not a duration: {text!r} (e.g. 30m, 6h, 2d)")
    return float(m.group(1)) * _UNITS[(m.group(2) or "s").lower()]
