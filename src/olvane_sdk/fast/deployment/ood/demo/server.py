"""vLLM's own OpenAI-compatible API server with a stand-in engine.

``python -m olvane_sdk.fast.deployment.ood.demo.server [vllm serve options]``
parses its options with vLLM's own ``vllm serve`` parser and runs vLLM's
``run_server`` (``build_app``: its routes, request validation, error bodies,
``--api-key``, ``--middleware``, ``/metrics``). Only the engine is replaced:
there is no language model here, so

* ``build_async_engine_client`` yields :class:`StandInEngine` (healthy, no
  tokenizer) and
* ``init_app_state`` sets what the routes read from ``app.state``: vLLM's real
  ``OpenAIServingModels`` for the served model names, and
  :class:`StandInChat`, which answers every chat completion for a served model
  with a fixed reply, as JSON or as an SSE stream.

This is a demo and test harness, not part of the integration: an operator
runs ``vllm serve MODEL --middleware
olvane_sdk.fast.deployment.ood.middleware.ShiftDetectionMiddleware``.

vLLM cannot infer a device on a machine without an accelerator, and its
argument parser fails there; like vLLM's own ``bench`` command, this module
selects the CPU platform when none was detected.

With ``--api-server-count N`` (N > 1) it runs vLLM's multi-process front
end (:func:`run_front_end`): N API-server processes sharing one listening
socket, as ``vllm serve`` starts them, each with its own stand-in engine.

With ``OLVANE_DEMO_PLOT=PATH`` set, the process writes the shift report's PCA
plot there after the server has shut down: the live embeddings the plot needs
exist only in this process. With ``OLVANE_DEMO_LAG_FILE=PATH`` set, a task on
the server's event loop sleeps 1 ms at a time and records how late it wakes;
the samples (``[[unix time, lag s], ...]``) are written there at shutdown
(``benchmarks/server_load.py`` reads them).
"""
from __future__ import annotations

import asyncio
import json
import os
import signal
import sys
import time
from contextlib import asynccontextmanager
from types import SimpleNamespace
from typing import Any, Sequence

from .models import offline_env

REPLY = ("This server has no language model: your message was recorded for "
         "distribution-shift analysis.")


def use_cpu_platform() -> None:
    """What ``vllm bench`` does: the CPU platform when none was detected."""
    from vllm import platforms

    if platforms.current_platform.is_unspecified():
        from vllm.platforms.cpu import CpuPlatform

        platforms.current_platform = CpuPlatform()


class StandInEngine:
    """The parts of vLLM's ``EngineClient`` that the API server's routes and
    start-up read when no request reaches an engine."""

    errored = False
    is_running = True
    dead_error = None
    input_processor = None
    io_processor = None

    def __init__(self, max_model_len: int = 4096, rank: int = 0):
        self.model_config = SimpleNamespace(max_model_len=max_model_len)
        self.vllm_config = SimpleNamespace(parallel_config=SimpleNamespace(_api_process_rank=rank),
                                           model_config=self.model_config)

    async def check_health(self) -> None:
        return None

    async def is_sleeping(self) -> bool:
        return False

    async def do_log_stats(self, *args, **kwargs) -> None:
        return None

    async def reset_mm_cache(self) -> None:
        return None

    def shutdown(self) -> None:
        return None


