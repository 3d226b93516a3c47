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
from .common import open_store_or_raise, printable, store_target

HELP_EXIT = ("Exit status: 0 adopted (or, with --dry-run, what would be); 2 bad input or nothing to adopt "
             "(an unknown cluster, an empty selection, samples of other models); 3 the store could not be read.")


def add_parser(sub) -> argparse.ArgumentParser:
    op = sub.add_parser(
        "adopt", help="add what a report calls new (its clusters, or a time range) to a recipe's reference",
        usage=f"{PROG} adopt --store URL --recipes SPEC --model M (--cluster ID ... | --since T [--until T] | "
              "--rollback) [--reason TEXT] [--dry-run]",
        description="Adds stored live embeddings of one served model and modality to its recipe's train "
                    "reference, after folding repeats, as a new version of the recipe (the old one is kept for "
                    "--rollback), with a provenance record. The servers take the new reference while serving. "
                    + HELP_EXIT)
    op.add_argument("--store", required=True, metavar="URL", help="the sample store (a directory, file:// or "
                                                                  "redis:// URL, or 'default')")
    op.add_argument("--recipes", metavar="SPEC", help="the recipes, as OLVANE_SHIFT_RECIPES")
    op.add_argument("--deployment", metavar="NAME", help="the deployment (default: from the recipes)")
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


class Refused(Exception):
    """What cannot be adopted, said in one line (exit 2)."""


def run(ap: argparse.ArgumentParser, args: argparse.Namespace) -> int:
    picks = sum(x is not None and x is not False for x in (args.cluster, args.since, args.rollback or None))
    if picks != 1:
        ap.error("adopt: give one of --cluster, --since or --rollback")
    url, recipes, deployment = store_target(ap, args, "adopt")
    path = recipes.get(args.model)
    if path is None:
        ap.error(f"adopt: no recipe for {args.model} in --recipes")
    try:
        store = open_store_or_raise(url, deployment)
    except Exception as e:
        print(f"✗ store {printable(deployment)}: {printable(str(e))}")
        return EXIT_UNREACHABLE
    try:
        if args.rollback:
            return _rollback(store, path, args)
        return _adopt(store, path, deployment, args)
    except Refused as e:
        return ap.fail(f"adopt: {e}")
    except OSError as e:
        print(f"✗ store {printable(deployment)}: {printable(str(e))}")
        return EXIT_UNREACHABLE
    finally:
        store.close()


def _rollback(store, path: str, args) -> int:
    from ..recipes.versions import VersionError, current_version, rollback

    was = current_version(path).get("version")
    if args.dry_run:
        print(f"would roll {args.model} back from version {was} to {current_version(path).get('parent')}")
        return EXIT_OK
    try:
        now = rollback(path)
    except VersionError as e:
        raise Refused(str(e)) from None
    _event(store, args, {"event": "rollback", "version": now, "from_version": was})
    print(f"{args.model}: version {was} -> {now} (rolled back); the servers take it within seconds")
    return EXIT_OK


def _adopt(store, path: str, deployment: str, args) -> int:
    from ..recipes.versions import VersionError, adopt, model_identity
    from ..report.detect import dedup, repeat_threshold
    from ..report.window import WINDOW_LATEST, load_reference, recipe_fingerprint

    now = time.time()
    reference = load_reference({args.model: path}).get(args.model, {}).get(args.modality)
    if reference is None:
        raise Refused(f"the recipe of {args.model} has no {args.modality} reference")
    window = store.window(latest=WINDOW_LATEST, keys=[(args.model, args.modality)])
    records = window.records.get((args.model, args.modality), [])
    chosen, about, fields = _select(store, records, args, now)
    if not chosen:
        raise Refused(f"nothing to adopt: {about} selects no stored sample")
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
    before, after = _verdicts(reference, vectors, records, args)
    times = [r.time for r in chosen]
    provenance = {"selected": len(chosen), "repeats_folded": int(repeats), "first": min(times), "last": max(times),
                  "reason": args.reason, "deployment": deployment, **fields}
    print(f"{args.model} / {args.modality}: {about}: {len(chosen)} stored samples, {repeats} repeats folded, "
          f"{len(vectors)} to add to {len(train)} train rows; the row's verdict {before} -> {after}")
    if args.dry_run:
        print("dry run: nothing written")
        return EXIT_OK
    try:
        version = adopt(path, args.modality, vectors, provenance)
    except VersionError as e:
        raise Refused(str(e)) from None
    _event(store, args, {"event": "adopt", "version": version, "added": int(len(vectors)),
                         **fields})
    print(f"{args.model}: version {version} written in {path}; the servers take it within seconds "
          f"(undo: {PROG} adopt --store ... --model {args.model} --rollback)")
    return EXIT_OK


def _select(store, records: list, args, now: float) -> tuple[list, str, dict[str, Any]]:
    """The stored samples chosen, what chose them (a phrase, and fields for
    the provenance): the members of the current report's clusters (each
    flagged message is found by its origin and collection time), or those
    collected in the time range."""
    from ..middleware.shared_report import RESULT
    from ..report.snapshot import ReportSnapshot

    if args.cluster:
        raw = store.get_result(RESULT)
        snap = None if raw is None else ReportSnapshot.from_stored(json.loads(raw))
        if snap is None:
            raise Refused("the store holds no current report to take clusters from")
        clusters = (snap.clusters.get(args.model) or {}).get(args.modality) or []
        known = {c.get("id") for c in clusters if isinstance(c, dict)}
        unknown = sorted(set(args.cluster) - known)
        if unknown:
            raise Refused(f"the current report (of {time.strftime('%H:%M:%S UTC', time.gmtime(snap.time))}) has no "
                          f"cluster {', '.join(map(str, unknown))} for {args.model} / {args.modality}; it has "
                          f"{', '.join(map(str, sorted(k for k in known if k is not None))) or 'none'}")
        members = {(o.get("origin"), o.get("time")) for o in (snap.outliers.get(args.model) or {}).get(
            args.modality) or [] if isinstance(o, dict) and o.get("cluster") in args.cluster}
        chosen = [r for r in records if (r.origin, r.time) in members]
        return (chosen, f"cluster{'s' if len(args.cluster) > 1 else ''} {', '.join(map(str, args.cluster))}",
                {"clusters": args.cluster, "report_time": snap.time})
    since, until = _when(args.since, now), _when(args.until, now)
    until = now if until is None else until
    chosen = [r for r in records if since <= r.time <= until]
    return (chosen, f"{time.strftime('%Y-%m-%d %H:%M:%S', time.gmtime(since))} to "
                    f"{time.strftime('%H:%M:%S UTC', time.gmtime(until))}", {"since": since, "until": until})


def _verdicts(reference: dict, vectors: np.ndarray, records: list, args) -> tuple[str, str]:
    """The row's verdict over the stored window against the reference as it
    is and as it would be."""
    from ..report.compute import shift_report

    live = {args.model: {args.modality: [r.embedding for r in records]}}
    grown = {**reference, "train": np.concatenate([np.asarray(reference["train"], dtype=np.float32), vectors])}
    out = []
    for ref in (reference, grown):
        report = shift_report(reference={args.model: {args.modality: ref}}, live=live)
        out.append(str(report.row(args.model, args.modality).verdict).upper())
    return out[0], out[1]


def _event(store, args, fields: dict[str, Any]) -> None:
    """The adoption in the deployment's history, beside the reports' rows."""
    store.append_history([{"model": args.model, "modality": args.modality, "reason": args.reason, **fields}],
                         time.time())
