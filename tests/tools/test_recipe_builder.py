"""The recipe builder: its output loads through init_models without an error
line, it embeds as the live path does, and bad input leaves nothing behind."""
from __future__ import annotations

import json

import numpy as np
import pytest
from PIL import Image

from support import drain, stop_worker

pytest.importorskip("onnxruntime")
from olvane_sdk.fast.deployment.ood.demo import models as local_models  # noqa: E402
from olvane_sdk.fast.deployment.ood import recipes as rb  # noqa: E402
from olvane_sdk.fast.deployment.ood.recipes.command import main as recipe_command  # noqa: E402
import tiny_models  # noqa: E402

TEXTS = [f"question number {i} about the {w} and the {v}" for i, (w, v) in
         enumerate([("sun", "sky"), ("cat", "dog"), ("tree", "water"), ("car", "house"), ("red", "blue"),
                    ("world", "picture"), ("photo", "image"), ("model", "query"), ("green", "sky"), ("dog", "sun")])]


@pytest.fixture(scope="session")
def tiny_text(tmp_path_factory):
    return tiny_models.tiny_text_model_dir(tmp_path_factory.mktemp("rb-models") / "tiny-text")


@pytest.fixture(scope="session")
def image_model():
    return local_models.image_model_dir()


def pngs(n, seed=0):
    rng = np.random.default_rng(seed)
    out = []
    for _ in range(n):
        arr = rng.integers(0, 256, (20, 24, 3), dtype=np.uint8)
        buf = __import__("io").BytesIO()
        Image.fromarray(arr, "RGB").save(buf, format="PNG")
        out.append(buf.getvalue())
    return out


@pytest.mark.parametrize("with_images", [False, True], ids=["text-only", "text+images"])
@pytest.mark.parametrize("explicit_test", [False, True], ids=["split", "given-test"])
def test_output_loads_through_init_models_without_error(
    mod, handler, console, tmp_path, tiny_text, image_model, with_images, explicit_test
):
    kwargs = dict(text_model=tiny_text, texts=TEXTS, text_roles=["user", "system"] * 5, show_progress=False)
    if explicit_test:
        kwargs["test_texts"] = ["a held out question about the sky", "another one about a cat"]
    if with_images:
        kwargs.update(image_model=image_model, images=pngs(8), image_roles="user")
        if explicit_test:
            kwargs["test_images"] = pngs(3, seed=1)
    summary = rb.build_recipe(tmp_path / "r", **kwargs)

    handler.init_models({"served": str(summary.path)})

    assert not [ln for ln in console.lines if "[red]" in ln], console.lines
    assert console.tracebacks == []
    tte = handler.train_test_embeddings["served"]
    assert list(tte) == (["text", "image"] if with_images else ["text"])
    text = tte["text"]
    n_test = 2 if explicit_test else summary.n_test_texts
    assert text["train"].shape == (summary.n_train_texts, tiny_models.TINY_TEXT_MODEL_DIM)
    assert text["test"].shape == (n_test, tiny_models.TINY_TEXT_MODEL_DIM)
    assert summary.n_train_texts + (0 if explicit_test else n_test) == len(TEXTS)
    assert len(text["train_roles"]) == summary.n_train_texts
    assert set(text["train_roles"].tolist()) <= {"user", "system"}
    assert handler.vllm_to_embedding_model_map["served"] == {"text": tiny_text,
                                                             "image": image_model if with_images else None}
    assert handler.text_prefixes["served"] == rb.DEFAULT_TEXT_PREFIX
    assert set(handler.embedding_models) == ({tiny_text, image_model} if with_images else {tiny_text})
    if with_images:
        image = tte["image"]
        assert image["train"].shape == (summary.n_train_images, local_models.IMAGE_MODEL_DIM)
        assert image["test"].shape[0] == (3 if explicit_test else summary.n_test_images)
        assert image["train_roles"].tolist() == ["user"] * summary.n_train_images
    # Nothing but the recipe in the parent directory.
    assert [p.name for p in tmp_path.iterdir()] == ["r"]


