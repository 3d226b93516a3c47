"""``olvane-shift adopt``: makes traffic the report calls new part of a
recipe's reference, from the embeddings the sample store already holds (no
texts needed), as a new version of the recipe; ``--rollback`` puts the
previous version back. Every server on the recipe takes the new reference
within seconds, without a restart (the samples are kept: same models)."""
from __future__ import annotations

import argparse
import json
import time
from typing import Any

import numpy as np

from .._usage import EXIT_OK, EXIT_UNREACHABLE, PROG
from ..report.adoption import Refused, Selection
from .common import (add_server_options, add_store_options, http_error_text, http_get, open_store_or_raise, printable,
                     store_target)

HELP_EXIT = ("Exit status: 0 adopted (or, with --dry-run, what would be); 2 bad input or nothing to adopt "
             "(an unknown cluster, an empty selection, samples of other models); 3 the store could not be read.")


def add_parser(sub) -> argparse.ArgumentParser:
    op = sub.add_parser(
        "adopt", help="add what a report calls new (its clusters, or a time range) to a recipe's reference",
        usage=f"{PROG} adopt (--store URL | --url URL [--api-key KEY]) --recipes SPEC --model M "
              "(--cluster ID ... | --since T [--until T] | --rollback) [--reason TEXT] [--dry-run]",
        description="Adds stored live embeddings of one served model and modality to its recipe's train "
                    "reference, after folding repeats, as a new version of the recipe (the old one is kept for "
                    "--rollback), with a provenance record. The servers take the new reference while serving. "
                    + HELP_EXIT)
    add_store_options(op, "the sample store", "the recipes to write")
    add_server_options(op, "or a server of the deployment: the samples of the report it serves "
                           "(GET /v1/shift/samples)", 60.0)
    op.add_argument("--model", required=True, metavar="M", help="the served model")
    op.add_argument("--modality", choices=("text", "image"), default="text")
    op.add_argument("--cluster", type=int, nargs="+", metavar="ID", help="clusters of the current report")
    op.add_argument("--since", metavar="TIME", help="a time range instead: Unix time, or a duration ago (6h)")
    op.add_argument("--until", metavar="TIME", help="end of the range (default: now)")
    op.add_argument("--rollback", action="store_true", help="put the recipe's previous version back")
    op.add_argument("--reason", default="", metavar="TEXT", help="why, kept with the version")
    op.add_argument("--dry-run", action="store_true", help="print what would change, the row's verdict "
                                                           "against the new reference included; write nothing")
    return op


def _when(text: str | None, now: float) -> float | None:
    from ..samples.store import parse_duration

    if text is None:
        return None
    try:
        return float(text)
    except ValueError:
        return now - parse_duration(text)


def run(ap: argparse.ArgumentParser, args: argparse.Namespace) -> int:
    if sum(x is not None for x in (args.cluster, args.since, args.rollback or None)) != 1:
        ap.error("adopt: give one of --cluster, --since or --rollback")
    if (args.url is None) == (args.store is None):
        ap.error("adopt: give --store or --url, not both")
    if args.url is not None and args.rollback:
        ap.error("adopt: --rollback works on the recipe itself: give --store, or run it where the recipe is")
    store_url, recipes, deployment = store_target(ap, args, "adopt")
    path = recipes.get(args.model)
    if path is None:
        ap.error(f"adopt: no recipe for {args.model} in --recipes")
    try:
        if args.rollback:
            return _rollback(path, args)
        if args.url is not None:
            sel = _from_server(args)
        else:
            store = open_store_or_raise(store_url, deployment)
            try:
                sel = _from_store(store, args)
            finally:
                store.close()
        return _adopt(path, deployment if args.store is not None else args.url, sel, args)
    except Refused as e:
        return ap.fail(f"adopt: {e}")
    except (OSError, ValueError) as e:
        print(f"✗ {printable(args.url or 'store ' + deployment)}: {printable(str(e))}")
        return EXIT_UNREACHABLE


def _from_store(store, args) -> Selection:
    from ..report.adoption import select
    from ..report.snapshot import STORED_RESULT, ReportSnapshot

    raw = store.get_result(STORED_RESULT) if args.cluster else None
    snap = None if raw is None else ReportSnapshot.from_stored(json.loads(raw))
    now = time.time()
    return select(store, snap, args.model, args.modality, clusters=args.cluster, since=_when(args.since, now),
                  until=_when(args.until, now), now=now)