def _stand_in_chat_class():
    from vllm.entrypoints.openai.protocol import (
        ChatCompletionResponse,
        ChatCompletionResponseChoice,
        ChatCompletionResponseStreamChoice,
        ChatCompletionStreamResponse,
        ChatMessage,
        DeltaMessage,
        UsageInfo,
    )
    from vllm.entrypoints.openai.serving_engine import OpenAIServing

    class StandInChat(OpenAIServing):
        """Answers with :data:`REPLY`, after vLLM's own model check (an
        unknown model gets vLLM's 404 body)."""

        async def create_chat_completion(self, request, raw_request=None):
            error = await self._check_model(request)
            if error is not None:
                return error
            words = REPLY.split()
            prompt = sum(len(str(m.get("content", "")).split()) for m in request.messages if isinstance(m, dict))
            usage = UsageInfo(prompt_tokens=prompt, completion_tokens=len(words), total_tokens=prompt + len(words))
            if not request.stream:
                return ChatCompletionResponse(
                    model=request.model, usage=usage,
                    choices=[ChatCompletionResponseChoice(index=0, finish_reason="stop",
                                                          message=ChatMessage(role="assistant", content=REPLY))])
            return self._stream(request, words)

        async def _stream(self, request, words):
            rid, created = f"chatcmpl-{time.monotonic_ns():x}", int(time.time())

            def chunk(delta: DeltaMessage, finish: str | None = None) -> str:
                c = ChatCompletionStreamResponse(id=rid, created=created, model=request.model, choices=[
                    ChatCompletionResponseStreamChoice(index=0, delta=delta, finish_reason=finish)])
                return f"data: {c.model_dump_json(exclude_unset=True)}\n\n"

            yield chunk(DeltaMessage(role="assistant", content=""))
            for i, w in enumerate(words):
                yield chunk(DeltaMessage(content=w if i == 0 else " " + w))
            yield chunk(DeltaMessage(), "stop")
            yield "data: [DONE]\n\n"

    return StandInChat


class LagProbe:
    """How late the event loop wakes a task that sleeps ``period`` at a time."""

    def __init__(self, period: float = 0.001):
        self.period = period
        self.samples: list[tuple[float, float]] = []
        self.task: asyncio.Task | None = None

    def start(self) -> None:
        self.task = asyncio.get_running_loop().create_task(self._run())

    async def _run(self) -> None:
        clock, wall = time.perf_counter, time.time
        while True:
            t0 = clock()
            await asyncio.sleep(self.period)
            self.samples.append((wall(), clock() - t0 - self.period))

    def dump(self, path: str) -> None:
        with open(path, "w") as f:
            json.dump(self.samples, f)


_probe: LagProbe | None = None


def install_stand_in_engine(max_model_len: int = 4096) -> None:
    """Replaces the engine-building steps of vLLM's ``run_server`` path."""
    from vllm.entrypoints.openai import api_server
    from vllm.entrypoints.openai.serving_models import BaseModelPath, OpenAIServingModels

    chat_cls = _stand_in_chat_class()

    @asynccontextmanager
    async def build_async_engine_client(args, client_config=None, **_kwargs):
        yield StandInEngine(max_model_len, (client_config or {}).get("client_index", 0))

    async def init_app_state(engine_client, state, args) -> None:
        names = args.served_model_name or [args.model]
        state.engine_client = engine_client
        state.log_stats = False
        state.vllm_config = engine_client.vllm_config
        state.args = args
        state.openai_serving_models = OpenAIServingModels(
            engine_client=engine_client, base_model_paths=[BaseModelPath(name=n, model_path=args.model) for n in names])
        state.openai_serving_chat = chat_cls(engine_client, state.openai_serving_models, request_logger=None)
        state.openai_serving_tokenization = state.openai_serving_chat  # error bodies of generic routes
        for name in ("openai_serving_responses", "openai_serving_completion", "openai_serving_pooling",
                     "openai_serving_embedding", "openai_serving_classification", "openai_serving_scores",
                     "openai_serving_transcription", "openai_serving_translation",
                     "anthropic_serving_messages", "serving_tokens"):
            setattr(state, name, None)
        state.enable_server_load_tracking = args.enable_server_load_tracking
        state.server_load_metrics = 0
        if _probe is not None:  # runs on the server's own loop
            _probe.start()

    api_server.build_async_engine_client = build_async_engine_client
    api_server.init_app_state = init_app_state


def parse_args(argv: Sequence[str]):
    """``vllm serve``'s own parser and checks."""
    from vllm.entrypoints.openai.cli_args import make_arg_parser, validate_parsed_serve_args
    from vllm.utils.argparse_utils import FlexibleArgumentParser

    parser = make_arg_parser(FlexibleArgumentParser(prog="demo.server"))
    args = parser.parse_args(list(argv))
    if getattr(args, "model_tag", None):
        args.model = args.model_tag
    validate_parsed_serve_args(args)
    return args


