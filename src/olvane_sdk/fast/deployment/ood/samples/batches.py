"""The directory store's files: the batch format (a header, the vectors,
their times and a CRC-32), file access that trusts no other user (owned
directories, no symbolic links followed) and the write by rename that the
store and a recipe's versions both use."""
from __future__ import annotations

import errno
import json
import os
import stat
import struct
import tempfile
import urllib.parse
import zlib
from collections.abc import Callable, Sequence
from pathlib import Path
from typing import BinaryIO

import numpy as np

from .store import LAYOUT_VERSION, Record, StoreError, clean_meta

MAGIC = b"OLVSAMP1"
SUFFIX = ".osb"
#: How the temporary file of :func:`write_atomic` is named (the store's
#: retention removes those a killed writer left).
TMP_PREFIX = ".tmp-"


def check_own_dir(path: Path) -> None:
    """StoreError unless ``path`` is a directory (not a link to one) of this
    process's user that neither group nor others may write."""
    try:
        st = os.lstat(path)
    except OSError as e:
        raise StoreError(f"{path}: {e.strerror}") from None
    if stat.S_ISLNK(st.st_mode):
        raise StoreError(f"{path}: a symbolic link; the sample store does not follow links to its directories")
    if not stat.S_ISDIR(st.st_mode):
        raise StoreError(f"{path}: not a directory")
    if st.st_uid != os.geteuid():
        raise StoreError(f"{path}: owned by uid {st.st_uid}, not by this process's user (uid {os.geteuid()}); "
                         "refusing a store directory another user prepared (remove it, or set OLVANE_SHIFT_STORE)")
    if st.st_mode & 0o022:
        raise StoreError(f"{path}: writable by group or others (mode {stat.S_IMODE(st.st_mode):04o}); the sample "
                         "store needs a directory only its user can write (chmod go-w, or remove it)")


def read_nofollow(path: Path, limit: int | None = None) -> bytes:
    """The file's bytes, refusing a symbolic link in its place."""
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NOFOLLOW | os.O_CLOEXEC)
    except OSError as e:
        if e.errno == errno.ELOOP:
            raise StoreError(f"{path}: a symbolic link; the sample store does not follow links") from None
        raise
    with os.fdopen(fd, "rb") as f:
        return f.read() if limit is None else f.read(limit)


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


def parse_name(name: str) -> tuple[int, int, str] | None:
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


def list_dir(d: Path) -> list[str]:
    try:
        return os.listdir(d)
    except (FileNotFoundError, NotADirectoryError):
        return []


def unlink_counted(path: Path) -> int:
    try:
        os.unlink(path)
        return 1
    except FileNotFoundError:  # another process's retention was first
        return 0
    except OSError as e:
        if e.errno in (errno.EROFS, errno.EACCES, errno.EPERM):
            raise
        return 0


def write_atomic(path: Path, data: bytes | Callable[[BinaryIO], object], durable: bool = False) -> None:
    """``path`` holds ``data`` (bytes, or a function that writes to the open
    file) whole or not at all: written beside it and renamed over it. With
    ``durable``, synced to disk before the rename, for a file nothing could
    write again (a recipe's reference); a stored batch lost with the machine
    is only a gap in the samples."""
    fd, tmp = tempfile.mkstemp(dir=path.parent, prefix=TMP_PREFIX)
    try:
        with os.fdopen(fd, "wb") as f:
            if callable(data):
                data(f)
            else:
                f.write(data)
            if durable:
                f.flush()
                os.fsync(f.fileno())
        os.replace(tmp, path)
    except BaseException:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        raise
