"""What the report does with a live window beyond the two-sample tests:

* :func:`dedup`: a message sent many times counts once (identical vectors,
  or cosine similarity at least :data:`DUPLICATE_COSINE`), so that a few
  repeated prompts neither fill the share test nor weigh in the MMD.
* :func:`links` and :func:`largest_group`: ``novel`` asks for a group among
  the flagged messages. A newcomer's messages lie nearer each other than
  anything the reference holds; more of a sparse but known part of the
  reference passes the tail more often too, yet its outliers each stand
  alone. The recipe's cutoffs are in :mod:`.calibrate`.
* :func:`advance`: the sequential alarm, a CUSUM over the window's flagged
  and linked messages in arrival order, carried from report to report. It
  reacts to a newcomer that started inside the window before the window's
  share does, and its threshold is set for a run length to a false alarm of
  months, where the share test, run on every report at alpha_novel, is set
  per report.
"""
from __future__ import annotations

import hashlib
import math
from dataclasses import dataclass

import numpy as np

from .stats import Calibration, knn_distance, unit_rows

DUPLICATE_COSINE = 0.98
# The flagged rows compared pair by pair, the first in the window's order: the
# verdict asks for a group of at most LARGE_GROUP, and a window with more flags
# has groups to spare.
GROUP_ROWS = 2048


def repeat_threshold(reference: np.ndarray, *, quantile: float = 0.99, max_rows: int = 2000) -> float:
    """The cosine similarity from which two messages count as one: at least
    :data:`DUPLICATE_COSINE`, and above what distinct reference rows reach
    with their nearest neighbour (their ``quantile``). Text models rarely put
    distinct texts that close, so text keeps 0.98; an image model may put
    every picture of one kind there, and then only near copies fold."""
    X = unit_rows(reference[:max_rows])
    if len(X) < 2:
        return DUPLICATE_COSINE
    S = X @ X.T
    np.fill_diagonal(S, -np.inf)
    nearest = S.max(axis=1)
    nearest = nearest[nearest < 1.0 - 1e-6]  # exact copies in the reference say nothing of distinct rows
    if not len(nearest):
        return DUPLICATE_COSINE
    return float(min(1.0 - 1e-6, max(DUPLICATE_COSINE, np.quantile(nearest, quantile))))


