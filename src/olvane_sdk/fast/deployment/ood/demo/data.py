"""The demo's data: the sample texts in ``texts/`` beside this module
(package data, so an installed wheel has them too), images drawn here with
Pillow, and the recipes built from them (one for each of two served models:
``alpha-chat`` in distribution, ``beta-chat`` shifted)."""
from __future__ import annotations

import base64
import io
from dataclasses import dataclass
from pathlib import Path

import numpy as np

from ..recipe_files.layout import DEFAULT_TEXT_PREFIX

ALPHA = "alpha-chat"
BETA = "beta-chat"
IMAGE_SIZE = 64


# The files make_demo_data reads, all of them in one directory.
TEXT_FILES = ("cooking", "travel", "gardening", "shifted_french", "shifted_programming", "novel_billing")

#: Ordinary questions drawn from templates beside the sample texts, so that
#: alpha-chat's recipe holds some 400 calibration scores: enough to see a new
#: group of about a tenth of a window of 150 (report/power.py), where the 72
#: of the sample texts alone need a third.
ORDINARY = 440
#: alpha-chat's live traffic: the share of it that is the new kind of message
#: (billing questions), and how often one known question is sent again.
NOVEL_SHARE = 0.14
REPEATS = 8

_TEMPLATES = (
    ("How long should I {0} {1}?", ("roast", "boil", "steam", "grill", "bake", "poach", "braise", "fry"),
     ("potatoes", "a salmon fillet", "carrots", "chicken thighs", "a pork shoulder", "green beans", "eggs",
      "a leg of lamb", "mushrooms", "sweet potatoes", "cauliflower", "a duck breast")),
    ("What can I use instead of {0} in {1}?", ("butter", "eggs", "cream", "sugar", "flour", "yeast", "milk",
                                              "wine", "honey", "baking powder"),
     ("banana bread", "a cheesecake", "pancakes", "a curry", "shortbread", "a risotto", "muffins", "a stew",
      "brownies", "a quiche")),
    ("How do I stop {0} from {1}?", ("rice", "pasta", "a sponge cake", "pizza dough", "scrambled eggs", "caramel",
                                     "a custard", "fried onions"),
     ("sticking to the pan", "getting soggy", "burning on the bottom", "turning out dry", "going rubbery",
      "falling apart")),
    ("Which spices go well with {0} in a {1}?", ("lentils", "chickpeas", "lamb", "pumpkin", "aubergine", "beef",
                                                  "tofu", "spinach"),
     ("soup", "stew", "salad", "curry", "tray bake", "stir fry")),
    ("Do I need a visa to visit {0} for {1}?", ("Japan", "Canada", "Brazil", "Morocco", "Vietnam", "Peru", "Kenya",
                                                "Australia", "Turkey", "India"),
     ("a week", "two weeks", "a month", "a business trip", "a stopover")),
    ("What should I pack for a {0} trip to {1}?", ("winter", "summer", "rainy season", "hiking", "ski", "beach"),
     ("Norway", "Thailand", "Scotland", "Chile", "Iceland", "Greece", "Nepal", "Portugal", "Mexico")),
    ("What is the best way to get from the airport to {0} in {1}?", ("the old town", "the city centre",
                                                                     "the main station", "the harbour"),
     ("Lisbon", "Rome", "Prague", "Tokyo", "Madrid", "Vienna", "Dublin", "Athens", "Seoul", "Oslo")),
    ("Is it worth buying a {0} for a {1} in {2}?", ("rail pass", "museum pass", "travel card", "city pass"),
     ("long weekend", "week", "fortnight"), ("Switzerland", "Italy", "Germany", "Japan", "France", "Austria")),
    ("Which area of {0} is good to stay in for {1}?", ("Barcelona", "Paris", "Berlin", "Istanbul", "Bangkok",
                                                       "New York", "Amsterdam", "Budapest"),
     ("a first visit", "nightlife", "a family holiday", "a quiet stay", "good food")),
)


