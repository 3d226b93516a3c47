"""The request side of the collector: admission on the event loop, the count
of every chat request's outcome, and the hand-over thread, which reads each
admitted body's model and messages, charges the budget by the parse's CPU
and what the messages are estimated to cost (settled by what the worker
really spends, :class:`.budget.WorkerMeter`), and passes them to the handler
as vLLM's ``ChatCompletionRequest``, off the event loop."""
from __future__ import annotations

import collections
import logging
import threading
import time
from typing import TYPE_CHECKING, Any, Callable

import msgspec

from .budget import ORDINARY_S, WorkerMeter, request_units
from .reading import ParsedReading, RawReading, new_messages, parse_chat_request, read_head, scan  # noqa: F401
from .trace import TRACE_KEY

if TYPE_CHECKING:
    from .budget import TokenBucket
    from .config import ShiftConfig

log = logging.getLogger(__name__)

# Model names counted apart among requests without a recipe; the rest share
# OTHER_UNSERVED (clients choose the names, the metric's labels must stay few).
MAX_UNSERVED = 32
OTHER_UNSERVED = "(other)"

# Outcomes counted per request (the "intake" of /v1/shift). Every chat
# request the middleware sees ends in exactly one of them.
OUTCOMES = ("collected", "rejected_by_vllm", "no_recipe", "queue_full", "too_large", "sampled_out",
            "not_ready", "empty", "invalid", "backlog_full", "error", "disconnected")


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
        # Measures the worker's CPU on the handler's queue once open (None
        # where the queue cannot be wrapped: messages are then charged by
        # the cost model alone).
        self.meter: WorkerMeter | None = None
        self.intake = {k: 0 for k in OUTCOMES}
        self.messages = {"collected": 0, "no_recipe": 0, "queue_full": 0}
        # What the parsed requests cost the budget: their parses' CPU as
        # measured, and the units charged for them (the ``charged`` part of
        # /v1/shift).
        self.spent = {"parse_cpu_s": 0.0, "units": 0.0}
        self._lock = threading.Lock()
        # Bodies for the hand-over thread. A deque append costs the event loop
        # ~0.1 µs and no system call; the thread polls it (collection may lag
        # by a poll interval, requests never do).
        self._bodies: collections.deque = collections.deque()
        self._thread_idle = True
        self._idle = threading.Condition(self._lock)
        self._wake = threading.Event()
        self._invalid_logged = False
        # model -> requests turned away as no_recipe; the names already warned about.
        self.unserved: dict[str, int] = {}
        self._warned: set[str] = set()

    def prepare(self) -> None:
        """Imports vLLM's request class before collection starts (the first
        parse would otherwise pay for it)."""
        if self.parse is parse_chat_request:
            from vllm.entrypoints.openai.protocol import ChatCompletionRequest  # noqa: F401

    def note_served(self, names) -> None:
        """The server's served model names, when known at start: those with
        no configured recipe are warned about now rather than at their first
        request."""
        if not self.cfg.recipes:  # collection disabled: its error says so
            return
        missing = sorted(n for n in names if n not in self.cfg.recipes)
        with self._lock:
            fresh = [n for n in missing if n not in self._warned]
            self._warned.update(fresh)
        if fresh:
            log.warning("olvane shift: no recipe for served model %s (recipes for %s): its requests are not "
                        "collected", ", ".join(fresh), ", ".join(sorted(self.cfg.recipes)) or "none")

    def unserved_counts(self) -> dict[str, int]:
        """Requests turned away as ``no_recipe``, by served model name."""
        with self._lock:
            return dict(self.unserved)

    def note_unserved(self, model: str) -> None:
        """Counts a request turned away as ``no_recipe`` under its model name
        (at most :data:`MAX_UNSERVED` names: clients choose them); warns at a
        name's first request unless its recipe is configured (then its load
        failed, which start-up has logged)."""
        with self._lock:
            if model not in self.unserved:
                if len(self.unserved) >= MAX_UNSERVED:
                    model = OTHER_UNSERVED
                self.unserved.setdefault(model, 0)
            self.unserved[model] += 1
            warn = model != OTHER_UNSERVED and model not in self._warned and model not in self.cfg.recipes
            if warn:
                self._warned.add(model)
        if warn:
            log.warning("olvane shift: requests for served model %r are not collected: no recipe for it "
                        "(recipes for %s)", model, ", ".join(sorted(self.cfg.recipes)) or "none")

    def open(self, handler: Any, recipe_models: frozenset[str]) -> None:
        self.handler = handler
        self.recipe_models = recipe_models
        meter = WorkerMeter(self.bucket, nice=self.cfg.worker_nice)
        try:
            self.meter = meter if meter.install(handler) else None
        except AttributeError:
            self.meter = None
        if self.meter is None:
            log.warning("olvane shift: cannot measure the embedding worker's CPU on this handler; messages are "
                        "charged by the cost model")

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

    def charged(self) -> dict[str, float]:
        with self._lock:
            spent = dict(self.spent)
        if self.meter is not None:
            spent["worker_cpu_s"] = self.meter.spent["worker_cpu_s"]
        return spent

    def _charge(self, started: float, units: Callable[[float], float] = lambda s: s / ORDINARY_S, *,
                reserved: bool) -> None:
        """Takes ``units(parse CPU seconds)`` from the bucket besides the
        request's reservation (kept or not), and records both."""
        parse_s = time.thread_time() - started
        n = units(parse_s)
        self.bucket.consume(n)
        with self._lock:
            self.spent["parse_cpu_s"] += parse_s
            self.spent["units"] += n + reserved

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
        started = time.thread_time()
        raw = self.parse is parse_chat_request
        if raw:
            # The raw reading first; a body it refuses, or messages vLLM's
            # strict validation refuses (a lone surrogate escape, NaN), take
            # vLLM's route's path below. A BOM, which json.loads skips, is
            # skipped by the scan too. The scan is called here, where the
            # strict decoder was, so its depth limit is the decoder's.
            try:
                body = body if type(body) is bytes else bytes(body)
                taken = self._take(RawReading(body, scan(body)), started)
            except (ValueError, msgspec.MsgspecError):
                raw = False
        if not raw:
            try:
                reading = ParsedReading(self.parse(body))
            except Exception as e:
                # vLLM answered 2xx to this body, so it parsed it: the two
                # parses disagree. Said once; the count goes on.
                self._charge_away("invalid", 0, started)
                if not self._invalid_logged:
                    self._invalid_logged = True
                    log.error("olvane shift: a request vLLM served does not parse here (%s: %s); such requests "
                              "are counted as invalid and not collected", type(e).__name__, str(e)[:300])
                return
            taken = self._take(reading, started)
        if taken:
            request, n = taken
            meter = self.meter
            if meter is None:
                # Charged by the parse's CPU and what its messages can cost
                # (at least one unit each).
                self._charge(started, lambda s: request_units(request.messages, s) - 1, reserved=True)
            else:
                # Charged by the parse's CPU and the messages' estimates, which
                # the worker's meter replaces by what they really cost.
                model = request.model
                self._charge(started, lambda s: (s + sum(meter.estimate(model, m) for m in request.messages))
                             / ORDINARY_S - 1, reserved=True)
            if trace is not None and any(trace):
                # The request's own ids ride on its messages (the module reads
                # only model, role and content): see .trace.
                for m in request.messages:
                    if isinstance(m, dict):
                        m[TRACE_KEY] = trace
            self.handler.handle_chat_completion_request(request)
            self.count("collected", n)

    def _charge_away(self, outcome: str, messages: int, started: float) -> None:
        """Turns a parsed request away, charging the parse's CPU."""
        self.turn_away(outcome, messages)
        self._charge(started, reserved=False)

    def _take(self, reading, started: float):
        """The request to hand over and its message count, or None when it
        was turned away (counted). A raw reading's error is raised before
        anything is counted."""
        if reading.model not in self.recipe_models:
            self.note_unserved(str(reading.model))
            return self._charge_away("no_recipe", len(reading.messages), started)
        chosen = reading.new() if self.cfg.policy == "new" else reading.messages
        if not chosen:
            return self._charge_away("empty", 0, started)
        q = self.handler.live_messages_queue
        # The whole request or nothing, decided before the messages are read:
        # this thread is the only producer, so the room seen here can only
        # grow before the hand-over. The reservation is kept and the parse
        # charged (a refund would let a worker slower than the budget keep
        # the bucket full and the parses going).
        if q.maxsize > 0 and q.maxsize - q.qsize() < len(chosen):
            self._charge(started, reserved=True)
            self.count("queue_full", len(chosen))
            return None
        return reading.request(chosen), len(chosen)

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