def dedup(live: np.ndarray, threshold: float = DUPLICATE_COSINE, *, exact_up_to: int = 2048) -> tuple[np.ndarray, int]:
    """(indices of the rows kept, number of repeats): a row is a repeat when
    an earlier row is identical to it or at cosine similarity >= ``threshold``
    (so a repeat of a repeat is one too, even past the threshold from the
    first). Identical rows are found by hashing. Up to ``exact_up_to``
    distinct rows every pair is compared; beyond, to keep the cost near
    O(n^1.5 d), only rows that share a bucket (one of the two nearest of
    ~2 sqrt(n) anchor rows) are, and a near pair can be missed."""
    X = unit_rows(live)
    n = len(X)
    if n < 2:
        return np.arange(n), 0
    _, first = np.unique(np.ascontiguousarray(X).view(np.dtype((np.void, X.dtype.itemsize * X.shape[1]))),
                         return_index=True)
    repeat = np.ones(n, dtype=bool)
    repeat[first] = False
    uniq = np.sort(first)
    U = X[uniq]
    if len(U) <= exact_up_to:
        groups = [np.arange(len(U))]
    else:
        m = max(8, int(2 * math.sqrt(len(U))))
        anchors = U[np.random.default_rng(0).choice(len(U), m, replace=False)]
        near = np.argpartition(-(U @ anchors.T), 1, axis=1)[:, :2].ravel()
        # each anchor's rows in arrival order: a stable sort of (row, anchor) pairs by anchor
        order = np.argsort(near, kind="stable")
        groups = np.split(order // 2, np.searchsorted(near[order], np.arange(1, m)))
    for idx in groups:  # each in arrival order
        for lo in range(0, len(idx), 1024):
            S = U[idx[lo:lo + 1024]] @ U[idx[:lo + 1024]].T
            S[:, lo:] = np.tril(S[:, lo:], -1)  # against the earlier rows only
            repeat[uniq[idx[lo:lo + 1024][S.max(axis=1) >= threshold]]] = True
    kept = np.flatnonzero(~repeat)
    return kept, n - len(kept)


def links(cal: Calibration, rows: np.ndarray, link: int = 1) -> np.ndarray:
    """The boolean adjacency of ``rows`` (a window's flagged rows, repeats
    folded): two are linked when they lie nearer each other than either lies
    to its ``link``-th nearest train row. A newcomer's messages link up;
    flags of a sparse known part each stand alone."""
    X = unit_rows(rows[:GROUP_ROWS])
    if len(X) < 2:
        return np.zeros((len(X), len(X)), dtype=bool)
    near = 1.0 - knn_distance(X, cal.train, link)
    S = X @ X.T
    np.fill_diagonal(S, -np.inf)
    return S > np.maximum(near[:, None], near[None, :])


def largest_group(adjacency: np.ndarray) -> int:
    """The size of the largest connected group of linked rows (a lone row
    is a group of one; no rows, 0)."""
    n = len(adjacency)
    if n < 2 or not adjacency.any():
        return min(n, 1)
    from scipy.sparse.csgraph import connected_components

    _, labels = connected_components(adjacency, directed=False)
    return int(np.bincount(labels).max())


def cusum_from(s: float, events: np.ndarray, q0: float, q1: float, cap: float = math.inf) -> tuple[float, float]:
    """(statistic after the last event, its largest value on the way): the
    Bernoulli CUSUM of share ``q1`` against ``q0``, reset at zero, capped at
    ``cap``, continued from ``s`` over ``events`` in arrival order."""
    q0 = min(max(q0, 1e-9), 0.5)
    q1 = min(max(q1, q0 * (1 + 1e-6)), 1.0 - 1e-9)
    up, down = math.log(q1 / q0), math.log((1.0 - q0) / (1.0 - q1))
    last, top = -1, s
    for i in np.flatnonzero(events):
        s = min(cap, max(0.0, s - (i - last - 1) * down) + up)
        top = max(top, s)
        last = int(i)
    return max(0.0, s - (len(events) - last - 1) * down), top


def digests(rows: np.ndarray) -> list[str]:
    """A short digest of each row's float32 bytes: how a later report finds
    where the previous one stopped reading."""
    X = np.ascontiguousarray(np.asarray(rows, dtype=np.float32))
    return [hashlib.blake2b(r.tobytes(), digest_size=8).hexdigest() for r in X]


@dataclass(frozen=True)
class AlarmState:
    """What the sequential alarm carries from one report to the next: the
    statistic, the digest of the last message it read (so the next report
    reads only what came after it), and how many messages it has read."""

    s: float = 0.0
    last: str | None = None
    read: int = 0

    def to_dict(self) -> dict:
        return {"s": self.s, "last": self.last, "read": self.read}

    @classmethod
    def from_dict(cls, d) -> AlarmState | None:
        """The state from a row's ``alarm_state`` (None when unreadable)."""
        try:
            s, read = float(d["s"]), int(d.get("read") or 0)
            last = d.get("last")
            if not math.isfinite(s) or s < 0 or (last is not None and not isinstance(last, str)):
                return None
            return cls(s, last, read)
        except (TypeError, KeyError, ValueError, AttributeError):
            return None


@dataclass(frozen=True)
class Sequential:
    state: AlarmState   # after this report
    alarm: bool         # the statistic reached h while reading this report's messages, or stays there
    new: int            # messages read in this report
    gap: bool           # the previous report's last message was no longer in the window: some went unread


def advance(state: AlarmState | None, events: np.ndarray, keys: list[str], q0: float, q1: float,
            h: float) -> Sequential:
    """The alarm over ``events`` (per message of the window, in arrival
    order, repeats folded: flagged and linked to another flagged message),
    read from where ``state`` stopped: the message after the one whose
    digest it holds. Without it (a first report, or more traffic between two
    reports than a window holds) the whole window is read. The statistic is
    capped at twice ``h``, so it falls below ``h`` soon after a newcomer
    stops."""
    state = state or AlarmState()
    start, gap = 0, False
    if state.last is not None:
        try:
            start = len(keys) - 1 - keys[::-1].index(state.last) + 1
        except ValueError:
            gap = True
    new = events[start:]
    s, top = cusum_from(state.s, new, q0, q1, cap=2.0 * h)
    last = keys[-1] if keys else state.last
    return Sequential(AlarmState(s, last, state.read + len(new)), bool(top >= h or s >= h), len(new), gap)
