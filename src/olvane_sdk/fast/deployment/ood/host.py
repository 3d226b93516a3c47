"""Helpers for a process that hosts ``olvane_shift_detection_handler``.

- :func:`wait_drained`: wait until every queued message has been embedded.
- :func:`stop_worker`: end the embedding worker cleanly, after what is queued.
- :class:`LoggingConsole` / :func:`install_logging_console`: send the module's
  console lines to :mod:`logging` instead of rich's ``print``; see
  :mod:`._logconsole`.
- :func:`use_vllm_logging`: the ``olvane_sdk`` logger's records where vLLM
  sends its own (handler, format, level).
- :func:`install_model_factory` / :class:`OnnxModelFactory`: the ONNX Runtime
  session options of the embedding models (threads, spinning); see
  :mod:`._onnx`.

The handler prints through rich (about 350 µs a line, on whichever thread
prints: the request thread for a dropped message, the worker for every stored
embedding). A server wants its lines in its own logs, cheaply and without
floods; the module looks up ``print`` and ``traceback`` in its namespace at
call time, so rebinding those two names once at start-up is enough.
"""
from __future__ import annotations

import time

from ._logconsole import LOGGER_NAME, LoggingConsole, install_logging_console, strip_markup
from ._vllmlog import use_vllm_logging
from ._onnx import OnnxModelFactory, install_model_factory

__all__ = ["wait_drained", "stop_worker", "LoggingConsole", "install_logging_console", "use_vllm_logging",
           "install_model_factory", "OnnxModelFactory", "LOGGER_NAME", "strip_markup"]


# --------------------------------------------------------------------------
# queue and worker


def wait_drained(handler, timeout: float) -> bool:
    """Waits until the handler's queue is empty and every message taken from
    it has been marked done (``Queue.join`` with a deadline).

    Returns True when drained, False if ``timeout`` seconds passed first. A
    message is marked done after the worker has embedded (or failed) it, so a
    True result means the live store holds everything queued before the call.
    """
    q = handler.live_messages_queue
    deadline = time.monotonic() + timeout
    with q.all_tasks_done:
        while q.unfinished_tasks:
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                return False
            q.all_tasks_done.wait(min(remaining, 0.5))
    return True


class _StopModel:
    """An "embedding model" whose ``encode`` ends the worker thread."""

    def encode(self, *_args, **_kwargs):
        # SystemExit does not derive from Exception: it passes every guard of
        # the worker, which marks the message done and then ends.
        raise SystemExit(0)


_STOP_NAME = "__olvane_host_stop__"


def stop_worker(handler, timeout: float = 10.0) -> bool:
    """Ends the handler's embedding worker after the messages already queued.

    The module has no stop operation: its worker is a daemon thread meant to
    live as long as the process. For a clean exit (tests, a host that unloads
    collection) this queues one last message for a served-model name of its
    own, whose text model raises ``SystemExit`` in ``encode``: the worker
    handles everything queued before it, marks it done and ends. The model
    maps are restored afterwards (unless ``init_models`` replaced them
    meanwhile). Returns True if no worker is left running.

    A request handed over afterwards starts a new worker, as usual.
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
        if handler.embedding_models is new[0]:
            handler.embedding_models = old[0]
        if handler.vllm_to_embedding_model_map is new[1]:
            handler.vllm_to_embedding_model_map = old[1]
    return not thread.is_alive()
