"""The Redis backend, for a fleet: every replica appends to one stream per
served model and modality, and the server trims by count and by age.

Layout (version 1), every key under ``olvane-shift:{DEPLOYMENT}:`` (the braces
are a hash tag: on Redis Cluster all of a deployment's keys share a slot)::

    layout                 string  {"layout": "olvane-shift-samples", "version": 1}
    keys                   set     JSON [model, modality] of every stream
    s:<model>\\0<modality>  stream  fields e (float32 bytes, little-endian),
                                   t (collection time, Unix seconds), o (origin);
                                   expires max_age after its last append
    origins                hash    origin -> Unix time of its last write
    lease:<name>           string  holder, SET NX PX; renewed by its holder only
    result:<name>          string  shared report (JSON)
    h:<model>\\0<modality>  list    report history, JSON a row, oldest first;
                                   capped at the retention's count, expiring
                                   after its age without a write

Stream IDs are the server's time, so ``XTRIM MINID`` drops records by age and
``XADD MAXLEN ~`` by count, both on the server.
"""
from __future__ import annotations

import json
import time
from collections.abc import Sequence

import numpy as np

from .store import (LAYOUT_MARKER, LAYOUT_NAME, LAYOUT_VERSION, MAX_STREAMS, Key, Record, Retention, SampleStore,
                    StoreError, Window, clean_meta, expire_excerpts, history_entries, latest_per_key, mask_url,
                    note_offset)

#: Members of ``keys`` a read without named pairs looks at, at most.
MAX_SCAN = 4096

#: Renews the lease only for its holder (GET then PEXPIRE would renew one
#: another process took over in between).
_RENEW = """
if redis.call('get', KEYS[1]) == ARGV[1] then
  return redis.call('pexpire', KEYS[1], ARGV[2])
end
return 0
"""


