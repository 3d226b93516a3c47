"""The two-sample tests of the whole live set against train, with an RBF
kernel whose bandwidth is the median heuristic: a domain classifier's
cross-validated ROC AUC, and the unbiased squared MMD with its permutation
test. Both work from one kernel matrix of the pooled sample
(:func:`kernel_two_sample`), built in float32: the figures are compared with
thresholds at two or three significant digits, and float32 halves the time
of the matrix products.
"""
from __future__ import annotations

import math
from dataclasses import dataclass

import numpy as np

def _sq_dists(A: np.ndarray, B: np.ndarray, a2: np.ndarray | None = None, b2: np.ndarray | None = None) -> np.ndarray:
    a2 = np.einsum("ij,ij->i", A, A) if a2 is None else a2
    b2 = np.einsum("ij,ij->i", B, B) if b2 is None else b2
    D = A @ B.T
    D *= -2.0
    D += a2[:, None]
    D += b2[None, :]
    np.maximum(D, 0.0, out=D)
    return D


def median_heuristic_gamma(Z: np.ndarray, *, max_points: int = 500, seed: int = 0) -> float:
    """gamma = 1 / (2 sigma^2), sigma the median pairwise Euclidean distance
    (over at most ``max_points`` points drawn at random: the median of
    ~125,000 pairs is as good a bandwidth as that of millions)."""
    Z = np.asarray(Z, dtype=np.float32)
    if len(Z) > max_points:
        Z = Z[np.random.default_rng(seed).choice(len(Z), max_points, replace=False)]
    d = _sq_dists(Z, Z)
    off = d[np.triu_indices_from(d, k=1)]
    med = float(np.median(off)) if off.size else 0.0
    if not med > 0.0:
        med = 1.0  # all points equal: any bandwidth gives MMD 0
    return 1.0 / (2.0 * med)


def _rbf_kernel(reference: np.ndarray, other: np.ndarray, seed: int,
                gamma: float | None = None) -> tuple[np.ndarray, int, int, float]:
    """The Gaussian kernel matrix over both samples stacked (float32, built in
    place), with the median-heuristic bandwidth unless ``gamma`` is given."""
    X = np.asarray(reference, dtype=np.float32)
    Y = np.asarray(other, dtype=np.float32)
    if len(X) < 2 or len(Y) < 2:
        raise ValueError("need at least 2 embeddings on each side")
    Z = np.vstack([X, Y])
    if gamma is None:
        gamma = median_heuristic_gamma(Z, seed=seed)
    K = _sq_dists(Z, Z)
    K *= -gamma
    np.exp(K, out=K)
    return K, len(X), len(Y), gamma


@dataclass(frozen=True)
class KernelTests:
    mmd2: float
    p_value: float
    gamma: float
    auc: float
    # each pooled row's out-of-fold classifier score as its rank within its fold, in (0, 1]
    # (reference rows first): folds' models differ in scale, ranks do not
    oof: np.ndarray | None = None


def kernel_two_sample(reference: np.ndarray, other: np.ndarray, *, n_permutations: int = 500, folds: int = 5,
                      seed: int = 0, n_components: int = 200, alpha: float | None = None) -> KernelTests:
    """The MMD permutation test and the domain classifier's AUC of
    ``other`` against ``reference`` from one RBF kernel matrix of the pooled
    sample (the cost is that matrix and the permutations: O(N^2 (d + P))).
    Given the ``alpha`` the p-value is judged at, the permutations stop once
    the test can no longer pass it (see :data:`STOP_AFTER`); without it all
    are drawn."""
    K, m, n, gamma = _rbf_kernel(reference, other, seed)
    stop = None if alpha is None else max(STOP_AFTER, math.floor(alpha * (n_permutations + 1)))
    mmd2, p = _mmd_permutations(K, m, n, n_permutations, seed, stop)
    auc, oof = _classifier_auc(K, m, n, folds, seed, n_components, with_scores=True)
    return KernelTests(mmd2=mmd2, p_value=p, gamma=gamma, auc=auc, oof=oof)


#: The report's permutation test stops once this many permutations (or more,
#: for an alpha above 20 / (n_permutations + 1)) reach the observed statistic:
#: the full test's p would be at least (1 + STOP_AFTER) / (1 + n_permutations)
#: then (0.042 at 500), so its decision at alpha is the full test's own (the
#: permutations are drawn in the same order whatever the batches), and
#: p = (1 + exceeded) / (1 + drawn) stays valid (Besag and Clifford's
#: sequential p-value, rounded up).
STOP_AFTER = 20


