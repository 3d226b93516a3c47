"""Shift report: how far each served model's live traffic has drifted from
the reference its recipe recorded.

It reads the handler's public attributes, as any host would:
``train_test_embeddings[model][modality]`` ({"train", "train_roles", "test"})
and ``live_embeddings[model][modality]["live"]`` (copied under
``embedding_lock``). For every served model and modality it compares the live
embeddings with the recipe's *train* embeddings by two methods, and compares
the recipe's *test* split with the same train embeddings by the same methods;
the test split is drawn from the reference distribution, so its figures show
what "no shift" looks like for this model and sample size (the yardstick).

1. Domain classifier, ROC AUC. A kernel logistic regression (scikit-learn
   ``Nystroem`` RBF features, same bandwidth as below, then
   ``LogisticRegression``) learns to tell the compared set (label 1) from
   train (label 0); its ROC AUC is cross-validated (``StratifiedKFold``,
   ``cross_val_score`` with ``scoring="roc_auc"``). About 0.5: the sets cannot be told apart; towards
   1.0: they are separable, the traffic has moved.
2. Maximum mean discrepancy (MMD) with a Gaussian (RBF) kernel. The unbiased
   squared MMD between the compared set and train, kernel
   ``sklearn.metrics.pairwise.rbf_kernel`` with the median heuristic
   (gamma = 1 / (2 * median pairwise distance ** 2) over the pooled sample),
   and a permutation test: the labels are shuffled ``n_permutations`` times
   and p = (1 + #{permuted MMD >= observed}) / (1 + n_permutations).

Verdict per row: ``shift`` when the MMD p-value is below ``alpha`` and the
AUC reaches ``auc_threshold`` (both: significant and large enough to matter);
``weak`` when only the test is significant; ``ok`` otherwise; ``n/a`` when
either side has fewer than ``min_samples`` embeddings, there is no reference,
the train array is unusable, or the dimensions differ. Everything is seeded
and deterministic.

One bad row never fails the report: each row's inputs are checked on their own
(see :func:`_reference_matrix` and :func:`_live_matrix`) and anything left
that still raises makes that row ``n/a`` with the error in its note.

Use::

    from olvane_sdk.fast.deployment.ood.interceptor import olvane_shift_detection_handler as h
    from olvane_sdk.fast.deployment.ood.report import shift_report, print_report, plot_report
    rep = shift_report(h)
    print_report(rep)
    plot_report(rep, "shift.png")
"""
from __future__ import annotations

import math
from collections import Counter
from collections.abc import Mapping
from dataclasses import asdict, dataclass, field
from pathlib import Path
from typing import Any, Iterable

import numpy as np

MODALITIES = ("text", "image")


@dataclass(frozen=True)
class ReportSettings:
    seed: int = 0
    n_permutations: int = 500
    alpha: float = 0.01
    auc_threshold: float = 0.75
    cv_folds: int = 5
    min_samples: int = 8
    max_samples: int = 1000


@dataclass(frozen=True)
class Comparison:
    """One set compared with the train reference."""

    n: int
    auc: float
    mmd2: float
    p_value: float
    gamma: float


@dataclass
class ModalityRow:
    model: str
    modality: str
    n_train: int
    n_test: int
    n_live: int
    live: Comparison | None
    test: Comparison | None
    verdict: str
    note: str = ""
    # Kept for the plot; not part of the printed table.
    arrays: dict[str, np.ndarray] = field(default_factory=dict, repr=False, compare=False)

    @property
    def shifted(self) -> bool:
        return self.verdict == "shift"


