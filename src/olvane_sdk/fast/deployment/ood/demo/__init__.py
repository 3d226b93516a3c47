"""The offline demo (``python -m olvane_sdk.fast.deployment.ood.demo``, see
:mod:`.__main__`) and what the tests and benchmarks reuse of it: the sample
data (:mod:`.data`), vLLM's server in a child process and the traffic that
drives it (:mod:`.harness`), the stand-in server (:mod:`.server`) and the
local models (:mod:`.models`)."""
from __future__ import annotations

from .data import (ALPHA, BETA, IMAGE_SIZE, DemoData, build_demo_recipes, data_url, distort, draw_gradient,
                   draw_shapes, find_data_dir, load_texts, make_demo_data, png_bytes)
from .harness import (MIDDLEWARE, SERVER_MODULE, TrafficResult, VllmServer, chat, free_port, handled, send_traffic,
                      user_message, wait_handled)

__all__ = ["ALPHA", "BETA", "IMAGE_SIZE", "DemoData", "build_demo_recipes", "data_url", "distort", "draw_gradient",
           "draw_shapes", "find_data_dir", "load_texts", "make_demo_data", "png_bytes", "MIDDLEWARE", "SERVER_MODULE",
           "TrafficResult", "VllmServer", "chat", "free_port", "handled", "send_traffic", "user_message",
           "wait_handled"]
