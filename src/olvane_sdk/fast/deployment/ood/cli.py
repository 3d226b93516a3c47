"""``olvane-shift``: the operator's command line.

::

    olvane-shift recipe DEST --text-model M --texts FILE ...   build a recipe directory
    olvane-shift report --url URL [--url URL ...] [--api-key KEY] [--json PATH]
    olvane-shift report --store URL [--since DURATION] [--json PATH]
    olvane-shift demo [--workdir DIR] [--json PATH] [--plot PATH]

``report`` reads ``GET {URL}/v1/shift`` from each server (the route the shift
middleware adds to a vLLM OpenAI-compatible server) and prints one table with
a row per server, served model and modality. Exit status: 0 when no row says
SHIFT and every server answered, 1 when any row says SHIFT, 3 when no row says
SHIFT but a server could not be read, 2 for bad command-line input.
"""
from __future__ import annotations

import argparse
import http.client
import json
import math
import sys
import urllib.error
import urllib.parse
import urllib.request
from dataclasses import dataclass
from pathlib import Path
from typing import TYPE_CHECKING, Any, Sequence

from ._usage import EXIT_OK, EXIT_SHIFT, EXIT_UNREACHABLE, EXIT_USAGE, PROG, UsageParser

if TYPE_CHECKING:
    from .report import ShiftReport

# --------------------------------------------------------------------------
# report


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
        from .report import ShiftReport

        return ShiftReport.from_dict((self.body or {}).get("report") or {})


def _check_url(url: str) -> str:
    try:
        parts = urllib.parse.urlsplit(url)
        parts.port  # noqa: B018  (raises ValueError for a port out of range)
    except ValueError as e:
        raise argparse.ArgumentTypeError(f"not a URL: {url!r} ({e})") from None
    if parts.scheme not in ("http", "https") or not parts.hostname:
        raise argparse.ArgumentTypeError(f"not an http(s) URL: {url!r}")
    return url.rstrip("/")


