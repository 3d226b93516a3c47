"""``olvane-shift``: the operator's command line, one module per subcommand.

::

    olvane-shift recipe DEST --text-model M --texts FILE ...   build a recipe directory
    olvane-shift report --url URL [--url URL ...] [--api-key KEY] [--json PATH]
    olvane-shift report --store URL [--since DURATION] [--json PATH]
    olvane-shift outliers --url URL --model M [--modality text] [--api-key KEY]
    olvane-shift outliers --store URL --recipes SPEC --model M
    olvane-shift adopt --store URL --recipes SPEC --model M (--cluster ID ... | --since T | --rollback)
    olvane-shift demo [--workdir DIR] [--json PATH] [--plot PATH]

``report`` (:mod:`.report`) reads ``GET {URL}/v1/shift`` from each server (the
route the shift middleware adds to a vLLM OpenAI-compatible server) and prints
one table with a row per server, served model and modality; its exit statuses
are :data:`.._usage.EXIT_STATUSES`. ``recipe`` (:mod:`.recipe`) and ``demo``
(:mod:`.demo`) hand the rest of the line to the parsers of
the command itself and :mod:`..demo`. ``outliers`` (:mod:`.outliers`)
prints the clusters of a row's flagged messages with their request ids.
"""
from __future__ import annotations

import argparse
import sys
from typing import Sequence

from . import adopt, outliers, report
from .._usage import PROG, UsageParser

__all__ = ["main", "build_parser"]


def build_parser() -> argparse.ArgumentParser:
    ap = UsageParser(prog=PROG, description="Distribution-shift tools for vLLM servers: build recipes, read the "
                                        "shift report of running servers, run the offline demo.")
    sub = ap.add_subparsers(dest="command", metavar="{recipe,report,outliers,adopt,demo}", parser_class=UsageParser)
    sub.required = True
    sub.add_parser("recipe", add_help=False, help="build a recipe directory (reference embeddings) for one "
                                                  "served model; `olvane-shift recipe --help` for its options")
    report.add_parser(sub)
    outliers.add_parser(sub)
    adopt.add_parser(sub)
    sub.add_parser("demo", add_help=False, help="run the offline demo (recipes, live endpoint, traffic, "
                                                "report); `olvane-shift demo --help` for its options")
    return ap


def main(argv: Sequence[str] | None = None) -> int:
    argv = list(sys.argv[1:] if argv is None else argv)
    ap = build_parser()
    # recipe and demo keep their own parsers: everything after the command word is theirs.
    if argv and argv[0] == "recipe":
        from .recipe import main as recipe_main

        return recipe_main(argv[1:])
    if argv and argv[0] == "demo":
        from .demo import main as demo_main

        return demo_main(argv[1:])
    args = ap.parse_args(argv)
    if args.command == "outliers":
        return outliers.run(ap, args)
    if args.command == "adopt":
        return adopt.run(ap, args)
    return report.run(ap, args)