@pytest.mark.parametrize("prefix", ["query: ", "", "passage: "])
def test_embeds_as_the_live_path_does(mod, handler, console, thread_errors, tmp_path, tiny_text, prefix):
    """A text sent through the live path is stored with the same embedding
    that the builder recorded for it (same model, same prefix)."""
    summary = rb.build_recipe(tmp_path / "r", text_model=tiny_text, texts=TEXTS, test_texts=TEXTS[:1],
                              text_prefix=prefix, show_progress=False)
    cfg = json.loads((summary.path / "data" / "distribution" / "test_config.json").read_text())
    assert cfg["embeddings"]["text_prefix"] == prefix
    handler.init_models({"served": str(summary.path)})
    handler.add_live_message({"model": "served", "content": TEXTS[3]})
    handler.start_live_embedding_worker()
    try:
        drain(handler)
    finally:
        stop_worker(handler, handler.embedding_thread)
    live = np.asarray(handler.live_embeddings["served"]["text"]["live"])
    train = handler.train_test_embeddings["served"]["text"]["train"]
    assert live.shape == (1, train.shape[1])
    np.testing.assert_allclose(live[0], train[3], rtol=1e-4, atol=1e-5)
    # ... and the prefix matters: another prefix gives another vector.
    other = "X " if prefix != "X " else "Y "
    alt = rb.load_onnx_model(tiny_text).encode(other + TEXTS[3])
    assert not np.allclose(alt, train[3], atol=1e-4)


def _model_that_fails_on(call_no):
    class M:
        calls = 0

        def encode(self, items, **kw):
            M.calls += 1
            if M.calls == call_no:
                raise RuntimeError("encoder exploded")
            return np.ones((len(items), 4), dtype=np.float32)

    return lambda name: M()


BAD = {
    "no texts": (dict(texts=[]), "no texts given"),
    "texts None": (dict(texts=None), "no texts given"),
    "one string": (dict(texts="just one text"), "sequence of strings"),
    "non-string text": (dict(texts=["ok", 3]), "texts[1] is a int"),
    "blank text": (dict(texts=["ok", "   "]), "texts[1] is blank"),
    "roles mismatch": (dict(text_roles=["user"]), "text_roles has 1 entries for 10 items"),
    "images without model": (dict(images=pngs(3)), "images given but no image_model"),
    "model without images": (dict(image_model="some-model"), "image_model given but no images"),
    "missing image file": (dict(image_model="m", images=["/nonexistent/x.png"]), "no such image file"),
    "bad test fraction": (dict(test_fraction=1.5), "test_fraction must be between 0 and 1"),
    "unknown text model": (dict(text_model="no-such-org/no-such-model"), "cannot load embedding model 'no-such-org/no-such-model'"),
    "unknown image model": (dict(image_model="/nonexistent/model", images=pngs(3)), "cannot load embedding model '/nonexistent/model'"),
    "encoder fails mid-way": (dict(model_loader=_model_that_fails_on(2)), "failed to embed"),
    "undecodable image": (dict(image_model="m", images=[b"not an image", b"x"], model_loader=_model_that_fails_on(99)), "cannot open image"),
}


@pytest.mark.parametrize("case", sorted(BAD))
def test_bad_input_gives_clear_error_and_leaves_nothing(tmp_path, tiny_text, case):
    overrides, message = BAD[case]
    kwargs = dict(text_model=tiny_text, texts=TEXTS, show_progress=False)
    kwargs.update(overrides)
    parent = tmp_path / "out"
    parent.mkdir()
    with pytest.raises(rb.RecipeError) as ei:
        rb.build_recipe(parent / "recipe", **kwargs)
    assert message in str(ei.value)
    assert list(parent.iterdir()) == []


@pytest.mark.parametrize("where", ["parent is a file", "grandparent is a file"])
def test_unwritable_directory(tmp_path, tiny_text, where):
    blocker = tmp_path / "blocker"
    blocker.write_text("a file, not a directory")
    dest = blocker / "r" if where == "parent is a file" else blocker / "a" / "b" / "r"
    with pytest.raises(rb.RecipeError, match="not a directory|cannot write"):
        rb.build_recipe(dest, text_model=tiny_text, texts=TEXTS, show_progress=False)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["blocker"]


def test_created_parents_are_removed_on_failure(tmp_path):
    dest = tmp_path / "x" / "y" / "r"
    with pytest.raises(rb.RecipeError, match="cannot load"):
        rb.build_recipe(dest, text_model="/nonexistent/model", texts=TEXTS, show_progress=False)
    assert list(tmp_path.iterdir()) == []


