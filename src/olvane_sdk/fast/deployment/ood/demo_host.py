"""Demo host: the interceptor inside a real OpenAI-compatible endpoint.

``python -m olvane_sdk.fast.deployment.ood.demo_host`` runs, offline, on
loopback only:

1. builds a recipe for each of two served models from the sample texts under
   ``examples/data/`` and images drawn here with Pillow, embedded with real
   local models (all-MiniLM-L6-v2 for text, a tiny CLIP vision tower for
   images; :mod:`.local_models`), and calls ``init_models`` on
   ``olvane_shift_detection_handler``;
2. serves ``POST /v1/chat/completions`` and ``GET /v1/models`` with FastAPI
   and uvicorn on 127.0.0.1 (a free port): each body is parsed into vLLM's
   ``ChatCompletionRequest`` and handed to ``handle_chat_completion_request``,
   then answered with a canned completion (there is no language model);
3. drives it with the official ``openai`` client: in-distribution traffic for
   ``alpha-chat`` (held-out cooking and travel questions, newly drawn shape
   images) and shifted traffic for ``beta-chat`` (French and programming
   questions instead of English gardening ones; inverted, noised images);
4. waits (bounded) for the interceptor's queue to drain, prints the shift
   report and writes its PCA plot.
"""
from __future__ import annotations

import argparse
import base64
import io
import json
import os
import socket
import sys
import tempfile
import threading
import time
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Callable, Sequence

import numpy as np
from fastapi import Request  # module level: FastAPI resolves the endpoint annotations here

os.environ.setdefault("HF_HUB_OFFLINE", "1")
os.environ.setdefault("TRANSFORMERS_OFFLINE", "1")

ALPHA = "alpha-chat"
BETA = "beta-chat"
IMAGE_SIZE = 64


# --------------------------------------------------------------------------
# sample data


def find_data_dir(start: Path | None = None) -> Path:
    """``examples/data`` of the repository this module lives in (or of the
    current directory)."""
    here = Path(start or __file__).resolve()
    for p in [*here.parents, Path.cwd()]:
        cand = p / "examples" / "data"
        if (cand / "cooking.txt").is_file():
            return cand
    raise FileNotFoundError(
        "examples/data not found: run the demo from a checkout of the repository or pass --data-dir"
    )


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


def make_demo_data(data_dir: Path, seed: int = 0, n_images: int = 60) -> DemoData:
    rng = np.random.default_rng(seed)
    alpha = load_texts(data_dir, "cooking") + load_texts(data_dir, "travel")
    order = rng.permutation(len(alpha))
    n_hold = len(alpha) // 4
    alpha_live = [alpha[i] for i in order[:n_hold]]
    alpha_ref = [alpha[i] for i in np.sort(order[n_hold:])]
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
        labels={ALPHA: "in-distribution (held-out cooking/travel questions, new shape images)",
                BETA: "shifted (French + programming questions; inverted, noised, rotated images)"},
    )


def build_demo_recipes(workdir: Path, data: DemoData, text_model: str, image_model: str,
                       *, show_progress: bool = True) -> dict[str, str]:
    from .recipes import build_recipe

    prefixes = {ALPHA: "query: ", BETA: ""}  # both the default and an explicit empty prefix
    paths = {}
    for served in (ALPHA, BETA):
        dest = Path(workdir) / "recipes" / served
        build_recipe(dest, text_model=text_model, texts=data.recipe_texts[served],
                     image_model=image_model, images=data.recipe_images[served],
                     text_prefix=prefixes[served], test_fraction=0.25, seed=7,
                     overwrite=True, show_progress=show_progress)
        paths[served] = str(dest)
    return paths


# --------------------------------------------------------------------------
# the OpenAI-compatible app


def error_body(message: str, err_type: str = "BadRequestError", code: int = 400) -> dict:
    """The error body vLLM's OpenAI-compatible server answers with:
    ``{"error": {"message", "type", "param", "code"}}``, built from its own models."""
    from vllm.entrypoints.openai.protocol import ErrorInfo, ErrorResponse

    return ErrorResponse(error=ErrorInfo(message=message, type=err_type, code=code)).model_dump()


