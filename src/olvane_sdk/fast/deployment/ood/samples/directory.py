"""The local-directory backend: one file per batch, written under a temporary
name and renamed into place, so any number of processes (or replicas on a
shared volume) append without locks and a reader never sees half a batch.

Layout (version 1)::

    BASE/DEPLOYMENT/                      mode 0700
      layout.json                         {"layout": "olvane-shift-samples", "version": 1}
      batches/m<model, %-quoted>/<modality>/
        <newest time, ns>-<count>-<seq>-<origin, %-quoted>.osb
      results/<name>.json                 shared report (see collector)
      leases/<name>.lock                  flock + expiry time

A batch file: ``OLVSAMP1``, a little-endian u32 header length, the header
(JSON: version, model, modality, origin, dims), the float32 vectors one after
the other, their float64 collection times, and a CRC-32 of all that. A file
whose CRC or header does not check out is skipped with one error.
"""
from __future__ import annotations

import errno
import fcntl
import json
import logging
import os
import struct
import tempfile
import time
import urllib.parse
import zlib
from collections.abc import Sequence
from pathlib import Path

import numpy as np

from .store import (EXCERPT_KEY, LAYOUT_MARKER, LAYOUT_NAME, LAYOUT_VERSION, Record, Retention, SampleStore,
                    StoreError, Window, clean_meta, expire_excerpts, latest_per_key)

log = logging.getLogger(__name__)

MAGIC = b"OLVSAMP1"
SUFFIX = ".osb"
_STALE_TMP = 3600.0


def default_base(environ=None) -> Path:
    """Where samples live when OLVANE_SHIFT_STORE is unset: the user's state
    directory (``$XDG_STATE_HOME``, else ``~/.local/state``), which survives a
    restart, unlike /tmp (tmpfs on many hosts) or /dev/shm. Without a usable
    home (a container run as an arbitrary uid) the temporary directory, keyed
    by uid."""
    env = os.environ if environ is None else environ
    state = env.get("XDG_STATE_HOME") or ""
    home = env.get("HOME") or ""
    if state:
        return Path(state) / "olvane-shift" / "samples"
    if home and home != "/" and os.access(home, os.W_OK):
        return Path(home) / ".local" / "state" / "olvane-shift" / "samples"
    return Path(tempfile.gettempdir()) / f"olvane-shift-{os.getuid()}" / "samples"


def encode_batch(records: Sequence[Record]) -> bytes:
    first = records[0]
    vecs = [np.ascontiguousarray(r.embedding, dtype="<f4") for r in records]
    head = {"version": LAYOUT_VERSION, "model": first.model, "modality": first.modality,
            "origin": first.origin, "dims": [int(v.size) for v in vecs]}
    if any(r.meta for r in records):  # absent when no record has any: batches stay as small
        head["meta"] = [r.meta for r in records]
    header = json.dumps(head).encode()
    body = b"".join([MAGIC, struct.pack("<I", len(header)), header, *(v.tobytes() for v in vecs),
                     np.asarray([r.time for r in records], dtype="<f8").tobytes()])
    return body + struct.pack("<I", zlib.crc32(body))


def decode_batch(data: bytes) -> list[Record]:
    """Records of one batch file; ValueError when it does not check out."""
    if len(data) < len(MAGIC) + 8 or not data.startswith(MAGIC):
        raise ValueError("not a batch file (bad magic or too short)")
    body, (crc,) = data[:-4], struct.unpack("<I", data[-4:])
    if zlib.crc32(body) != crc:
        raise ValueError("checksum mismatch")
    (hlen,) = struct.unpack_from("<I", body, len(MAGIC))
    start = len(MAGIC) + 4
    h = json.loads(body[start:start + hlen])
    if h.get("version") != LAYOUT_VERSION:
        raise ValueError(f"layout version {h.get('version')!r}, expected {LAYOUT_VERSION}")
    dims = [int(d) for d in h["dims"]]
    off = start + hlen
    flat = np.frombuffer(body, dtype="<f4", count=sum(dims), offset=off)
    times = np.frombuffer(body, dtype="<f8", count=len(dims), offset=off + 4 * sum(dims))
    if off + 4 * sum(dims) + 8 * len(dims) != len(body):
        raise ValueError("length does not match the header")
    metas = h.get("meta")
    if not isinstance(metas, list) or len(metas) != len(dims):
        metas = [None] * len(dims)
    out, pos = [], 0
    for d, t, m in zip(dims, times, metas):
        out.append(Record(h["model"], h["modality"], flat[pos:pos + d].astype(np.float32), float(t), h["origin"],
                          clean_meta(m)))
        pos += d
    return out


