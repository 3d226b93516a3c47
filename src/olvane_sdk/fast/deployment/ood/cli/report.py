"""``olvane-shift report``: the shift report of running servers (``--url``,
``GET {URL}/v1/shift`` from each) or of a sample store (``--store``), as one
table with a row per server, served model and modality. Its exit statuses are
:data:`.._usage.EXIT_STATUSES`."""
from __future__ import annotations

import argparse
import http.client
import json
import math
import sys
import time
import urllib.error
from collections.abc import Mapping
from dataclasses import dataclass
from pathlib import Path
from typing import TYPE_CHECKING, Any, Sequence

from .._usage import EXIT_NOVEL, EXIT_OK, EXIT_SHIFT, EXIT_UNREACHABLE, EXIT_USAGE, PROG, exit_status_help
from .common import (add_server_options, add_store_options, deployment_settings, http_error_text, http_get,
                     open_store_or_raise, printable, store_target)

if TYPE_CHECKING:
    from ..report import ShiftReport


@dataclass
class ServerResult:
    url: str
    body: dict[str, Any] | None = None
    error: str | None = None

    @property
    def rows(self) -> list[dict[str, Any]]:
        report = (self.body or {}).get("report") or {}
        return list(report.get("rows") or [])

    @property
    def report(self) -> ShiftReport:
        """The server's report, for the tables (no rows when it has none yet)."""
        from ..report import ShiftReport

        return ShiftReport.from_dict(printable((self.body or {}).get("report") or {}))


# --------------------------------------------------------------------------
# options


