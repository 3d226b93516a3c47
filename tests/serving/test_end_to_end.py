"""From a chat-completion request, as the server parses it, to stored live
embeddings, with real offline sentence-transformer models (ONNX backend)
loaded from recipe directories."""
from __future__ import annotations

import io
import json

import numpy as np
import pytest

from support import data_url, drain, png_bytes, stop_worker, write_recipe
import tiny_models

SERVED = "served-demo"
QUESTION = "What is in this picture?"
IMAGE_EMBEDDING_ERROR = "[red]Error computing image embedding:[/red] "

# Building the local models traces them with torch, which warns at length.
pytestmark = pytest.mark.filterwarnings("ignore")


def green(text, image, model=SERVED) -> str:
    return f"[green]Model: {model} | Text: {text} embeddings | Image: {image} embeddings[/green]"


@pytest.fixture(scope="session")
def local_models():
    protocol = pytest.importorskip("vllm.entrypoints.openai.protocol")
    if not hasattr(protocol.ChatCompletionRequest, "model_validate"):
        pytest.skip("the real vLLM is not installed")
    pytest.importorskip("onnxruntime")
    from olvane_sdk.fast.deployment.ood.demo import models as local_models

    return local_models


@pytest.fixture(scope="session")
def text_models(local_models, tmp_path_factory):
    """Text model directories by kind, with their embedding sizes."""
    return {
        "tiny": (tiny_models.tiny_text_model_dir(tmp_path_factory.mktemp("models") / "tiny-text"),
                 tiny_models.TINY_TEXT_MODEL_DIM),
        "minilm": (local_models.text_model_dir(), local_models.TEXT_MODEL_DIM),
    }


@pytest.fixture(scope="session")
def image_model(local_models):
    return local_models.image_model_dir(), local_models.IMAGE_MODEL_DIM


@pytest.fixture(scope="session")
def clip_model(local_models, tmp_path_factory):
    return tiny_models.tiny_clip_model_dir(tmp_path_factory.mktemp("models") / "tiny-clip")


def chat_request(png: bytes):
    """Parses a request body as the server does."""
    from vllm.entrypoints.openai.protocol import ChatCompletionRequest

    body = json.dumps(
        {
            "model": SERVED,
            "messages": [
                {
                    "role": "user",
                    "content": [
                        {"type": "text", "text": QUESTION},
                        {"type": "image_url", "image_url": {"url": data_url(png)}},
                    ],
                }
            ],
        }
    )
    return ChatCompletionRequest.model_validate(json.loads(body))


def recipe_for(recipe_root, text_dir, text_dim, image_dir, image_dim):
    return write_recipe(
        recipe_root,
        SERVED,
        text_model=text_dir,
        image_model=image_dir,
        train={
            "text_embeddings": np.zeros((3, text_dim), np.float32),
            "text_roles": np.array(["user"] * 3),
            "image_embeddings": np.zeros((2, image_dim), np.float32),
            "image_roles": np.array(["user"] * 2),
        },
        test={
            "text_embeddings": np.zeros((1, text_dim), np.float32),
            "image_embeddings": np.zeros((1, image_dim), np.float32),
        },
    )


@pytest.mark.parametrize("text_kind", ["tiny", "minilm"])
def test_request_with_text_and_png_stores_one_text_and_one_image_embedding(
    mod, console, recipe_root, thread_errors, text_models, image_model, text_kind
):
    text_dir, text_dim = text_models[text_kind]
    image_dir, image_dim = image_model
    handler = mod.ShiftDetectionRequestHandler()
    handler.init_models({SERVED: str(recipe_for(recipe_root, text_dir, text_dim, image_dir, image_dim))})
    assert console.tracebacks == []
    assert set(handler.embedding_models) == {text_dir, image_dir}
    console.clear()

    png = png_bytes(size=(40, 30), color=(10, 120, 200))
    request = chat_request(png)
    assert handler.handle_chat_completion_request(request) is None
    drain(handler, timeout=120)
    handler.live_messages_queue.join()

    assert console.tracebacks == []
    assert console.lines == [green(1, 0), green(1, 1)]
    [text_embedding] = handler.live_embeddings[SERVED]["text"]["live"]
    [image_embedding] = handler.live_embeddings[SERVED]["image"]["live"]
    for embedding, dim in ((text_embedding, text_dim), (image_embedding, image_dim)):
        assert type(embedding) is list and len(embedding) == dim
        assert all(type(x) is float for x in embedding)
    # The very inputs the worker must have embedded: the prefixed question and the PNG.
    from PIL import Image

    expected_text = handler.embedding_models[text_dir].encode("query: " + QUESTION)
    expected_image = handler.embedding_models[image_dir].encode(Image.open(io.BytesIO(png)))
    np.testing.assert_allclose(text_embedding, expected_text, rtol=1e-4, atol=1e-5)
    np.testing.assert_allclose(image_embedding, expected_image, rtol=1e-4, atol=1e-5)
    assert handler.embedding_indices == {SERVED: {"text": 1, "image": 1}}
    assert request.messages[0]["model"] == SERVED

    stop_worker(handler, handler.embedding_thread)


def test_clip_model_named_for_images_fails_to_encode_under_onnx_and_text_is_kept(
    mod, console, recipe_root, thread_errors, text_models, clip_model
):
    """A recipe naming a full CLIP model for images: it loads with the ONNX
    backend, but encoding an image fails; the failure is reported by the
    image-embedding guard and the text embedding is still stored."""
    text_dir, text_dim = text_models["tiny"]
    handler = mod.ShiftDetectionRequestHandler()
    handler.init_models({SERVED: str(recipe_for(recipe_root, text_dir, text_dim, clip_model, 16))})
    assert console.tracebacks == []
    assert clip_model in handler.embedding_models
    console.clear()

    handler.handle_chat_completion_request(chat_request(png_bytes()))
    drain(handler, timeout=120)

    assert console.kinds() == ["print", "print", "traceback"]
    [exc] = console.tracebacks
    assert isinstance(exc, ValueError)
    assert console.lines == [green(1, 0), IMAGE_EMBEDDING_ERROR + str(exc)]
    assert handler.live_embeddings[SERVED]["image"]["live"] == []
    assert len(handler.live_embeddings[SERVED]["text"]["live"]) == 1

    stop_worker(handler, handler.embedding_thread)