def create_app(handler=None, served_models: Sequence[str] | None = None):
    """A FastAPI app serving ``/v1/chat/completions`` and ``/v1/models``.

    Every valid chat-completion request goes to
    ``handler.handle_chat_completion_request`` before it is answered.
    ``served_models`` defaults to the models the handler's recipes configure.
    """
    from fastapi import FastAPI
    from fastapi.responses import JSONResponse
    from pydantic import ValidationError
    from vllm.entrypoints.openai.protocol import (
        ChatCompletionRequest,
        ChatCompletionResponse,
        ChatCompletionResponseChoice,
        ChatMessage,
        ModelCard,
        ModelList,
        UsageInfo,
    )

    if handler is None:
        from .interceptor import olvane_shift_detection_handler as handler

    def served() -> list[str]:
        if served_models is not None:
            return list(served_models)
        return list(getattr(handler, "vllm_to_embedding_model_map", {}) or {})

    app = FastAPI(title="olvane demo host (OpenAI-compatible, no LLM)")
    app.state.handler = handler
    app.state.requests_handled = 0

    def error(message: str, err_type: str = "BadRequestError", code: int = 400) -> JSONResponse:
        return JSONResponse(error_body(message, err_type, code), status_code=code)

    @app.exception_handler(Exception)
    async def _unexpected(_: Request, exc: Exception):  # never let the server crash a request
        return error(f"internal error: {type(exc).__name__}: {exc}", "InternalServerError", 500)

    @app.get("/v1/models")
    async def list_models():
        return JSONResponse(ModelList(data=[ModelCard(id=m, owned_by="olvane-demo", root=m) for m in served()])
                            .model_dump())

    @app.get("/health")
    async def health():
        return JSONResponse({"status": "ok"})

    @app.post("/v1/chat/completions")
    async def chat_completions(raw: Request):
        body = await raw.body()
        try:
            payload = json.loads(body)
        except (ValueError, UnicodeDecodeError) as e:
            return error(f"Invalid JSON body: {e}")
        if not isinstance(payload, dict):
            return error(f"The request body must be a JSON object, not {type(payload).__name__}")
        try:
            request = ChatCompletionRequest.model_validate(payload)
        except ValidationError as e:
            return error(str(e))
        problem = _check_content_parts(request, ValidationError)
        if problem:
            return error(problem)
        if request.model not in served():
            return error(f"The model `{request.model}` does not exist.", "NotFoundError", 404)
        if request.stream:
            return error("stream=true is not supported by the demo host")
        # What a vLLM deployment adds: hand the parsed request to the handler.
        # It only queues the messages (put_nowait), so it never blocks the loop.
        handler.handle_chat_completion_request(request)
        app.state.requests_handled += 1
        n_words = sum(len(str(m.get("content", "")).split()) for m in request.messages if isinstance(m, dict))
        answer = ("This demo host has no language model: your message was recorded for "
                  "distribution-shift analysis.")
        resp = ChatCompletionResponse(
            model=request.model,
            choices=[ChatCompletionResponseChoice(index=0, message=ChatMessage(role="assistant", content=answer),
                                                  finish_reason="stop")],
            usage=UsageInfo(prompt_tokens=n_words, completion_tokens=len(answer.split()),
                            total_tokens=n_words + len(answer.split())),
        )
        return JSONResponse(resp.model_dump(exclude_none=True))

    return app


KNOWN_PART_TYPES = {"text", "image_url", "input_audio", "file", "refusal"}


def _check_content_parts(request, validation_error) -> str | None:
    """vLLM validates content parts lazily (an iterable that pydantic checks as
    it is read) and rejects unknown part types only when it renders the chat.
    The demo host has no chat template, so it checks them here: the content
    is read into a list (left in the message for the handler) and every part
    must be an object of a known type."""
    for i, message in enumerate(request.messages):
        if not isinstance(message, dict):
            continue
        content = message.get("content")
        if content is None or isinstance(content, str):
            continue
        if not isinstance(content, list):
            try:
                content = list(content)
            except validation_error as e:
                return f"messages[{i}].content: {e}"
            except TypeError as e:
                return f"messages[{i}].content: {e}"
            message["content"] = content
        for j, part in enumerate(content):
            kind = part.get("type") if isinstance(part, dict) else None
            if kind not in KNOWN_PART_TYPES:
                return f"messages[{i}].content[{j}]: Unknown part type: {kind}"
    return None


class ServerThread:
    """uvicorn serving ``app`` on 127.0.0.1 at a free port, in a daemon thread."""

    def __init__(self, app, host: str = "127.0.0.1"):
        import uvicorn

        self.sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.sock.bind((host, 0))
        self.host, self.port = self.sock.getsockname()[:2]
        config = uvicorn.Config(app, log_level="warning", lifespan="off", access_log=False)
        self.server = uvicorn.Server(config)
        self.thread = threading.Thread(target=self._run, name="demo-host-uvicorn", daemon=True)
        self.error: BaseException | None = None

    def _run(self):
        try:
            self.server.run(sockets=[self.sock])
        except BaseException as e:  # reported by start()/stop()
            self.error = e

    @property
    def base_url(self) -> str:
        return f"http://{self.host}:{self.port}/v1"

    def start(self, timeout: float = 20.0) -> "ServerThread":
        self.thread.start()
        deadline = time.monotonic() + timeout
        while not self.server.started:
            if self.error is not None or not self.thread.is_alive():
                raise RuntimeError(f"server failed to start: {self.error!r}")
            if time.monotonic() > deadline:
                raise TimeoutError(f"server did not start within {timeout}s")
            time.sleep(0.02)
        return self

    def stop(self, timeout: float = 10.0) -> None:
        self.server.should_exit = True
        self.thread.join(timeout)
        self.sock.close()

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()
        return False


