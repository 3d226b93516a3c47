"""``olvane-shift recipe`` (also ``python -m olvane_sdk.fast.deployment.ood.recipes``):
builds a recipe directory and says what its calibration lets the report see."""
from __future__ import annotations

import sys
from typing import Sequence

from .._usage import EXIT_OK, PROG, UsageParser
from ..recipe_files.layout import DEFAULT_TEXT_PREFIX
from .builder import build_recipe
from .inputs import DEFAULT_ROLE, RecipeError, list_images, read_texts


def main(argv: Sequence[str] | None = None, prog: str = f"{PROG} recipe") -> int:
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

    from ..report.calibrate import recipe_calibrations

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
            seed=args.seed, overwrite=args.force, calibrate=recipe_calibrations,
            # Bars only on a terminal: elsewhere rich leaves a blank line in the output.
            show_progress=sys.stdout.isatty(),
        )
    except RecipeError as e:
        return ap.fail(str(e))
    from ..report.power import REQUIRED_SHARE

    power = {modality: recipe_power_at_defaults(n) for modality, n in s.calibration.items()}
    rprint(
        f"[green]recipe written:[/green] {s.path}\n"
        f"  text: {s.n_train_texts} train / {s.n_test_texts} test, dim {s.dim_text}, model {s.text_model}, prefix {s.text_prefix!r}\n"
        f"  image: {s.n_train_images} train / {s.n_test_images} test"
        + (f", dim {s.dim_image}, model {s.image_model}" if s.image_model else " (no image model)")
        + "".join(f"\n  {modality} power: {p.summary()}" for modality, p in power.items())
    )
    for modality, p in power.items():
        if not p.enough:
            rprint(f"[yellow]warning:[/yellow] {modality}: too few texts or images to detect a newcomer at "
                   f"{REQUIRED_SHARE:.0%} ({p.summary()}); add more", file=sys.stderr)
    return EXIT_OK


def recipe_power_at_defaults(n_calibration: int):
    """What a recipe with ``n_calibration`` calibration scores lets the share
    test see at the report's default settings."""
    from ..report.power import recipe_power
    from ..report.settings import ReportSettings

    d = ReportSettings()
    return recipe_power(n_calibration, d.tail, d.alpha_novel, d.bound_confidence)
