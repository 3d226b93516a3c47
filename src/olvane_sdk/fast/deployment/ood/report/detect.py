"""What the report does with a live window beyond the two-sample tests:

* :func:`dedup`: a message sent many times counts once (identical vectors,
  or cosine similarity at least :data:`DUPLICATE_COSINE`), so that a few
  repeated prompts neither fill the share test nor weigh in the MMD.
* :class:`KnownMix`: the share of normal traffic past the calibration's tail
  depends on which parts of the reference the traffic comes from (sparse
  regions have more of it). The reference is cut into regions once per
  recipe; a window's null share is bounded under the window's own mix of
  regions, read from its unflagged messages, so more of a known region is
  not taken for a new subpopulation.
* :func:`cusum`: a CUSUM over the flags in arrival order, against that same
  null share: it reacts to a newcomer that started inside the window
  before the window's share does.
"""
from __future__ import annotations

import math
import threading
import weakref
from dataclasses import dataclass

import numpy as np

from .stats import Calibration, ShareTest, unit_rows

DUPLICATE_COSINE = 0.98
N_REGIONS = 16
# CUSUM of Bernoulli flags, null share q0 (the window's bound) against CUSUM_RATIO * q0. The
# threshold gives an average run length to a false alarm of about 1.2e8 messages at the null share
# (simulated; benchmarks/detection.py --only stream): beyond 30 days at 3 messages a second.
CUSUM_RATIO = 3.0
CUSUM_H = 13.0
_DRAWS = 4000


def dedup(live: np.ndarray, threshold: float = DUPLICATE_COSINE) -> tuple[np.ndarray, int]:
    """(indices of the rows kept, number of repeats): a row is a repeat when
    an earlier row is identical or has cosine similarity >= ``threshold``
    with it. Identical rows are found by hashing; near ones are compared
    within buckets (the nearest of ~2 sqrt(n) anchor rows), which keeps the
    cost near O(n^1.5 d); a near pair split over two buckets is missed."""
    X = unit_rows(live)
    n = len(X)
    if n < 2:
        return np.arange(n), 0
    _, first = np.unique(np.ascontiguousarray(X).view(np.dtype((np.void, X.dtype.itemsize * X.shape[1]))),
                         return_index=True)
    repeat = np.ones(n, dtype=bool)
    repeat[first] = False
    uniq = np.sort(first)
    if len(uniq) > 1:
        U = X[uniq]
        m = min(len(U), max(8, int(2 * math.sqrt(len(U)))))
        anchors = U[np.random.default_rng(0).choice(len(U), m, replace=False)]
        bucket = np.argmax(U @ anchors.T, axis=1)
        order = np.argsort(bucket, kind="stable")  # within a bucket, in arrival order
        for idx in np.split(order, np.flatnonzero(np.diff(bucket[order])) + 1):
            if len(idx) > 1:
                B = U[idx]
                S = np.tril(B @ B.T, -1)  # each row against the earlier ones only
                repeat[uniq[idx[S.max(axis=1) >= threshold]]] = True
    kept = np.flatnonzero(~repeat)
    return kept, n - len(kept)


def _spherical_kmeans(X: np.ndarray, k: int, seed: int, iters: int = 15) -> np.ndarray:
    rng = np.random.default_rng(seed)
    C = X[rng.choice(len(X), k, replace=False)].copy()
    for _ in range(iters):
        lab = np.argmax(X @ C.T, axis=1)
        for c in range(k):
            members = X[lab == c]
            C[c] = members.sum(axis=0) if len(members) else X[rng.integers(len(X))]
        C = unit_rows(C)
    return C


class KnownMix:
    """The reference cut into regions (spherical k-means of train), with
    each region's calibration scores past the calibration's threshold."""

    def __init__(self, cal: Calibration, n_regions: int = N_REGIONS, seed: int = 0):
        k = max(1, min(n_regions, len(cal.train) // 50))
        self.centroids = _spherical_kmeans(cal.train, k, seed)
        labels = self.region(cal.points)
        self.n = np.bincount(labels, minlength=k).astype(float)
        self.past = np.bincount(labels[cal.raw_scores > cal.threshold], minlength=k).astype(float)
        self.confidence = cal.confidence
        self.pooled = cal.bound
        # Posterior draws of each region's share past the threshold (Beta, with prior mass in
        # proportion to the region's size: one region gives the pooled calibration's Beta).
        prior = self.n / self.n.sum()
        self._draws = np.random.default_rng(seed).beta(self.past + prior, self.n - self.past + prior,
                                                       size=(_DRAWS, k))
        self._mean = (self.past + prior) / (self.n + 2 * prior)

    def region(self, unit: np.ndarray) -> np.ndarray:
        return np.argmax(unit @ self.centroids.T, axis=1) if len(unit) else np.zeros(0, dtype=int)

    def bound(self, regions: np.ndarray, flagged: np.ndarray) -> float:
        """Upper bound (at the calibration's confidence) on the share of
        normal traffic past the threshold, for the mix of regions that the
        window's unflagged messages show. Unflagged counts are scaled up by
        each region's share past the threshold, which undoes the flagging."""
        unflagged = np.bincount(regions[~flagged], minlength=len(self.n)).astype(float)
        if unflagged.sum() == 0:
            return self.pooled
        w = unflagged / (1.0 - self._mean)
        w /= w.sum()
        return float(np.quantile(self._draws @ w, self.confidence))


_mix_lock = threading.Lock()
_mixes: weakref.WeakKeyDictionary[Calibration, KnownMix] = weakref.WeakKeyDictionary()


def known_mix(cal: Calibration) -> KnownMix:
    """The calibration's regions, made once and kept as long as it is."""
    with _mix_lock:
        mix = _mixes.get(cal)
        if mix is None:
            mix = _mixes[cal] = KnownMix(cal)
        return mix


def cusum(flags: np.ndarray, q0: float, ratio: float = CUSUM_RATIO) -> float:
    """The CUSUM statistic after the last message: log-likelihood ratio of
    flag share ``ratio * q0`` against ``q0``, reset at zero, over ``flags``
    in arrival order. Runs over the flagged positions only."""
    q0 = min(max(q0, 1e-9), 1.0 / ratio - 1e-9)
    q1 = ratio * q0
    up, down = math.log(q1 / q0), math.log((1.0 - q0) / (1.0 - q1))
    s, last = 0.0, -1
    for i in np.flatnonzero(flags):
        s = max(0.0, s - (i - last - 1) * down) + up
        last = int(i)
    return max(0.0, s - (len(flags) - last - 1) * down)


@dataclass(frozen=True)
class Novelty:
    share: ShareTest   # the share test against the window's mix bound
    cusum: float       # the CUSUM statistic at the window's end
    alarm: bool        # cusum >= CUSUM_H


def novelty(cal: Calibration, live: np.ndarray, scores: np.ndarray) -> Novelty:
    """The share test and the CUSUM of the (deduplicated) window, in arrival
    order, both against the null share of the window's mix."""
    from scipy.stats import binom

    mix = known_mix(cal)
    flagged = scores > cal.threshold
    bound = mix.bound(mix.region(unit_rows(live)), flagged)
    n, f = len(scores), int(flagged.sum())
    p = float(binom.sf(f - 1, n, bound)) if f else 1.0
    share = ShareTest(n=n, flagged=f, share=f / n if n else 0.0, bound=bound, p_value=p, threshold=cal.threshold,
                      k=cal.k, tail=cal.tail, n_calibration=cal.n)
    s = cusum(flagged, bound)
    return Novelty(share=share, cusum=s, alarm=s >= CUSUM_H)
