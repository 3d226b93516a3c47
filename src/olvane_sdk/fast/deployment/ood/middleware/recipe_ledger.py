"""The deployment's recipe ledger: for each served model, the fingerprint of
the recipe its pooled samples are judged against, and since when."""
from __future__ import annotations

import json
import logging
import time
from typing import Any, Callable

from ..samples import SampleStore

log = logging.getLogger(__name__)

#: model -> {fingerprint, since}: the stored ledger.
RECIPES = "recipes"


class RecipeLedger:
    """The ledger in ``store`` against the recipes loaded here
    (``fingerprints``: served model -> fingerprint)."""

    def __init__(self, store: SampleStore, fingerprints: dict[str, str], clock: Callable[[], float] = time.time,
                 model_ids: dict[str, str] | None = None):
        self.store = store
        self.fingerprints = fingerprints
        self.model_ids = model_ids if model_ids is not None else {}
        self.clock = clock

    def update(self, aside: dict[str, int]) -> dict[str, dict]:
        """The stored ledger, each model's entry replaced (with one warning)
        by the recipe loaded here when it differs; ``aside`` is how many of
        the window's samples per model were collected against another one."""
        raw = self.store.get_result(RECIPES)
        try:
            stored = json.loads(raw) if raw else {}
        except (ValueError, UnicodeDecodeError):
            stored = {}
        if not isinstance(stored, dict):
            stored = {}
        changed = False
        for model, fp in self.fingerprints.items():
            entry = stored.get(model)
            entry = entry if isinstance(entry, dict) else {}
            old, mid = entry.get("fingerprint"), self.model_ids.get(model)
            if old == fp:
                continue
            same_models = mid is not None and entry.get("model_id") == mid
            if same_models:
                log.info("olvane shift: the recipe for %s has a new reference (fingerprint %s -> %s); the samples "
                         "are kept (same models)", model, old, fp)
            elif old is not None or aside.get(model):
                log.warning("olvane shift: the recipe for %s changed (fingerprint %s -> %s): %d samples in the "
                            "window, collected against another recipe, are set aside; the report compares only "
                            "samples of the recipe loaded now", model, old or "none", fp, aside.get(model, 0))
            stored[model] = {"fingerprint": fp, "since": entry.get("since", self.clock()) if same_models
                             else self.clock(), "reference_since": self.clock(),
                             **({"model_id": mid} if mid is not None else {})}
            changed = True
        if changed:
            self.store.put_result(RECIPES, json.dumps(stored).encode())
        return stored

    def mine(self, theirs: Any) -> bool:
        """Whether a report whose ``fingerprints`` (or ledger) are ``theirs``
        judged the samples against the recipes loaded here (not a recipe
        since rebuilt, or another version's during a rolling update)."""
        theirs = theirs if isinstance(theirs, dict) else {}

        def fp(entry: Any) -> Any:
            return entry.get("fingerprint") if isinstance(entry, dict) else entry

        return all(fp(theirs.get(m)) in (None, want) for m, want in self.fingerprints.items())

    def annotate(self, recipes: dict[str, dict], known: Any) -> None:
        """Adds each loaded recipe's fingerprint, and since when the
        deployment's samples are judged against it (``known``: the ledger of
        the report served), to ``/v1/shift``'s ``recipes``."""
        known = known if isinstance(known, dict) else {}
        for model, st in recipes.items():
            fp = self.fingerprints.get(model)
            if fp is not None and st.get("state") == "loaded":
                st["fingerprint"] = fp
                entry = known.get(model)
                entry = entry if isinstance(entry, dict) else {}
                st["fingerprint_since"] = entry.get("since") if entry.get("fingerprint") == fp else None