@dataclass
class ShiftReport:
    rows: list[ModalityRow]
    settings: ReportSettings

    def row(self, model: str, modality: str) -> ModalityRow:
        for r in self.rows:
            if r.model == model and r.modality == modality:
                return r
        raise KeyError((model, modality))

    @property
    def any_shift(self) -> bool:
        return any(r.shifted for r in self.rows)

    def to_dict(self) -> dict[str, Any]:
        """Plain data (JSON-serialisable), without the arrays."""
        out = []
        for r in self.rows:
            d = {k: v for k, v in asdict(r).items() if k != "arrays"}
            d["shifted"] = r.shifted
            out.append(d)
        return {"settings": asdict(self.settings), "rows": out}


# --------------------------------------------------------------------------
# the two methods


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

    with threadpool_limits(limits=1):  # see shift_report
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


def compare(reference: np.ndarray, other: np.ndarray, settings: ReportSettings) -> Comparison:
    mmd2, p, gamma = mmd_permutation_test(reference, other, n_permutations=settings.n_permutations,
                                          seed=settings.seed)
    auc = domain_classifier_auc(reference, other, folds=settings.cv_folds, seed=settings.seed, gamma=gamma)
    return Comparison(n=len(other), auc=auc, mmd2=mmd2, p_value=p, gamma=gamma)


def verdict_for(c: Comparison | None, settings: ReportSettings) -> str:
    if c is None:
        return "n/a"
    significant = c.p_value < settings.alpha
    if significant and c.auc >= settings.auc_threshold:
        return "shift"
    if significant:
        return "weak"
    return "ok"


# --------------------------------------------------------------------------
# reading the handler


def _count(value: Any) -> int:
    try:
        return len(value)
    except TypeError:
        return 0


def _reference_matrix(value: Any, name: str) -> tuple[np.ndarray | None, str]:
    """A recipe array (``train`` or ``test``) as a float matrix, or
    ``(None, why)``. The recipe is one unit: an array with a single NaN or inf
    is reported as broken rather than quietly trimmed, since its rows were
    meant to describe the reference together."""
    if value is None:
        return None, ""
    try:
        a = np.asarray(value)
        if a.dtype.kind == "O":
            a = a.astype(np.float64)
    except (ValueError, TypeError):
        return None, f"{name} is not a numeric array"
    if a.dtype.kind not in "iuf":
        return None, f"{name} is not numeric (dtype {a.dtype})"
    if a.size == 0:
        return np.zeros((0, 0)), ""
    if a.ndim != 2:
        return None, f"{name} is not 2-D (shape {a.shape})"
    a = a.astype(np.float64, copy=False)
    bad_rows = int(np.count_nonzero(~np.isfinite(a).all(axis=1)))
    if bad_rows:
        return None, f"{name} has NaN or inf in {bad_rows} of {len(a)} rows"
    return a, ""


def _live_matrix(stored: list, width: int | None) -> tuple[np.ndarray, list[str]]:
    """The live vectors that can be compared with a reference of ``width``
    columns, stacked, and notes on what was left out.

    Live embeddings are independent samples, so unusable ones are dropped one
    by one rather than failing the row: entries that are not numeric vectors,
    vectors with NaN or inf, and vectors of another width. The last happens
    when ``init_models`` switched a served model to an embedding model of
    another width: the ring then holds the old model's vectors beside the new
    one's until it turns over, and only those of the reference's width live in
    the reference's space. Without a reference the most common width is kept
    (for the plot)."""
    n = len(stored)
    try:
        a = np.asarray(stored, dtype=np.float64)
        if a.ndim == 2 and a.shape[1] and (width is None or a.shape[1] == width) and np.isfinite(a).all():
            return a, []
    except (ValueError, TypeError):
        pass
    vectors, not_vectors, non_finite = [], 0, 0
    for v in stored:
        try:
            x = np.asarray(v, dtype=np.float64)
        except (ValueError, TypeError):
            not_vectors += 1
            continue
        if x.ndim != 1 or x.size == 0:
            not_vectors += 1
        elif not np.isfinite(x).all():
            non_finite += 1
        else:
            vectors.append(x)
    widths = Counter(len(x) for x in vectors)
    against = f"train {width}"
    if width is None and widths:
        width = widths.most_common(1)[0][0]
        against = f"the most common, {width}, kept"
    notes = []
    if not_vectors:
        notes.append(f"live: {not_vectors} of {n} entries are not numeric vectors, left out")
    if non_finite:
        notes.append(f"live: {non_finite} of {n} embeddings have NaN or inf, left out")
    others = sorted((w, c) for w, c in widths.items() if w != width)
    if others:
        dims = ", ".join(str(w) for w, _ in others)
        notes.append(f"live: {sum(c for _, c in others)} of {n} embeddings left out, "
                     f"dimension{'s' if len(others) > 1 else ''} {dims} != {against}")
    kept = [x for x in vectors if len(x) == width]
    return (np.vstack(kept) if kept else np.zeros((0, width or 0))), notes