def _positive(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    if not value > 0 or math.isinf(value):
        raise argparse.ArgumentTypeError(f"must be a positive number of seconds, not {text!r}")
    return value


def _store(text: str) -> str:
    from ..samples import mask_url, store_problem

    if text != "default" and (why := store_problem(text)) is not None:
        raise argparse.ArgumentTypeError(f"{mask_url(text)!r}: {why}")
    return text


def _duration(text: str) -> float:
    from ..samples.store import parse_duration
    try:
        return parse_duration(text)
    except ValueError as e:
        raise argparse.ArgumentTypeError(str(e)) from None


def add_parser(sub) -> argparse.ArgumentParser:
    """The ``report`` subcommand's parser, under ``sub``."""
    from ..samples.store import WINDOW_LATEST

    rp = sub.add_parser(
        "report", help="print the shift report of one or more running servers",
        usage=f"{PROG} report [-h] (--url URL [--url URL ...] | --store URL [--since DURATION]) [--api-key KEY] "
              "[--json PATH] [--html PATH] [--timeout SECONDS]",
        description="Fetch GET URL/v1/shift from each server and print one table with a row per server, "
                    "served model and modality, then one line per server that could not be read.",
        epilog=exit_status_help())
    add_server_options(rp, "base URL of a server, e.g. http://127.0.0.1:8000 (repeat for more servers)", 10.0,
                       repeat=True, timeout_type=_positive)
    add_store_options(rp, "compute the report from a sample store instead, with no server", store_type=_store)
    rp.add_argument("--since", type=_duration, metavar="DURATION",
                    help="with --store: the samples of the last DURATION (e.g. 30m, 6h, 2d) instead of the "
                         f"latest {WINDOW_LATEST} per served model and modality")
    rp.add_argument("--json", type=Path, metavar="PATH", help="also write what every server answered to PATH")
    rp.add_argument("--html", type=Path, metavar="PATH", help="also write the operator's page to PATH (one "
                    "self-contained HTML file: verdicts, history, map, flagged clusters); with --url, the server's "
                    "/v1/shift/ui (one --url)")
    return rp


def run(ap: argparse.ArgumentParser, args: argparse.Namespace) -> int:
    """The parsed ``report`` command: checks what the parser cannot, then runs it."""
    if args.json is not None and not args.json.parent.is_dir():
        ap.exit(EXIT_USAGE, f"{PROG} report: error: --json: no directory {str(args.json.parent)!r}\n")
    if args.html is not None and not args.html.parent.is_dir():
        ap.exit(EXIT_USAGE, f"{PROG} report: error: --html: no directory {str(args.html.parent)!r}\n")
    if (args.url is None) == (args.store is None):
        ap.error("report: give --url (one or more) or --store, not both")
    if args.html is not None and args.url is not None and len(args.url) != 1:
        ap.error("report: --html takes the page of one server: give one --url")
    if args.store is not None:
        return _store_command(ap, args)
    if args.since is not None:
        ap.error("report: --since needs --store")
    rc = run_report(args.url, args.api_key, args.json, args.timeout)
    if args.html is not None:
        saved = save_page(args.url[0], args.api_key, args.html, args.timeout)
        rc = saved if rc == EXIT_OK else rc  # a SHIFT, a NOVEL (or an unreachable server) says more
    return rc


def _write_json(path: Path, body: dict[str, Any]) -> int | None:
    """Writes ``body`` to ``path``; the exit status when that fails, else None."""
    try:
        path.write_text(json.dumps(body, indent=2))
    except OSError as e:
        print(f"{PROG} report: error: --json: {e}", file=sys.stderr)
        return EXIT_USAGE
    return None


# --------------------------------------------------------------------------
# --url: running servers


def fetch_shift(url: str, api_key: str | None, timeout: float) -> ServerResult:
    """GET {url}/v1/shift; never raises: a failure is the result's ``error``."""
    from ..middleware.routes import SHIFT_PATH

    try:
        raw = http_get(url, SHIFT_PATH, "application/json", api_key, timeout)
    except urllib.error.HTTPError as e:
        return ServerResult(url, error=http_error_text(e))
    except urllib.error.URLError as e:
        return ServerResult(url, error=f"unreachable: {e.reason}")
    except (TimeoutError, OSError) as e:
        return ServerResult(url, error=f"unreachable: {e}")
    except http.client.HTTPException as e:  # a broken answer (bad status line, cut short)
        return ServerResult(url, error=f"bad HTTP answer: {type(e).__name__}: {e}")
    try:
        body = json.loads(raw)
    except ValueError as e:
        return ServerResult(url, error=f"not JSON: {e}")
    report = body.get("report") if isinstance(body, dict) else ...
    rows = report.get("rows") if isinstance(report, dict) else []
    if report is ... or not isinstance(report, (dict, type(None))) or not isinstance(rows, list) \
            or not all(isinstance(r, dict) for r in rows):
        return ServerResult(url, error="not a /v1/shift answer (no 'report' object with a list of rows)")
    return ServerResult(url, body=body)


def save_page(url: str, api_key: str | None, path: Path, timeout: float) -> int:
    """Saves GET {url}/v1/shift/ui to ``path``; the exit status when that
    fails (the report's own status stands otherwise)."""
    from ..middleware.routes import UI_PATH

    try:
        page = http_get(url, UI_PATH, "text/html", api_key, timeout)
    except urllib.error.HTTPError as e:
        print(f"{PROG} report: error: --html: {url}{UI_PATH}: {http_error_text(e)}", file=sys.stderr)
        return EXIT_UNREACHABLE
    except (OSError, http.client.HTTPException) as e:
        print(f"{PROG} report: error: --html: {url}{UI_PATH}: {e}", file=sys.stderr)
        return EXIT_UNREACHABLE
    try:
        path.write_bytes(page)
    except OSError as e:
        print(f"{PROG} report: error: --html: {e}", file=sys.stderr)
        return EXIT_USAGE
    return EXIT_OK


def _is_shift(row: dict[str, Any]) -> bool:
    return bool(row.get("shifted")) or row.get("verdict") == "shift"


def verdict_status(rows: Sequence[Mapping[str, Any]], failed: bool = False) -> int:
    """The exit status of ``rows`` (every server's): SHIFT before NOVEL
    before a server that could not be read."""
    if any(_is_shift(r) for r in rows):
        return EXIT_SHIFT
    if any(r.get("verdict") == "novel" for r in rows):
        return EXIT_NOVEL
    return EXIT_UNREACHABLE if failed else EXIT_OK


def run_report(urls: Sequence[str], api_key: str | None, json_path: Path | None, timeout: float,
               console=None) -> int:
    from ..report.render import print_notes, servers_table, wide_console

    if console is None:
        console = wide_console()
    results = [fetch_shift(u, api_key, timeout) for u in urls]
    reports = [(res.url, res.report) for res in results]
    if any(report.rows for _, report in reports):
        console.print(servers_table(reports))
    for res, (_, report) in zip(results, reports):
        if res.error is not None:
            console.print(f"✗ {res.url}: {printable(res.error)}", style="red", markup=False, highlight=False)
        elif res.body.get("report") is None:
            console.print(f"· {res.url}: no report yet (ready: {printable(res.body.get('ready'))})",
                          markup=False, highlight=False)
        print_notes(report, console, source=res.url)
    shifted = any(_is_shift(r) for res in results for r in res.rows)
    failed = any(res.error is not None for res in results)
    if json_path is not None:
        rc = _write_json(json_path, {
            "servers": [{"url": r.url, "error": r.error, "shift": r.body} for r in results],
            "any_shift": shifted, "any_novel": any(r.get("verdict") == "novel" for res in results for r in res.rows),
            "any_unreachable": failed,
        })
        if rc is not None:
            return rc
    return verdict_status([r for res in results for r in res.rows], failed)


# --------------------------------------------------------------------------
# --store: a sample store, with no server


def _store_command(ap: argparse.ArgumentParser, args: argparse.Namespace) -> int:
    store, recipes, deployment = store_target(ap, args, "report")
    return run_store_report(store, recipes, deployment, args.since, args.json, html_path=args.html)


def run_store_report(url: str, recipes: Mapping[str, str], deployment: str, since: float | None,
                     json_path: Path | None, console=None, html_path: Path | None = None) -> int:
    """``olvane-shift report --store URL``: the same table and exit statuses
    as ``--url``, the store standing for the servers, judged with the
    settings the servers used (:func:`.common.deployment_settings`); with
    ``html_path``, the page the servers serve at /v1/shift/ui, made from
    this window by the same pipeline and renderer."""
    from ..report.render import print_notes, servers_table, wide_console
    from ..report.window import WINDOW_LATEST, load_reference, recipe_keys, store_report
    from ..samples import mask_url

    console = console or wide_console()
    store = None
    try:
        store = open_store_or_raise(url, deployment)
        if not store.exists():  # a report reads a store, never creates one
            others = store.deployments()
            where = mask_url(url) if url else store.description
            console.print(f"✗ no sample store at {where} for deployment {deployment}"
                          + (f"; deployments found: {', '.join(others)}" if others else ""),
                          style="red", markup=False, highlight=False)
            return EXIT_UNREACHABLE
        settings, settings_from = deployment_settings(store)
        t0 = time.perf_counter()
        report, window, origins = store_report(store, load_reference(recipes), keys=recipe_keys(recipes), recipes=recipes,
                                               since=None if since is None else time.time() - since,
                                               latest=None if since is not None else WINDOW_LATEST,
                                               settings=settings)
        snap = store_snapshot(report, window, recipes, time.perf_counter() - t0)
        page = None if html_path is None else _store_page(store, snap, deployment)
        description = store.description
    except Exception as e:
        label = mask_url(url) if store is None else store.description
        console.print(f"✗ {label}: {type(e).__name__}: {printable(mask_url(str(e)))}", style="red", markup=False,
                      highlight=False)
        return EXIT_UNREACHABLE
    finally:
        if store is not None:
            store.close()
    label = f"store {deployment}"
    if page is not None:
        try:
            html_path.write_text(page)
        except OSError as e:
            print(f"{PROG} report: error: --html: {e}", file=sys.stderr)
            return EXIT_USAGE
    shown = type(report).from_dict(printable(report.to_json()))
    if shown.rows:
        console.print(servers_table([(label, shown)]))
    console.print(f"  settings: {settings_from}", style="dim", markup=False, highlight=False)
    for p in window.problems:
        console.print(f"  ! {printable(p)}", style="yellow", markup=False, highlight=False)
    print_notes(shown, console, source=label)
    if json_path is not None:
        rc = _write_json(json_path, {
            "scope": "deployment", "deployment": deployment, "store": description,
            "report": snap.report, "window": window.summary(), "settings_from": settings_from,
            "clusters": snap.clusters,
            "origins": {o: {"samples": n, "last_write": origins.get(o)}
                        for o, n in sorted(window.origin_counts().items())}})
        if rc is not None:
            return rc
    return verdict_status(snap.rows)


def store_snapshot(report, window, recipes: Mapping[str, str], seconds: float):
    """The snapshot of a report over a store's window: the servers' pipeline
    (:func:`..report.snapshot.build_snapshot`) with the window's records and
    the recipes' term profiles, so its clusters, map and ids are theirs."""
    from ..recipe_files.terms import load_terms
    from ..report.snapshot import build_snapshot
    from ..report.window import recipe_fingerprint

    return build_snapshot(report, time=time.time(), seconds=seconds, records=window.records,
                          profiles={m: load_terms(p) for m, p in recipes.items()},
                          fingerprints={m: recipe_fingerprint(p) for m, p in recipes.items()}, scope="deployment")


def _store_page(store, snap, deployment: str) -> str:
    from ..report.page import page_of

    history = {(r["model"], r["modality"]): store.history(r["model"], r["modality"]) for r in snap.rows}
    # Whoever reads the store reads its excerpts: the page shows them as the servers' page behind the key does.
    return page_of(snap, history, excerpts=True,
                   subtitle=f"report of deployment {deployment} from {store.description}")
