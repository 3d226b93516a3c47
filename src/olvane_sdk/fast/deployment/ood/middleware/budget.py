"""The budget of the middleware: messages per second handed to the handler."""
from __future__ import annotations

import math
import threading
import time
from typing import Callable


class TokenBucket:
    """Messages per second handed to the handler.

    ``admit()`` is asked once per request, when it arrives and before anything
    is known of it: it reserves one token if at least one is there. After the
    request is parsed, ``consume(n - 1)`` takes the rest for its ``n``
    messages, going into debt if need be (a request is handed over whole or
    not at all), and ``refund()`` returns the reservation of a request that
    was not handed over (except one turned away by a full queue after its
    parse: that parse is charged). The decision depends only on time and on what was
    handed over before, never on the served model or the request's content,
    so the requests collected are a fair sample of the traffic.

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
        if not self.unlimited and n:
            with self._lock:
                self._refill()
                self.tokens -= n

    def refund(self, n: float = 1.0) -> None:
        if not self.unlimited:
            with self._lock:
                self.tokens = min(self.capacity, self.tokens + n)
