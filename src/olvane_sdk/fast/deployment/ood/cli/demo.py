"""``olvane-shift demo``: the offline demo (:mod:`..demo`), which keeps its
own parser; everything after the command word is its."""
from __future__ import annotations

from typing import Sequence

from .._usage import PROG


def main(argv: Sequence[str]) -> int:
    from ..demo.__main__ import main as demo_main

    return demo_main(argv, prog=f"{PROG} demo")
