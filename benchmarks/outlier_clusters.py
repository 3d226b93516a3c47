"""How report/clusters.py groups flagged messages: agglomerative (average
linkage, cosine, a distance threshold) at several thresholds against
scikit-learn's HDBSCAN, on benchmarks/detection_data.py's embeddings.

The "flagged" set mixes the new domains (everyday questions, German
messages, docstrings, games) with some reference rows; printed per method:
adjusted Rand index against the domains, the number of clusters, and the
CPU seconds at 1000 rows.

    python benchmarks/outlier_clusters.py
"""
from __future__ import annotations

import sys
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
import detection_data  # noqa: E402


def main() -> None:
    from sklearn.cluster import HDBSCAN
    from sklearn.metrics import adjusted_rand_score
    from threadpoolctl import threadpool_limits

    import olvane_sdk.fast.deployment.ood.report.clusters as cl

    data = detection_data.load()
    rng = np.random.default_rng(0)
    parts, truth = [], []
    for i, (d, n) in enumerate([("everyday", 60), ("language", 300), ("docstrings", 300), ("topic", 140),
                                ("reference", 200)]):
        x = data[d]["report"]
        parts.append(x[rng.choice(len(x), n, replace=len(x) < n)])
        truth += [i] * n
    X, y = np.vstack(parts), np.array(truth)
    print(f"{len(X)} flagged rows, {len(set(y))} domains")
    with threadpool_limits(1):
        for t in (0.6, 0.8, 0.85, 0.9, 0.95):
            cl.DISTANCE = t
            t0 = time.process_time()
            labels = cl.cluster(X).labels
            s = time.process_time() - t0
            sizes = np.bincount(labels)
            print(f"agglomerative d={t}: ARI {adjusted_rand_score(y, labels):.3f}, {len(sizes)} clusters "
                  f"(largest {sorted(sizes)[::-1][:6]}), {s:.3f} s CPU")
        from scipy.cluster.hierarchy import fcluster, linkage

        for t in (3.0, 4.0):  # Ward's merge height grows with the groups' sizes: no fixed cut fits few rows
            t0 = time.process_time()
            labels = fcluster(linkage(X.astype(np.float64), method="ward"), t=t, criterion="distance")
            s = time.process_time() - t0
            print(f"ward height={t}: ARI {adjusted_rand_score(y, labels):.3f}, {labels.max()} clusters, {s:.3f} s CPU")
        for m in (5, 10, 25):
            t0 = time.process_time()
            labels = HDBSCAN(min_cluster_size=m, metric="cosine", copy=True).fit_predict(X)
            s = time.process_time() - t0
            print(f"HDBSCAN min_cluster_size={m}: ARI {adjusted_rand_score(y, labels):.3f}, "
                  f"{labels.max() + 1} clusters, {np.mean(labels < 0):.0%} noise, {s:.3f} s CPU")


if __name__ == "__main__":
    main()
