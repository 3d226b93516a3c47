"""The recipe builder's inputs: texts and images given directly or read
from files (``.txt``, ``.jsonl``; image files or directories), each checked,
with the error every problem is raised as."""
from __future__ import annotations

import io
import json
import os
from pathlib import Path
from typing import Any, Sequence


#: Role recorded for texts and images given without one.
DEFAULT_ROLE = "user"
IMAGE_SUFFIXES = (".png", ".jpg", ".jpeg", ".bmp", ".gif", ".webp", ".tif", ".tiff")


class RecipeError(ValueError):
    """Bad input for a recipe; nothing was written."""


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


def _check_texts(texts: Any, what: str, *, required: bool) -> list[str] | None:
    if texts is None:
        if required:
            raise RecipeError(f"no {what} given: a recipe needs at least one text")
        return None
    if isinstance(texts, (str, bytes)):
        raise RecipeError(f"{what} must be a sequence of strings, not a single {type(texts).__name__}")
    try:
        items = list(texts)
    except TypeError:
        raise RecipeError(f"{what} must be a sequence of strings, got {type(texts).__name__}") from None
    for i, t in enumerate(items):
        if not isinstance(t, str):
            raise RecipeError(f"{what}[{i}] is a {type(t).__name__}, not a string")
        if not t.strip():
            raise RecipeError(f"{what}[{i}] is blank")
    if not items:
        raise RecipeError(f"no {what} given: a recipe needs at least one text"
                          if required else f"{what} is empty")
    return items


def _check_roles(roles: Any, n: int, what: str) -> list[str]:
    if roles is None:
        return [DEFAULT_ROLE] * n
    if isinstance(roles, str):
        return [roles] * n
    items = list(roles)
    if len(items) != n:
        raise RecipeError(f"{what} has {len(items)} entries for {n} items")
    for i, r in enumerate(items):
        if not isinstance(r, str) or not r:
            raise RecipeError(f"{what}[{i}] must be a non-empty string, got {r!r}")
    return items


def _check_images(images: Any, what: str) -> list | None:
    if images is None:
        return None
    if isinstance(images, (str, bytes, os.PathLike)):
        raise RecipeError(f"{what} must be a sequence of images, not a single {type(images).__name__}")
    items = list(images)
    if not items:
        raise RecipeError(f"{what} is empty")
    from PIL import Image

    for i, im in enumerate(items):
        if isinstance(im, (str, os.PathLike)):
            if not Path(im).is_file():
                raise RecipeError(f"{what}[{i}]: no such image file: {im}")
        elif not isinstance(im, (bytes, Image.Image)):
            raise RecipeError(f"{what}[{i}] is a {type(im).__name__}; give a path, PNG/JPEG bytes or a PIL image")
    return items


def _open_image(item):
    """Opens an image the way the live path does (lazily, as Pillow opens it)."""
    from PIL import Image, UnidentifiedImageError

    try:
        if isinstance(item, Image.Image):
            return item
        if isinstance(item, bytes):
            return Image.open(io.BytesIO(item))
        return Image.open(item)
    except (OSError, UnidentifiedImageError) as e:
        raise RecipeError(f"cannot open image {item if not isinstance(item, bytes) else '<bytes>'}: {e}") from e