def _from_server(args) -> Selection:
    import urllib.error
    import urllib.parse

    from ..middleware.routes import SAMPLES_PATH
    from ..report.adoption import from_json

    now = time.time()
    query = {"model": args.model, "modality": args.modality}
    if args.cluster:
        query["cluster"] = ",".join(map(str, args.cluster))
    else:
        query["since"] = repr(_when(args.since, now))
        if args.until is not None:
            query["until"] = repr(_when(args.until, now))
    try:
        body = http_get(args.url, f"{SAMPLES_PATH}?{urllib.parse.urlencode(query)}", "application/json",
                        args.api_key, args.timeout)
    except urllib.error.HTTPError as e:
        if e.code in (400, 404, 409):
            raise Refused(http_error_text(e)) from None
        raise OSError(http_error_text(e)) from None
    return from_json(json.loads(body))


def _rollback(path: str, args) -> int:
    from ..recipe_files.identity import current_version
    from ..recipes.versions import VersionError, rollback

    now = current_version(path)
    if args.dry_run:
        print(f"would roll {args.model} back from version {now.get('version')} to {now.get('parent', '-')}")
        return EXIT_OK
    try:
        back = rollback(path)
    except VersionError as e:
        raise Refused(str(e)) from None
    _calibrate(path)
    print(f"{args.model}: version {now.get('version')} -> {back} (rolled back); the servers take it within seconds")
    return EXIT_OK


def _adopt(path: str, source: str, sel: Selection, args) -> int:
    from ..recipe_files.identity import model_identity
    from ..recipes.versions import VersionError, adopt
    from ..report.detect import dedup, repeat_threshold
    from ..report.window import load_reference, recipe_fingerprint

    reference = load_reference({args.model: path}).get(args.model, {}).get(args.modality)
    if reference is None:
        raise Refused(f"the recipe of {args.model} has no {args.modality} reference")
    chosen = sel.records
    if not chosen:
        raise Refused(f"nothing to adopt: {sel.about} selects no stored sample")
    mid, fp = model_identity(path), recipe_fingerprint(path)
    other = [r for r in chosen if r.meta.get("model_id", None) not in (None, mid)
             or ("model_id" not in r.meta and r.meta.get("fingerprint") not in (None, fp))]
    if other:
        raise Refused(f"{len(other)} of the {len(chosen)} selected samples were embedded by other models than "
                      f"the recipe's (model identity {mid}); restart the servers on the recipe first")
    vectors = np.stack([np.asarray(r.embedding, dtype=np.float32) for r in chosen])
    train = np.asarray(reference["train"], dtype=np.float32)
    kept, repeats = dedup(vectors, repeat_threshold(train))
    vectors = vectors[kept]
    verdicts = _verdicts(reference, vectors, sel.window, args) if sel.window else None
    times = [r.time for r in chosen]
    provenance = {"selected": len(chosen), "repeats_folded": int(repeats), "first": min(times), "last": max(times),
                  "reason": args.reason, "source": source, **sel.fields}
    print(f"{args.model} / {args.modality}: {sel.about}: {len(chosen)} stored samples, {repeats} repeats folded, "
          f"{len(vectors)} to add to {len(train)} train rows; "
          + (f"the row's verdict {verdicts[0]} -> {verdicts[1]}" if verdicts else
             "(the verdict against the new reference is computed from the store: --store)"))
    if args.dry_run:
        print("dry run: nothing written")
        return EXIT_OK
    try:
        version = adopt(path, args.modality, vectors, provenance)
    except VersionError as e:
        raise Refused(str(e)) from None
    _calibrate(path)
    print(f"{args.model}: version {version} written in {path}; the servers take it within seconds "
          f"(undo: {PROG} adopt --store ... --recipes ... --model {args.model} --rollback)")
    return EXIT_OK


def _verdicts(reference: dict, vectors: np.ndarray, window: list, args) -> tuple[str, str]:
    """The row's verdict over the stored window against the reference as it
    is and as it would be."""
    from ..report.compute import shift_report

    live = {args.model: {args.modality: [r.embedding for r in window]}}
    grown = {**reference, "train": np.concatenate([np.asarray(reference["train"], dtype=np.float32), vectors])}
    out = []
    for ref in (reference, grown):
        report = shift_report(reference={args.model: {args.modality: ref}}, live=live)
        out.append(str(report.row(args.model, args.modality).verdict).upper())
    return out[0], out[1]


def _calibrate(path: str) -> None:
    """The recipe's per-recipe calibration for the reference now in place,
    computed once here and stored beside it (the servers would otherwise
    compute it at their next report)."""
    from pathlib import Path

    from ..recipe_files.layout import CALIBRATION_FILE, TEST_FILE, TRAIN_FILE
    from ..report.calibrate import recipe_calibrations
    from ..samples.batches import write_atomic

    with np.load(Path(path) / TRAIN_FILE) as z:
        train = {k: z[k] for k in z.files if k.endswith("_embeddings")}
    with np.load(Path(path) / TEST_FILE) as z:
        test = {k: z[k] for k in z.files if k.endswith("_embeddings")}
    write_atomic(Path(path) / CALIBRATION_FILE, json.dumps(recipe_calibrations(train, test)).encode(), durable=True)
