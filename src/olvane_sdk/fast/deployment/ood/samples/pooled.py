"""The shift report over the pooled window of a store, with no server:
:func:`store_report`, and ``olvane-shift report --store`` (:func:`run_store_report`)."""
from __future__ import annotations

import json
import sys
import time
import types
from collections.abc import Mapping
from pathlib import Path
from typing import Any

import numpy as np

from ..recipes.layout import TEST_FILE, TRAIN_FILE
from .record import SampleStore, Window

#: The window a report reads: the latest records per served model and
#: modality, as many as one process's ring holds.
WINDOW_LATEST = 1000


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
        for modality in ("text", "image"):
            train = parts["train"].get(f"{modality}_embeddings")
            if train is not None:
                out.setdefault(model, {})[modality] = {"train": train,
                                                       "test": parts["test"].get(f"{modality}_embeddings")}
    return out


def report_from_window(reference: Mapping, window: Window, settings=None):
    """The shift report of ``window`` against ``reference`` (from
    :func:`load_reference` or a handler's ``train_test_embeddings``)."""
    from ..report import shift_report

    live: dict[str, dict[str, dict[str, list]]] = {}
    for (model, modality), recs in window.records.items():
        live.setdefault(model, {}).setdefault(modality, {})["live"] = [r.embedding for r in recs]
    for model in reference:
        for modality in reference[model]:
            live.setdefault(model, {}).setdefault(modality, {"live": []})
    stand_in = types.SimpleNamespace(train_test_embeddings=reference, live_embeddings=live, embedding_lock=None)
    return shift_report(stand_in, settings)


def store_report(store: SampleStore, reference: Mapping, *, since: float | None = None,
                 latest: int | None = WINDOW_LATEST, settings=None):
    """(report, window, origins) from the store's pooled window."""
    window = store.window(latest=latest, since=since)
    return report_from_window(reference, window, settings), window, store.origins()


def run_store_report(url: str, recipes: Mapping[str, str], deployment: str, since: float | None,
                     json_path: Path | None, console=None) -> int:
    """``olvane-shift report --store URL``: the same table and exit status as
    ``--url`` (0 no SHIFT, 1 SHIFT, 3 the store could not be read)."""
    from .._usage import EXIT_OK, EXIT_SHIFT, EXIT_UNREACHABLE, EXIT_USAGE, PROG
    from ..report.render import print_notes, servers_table, wide_console
    from ..middleware.status import _json_safe
    from . import open_store

    console = console or wide_console(160)
    store = None
    try:
        store = open_store(url, deployment)
        if store is None:
            raise ValueError("the store is off")
        report, window, origins = store_report(store, load_reference(recipes),
                                               since=None if since is None else time.time() - since,
                                               latest=None if since is not None else WINDOW_LATEST)
    except Exception as e:
        label = url if store is None else store.description
        console.print(f"✗ {label}: {type(e).__name__}: {e}", style="red", markup=False, highlight=False)
        return EXIT_UNREACHABLE
    finally:
        if store is not None:
            store.close()
    label = f"store {deployment}"
    if report.rows:
        console.print(servers_table([(label, report)]))
    for p in window.problems:
        console.print(f"  ! {p}", style="yellow", markup=False, highlight=False)
    print_notes(report, console, source=label)
    shifted = report.any_shift
    if json_path is not None:
        body = {"scope": "deployment", "deployment": deployment, "store": store.description,
                "report": _json_safe(report.to_dict()), "window": window.summary(),
                "origins": {o: {"samples": n, "last_write": origins.get(o)}
                            for o, n in sorted(window.origin_counts().items())}}
        try:
            json_path.write_text(json.dumps(body, indent=2))
        except OSError as e:
            print(f"{PROG} report: error: --json: {e}", file=sys.stderr)
            return EXIT_USAGE
    return EXIT_SHIFT if shifted else EXIT_OK
