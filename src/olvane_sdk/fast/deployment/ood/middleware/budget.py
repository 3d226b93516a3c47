"""The budget of the middleware: the worker's CPU for collection. A message is
admitted by what it can cost (the cost model below, corrected by what recent
messages really cost) and charged, once the worker has embedded it, what the
worker's thread really spent (:class:`WorkerMeter`)."""
from __future__ import annotations

import base64
import binascii
import collections
import io
import logging
import math
import os
import threading
import time
from typing import Any, Callable, Iterable

log = logging.getLogger(__name__)

# -- the cost model -------------------------------------------------------------
# Worker CPU seconds per message with the demo's models (all-MiniLM-L6-v2 and the
# tiny CLIP vision tower, one-thread ONNX Runtime sessions), fitted to the
# figures of benchmarks/cost_model.py. Each term is a fact known right after the
# parse (part kinds, text lengths, image sizes from their headers, Base64
# lengths), and each is taken at its dearest: a message is charged at least
# what it can cost, so the worker's CPU stays within the budget whatever the
# content, and ordinary messages are charged more than they cost.
MESSAGE_S = 0.0005           # a message's own handling (queue, lookups, store)
TEXT_PART_S = 0.0045         # one text given to the model (tokenizer call, a short run)
TEXT_PIECE_S = 0.00035       # the model's run, per word piece ...
TEXT_PIECES = 256            # ... up to the model's input; a character can be a piece
TEXT_CHAR_S = 7e-6           # the tokenizer, per character read (long words are the dearest)
IMAGE_PART_S = 0.002         # one image given to the model (preprocessing, the tower's run)
IMAGE_PIXEL_S = 36e-9        # decode and resize, per pixel (a progressive JPEG's rate)
IMAGE_B64_S = 5e-9           # Base64 decode and decompression, per character

# What the module embeds at most: parts after the first PARTS are skipped, a
# text is read up to TEXT_CHARS, an image over PIXELS is refused from its
# header. Charging up to these stays an upper bound if the module's own limits
# are tighter.
PARTS = 4
TEXT_CHARS = 8 << 10              # the module's text cut (handler/content.cpp)
PIXELS = 2048 * 2048
# Base64 characters decoded to find an image's size; a header not found in
# them (a JPEG behind large metadata, a broken payload) is charged at PIXELS.
HEADER_B64_CHARS = 16 << 10


def text_cost(chars: int) -> float:
    n = min(chars, TEXT_CHARS)
    return TEXT_PART_S + TEXT_PIECE_S * min(n, TEXT_PIECES) + TEXT_CHAR_S * n


def image_pixels(b64: str, start: int = 0) -> int:
    """The pixel count an image's header states, from the start of its Base64
    data (``b64`` from ``start``) only; PIXELS when the header cannot be read
    there."""
    head = b64[start:start + HEADER_B64_CHARS]
    head = head[:len(head) - len(head) % 4]
    try:
        from PIL import Image

        w, h = Image.open(io.BytesIO(base64.b64decode(head))).size
        return min(int(w) * int(h), PIXELS)
    except (Exception, binascii.Error):
        return PIXELS


def image_cost(url: str) -> float:
    start = url.find(",") + 1 or len(url)  # the Base64 data, not copied
    return IMAGE_PART_S + IMAGE_PIXEL_S * image_pixels(url, start) + IMAGE_B64_S * (len(url) - start)


def _parts(content: Iterable) -> Iterable[tuple[str, float]]:
    embedded = 0
    for part in content:
        if embedded >= PARTS:
            return
        if not isinstance(part, dict):
            continue
        kind = part.get("type")
        if kind == "text":
            text = part.get("text")
            embedded += 1
            yield "text", text_cost(len(text)) if isinstance(text, str) else TEXT_PART_S
        elif kind == "image_url":
            ref = part.get("image_url")
            url = ref.get("url") if isinstance(ref, dict) else None
            if isinstance(url, str) and url.startswith("data:image"):
                embedded += 1
                yield "image", image_cost(url)


def message_terms(message: Any) -> dict[str, float]:
    """What ``message`` can cost the worker by the cost model, in CPU seconds
    per term: the message's own handling, its texts and its images."""
    terms = {"message": MESSAGE_S, "text": 0.0, "image": 0.0}
    content = message.get("content") if isinstance(message, dict) else None
    if isinstance(content, str):
        terms["text"] = text_cost(len(content))
    elif isinstance(content, (list, tuple)):
        for kind, cost in _parts(content):
            terms[kind] += cost
    return terms


def message_cost(message: Any) -> float:
    """Worker CPU seconds that ``message`` (a chat message as vLLM's request
    holds it) can cost, by the cost model above."""
    return sum(message_terms(message).values())


