"""Copies what the worker stores into the sample store.

:class:`RingFeeder` finds the new ring entries. Under ``embedding_lock`` it
only copies each ring's slot list (the worker waits for at most that copy);
outside the lock it compares the copy with the previous one slot by slot, by
identity. The worker stores a fresh object per embedding (``tolist()``), and
the previous copy keeps the old objects alive, so a slot holds a new record
exactly when its object is not the one it held before. That needs no index:
wrap-around and ``init_models`` resetting ``embedding_indices`` neither lose
nor repeat a record, as long as no slot is overwritten twice between two
copies (1000 embeddings per ring: minutes of traffic, against a copy per
second).

:class:`StoreFeeder` runs that copy on its own thread and writes to the
store; the event loop and the worker never do store I/O. When the store
fails, records wait in memory (bounded), one error is logged per minute,
``state`` is ``degraded`` with the reason, and the next write that works
empties the backlog and clears it. It writes in batches: when
:data:`BATCH_RECORDS` are waiting, when the oldest has waited
:data:`BATCH_SECONDS`, or when forced (a report is about to read the
window, or the feeder stops). A directory batch is one file, and a file of
one to three records takes a whole 4 KiB block or two.

Each record carries the fingerprint of the recipe its model was collected
against (``meta["fingerprint"]``) and the recipe's model identity
(``meta["model_id"]``: what the sample is comparable with), when the caller
gives them.
"""
from __future__ import annotations

import collections
import logging
import threading
import time
from collections.abc import Callable, Mapping

from .store import Record, SampleStore, as_vector, mask_url, origin_name

log = logging.getLogger(__name__)

#: Records kept in memory while the store is failing (the oldest go first).
MAX_PENDING = 50_000
LOG_EVERY = 60.0
#: A write as soon as this many records wait, or the oldest has waited this long.
BATCH_RECORDS = 256
BATCH_SECONDS = 10.0
#: Retention runs at least this often (and a quarter of the excerpts' age,
#: when shorter: an excerpt then outlives its age by at most that much).
RETENTION_EVERY = 60.0


def retention_period(excerpt_max_age: float) -> float:
    """Seconds between two retention rounds for excerpts of ``excerpt_max_age``."""
    return min(RETENTION_EVERY, max(1.0, excerpt_max_age / 4))


class RingFeeder:
    def __init__(self, handler, lock_timeout: float = 5.0):
        self.handler = handler
        self.lock_timeout = lock_timeout
        self._prev: dict[tuple, list] = {}
        self._index: dict[tuple, int] = {}
        #: Seconds the last copy held ``embedding_lock``.
        self.hold_seconds = 0.0

    def take(self) -> list[tuple[str, str, object]]:
        """New entries since the last call, (model, modality, entry), in the
        order they were written."""
        h = self.handler
        lock = h.embedding_lock
        if not lock.acquire(timeout=self.lock_timeout):
            return []
        t0 = time.perf_counter()
        try:
            snap = {}
            for model, entry in list(h.live_embeddings.items()):
                for modality, ring in list(entry.items()):
                    live = ring.get("live") if isinstance(ring, dict) else None
                    if isinstance(live, list):
                        snap[(model, modality)] = list(live)
            indices = {m: dict(v) for m, v in h.embedding_indices.items() if isinstance(v, dict)}
        finally:
            self.hold_seconds = time.perf_counter() - t0
            lock.release()
        out = []
        for key, cur in snap.items():
            prev = self._prev.get(key, [])
            was = self._index.get(key, 0)
            now = _index(indices, key)
            appended = list(range(len(prev), len(cur)))
            replaced = [i for i in range(min(len(prev), len(cur))) if cur[i] is not prev[i]]
            if replaced:
                # Overwrites go round from where the index stood after the
                # appends. Unless init_models reset it meanwhile (the index
                # is not where the writes would have left it): then the slots
                # below the index were written after the reset, last.
                size = len(cur)
                start = (was + len(appended)) % size
                if now == (start + len(replaced)) % size:
                    replaced.sort(key=lambda i: (i - start) % size)
                else:
                    replaced = sorted((i for i in replaced if i >= now), key=lambda i: (i - start) % size) \
                        + [i for i in replaced if i < now]
            for i in appended + replaced:
                out.append((key[0], key[1], cur[i]))
            self._prev[key] = cur
            self._index[key] = now
        return out


def _index(indices: dict, key: tuple) -> int:
    i = indices.get(key[0], {}).get(key[1], 0)
    return i if isinstance(i, int) else 0