def test_existing_recipe_is_kept_unless_overwrite(tmp_path, tiny_text):
    dest = tmp_path / "r"
    rb.build_recipe(dest, text_model=tiny_text, texts=TEXTS, show_progress=False, seed=1)
    first = (dest / "data" / "distribution" / "train" / "embeddings.npz").read_bytes()
    with pytest.raises(rb.RecipeError, match="already exists"):
        rb.build_recipe(dest, text_model=tiny_text, texts=TEXTS[:5], show_progress=False)
    assert (dest / "data" / "distribution" / "train" / "embeddings.npz").read_bytes() == first
    # A failed overwrite keeps the old recipe too.
    with pytest.raises(rb.RecipeError):
        rb.build_recipe(dest, text_model="/nonexistent/model", texts=TEXTS, overwrite=True, show_progress=False)
    assert (dest / "data" / "distribution" / "train" / "embeddings.npz").read_bytes() == first
    s = rb.build_recipe(dest, text_model=tiny_text, texts=TEXTS[:5], overwrite=True, show_progress=False)
    with np.load(dest / "data" / "distribution" / "train" / "embeddings.npz") as arr:
        assert len(arr["text_embeddings"]) == s.n_train_texts == 4
    assert [p.name for p in tmp_path.iterdir()] == ["r"]


def test_split_is_seeded_and_disjoint(tmp_path, tiny_text):
    a = rb.build_recipe(tmp_path / "a", text_model=tiny_text, texts=TEXTS, seed=5, show_progress=False)
    b = rb.build_recipe(tmp_path / "b", text_model=tiny_text, texts=TEXTS, seed=5, show_progress=False)
    c = rb.build_recipe(tmp_path / "c", text_model=tiny_text, texts=TEXTS, seed=6, show_progress=False)

    def load(s):
        with np.load(s.path / "data/distribution/train/embeddings.npz") as tr, \
                np.load(s.path / "data/distribution/test/embeddings.npz") as te:
            return tr["text_embeddings"], te["text_embeddings"]

    (atr, ate), (btr, bte), (_, cte) = load(a), load(b), load(c)
    np.testing.assert_array_equal(atr, btr)
    np.testing.assert_array_equal(ate, bte)
    assert not np.array_equal(ate, cte)
    assert len(atr) + len(ate) == len(TEXTS) and len(ate) == 2
    # No text is in both splits.
    assert not any(np.allclose(t, u) for t in ate for u in atr)


def test_command_line(tmp_path, tiny_text, image_model, capsys):
    texts = tmp_path / "texts.txt"
    texts.write_text("\n".join(TEXTS) + "\n\n")
    jsonl = tmp_path / "more.jsonl"
    jsonl.write_text("\n".join(json.dumps({"text": t, "role": "assistant"}) for t in TEXTS[:4]))
    imgdir = tmp_path / "imgs"
    imgdir.mkdir()
    for i, b in enumerate(pngs(5)):
        (imgdir / f"{i}.png").write_bytes(b)
    (imgdir / "notes.txt").write_text("ignored")
    dest = tmp_path / "recipe"
    rc = recipe_command([str(dest), "--text-model", tiny_text, "--texts", str(texts), str(jsonl),
                  "--image-model", image_model, "--images", str(imgdir), "--text-prefix", ""])
    out = capsys.readouterr()
    assert rc == 0, out.err
    assert "recipe written" in out.out
    with np.load(dest / "data/distribution/train/embeddings.npz") as arr:
        n = len(arr["text_embeddings"])
        assert n + 3 == len(TEXTS) + 4  # 20 % of 14 held out
        assert set(arr["text_roles"].tolist()) == {"user", "assistant"}
        assert len(arr["image_embeddings"]) == 4
    cfg = json.loads((dest / "data/distribution/test_config.json").read_text())
    assert cfg == {"embeddings": {"text_model_name": tiny_text, "image_model_name": image_model, "text_prefix": ""}}

    rc = recipe_command([str(tmp_path / "bad"), "--text-model", tiny_text, "--texts", str(tmp_path / "missing.txt")])
    err = capsys.readouterr().err
    assert rc == 2 and "error:" in err and "missing.txt" in err
    assert not (tmp_path / "bad").exists()
