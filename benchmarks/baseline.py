"""Pure-Python peer of the native handler: the class a user would otherwise write.

Same seven methods, same console lines, same guards and the same state as
``olvane_sdk.fast.deployment.ood.interceptor.ShiftDetectionRequestHandler``,
written the way a Python developer would write it from the description. It is
the yardstick of ``benchmarks/run.py`` and is never imported by the package.

Like the native module, every global a method uses (``print``, ``traceback``,
``SentenceTransformer``, ...) is looked up in this module's namespace at call
time, so a benchmark can rebind ``baseline.print`` to a no-op.
"""
from __future__ import annotations

import base64
import json
import os
import threading
import traceback
from io import BytesIO
from queue import Empty, Full, Queue

import numpy as np
from PIL import Image
from rich import print
from rich.markup import escape
from rich.progress import Progress
from sentence_transformers import SentenceTransformer

try:  # only the annotation uses it; keep the baseline importable without vLLM
    from vllm.entrypoints.openai.protocol import ChatCompletionRequest
except ImportError:  # pragma: no cover
    ChatCompletionRequest = object


def _v(value):
    """A value placed in a console line, with its console markup escaped."""
    return escape(f"{value}")


class ShiftDetectionRequestHandler:
    def __init__(self):
        self.embedding_models = {}
        self.train_test_embeddings = {}
        self.live_embeddings = {}
        self.embedding_indices = {}
        self.MAX_EMBEDDINGS = 1000
        self.live_messages_queue = Queue(maxsize=16)
        self.embedding_lock = threading.Lock()
        self.embedding_thread = None
        self.vllm_to_embedding_model_map = {}

    def init_models(self, recipe_paths):
        """Initializes embedding models.
        Also creates mapping between vllm model names and embedding model names.
        Now also extracts and stores text_prefix from config.
        """
        try:
            embedding_models = {}
            train_test_embeddings = {}
            vllm_to_embedding_model_map = {}
            text_prefixes = {}
            with Progress() as progress:
                task = progress.add_task("[green]Configuring shift detection...", total=len(recipe_paths.keys()))
                for k in recipe_paths:
                    path = recipe_paths[k]
                    embedding_path = os.path.join(path, "data", "distribution", "train", "embeddings.npz")
                    embedding_path_test = os.path.join(path, "data", "distribution", "test", "embeddings.npz")
                    config_path = os.path.join(path, "data", "distribution", "test_config.json")
                    try:
                        with open(config_path) as f:
                            cfg = json.load(f)
                            text_model_name = cfg["embeddings"]["text_model_name"]
                            image_model_name = cfg["embeddings"]["image_model_name"]
                            text_prefix = cfg["embeddings"].get("text_prefix", "query: ")
                            vllm_to_embedding_model_map[k] = {"text": text_model_name, "image": image_model_name}
                            text_prefixes[k] = text_prefix
                    except Exception as e:
                        print(f"[red]Error loading config for {_v(k)}:[/red] {_v(e)}")
                        traceback.print_exc()
                        continue
                    try:
                        arr = np.load(embedding_path)
                        arr_test = np.load(embedding_path_test)
                    except Exception as e:
                        print(f"[red]Error loading embeddings for {_v(k)}:[/red] {_v(e)}")
                        traceback.print_exc()
                        continue
                    train_test_embeddings[k] = {}
                    if "text_embeddings" in arr:
                        try:
                            X = arr["text_embeddings"]
                            X_roles = arr["text_roles"]
                            if text_model_name not in embedding_models:
                                embedding_models[text_model_name] = SentenceTransformer(text_model_name, backend="onnx")
                            train_test_embeddings[k]["text"] = {
                                "train": X,
                                "train_roles": X_roles,
                                "test": arr_test["text_embeddings"],
                            }
                        except Exception as e:
                            print(f"[red]Error processing text embeddings for {_v(k)}:[/red] {_v(e)}")
                            traceback.print_exc()
                    if "image_embeddings" in arr:
                        try:
                            X = arr["image_embeddings"]
                            if image_model_name not in embedding_models:
                                embedding_models[image_model_name] = SentenceTransformer(
                                    image_model_name, backend="onnx"
                                )
                            train_test_embeddings[k]["image"] = {
                                "train": X,
                                "train_roles": arr["image_roles"],
                                "test": arr_test["image_embeddings"],
                            }
                        except Exception as e:
                            print(f"[red]Error processing image embeddings for {_v(k)}:[/red] {_v(e)}")
                            traceback.print_exc()
                    progress.update(task, advance=1)
            self.embedding_models = embedding_models
            self.train_test_embeddings = train_test_embeddings
            self.vllm_to_embedding_model_map = vllm_to_embedding_model_map
            self.text_prefixes = text_prefixes
            for vllm_model, mapping in self.vllm_to_embedding_model_map.items():
                print(f"  [green]{_v(vllm_model)}:[/green]")
                print(f"    [yellow]Text:[/yellow] {_v(mapping.get('text', 'None'))}")
                print(f"    [yellow]Image:[/yellow] {_v(mapping.get('image', 'None'))}")
                print(f"    [yellow]Text Prefix:[/yellow] {_v(self.text_prefixes.get(vllm_model, 'query: '))}")
            # Same decision as the native module: swap the indices under the lock.
            with self.embedding_lock:
                self.embedding_indices = {}
        except Exception as e:
            print(f"[red]Error initializing models:[/red] {_v(e)}")
            traceback.print_exc()

    def add_embedding(self, vllm_model_name, modal_type, embedding):
        """Add an embedding using round-robin approach.
        If the storage is full, replace the oldest embedding.

        Args:
            vllm_model_name: Name of the VLLM model
            modal_type: 'text' or 'image'
            embedding: The embedding to add
        """
        with self.embedding_lock:
            if vllm_model_name not in self.live_embeddings:
                self.live_embeddings[vllm_model_name] = {"text": {"live": []}, "image": {"live": []}}
            if vllm_model_name not in self.embedding_indices:
                self.embedding_indices[vllm_model_name] = {"text": 0, "image": 0}
            embeddings_list = self.live_embeddings[vllm_model_name][modal_type]["live"]
            current_index = self.embedding_indices[vllm_model_name][modal_type]
            if len(embeddings_list) < self.MAX_EMBEDDINGS:
                embeddings_list.append(embedding.tolist() if hasattr(embedding, "tolist") else embedding)
                self.embedding_indices[vllm_model_name][modal_type] = (current_index + 1) % self.MAX_EMBEDDINGS
            else:
                embeddings_list[current_index] = embedding.tolist() if hasattr(embedding, "tolist") else embedding
                self.embedding_indices[vllm_model_name][modal_type] = (current_index + 1) % self.MAX_EMBEDDINGS
                print(
                    f"[yellow]Round-robin replacement for {_v(modal_type)} embedding at index {_v(current_index)} "
                    f"for model {_v(vllm_model_name)}.[/yellow]"
                )
            text_count = len(self.live_embeddings[vllm_model_name]["text"]["live"])
            image_count = len(self.live_embeddings[vllm_model_name]["image"]["live"])
            print(
                f"[green]Model: {_v(vllm_model_name)} | Text: {_v(text_count)} embeddings | "
                f"Image: {_v(image_count)} embeddings[/green]"
            )

    def live_embedding_worker(self):
        """Runs in a separate thread, continuously processing live messages from the queue.
        For each message, it uses the model specified in the message (via request.model)
        and computes embeddings for text and/or image content.
        Now uses the text_prefix from config for each model.
        """
        while True:
            try:
                message = self.live_messages_queue.get(timeout=1)
            except Empty:
                continue
            except Exception as e:
                print(f"[red]Error getting message from queue:[/red] {_v(e)}")
                traceback.print_exc()
                continue
            try:
                vllm_model_name = message.get("model")
                embedding_models_for_vllm = self.vllm_to_embedding_model_map.get(vllm_model_name, {})
                text_model_name = embedding_models_for_vllm.get("text")
                image_model_name = embedding_models_for_vllm.get("image")
                text_prefix = self.text_prefixes.get(vllm_model_name, "query: ")
                if text_model_name is None and self.vllm_to_embedding_model_map:
                    print(f"[yellow]Shift detection skipped for model {_v(vllm_model_name)}[/yellow]")
                    continue
                if image_model_name is None and self.vllm_to_embedding_model_map:
                    for model_mapping in self.vllm_to_embedding_model_map.values():
                        if "image" in model_mapping:
                            image_model_name = model_mapping["image"]
                            break
                self._embed_content(message, vllm_model_name, text_model_name, image_model_name, text_prefix)
            except Exception as e:
                print(f"[red]Error processing live message:[/red] {_v(e)}")
                traceback.print_exc()
            finally:
                try:
                    self.live_messages_queue.task_done()
                except Exception as e:
                    print(f"[red]Error marking task as done:[/red] {_v(e)}")
                    traceback.print_exc()

    def _embed_content(self, message, vllm_model_name, text_model_name, image_model_name, text_prefix):
        # The content step; a helper method, as a Python developer would split it out.
        content = message.get("content")
        if isinstance(content, str) and text_model_name:
            prefixed_text = f"{text_prefix}{content}"
            text_model = self.embedding_models.get(text_model_name)
            if text_model:
                try:
                    embedding = text_model.encode(prefixed_text)
                    self.add_embedding(vllm_model_name, "text", embedding)
                except Exception as e:
                    print(f"[red]Error computing text embedding:[/red] {_v(e)}")
                    traceback.print_exc()
            else:
                print(f"[red]Text embedding model {_v(text_model_name)} not found in self.embedding_models[/red]")
                print(f"[red]Available models: {_v(self.embedding_models.keys())}[/red]")
        elif isinstance(content, list):
            for part in content:
                if part.get("type") == "text" and text_model_name:
                    text = part.get("text", "")
                    prefixed_text = f"{text_prefix}{text}"
                    text_model = self.embedding_models.get(text_model_name)
                    if text_model:
                        try:
                            embedding = text_model.encode(prefixed_text)
                            self.add_embedding(vllm_model_name, "text", embedding)
                        except Exception as e:
                            print(f"[red]Error computing text embedding in list:[/red] {_v(e)}")
                            traceback.print_exc()
                    else:
                        print(f"[red]Text embedding model {_v(text_model_name)} not found in self.embedding_models[/red]")
                elif part.get("type") == "image_url" and image_model_name:
                    image_url_dict = part.get("image_url", {})
                    url = image_url_dict.get("url", "")
                    if url.startswith("data:image"):
                        try:
                            header, b64data = url.split(",", 1)
                            image_data = base64.b64decode(b64data)
                            image = Image.open(BytesIO(image_data))
                            image_model = self.embedding_models.get(image_model_name)
                            if image_model:
                                try:
                                    embedding = image_model.encode(image)
                                    self.add_embedding(vllm_model_name, "image", embedding)
                                except Exception as e:
                                    print(f"[red]Error computing image embedding:[/red] {_v(e)}")
                                    traceback.print_exc()
                            else:
                                print(
                                    f"[red]Image embedding model {_v(image_model_name)} "
                                    f"not found in self.embedding_models[/red]"
                                )
                        except Exception as e:
                            print(f"[red]Error processing image:[/red] {_v(e)}")
                            traceback.print_exc()

    def start_live_embedding_worker(self):
        """Starts the live embedding worker in a separate thread if one is not already running."""
        try:
            if self.embedding_thread is None or not self.embedding_thread.is_alive():
                self.embedding_thread = threading.Thread(target=self.live_embedding_worker, daemon=True)
                self.embedding_thread.start()
        except Exception as e:
            print(f"[red]Error starting live embedding worker:[/red] {_v(e)}")
            traceback.print_exc()

    def add_live_message(self, message: dict):
        """Enqueues a new live message for embedding computation.
        If the queue is full (over 16 pending messages), the message is dropped.
        """
        if type(message) is not dict:
            raise TypeError(
                f"Argument 'message' has incorrect type (expected dict, got {type(message).__name__})"
            )
        try:
            self.live_messages_queue.put_nowait(message)
        except Full:
            print("[red]Live messages queue is full. Dropping message.[/red]")
        except Exception as e:
            print(f"[red]Error adding live message:[/red] {_v(e)}")
            traceback.print_exc()

    def handle_chat_completion_request(self, request: "ChatCompletionRequest"):
        """Enqueues incoming messages for live embedding computation.
        Uses request.model for selecting the appropriate model.
        """
        try:
            for message in request.messages:
                message["model"] = request.model
                self.add_live_message(message)
            self.start_live_embedding_worker()
        except Exception as e:
            print(f"[red]Error handling chat completion request:[/red] {_v(e)}")
            traceback.print_exc()
