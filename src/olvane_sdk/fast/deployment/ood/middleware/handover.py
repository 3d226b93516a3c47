"""The request side of the collector: admission on the event loop, the count
of every chat request's outcome, and the hand-over thread, which parses each
admitted body with vLLM's ``ChatCompletionRequest`` as vLLM's chat route
does, charges the budget by what its messages can cost and passes it to the
handler, off the event loop."""
from __future__ import annotations

import collections
import json
import logging
import threading
import time
from typing import TYPE_CHECKING, Any, Callable

from .budget import request_units
from .trace import TRACE_KEY

if TYPE_CHECKING:
    from .budget import TokenBucket
    from .config import ShiftConfig

log = logging.getLogger(__name__)

# Outcomes counted per request (the "intake" of /v1/shift). Every chat
# request the middleware sees ends in exactly one of them.
OUTCOMES = ("collected", "rejected_by_vllm", "no_recipe", "queue_full", "too_large", "sampled_out",
            "not_ready", "empty", "invalid", "backlog_full", "error", "disconnected")


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


class Handover:
    """Admits chat requests, counts their outcomes and hands the admitted
    bodies to the handler on a thread of its own (:meth:`run`).

    Nothing is admitted before :meth:`open` has given the handler and the
    served models whose recipes loaded, and ``ready`` is set."""

    POLL_SECONDS = 0.02

    def __init__(self, cfg: ShiftConfig, bucket: TokenBucket, ready: threading.Event, *, handler: Any = None,
                 parse: Callable[[bytes], Any] = parse_chat_request):
        self.cfg = cfg
        self.bucket = bucket
        self.ready = ready
        self.handler = handler
        self.parse = parse
        self.recipe_models: frozenset[str] = frozenset()
        self.intake = {k: 0 for k in OUTCOMES}
        self.messages = {"collected": 0, "no_recipe": 0, "queue_full": 0}
        self._lock = threading.Lock()
        # Bodies for the hand-over thread. A deque append costs the event loop
        # ~0.1 µs and no system call; the thread polls it (collection may lag
        # by a poll interval, requests never do).
        self._bodies: collections.deque = collections.deque()
        self._thread_idle = True
        self._idle = threading.Condition(self._lock)
        self._wake = threading.Event()
        self._invalid_logged = False

    def prepare(self) -> None:
        """Imports vLLM's request class before collection starts (the first
        parse would otherwise pay for it)."""
        if self.parse is parse_chat_request:
            from vllm.entrypoints.openai.protocol import ChatCompletionRequest  # noqa: F401

    def open(self, handler: Any, recipe_models: frozenset[str]) -> None:
        self.handler = handler
        self.recipe_models = recipe_models

    # -- the request path (event loop) --------------------------------------
    def count(self, outcome: str, messages: int = 0) -> None:
        with self._lock:
            self.intake[outcome] += 1
            if outcome in self.messages:
                self.messages[outcome] += messages

    def counts(self) -> dict[str, Any]:
        """The intake of ``/v1/shift``: requests by outcome, and their messages."""
        with self._lock:
            intake: dict[str, Any] = dict(self.intake)
            intake["messages"] = dict(self.messages)
        return intake

    def turn_away(self, outcome: str, messages: int = 0) -> None:
        """Counts a request that was admitted but not handed over, and gives
        its reservation back to the bucket."""
        self.bucket.refund()
        self.count(outcome, messages)

    def admit(self, scope) -> bool:
        """Whether to copy this chat request's body (called on the event loop)."""
        if not self.ready.is_set():
            self.count("not_ready")
            return False
        for k, v in scope.get("headers", ()):
            if k == b"content-length":
                try:
                    if int(v) > self.cfg.max_body:
                        self.count("too_large")
                        return False
                except ValueError:
                    pass
                break
        # A handler queue with no room now would turn the request away after
        # the copy and the parse: skip it here, before both (the token stays).
        q = self.handler.live_messages_queue
        if q.maxsize > 0 and q.qsize() >= q.maxsize:
            self.count("queue_full")
            return False
        if not self.bucket.admit():
            self.count("sampled_out")
            return False
        return True

    def submit(self, chunks: list, trace: tuple[str | None, str | None] | None = None) -> None:
        """Hands a 2xx request's body chunks to the hand-over thread, with its
        (response id, client request id) when known (see :mod:`.trace`)."""
        if len(self._bodies) >= self.cfg.backlog:
            self.turn_away("backlog_full")
        else:
            self._bodies.append((chunks, trace))

    # -- the hand-over thread ------------------------------------------------
    def wake(self) -> None:
        self._wake.set()

    def run(self, stop: threading.Event) -> None:
        bodies = self._bodies
        while not stop.is_set():
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
            chunks, trace = bodies.popleft()
            try:
                self._handover(chunks, trace)
            except Exception as e:
                self.turn_away("error")
                log.error("olvane shift: hand-over failed: %s: %s", type(e).__name__, e)

    def _handover(self, chunks: list, trace: tuple | None = None) -> None:
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
        if trace is not None and any(trace):
            for m in chosen:
                if isinstance(m, dict):
                    m[TRACE_KEY] = trace
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
