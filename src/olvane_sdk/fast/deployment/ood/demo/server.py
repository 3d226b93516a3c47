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

    def __init__(self, max_model_len: int = 4096):
        self.model_config = SimpleNamespace(max_model_len=max_model_len)
        self.vllm_config = SimpleNamespace(parallel_config=SimpleNamespace(_api_process_rank=0),
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
    async def build_async_engine_client(args, **_kwargs):
        yield StandInEngine(max_model_len)

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


def _stop_collecting() -> None:
    handler = _collecting_handler()
    if handler is not None:
        # A worker still inside an ONNX Runtime run when the interpreter
        # finalises aborts the process; end it after what is queued.
        from ..host import stop_worker

        stop_worker(handler, timeout=30)


def _api_server_process(listen_address, sock, args, client_config=None) -> None:
    """One of ``--api-server-count N`` processes (spawned: the stand-in is
    installed again here)."""
    offline_env()
    use_cpu_platform()
    install_stand_in_engine()
    from vllm.entrypoints.cli.serve import run_api_server_worker_proc

    run_api_server_worker_proc(listen_address, sock, args, client_config)
    _stop_collecting()


def run_api_servers(args) -> None:
    """``--api-server-count N``: what ``vllm serve`` does (one listening
    socket, N spawned API-server processes, multi-process Prometheus), without
    the engine-core processes."""
    from vllm.entrypoints.openai.api_server import setup_server
    from vllm.v1.metrics.prometheus import setup_multiprocess_prometheus
    from vllm.v1.utils import APIServerProcessManager, wait_for_completion_or_failure

    n = args.api_server_count
    setup_multiprocess_prometheus()
    listen_address, sock = setup_server(args)
    manager = APIServerProcessManager(target_server_fn=_api_server_process, listen_address=listen_address,
                                      sock=sock, args=args, num_servers=n, input_addresses=[""] * n,
                                      output_addresses=[""] * n)
    wait_for_completion_or_failure(api_server_manager=manager)


def main(argv: Sequence[str] | None = None) -> int:
    offline_env()
    use_cpu_platform()
    global _probe
    args = parse_args(sys.argv[1:] if argv is None else argv)
    if (args.api_server_count or 1) > 1:
        run_api_servers(args)
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
    _stop_collecting()
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
