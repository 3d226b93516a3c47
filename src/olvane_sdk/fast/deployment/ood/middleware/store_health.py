"""The sample store's health as the deployment's report sees it: a wipe of
the store (its layout marker gone, or the window far smaller than the last
report's) and origins whose clocks are off the store's."""
from __future__ import annotations

import logging
import time
from typing import Callable

from ..samples import SampleStore
from ..samples.store import WINDOW_LATEST

log = logging.getLogger(__name__)

#: The lease of the one process that tells of a wipe of the store.
RESET = "reset"
RESET_LEASE_SECONDS = 60.0
#: An origin whose clock is further than this from the store's is flagged.
SKEW_SECONDS = 60.0


class StoreHealth:
    """Notices a wipe of ``store`` (one warning per wipe for the whole
    deployment, and ``on_reset``) and origins with skewed clocks (one
    warning per origin). ``clock`` is the wall clock (tests step it)."""

    def __init__(self, store: SampleStore, holder: str, on_reset: Callable[[], None] | None = None,
                 clock: Callable[[], float] = time.time):
        self.store = store
        self.holder = holder
        self.on_reset = on_reset
        self.clock = clock
        self._resets_seen = 0
        self._stored: tuple[int, float | None] | None = None  # (samples in the store's window, oldest)
        self._skew_logged: set[str] = set()

    def note_stored(self, stored) -> None:
        """The window's size and oldest time as the last report saw them (a
        stored result's ``stored``), the yardstick of the next check."""
        if isinstance(stored, list) and len(stored) == 2 and isinstance(stored[0], (int, float)):
            oldest = stored[1] if isinstance(stored[1], (int, float)) else None
            self._stored = (int(stored[0]), oldest)

    def skew(self, offsets: dict[str, float]) -> dict[str, float]:
        skew = {o: round(v, 1) for o, v in offsets.items() if abs(v) > SKEW_SECONDS}
        for o in sorted(set(skew) - self._skew_logged):
            self._skew_logged.add(o)
            log.warning("olvane shift: the clock of %s is %+.0f s off the sample store's: its samples' times "
                        "(window newest, report age) are off by as much", o, skew[o])
        return skew

    def check_reset(self, raw) -> None:
        """One warning and ``on_reset`` when the store was wiped: its layout
        marker was gone at a write (any process), or the window ``raw``
        holds far fewer samples than the last report's and retention does not
        explain it (the lease holder, reading it)."""
        gone = self.store.resets > self._resets_seen
        self._resets_seen = self.store.resets
        if not gone and (raw is None or self._stored is None):
            return
        if raw is None:
            raw = self.store.window(latest=WINDOW_LATEST)
        now_total = raw.total()
        had, oldest = self._stored or (now_total, None)  # not known yet: no loss to tell
        aged = oldest is None or oldest < self.clock() - self.store.retention.max_age
        if gone or (had - now_total > 10 and now_total < had / 2 and not aged):
            self._stored = (now_total, None)
            # Several processes may notice one wipe: the first to take this lease tells it.
            if not self.store.try_lease(RESET, self.holder, RESET_LEASE_SECONDS):
                return
            log.warning("olvane shift: sample store %s was reset (%s): the pooled window lost %d samples (%d -> "
                        "%d)", self.store.description, "its layout marker was gone; layout recreated" if gone else
                        "the window shrank, more than retention explains", max(0, had - now_total), had, now_total)
            if self.on_reset is not None:
                self.on_reset()
