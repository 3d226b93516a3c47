"""The hand-over thread: parses each collected body with vLLM's
``ChatCompletionRequest`` as vLLM's chat route does, charges the budget by
what its messages can cost and passes it to the handler, off the event loop."""
from __future__ import annotations

import collections
import json
import logging
import threading
import time
from typing import TYPE_CHECKING, Any, Callable

from .budget import request_units

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


def _scrubbed(text):
    # A lone surrogate (a "\\ud800" escape) cannot be encoded, so the model's
    # tokenizer would refuse the whole text: it reads U+FFFD in its place.
    if isinstance(text, str) and not text.isascii():
        try:
            text.encode("utf-8")
        except UnicodeEncodeError:
            return text.encode("utf-16", "surrogatepass").decode("utf-16", "replace")
    return text


def _scrub_messages(request) -> None:
    for m in request.messages:
        content = m.get("content") if isinstance(m, dict) else None
        if isinstance(content, str):
            m["content"] = _scrubbed(content)
        elif isinstance(content, list):
            for part in content:
                if isinstance(part, dict) and isinstance(part.get("text"), str):
                    part["text"] = _scrubbed(part["text"])


def parse_chat_request(body: bytes):
    """The request as vLLM's chat route reads it.

    FastAPI reads the route's body with the standard library's ``json.loads``
    (which takes a UTF-8 BOM, lone surrogate escapes and nesting up to the
    interpreter's recursion limit) and then validates the object. The strict
    ``model_validate_json`` is faster and reads the bodies it accepts the same
    way, so it goes first; a body it refuses takes vLLM's path."""
    from vllm.entrypoints.openai.protocol import ChatCompletionRequest

    try:
        return ChatCompletionRequest.model_validate_json(body)
    except ValueError:
        pass
    request = ChatCompletionRequest.model_validate(json.loads(body), from_attributes=True)
    _scrub_messages(request)
    return request


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
    _invalid_logged = False

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
        except Exception as e:
            # vLLM answered 2xx to this body, so it parsed it: the two parses
            # disagree. Said once; the count goes on.
            self.turn_away("invalid")
            if not self._invalid_logged:
                self._invalid_logged = True
                log.error("olvane shift: a request vLLM served does not parse here (%s: %s); such requests "
                          "are counted as invalid and not collected", type(e).__name__, str(e)[:300])
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
        # Charged by what its messages can cost (at least one token each).
        self.bucket.consume(request_units(chosen, len(body)) - 1)
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
