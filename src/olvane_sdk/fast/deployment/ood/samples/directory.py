"""The local-directory backend: one file per batch, written under a temporary
name and renamed into place, so any number of processes (or replicas on a
shared volume) append without locks and a reader never sees half a batch.

Layout (version 1)::

    BASE/DEPLOYMENT/                      mode 0700
      layout.json                         {"layout": "olvane-shift-samples", "version": 1}
      batches/m<model, %-quoted>/<modality>/
        <newest time, ns>-<count>-<seq>-<origin, %-quoted>.osb
      results/<name>.json                 shared report (see collector)
      history/m<model, %-quoted>/<modality>.jsonl[.1]
                                          report history, a JSON object a line;
                                          rotated to .1 past HISTORY_ROTATE bytes
      leases/<name>.lock                  {"holder", "until"}, replaced whole

A batch file: ``OLVSAMP1``, a little-endian u32 header length, the header
(JSON: version, model, modality, origin, dims), the float32 vectors one after
the other, their float64 collection times, and a CRC-32 of all that. A file
whose CRC or header does not check out, or dated more than
:data:`.store.MAX_CLOCK_AHEAD` ahead, is skipped with one error.

Trust: every directory of the store (from the default base's own directory
down) must belong to this process's user and be writable by nobody else, and
is never reached through a symbolic link; the store's files are opened with
``O_NOFOLLOW``. Anything else is refused with a :class:`StoreError`, since a
directory another user could write lets them plant batches, links and leases.
"""
from __future__ import annotations

import fcntl
import json
import logging
import math
import os
import struct
import tempfile
import time
import urllib.parse
from collections.abc import Callable, Sequence
from pathlib import Path

from .batches import (SUFFIX, TMP_PREFIX, check_own_dir, decode_batch, encode_batch, list_dir, parse_name,
                      read_nofollow, unlink_counted, write_atomic)
from .store import (EXCERPT_KEY, LAYOUT_MARKER, LAYOUT_NAME, LAYOUT_VERSION, MAX_CLOCK_AHEAD, MAX_STREAMS, Record,
                    Retention, SampleStore, StoreError, Window, expire_excerpts, history_entries,
                    latest_per_key, note_offset)

log = logging.getLogger(__name__)

_STALE_TMP = 3600.0
#: The history file of a served model and modality is rotated (to ``.1``,
#: replacing the older one) past this size: at most twice this per key.
HISTORY_ROTATE = 2 << 20


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