def _parse_name(name: str) -> tuple[int, int, str] | None:
    """(newest ns, count, origin) from a batch file name, None for others."""
    if name.startswith(".") or not name.endswith(SUFFIX):
        return None
    parts = name[:-len(SUFFIX)].split("-", 3)
    if len(parts) != 4:
        return None
    try:
        return int(parts[0]), int(parts[1]), urllib.parse.unquote(parts[3])
    except ValueError:
        return None


class DirectoryStore(SampleStore):
    def __init__(self, base: str | os.PathLike, deployment: str, retention: Retention | None = None):
        super().__init__(deployment, retention)
        self.base = Path(base)
        self.root = self.base / urllib.parse.quote(deployment, safe="")
        self.description = f"directory {self.root}"
        self._seq = 0
        self._reported: set[str] = set()
        self._excerpts_checked: set[str] = set()
        self._ready = False

    # -- set-up -------------------------------------------------------------
    def _ensure(self) -> None:
        """Creates the tree (0700) and checks the layout file; again after a
        failure, so a store that comes back is picked up."""
        if self._ready and self.root.is_dir():
            return
        old = os.umask(0o077)
        try:
            for d in (self.base, self.root, self.root / "batches", self.root / "results", self.root / "leases"):
                d.mkdir(mode=0o700, parents=True, exist_ok=True)
            os.chmod(self.root, 0o700)
        finally:
            os.umask(old)
        meta = self.root / "layout.json"
        if meta.exists():
            try:
                found = json.loads(meta.read_text())
            except ValueError as e:
                raise StoreError(f"{meta}: unreadable layout file: {e}") from None
            if found.get("layout") != LAYOUT_NAME or found.get("version") != LAYOUT_VERSION:
                raise StoreError(f"{meta}: layout {found!r}, this version reads {LAYOUT_NAME} {LAYOUT_VERSION}")
        else:
            self._atomic_write(meta, json.dumps(LAYOUT_MARKER).encode())
        self._ready = True

    def _atomic_write(self, path: Path, data: bytes) -> None:
        fd, tmp = tempfile.mkstemp(dir=path.parent, prefix=".tmp-")
        try:
            with os.fdopen(fd, "wb") as f:
                f.write(data)
            os.replace(tmp, path)
        except BaseException:
            try:
                os.unlink(tmp)
            except OSError:
                pass
            raise

    def _key_dir(self, model: str, modality: str) -> Path:
        return self.root / "batches" / ("m" + urllib.parse.quote(model, safe="")) / urllib.parse.quote(modality, safe="")

    def _key_dirs(self) -> list[Path]:
        out = []
        batches = self.root / "batches"
        for m in _listdir(batches):
            for mod in _listdir(batches / m):
                out.append(batches / m / mod)
        return out

    # -- operations ---------------------------------------------------------
    def append(self, records: Sequence[Record]) -> None:
        if not records:
            return
        self._ensure()
        groups: dict[tuple[str, str, str], list[Record]] = {}
        for r in records:
            groups.setdefault((r.model, r.modality, r.origin), []).append(r)
        for (model, modality, origin), recs in groups.items():
            d = self._key_dir(model, modality)
            d.mkdir(mode=0o700, parents=True, exist_ok=True)
            self._seq += 1
            newest = max(int(r.time * 1e9) for r in recs)
            name = f"{newest:020d}-{len(recs)}-{os.getpid()}.{self._seq}-{urllib.parse.quote(origin, safe='')}{SUFFIX}"
            self._atomic_write(d / name, encode_batch(recs))

    def _files(self, d: Path) -> list[tuple[int, int, str, Path]]:
        out = []
        for name in _listdir(d):
            p = _parse_name(name)
            if p is not None:
                out.append((*p, d / name))
        out.sort(key=lambda f: f[0], reverse=True)
        return out

    def window(self, latest: int | None = None, since: float | None = None) -> Window:
        self._ensure()
        win = Window()
        since_ns = None if since is None else int(since * 1e9)
        records: list[Record] = []
        for d in self._key_dirs():
            have = 0
            for newest, count, _, path in self._files(d):
                if since_ns is not None and newest < since_ns:
                    break
                if latest is not None and have >= latest:
                    break
                try:
                    recs = decode_batch(path.read_bytes())
                except FileNotFoundError:  # removed by retention meanwhile
                    continue
                except (ValueError, KeyError, TypeError, struct.error) as e:
                    problem = f"{path}: corrupt batch skipped: {e}"
                    win.problems.append(problem)
                    if str(path) not in self._reported:
                        self._reported.add(str(path))
                        log.error("olvane shift: sample store: %s", problem)
                    continue
                records.extend(recs)
                have += len(recs)
        win.records = latest_per_key(expire_excerpts(records, self.retention.excerpt_max_age), latest, since)
        return win

    def origins(self) -> dict[str, float]:
        self._ensure()
        out: dict[str, float] = {}
        for d in self._key_dirs():
            for newest, _, origin, _ in self._files(d):
                out[origin] = max(out.get(origin, 0.0), newest / 1e9)
        return out

    def enforce_retention(self, now: float | None = None) -> int:
        self._ensure()
        now = time.time() if now is None else now
        oldest_ns = int((now - self.retention.max_age) * 1e9)
        excerpts_ns = int((now - self.retention.excerpt_max_age) * 1e9)
        removed = 0
        self._excerpts_checked &= {name for d in self._key_dirs() for name in _listdir(d)}
        for d in self._key_dirs():
            kept = 0
            for newest, count, _, path in self._files(d):
                if kept >= self.retention.max_count or newest < oldest_ns:
                    removed += _unlink(path)
                else:
                    kept += count
                    if newest < excerpts_ns:
                        self._drop_excerpts(path)
            for name in _listdir(d):  # temporary files a killed writer left
                if name.startswith(".tmp-"):
                    try:
                        if now - (d / name).stat().st_mtime > _STALE_TMP:
                            removed += _unlink(d / name)
                    except FileNotFoundError:
                        pass
        return removed

    def _drop_excerpts(self, path: Path) -> None:
        """Rewrites a batch whose records are all past the excerpts' age
        without them; each file is read once per process (then remembered)."""
        if path.name in self._excerpts_checked:
            return
        try:
            data = path.read_bytes()
            if b'"x":' in data:
                recs = decode_batch(data)
                if any(EXCERPT_KEY in r.meta for r in recs):
                    self._atomic_write(path, encode_batch(expire_excerpts(recs, 0.0, now=float("inf"))))
        except (OSError, ValueError, KeyError, TypeError, struct.error):
            return  # gone meanwhile, or corrupt (the window reports that)
        self._excerpts_checked.add(path.name)

    # -- leases and shared results -----------------------------------------
    def try_lease(self, name: str, holder: str, seconds: float) -> bool:
        self._ensure()
        path = self.root / "leases" / f"{urllib.parse.quote(name, safe='')}.lock"
        fd = os.open(path, os.O_RDWR | os.O_CREAT, 0o600)
        try:
            try:
                fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
            except BlockingIOError:
                return False
            raw = os.pread(fd, 4096, 0)
            try:
                current = json.loads(raw) if raw else {}
            except ValueError:
                current = {}
            now = time.time()
            if current.get("until", 0) > now and current.get("holder") != holder:
                return False
            data = json.dumps({"holder": holder, "until": now + seconds}).encode()
            os.ftruncate(fd, 0)
            os.pwrite(fd, data, 0)
            return True
        finally:
            os.close(fd)  # releases the flock

    def put_result(self, name: str, data: bytes) -> None:
        self._ensure()
        self._atomic_write(self.root / "results" / f"{urllib.parse.quote(name, safe='')}.json", data)

    def get_result(self, name: str) -> bytes | None:
        self._ensure()
        try:
            return (self.root / "results" / f"{urllib.parse.quote(name, safe='')}.json").read_bytes()
        except FileNotFoundError:
            return None


def _listdir(d: Path) -> list[str]:
    try:
        return os.listdir(d)
    except (FileNotFoundError, NotADirectoryError):
        return []


def _unlink(path: Path) -> int:
    try:
        os.unlink(path)
        return 1
    except FileNotFoundError:  # another process's retention was first
        return 0
    except OSError as e:
        if e.errno in (errno.EROFS, errno.EACCES, errno.EPERM):
            raise
        return 0