def write_plot(path: str) -> Any:
    """The PCA plot of this process's shift report (train, test and live)."""
    from ..report import plot_report, shift_report

    return plot_report(shift_report(_collecting_handler()), path)


def run_front_end(args, count: int) -> None:
    """vLLM's multi-process front end, as ``run_multi_api_server`` starts it
    for ``--api-server-count N`` but without the engine core it also starts
    (no model here): Prometheus' multiprocess directory, one listening
    socket, and N spawned processes each running vLLM's
    ``run_server_worker`` with a stand-in engine. SIGINT or SIGTERM stops
    them (SIGTERM to each, as vLLM's process manager does)."""
    import multiprocessing
    from multiprocessing import connection

    from vllm.entrypoints.openai.api_server import setup_server
    from vllm.v1.metrics.prometheus import setup_multiprocess_prometheus

    from . import server as this  # importable by name in the spawned processes (not __main__)

    setup_multiprocess_prometheus()
    listen_address, sock = setup_server(args)
    # SIGINT stops the front end as it stops vLLM's own server, also when this
    # process started with SIGINT ignored (a background job of a shell without
    # job control): Python leaves an ignored SIGINT ignored.
    signal.signal(signal.SIGINT, signal.default_int_handler)
    ctx = multiprocessing.get_context("spawn")
    procs = [ctx.Process(target=this.front_end_worker, name=f"ApiServer_{i}",
                         args=(listen_address, sock, args, {"client_count": count, "client_index": i}))
             for i in range(count)]
    for p in procs:
        p.start()
    try:
        # Waited for with a timeout, never in a bare waitpid: the kernel may
        # hand SIGINT to one of the native threads the imports started, and
        # Python's handler then only takes effect once the main thread runs
        # Python again.
        while any(p.is_alive() for p in procs):
            connection.wait([p.sentinel for p in procs], timeout=0.5)
    except KeyboardInterrupt:
        pass
    finally:
        for p in procs:
            if p.is_alive():
                p.terminate()
        for p in procs:
            p.join(60)
        sock.close()


def front_end_worker(listen_address, sock, args, client_config) -> None:
    """One API-server process of :func:`run_front_end`."""
    offline_env()
    use_cpu_platform()
    install_stand_in_engine()
    import uvloop
    from vllm.entrypoints.openai import api_server

    uvloop.run(api_server.run_server_worker(listen_address, sock, args, client_config))
    _stop_handler()


def _stop_handler() -> None:
    handler = _collecting_handler()
    if handler is not None:
        # A worker still inside an ONNX Runtime run when the interpreter
        # finalises aborts the process; end it after what is queued.
        from ..host import stop_worker

        stop_worker(handler, timeout=30)


def main(argv: Sequence[str] | None = None) -> int:
    offline_env()
    use_cpu_platform()
    global _probe
    args = parse_args(sys.argv[1:] if argv is None else argv)
    count = getattr(args, "api_server_count", None) or 1
    if count > 1:
        run_front_end(args, count)
        return 0
    install_stand_in_engine()
    lag_file = os.environ.get("OLVANE_DEMO_LAG_FILE")
    if lag_file:
        _probe = LagProbe()

    import uvloop
    from vllm.entrypoints.openai import api_server

    uvloop.run(api_server.run_server(args))
    if _probe is not None and lag_file:
        _probe.dump(lag_file)
    _stop_handler()
    plot = os.environ.get("OLVANE_DEMO_PLOT")
    if plot and _collecting_handler() is not None:
        write_plot(plot)
    return 0


def _collecting_handler():
    """The handler the integration fed, if it was loaded in this process."""
    if "olvane_sdk.fast.deployment.ood.middleware" not in sys.modules:
        return None
    from ..interceptor import olvane_shift_detection_handler as handler

    return handler


if __name__ == "__main__":
    sys.exit(main())