class DirectoryStore(SampleStore):
    def __init__(self, base: str | os.PathLike, deployment: str, retention: Retention | None = None,
                 own_from: str | os.PathLike | None = None, clock: Callable[[], float] = time.time):
        """``own_from``: the topmost directory that must be this user's own
        (the default base's ``olvane-shift`` directory); the deployment's
        directory when not given."""
        super().__init__(deployment, retention, clock)
        self.base = Path(base)
        self.root = self.base / urllib.parse.quote(deployment, safe="")
        self.own_from = self.root if own_from is None else Path(own_from)
        if self.own_from != self.root and self.own_from not in self.root.parents:
            raise ValueError(f"{self.own_from} does not contain {self.root}")
        self.description = f"directory {self.root}"
        self._seq = 0
        self._reported: set[str] = set()
        self._excerpts_checked: set[str] = set()
        self._ready = False

    # -- set-up -------------------------------------------------------------
    def _ensure(self) -> None:
        """Creates the tree (0700) and checks the layout file; again after a
        failure, so a store that comes back is picked up."""
        meta = self.root / "layout.json"
        if self._ready and meta.exists():
            return
        if self._ready:  # the marker we saw is gone: the store was wiped
            self.resets += 1
        owned = [*reversed([p for p in self.root.parents if self.own_from in (p, *p.parents)]), self.root,
                 self.root / "batches", self.root / "results", self.root / "leases", self.root / "history"]
        old = os.umask(0o077)
        try:
            self.own_from.parent.mkdir(mode=0o700, parents=True, exist_ok=True)
            for d in owned:  # mkdir never follows a link in the last place; check_own_dir refuses one
                try:
                    os.mkdir(d, 0o700)
                except FileExistsError:
                    pass
                check_own_dir(d)
        finally:
            os.umask(old)
        try:
            raw = read_nofollow(meta, 4096)
        except FileNotFoundError:
            write_atomic(meta, json.dumps(LAYOUT_MARKER).encode())
        else:
            try:
                found = json.loads(raw)
            except ValueError as e:
                raise StoreError(f"{meta}: unreadable layout file: {e}") from None
            if not isinstance(found, dict) or found.get("layout") != LAYOUT_NAME \
                    or found.get("version") != LAYOUT_VERSION:
                raise StoreError(f"{meta}: layout {found!r}, this version reads {LAYOUT_NAME} {LAYOUT_VERSION}")
        self._ready = True

    def exists(self) -> bool:
        """Whether this deployment's tree is there (read only: a reader must
        not create a store)."""
        return (self.root / "layout.json").is_file()

    def deployments(self, limit: int = 100) -> list[str]:
        """The deployments under the base directory, at most ``limit``."""
        try:
            names = sorted(urllib.parse.unquote(d.name) for d in self.base.iterdir()
                           if (d / "layout.json").is_file())
        except OSError:
            return []
        return names[:limit]

    def _key_dir(self, model: str, modality: str) -> Path:
        return self.root / "batches" / ("m" + urllib.parse.quote(model, safe="")) / urllib.parse.quote(modality, safe="")

    def _key_dirs(self, keys=None, win: Window | None = None, limit: int | None = None) -> list[Path]:
        """The directories of the pairs ``keys``, else of at most ``limit`` found."""
        if keys is not None:
            return [self._key_dir(m, mod) for m, mod in sorted(set(keys))]
        out = []
        batches = self.root / "batches"
        for m in sorted(list_dir(batches)):
            for mod in sorted(list_dir(batches / m)):
                if limit is not None and len(out) >= limit:
                    if win is not None:
                        win.problems.append(f"{batches}: read stopped at {limit} streams; name the models to read")
                    return out
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
            newest = int(max((r.time for r in recs if math.isfinite(r.time)), default=0.0) * 1e9)
            name = f"{newest:020d}-{len(recs)}-{os.getpid()}.{self._seq}-{urllib.parse.quote(origin, safe='')}{SUFFIX}"
            write_atomic(d / name, encode_batch(recs))

    def _files(self, d: Path) -> list[tuple[int, int, str, Path]]:
        out = []
        for name in list_dir(d):
            p = parse_name(name)
            if p is not None:
                out.append((*p, d / name))
        out.sort(key=lambda f: f[0], reverse=True)
        return out

    def window(self, latest: int | None = None, since: float | None = None, keys=None) -> Window:
        self._ensure()
        win = Window()
        since_ns = None if since is None else int(since * 1e9)
        now = self.clock()
        ahead_ns = int((now + MAX_CLOCK_AHEAD) * 1e9)
        records: list[Record] = []
        for d in self._key_dirs(keys, win, MAX_STREAMS):
            have = 0
            timed: set[str] = set()
            for newest, count, origin, path in self._files(d):
                if since_ns is not None and newest < since_ns:
                    break
                if latest is not None and have >= latest:
                    break
                try:
                    if newest > ahead_ns:
                        raise ValueError(f"dated {newest / 1e9 - now:.0f} s ahead")
                    recs = decode_batch(read_nofollow(path))
                    if any(r.time > now + MAX_CLOCK_AHEAD for r in recs):
                        raise ValueError("a record dated ahead of its file name")
                except FileNotFoundError:  # removed by retention meanwhile
                    continue
                except (ValueError, KeyError, TypeError, struct.error, StoreError) as e:
                    problem = f"{path}: corrupt batch skipped: {e}"
                    win.problems.append(problem)
                    if str(path) not in self._reported:
                        self._reported.add(str(path))
                        log.error("olvane shift: sample store: %s", problem)
                    continue
                records += win.keep_usable(recs, str(path), now)
                have += len(recs)
                if origin not in timed:  # its newest batch: collection time against the file's
                    timed.add(origin)
                    try:
                        note_offset(win.clock_offsets, origin, newest / 1e9 - path.stat().st_mtime)
                    except FileNotFoundError:
                        pass
        win.records = latest_per_key(expire_excerpts(records, self.retention.excerpt_max_age), latest, since)
        return win

    def origins(self, names=None) -> dict[str, float]:
        self._ensure()
        wanted = None if names is None else set(names)
        out: dict[str, float] = {}
        for d in self._key_dirs():
            for newest, _, origin, _ in self._files(d):
                if wanted is None or origin in wanted:
                    out[origin] = max(out.get(origin, 0.0), newest / 1e9)
        return out

    def enforce_retention(self, now: float | None = None) -> int:
        self._ensure()
        now = self.clock() if now is None else now
        oldest_ns = int((now - self.retention.max_age) * 1e9)
        excerpts_ns = int((now - self.retention.excerpt_max_age) * 1e9)
        removed = 0
        self._excerpts_checked &= {name for d in self._key_dirs() for name in list_dir(d)}
        for d in self._key_dirs():
            kept = 0
            for newest, count, _, path in self._files(d):
                if kept >= self.retention.max_count or newest < oldest_ns:
                    removed += unlink_counted(path)
                else:
                    kept += count
                    if newest < excerpts_ns:
                        self._drop_excerpts(path)
            for name in list_dir(d):  # temporary files a killed writer left
                if name.startswith(TMP_PREFIX):
                    try:
                        if now - (d / name).stat().st_mtime > _STALE_TMP:
                            removed += unlink_counted(d / name)
                    except FileNotFoundError:
                        pass
        history = self.root / "history"
        for m in list_dir(history):
            for name in list_dir(history / m):
                path = history / m / name
                try:
                    if now - path.stat().st_mtime > self.retention.max_age:
                        removed += unlink_counted(path)
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
                    write_atomic(path, encode_batch(expire_excerpts(recs, 0.0, now=float("inf"))))
        except (OSError, ValueError, KeyError, TypeError, struct.error):
            return  # gone meanwhile, or corrupt (the window reports that)
        self._excerpts_checked.add(path.name)

    # -- report history -----------------------------------------------------
    def _history_file(self, model: str, modality: str) -> Path:
        return (self.root / "history" / ("m" + urllib.parse.quote(model, safe=""))
                / f"{urllib.parse.quote(modality, safe='')}.jsonl")

    def append_history(self, rows, time: float) -> None:
        if not rows:
            return
        self._ensure()
        for (model, modality), entries in history_entries(rows, time).items():
            path = self._history_file(model, modality)
            path.parent.mkdir(mode=0o700, exist_ok=True)
            data = "".join(json.dumps(e, allow_nan=False) + "\n" for e in entries).encode()
            fd = os.open(path, os.O_WRONLY | os.O_APPEND | os.O_CREAT, 0o600)
            try:
                # The lock orders appends against the rotation of other processes.
                fcntl.flock(fd, fcntl.LOCK_EX)
                if os.fstat(fd).st_size > HISTORY_ROTATE and os.stat(path).st_ino == os.fstat(fd).st_ino:
                    os.replace(path, path.with_name(path.name + ".1"))
                    os.close(fd)
                    fd = os.open(path, os.O_WRONLY | os.O_APPEND | os.O_CREAT, 0o600)
                os.write(fd, data)
            finally:
                os.close(fd)

    def history(self, model: str, modality: str, since: float | None = None) -> list[dict]:
        self._ensure()
        path = self._history_file(model, modality)
        rows: list = []
        for p in (path.with_name(path.name + ".1"), path):
            try:
                text = p.read_text(errors="replace")
            except FileNotFoundError:
                continue
            for line in text.splitlines():
                try:
                    rows.append(json.loads(line))
                except (ValueError, RecursionError):  # a line cut short by a full disk: counted as bad
                    rows.append(None)
        return self._retained(rows, since)

    # -- leases and shared results -----------------------------------------
    def try_lease(self, name: str, holder: str, seconds: float) -> bool:
        """The lease is a file holding ``{"holder", "until"}``, replaced whole
        by rename and never locked: a holder that hangs stops renewing and its
        lease lapses. Two processes taking an expired lease at the same moment
        may both compute one report; the read-back makes that rare, and it
        costs a computation, not a wrong result."""
        self._ensure()
        path = self.root / "leases" / f"{urllib.parse.quote(name, safe='')}.lock"
        now = self.clock()
        current = self._read_lease(path)
        if current.get("holder") != holder and current.get("until", 0) > now:
            return False
        write_atomic(path, json.dumps({"holder": holder, "until": now + seconds}).encode())
        return self._read_lease(path).get("holder") == holder

    @staticmethod
    def _read_lease(path: Path) -> dict:
        try:
            found = json.loads(read_nofollow(path, 4096))
        except FileNotFoundError:
            return {}
        except ValueError:  # unreadable: as good as lapsed
            return {}
        if not isinstance(found, dict) or not isinstance(found.get("until"), (int, float)):
            return {}
        return found

    def put_result(self, name: str, data: bytes) -> None:
        self._ensure()
        write_atomic(self.root / "results" / f"{urllib.parse.quote(name, safe='')}.json", data)

    def get_result(self, name: str) -> bytes | None:
        self._ensure()
        try:
            return read_nofollow(self.root / "results" / f"{urllib.parse.quote(name, safe='')}.json")
        except FileNotFoundError:
            return None
