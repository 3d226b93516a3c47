"""``olvane-shift recipe``: the recipe command of :mod:`..recipes.command`
under the command's name; everything after the command word is its."""
from __future__ import annotations

from typing import Sequence

from .._usage import PROG


def main(argv: Sequence[str]) -> int:
    from ..recipes.command import main as recipe_main

    return recipe_main(argv, prog=f"{PROG} recipe")
