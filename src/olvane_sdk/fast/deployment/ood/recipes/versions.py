"""A recipe's versions (its identities: :mod:`..recipe_files.identity`).

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

import json
import shutil
import time
from collections.abc import Mapping
from pathlib import Path
from typing import Any

import numpy as np

from ..recipe_files.identity import INDEX_FILE, VERSIONS_DIR, current_version, read_index
from ..recipe_files.layout import TRAIN_FILE
from ..samples.batches import write_atomic

#: The role given to adopted rows in the train archive's roles member.
ADOPTED_ROLE = "user"


class VersionError(ValueError):
    """A version operation that cannot be done (the message says why)."""


def _save_index(path: Path, index: Mapping[str, Any]) -> None:
    write_atomic(path / INDEX_FILE, json.dumps(index, indent=1).encode(), durable=True)


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
    dest.parent.mkdir(parents=True, exist_ok=True)
    write_atomic(dest, lambda f: np.savez(f, **members), durable=True)
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
    write_atomic(path / TRAIN_FILE, source.read_bytes(), durable=True)

