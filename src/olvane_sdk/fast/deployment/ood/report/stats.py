"""The per-message side of the report, on plain arrays: a score (cosine
distance to the k-th nearest train embedding), its conformal p-value against
a calibration set built once per recipe (:class:`Calibration`), the share
test on the count of live messages past the calibration's tail, and the
q-values of the flagged messages. The whole set's two-sample tests are in
:mod:`.two_sample`.

The distances run in float32: the figures are compared with thresholds at
two or three significant digits, and float32 halves the time of the matrix
products.
"""
from __future__ import annotations

import math
from dataclasses import dataclass

import numpy as np


def unit_rows(A: np.ndarray) -> np.ndarray:
    A = np.asarray(A, dtype=np.float32)
    norms = np.linalg.norm(A, axis=1, keepdims=True)
    norms[norms == 0] = 1.0
    return A / norms


def knn_distance(queries: np.ndarray, reference: np.ndarray, k: int, *, leave_one_out: bool = False,
                 block: int = 2048) -> np.ndarray:
    """Cosine distance of each query to its k-th nearest row of
    ``reference`` (both unit rows). With ``leave_one_out`` the queries are
    the reference itself and each row's own match is left out."""
    k = max(1, min(k, len(reference) - (1 if leave_one_out else 0)))
    out = np.empty(len(queries), dtype=np.float32)
    for i in range(0, len(queries), block):
        S = queries[i:i + block] @ reference.T
        if leave_one_out:
            S[np.arange(len(S)), np.arange(i, i + len(S))] = -np.inf
        # the k-th largest similarity is the k-th nearest neighbour
        out[i:i + block] = 1.0 - _kth_largest(S, k)
    return out


def _kth_largest(S: np.ndarray, k: int) -> np.ndarray:
    """Each row's ``k``-th largest value (counting equal values apart), of a
    scratch matrix: a small ``k`` takes the row maxima k - 1 times over,
    several times faster than a selection over every row."""
    if k > 8:
        return np.partition(S, -k, axis=1)[:, -k]
    rows = np.arange(len(S))
    for _ in range(k - 1):
        S[rows, S.argmax(axis=1)] = -np.inf
    return S.max(axis=1)


def tail_bound(n_calibration: int, tail: float, confidence: float = 0.99) -> tuple[int, float]:
    """The calibration's tail and an upper bound on the share of normal
    traffic that passes it.

    A live score is flagged when it exceeds the ``r``-th smallest of ``N``
    calibration scores, ``r = N + 1 - l`` with ``l = max(1, floor(tail * (N + 1)))``.
    Over draws of the calibration set, the share ``pi`` of normal traffic
    beyond that order statistic is Beta(l, N + 1 - l) distributed (mean about
    ``tail``). The bound is its ``confidence`` quantile: with that
    probability the recipe's actual share is at most the bound. Small ``N``
    gives few calibration points in the tail and a wide bound.
    Returns (l, bound)."""
    from scipy.stats import beta

    N = int(n_calibration)
    if N < 1:
        raise ValueError("empty calibration set")
    l = max(1, min(N, int(math.floor(tail * (N + 1)))))
    return l, float(beta.ppf(confidence, l, N + 1 - l))


@dataclass(frozen=True)
class ShareTest:
    """The live set's out-of-distribution share against what normal traffic
    would reach (what the report row carries)."""

    n: int                 # live messages scored
    flagged: int           # past the calibration's tail
    share: float           # flagged / n
    bound: float           # upper bound on the share of normal traffic with the window's mix (calibration bound x mix)
    p_value: float         # P(Binomial(n, bound) >= flagged), with the far tail's test (see share_test)
    threshold: float       # the score (cosine distance) that flags
    k: int
    tail: float
    n_calibration: int
    mix: float = 1.0       # the window's share in the body band over normal traffic's, at least 1
    far_flagged: int = 0   # past the far tail (a fifth of ``tail``)
    far_bound: float = 0.0  # its bound, with the window's mix
    grouped: int | None = None  # flagged messages nearer another flagged one than the reference (detect.links)
    central_p: float | None = None  # p_value against the calibration's central estimate instead of its bound
    # The novelty statistic: the largest connected group of flagged messages (repeats folded),
    # against the recipe's own cutoffs for a window of this size (report/calibrate.py).
    largest: int | None = None
    group_cutoff: int | None = None  # largest >= this: novel
    share_group: int | None = None   # the share test's path needs a group this large

    @property
    def isolated(self) -> bool:
        """Too few flagged messages lie together for the share test's path
        (None: not checked, a report from before)."""
        if self.largest is not None and self.share_group is not None:
            return self.largest < self.share_group
        return self.grouped is not None and self.grouped < MIN_GROUP

    def by_group(self) -> bool:
        """The novelty statistic reaches the recipe's cutoff."""
        return self.largest is not None and self.group_cutoff is not None and self.largest >= self.group_cutoff

    def by_share(self, alpha: float) -> bool:
        """The share test is below ``alpha`` with a group among the flags."""
        return self.p_value < alpha and not self.isolated

    def novel(self, alpha: float) -> bool:
        """``novel`` from the flagged messages: the largest group reaches the
        recipe's cutoff, or the share test is significant with a group
        among them. A report from before the group statistic keeps its rule
        (the share test, or the large group's test)."""
        if self.largest is None:
            return not self.isolated and (self.p_value < alpha or self.by_large_group(alpha))
        return self.by_group() or self.by_share(alpha)

    def by_large_group(self, alpha: float) -> bool:
        """A report from before: only the large group's test is below ``alpha``."""
        return (self.largest is None and self.p_value >= alpha and self.grouped is not None
                and self.grouped >= LARGE_GROUP
                and self.central_p is not None and self.central_p < alpha)