# --------------------------------------------------------------------------
# driving it


def wait_drained(handler, timeout: float) -> bool:
    """Waits until every queued message was marked done (``Queue.join`` with
    a deadline). Returns False if the deadline passed first."""
    q = handler.live_messages_queue
    deadline = time.monotonic() + timeout
    with q.all_tasks_done:
        while q.unfinished_tasks:
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                return False
            q.all_tasks_done.wait(min(remaining, 0.5))
    return True


def openai_client(base_url: str, timeout: float = 30.0):
    import openai

    # trust_env=False: loopback traffic must never be sent to a proxy from the environment.
    return openai.OpenAI(base_url=base_url, api_key="not-needed", max_retries=0, timeout=timeout,
                         http_client=openai.DefaultHttpxClient(trust_env=False))


@dataclass
class TrafficResult:
    sent: dict[str, int] = field(default_factory=dict)
    answered: dict[str, int] = field(default_factory=dict)
    drained: bool = True


def send_traffic(client, handler, traffic: dict[str, list[tuple[str, bytes | None]]], *,
                 batch: int = 8, drain_timeout: float = 60.0,
                 on_batch: Callable[[str, int], None] | None = None) -> TrafficResult:
    """Sends one chat request per (text, image) pair, as a user message with a
    text part and (if given) an image part as a PNG data URL. Pauses after
    every ``batch`` requests until the queue has drained (the interceptor's
    queue holds 16 messages and drops beyond), bounded by ``drain_timeout``."""
    res = TrafficResult()
    for served, items in traffic.items():
        res.sent[served] = res.answered[served] = 0
        for i, (text, png) in enumerate(items):
            content: list[dict[str, Any]] = [{"type": "text", "text": text}]
            if png is not None:
                url = "data:image/png;base64," + base64.b64encode(png).decode("ascii")
                content.append({"type": "image_url", "image_url": {"url": url}})
            out = client.chat.completions.create(model=served, messages=[{"role": "user", "content": content}],
                                                 max_tokens=16)
            res.sent[served] += 1
            if out.choices and out.choices[0].message.content:
                res.answered[served] += 1
            if (i + 1) % batch == 0 or i + 1 == len(items):
                res.drained = wait_drained(handler, drain_timeout) and res.drained
                if on_batch:
                    on_batch(served, i + 1)
    return res


class _StopModel:
    """An "embedding model" whose encode ends the worker thread."""

    def encode(self, _value):
        # SystemExit does not derive from Exception: it passes every guard of
        # the worker, which marks the message done and then ends.
        raise SystemExit(0)


_STOP_NAME = "__olvane_demo_host_stop__"


def stop_worker(handler, timeout: float = 10.0) -> bool:
    """Ends the handler's embedding worker after the messages already queued.

    The module has no stop operation (its worker is a daemon thread meant to
    live as long as the server). For a clean exit the demo queues one last
    message for a served-model name of its own whose text model raises
    ``SystemExit`` in ``encode``: the worker handles everything queued before
    it, marks it done and ends. The maps are restored afterwards. Returns
    True if no worker is left running.
    """
    thread = getattr(handler, "embedding_thread", None)
    if thread is None or not thread.is_alive():
        return True
    old = (handler.embedding_models, handler.vllm_to_embedding_model_map)
    new = ({**old[0], _STOP_NAME: _StopModel()}, {**old[1], _STOP_NAME: {"text": _STOP_NAME, "image": None}})
    handler.embedding_models, handler.vllm_to_embedding_model_map = new
    try:
        deadline = time.monotonic() + timeout
        while thread.is_alive() and time.monotonic() < deadline:
            try:
                handler.live_messages_queue.put({"model": _STOP_NAME, "content": "stop"},
                                                timeout=max(0.01, deadline - time.monotonic()))
            except Exception:  # queue.Full: keep waiting for the worker
                continue
            thread.join(max(0.0, deadline - time.monotonic()))
    finally:
        # Put the maps back unless init_models replaced them meanwhile.
        if handler.embedding_models is new[0]:
            handler.embedding_models = old[0]
        if handler.vllm_to_embedding_model_map is new[1]:
            handler.vllm_to_embedding_model_map = old[1]
    return not thread.is_alive()


def live_counts(handler) -> dict[str, dict[str, int]]:
    with handler.embedding_lock:
        return {m: {mod: len(r.get("live", [])) for mod, r in e.items()}
                for m, e in handler.live_embeddings.items()}


