"""The page's map: reference and live embeddings projected on their first two
principal components (numpy only), at most :data:`MAP_POINTS` points, the
flagged messages first with their clusters."""
from __future__ import annotations

from collections.abc import Mapping, Sequence
from typing import Any

import numpy as np

#: The most points a map draws (reference and live together).
MAP_POINTS = 2000


def map_points(reference: np.ndarray | None, live: np.ndarray | None, flagged: np.ndarray | None = None,
               clusters: Sequence[Any] | None = None, *, limit: int = MAP_POINTS, seed: int = 0) -> dict[str, Any]:
    """Reference and live projected on their first two principal components,
    at most ``limit`` points: the flagged live vectors first (``clusters``:
    the cluster of each, or None), then an even draw from both sides.
    Returns {"reference": [[x, y]], "live": [[x, y]], "flagged": [[x, y, cluster]],
    "n_reference", "n_live"} with coordinates scaled to [0, 1]."""
    ref, lv, fl = _matrix(reference), _matrix(live), _matrix(flagged)
    width = next((m.shape[1] for m in (ref, lv, fl) if m is not None), None)
    ref, lv, fl = (m if m is not None and m.shape[1] == width else None for m in (ref, lv, fl))
    rng = np.random.default_rng(seed)
    n_ref, n_live = (0 if m is None else len(m) for m in (ref, lv))
    n_fl = 0 if fl is None else min(len(fl), limit // 2)
    rest = limit - n_fl
    take_ref = min(n_ref, max(rest // 2, rest - n_live))
    take_live = min(n_live, rest - take_ref)
    parts = [ref[np.sort(rng.choice(n_ref, take_ref, replace=False))] if take_ref else None,
             lv[np.sort(rng.choice(n_live, take_live, replace=False))] if take_live else None,
             fl[:n_fl] if n_fl else None]
    out = {"reference": [], "live": [], "flagged": [], "n_reference": n_ref, "n_live": n_live}
    if take_ref + take_live + n_fl < 2:
        return out
    z = np.concatenate([p for p in parts if p is not None]).astype(np.float64)
    z -= z.mean(axis=0)
    xy = z @ _top_components(z, rng)
    if xy.shape[1] < 2:
        xy = np.pad(xy, ((0, 0), (0, 2 - xy.shape[1])))
    lo, span = xy.min(axis=0), np.ptp(xy, axis=0)
    xy = np.round((xy - lo) / np.where(span > 0, span, 1.0), 4).tolist()
    a, b = take_ref, take_ref + take_live
    clusters = list(clusters or [])
    out["reference"], out["live"] = xy[:a], xy[a:b]
    out["flagged"] = [[x, y, clusters[i] if i < len(clusters) else None] for i, (x, y) in enumerate(xy[b:])]
    return out


def _top_components(z: np.ndarray, rng: np.random.Generator, k: int = 2, iterations: int = 6) -> np.ndarray:
    """The first ``k`` principal axes of the centred ``z`` (d x k), by
    subspace iteration with oversampling: a handful of thin products instead
    of a full d x d decomposition, enough for a picture."""
    d = z.shape[1]
    width = min(d, k + 6)
    q = np.linalg.qr(rng.standard_normal((d, width)))[0]
    for _ in range(iterations):
        q = np.linalg.qr(z.T @ (z @ q))[0]
    _, _, vt = np.linalg.svd(z @ q, full_matrices=False)
    return q @ vt[:k].T


def report_maps(report, outliers: Mapping[str, Any] | None = None, *,
                limit: int = MAP_POINTS) -> dict[str, dict[str, dict[str, Any]]]:
    """model -> modality -> :func:`map_points` of what each row of the
    :class:`.model.ShiftReport` compared (its ``arrays``: train, live and the
    flagged live vectors), the flagged coloured by the ``cluster`` of their
    entry in ``outliers`` (same order: most distant first). Made with the
    report, so the map shows what the verdict was drawn from."""
    out: dict[str, dict[str, dict[str, Any]]] = {}
    for r in report.rows:
        arrays = r.arrays or {}
        if arrays.get("train") is None and arrays.get("live") is None:
            continue
        items = flagged_of(outliers, {"model": r.model, "modality": r.modality})[0]
        out.setdefault(r.model, {})[r.modality] = map_points(
            arrays.get("train"), arrays.get("live"), arrays.get("flagged"),
            [i.get("cluster") if isinstance(i, Mapping) else None for i in items], limit=limit)
    return out


def _matrix(a) -> np.ndarray | None:
    if a is None:
        return None
    a = np.asarray(a, dtype=np.float32)
    return a if a.ndim == 2 and len(a) and a.shape[1] else None


def flagged_of(outliers: Mapping[str, Any] | None, row: Mapping) -> tuple[list, list]:
    """(flagged messages, clusters) of a row from an outlier answer of either shape."""
    got = ((outliers or {}).get(row.get("model")) or {}).get(row.get("modality"))
    if isinstance(got, Mapping):
        return list(got.get("outliers") or []), list(got.get("clusters") or [])
    return list(got or []), []