# A new subpopulation shows as flagged messages that lie nearer each other
# than the reference (see detect.links). Clean traffic puts a pair of
# siblings there now and then (6 to 16 % of windows of 1,000 messages on the
# benchmark's text), three or more in 0.3 to 1.7 % and six in none; more of a
# sparse known part, whose flags each stand alone, seldom more than a pair.
MIN_GROUP = 3

# A large group is tested against the calibration's central estimate of the
# share of normal traffic past the tail (the median of its Beta) rather than
# the bound's 99 % quantile. The bound guards against a recipe whose
# calibration happens to understate its tail; flags of such a recipe scatter
# and almost never put ten together, a newcomer's do.
LARGE_GROUP = 10
CENTRAL_CONFIDENCE = 0.5

# The far tail, as a share of the tail: a compact newcomer lies far out, so a
# few of its messages already stand out there, where normal traffic leaves
# almost none.
FAR_TAIL = 0.2

# The far tail's part of the share test's level (weighted Bonferroni): the
# tail's test keeps the rest, so a near newcomer, which the tail sees best,
# loses little of its power.
FAR_ALPHA = 0.2

# The body band of the conformal p-values: far enough from the tail that a
# newcomer barely reaches it, wide enough to count precisely. Normal traffic
# puts BODY_BAND[1] - BODY_BAND[0] of its messages there.
BODY_BAND = (0.05, 0.5)


