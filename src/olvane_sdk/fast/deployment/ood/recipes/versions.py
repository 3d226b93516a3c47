"""A recipe's two identities and its versions.

The **model identity** says what live embeddings of a served model are
comparable with: the embedding models the configuration names (and, for a
local model directory, its files), the text prefix and the reference's
dimensions. The **reference identity** says what they are compared against:
the train and test arrays. Live samples stay comparable while the model
identity holds, whatever the reference becomes.

A version is the recipe's train archive at one time. Adopting new traffic
(``olvane-shift adopt``) writes the grown train archive in place, by rename,
and keeps every earlier one under ``versions/`` with what was added, when
and why, so that ``--rollback`` can put the previous one back::

    RECIPE/versions/index.json     {"current": 2, "versions": [{"version": 1, ...}, {"version": 2, ...}]}
    RECIPE/versions/1/train.npz    the train archive of version 1
    RECIPE/versions/2/train.npz    ... of version 2

A recipe without ``versions/`` is at version 1, as built. The extension reads
only the archives in place.
"""
from __future__ import annotations

import hashlib
import json
import os
import shutil
import tempfile
import time
from collections.abc import Mapping
from pathlib import Path
from typing import Any

import numpy as np

from .layout import CONFIG_FILE, DEFAULT_TEXT_PREFIX, TRAIN_FILE

VERSIONS_DIR = "versions"
INDEX_FILE = Path(VERSIONS_DIR) / "index.json"
#: The role given to adopted rows in the train archive's roles member.
ADOPTED_ROLE = "user"
# Files of a local model directory hashed whole; larger ones by size alone.
_SMALL_FILE = 1 << 20


class VersionError(ValueError):
    """A version operation that cannot be done (the message says why)."""


def _config(path: Path) -> dict[str, Any]:
    try:
        cfg = json.loads((path / CONFIG_FILE).read_text())
    except (OSError, ValueError):
        return {}
    emb = cfg.get("embeddings") if isinstance(cfg, dict) else None
    return emb if isinstance(emb, dict) else {}


def _model_files(name: Any, h) -> None:
    """A local model directory's files into the digest: names and sizes,
    small files whole (configuration, tokenizer), so a model replaced under
    the same path changes the identity."""
    if not isinstance(name, str) or not os.path.isdir(name):
        return
    for root, dirs, files in os.walk(name):
        dirs.sort()
        for f in sorted(files):
            p = Path(root) / f
            try:
                size = p.stat().st_size
                h.update(f"{p.relative_to(name)}\0{size}\0".encode())
                if size <= _SMALL_FILE:
                    h.update(p.read_bytes())
            except OSError:
                h.update(b"\xff")


def _dims(path: Path) -> dict[str, int]:
    out: dict[str, int] = {}
    try:
        with np.load(path / TRAIN_FILE) as z:
            for k in z.files:
                if k.endswith("_embeddings"):
                    shape = z[k].shape
                    out[k] = int(shape[1]) if len(shape) == 2 else -1
    except (OSError, ValueError):
        pass
    return out


def model_identity(path: str | Path) -> str:
    """12 hex digits of the recipe's model identity: model names (and local
    model files), text prefix and reference dimensions."""
    path = Path(path)
    emb = _config(path)
    h = hashlib.sha256()
    for key in ("text_model_name", "image_model_name"):
        h.update(f"{key}={emb.get(key)!r}\0".encode())
        _model_files(emb.get(key), h)
    h.update(f"prefix={emb.get('text_prefix', DEFAULT_TEXT_PREFIX)!r}\0".encode())
    h.update(json.dumps(_dims(path), sort_keys=True).encode())
    return h.hexdigest()[:12]


def read_index(path: str | Path) -> dict[str, Any]:
    """The versions index, or version 1 as built when there is none."""
    try:
        index = json.loads((Path(path) / INDEX_FILE).read_text())
        if isinstance(index, dict) and isinstance(index.get("versions"), list) and isinstance(index.get("current"), int):
            return index
    except (OSError, ValueError):
        pass
    return {"current": 1, "versions": [{"version": 1}]}


