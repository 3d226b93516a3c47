"""What the subcommands that read servers or a store share: their
``--url``/``--api-key``/``--timeout`` and ``--store``/``--recipes``/
``--deployment`` options, the URL check, the GET with the key, the text of an
HTTP error, and the store, recipes and deployment the store options name."""
from __future__ import annotations

import argparse
import json
import os
import urllib.error
import urllib.parse
import urllib.request
from collections.abc import Callable
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from ..samples import SampleStore


def check_url(url: str) -> str:
    """An http(s) base URL, without its trailing slash (argparse ``type``)."""
    try:
        parts = urllib.parse.urlsplit(url)
        parts.port  # noqa: B018  (raises ValueError for a port out of range)
    except ValueError as e:
        raise argparse.ArgumentTypeError(f"not a URL: {url!r} ({e})") from None
    if parts.scheme not in ("http", "https") or not parts.hostname:
        raise argparse.ArgumentTypeError(f"not an http(s) URL: {url!r}")
    return url.rstrip("/")


def add_server_options(ap: argparse.ArgumentParser, url: str, timeout: float, *, repeat: bool = False,
                       timeout_type: Callable[[str], float] = float) -> None:
    """``--url`` (``url``: what it names in this command; ``repeat``: one per
    server), ``--api-key`` and ``--timeout`` (``timeout``: the default)."""
    ap.add_argument("--url", action="append" if repeat else "store", type=check_url, metavar="URL", help=url)
    ap.add_argument("--api-key", metavar="KEY", help="sent as 'Authorization: Bearer KEY' (vLLM's --api-key)")
    ap.add_argument("--timeout", type=timeout_type, default=timeout, metavar="SECONDS",
                    help=f"per-server time limit (default: {timeout:g})")


def add_store_options(ap: argparse.ArgumentParser, store: str, recipes: str = "with --store: the recipes", *,
                      store_type: Callable[[str], str] | None = None) -> None:
    """``--store``, ``--recipes`` and ``--deployment``, as :func:`store_target`
    reads them; ``store`` and ``recipes`` open their help with what they are
    for in this command."""
    ap.add_argument("--store", type=store_type, metavar="URL",
                    help=f"{store} (a directory, file://, redis:// or rediss:// URL, or 'default' for this host's "
                         "default directory)")
    ap.add_argument("--recipes", metavar="SPEC", help=f"{recipes}, as OLVANE_SHIFT_RECIPES (default: that variable)")
    ap.add_argument("--deployment", metavar="NAME", help="with --store: the deployment (default: OLVANE_SHIFT_DEPLOYMENT, "
                                                         "else the name the servers derive from the recipes)")


def http_get(url: str, path: str, accept: str, api_key: str | None, timeout: float) -> bytes:
    """The body of GET {url}{path}, with the key as a bearer token."""
    req = urllib.request.Request(f"{url}{path}", headers={"Accept": accept})
    if api_key:
        req.add_header("Authorization", f"Bearer {api_key}")
    with urllib.request.urlopen(req, timeout=timeout) as resp:
        return resp.read()


def http_error_text(e: urllib.error.HTTPError) -> str:
    """The status and the server's own message, on one line's worth."""
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


def store_target(ap: argparse.ArgumentParser, args: argparse.Namespace, command: str) -> tuple[str, dict[str, str], str]:
    """(store URL, "" for this host's default directory; the recipes; the
    deployment) from ``--store``, ``--recipes`` and ``--deployment``, the
    last two defaulting to the servers' variables; bad recipes are a usage error."""
    from ..middleware.config import ENV_DEPLOYMENT, ENV_RECIPES
    from ..recipe_files.mapping import ConfigError, parse_recipes
    from ..samples import deployment_name

    try:
        recipes = parse_recipes(args.recipes or os.environ.get(ENV_RECIPES) or "")
    except ConfigError as e:
        ap.error(f"{command} --store needs the recipes (--recipes or {ENV_RECIPES}): {e}")
    name = deployment_name(recipes, args.deployment or os.environ.get(ENV_DEPLOYMENT))
    return ("" if args.store == "default" else args.store), recipes, name


def deployment_settings(store: SampleStore, environ=None) -> tuple[Any, str]:
    """(report settings, where they came from): those the deployment's
    servers used, as their stored report carries them, with any
    ``OLVANE_SHIFT_REPORT_*`` set here on top; without a stored report (or
    an unreadable one) this environment's. So the command judges a window
    as the servers and their alerts did."""
    from dataclasses import asdict, fields

    from ..middleware.shared_report import RESULT
    from ..report.settings import ENV, ReportSettings, SettingsError

    environ = os.environ if environ is None else environ
    here = ReportSettings.from_env(environ)
    try:
        raw = store.get_result(RESULT)
        stored = (json.loads(raw).get("report") or {}).get("settings") if raw else None
        known = {f.name for f in fields(ReportSettings)}
        theirs = ReportSettings(**{k: v for k, v in stored.items() if k in known}) if isinstance(stored, dict) \
            else None
    except (ValueError, TypeError, AttributeError, UnicodeDecodeError, SettingsError):
        theirs = None
    if theirs is None:
        return here, "this environment's (no stored report to take the servers' from)"
    given = [(var, name) for var, (name, _) in ENV.items() if environ.get(var, "").strip()]
    if not given:
        return theirs, "the servers' (from their stored report)"
    mine = asdict(here)
    return (ReportSettings(**{**asdict(theirs), **{name: mine[name] for _, name in given}}),
            "the servers', overridden by " + ", ".join(var for var, _ in given))


def open_store_or_raise(url: str, deployment: str) -> SampleStore:
    """The store at ``url`` (``""``: the default directory); ValueError when it is off."""
    from ..samples import open_store

    store = open_store(url, deployment)
    if store is None:
        raise ValueError("the store is off")
    return store


# what a server or a store sent, as printed

# C0 and C1 controls (ESC, BEL, ...), DEL and the bidirectional overrides and
# isolates: text from a server or a store must not move the cursor, retitle
# the terminal, ring it or reorder a line. Line breaks and tabs become spaces
# (no forged lines).
_UNPRINTABLE = {c: None for c in (*range(0x20), *range(0x7F, 0xA0), 0x061C, 0x200E, 0x200F,
                                  *range(0x202A, 0x202F), *range(0x2066, 0x206A))}
_UNPRINTABLE.update({ord("\t"): " ", ord("\n"): " ", ord("\r"): " "})


def printable(value: Any) -> Any:
    """``value`` (a string, or the lists and dicts of an answer) with its
    strings stripped of control characters, for the terminal."""
    if isinstance(value, str):
        return value.translate(_UNPRINTABLE)
    if isinstance(value, dict):
        return {printable(k): printable(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [printable(v) for v in value]
    return value
