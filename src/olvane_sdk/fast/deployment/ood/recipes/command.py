"""The recipe builder's command line (``python -m
olvane_sdk.fast.deployment.ood.recipes``, ``olvane-shift recipe``) and the
readers of its input files."""
from __future__ import annotations

import json
import os
import sys
from pathlib import Path
from typing import Sequence

from .._usage import UsageParser
from .builder import DEFAULT_ROLE, IMAGE_SUFFIXES, RecipeError, build_recipe
from .layout import DEFAULT_TEXT_PREFIX


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


def main(argv: Sequence[str] | None = None, prog: str = "python -m olvane_sdk.fast.deployment.ood.recipes") -> int:
    ap = UsageParser(
        prog=prog,
        description="Build a recipe directory (reference embeddings + configuration) for one served model.",
    )
    ap.add_argument("dest", help="recipe directory to create")
    ap.add_argument("--text-model", required=True, help="sentence-transformers model name or local path (loaded with backend='onnx')")
    ap.add_argument("--texts", nargs="+", required=True, metavar="FILE", help="train texts: .txt (one per line) or .jsonl ({\"text\", \"role\"})")
    ap.add_argument("--test-texts", nargs="+", metavar="FILE", help="held-out texts; default: split off --test-fraction of --texts")
    ap.add_argument("--role", default=DEFAULT_ROLE, help="role for texts and images given without one (default: user)")
    ap.add_argument("--image-model", help="image model name or local path")
    ap.add_argument("--images", nargs="+", metavar="PATH", help="train images: files or directories")
    ap.add_argument("--test-images", nargs="+", metavar="PATH", help="held-out images")
    ap.add_argument("--text-prefix", default=DEFAULT_TEXT_PREFIX, help=f"prefix put before every text (default: {DEFAULT_TEXT_PREFIX!r})")
    ap.add_argument("--test-fraction", type=float, default=0.2,
                    help="share of --texts (and --images) held out as test when no test items are given (default: 0.2)")
    ap.add_argument("--seed", type=int, default=0, help="seed of that split (default: 0)")
    ap.add_argument("--force", action="store_true", help="replace an existing recipe directory")
    args = ap.parse_args(argv)

    from rich import print as rprint

    try:
        texts, roles = [], []
        for f in args.texts:
            t, r = read_texts(f, args.role)
            texts += t
            roles += r
        test_texts = None
        if args.test_texts:
            test_texts = [t for f in args.test_texts for t in read_texts(f, args.role)[0]]
        images = list_images(args.images) if args.images else None
        test_images = list_images(args.test_images) if args.test_images else None
        s = build_recipe(
            args.dest, text_model=args.text_model, texts=texts, text_roles=roles, test_texts=test_texts,
            image_model=args.image_model, images=images, image_roles=args.role if images else None,
            test_images=test_images, text_prefix=args.text_prefix, test_fraction=args.test_fraction,
            seed=args.seed, overwrite=args.force,
            # Bars only on a terminal: elsewhere rich leaves a blank line in the output.
            show_progress=sys.stdout.isatty(),
        )
    except RecipeError as e:
        return ap.fail(str(e))
    rprint(
        f"[green]recipe written:[/green] {s.path}\n"
        f"  text: {s.n_train_texts} train / {s.n_test_texts} test, dim {s.dim_text}, model {s.text_model}, prefix {s.text_prefix!r}\n"
        f"  image: {s.n_train_images} train / {s.n_test_images} test"
        + (f", dim {s.dim_image}, model {s.image_model}" if s.image_model else " (no image model)")
    )
    return 0