class Calibration:
    """The recipe's calibration for the per-message score: built once per
    recipe load (see ``snapshot.calibration_for``).

    Scores: leave-one-out k-NN distances of the train rows to the other
    train rows, plus the test split's distances to train. A live message's
    conformal p-value is ``(1 + #{calibration >= s}) / (N + 1)``."""

    def __init__(self, train: np.ndarray, test: np.ndarray | None, *, k: int = 5, tail: float = 0.01,
                 confidence: float = 0.99):
        self.train = unit_rows(train)
        parts = [knn_distance(self.train, self.train, k, leave_one_out=True)] if len(self.train) > 1 else []
        # each train row's own score, itself left out (the diffuse test reads those of its sample)
        self.train_scores = parts[0] if parts else np.zeros(len(self.train), np.float32)
        if test is not None and len(test):
            parts.append(knn_distance(unit_rows(test), self.train, k))
        if not parts:
            raise ValueError("no calibration scores: train needs at least 2 rows or a test split")
        self.scores = np.sort(np.concatenate(parts))
        self.k, self.tail, self.confidence = k, tail, confidence
        self.n = len(self.scores)
        self.tail_count, self.bound = tail_bound(self.n, tail, confidence)
        # the (N + 1 - l)-th smallest score: l - 1 calibration scores lie above it
        self.threshold = float(self.scores[self.n - self.tail_count])
        self.far_count, self.far_bound = tail_bound(self.n, tail * FAR_TAIL, confidence)
        self.far_threshold = float(self.scores[self.n - self.far_count])
        self.central = (tail_bound(self.n, tail, CENTRAL_CONFIDENCE)[1],
                        tail_bound(self.n, tail * FAR_TAIL, CENTRAL_CONFIDENCE)[1])

    def score(self, live: np.ndarray) -> np.ndarray:
        return knn_distance(unit_rows(live), self.train, self.k)

    def p_values(self, scores: np.ndarray) -> np.ndarray:
        at_or_above = self.n - np.searchsorted(self.scores, scores, side="left")
        return (1.0 + at_or_above) / (self.n + 1.0)

    def share_test(self, scores: np.ndarray) -> ShareTest:
        """The count of ``scores`` past the tail, and past the far tail,
        against the bounds on what normal traffic reaches there, raised by
        the window's mix; ``p_value`` combines the two tests by weighted
        Bonferroni (the far tail's p over :data:`FAR_ALPHA`, the tail's over
        the rest, the smaller), or is the tail's alone when the calibration
        is too small for the far tail to differ.

        The mix: more of a sparse part of the reference (one section of a
        catalogue whose rows lie far apart) passes the tail more often than
        the reference as a whole, and it fills the body of the p-values more
        too: its messages are farther from their neighbours throughout. A
        newcomer lies past the tail and leaves the body as it is. So both
        bounds are multiplied by ``mix``, the window's share in
        :data:`BODY_BAND` over the band's width (at least 1).

        ``central_p`` is the same test against the calibration's central
        estimates (:data:`CENTRAL_CONFIDENCE`), with the same mix."""
        from scipy.stats import binom

        def raised(bound: float) -> float:
            return min(1.0, bound * mix)

        def p_at_least(count: int, bound: float) -> float:
            return float(binom.sf(count - 1, n, raised(bound))) if count else 1.0

        def combined(bound: float, far_bound: float) -> float:
            p = p_at_least(flagged, bound)
            if self.far_count < self.tail_count:
                p = min(1.0, p / (1.0 - FAR_ALPHA), p_at_least(far, far_bound) / FAR_ALPHA)
            return p

        n = len(scores)
        flagged = int(np.count_nonzero(scores > self.threshold))
        far = int(np.count_nonzero(scores > self.far_threshold))
        mix = 1.0
        if n:
            pv = self.p_values(scores)
            lo, hi = BODY_BAND
            mix = max(1.0, float(np.count_nonzero((pv > lo) & (pv <= hi))) / (n * (hi - lo)))
        return ShareTest(n=n, flagged=flagged, share=flagged / n if n else 0.0, bound=raised(self.bound),
                         p_value=combined(self.bound, self.far_bound), threshold=self.threshold, k=self.k,
                         tail=self.tail, n_calibration=self.n, mix=mix, far_flagged=far,
                         far_bound=raised(self.far_bound), central_p=combined(*self.central))


@dataclass(frozen=True)
class DiffuseTest:
    """A diffuse newcomer: spread through the reference's space, rarely past
    the tail, yet the domain classifier ranks its messages highest. Among
    the rows the classifier's out-of-fold scores rank in the top
    :data:`DIFFUSE_TOP` of the pooled sample, are live rows far from train
    (conformal p at most :data:`DIFFUSE_FAR`) more often than train rows
    there are (each left out of train)? Within that top part, live and train
    rows are exchangeable unless the live rows bring something train lacks;
    more of a known section fills the top with live rows, but its live and
    train rows there are alike, far or not. Hypergeometric, exact given the
    top part's counts."""

    top: int         # pooled rows in the top part
    live: int        # of them live
    far: int         # of them far
    live_far: int    # live and far
    p_value: float

    def novel(self, alpha: float) -> bool:
        return self.p_value < alpha


DIFFUSE_TOP = 0.1
DIFFUSE_FAR = 0.1
#: The diffuse test's level: its own, beside the share test's alpha_novel.
DIFFUSE_ALPHA = 0.001


def diffuse_test(oof: np.ndarray, is_live: np.ndarray, p_values: np.ndarray) -> DiffuseTest:
    """:class:`DiffuseTest` of pooled rows with out-of-fold ranks ``oof``
    (higher: more live-like), labels ``is_live`` and conformal p-values."""
    from scipy.stats import hypergeom

    top = max(1, int(round(DIFFUSE_TOP * len(oof))))
    sel = np.argsort(-oof, kind="stable")[:top]
    live, far = is_live[sel], p_values[sel] <= DIFFUSE_FAR
    n_live, n_far, both = int(live.sum()), int(far.sum()), int((live & far).sum())
    p = float(hypergeom.sf(both - 1, top, n_far, n_live)) if both else 1.0
    return DiffuseTest(top=top, live=n_live, far=n_far, live_far=both, p_value=p)


def q_values(p: np.ndarray) -> np.ndarray:
    """Benjamini-Hochberg q-values of ``p`` (the least false discovery rate
    at which each would be called), in ``p``'s order."""
    p = np.asarray(p, dtype=np.float64)
    m = len(p)
    if not m:
        return p
    order = np.argsort(p, kind="stable")
    q = p[order] * m / np.arange(1, m + 1)
    q = np.minimum.accumulate(q[::-1])[::-1]
    out = np.empty(m)
    out[order] = np.minimum(q, 1.0)
    return out
