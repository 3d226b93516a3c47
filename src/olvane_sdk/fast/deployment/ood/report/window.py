"""The shift report over a window of the sample store, with no handler: the
reference read from the recipes' files (:func:`load_reference`) and the live
side from the window's records (:func:`report_from_window`)."""
from __future__ import annotations

import hashlib
from collections.abc import Mapping
from pathlib import Path
from typing import Any

import numpy as np

import json

from ..recipe_files.layout import CALIBRATION_FILE, CONFIG_FILE, TEST_FILE, TRAIN_FILE
from ..samples.store import WINDOW_LATEST, SampleStore, Window
from .compute import shift_report
from .model import MODALITIES

__all__ = ["WINDOW_LATEST", "load_reference", "recipe_fingerprint", "recipe_keys", "report_from_window",
           "split_by_fingerprint", "store_report"]


def recipe_fingerprint(path: str | Path) -> str:
    """12 hex digits of a digest of the recipe's configuration file and its
    reference arrays, as bytes: a recipe rebuilt in place gets another one.
    A missing part counts as missing, so the digest still tells recipes apart."""
    h = hashlib.sha256()
    for rel in (CONFIG_FILE, TRAIN_FILE, TEST_FILE):
        h.update(str(rel).encode() + b"\0")
        try:
            data = (Path(path) / rel).read_bytes()
        except OSError:
            h.update(b"\xff")
            continue
        h.update(len(data).to_bytes(8, "little") + data)
    return h.hexdigest()[:12]


def split_by_fingerprint(window: Window, fingerprints: Mapping[str, str],
                         model_ids: Mapping[str, str] | None = None) -> tuple[Window, dict[str, int]]:
    """``window`` with only the samples comparable with the recipes now
    loaded: of the same model identity (``model_ids``; a new reference keeps
    them) or, for samples that carry none, of the same recipe fingerprint. A
    model without a fingerprint keeps all of its. Per model, how many were
    set aside (embedded for another recipe's models, or before samples
    carried a fingerprint)."""
    kept = Window(problems=window.problems, clock_offsets=window.clock_offsets)
    aside: dict[str, int] = {}
    model_ids = model_ids or {}
    for key, recs in window.records.items():
        want, mid = fingerprints.get(key[0]), model_ids.get(key[0])
        mine = recs if want is None else [
            r for r in recs if (mid is not None and r.meta.get("model_id") == mid)
            or ("model_id" not in r.meta and r.meta.get("fingerprint") == want)]
        if len(mine) < len(recs):
            aside[key[0]] = aside.get(key[0], 0) + len(recs) - len(mine)
        if mine:
            kept.records[key] = mine
    return kept, aside


def load_reference(recipes: Mapping[str, str]) -> dict[str, dict[str, dict[str, Any]]]:
    """model -> modality -> {"train", "test"}, read from the recipes' files as
    the handler reads them (a missing part is None: its rows say n/a)."""
    out: dict[str, dict[str, dict[str, Any]]] = {}
    for model, path in recipes.items():
        parts = {}
        for split, rel in (("train", TRAIN_FILE), ("test", TEST_FILE)):
            try:
                with np.load(Path(path) / rel) as z:
                    parts[split] = {k: z[k] for k in z.files}
            except (OSError, ValueError):
                parts[split] = {}
        try:  # the recipe's own cutoffs; checked against the arrays where they are used
            stored = json.loads((Path(path) / CALIBRATION_FILE).read_text(encoding="utf-8"))
        except (OSError, ValueError):
            stored = {}
        for modality in MODALITIES:
            train = parts["train"].get(f"{modality}_embeddings")
            if train is not None:
                out.setdefault(model, {})[modality] = {
                    "train": train, "test": parts["test"].get(f"{modality}_embeddings"),
                    "calibration": stored.get(modality) if isinstance(stored, dict) else None}
    return out


def recipe_keys(models) -> list[tuple[str, str]]:
    """The (model, modality) pairs a reader of ``models`` (served model
    names) reads from a store: its own streams and no other."""
    return [(m, modality) for m in sorted(models) for modality in MODALITIES]


def report_from_window(reference: Mapping, window: Window, settings=None, sequential=None):
    """The shift report of ``window`` against ``reference`` (from
    :func:`load_reference` or a handler's ``train_test_embeddings``);
    ``sequential``: the previous report, whose alarm states it goes on from."""
    live: dict[str, dict[str, list]] = {}
    for (model, modality), recs in window.records.items():
        live.setdefault(model, {})[modality] = [r.embedding for r in recs]
    return shift_report(settings=settings, reference=reference, live=live, sequential=sequential)


def store_report(store: SampleStore, reference: Mapping, *, since: float | None = None,
                 latest: int | None = WINDOW_LATEST, settings=None, keys=None,
                 recipes: Mapping[str, str] | None = None):
    """(report, window, origins) from the store's pooled window (the pairs
    ``keys`` only, when given); with ``recipes`` (model -> recipe directory),
    only the samples collected against those recipes as they are now
    (:func:`recipe_fingerprint`)."""
    window = store.window(latest=latest, since=since, keys=keys)
    if recipes is not None:
        from ..recipe_files.identity import model_identity

        window, _ = split_by_fingerprint(window, {m: recipe_fingerprint(p) for m, p in recipes.items()},
                                         {m: model_identity(p) for m, p in recipes.items()})
    return report_from_window(reference, window, settings), window, store.origins(window.origin_counts())