# --------------------------------------------------------------------------
# the whole demo


@dataclass
class DemoResult:
    report: Any
    plot: Path
    traffic: TrafficResult
    counts: dict[str, dict[str, int]]
    base_url: str
    seconds: float


def run_demo(*, handler=None, workdir: Path | None = None, plot_path: Path | None = None,
             data_dir: Path | None = None, text_model: str | None = None, image_model: str | None = None,
             seed: int = 0, console=None, show_progress: bool = True, report_kwargs: dict | None = None,
             drain_timeout: float = 60.0, stop_at_end: bool = True) -> DemoResult:
    from rich.console import Console

    from . import local_models
    from .report import plot_report, print_report, shift_report

    t0 = time.monotonic()
    if console is None:
        console = Console()
        if not console.is_terminal and console.width < 120:
            console = Console(width=120)  # room for the report's table when the output is a file
    if handler is None:
        from .interceptor import olvane_shift_detection_handler as handler
    data_dir = Path(data_dir) if data_dir else find_data_dir()
    own_tmp = None
    if workdir is None:
        own_tmp = tempfile.TemporaryDirectory(prefix="olvane-demo-")
        workdir = Path(own_tmp.name)
    plot_path = Path(plot_path) if plot_path else Path(tempfile.gettempdir()) / "olvane-demo" / "shift_report.png"
    try:
        console.rule("[bold]1. models and recipes")
        text_model = text_model or local_models.text_model_dir()
        image_model = image_model or local_models.image_model_dir()
        console.print(f"text model:  {text_model}\nimage model: {image_model}", highlight=False)
        data = make_demo_data(data_dir, seed)
        recipe_paths = build_demo_recipes(workdir, data, text_model, image_model, show_progress=show_progress)
        for served, p in recipe_paths.items():
            console.print(f"recipe for [bold]{served}[/bold]: {p}", highlight=False)
        handler.init_models(recipe_paths)

        console.rule("[bold]2. OpenAI-compatible endpoint")
        with ServerThread(create_app(handler, list(recipe_paths))) as srv:
            console.print(f"serving on {srv.base_url}", highlight=False)
            client = openai_client(srv.base_url)
            listed = [m.id for m in client.models.list().data]
            console.print(f"GET /v1/models -> {listed}", highlight=False)

            console.rule("[bold]3. traffic")
            for served, label in data.labels.items():
                console.print(f"{served}: {len(data.traffic[served])} requests, {label}", highlight=False)
            traffic = send_traffic(client, handler, data.traffic, drain_timeout=drain_timeout)
            traffic.drained = wait_drained(handler, drain_timeout) and traffic.drained
        counts = live_counts(handler)
        console.rule("[bold]4. shift report")
        console.print(f"requests answered: {traffic.answered}; live embeddings stored: {counts}"
                      + ("" if traffic.drained else " [red](queue did not drain in time)[/red]"), highlight=False)
        report = shift_report(handler, **(report_kwargs or {}))
        print_report(report, console)
        plot_report(report, plot_path)
        console.print(f"plot written to {plot_path}", highlight=False)
    finally:
        if stop_at_end and not stop_worker(handler):
            console.print("[red]the embedding worker did not stop in time[/red]")
        if own_tmp is not None:
            own_tmp.cleanup()
    return DemoResult(report, plot_path, traffic, counts, srv.base_url, time.monotonic() - t0)


def main(argv: Sequence[str] | None = None) -> int:
    ap = argparse.ArgumentParser(prog="python -m olvane_sdk.fast.deployment.ood.demo_host",
                                 description=__doc__.split("\n\n")[0])
    ap.add_argument("--plot", type=Path, help="PNG to write (default: $TMPDIR/olvane-demo/shift_report.png)")
    ap.add_argument("--workdir", type=Path, help="keep the recipes here (default: a temporary directory)")
    ap.add_argument("--data-dir", type=Path, help="sample texts (default: the repository's examples/data)")
    ap.add_argument("--seed", type=int, default=0)
    ap.add_argument("--json", type=Path, help="also write the report's figures as JSON")
    args = ap.parse_args(argv)
    res = run_demo(workdir=args.workdir, plot_path=args.plot, data_dir=args.data_dir, seed=args.seed)
    if args.json:
        args.json.write_text(json.dumps({"report": res.report.to_dict(), "sent": res.traffic.sent,
                                         "answered": res.traffic.answered, "drained": res.traffic.drained,
                                         "live_counts": res.counts, "plot": str(res.plot),
                                         "seconds": res.seconds}, indent=2))
    from rich import print as rprint

    rprint(f"[bold]done in {res.seconds:.1f} s[/bold]")
    return 0


if __name__ == "__main__":
    sys.exit(main())
