"""A new version of a loaded recipe, picked up while serving.

Once a second the background thread asks :meth:`RecipeWatch.check`, which
looks at each recipe's files (a ``stat`` each) and, when they changed, at its
identities. A new reference under the same model identity (an adoption, a
rollback, a rebuild from more texts with the same models) replaces the
handler's reference arrays for that served model, by one assignment of a new
``train_test_embeddings`` map: the worker never reads it, the report reads it
whole, and the live samples stay comparable. A changed model identity
cannot be taken on the fly: the models would have to be loaded again, and
live samples embedded by the old ones would be compared with a reference of
the new. It is said loudly, once per change, and the process keeps serving
what it loaded.
"""
from __future__ import annotations

import logging
import os
from pathlib import Path
from typing import Any, Callable

import numpy as np

from ..recipe_files.layout import CONFIG_FILE, TEST_FILE, TRAIN_FILE
from ..recipe_files.identity import current_version, model_identity
from ..report.window import recipe_fingerprint

log = logging.getLogger(__name__)


def _stamp(path: Path) -> tuple:
    out = []
    for rel in (CONFIG_FILE, TRAIN_FILE, TEST_FILE):
        try:
            st = os.stat(path / rel)
            out.append((st.st_ino, st.st_size, st.st_mtime_ns))
        except OSError:
            out.append(None)
    return tuple(out)


class RecipeWatch:
    """Watches ``recipes`` (served model -> recipe directory) loaded into
    ``handler``. ``on_swap(model, fingerprint, model_id)`` is called after a
    new reference is in place; ``swaps`` counts them and ``restart_needed``
    names the recipes whose model identity changed since start-up."""

    def __init__(self, recipes: dict[str, str], handler: Any, fingerprints: dict[str, str],
                 on_swap: Callable[[str, str, str], None] | None = None):
        self.recipes = {m: Path(p) for m, p in recipes.items()}
        self.handler = handler
        self.on_swap = on_swap
        self.fingerprints = dict(fingerprints)
        self.model_ids = {m: model_identity(p) for m, p in self.recipes.items()}
        self.stamps = {m: _stamp(p) for m, p in self.recipes.items()}
        self.versions = {m: current_version(p) for m, p in self.recipes.items()}
        self.swaps = 0
        self.restart_needed: dict[str, str] = {}
        #: model -> the last change taken, as the history's event row tells it
        self.events: dict[str, dict[str, Any]] = {}

    def check(self) -> list[str]:
        """The served models whose reference was replaced by this call."""
        swapped = []
        for model, path in self.recipes.items():
            stamp = _stamp(path)
            if stamp == self.stamps.get(model):
                continue
            self.stamps[model] = stamp
            try:
                if self._take(model, path):
                    swapped.append(model)
            except Exception as e:  # a recipe caught mid-write: the next change is tried again
                log.warning("olvane shift: the recipe for %s changed but could not be read: %s", model, e)
                self.stamps[model] = None  # type: ignore[assignment]
        return swapped

    def _take(self, model: str, path: Path) -> bool:
        fp = recipe_fingerprint(path)
        if fp == self.fingerprints.get(model):
            return False
        mid = model_identity(path)
        if mid != self.model_ids.get(model):
            if self.restart_needed.get(model) != mid:
                self.restart_needed[model] = mid
                log.error("olvane shift: the recipe for %s now names other embedding models or dimensions (model "
                          "identity %s -> %s): restart the server to load them; until then this process keeps the "
                          "models and reference it loaded", model, self.model_ids.get(model), mid)
            return False
        entry = self._reference(path, model)
        refs = dict(getattr(self.handler, "train_test_embeddings", {}) or {})
        refs[model] = entry
        # One assignment: a reader sees the old map or the new, whole.
        self.handler.train_test_embeddings = refs
        old, self.fingerprints[model] = self.fingerprints.get(model), fp
        self.restart_needed.pop(model, None)
        before, self.versions[model] = self.versions.get(model) or {}, current_version(path)
        after = self.versions[model]
        self.events[model] = {
            "event": "rollback" if (after.get("version") or 0) < (before.get("version") or 0)
            else "adopt" if after.get("added") else "reference",
            "version": after.get("version"), "from_version": before.get("version"),
            **{k: after.get(k) for k in ("added", "clusters", "reason", "since", "until") if after.get(k) is not None}}
        self.swaps += 1
        log.info("olvane shift: the recipe for %s has a new reference (fingerprint %s -> %s, version %s): the "
                 "report compares with it from now on; live samples are kept", model, old, fp,
                 self.versions[model].get("version"))
        if self.on_swap is not None:
            self.on_swap(model, fp, mid)
        return True

    def _reference(self, path: Path, model: str) -> dict[str, dict[str, Any]]:
        """The served model's entry as the handler's loader builds it:
        modality -> {"train", "train_roles", "test"}, text first."""
        with np.load(path / TRAIN_FILE) as z:
            train = {k: z[k] for k in z.files}
        with np.load(path / TEST_FILE) as z:
            test = {k: z[k] for k in z.files}
        entry: dict[str, dict[str, Any]] = {}
        for modality in ("text", "image"):
            key = f"{modality}_embeddings"
            if key in train:
                entry[modality] = {"train": train[key], "train_roles": train.get(f"{modality}_roles"),
                                   "test": test.get(key)}
        if not entry:
            raise ValueError("no reference embeddings in the train archive")
        return entry

    def modalities(self, model: str) -> list[str]:
        return sorted((getattr(self.handler, "train_test_embeddings", {}) or {}).get(model) or {})

    def annotate(self, recipes: dict[str, dict]) -> None:
        """``/v1/shift``'s ``recipes``: each loaded recipe's version, when it
        was adopted, and whether a restart is needed."""
        for model, st in recipes.items():
            v = self.versions.get(model)
            if v is None or st.get("state") != "loaded":
                continue
            st["version"] = v.get("version")
            st["adopted_at"] = v.get("adopted_at")
            if model in self.restart_needed:
                st["restart_needed"] = "the recipe names other embedding models or dimensions"
