"""Recipe builder: writes a recipe directory (:mod:`.layout`) that
``init_models`` reads.

The embeddings are made with the very models that the configuration names,
loaded as the interceptor loads them (``SentenceTransformer(name,
backend="onnx")``), and every text is embedded as the live path embeds it:
the text prefix followed directly by the text. Images are handed to
``encode`` as Pillow opens them, as on the live path.

The recipe is written into a temporary directory beside the target and moved
into place by one rename, so a failure never leaves a half-written recipe.
"""
from __future__ import annotations

import contextlib
import json
import os
import shutil
import tempfile
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Callable, Iterable, Sequence

import numpy as np

from ..recipe_files.layout import CALIBRATION_PARTS, CONFIG_PARTS, DEFAULT_TEXT_PREFIX, TERMS_PARTS, TEST_PARTS, TRAIN_PARTS
from ..recipe_files.terms import term_profile
from .inputs import RecipeError, _check_images, _check_roles, _check_texts, _open_image


@dataclass(frozen=True)
class RecipeSummary:
    path: Path
    text_model: str
    image_model: str | None
    text_prefix: str
    n_train_texts: int
    n_test_texts: int
    n_train_images: int
    n_test_images: int
    dim_text: int
    dim_image: int | None
    # modality -> how many calibration scores the report gets from it (train rows left out
    # one at a time, plus the test rows): what decides the smallest share it can see
    calibration: dict[str, int] = field(default_factory=dict)


def calibration_size(n_train: int, n_test: int) -> int:
    return (n_train if n_train > 1 else 0) + n_test


def load_onnx_model(name: str):
    """Loads a model exactly as the interceptor does."""
    from sentence_transformers import SentenceTransformer

    return SentenceTransformer(name, backend="onnx")


# --------------------------------------------------------------------------
# input checks


def _split(n: int, test_fraction: float, rng: np.random.Generator, what: str) -> tuple[np.ndarray, np.ndarray]:
    if not 0.0 < test_fraction < 1.0:
        raise RecipeError(f"test_fraction must be between 0 and 1, got {test_fraction}")
    if n < 2:
        raise RecipeError(f"{what}: need at least 2 items to split off a test set (or give the test items)")
    n_test = min(n - 1, max(1, int(round(n * test_fraction))))
    order = rng.permutation(n)
    return np.sort(order[n_test:]), np.sort(order[:n_test])


# --------------------------------------------------------------------------
# the build


class _Embedder:
    """Loads each distinct model name once and embeds with a progress bar."""

    def __init__(self, loader: Callable[[str], Any], progress, batch_size: int):
        self.loader = loader
        self.models: dict[str, Any] = {}
        self.progress = progress
        self.batch_size = batch_size

    def model(self, name: str):
        if name not in self.models:
            try:
                self.models[name] = self.loader(name)
            except Exception as e:  # the loader's own errors vary by cause
                raise RecipeError(
                    f"cannot load embedding model {name!r} with backend='onnx': {type(e).__name__}: {e}"
                ) from e
        return self.models[name]

    def embed(self, name: str, items: Sequence, label: str) -> np.ndarray:
        model = self.model(name)
        task = self.progress.add_task(label, total=len(items)) if self.progress else None
        out = []
        for start in range(0, len(items), self.batch_size):
            chunk = list(items[start : start + self.batch_size])
            try:
                vecs = model.encode(chunk, convert_to_numpy=True, show_progress_bar=False)
            except Exception as e:
                raise RecipeError(f"model {name!r} failed to embed {label}: {type(e).__name__}: {e}") from e
            vecs = np.asarray(vecs, dtype=np.float32)
            if vecs.ndim != 2 or vecs.shape[0] != len(chunk):
                raise RecipeError(f"model {name!r} returned shape {vecs.shape} for {len(chunk)} inputs")
            out.append(vecs)
            if task is not None:
                self.progress.update(task, advance=len(chunk))
        return np.concatenate(out, axis=0)


def _prepare_target(dest: Path, overwrite: bool) -> tuple[Path, list[Path]]:
    """Checks the target; returns the temporary build directory and the
    parent directories created for it (removed again on failure)."""
    if dest.exists() and not overwrite:
        raise RecipeError(f"{dest} already exists (pass overwrite=True / --force to replace it)")
    if dest.exists() and not dest.is_dir():
        raise RecipeError(f"{dest} exists and is not a directory")
    created: list[Path] = []
    parent = dest.parent
    missing = []
    p = parent
    while not p.exists():
        missing.append(p)
        p = p.parent
    if not p.is_dir():
        raise RecipeError(f"cannot create {dest}: {p} is not a directory")
    try:
        for m in reversed(missing):
            m.mkdir()
            created.append(m)
        tmp = Path(tempfile.mkdtemp(prefix=f".{dest.name}.tmp-", dir=parent))
    except OSError as e:
        _remove_created(created)
        raise RecipeError(f"cannot write a recipe under {parent}: {e.strerror or e}") from e
    return tmp, created


