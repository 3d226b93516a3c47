"""The shift report over a window of the sample store, with no handler: the
reference read from the recipes' files (:func:`load_reference`) and the live
side from the window's records (:func:`report_from_window`)."""
from __future__ import annotations

from collections.abc import Mapping
from pathlib import Path
from typing import Any

import numpy as np

from ..recipes.layout import TEST_FILE, TRAIN_FILE
from ..samples.store import WINDOW_LATEST, SampleStore, Window
from .compute import shift_report
from .model import MODALITIES

__all__ = ["WINDOW_LATEST", "load_reference", "recipe_keys", "report_from_window", "store_report"]


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
        for modality in MODALITIES:
            train = parts["train"].get(f"{modality}_embeddings")
            if train is not None:
                out.setdefault(model, {})[modality] = {"train": train,
                                                       "test": parts["test"].get(f"{modality}_embeddings")}
    return out


def recipe_keys(models) -> list[tuple[str, str]]:
    """The (model, modality) pairs a reader of ``models`` (served model
    names) reads from a store: its own streams and no other."""
    return [(m, modality) for m in sorted(models) for modality in MODALITIES]


def report_from_window(reference: Mapping, window: Window, settings=None):
    """The shift report of ``window`` against ``reference`` (from
    :func:`load_reference` or a handler's ``train_test_embeddings``)."""
    live: dict[str, dict[str, list]] = {}
    for (model, modality), recs in window.records.items():
        live.setdefault(model, {})[modality] = [r.embedding for r in recs]
    return shift_report(settings=settings, reference=reference, live=live)


def store_report(store: SampleStore, reference: Mapping, *, since: float | None = None,
                 latest: int | None = WINDOW_LATEST, settings=None, keys=None):
    """(report, window, origins) from the store's pooled window (the pairs
    ``keys`` only, when given)."""
    window = store.window(latest=latest, since=since, keys=keys)
    return report_from_window(reference, window, settings), window, store.origins(window.origin_counts())
