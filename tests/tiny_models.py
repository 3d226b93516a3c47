"""Tiny models the tests (and benchmarks) build, offline, from a fixed seed,
with the demo's builders (:mod:`olvane_sdk.fast.deployment.ood.demo.models`:
atomic build under a lock, ONNX export in place).

``tiny_text_model_dir(dest)``
    a tiny random BERT (WordPiece vocabulary written here, hidden size 32,
    mean pooling); ``encode(str)`` gives a float32 vector of 32.
``tiny_clip_model_dir(dest)``
    a tiny random full CLIP (text and vision towers). It loads with
    ``backend="onnx"``, but sentence-transformers cannot encode with it: with
    sentence-transformers 5.7 / optimum-onnx 0.1 the whole ``CLIPModel`` is
    exported as one graph that needs ``input_ids`` and ``pixel_values``
    together, and ``encode`` raises ``ValueError`` (saved by
    sentence-transformers: "Model does not have the requested
    'get_image_features' method"; a plain transformers directory: "Input
    input_ids is required by model but not provided."). It exists to exercise
    that failure.
"""
from __future__ import annotations

import json
import os
import shutil
from pathlib import Path

from olvane_sdk.fast.deployment.ood.demo.models import (SEED, build_atomically, clip_image_processor,
                                                        clip_vision_config_kwargs, export_onnx, offline_env,
                                                        prefer_slow_processor)

#: Embedding size of ``tiny_text_model_dir()``.
TINY_TEXT_MODEL_DIM = 32

# A small WordPiece vocabulary: specials, characters, and some whole words so
# that short English sentences tokenise into more than single letters.
_SPECIAL_TOKENS = ["[PAD]", "[UNK]", "[CLS]", "[SEP]", "[MASK]"]
_WORDS = (
    "the a an is are was be to of and in on for with what how why who where "
    "this that it you i we they he she my your our image picture photo text "
    "cat dog car house tree sky sun water red green blue hello world some "
    "question answer model query passage describe show see"
).split()


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
        torch.manual_seed(SEED)
        BertModel(config).eval().save_pretrained(str(hf_dir))
        tokenizer.save_pretrained(str(hf_dir))

        transformer = Transformer(str(hf_dir), max_seq_length=64)
        pooling = Pooling(transformer.get_embedding_dimension(), pooling_mode="mean")
        st_dir = out.parent / (out.name + "-st")
        try:
            SentenceTransformer(modules=[transformer, pooling], device="cpu").save(str(st_dir))
            export_onnx(st_dir, out)
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
    return build_atomically(Path(dest), _build_tiny_text)




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
            vision_config=clip_vision_config_kwargs(),
            projection_dim=16,
        )
        torch.manual_seed(SEED)
        CLIPModel(config).eval().save_pretrained(str(hf_dir))
        CLIPProcessor(image_processor=clip_image_processor(), tokenizer=tokenizer).save_pretrained(str(hf_dir))
        # Saved by sentence-transformers (Transformer module, modality config
        # text -> get_text_features, image -> get_image_features), then exported.
        SentenceTransformer(str(hf_dir), device="cpu").save(str(st_dir))
        export_onnx(st_dir, out)
        # Keep the PyTorch weights too, so that backend="torch" loads the same
        # directory (the ONNX save writes only onnx/model.onnx).
        shutil.copy2(st_dir / "model.safetensors", out / "model.safetensors")
    finally:
        shutil.rmtree(hf_dir, ignore_errors=True)
        shutil.rmtree(st_dir, ignore_errors=True)
    prefer_slow_processor(out)


def tiny_clip_model_dir(dest: str | os.PathLike) -> str:
    """Builds (once) a tiny random full CLIP sentence-transformer at ``dest``.

    With ``backend="torch"`` it encodes text and images (16-d). With
    ``backend="onnx"`` it loads, but ``encode`` raises ``ValueError`` ("Model
    does not have the requested 'get_image_features' method", or
    'get_text_features' for text): what a recipe naming a CLIP image model
    meets under the ONNX backend.
    """
    offline_env()
    return build_atomically(Path(dest), _build_full_clip)