def current_version(path: str | Path) -> dict[str, Any]:
    index = read_index(path)
    return next((v for v in index["versions"] if isinstance(v, dict) and v.get("version") == index["current"]),
                {"version": index["current"]})


def _write_atomic(dest: Path, write) -> None:
    dest.parent.mkdir(parents=True, exist_ok=True)
    fd, tmp = tempfile.mkstemp(dir=dest.parent, prefix=f".{dest.name}.", suffix=".tmp")
    try:
        with os.fdopen(fd, "wb") as f:
            write(f)
            f.flush()
            os.fsync(f.fileno())
        os.replace(tmp, dest)
    except BaseException:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        raise


def _save_index(path: Path, index: Mapping[str, Any]) -> None:
    _write_atomic(path / INDEX_FILE, lambda f: f.write(json.dumps(index, indent=1).encode()))


def adopt(path: str | Path, modality: str, vectors: np.ndarray, provenance: Mapping[str, Any]) -> int:
    """Appends ``vectors`` to the train reference of ``modality`` as a new
    version (returned); the archive in place is replaced by rename and the
    one it replaces is kept for :func:`rollback`."""
    path = Path(path)
    vectors = np.asarray(vectors, dtype=np.float32)
    with np.load(path / TRAIN_FILE) as z:
        members = {k: z[k] for k in z.files}
    key = f"{modality}_embeddings"
    train = members.get(key)
    if train is None:
        raise VersionError(f"the recipe {path} has no {modality} reference to add to")
    if vectors.ndim != 2 or not len(vectors) or vectors.shape[1] != train.shape[1]:
        raise VersionError(f"{len(vectors)} {modality} embeddings of shape {vectors.shape} do not fit the "
                           f"reference's width {train.shape[1]}")
    index = read_index(path)
    old = index["current"]
    # The version in place is kept first: until the rename below nothing in place has changed.
    kept = path / VERSIONS_DIR / str(old) / "train.npz"
    if not kept.exists():
        kept.parent.mkdir(parents=True, exist_ok=True)
        shutil.copy2(path / TRAIN_FILE, kept)
    members[key] = np.concatenate([train.astype(train.dtype, copy=False), vectors.astype(train.dtype)])
    roles = members.get(f"{modality}_roles")
    if roles is not None:
        members[f"{modality}_roles"] = np.concatenate([roles, np.array([ADOPTED_ROLE] * len(vectors),
                                                                        dtype=roles.dtype)])
    new = max([v.get("version", 0) for v in index["versions"] if isinstance(v, dict)] + [old]) + 1
    dest = path / VERSIONS_DIR / str(new) / "train.npz"
    _write_atomic(dest, lambda f: np.savez(f, **members))
    entry = {"version": new, "parent": old, "adopted_at": time.time(), "modality": modality,
             "added": int(len(vectors)), **{k: v for k, v in provenance.items() if k not in ("version", "parent")}}
    index = {"current": new, "versions": [*index["versions"], entry]}
    _place(path, dest)
    _save_index(path, index)
    return new


def rollback(path: str | Path) -> int:
    """Puts the current version's parent back in place; returns its number."""
    path = Path(path)
    index = read_index(path)
    now = current_version(path)
    parent = now.get("parent")
    if not isinstance(parent, int):
        raise VersionError(f"the recipe {path} is at version {index['current']}, as built: nothing to roll back")
    kept = path / VERSIONS_DIR / str(parent) / "train.npz"
    if not kept.exists():
        raise VersionError(f"version {parent} of {path} is not kept ({kept} is missing)")
    _place(path, kept)
    _save_index(path, {**index, "current": parent,
                       "rolled_back": [*index.get("rolled_back", []), {"from": index["current"], "to": parent,
                                                                       "at": time.time()}]})
    return parent


def _place(path: Path, source: Path) -> None:
    """``source`` becomes the train archive in place, by rename of a copy."""
    _write_atomic(path / TRAIN_FILE, lambda f: f.write(source.read_bytes()))

