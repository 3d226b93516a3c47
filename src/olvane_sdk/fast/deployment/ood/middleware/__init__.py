"""Shift collection inside vLLM's OpenAI-compatible server, switched on with one flag::

    OLVANE_SHIFT_RECIPES=/srv/recipes vllm serve MODEL \\
        --middleware olvane_sdk.fast.deployment.ood.middleware.ShiftDetectionMiddleware

:class:`ShiftDetectionMiddleware` is a pure ASGI middleware (Starlette builds
it as ``cls(app)``). For ``POST /v1/chat/completions`` it copies the body as
vLLM reads it (vLLM receives exactly what the client sent, chunk by chunk,
then the client's disconnect) and, once vLLM's response starts with a 2xx
status, hands the body to a background thread that parses it with vLLM's
``ChatCompletionRequest`` and passes it to
``olvane_shift_detection_handler.handle_chat_completion_request``. The event
loop pays a header scan, a look at the handler's queue, a token-bucket
check and a deque append; parsing and
hand-over run on the thread. Everything else passes untouched, and nothing
here raises into vLLM or changes its answer.

It also adds ``GET /v1/shift`` to the app (a real route, so vLLM's
``--api-key`` covers it) and metrics to vLLM's ``/metrics``.

Configuration comes from the environment only (spawned API-server processes
inherit it); see :func:`.config.config_from_env`. A bad value logs one error and the
server runs without collection.
"""
from __future__ import annotations

from .asgi import ShiftDetectionMiddleware
from .budget import TokenBucket
from .collector import OUTCOMES, ShiftCollector, get_collector
from .config import POLICIES, ConfigError, ShiftConfig, config_from_env, parse_recipes, recipe_problem
from .handover import new_messages, parse_chat_request
from .routes import CHAT_PATH, OUTLIERS_PATH, SHIFT_PATH

__all__ = ["ShiftDetectionMiddleware", "ShiftCollector", "get_collector", "ShiftConfig", "ConfigError",
           "config_from_env", "parse_recipes", "recipe_problem", "TokenBucket", "new_messages",
           "parse_chat_request", "CHAT_PATH", "SHIFT_PATH", "OUTLIERS_PATH", "POLICIES", "OUTCOMES"]