def _positive(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    if not value > 0 or math.isinf(value):
        raise argparse.ArgumentTypeError(f"must be a positive number of seconds, not {text!r}")
    return value


def _http_error_text(e: urllib.error.HTTPError) -> str:
    # vLLM answers errors as {"error": {"message": ...}}; older servers and
    # Starlette as {"message": ...} or {"detail": ...}.
    detail = ""
    try:
        body = json.loads(e.read() or b"null")
        if isinstance(body, dict):
            inner = body.get("error")
            detail = (inner.get("message") if isinstance(inner, dict) else inner) \
                or body.get("message") or body.get("detail") or ""
    except (ValueError, OSError):
        pass
    return f"HTTP {e.code} {e.reason}" + (f": {detail}" if detail else "")


def fetch_shift(url: str, api_key: str | None, timeout: float) -> ServerResult:
    """GET {url}/v1/shift; never raises: a failure is the result's ``error``."""
    req = urllib.request.Request(f"{url}/v1/shift", headers={"Accept": "application/json"})
    if api_key:
        req.add_header("Authorization", f"Bearer {api_key}")
    try:
        with urllib.request.urlopen(req, timeout=timeout) as resp:
            raw = resp.read()
    except urllib.error.HTTPError as e:
        return ServerResult(url, error=_http_error_text(e))
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


def _is_shift(row: dict[str, Any]) -> bool:
    return bool(row.get("shifted")) or row.get("verdict") == "shift"


def run_report(urls: Sequence[str], api_key: str | None, json_path: Path | None, timeout: float,
               console=None) -> int:
    from .report.render import print_notes, servers_table, wide_console

    if console is None:
        console = wide_console(160)
    results = [fetch_shift(u, api_key, timeout) for u in urls]
    reports = [(res.url, res.report) for res in results]
    if any(report.rows for _, report in reports):
        console.print(servers_table(reports))
    for res, (_, report) in zip(results, reports):
        if res.error is not None:
            console.print(f"✗ {res.url}: {res.error}", style="red", markup=False, highlight=False)
        elif res.body.get("report") is None:
            console.print(f"· {res.url}: no report yet (ready: {res.body.get('ready')})",
                          markup=False, highlight=False)
        print_notes(report, console, source=res.url)
    shifted = any(_is_shift(r) for res in results for r in res.rows)
    failed = any(res.error is not None for res in results)
    if json_path is not None:
        try:
            json_path.write_text(json.dumps({
                "servers": [{"url": r.url, "error": r.error, "shift": r.body} for r in results],
                "any_shift": shifted, "any_unreachable": failed,
            }, indent=2))
        except OSError as e:
            print(f"{PROG} report: error: --json: {e}", file=sys.stderr)
            return EXIT_USAGE
    return EXIT_SHIFT if shifted else EXIT_UNREACHABLE if failed else EXIT_OK


# --------------------------------------------------------------------------
# entry point


def build_parser() -> argparse.ArgumentParser:
    ap = UsageParser(prog=PROG, description="Distribution-shift tools for vLLM servers: build recipes, read the "
                                        "shift report of running servers, run the offline demo.")
    sub = ap.add_subparsers(dest="command", metavar="{recipe,report,demo}", parser_class=UsageParser)
    sub.required = True
    sub.add_parser("recipe", add_help=False, help="build a recipe directory (reference embeddings) for one "
                                                  "served model; `olvane-shift recipe --help` for its options")
    rp = sub.add_parser(
        "report", help="print the shift report of one or more running servers",
        usage=f"{PROG} report [-h] (--url URL [--url URL ...] | --store URL [--since DURATION]) [--api-key KEY] "
              "[--json PATH] [--timeout SECONDS]",
        description="Fetch GET URL/v1/shift from each server and print one table with a row per server, "
                    "served model and modality, then one line per server that could not be read.",
        epilog="Exit status: 0 no SHIFT and every server read; 1 any row says SHIFT; 3 no SHIFT but a server "
               "could not be read; 2 bad command-line input.")
    rp.add_argument("--url", action="append", type=_check_url, metavar="URL",
                    help="base URL of a server, e.g. http://127.0.0.1:8000 (repeat for more servers)")
    rp.add_argument("--store", metavar="URL", help="compute the report from a sample store instead (a directory, "
                    "redis:// or rediss:// URL, or 'default' for this host's default directory), with no server")
    rp.add_argument("--since", type=_duration, metavar="DURATION",
                    help="with --store: the samples of the last DURATION (e.g. 30m, 6h, 2d) instead of the "
                         "latest 1000 per served model and modality")
    rp.add_argument("--recipes", metavar="SPEC", help="with --store: the recipes, as OLVANE_SHIFT_RECIPES "
                    "(default: that variable)")
    rp.add_argument("--deployment", metavar="NAME", help="with --store: the deployment (default: "
                    "OLVANE_SHIFT_DEPLOYMENT, else the name the servers derive from the recipes)")
    rp.add_argument("--api-key", metavar="KEY", help="sent as 'Authorization: Bearer KEY' (vLLM's --api-key)")
    rp.add_argument("--json", type=Path, metavar="PATH", help="also write what every server answered to PATH")
    rp.add_argument("--timeout", type=_positive, default=10.0, metavar="SECONDS",
                    help="per-server time limit (default: 10)")
    sub.add_parser("demo", add_help=False, help="run the offline demo (recipes, live endpoint, traffic, "
                                                "report); `olvane-shift demo --help` for its options")
    return ap


def main(argv: Sequence[str] | None = None) -> int:
    argv = list(sys.argv[1:] if argv is None else argv)
    ap = build_parser()
    # recipe and demo keep their own parsers (same options as their modules):
    # everything after the command word is theirs.
    if argv and argv[0] == "recipe":
        from .recipes import main as recipe_main
        return recipe_main(argv[1:], prog=f"{PROG} recipe")
    if argv and argv[0] == "demo":
        from .demo.__main__ import main as demo_main
        return demo_main(argv[1:], prog=f"{PROG} demo")
    args = ap.parse_args(argv)
    if args.json is not None and not args.json.parent.is_dir():
        ap.exit(EXIT_USAGE, f"{PROG} report: error: --json: no directory {str(args.json.parent)!r}\n")
    if (args.url is None) == (args.store is None):
        ap.error("report: give --url (one or more) or --store, not both")
    if args.store is not None:
        return _store_report(ap, args)
    if args.since is not None:
        ap.error("report: --since needs --store")
    return run_report(args.url, args.api_key, args.json, args.timeout)


def _duration(text: str) -> float:
    from .samples.record import parse_duration
    try:
        return parse_duration(text)
    except ValueError as e:
        raise argparse.ArgumentTypeError(str(e)) from None


def _store_report(ap: argparse.ArgumentParser, args) -> int:
    import os

    from .middleware.config import ConfigError, parse_recipes
    from .samples import deployment_name
    from .samples.pooled import run_store_report

    spec = args.recipes or os.environ.get("OLVANE_SHIFT_RECIPES") or ""
    try:
        recipes = parse_recipes(spec)
    except ConfigError as e:
        ap.error(f"report --store needs the recipes (--recipes or OLVANE_SHIFT_RECIPES): {e}")
    env = dict(os.environ)
    if args.deployment:
        env["OLVANE_SHIFT_DEPLOYMENT"] = args.deployment
    store = "" if args.store == "default" else args.store
    return run_store_report(store, recipes, deployment_name(recipes, env), args.since, args.json)


if __name__ == "__main__":
    sys.exit(main())