# The budget's unit, an ordinary message: a question of up to 100 characters
# and a small image (64x64, 16 KB of Base64), as charged. Every message costs
# the bucket at least one unit, so such traffic is sampled as by a count of
# messages.
ORDINARY_S = MESSAGE_S + text_cost(100) + IMAGE_PART_S + IMAGE_PIXEL_S * 64 * 64 + IMAGE_B64_S * 16_000
# The default budget, in shares of one core: 3 ordinary messages a second.
DEFAULT_CPU_SHARE = 0.13


def request_units(messages: list, parse_s: float = 0.0) -> float:
    """What a request handed over costs the bucket, in ordinary messages: at
    least one per message (ordinary traffic is charged as before), more for
    messages that can cost more than an ordinary one, and for the hand-over
    thread's parse, ``parse_s`` CPU seconds as measured."""
    seconds = parse_s + sum(message_cost(m) for m in messages)
    return max(float(len(messages)), seconds / ORDINARY_S)


class TokenBucket:
    """Ordinary messages per second handed to the handler.

    ``admit()`` is asked once per request, when it arrives and before anything
    is known of it: it reserves one token if at least one is there. After the
    request is parsed, ``consume(units - 1)`` takes the rest of what its parse
    cost and its messages can cost (:func:`request_units`), going into debt if
    need be (a request is handed over whole or not at all), and ``refund()``
    returns the reservation of a request that was not handed over (the parse
    of one turned away after it is charged all the same). Whether a request
    is admitted depends only on time and on what was handed over before, never
    on the served model or the request's content, so the requests collected
    are a fair sample of the traffic; expensive ones leave the bucket in debt
    for longer, so the worker's CPU stays within the budget.

    ``rate`` <= 0 means unlimited. The bucket holds at most ``burst`` tokens
    (default: one second of the rate, at least 1).
    """

    def __init__(self, rate: float, burst: float | None = None, clock: Callable[[], float] = time.monotonic):
        self.rate = float(rate)
        self.unlimited = not (self.rate > 0) or math.isinf(self.rate)
        self.capacity = max(1.0, self.rate if burst is None else float(burst))
        self.clock = clock
        self.tokens = self.capacity
        self._t = clock()
        self._lock = threading.Lock()

    def _refill(self) -> None:
        now = self.clock()
        self.tokens = min(self.capacity, self.tokens + (now - self._t) * self.rate)
        self._t = now

    def admit(self) -> bool:
        if self.unlimited:
            return True
        with self._lock:
            self._refill()
            if self.tokens >= 1.0:
                self.tokens -= 1.0
                return True
            return False

    def consume(self, n: float) -> None:
        """Takes ``n`` tokens, into debt if need be; a negative ``n`` gives
        tokens back, up to the capacity."""
        if not self.unlimited and n:
            with self._lock:
                self._refill()
                self.tokens = min(self.capacity, self.tokens - n)

    def refund(self, n: float = 1.0) -> None:
        if not self.unlimited:
            with self._lock:
                self.tokens = min(self.capacity, self.tokens + n)


# -- what the worker really spends -------------------------------------------------
#: The message key that carries a message's cost-model terms and its admission
#: estimate from the hand-over to the worker (the module reads only "model" and
#: "content").
COST_KEY = "olvane_cost"
# How much each settled batch weighs in the running estimates (an exponential
# decay over about ten batches), and the bounds a correction stays within: the
# model's terms are upper bounds, so a correction far below them comes only
# from many cheap messages, and one far above from a model the cost model
# does not know.
_DECAY = 0.9
_LOWEST, _HIGHEST = 0.05, 4.0


def lower_priority(nice: int) -> bool:
    """Raises the calling thread's nice value to ``nice`` (never lowers it):
    on Linux each thread has its own. Whether it took."""
    if not hasattr(os, "setpriority") or not hasattr(threading, "get_native_id"):
        return False
    try:
        tid = threading.get_native_id()
        if os.getpriority(os.PRIO_PROCESS, tid) < nice:
            os.setpriority(os.PRIO_PROCESS, tid, nice)
        return True
    except OSError as e:
        log.warning("olvane shift: cannot lower the embedding worker's priority: %s", e)
        return False