def _remove_created(created: list[Path]) -> None:
    for d in reversed(created):
        try:
            d.rmdir()
        except OSError:
            pass


@dataclass
class _Items:
    """The checked train and held-out items and the train items' roles
    (images: None without an image model)."""

    train_texts: list[str]
    held_texts: list[str] | None
    text_roles: list[str]
    train_images: list | None
    held_images: list | None
    image_roles: list[str] | None


def _check_inputs(text_model, texts, text_roles, test_texts, image_model, images, image_roles, test_images,
                  text_prefix) -> _Items:
    """Every check of :func:`build_recipe`'s arguments, before anything is written."""
    if not isinstance(text_model, str) or not text_model:
        raise RecipeError("text_model must be the name or path of a sentence-transformers model")
    if not isinstance(text_prefix, str):
        raise RecipeError(f"text_prefix must be a string, got {type(text_prefix).__name__}")
    train_texts = _check_texts(texts, "texts", required=True)
    held_texts = _check_texts(test_texts, "test_texts", required=False)
    t_roles = _check_roles(text_roles, len(train_texts), "text_roles")
    train_images = _check_images(images, "images")
    held_images = _check_images(test_images, "test_images")
    if image_model is not None and (not isinstance(image_model, str) or not image_model):
        raise RecipeError("image_model must be a model name or path, or None")
    if train_images is not None and image_model is None:
        raise RecipeError("images given but no image_model to embed them")
    if image_model is not None and train_images is None:
        raise RecipeError("image_model given but no images: the recipe would name a model it never loads")
    if held_images is not None and train_images is None:
        raise RecipeError("test_images given without train images")
    i_roles = _check_roles(image_roles, len(train_images), "image_roles") if train_images else None
    return _Items(train_texts, held_texts, t_roles, train_images, held_images, i_roles)


def _hold_out(items: _Items, test_fraction: float, seed: int) -> None:
    """Splits a seeded test set off the train items where none was given
    (texts first, then images, from one generator)."""
    rng = np.random.default_rng(seed)
    if items.held_texts is None:
        tr, te = _split(len(items.train_texts), test_fraction, rng, "texts")
        items.held_texts = [items.train_texts[i] for i in te]
        items.train_texts = [items.train_texts[i] for i in tr]
        items.text_roles = [items.text_roles[i] for i in tr]
    if items.train_images is not None and items.held_images is None:
        tr, te = _split(len(items.train_images), test_fraction, rng, "images")
        items.held_images = [items.train_images[i] for i in te]
        items.train_images = [items.train_images[i] for i in tr]
        items.image_roles = [items.image_roles[i] for i in tr]


def _embed_items(items: _Items, emb: _Embedder, text_model: str, image_model: str | None, text_prefix: str,
                 name: str) -> tuple[dict[str, np.ndarray], dict[str, np.ndarray]]:
    """The recipe's (train, test) arrays. The models load first, so an
    unloadable one fails before any embedding work."""
    emb.model(text_model)
    if image_model is not None:
        emb.model(image_model)
    pre = lambda ts: [f"{text_prefix}{t}" for t in ts]  # noqa: E731 - as the live path
    tx_train = emb.embed(text_model, pre(items.train_texts), f"[green]{name}: train texts")
    tx_test = emb.embed(text_model, pre(items.held_texts), f"[green]{name}: test texts")
    if tx_train.shape[1] != tx_test.shape[1]:
        raise RecipeError("train and test text embeddings differ in dimension")
    train = {"text_embeddings": tx_train, "text_roles": np.array(items.text_roles, dtype=str)}
    test = {"text_embeddings": tx_test}
    if items.train_images is not None:
        train["image_embeddings"] = emb.embed(image_model, [_open_image(x) for x in items.train_images],
                                              f"[green]{name}: train images")
        train["image_roles"] = np.array(items.image_roles, dtype=str)
        test["image_embeddings"] = emb.embed(image_model, [_open_image(x) for x in items.held_images],
                                             f"[green]{name}: test images")
    return train, test