class RedisStore(SampleStore):
    def __init__(self, url: str, deployment: str, retention: Retention | None = None, timeout: float = 2.0):
        super().__init__(deployment, retention)
        try:
            import redis
        except ImportError:
            raise StoreError("OLVANE_SHIFT_STORE is a redis:// URL but the redis client is not installed "
                             "(pip install 'olvane-sdk[redis]')") from None
        self._redis = redis
        # Short timeouts: a store that hangs must not hold the feeder for long.
        self.description = f"redis {mask_url(url)} (olvane-shift:{{{deployment}}}:*)"
        try:
            self.client = redis.Redis.from_url(url, socket_timeout=timeout, socket_connect_timeout=timeout,
                                               health_check_interval=30)
        except ValueError as e:  # the client's message may quote the URL
            raise StoreError(f"not a Redis URL the client takes: {mask_url(str(e))}") from None
        self.prefix = f"olvane-shift:{{{deployment}}}:"
        self._checked = False
        self._written: set[str] = set()  # streams this process appends to: its retention trims them

    def _k(self, *parts: str) -> str:
        return self.prefix + ":".join(parts)

    def _stream(self, model: str, modality: str) -> str:
        return self._k("s", f"{model}\0{modality}")

    def _ensure(self) -> None:
        if self._checked:
            return
        want = json.dumps(LAYOUT_MARKER)
        self.client.set(self._k("layout"), want, nx=True)
        found = self.client.get(self._k("layout"))
        try:
            meta = json.loads(found or "{}")
        except ValueError:
            meta = {}
        if meta.get("layout") != LAYOUT_NAME or meta.get("version") != LAYOUT_VERSION:
            raise StoreError(f"{self._k('layout')}: layout {found!r}, this version reads {want}")
        self._checked = True

    def append(self, records: Sequence[Record]) -> None:
        if not records:
            return
        self._ensure()
        pipe = self.client.pipeline(transaction=False)
        # The marker again with every write: a server restarted empty is
        # noticed at the next write, and its layout recreated.
        pipe.set(self._k("layout"), json.dumps(LAYOUT_MARKER), nx=True)
        keys, last, streams = set(), {}, set()
        for r in records:
            keys.add(json.dumps([r.model, r.modality]))
            streams.add(self._stream(r.model, r.modality))
            entry = {"e": np.ascontiguousarray(r.embedding, dtype="<f4").tobytes(), "t": repr(r.time), "o": r.origin}
            if r.meta:
                entry["m"] = json.dumps(r.meta)
            pipe.xadd(self._stream(r.model, r.modality), entry, maxlen=self.retention.max_count, approximate=True)
            last[r.origin] = max(last.get(r.origin, 0.0), r.time)
        for key in streams:  # a stream no process writes any more goes with its age
            pipe.pexpire(key, int(self.retention.max_age * 1000))
        pipe.sadd(self._k("keys"), *keys)
        pipe.hset(self._k("origins"), mapping={o: repr(t) for o, t in last.items()})
        if pipe.execute()[0]:
            self.resets += 1
        self._written |= streams

    def _pairs(self, win: Window | None = None) -> list[Key]:
        """At most MAX_STREAMS pairs named in ``keys``, looking at no more
        than MAX_SCAN members; a problem line on ``win`` when it stopped short."""
        out: set[Key] = set()
        seen = 0
        for raw in self.client.sscan_iter(self._k("keys"), count=500):
            seen += 1
            try:
                model, modality = json.loads(raw)
                if isinstance(model, str) and isinstance(modality, str):
                    out.add((model, modality))
            except (ValueError, TypeError):
                pass
            if len(out) >= MAX_STREAMS or seen >= MAX_SCAN:
                if win is not None:
                    win.problems.append(f"{self._k('keys')}: read stopped at {len(out)} streams "
                                        f"({seen} members looked at); name the models to read")
                break
        return sorted(out)

    def window(self, latest: int | None = None, since: float | None = None, keys=None) -> Window:
        self._ensure()
        win = Window()
        records: list[Record] = []
        # Never more than retention keeps per stream, whatever the window asks.
        count = min(latest or self.retention.max_count, self.retention.max_count)
        for model, modality in (sorted(set(keys)) if keys is not None else self._pairs(win)):
            key = self._stream(model, modality)
            # IDs are insertion times, never earlier than collection times.
            entries = self.client.xrevrange(key, min="-" if since is None else f"{int(since * 1000)}-0", count=count)
            bad, got = 0, []
            for sid, fields in entries:
                try:
                    vec = np.frombuffer(fields[b"e"], dtype="<f4").copy()
                    meta = clean_meta(json.loads(fields[b"m"])) if b"m" in fields else {}
                    rec = Record(model, modality, vec, float(fields[b"t"]), fields[b"o"].decode(), meta)
                    # Stream IDs are the server's milliseconds: its clock against the writer's.
                    note_offset(win.clock_offsets, rec.origin, rec.time - int(sid.split(b"-")[0]) / 1000)
                    got.append(rec)
                except (KeyError, ValueError, TypeError, UnicodeDecodeError):
                    bad += 1
            if bad:
                win.problems.append(f"{key}: {bad} unreadable entries skipped")
            records += win.keep_usable(got, key)
        win.records = latest_per_key(expire_excerpts(records, self.retention.excerpt_max_age), latest, since)
        return win

    def origins(self, names=None) -> dict[str, float]:
        self._ensure()
        if names is not None:
            names = sorted(set(names))
            found = zip(names, self.client.hmget(self._k("origins"), names)) if names else ()
        else:
            found = ((o.decode(errors="replace"), t) for o, t in self.client.hgetall(self._k("origins")).items())
        out = {}
        for o, t in found:
            try:
                out[o] = float(t)
            except (TypeError, ValueError):
                continue
        return out

    def enforce_retention(self, now: float | None = None) -> int:
        self._ensure()
        now = time.time() if now is None else now
        oldest_ms = int((now - self.retention.max_age) * 1000)
        pipe = self.client.pipeline(transaction=False)
        for key in sorted(self._written):
            pipe.xtrim(key, minid=f"{oldest_ms}-0", approximate=False)
        trimmed = pipe.execute()
        stale = []
        for seen, (o, t) in enumerate(self.client.hscan_iter(self._k("origins"), count=500)):
            if seen >= MAX_SCAN:  # a bounded look per round: a flood of names cannot stall retention
                break
            if not _float(t) >= now - self.retention.max_age:
                stale.append(o)
        if stale:
            self.client.hdel(self._k("origins"), *stale)
        return int(sum(trimmed))

    def try_lease(self, name: str, holder: str, seconds: float) -> bool:
        self._ensure()
        key, ms = self._k("lease", name), max(1, int(seconds * 1000))
        if self.client.set(key, holder, nx=True, px=ms):
            return True
        return bool(self.client.eval(_RENEW, 1, key, holder, ms))

    def put_result(self, name: str, data: bytes) -> None:
        self.client.set(self._k("result", name), data, ex=int(self.retention.max_age))

    def get_result(self, name: str) -> bytes | None:
        return self.client.get(self._k("result", name))

    def exists(self) -> bool:
        """Whether this deployment has a layout key (read only: a reader
        must not create a store)."""
        return bool(self.client.exists(self._k("layout")))

    def deployments(self, limit: int = 100, max_calls: int = 1000) -> list[str]:
        """The deployments on this server (their layout keys), at most
        ``limit``, found with at most ``max_calls`` SCAN calls."""
        found: set[str] = set()
        cursor, calls = 0, 0
        while calls < max_calls and len(found) < limit:
            cursor, keys = self.client.scan(cursor, match="olvane-shift:{*}:layout", count=1000)
            calls += 1
            for k in keys:
                k = k.decode(errors="replace") if isinstance(k, bytes) else k
                found.add(k[len("olvane-shift:{"):-len("}:layout")])
            if cursor == 0:
                break
        return sorted(found)[:limit]

    def append_history(self, rows, time: float) -> None:
        if not rows:
            return
        self._ensure()
        pipe = self.client.pipeline(transaction=False)
        for (model, modality), entries in history_entries(rows, time).items():
            key = self._k("h", f"{model}\0{modality}")
            pipe.rpush(key, *(json.dumps(e, allow_nan=False) for e in entries))
            pipe.ltrim(key, -self.retention.max_count, -1)
            pipe.expire(key, max(1, int(self.retention.max_age)))
        pipe.execute()

    def history(self, model: str, modality: str, since: float | None = None) -> list[dict]:
        self._ensure()
        rows: list = []
        for raw in self.client.lrange(self._k("h", f"{model}\0{modality}"), 0, -1):
            try:
                rows.append(json.loads(raw))
            except (ValueError, RecursionError):
                rows.append(None)
        return self._retained(rows, since)

    def close(self) -> None:
        try:
            self.client.close()
        except Exception:
            pass


def _float(value) -> float:
    try:
        return float(value)
    except (TypeError, ValueError):
        return float("nan")


def is_redis_url(url: str) -> bool:
    return url.startswith(("redis://", "rediss://", "unix://"))


def open_error_types() -> tuple[type[BaseException], ...]:
    """The client's error types, for the feeder's fault handling."""
    try:
        import redis
        return (redis.RedisError,)
    except ImportError:
        return ()