class WorkerMeter:
    """Charges the bucket what the embedding worker's thread really spends,
    after the fact, and corrects the admission estimates by it.

    The hand-over charges each message its estimate (:meth:`estimate`: the
    cost model's terms, each times the running ratio of measured to modelled
    cost for the served model and the term) and puts its terms on the message
    (:data:`COST_KEY`). On the worker thread, wrappers of the queue's ``get``
    and ``task_done`` and of the models' ``encode`` read ``thread_time``: at
    each ``get`` the CPU the thread spent since the last one is charged, and
    the estimates of the messages marked done since are given back, so the
    bucket is charged exactly the worker's CPU (tokenising, image decoding,
    masking, the encode, the store). A batch's CPU is shared among its
    messages by their modelled terms, the encode calls' CPU going to the term
    of their inputs (texts or images), the rest to the messages' own handling.

    Everything here runs on the worker thread, except :meth:`estimate` (the
    hand-over thread); the ratios are replaced whole, never changed in place."""

    def __init__(self, bucket: TokenBucket, *, clock: Callable[[], float] = time.thread_time, nice: int = 0):
        self.bucket = bucket
        self.clock = clock
        self.nice = nice  # given to the worker thread at its first get (Linux: a thread's own nice value)
        # (served model, term) -> measured / modelled, as a running estimate.
        self.ratios: dict[tuple[str, str], float] = {}
        self._sums: dict[tuple[str, str], tuple[float, float]] = {}
        self.spent = {"worker_cpu_s": 0.0, "messages": 0}
        self._local = threading.local()

    def estimate(self, model: Any, message: Any) -> float:
        """What ``message`` may cost before it runs, in CPU seconds; puts its
        terms and the estimate on the message for the worker."""
        terms = message_terms(message)
        ratios = self.ratios
        est = sum(cost * ratios.get((model, term), 1.0) for term, cost in terms.items())
        if isinstance(message, dict):
            message[COST_KEY] = (terms, est)
        return est

    # -- the worker thread ----------------------------------------------------
    def _state(self):
        local = self._local
        if not hasattr(local, "mark"):
            if self.nice:
                lower_priority(self.nice)
            local.mark = self.clock()
            local.window = 0.0  # CPU since the last settled batch
            local.encode = {"text": 0.0, "image": 0.0}
            local.done = []  # messages marked done since
        return local

    def on_get(self) -> None:
        """Before the worker waits for a message: charges the CPU spent since
        the last call, and settles the messages marked done since."""
        local = self._state()
        now = self.clock()
        cpu, local.mark = now - local.mark, now
        local.window += cpu
        done, local.done = local.done, []
        given_back = sum(c[1] for c in done)
        self.bucket.consume((cpu - given_back) / ORDINARY_S)
        self.spent["worker_cpu_s"] += cpu
        if done:
            self.spent["messages"] += len(done)
            self._learn(done, local.window, local.encode)
            local.window = 0.0
            local.encode = {"text": 0.0, "image": 0.0}

    def on_done(self, message: Any) -> None:
        cost = message.get(COST_KEY) if isinstance(message, dict) else None
        if isinstance(cost, tuple) and len(cost) == 2:
            self._state().done.append((message.get("model"), cost[1], cost[0]))

    def on_encode(self, value: Any, cpu: float) -> None:
        kind = "text" if isinstance(value, str) or (isinstance(value, list) and value and
                                                   isinstance(value[0], str)) else "image"
        self._state().encode[kind] += cpu

    def _learn(self, done: list, window: float, encode: dict[str, float]) -> None:
        """Shares a batch's measured CPU among its messages by their terms and
        updates the running ratios."""
        measured = {"text": encode["text"], "image": encode["image"]}
        measured["message"] = max(0.0, window - measured["text"] - measured["image"])
        modelled = {t: sum(c[2][t] for c in done) for t in measured}
        sums = dict(self._sums)
        for model, _est, terms in done:
            for term, cost in terms.items():
                if cost <= 0 or modelled[term] <= 0:
                    continue
                got = measured[term] * cost / modelled[term]
                m, p = sums.get((model, term), (0.0, 0.0))
                sums[(model, term)] = (m * _DECAY + got, p * _DECAY + cost)
        self._sums = sums
        self.ratios = {k: min(_HIGHEST, max(_LOWEST, m / p)) for k, (m, p) in sums.items() if p > 0}

    def install(self, handler: Any) -> bool:
        """Wraps the handler's queue and its loaded models' ``encode``."""
        q = handler.live_messages_queue
        inner_get, inner_done = q.get, q.task_done
        local_message = threading.local()

        def get(*args, **kwargs):
            self.on_get()
            message = inner_get(*args, **kwargs)
            local_message.taken = getattr(local_message, "taken", collections.deque())
            local_message.taken.append(message)
            return message

        def task_done(*args, **kwargs):
            taken = getattr(local_message, "taken", None)
            if taken:
                self.on_done(taken.popleft())
            return inner_done(*args, **kwargs)

        try:
            q.get, q.task_done = get, task_done
        except (AttributeError, TypeError):
            return False
        for model in list((getattr(handler, "embedding_models", None) or {}).values()):
            inner = getattr(model, "encode", None)
            if inner is None:
                continue

            def encode(value, *args, _inner=inner, **kwargs):
                t0 = self.clock()
                try:
                    return _inner(value, *args, **kwargs)
                finally:
                    self.on_encode(value, self.clock() - t0)

            try:
                model.encode = encode
            except (AttributeError, TypeError):
                pass
        return True
