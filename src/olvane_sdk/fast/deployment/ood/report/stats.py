"""The two methods of the report, on plain arrays: a domain classifier's
cross-validated ROC AUC, and the unbiased squared MMD with its permutation
test (both with an RBF kernel whose bandwidth is the median heuristic)."""
from __future__ import annotations

import numpy as np


def domain_classifier_auc(reference: np.ndarray, other: np.ndarray, *, folds: int = 5, seed: int = 0,
                          gamma: float | None = None) -> float:
    """Cross-validated ROC AUC of a classifier telling ``other`` (label 1)
    from ``reference`` (label 0).

    The classifier is a kernel logistic regression: RBF features
    (``Nystroem``, same kernel and median-heuristic bandwidth as the MMD test)
    followed by ``LogisticRegression``, so that it sees changes of spread and
    shape as well as of location (a plain linear model misses a scale change)."""
    from sklearn.kernel_approximation import Nystroem
    from sklearn.linear_model import LogisticRegression
    from sklearn.model_selection import StratifiedKFold, cross_val_score
    from sklearn.pipeline import make_pipeline
    from sklearn.preprocessing import StandardScaler

    X = np.vstack([reference, other]).astype(np.float64)
    y = np.r_[np.zeros(len(reference), dtype=int), np.ones(len(other), dtype=int)]
    k = min(folds, len(reference), len(other))
    if k < 2:
        raise ValueError("need at least 2 embeddings on each side")
    if gamma is None:
        gamma = median_heuristic_gamma(X)
    smallest_train_fold = len(X) * (k - 1) // k - 1
    clf = make_pipeline(
        Nystroem(kernel="rbf", gamma=gamma, n_components=max(2, min(200, smallest_train_fold)), random_state=seed),
        StandardScaler(),
        LogisticRegression(C=0.1, max_iter=1000),
    )
    cv = StratifiedKFold(n_splits=k, shuffle=True, random_state=seed)
    from threadpoolctl import threadpool_limits

    with threadpool_limits(limits=1):  # see shift_report (snapshot.py)
        return float(np.mean(cross_val_score(clf, X, y, cv=cv, scoring="roc_auc")))


def median_heuristic_gamma(Z: np.ndarray) -> float:
    """gamma = 1 / (2 sigma^2), sigma the median pairwise Euclidean distance."""
    from sklearn.metrics.pairwise import euclidean_distances

    d = euclidean_distances(Z, squared=True)
    off = d[np.triu_indices_from(d, k=1)]
    med = float(np.median(off)) if off.size else 0.0
    if not med > 0.0:
        med = 1.0  # all points equal: any bandwidth gives MMD 0
    return 1.0 / (2.0 * med)


def mmd_permutation_test(
    reference: np.ndarray, other: np.ndarray, *, n_permutations: int = 500, seed: int = 0
) -> tuple[float, float, float]:
    """Unbiased squared MMD (RBF kernel, median heuristic) and its
    permutation p-value. Returns (mmd2, p_value, gamma)."""
    from sklearn.metrics.pairwise import rbf_kernel

    X = np.asarray(reference, dtype=np.float64)
    Y = np.asarray(other, dtype=np.float64)
    m, n = len(X), len(Y)
    if m < 2 or n < 2:
        raise ValueError("need at least 2 embeddings on each side")
    Z = np.vstack([X, Y])
    gamma = median_heuristic_gamma(Z)
    K = rbf_kernel(Z, gamma=gamma)
    np.fill_diagonal(K, 0.0)  # the unbiased estimate leaves out i == j
    total = K.sum()
    rows = K.sum(axis=1)

    def stats(ind: np.ndarray) -> np.ndarray:
        # ind: (N, P) 0/1 matrix, 1 marks the "other" sample of each labelling.
        s_yy = np.einsum("ip,ip->p", ind, K @ ind)
        s_xy = rows @ ind - s_yy
        s_xx = total - s_yy - 2.0 * s_xy
        return s_xx / (m * (m - 1)) + s_yy / (n * (n - 1)) - 2.0 * s_xy / (m * n)

    observed = float(stats(np.r_[np.zeros(m), np.ones(n)][:, None])[0])
    rng = np.random.default_rng(seed)
    exceed = 0
    batch = 100
    done = 0
    while done < n_permutations:
        p = min(batch, n_permutations - done)
        ind = np.zeros((m + n, p))
        for j in range(p):
            ind[rng.permutation(m + n)[:n], j] = 1.0
        exceed += int(np.sum(stats(ind) >= observed - 1e-12))
        done += p
    return observed, (1 + exceed) / (1 + n_permutations), gamma
