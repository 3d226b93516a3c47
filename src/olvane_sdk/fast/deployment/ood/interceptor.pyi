# Type stub for the native extension module (built from the C++ sources beside it).
#
# The module binds the names below in its namespace and its methods look them up
# there at call time, so a host may rebind `print`, `traceback` or
# `SentenceTransformer` on the module (host.py does, with the ONNX Runtime
# settings of _onnx.py: `install_model_factory`). The handler keeps all
# of its state in plain instance attributes that hosts read directly.
import base64 as base64
import json as json
import os as os
import threading as threading
import traceback as traceback
from collections.abc import Mapping
from io import BytesIO as BytesIO
from queue import Empty as Empty
from queue import Full as Full
from queue import Queue as Queue
from typing import Any, TypeAlias

import numpy
from numpy.typing import NDArray
from PIL import Image as Image
from rich import print as print
from rich.progress import Progress as Progress
from sentence_transformers import SentenceTransformer as SentenceTransformer
from sklearn.ensemble import IsolationForest as IsolationForest
from vllm.entrypoints.openai.protocol import ChatCompletionRequest as ChatCompletionRequest

np = numpy

# {"train": n×d embeddings, "train_roles": n role strings, "test": m×d embeddings},
# as the recipe's archives hold them.
_ReferenceEntry: TypeAlias = dict[str, NDArray[Any]]

class ShiftDetectionRequestHandler:
    # Loaded models, by the embedding-model name the recipes give.
    embedding_models: dict[str, SentenceTransformer]
    # served model -> "text" | "image" -> reference entry.
    train_test_embeddings: dict[str, dict[str, _ReferenceEntry]]
    # served model -> "text" | "image" -> {"live": ring of at most MAX_EMBEDDINGS
    # entries}; an entry is the embedding's tolist() (a list of floats for the
    # models' vectors).
    live_embeddings: dict[str, dict[str, dict[str, list[list[float]]]]]
    # served model -> "text" | "image" -> next write position of the ring.
    embedding_indices: dict[str, dict[str, int]]
    MAX_EMBEDDINGS: int
    # At most 16 pending live messages (chat messages tagged with "model").
    live_messages_queue: Queue[dict[str, Any]]
    # Guards live_embeddings and embedding_indices; hold it to read them consistently.
    embedding_lock: threading.Lock
    embedding_thread: threading.Thread | None
    # served model -> {"text": text model name, "image": image model name or None}.
    vllm_to_embedding_model_map: dict[str, dict[str, str | None]]
    # served model -> prefix put before live text. Exists only after init_models.
    text_prefixes: dict[str, str]

    # Two more attributes are read when a host sets them (the constructor does
    # not, so they are not declared here): encode_batch_size of 2 or more
    # embeds the messages that wait, or arrive within encode_gather_seconds of
    # the first, with one encode call per model and a list of inputs (a row per
    # input); absent, one message per call.

    def __init__(self) -> None: ...
    def init_models(self, recipe_paths: Mapping[str, str | os.PathLike[str]]) -> None: ...
    def add_embedding(self, vllm_model_name: str, modal_type: str, embedding: Any) -> None: ...
    def live_embedding_worker(self) -> None: ...
    def start_live_embedding_worker(self) -> None: ...
    # Only an object whose type is exactly dict is accepted (TypeError otherwise).
    def add_live_message(self, message: dict[str, Any]) -> None: ...
    def handle_chat_completion_request(self, request: ChatCompletionRequest) -> None: ...

olvane_shift_detection_handler: ShiftDetectionRequestHandler
__test__: dict[str, Any]