def _subsample(a: np.ndarray, k: int, rng: np.random.Generator) -> np.ndarray:
    if len(a) <= k:
        return a
    return a[np.sort(rng.choice(len(a), size=k, replace=False))]


def snapshot(handler) -> tuple[dict, dict]:
    """Copies (reference, live) out of the handler, as stored: reference[model]
    [modality] = {"train": ..., "test": ...} (the recipe's arrays);
    live[model][modality] = list of the stored vectors. The live store is
    copied under ``embedding_lock`` so the worker cannot change it meanwhile.
    Nothing is converted or checked here: that happens per row."""
    reference: dict[str, dict[str, dict[str, Any]]] = {}
    for model, entry in dict(getattr(handler, "train_test_embeddings", {}) or {}).items():
        if not isinstance(entry, Mapping):
            continue
        for modality, e in entry.items():
            e = e if isinstance(e, Mapping) else {}
            reference.setdefault(model, {})[modality] = {"train": e.get("train"), "test": e.get("test")}
    live: dict[str, dict[str, list]] = {}
    lock = getattr(handler, "embedding_lock", None)
    if lock is not None and not lock.acquire(timeout=30):
        raise TimeoutError("embedding_lock was not released within 30 s")
    try:
        for model, entry in dict(getattr(handler, "live_embeddings", {}) or {}).items():
            if not isinstance(entry, Mapping):
                continue
            for modality, ring in entry.items():
                stored = ring.get("live") if isinstance(ring, Mapping) else None
                # The store replaces slots and never edits a stored vector, so
                # copying the slot list is enough.
                live.setdefault(model, {})[modality] = list(stored) if isinstance(stored, list) else []
    finally:
        if lock is not None:
            lock.release()
    return reference, live


def shift_report(handler=None, settings: ReportSettings | None = None, **overrides) -> ShiftReport:
    """Builds the report for every served model and modality that has a
    reference or live embeddings. Keyword overrides set ``ReportSettings``
    fields (seed, n_permutations, alpha, auc_threshold, ...). A row whose
    inputs are unusable is ``n/a`` with a note; it never fails the others."""
    if handler is None:
        from .interceptor import olvane_shift_detection_handler as handler
    settings = settings or ReportSettings()
    if overrides:
        settings = ReportSettings(**{**asdict(settings), **overrides})
    from threadpoolctl import threadpool_limits

    reference, live = snapshot(handler)
    models = list(reference) + [m for m in live if m not in reference]
    rows: list[ModalityRow] = []
    # One BLAS thread: the matrices are small, and beside a busy inference
    # server multi-threaded BLAS spends far longer waiting for cores than working.
    with threadpool_limits(limits=1):
        for model in models:
            for modality in MODALITIES:
                ref = reference.get(model, {}).get(modality)
                lv = live.get(model, {}).get(modality) or []
                if ref is None and not lv:
                    continue
                try:
                    rows.append(_row(model, modality, ref, lv, settings))
                except Exception as e:  # whatever the checks did not foresee
                    rows.append(ModalityRow(model, modality, _count(ref and ref["train"]),
                                            _count(ref and ref["test"]), len(lv), None, None, "n/a",
                                            note=f"not computed: {type(e).__name__}: {e}"))
    return ShiftReport(rows=rows, settings=settings)