def _write_files(tmp: Path, config: dict, train: dict[str, np.ndarray], test: dict[str, np.ndarray],
                 terms: dict | None = None, calibration: dict | None = None) -> None:
    """The recipe's files under ``tmp``, in the layout of :mod:`.layout`;
    ``terms`` the reference texts' term profile (read by the outlier
    clusters, ignored by the extension)."""
    for parts in (TRAIN_PARTS, TEST_PARTS):
        tmp.joinpath(*parts[:-1]).mkdir(parents=True, exist_ok=True)
    with open(tmp.joinpath(*CONFIG_PARTS), "w", encoding="utf-8") as f:
        json.dump(config, f, indent=2, ensure_ascii=False)
        f.write("\n")
    np.savez(tmp.joinpath(*TRAIN_PARTS), **train)
    np.savez(tmp.joinpath(*TEST_PARTS), **test)
    if terms is not None:
        tmp.joinpath(*TERMS_PARTS).write_text(json.dumps(terms, ensure_ascii=False), encoding="utf-8")
    if calibration is not None:
        tmp.joinpath(*CALIBRATION_PARTS).write_text(json.dumps(calibration), encoding="utf-8")


def build_recipe(
    dest: str | os.PathLike,
    *,
    text_model: str,
    texts: Iterable[str],
    text_roles: Iterable[str] | str | None = None,
    test_texts: Iterable[str] | None = None,
    image_model: str | None = None,
    images: Iterable | None = None,
    image_roles: Iterable[str] | str | None = None,
    test_images: Iterable | None = None,
    text_prefix: str = DEFAULT_TEXT_PREFIX,
    test_fraction: float = 0.2,
    seed: int = 0,
    overwrite: bool = False,
    batch_size: int = 32,
    show_progress: bool = True,
    model_loader: Callable[[str], Any] | None = None,
    calibrate: Callable[[dict, dict], dict] | None = None,
) -> RecipeSummary:
    """Embeds texts (and images) and writes a recipe directory at ``dest``.

    ``texts`` are the train texts; ``test_texts`` the held-out ones. Without
    ``test_texts`` a seeded ``test_fraction`` of ``texts`` is held out (the
    same holds for images). Roles (one per train item, or one string for all)
    default to "user". ``text_prefix`` is written to the configuration and put
    before every text, as the live path does. ``model_loader`` replaces the
    default ONNX loader (tests). ``calibrate`` (the report's
    ``report.calibrate.recipe_calibrations``) sets the recipe's cutoffs for
    the novelty statistics from its own rows, written beside it; without
    it the report computes them on the recipe's first report. Raises :class:`RecipeError` on bad input,
    leaving nothing behind.
    """
    dest = Path(dest)
    items = _check_inputs(text_model, texts, text_roles, test_texts, image_model, images, image_roles, test_images,
                          text_prefix)
    _hold_out(items, test_fraction, seed)
    tmp, created = _prepare_target(dest, overwrite)
    try:
        from rich.progress import Progress

        with (Progress(transient=True) if show_progress else contextlib.nullcontext()) as progress:
            emb = _Embedder(model_loader or load_onnx_model, progress if show_progress else None, batch_size)
            train, test = _embed_items(items, emb, text_model, image_model, text_prefix, dest.name)
        config = {"embeddings": {"text_model_name": text_model,
                                 "image_model_name": image_model,
                                 "text_prefix": text_prefix}}
        _write_files(tmp, config, train, test, term_profile(items.train_texts + items.held_texts),
                     calibrate(train, test) if calibrate is not None else None)
        _move_into_place(tmp, dest, overwrite)
    except BaseException as e:
        shutil.rmtree(tmp, ignore_errors=True)
        _remove_created(created)
        if isinstance(e, OSError):
            raise RecipeError(f"cannot write recipe {dest}: {e}") from e
        raise
    tx, im = train["text_embeddings"], train.get("image_embeddings")
    return RecipeSummary(
        path=dest, text_model=text_model, image_model=image_model, text_prefix=text_prefix,
        n_train_texts=len(items.train_texts), n_test_texts=len(items.held_texts),
        n_train_images=0 if im is None else len(im),
        n_test_images=0 if im is None else len(test["image_embeddings"]),
        dim_text=int(tx.shape[1]),
        dim_image=None if im is None else int(im.shape[1]),
        calibration={"text": calibration_size(len(tx), len(test["text_embeddings"])),
                     **({} if im is None else {"image": calibration_size(len(im), len(test["image_embeddings"]))})},
    )


def _move_into_place(tmp: Path, dest: Path, overwrite: bool) -> None:
    if dest.exists():
        if not overwrite:
            raise RecipeError(f"{dest} appeared while the recipe was built")
        old = Path(tempfile.mkdtemp(prefix=f".{dest.name}.old-", dir=dest.parent))
        old.rmdir()
        os.rename(dest, old)
        try:
            os.rename(tmp, dest)
        except OSError:
            os.rename(old, dest)
            raise
        shutil.rmtree(old, ignore_errors=True)
    else:
        os.rename(tmp, dest)
