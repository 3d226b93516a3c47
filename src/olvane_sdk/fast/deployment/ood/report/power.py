"""What a calibration of a given size can see: the smallest share of
newcomers the share test finds in a window, and the calibration size a
share needs.

A recipe's calibration (its leave-one-out train scores plus its test split)
sets the tail's threshold and the bound on normal traffic's share past it
(:func:`.stats.tail_bound`). With few scores the bound is wide and the tail
itself may sit at the calibration's largest score: a newcomer must then fill
a large part of the window before the count passes the bound. A recipe of 72
calibration scores puts the bound at 6 % at the default tail of 1 %, and a
window of 1,000 needs about 9 % newcomers to say ``novel``.
"""
from __future__ import annotations

import math
from functools import lru_cache
from dataclasses import dataclass

import numpy as np

from ..samples.store import WINDOW_LATEST
from .stats import FAR_ALPHA, FAR_TAIL, tail_bound

#: The newcomer shares a recipe is judged by: the default's goals (a new
#: language at 2 % and a new topic at 5 % of a window, benchmarks/README.md).
GOAL_SHARES = (0.02, 0.05)
#: Below this the recipe is warned about: it cannot see a newcomer at 5 %.
REQUIRED_SHARE = 0.05
#: Calibration scores the tail must hold for the configured tail to be what
#: flags. With fewer the threshold falls back to the largest score whatever
#: the tail asks, and the report says so instead of flagging (almost)
#: nothing; the figure says what such a recipe still sees.
MIN_TAIL_SCORES = 1
# The chance of a significant window at the figure.
POWER = 0.5


def min_detectable_share(n_calibration: int, tail: float, alpha: float, n: int = WINDOW_LATEST,
                         confidence: float = 0.99) -> float | None:
    """The smallest share ``s`` of newcomers such that a window of ``n``
    live messages, ``s * n`` of them newcomers past the tail and the rest
    normal traffic passing it at the calibration's central estimate, is
    ``novel`` by the share test at ``alpha`` in at least half of the windows.

    The test is the report's: the count past the tail against the
    ``confidence`` bound, binomial, at the part of ``alpha`` the tail keeps
    when the far tail has its own test. The far tail and a large group's
    test can only add to it, so the figure is what the recipe sees at
    least. None when no window of ``n`` can be significant."""
    from scipy.stats import binom

    l, bound = tail_bound(n_calibration, tail, confidence)
    far_l = tail_bound(n_calibration, tail * FAR_TAIL, confidence)[0]
    level = alpha * (1.0 - FAR_ALPHA) if far_l < l else alpha
    null = tail_bound(n_calibration, tail, 0.5)[1]
    counts = np.arange(n + 1)
    # the fewest flagged messages that are significant
    significant = np.flatnonzero(binom.sf(counts - 1, n, bound) < level)
    if not len(significant):
        return None
    need = int(significant[0])
    k = counts[: need + 1]  # newcomers; need of them are always enough
    chance = binom.sf(need - k - 1, n - k, null)
    return float(k[np.argmax(chance >= POWER)] / n)


@lru_cache(maxsize=64)
def calibration_needed(share: float, tail: float, alpha: float, n: int = WINDOW_LATEST,
                       confidence: float = 0.99, most: int = 1 << 20) -> int | None:
    """The fewest calibration scores whose :func:`min_detectable_share` is
    at most ``share`` (None past ``most``). The figure falls with the size
    except for small steps where the tail's count steps up, so a bisection
    finds the size up to those steps."""
    def ok(size: int) -> bool:
        s = min_detectable_share(size, tail, alpha, n, confidence)
        return s is not None and s <= share

    if not ok(most):
        return None
    lo, hi = 1, most
    while lo < hi:
        mid = (lo + hi) // 2
        if ok(mid):
            hi = mid
        else:
            lo = mid + 1
    return lo


@dataclass(frozen=True)
class Power:
    """A calibration's power at given settings (:func:`recipe_power`)."""

    n_calibration: int
    min_share: float | None          # min_detectable_share
    needed: dict[float, int | None]  # goal share -> calibration scores it needs
    tail_scores: int                 # calibration scores the tail holds, floor(tail * (N + 1))

    @property
    def enough(self) -> bool:
        return self.min_share is not None and self.min_share <= REQUIRED_SHARE

    def tail_note(self, tail: float) -> str:
        """The row's note when the tail rests on too few scores, else ""."""
        if self.tail_scores >= MIN_TAIL_SCORES:
            return ""
        return (f"{self.n_calibration} calibration scores cannot support the tail {tail:g} "
                f"({self.tail_scores} score{'' if self.tail_scores == 1 else 's'} in it): the smallest newcomer share this recipe "
                f"detects in {WINDOW_LATEST:,} messages is {describe_share(self.min_share)}")

    def summary(self) -> str:
        """One line: the figure and the sizes the goals need."""
        needs = ", ".join(f"{s:.0%}: {'-' if v is None else f'{v:,}'}" for s, v in self.needed.items())
        return (f"detects a newcomer at {describe_share(self.min_share)} of {WINDOW_LATEST:,} messages "
                f"({self.n_calibration:,} calibration scores; scores needed for {needs})")


def describe_share(share: float | None) -> str:
    return "no share" if share is None else f"{share:.1%}"


@lru_cache(maxsize=256)
def recipe_power(n_calibration: int, tail: float, alpha: float, confidence: float = 0.99,
                 n: int = WINDOW_LATEST) -> Power:
    """The figure and the sizes :data:`GOAL_SHARES` need, for a recipe of
    ``n_calibration`` scores (train rows plus test rows)."""
    return Power(n_calibration, min_detectable_share(n_calibration, tail, alpha, n, confidence),
                 {s: calibration_needed(s, tail, alpha, n, confidence) for s in GOAL_SHARES},
                 int(math.floor(tail * (n_calibration + 1))))
