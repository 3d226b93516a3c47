"""What a recipe directory says of itself: its two identities and which of
its versions is in place.

The **model identity** says what live embeddings of a served model are
comparable with: the embedding models the configuration names (and, for a
local model directory, its files), the text prefix and the reference's
dimensions. The reference (the train and test arrays) is the rest of the
recipe's fingerprint: live samples stay comparable while the model identity
holds, whatever the reference becomes.

The versions index (``versions/index.json``, written by
``recipes.versions`` when traffic is adopted) names the version in place; a
recipe without one is at version 1, as built.
"""
from __future__ import annotations

import hashlib
import json
import os
from pathlib import Path
from typing import Any

import numpy as np

from .layout import CONFIG_FILE, DEFAULT_TEXT_PREFIX, TRAIN_FILE

VERSIONS_DIR = "versions"
INDEX_FILE = Path(VERSIONS_DIR) / "index.json"
# Files of a local model directory hashed whole; larger ones by size alone.
_SMALL_FILE = 1 << 20


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