def _row(model, modality, ref, stored: list, settings: ReportSettings) -> ModalityRow:
    # One generator per row, seeded from the settings and the row's name, so a
    # row's figures do not depend on which other rows exist.
    rng = np.random.default_rng([settings.seed, *map(ord, f"{model}\x00{modality}")])
    ref = ref or {}
    train, train_problem = _reference_matrix(ref.get("train"), "train")
    test, test_problem = _reference_matrix(ref.get("test"), "test")
    row = ModalityRow(model, modality, _count(ref.get("train")), _count(ref.get("test")), len(stored),
                      None, None, "n/a")
    width = train.shape[1] if train is not None and len(train) else None
    lv, live_notes = _live_matrix(stored, width)
    notes = [p for p in (train_problem, test_problem) if p]
    if width is None:
        if not train_problem:
            notes.insert(0, "no reference embeddings in the recipe")
        row.note = "; ".join(notes + live_notes)
        if len(lv):
            row.arrays = {"live": lv}
        return row
    arrays = {"train": train}
    tr = _subsample(train, settings.max_samples, rng)
    for name, other in (("test", test), ("live", lv)):
        if other is None or len(other) == 0:
            continue
        if other.shape[1] != width:
            notes.append(f"{name} dimension {other.shape[1]} != train {width}")
            continue
        arrays[name] = other
        if len(other) < settings.min_samples or len(train) < settings.min_samples:
            notes.append(f"{name}: fewer than {settings.min_samples} embeddings")
            continue
        setattr(row, name, compare(tr, _subsample(other, settings.max_samples, rng), settings))
    notes += live_notes
    row.arrays = arrays
    row.verdict = verdict_for(row.live, settings)
    if not stored:
        notes.append("no live traffic yet")
    if row.test is not None and verdict_for(row.test, settings) != "ok":
        notes.append("the recipe's own test split differs from train: yardstick unreliable")
    row.note = "; ".join(notes)
    return row


# --------------------------------------------------------------------------
# output


def _fmt(x: float | None, spec: str) -> str:
    if x is None or (isinstance(x, float) and math.isnan(x)):
        return "-"
    return format(x, spec)


_VERDICT_STYLE = {"shift": "bold red", "weak": "yellow", "ok": "green", "n/a": "dim"}


def report_table(report: ShiftReport):
    """The report as a rich ``Table`` (notes are printed under it by
    :func:`print_report`)."""
    from rich.table import Table

    s = report.settings
    t = Table(
        title="Distribution shift of live traffic vs the recipe's train embeddings",
        caption=(f"AUC: domain classifier, {s.cv_folds}-fold CV ROC AUC (0.5 = indistinguishable). "
                 f"MMD²: unbiased, RBF kernel, median heuristic; p from {s.n_permutations} permutations. "
                 f"(test) = the recipe's test split vs train, the in-distribution yardstick. "
                 f"SHIFT = p < {s.alpha} and AUC ≥ {s.auc_threshold}. Seed {s.seed}."),
    )
    t.add_column("served model", no_wrap=True)
    t.add_column("modality", no_wrap=True)
    t.add_column("train/test/live", justify="right", no_wrap=True)
    t.add_column("AUC live", justify="right")
    t.add_column("(test)", justify="right", style="dim")
    t.add_column("MMD² live \\[p]", justify="right", no_wrap=True)
    t.add_column("(test) \\[p]", justify="right", style="dim", no_wrap=True)
    t.add_column("verdict", justify="center", no_wrap=True)
    for r in report.rows:
        lv, te = r.live, r.test
        mark = " *" if r.note else ""
        t.add_row(
            r.model, r.modality, f"{r.n_train}/{r.n_test}/{r.n_live}",
            _fmt(lv and lv.auc, ".3f"), _fmt(te and te.auc, ".3f"),
            "-" if lv is None else f"{lv.mmd2:.4f} \\[{lv.p_value:.3f}]",
            "-" if te is None else f"{te.mmd2:.4f} \\[{te.p_value:.3f}]",
            f"[{_VERDICT_STYLE[r.verdict]}]{r.verdict.upper()}[/]{mark}",
        )
    return t


