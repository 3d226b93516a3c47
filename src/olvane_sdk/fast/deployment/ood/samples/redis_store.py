"""The Redis backend, for a fleet: every replica appends to one stream per
served model and modality, and the server trims by count and by age.

Layout (version 1), every key under ``olvane-shift:{DEPLOYMENT}:`` (the braces
are a hash tag: on Redis Cluster all of a deployment's keys share a slot)::

    layout                 string  {"layout": "olvane-shift-samples", "version": 1}
    keys                   set     JSON [model, modality] of every stream
    s:<model>\\0<modality>  stream  fields e (float32 bytes, little-endian),
                                   t (collection time, Unix seconds), o (origin)
    origins                hash    origin -> Unix time of its last write
    lease:<name>           string  holder, SET NX EX
    result:<name>          string  shared report (JSON)

Stream IDs are the server's time, so ``XTRIM MINID`` drops records by age and
``XADD MAXLEN ~`` by count, both on the server.
"""
from __future__ import annotations

import json
import time
import urllib.parse
from collections.abc import Sequence

import numpy as np

from .store import (LAYOUT_MARKER, LAYOUT_NAME, LAYOUT_VERSION, Record, Retention, SampleStore, StoreError, Window,
                    clean_meta, expire_excerpts, latest_per_key)


def redact(url: str) -> str:
    p = urllib.parse.urlsplit(url)
    if p.password is None:
        return url
    netloc = f"{p.username + ':' if p.username else ':'}***@{p.hostname}{':' + str(p.port) if p.port else ''}"
    return urllib.parse.urlunsplit(p._replace(netloc=netloc))


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
        self.client = redis.Redis.from_url(url, socket_timeout=timeout, socket_connect_timeout=timeout,
                                           health_check_interval=30)
        self.prefix = f"olvane-shift:{{{deployment}}}:"
        self.description = f"redis {redact(url)} ({self.prefix}*)"
        self._checked = False

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
        keys, last = set(), {}
        for r in records:
            keys.add(json.dumps([r.model, r.modality]))
            entry = {"e": np.ascontiguousarray(r.embedding, dtype="<f4").tobytes(), "t": repr(r.time), "o": r.origin}
            if r.meta:
                entry["m"] = json.dumps(r.meta)
            pipe.xadd(self._stream(r.model, r.modality), entry, maxlen=self.retention.max_count, approximate=True)
            last[r.origin] = max(last.get(r.origin, 0.0), r.time)
        pipe.sadd(self._k("keys"), *keys)
        pipe.hset(self._k("origins"), mapping={o: repr(t) for o, t in last.items()})
        pipe.execute()

    def _pairs(self) -> list[tuple[str, str]]:
        out = []
        for raw in self.client.smembers(self._k("keys")):
            try:
                model, modality = json.loads(raw)
                out.append((str(model), str(modality)))
            except (ValueError, TypeError):
                continue
        return sorted(out)

    def window(self, latest: int | None = None, since: float | None = None) -> Window:
        self._ensure()
        win = Window()
        records: list[Record] = []
        for model, modality in self._pairs():
            key = self._stream(model, modality)
            if since is None:
                entries = self.client.xrevrange(key, count=latest)
            else:
                # IDs are insertion times, never earlier than collection times.
                entries = self.client.xrange(key, min=f"{int(since * 1000)}-0")
            bad = 0
            for _, fields in entries:
                try:
                    vec = np.frombuffer(fields[b"e"], dtype="<f4").copy()
                    meta = clean_meta(json.loads(fields[b"m"])) if b"m" in fields else {}
                    records.append(Record(model, modality, vec, float(fields[b"t"]), fields[b"o"].decode(), meta))
                except (KeyError, ValueError, UnicodeDecodeError):
                    bad += 1
            if bad:
                win.problems.append(f"{key}: {bad} unreadable entries skipped")
        win.records = latest_per_key(expire_excerpts(records, self.retention.excerpt_max_age), latest, since)
        return win

    def origins(self) -> dict[str, float]:
        self._ensure()
        out = {}
        for o, t in self.client.hgetall(self._k("origins")).items():
            try:
                out[o.decode()] = float(t)
            except (ValueError, UnicodeDecodeError):
                continue
        return out

    def enforce_retention(self, now: float | None = None) -> int:
        self._ensure()
        now = time.time() if now is None else now
        oldest_ms = int((now - self.retention.max_age) * 1000)
        pipe = self.client.pipeline(transaction=False)
        for model, modality in self._pairs():
            pipe.xtrim(self._stream(model, modality), minid=f"{oldest_ms}-0", approximate=False)
        pipe.hgetall(self._k("origins"))
        *trimmed, origins = pipe.execute()
        stale = [o for o, t in origins.items() if float(t) < now - self.retention.max_age]
        if stale:
            self.client.hdel(self._k("origins"), *stale)
        return int(sum(trimmed))

    def try_lease(self, name: str, holder: str, seconds: float) -> bool:
        self._ensure()
        key = self._k("lease", name)
        if self.client.set(key, holder, nx=True, ex=max(1, int(round(seconds)))):
            return True
        return self.client.get(key) == holder.encode()

    def put_result(self, name: str, data: bytes) -> None:
        self.client.set(self._k("result", name), data, ex=int(self.retention.max_age))

    def get_result(self, name: str) -> bytes | None:
        return self.client.get(self._k("result", name))

    def close(self) -> None:
        try:
            self.client.close()
        except Exception:
            pass


def is_redis_url(url: str) -> bool:
    return url.startswith(("redis://", "rediss://", "unix://"))


def open_error_types() -> tuple[type[BaseException], ...]:
    """The client's error types, for the feeder's fault handling."""
    try:
        import redis
        return (redis.RedisError,)
    except ImportError:
        return ()