def _mmd_permutations(K: np.ndarray, m: int, n: int, n_permutations: int, seed: int,
                      stop_after: int | None = None) -> tuple[float, float]:
    N = m + n
    diag = np.diagonal(K).astype(np.float64)  # left out: the unbiased estimate skips i == j
    rows = K.sum(axis=1, dtype=np.float64) - diag
    total = rows.sum()

    def stats(ind: np.ndarray) -> np.ndarray:
        # ind: (N, P) 0/1, 1 marks the "other" sample of each labelling.
        s_yy = np.einsum("ip,ip->p", ind, K @ ind, dtype=np.float64) - diag @ ind
        s_xy = rows @ ind - s_yy
        s_xx = total - s_yy - 2.0 * s_xy
        return s_xx / (m * (m - 1)) + s_yy / (n * (n - 1)) - 2.0 * s_xy / (m * n)

    labels = np.r_[np.zeros(m, np.float32), np.ones(n, np.float32)]
    observed = float(stats(labels[:, None])[0])
    rng = np.random.default_rng(seed)
    exceed, done = 0, 0
    while done < n_permutations and (stop_after is None or exceed < stop_after):
        # a small first batch: a sample like the reference has its exceedances within it
        p = min(50 if done == 0 and stop_after is not None else 250, n_permutations - done)
        ind = np.ascontiguousarray(rng.permuted(np.broadcast_to(labels, (p, N)), axis=1).T)
        exceed += int(np.sum(stats(ind) >= observed - 1e-9))
        done += p
    return observed, (1 + exceed) / (1 + done)


def _classifier_auc(K: np.ndarray, m: int, n: int, folds: int, seed: int, n_components: int,
                    with_scores: bool = False):
    """Cross-validated ROC AUC of a kernel classifier telling the second
    sample (label 1) from the first (label 0).

    The features are Nystroem RBF features (landmarks drawn from the pooled
    sample, columns of ``K`` already computed), standardised; the classifier
    is ridge-regularised least squares on the labels, solved in closed form
    per fold from one Gram matrix (a logistic regression ranks the same
    points almost identically, at ten times the cost). Folds are stratified."""
    N = m + n
    k = min(folds, m, n)
    if k < 2:
        raise ValueError("need at least 2 embeddings on each side")
    rng = np.random.default_rng(seed)
    c = max(2, min(n_components, N * (k - 1) // k - 1))
    land = np.sort(rng.choice(N, size=c, replace=False))
    W = K[np.ix_(land, land)].astype(np.float64)
    u, s, vt = np.linalg.svd(W)
    s = np.maximum(s, 1e-12)
    F = K[:, land].astype(np.float64) @ (u / np.sqrt(s)) @ vt  # sklearn's Nystroem map
    y = np.r_[np.zeros(m), np.ones(n)]
    fold = np.empty(N, dtype=int)  # stratified: each class spread evenly over the folds
    for cls in (np.arange(m), np.arange(m, N)):
        fold[rng.permutation(cls)] = np.arange(len(cls)) % k
    aucs = []
    oof = np.empty(N)
    for f in range(k):
        tr, te = fold != f, fold == f
        mu, sd = F[tr].mean(axis=0), F[tr].std(axis=0)
        sd[sd == 0] = 1.0
        A = np.c_[(F[tr] - mu) / sd, np.ones(int(tr.sum()))]
        reg = np.full(A.shape[1], 0.1 * len(A))
        reg[-1] = 0.0  # the intercept is not shrunk
        w = np.linalg.solve(A.T @ A + np.diag(reg), A.T @ (y[tr] - 0.5))
        score = np.c_[(F[te] - mu) / sd, np.ones(int(te.sum()))] @ w
        aucs.append(roc_auc(y[te], score))
        if with_scores:
            from scipy.stats import rankdata

            oof[te] = rankdata(score) / len(score)
    return (float(np.mean(aucs)), oof) if with_scores else float(np.mean(aucs))


def roc_auc(y: np.ndarray, score: np.ndarray) -> float:
    """ROC AUC from ranks (Mann-Whitney U), ties counted half."""
    from scipy.stats import rankdata

    r = rankdata(score)
    pos = y == 1
    n1, n0 = int(pos.sum()), int((~pos).sum())
    return float((r[pos].sum() - n1 * (n1 + 1) / 2) / (n1 * n0))


def domain_classifier_auc(reference: np.ndarray, other: np.ndarray, *, folds: int = 5, seed: int = 0,
                          gamma: float | None = None) -> float:
    """Cross-validated ROC AUC of a kernel classifier telling ``other``
    (label 1) from ``reference`` (label 0); see :func:`_classifier_auc`."""
    K, m, n, _ = _rbf_kernel(reference, other, seed, gamma)
    return _classifier_auc(K, m, n, folds, seed, 200)


def mmd_permutation_test(reference: np.ndarray, other: np.ndarray, *, n_permutations: int = 500,
                         seed: int = 0) -> tuple[float, float, float]:
    """Unbiased squared MMD (RBF kernel, median heuristic) and its
    permutation p-value. Returns (mmd2, p_value, gamma)."""
    K, m, n, gamma = _rbf_kernel(reference, other, seed)
    mmd2, p = _mmd_permutations(K, m, n, n_permutations, seed)
    return mmd2, p, gamma


@dataclass(frozen=True)
class Comparison:
    """One set compared with the train reference."""

    n: int
    auc: float
    mmd2: float
    p_value: float
    gamma: float
