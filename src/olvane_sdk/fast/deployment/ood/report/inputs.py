"""What a report reads: the reference and live embeddings, copied out of a
handler (the live store under its lock, in arrival order) or given as
arrays, and turned into checked float32 matrices, each problem said in the
row's note instead of failing it."""
from __future__ import annotations

from collections import Counter
from collections.abc import Mapping
from typing import Any

import numpy as np


def _count(value: Any) -> int:
    try:
        return len(value)
    except TypeError:
        return 0


def _reference_matrix(value: Any, name: str) -> tuple[np.ndarray | None, str]:
    """A recipe array (``train`` or ``test``) as a float matrix, or
    ``(None, why)``. The recipe is one unit: an array with a single NaN or inf
    is reported as broken rather than quietly trimmed, since its rows were
    meant to describe the reference together."""
    if value is None:
        return None, ""
    try:
        a = np.asarray(value)
        if a.dtype.kind == "O":
            a = a.astype(np.float64)
    except (ValueError, TypeError):
        return None, f"{name} is not a numeric array"
    if a.dtype.kind not in "iuf":
        return None, f"{name} is not numeric (dtype {a.dtype})"
    if a.size == 0:
        return np.zeros((0, 0)), ""
    if a.ndim != 2:
        return None, f"{name} is not 2-D (shape {a.shape})"
    a = a.astype(np.float64, copy=False)
    bad_rows = int(np.count_nonzero(~np.isfinite(a).all(axis=1)))
    if bad_rows:
        return None, f"{name} has NaN or inf in {bad_rows} of {len(a)} rows"
    return a, ""


def _live_matrix(stored: list, width: int | None) -> tuple[np.ndarray, list[str], np.ndarray]:
    """The live vectors that can be compared with a reference of ``width``
    columns, stacked, and notes on what was left out.

    Live embeddings are independent samples, so unusable ones are dropped one
    by one rather than failing the row: entries that are not numeric vectors,
    vectors with NaN or inf, and vectors of another width. The last happens
    when ``init_models`` switched a served model to an embedding model of
    another width: the ring then holds the old model's vectors beside the new
    one's until it turns over, and only those of the reference's width live in
    the reference's space. Without a reference the most common width is kept
    (for the plot). The third value: the kept vectors' positions in ``stored``."""
    n = len(stored)
    try:
        a = np.asarray(stored, dtype=np.float64)
        if a.ndim == 2 and a.shape[1] and (width is None or a.shape[1] == width) and np.isfinite(a).all():
            return a, [], np.arange(n)
    except (ValueError, TypeError):
        pass
    vectors, positions, not_vectors, non_finite = [], [], 0, 0
    for i, v in enumerate(stored):
        try:
            x = np.asarray(v, dtype=np.float64)
        except (ValueError, TypeError):
            not_vectors += 1
            continue
        if x.ndim != 1 or x.size == 0:
            not_vectors += 1
        elif not np.isfinite(x).all():
            non_finite += 1
        else:
            vectors.append(x)
            positions.append(i)
    widths = Counter(len(x) for x in vectors)
    against = f"train {width}"
    if width is None and widths:
        width = widths.most_common(1)[0][0]
        against = f"the most common, {width}, kept"
    notes = []
    if not_vectors:
        notes.append(f"live: {not_vectors} of {n} entries are not numeric vectors, left out")
    if non_finite:
        notes.append(f"live: {non_finite} of {n} embeddings have NaN or inf, left out")
    others = sorted((w, c) for w, c in widths.items() if w != width)
    if others:
        dims = ", ".join(str(w) for w, _ in others)
        notes.append(f"live: {sum(c for _, c in others)} of {n} embeddings left out, "
                     f"dimension{'s' if len(others) > 1 else ''} {dims} != {against}")
    keep = [j for j, x in enumerate(vectors) if len(x) == width]
    return ((np.vstack([vectors[j] for j in keep]) if keep else np.zeros((0, width or 0))), notes,
            np.array([positions[j] for j in keep], dtype=int))


def _subsample(a: np.ndarray, k: int, rng: np.random.Generator) -> np.ndarray:
    if len(a) <= k:
        return a
    return a[np.sort(rng.choice(len(a), size=k, replace=False))]


def _reference_entries(entries: Any) -> dict[str, dict[str, dict[str, Any]]]:
    """reference[model][modality] = {"train": ..., "test": ...} from a
    ``train_test_embeddings``-shaped mapping. The recipe's own array objects,
    not copies: their identity keys the calibration cache."""
    reference: dict[str, dict[str, dict[str, Any]]] = {}
    for model, entry in dict(entries or {}).items():
        if not isinstance(entry, Mapping):
            continue
        for modality, e in entry.items():
            e = e if isinstance(e, Mapping) else {}
            reference.setdefault(model, {})[modality] = {"train": e.get("train"), "test": e.get("test"),
                                                         "calibration": e.get("calibration")}
    return reference


def copy_embeddings(handler, starts: dict | None = None) -> tuple[dict, dict]:
    """Copies (reference, live) out of the handler, as stored: reference[model]
    [modality] = {"train": ..., "test": ...} (the recipe's arrays);
    live[model][modality] = list of the stored vectors. The live store is
    copied under ``embedding_lock`` so the worker cannot change it meanwhile.
    Nothing is converted or checked here: that happens per row. With
    ``starts``, it receives (model, modality) -> the ring's oldest slot (its
    next write position once it has wrapped): the ring holds messages in slot
    order, and arrival order starts there."""
    reference = _reference_entries(getattr(handler, "train_test_embeddings", {}))
    live: dict[str, dict[str, list]] = {}
    lock = getattr(handler, "embedding_lock", None)
    if lock is not None and not lock.acquire(timeout=30):
        raise TimeoutError("embedding_lock was not released within 30 s")
    try:
        for model, entry in dict(getattr(handler, "live_embeddings", {}) or {}).items():
            if not isinstance(entry, Mapping):
                continue
            for modality, ring in entry.items():
                stored = ring.get("live") if isinstance(ring, Mapping) else None
                # The store replaces slots and never edits a stored vector, so
                # copying the slot list is enough.
                live.setdefault(model, {})[modality] = list(stored) if isinstance(stored, list) else []
                if starts is not None:
                    starts[(model, modality)] = _ring_start(handler, model, modality, len(live[model][modality]))
    finally:
        if lock is not None:
            lock.release()
    return reference, live


def _ring_start(handler, model: str, modality: str, n: int) -> int:
    try:
        nxt = int(getattr(handler, "embedding_indices", {})[model][modality])
    except (KeyError, TypeError, ValueError):
        return 0
    return nxt % n if n else 0
