"""The hand-over thread: parses each collected body with vLLM's
``ChatCompletionRequest`` and passes it to the handler, off the event loop."""
from __future__ import annotations

import collections
import logging
import threading
import time
from typing import TYPE_CHECKING, Any, Callable

if TYPE_CHECKING:
    from .budget import TokenBucket
    from .config import ShiftConfig

log = logging.getLogger("olvane_sdk")


def new_messages(messages: list) -> list:
    """The messages after the last assistant message: what the client added
    this turn (the whole list when there is no assistant message)."""
    for i in range(len(messages) - 1, -1, -1):
        m = messages[i]
        if isinstance(m, dict) and m.get("role") == "assistant":
            return messages[i + 1:]
    return messages


def parse_chat_request(body: bytes):
    from vllm.entrypoints.openai.protocol import ChatCompletionRequest

    return ChatCompletionRequest.model_validate_json(body)


class HandoverMixin:
    """The hand-over part of :class:`.collector.ShiftCollector`, which sets
    these attributes up."""

    cfg: ShiftConfig
    handler: Any
    parse: Callable[[bytes], Any]
    bucket: TokenBucket
    recipe_models: frozenset[str]
    _bodies: collections.deque
    _lock: threading.Lock
    _idle: threading.Condition
    _wake: threading.Event
    _stop: threading.Event
    _thread_idle: bool
    count: Callable[..., None]
    turn_away: Callable[..., None]

    POLL_SECONDS = 0.02

    def _handover_loop(self) -> None:
        bodies = self._bodies
        while not self._stop.is_set():
            if not bodies:
                with self._lock:
                    self._thread_idle = True
                    self._idle.notify_all()
                self._wake.clear()
                if not bodies:
                    self._wake.wait(self.POLL_SECONDS)
                continue
            with self._lock:
                self._thread_idle = False
            chunks = bodies.popleft()
            try:
                self._handover(chunks)
            except Exception as e:
                self.turn_away("error")
                log.error("olvane shift: hand-over failed: %s: %s", type(e).__name__, e)

    def _handover(self, chunks: list) -> None:
        body = chunks[0] if len(chunks) == 1 else b"".join(chunks)
        try:
            request = self.parse(body)
        except Exception:
            self.turn_away("invalid")
            return
        messages = list(request.messages)
        if request.model not in self.recipe_models:
            self.turn_away("no_recipe", len(messages))
            return
        chosen = new_messages(messages) if self.cfg.policy == "new" else messages
        if not chosen:
            self.turn_away("empty")
            return
        h = self.handler
        q = h.live_messages_queue
        # The whole request or nothing: this thread is the only producer, so
        # the room seen here can only grow before the hand-over. The
        # reservation is kept: the copy and the parse were spent, and the
        # budget bounds them too (a refund would let a worker slower than the
        # budget keep the bucket full and the parses going).
        if q.maxsize > 0 and q.maxsize - q.qsize() < len(chosen):
            self.count("queue_full", len(chosen))
            return
        self.bucket.consume(len(chosen) - 1)
        if len(chosen) != len(messages):
            request = request.model_copy(update={"messages": chosen})
        h.handle_chat_completion_request(request)
        self.count("collected", len(chosen))

    def drain(self, timeout: float = 10.0) -> bool:
        """Waits until the hand-over thread has handled every body submitted."""
        deadline = time.monotonic() + timeout
        self._wake.set()
        with self._lock:
            while self._bodies or not self._thread_idle:
                left = deadline - time.monotonic()
                if left <= 0:
                    return False
                self._idle.wait(min(left, self.POLL_SECONDS))
                self._wake.set()
        return True