class StoreFeeder:
    def __init__(self, handler, store: SampleStore, *, interval: float = 1.0, retention_every: float = RETENTION_EVERY,
                 origin: str | None = None, clock: Callable[[], float] = time.time,
                 on_error: Callable[[], None] | None = None, fingerprints: Mapping[str, str] | None = None,
                 batch_records: int = BATCH_RECORDS, batch_seconds: float = BATCH_SECONDS,
                 meta_of: Callable[[object], dict[str, str] | None] | None = None,
                 model_ids: Mapping[str, str] | None = None):
        self.rings = RingFeeder(handler)
        #: The facts kept with a ring entry (looked up by the entry itself), if any.
        self.meta_of = meta_of
        self.store = store
        self.interval = interval
        self.retention_every = retention_every
        self.origin = origin or origin_name()
        self.clock = clock
        self.on_error = on_error
        self.metas = {m: {"fingerprint": fp} for m, fp in (fingerprints or {}).items()}
        for m, mid in (model_ids or {}).items():
            self.metas.setdefault(m, {})["model_id"] = mid
        self.batch_records = batch_records
        self.batch_seconds = batch_seconds
        self.pending: collections.deque[Record] = collections.deque()
        self.state = "ok"
        self.reason: str | None = None
        self.errors = 0
        self.written = 0
        self.dropped = 0
        self.not_vectors = 0
        self.last_write: float | None = None
        self._last_log = -float("inf")
        self._since_log = 0
        self._retention_at = 0.0
        self._retry_at = 0.0
        self._backoff = interval
        self._stop = threading.Event()
        self._thread: threading.Thread | None = None
        self._lock = threading.Lock()

    # -- the loop ----------------------------------------------------------
    def use_recipe(self, model: str, fingerprint: str, model_id: str) -> None:
        """What the samples of ``model`` carry from now on (its recipe has a
        new reference): one assignment, read by the feeding thread whole."""
        self.metas = {**self.metas, model: {"fingerprint": fingerprint, "model_id": model_id}}

    def start(self) -> None:
        if self._thread is None:
            self._thread = threading.Thread(target=self._run, name="olvane-shift-store", daemon=True)
            self._thread.start()

    def stop(self, timeout: float = 10.0) -> None:
        """Ends the thread after one last copy and write."""
        self._stop.set()
        if self._thread is not None:
            self._thread.join(timeout)
            self._thread = None

    def _run(self) -> None:
        while True:
            stopping = self._stop.wait(self.interval)
            try:
                self.run_once(force=stopping)
            except Exception:  # never let the thread die: the next round tries again
                log.exception("olvane shift: sample store feeder")
            if stopping:
                return

    def run_once(self, force: bool = False) -> int:
        """One round: copy the new entries, write what is pending (unless
        backing off from a failure); returns the records written. Safe to
        call from another thread (the report flushes before it reads)."""
        with self._lock:
            return self._round(force)

    def _round(self, force: bool) -> int:
        now = self.clock()
        for model, modality, entry in self.rings.take():
            vec = as_vector(entry)
            if vec is None:
                self.not_vectors += 1
                continue
            model = str(model)
            traced = self.meta_of(entry) if self.meta_of is not None else None
            meta = {**self.metas.get(model, {}), **traced} if traced else self.metas.get(model, {})
            self.pending.append(Record(model, str(modality), vec, now, self.origin, meta))
        over = len(self.pending) - MAX_PENDING
        if over > 0:
            for _ in range(over):
                self.pending.popleft()
            self.dropped += over
        written = self._write(force, now)
        # On its own timer, not after a write: an idle server's old records
        # and excerpts go too (docs/operating.md, "Privacy").
        if now - self._retention_at >= self.retention_every and now >= self._retry_at:
            self._retention_at = now
            try:
                self.store.enforce_retention(now)
            except Exception as e:
                self.note_failure(e, now)
        return written

    def _write(self, force: bool, now: float) -> int:
        if not self.pending or (not force and now < self._retry_at):
            return 0
        if not force and len(self.pending) < self.batch_records and now - self.pending[0].time < self.batch_seconds:
            return 0
        batch = list(self.pending)
        try:
            self.store.append(batch)
        except Exception as e:
            self.note_failure(e, now)
            return 0
        for _ in batch:
            self.pending.popleft()
        self.written += len(batch)
        self.last_write = now
        if self.state != "ok":
            log.warning("olvane shift: sample store %s works again; %d records caught up",
                        self.store.description, len(batch))
        self.state, self.reason, self._backoff, self._retry_at = "ok", None, self.interval, 0.0
        return len(batch)

    def note_failure(self, e: BaseException, now: float) -> None:
        self.errors += 1
        if self.on_error is not None:
            try:
                self.on_error()
            except Exception:
                pass
        self.state, self.reason = "degraded", mask_url(f"{type(e).__name__}: {e}")
        self._retry_at = now + self._backoff
        self._backoff = min(self._backoff * 2, 30.0)
        self._since_log += 1
        if now - self._last_log >= LOG_EVERY:
            more = f" ({self._since_log - 1} more errors since the last line)" if self._last_log > 0 else ""
            log.error("olvane shift: sample store %s failed: %s; collection goes on in memory (%d records "
                      "waiting)%s", self.store.description, self.reason, len(self.pending), more)
            self._last_log, self._since_log = now, 0

    def status(self) -> dict:
        return {"backend": self.store.description, "state": self.state, "reason": self.reason,
                "errors": self.errors, "written": self.written, "pending": len(self.pending),
                "dropped": self.dropped, "last_write": self.last_write, "origin": self.origin}
