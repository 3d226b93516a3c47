"""The recipe builder's input files: texts (``.txt``, ``.jsonl``) and images
(files or directories)."""
from __future__ import annotations

import json
import os
from pathlib import Path
from typing import Sequence

from .builder import DEFAULT_ROLE, IMAGE_SUFFIXES, RecipeError


def read_texts(path: str | os.PathLike, default_role: str = DEFAULT_ROLE) -> tuple[list[str], list[str]]:
    """Reads texts and roles: a ``.jsonl`` file of {"text", "role"?} objects,
    or any other file with one text per non-blank line."""
    path = Path(path)
    try:
        raw = path.read_text(encoding="utf-8")
    except OSError as e:
        raise RecipeError(f"cannot read {path}: {e.strerror or e}") from e
    texts, roles = [], []
    if path.suffix == ".jsonl":
        for n, line in enumerate(raw.splitlines(), 1):
            if not line.strip():
                continue
            try:
                obj = json.loads(line)
                texts.append(obj["text"])
                roles.append(obj.get("role", default_role))
            except (ValueError, KeyError, TypeError, AttributeError) as e:
                raise RecipeError(f"{path}:{n}: expected a JSON object with a \"text\" key ({e})") from e
    else:
        for line in raw.splitlines():
            if line.strip():
                texts.append(line.strip())
                roles.append(default_role)
    return texts, roles


def list_images(paths: Sequence[str | os.PathLike]) -> list[Path]:
    """Expands files and directories (their image files, sorted) to image paths."""
    out: list[Path] = []
    for p in map(Path, paths):
        if p.is_dir():
            out.extend(sorted(q for q in p.iterdir() if q.suffix.lower() in IMAGE_SUFFIXES))
        else:
            out.append(p)
    return out