def ordinary_questions(rng: np.random.Generator, n: int) -> list[str]:
    """``n`` distinct cooking and travel questions from the templates."""
    from itertools import product

    every = [t.format(*words) for t, *lists in _TEMPLATES for words in product(*lists)]
    return [every[i] for i in rng.choice(len(every), size=min(n, len(every)), replace=False)]


def find_data_dir() -> Path:
    """The sample texts shipped with the package."""
    return Path(__file__).resolve().with_name("texts")


def load_texts(data_dir: Path, name: str) -> list[str]:
    lines = (Path(data_dir) / f"{name}.txt").read_text(encoding="utf-8").splitlines()
    return [ln.strip() for ln in lines if ln.strip()]


def draw_shapes(rng: np.random.Generator, size: int = IMAGE_SIZE):
    """Saturated circles, boxes and triangles on a light background."""
    from PIL import Image, ImageDraw

    bg = tuple(int(v) for v in rng.integers(215, 256, 3))
    img = Image.new("RGB", (size, size), bg)
    d = ImageDraw.Draw(img)
    for _ in range(int(rng.integers(1, 4))):
        colour = tuple(int(v) for v in rng.permutation([int(rng.integers(180, 256)), int(rng.integers(0, 90)),
                                                         int(rng.integers(0, 90))]))
        x0, y0 = (int(v) for v in rng.integers(0, size // 2, 2))
        w, h = (int(v) for v in rng.integers(size // 5, size // 2, 2))
        box = [x0, y0, x0 + w, y0 + h]
        kind = int(rng.integers(0, 3))
        if kind == 0:
            d.ellipse(box, fill=colour)
        elif kind == 1:
            d.rectangle(box, fill=colour)
        else:
            d.polygon([(x0, y0 + h), (x0 + w // 2, y0), (x0 + w, y0 + h)], fill=colour)
    return img


def draw_gradient(rng: np.random.Generator, size: int = IMAGE_SIZE):
    """A smooth two-colour gradient at a random angle with one soft ellipse."""
    from PIL import Image, ImageDraw, ImageFilter

    c0 = rng.integers(40, 200, 3).astype(float)
    c1 = rng.integers(60, 256, 3).astype(float)
    angle = rng.uniform(0, np.pi)
    yy, xx = np.mgrid[0:size, 0:size] / (size - 1)
    t = (np.cos(angle) * xx + np.sin(angle) * yy)
    t = (t - t.min()) / max(t.max() - t.min(), 1e-9)
    arr = (c0[None, None, :] * (1 - t[..., None]) + c1[None, None, :] * t[..., None]).astype(np.uint8)
    img = Image.fromarray(arr, "RGB")
    d = ImageDraw.Draw(img)
    x0, y0 = (int(v) for v in rng.integers(4, size // 2, 2))
    r = int(rng.integers(size // 8, size // 3))
    d.ellipse([x0, y0, x0 + r, y0 + r], fill=tuple(int(v) for v in rng.integers(0, 256, 3)))
    return img.filter(ImageFilter.GaussianBlur(1.5))


def distort(img, rng: np.random.Generator):
    """The shifted images: colours inverted, heavy Gaussian noise, a random
    rotation (what a broken camera pipeline or a new image source sends)."""
    from PIL import Image, ImageOps

    out = ImageOps.invert(img.convert("RGB")).rotate(float(rng.uniform(20, 340)), fillcolor=(0, 0, 0))
    arr = np.asarray(out, dtype=float) + rng.normal(0, 60, (img.height, img.width, 3))
    return Image.fromarray(np.clip(arr, 0, 255).astype(np.uint8), "RGB")


def png_bytes(img) -> bytes:
    buf = io.BytesIO()
    img.save(buf, format="PNG")
    return buf.getvalue()


def data_url(img) -> str:
    return "data:image/png;base64," + base64.b64encode(png_bytes(img)).decode("ascii")


@dataclass
class DemoData:
    """Everything the demo sends or records, drawn once from a seed."""

    recipe_texts: dict[str, list[str]]
    recipe_images: dict[str, list[bytes]]
    traffic: dict[str, list[tuple[str, bytes]]]  # served model -> [(text, png)]
    labels: dict[str, str]


def make_demo_data(data_dir: Path, seed: int = 0, n_images: int = 60, ordinary: int = ORDINARY,
                   novel_share: float = NOVEL_SHARE) -> DemoData:
    """alpha-chat: a recipe of cooking and travel questions; its traffic the
    held-out ones with one of them sent :data:`REPEATS` times and, in its
    later part, a new kind of message (billing questions, ``novel_share`` of
    it). beta-chat: a small recipe of gardening questions; its traffic
    French and programming questions (the whole traffic moved)."""
    rng = np.random.default_rng(seed)
    alpha = load_texts(data_dir, "cooking") + load_texts(data_dir, "travel")
    alpha += ordinary_questions(np.random.default_rng([seed, 3]), ordinary)
    order = rng.permutation(len(alpha))
    n_hold = len(alpha) // 4
    alpha_live = [alpha[i] for i in order[:n_hold]]
    alpha_ref = [alpha[i] for i in np.sort(order[n_hold:])]
    alpha_live += [alpha_live[0]] * (REPEATS - 1)
    alpha_live = [alpha_live[i] for i in rng.permutation(len(alpha_live))]
    billing = load_texts(data_dir, "novel_billing")
    n_new = min(len(billing), round(novel_share * len(alpha_live) / (1 - novel_share)))
    # The new kind of message arrives in the later part of the traffic, as a new topic would.
    late = np.sort(rng.choice(np.arange(len(alpha_live) // 3, len(alpha_live) + 1), size=n_new, replace=True))
    for k, at in enumerate(late[::-1]):
        alpha_live.insert(int(at), billing[k])
    beta_ref = load_texts(data_dir, "gardening")
    beta_live = load_texts(data_dir, "shifted_french")[:20] + load_texts(data_dir, "shifted_programming")[:20]
    beta_live = [beta_live[i] for i in rng.permutation(len(beta_live))]

    ref_rng, live_rng = np.random.default_rng([seed, 1]), np.random.default_rng([seed, 2])
    images = {ALPHA: [png_bytes(draw_shapes(ref_rng)) for _ in range(n_images)],
              BETA: [png_bytes(draw_gradient(ref_rng)) for _ in range(n_images)]}
    traffic = {
        ALPHA: [(t, png_bytes(draw_shapes(live_rng))) for t in alpha_live],
        BETA: [(t, png_bytes(distort(draw_gradient(live_rng), live_rng))) for t in beta_live],
    }
    return DemoData(
        recipe_texts={ALPHA: alpha_ref, BETA: beta_ref},
        recipe_images=images,
        traffic=traffic,
        labels={ALPHA: f"held-out cooking/travel questions, one sent {REPEATS} times, and from a third of the way "
                       f"on {n_new} billing questions ({n_new / len(alpha_live):.0%}); new shape images",
                BETA: "shifted (French + programming questions; inverted, noised, rotated images)"},
    )


def build_demo_recipes(workdir: Path, data: DemoData, text_model: str, image_model: str,
                       *, show_progress: bool = True) -> dict[str, str]:
    from ..recipes import build_recipe
    from ..report.calibrate import recipe_calibrations

    prefixes = {ALPHA: DEFAULT_TEXT_PREFIX, BETA: ""}  # both the default and an explicit empty prefix
    paths = {}
    for served in (ALPHA, BETA):
        dest = Path(workdir) / "recipes" / served
        build_recipe(dest, text_model=text_model, texts=data.recipe_texts[served],
                     image_model=image_model, images=data.recipe_images[served],
                     text_prefix=prefixes[served], test_fraction=0.25, seed=7,
                     overwrite=True, show_progress=show_progress, calibrate=recipe_calibrations)
        paths[served] = str(dest)
    return paths
