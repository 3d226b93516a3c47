"""The recipe's term profile (:data:`.layout.TERMS_FILE`): which words its
reference texts hold, so that the report can name the words that set a
cluster of flagged messages apart (``report/clusters.py``). The builder
writes it; :func:`load_terms` reads it back. The extension ignores it."""
from __future__ import annotations

import json
import re
from collections import Counter
from collections.abc import Sequence
from pathlib import Path
from typing import Any

from .layout import TERMS_FILE

_WORD = re.compile(r"[^\W\d_][\w'-]{2,}")
_PLACEHOLDER = re.compile(r"\[(?:email|number|key)\]")


def words(text: str) -> set[str]:
    """The words of a text, as the term profile counts them (masked parts left out)."""
    return {w.lower() for w in _WORD.findall(_PLACEHOLDER.sub(" ", text))}


def term_profile(texts: Sequence[str]) -> dict[str, Any]:
    """The reference texts' term profile: {"documents": n, "terms": {word: texts holding it}}."""
    df: Counter[str] = Counter()
    for t in texts:
        df.update(words(t))
    return {"documents": len(texts), "terms": dict(sorted(df.items()))}


def load_terms(recipe: str | Path) -> dict[str, Any] | None:
    """A recipe's term profile, or None when it has none (or it is unreadable)."""
    try:
        data = json.loads((Path(recipe) / TERMS_FILE).read_text())
    except (OSError, ValueError):
        return None
    if not isinstance(data, dict) or not isinstance(data.get("terms"), dict):
        return None
    return data
