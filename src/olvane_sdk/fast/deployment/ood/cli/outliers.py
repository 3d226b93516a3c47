"""``olvane-shift outliers``: the clusters of one row's flagged messages, with
their terms, examples and request ids, from a server
(``GET {URL}/v1/shift/outliers``) or from a sample store (``--store``)."""
from __future__ import annotations

import argparse
import json
import time
import urllib.error
import urllib.parse
from typing import Any

from .._usage import EXIT_OK, EXIT_SHIFT, EXIT_UNREACHABLE, PROG
from .common import (add_server_options, add_store_options, deployment_settings, http_error_text, http_get,
                     open_store_or_raise, printable, store_target)

#: Exit statuses (from _usage.py's table): OK nothing flagged, SHIFT flagged messages found,
#: UNREACHABLE the server or store could not be read, USAGE bad input.
HELP_EXIT = ("Exit status: 0 no flagged message; 1 flagged messages (clusters printed); "
             "3 the server or store could not be read; 2 bad command-line input.")


def add_parser(sub) -> argparse.ArgumentParser:
    op = sub.add_parser(
        "outliers", help="the clusters of a row's flagged messages, with their terms, examples and request ids",
        usage=f"{PROG} outliers (--url URL [--api-key KEY] | --store URL --recipes SPEC) --model M "
              "[--modality text|image] [--limit N] [--json]",
        epilog=HELP_EXIT)
    add_server_options(op, "a server with the shift middleware", 30.0)
    add_store_options(op, "compute from a sample store instead")
    op.add_argument("--model", required=True, metavar="M", help="the served model")
    op.add_argument("--modality", choices=("text", "image"), default="text")
    op.add_argument("--limit", type=int, default=100, metavar="N", help="flagged messages to read (default 100)")
    op.add_argument("--json", action="store_true", help="print the answer as JSON instead")
    return op


def run(ap: argparse.ArgumentParser, args: argparse.Namespace) -> int:
    if (args.url is None) == (args.store is None):
        ap.error("outliers: give --url or --store, not both")
    if args.limit < 0:
        ap.error("outliers: --limit must be >= 0")
    if args.url is not None:
        doc, error = fetch_outliers(args.url, args.model, args.modality, args.limit, args.api_key, args.timeout)
        source = args.url
    else:
        store, recipes, name = store_target(ap, args, "outliers")
        doc, error = store_outliers(store, recipes, name, args.model, args.modality, args.limit)
        source = f"store {name}"
    if error is not None:
        print(f"✗ {printable(source)}: {printable(error)}")
        return EXIT_UNREACHABLE
    assert doc is not None
    if args.json:
        print(json.dumps(doc, indent=2))
    else:
        print_outliers(printable(doc), printable(source))
    return EXIT_SHIFT if doc.get("outliers") else EXIT_OK


def fetch_outliers(url: str, model: str, modality: str, limit: int, api_key: str | None,
                   timeout: float) -> tuple[dict | None, str | None]:
    """(answer, None) or (None, what went wrong): GET {url}/v1/shift/outliers."""
    from ..middleware.routes import OUTLIERS_PATH

    query = urllib.parse.urlencode({"model": model, "modality": modality, "limit": limit})
    try:
        body = json.loads(http_get(url, f"{OUTLIERS_PATH}?{query}", "application/json", api_key, timeout))
    except urllib.error.HTTPError as e:
        return None, http_error_text(e)
    except (urllib.error.URLError, OSError) as e:
        return None, f"unreachable: {getattr(e, 'reason', e)}"
    except ValueError as e:
        return None, f"not JSON: {e}"
    if not isinstance(body, dict) or not isinstance(body.get("outliers"), list):
        return None, "not a /v1/shift/outliers answer"
    return body, None


def store_outliers(url: str, recipes, deployment: str, model: str, modality: str,
                   limit: int) -> tuple[dict | None, str | None]:
    """The same answer computed from the store's window (excerpts included:
    whoever reads the store can read them there)."""
    from ..recipe_files.terms import load_terms
    from ..report.model import json_safe
    from ..report.window import load_reference, store_report
    store = None
    try:
        store = open_store_or_raise(url, deployment)
        settings, _ = deployment_settings(store)
        report, window, _ = store_report(store, load_reference(recipes), settings=settings)
    except Exception as e:
        return None, f"{type(e).__name__}: {e}"
    finally:
        if store is not None:
            store.close()
    try:
        row = report.row(model, modality)
    except KeyError:
        return None, f"no report row for {model} / {modality}"
    profiles = {m: load_terms(p) for m, p in recipes.items()}
    flagged = report.outliers(window.records).get(model, {}).get(modality, [])
    clusters = report.clusters(window.records, profiles).get(model, {}).get(modality, [])
    return json_safe({"model": model, "modality": modality, "scope": "deployment", "report_time": time.time(),
                      "verdict": str(row.verdict), "outliers": flagged[:limit], "clusters": clusters}), None


def _when(t: Any) -> str:
    return time.strftime("%Y-%m-%d %H:%M:%S", time.localtime(t)) if isinstance(t, (int, float)) else "-"


def print_outliers(doc: dict[str, Any], source: str) -> None:
    flagged, clusters = doc.get("outliers") or [], doc.get("clusters") or []
    print(f"{doc.get('model')} / {doc.get('modality')} ({source}): verdict {doc.get('verdict')}, "
          f"{len(flagged)} flagged messages shown, {len(clusters)} clusters")
    for c in clusters:
        share = c.get("share")
        grow = c.get("growing")
        trend = "" if grow is None else (
            f", {'growing' if grow else 'not growing'} ({c.get('share_older', 0):.1%} of the older half, "
            f"{c.get('share_newer', 0):.1%} of the newer)")
        requests = c.get("requests")
        counted = f"{c.get('size')} distinct messages" + (
            "" if requests in (None, c.get("size")) else f" ({requests} requests)")
        print(f"\ncluster {c.get('id')}: {counted}"
              f"{'' if share is None else f', {share:.1%} of the distinct live messages'}{trend}")
        print(f"  seen {_when(c.get('first_seen'))} .. {_when(c.get('last_seen'))}")
        print(f"  terms: {', '.join(c.get('terms') or []) or '-'}")
        for ex in c.get("examples") or []:
            ids = f"request {ex.get('request_id') or '-'}, client {ex.get('client_request_id') or '-'}" \
                if "index" not in ex else f"ring slot {ex['index']}"
            text = f"  {json.dumps(ex['excerpt'], ensure_ascii=False)}" if ex.get("excerpt") else ""
            print(f"  - {ids}{text}")
    if flagged and not clusters:
        for o in flagged:
            print(f"  - request {o.get('request_id') or '-'}, client {o.get('client_request_id') or '-'}, "
                  f"p {o.get('p_value')} (floor {o.get('p_floor')}), q {o.get('q_value')}")