def print_report(report: ShiftReport, console=None) -> None:
    """Prints the table, then one line per row that carries a note."""
    from rich.console import Console

    if console is None:
        console = Console()
        if not console.is_terminal and console.width < 110:
            console = Console(width=110)
    console.print(report_table(report))
    for r in report.rows:
        if r.note:
            console.print(f"  * {r.model} / {r.modality}: {r.note}", markup=False, highlight=False)


def plot_report(report: ShiftReport, path: str | Path) -> Path:
    """Writes a PNG: one panel per served model and modality, a 2-D PCA
    (fitted on train, test and live together) of the three sets."""
    import matplotlib

    matplotlib.use("Agg", force=False)
    import matplotlib.pyplot as plt
    from sklearn.decomposition import PCA

    path = Path(path)
    rows = [r for r in report.rows if r.arrays]
    n = max(1, len(rows))
    cols = min(2, n)
    nrows = math.ceil(n / cols)
    fig, axes = plt.subplots(nrows, cols, figsize=(6.2 * cols, 5.0 * nrows), squeeze=False)
    style = {"train": dict(c="#9e9e9e", marker="o", s=14, alpha=0.55),
             "test": dict(c="#1f77b4", marker="s", s=22, alpha=0.85),
             "live": dict(c="#d62728", marker="^", s=26, alpha=0.85)}
    for ax in axes.flat[len(rows):]:
        ax.axis("off")
    if not rows:
        axes[0, 0].text(0.5, 0.5, "no embeddings to plot", ha="center", va="center")
    for ax, r in zip(axes.flat, rows):
        parts = [(k, v) for k, v in r.arrays.items() if v is not None and len(v)]
        dims = {v.shape[1] for _, v in parts}
        if len(dims) != 1 or sum(len(v) for _, v in parts) < 3:
            ax.text(0.5, 0.5, "not enough comparable embeddings", ha="center", va="center")
            ax.set_title(f"{r.model} / {r.modality}")
            continue
        Z = np.vstack([v for _, v in parts])
        k = min(2, Z.shape[1], Z.shape[0])
        P = PCA(n_components=k, svd_solver="full", random_state=report.settings.seed).fit(Z)
        for name, v in parts:
            xy = P.transform(v)
            ys = xy[:, 1] if k > 1 else np.zeros(len(xy))
            ax.scatter(xy[:, 0], ys, label=f"{name} ({len(v)})", **style[name])
        ev = P.explained_variance_ratio_
        ax.set_xlabel(f"PC1 ({ev[0]:.0%})")
        if k > 1:
            ax.set_ylabel(f"PC2 ({ev[1]:.0%})")
        sub = []
        if r.live is not None:
            sub.append(f"live AUC {r.live.auc:.2f}, p {r.live.p_value:.3f}")
        if r.test is not None:
            sub.append(f"test AUC {r.test.auc:.2f}, p {r.test.p_value:.3f}")
        ax.set_title(f"{r.model} / {r.modality}: {r.verdict.upper()}\n" + " | ".join(sub), fontsize=10)
        ax.legend(loc="best", fontsize=8)
        ax.grid(alpha=0.2)
    fig.suptitle("PCA of train, test and live embeddings", fontsize=12)
    fig.tight_layout()
    path.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(path, dpi=110)
    plt.close(fig)
    return path


def models_in(report: ShiftReport) -> Iterable[str]:
    seen = []
    for r in report.rows:
        if r.model not in seen:
            seen.append(r.model)
    return seen
