"""The report on screen and on paper: the tables (one report, for
:func:`print_report` and the demo; several servers' reports, for
``olvane-shift report``) and the PCA plot."""
from __future__ import annotations

import math
from pathlib import Path
from typing import Any, Callable, Iterable, Sequence

import numpy as np

from .model import ModalityRow, ShiftReport
from .stats import ShareTest
from .two_sample import Comparison
from .verdict import style


#: The width of the report's tables when stdout is not a terminal.
CONSOLE_WIDTH = 160


def wide_console(min_width: int = CONSOLE_WIDTH):
    """rich's console for stdout, at least ``min_width`` columns wide when
    the output is not a terminal (a file or a pipe), where rich would fall
    back to 80 and fold the tables."""
    from rich.console import Console

    console = Console()
    if not console.is_terminal and console.width < min_width:
        console = Console(width=min_width)
    return console


# --------------------------------------------------------------------------
# cells (the same for every table; the rows may come from a server's JSON)


def _num(x: Any, spec: str) -> str:
    if not isinstance(x, (int, float)) or isinstance(x, bool) or math.isnan(x):
        return "-"
    return format(x, spec)


def _auc(c: Comparison | None) -> str:
    return _num(c and c.auc, ".3f")


def _mmd(c: Comparison | None) -> str:
    return "-" if c is None else _mmd_p(c)


def _mmd_p(c: Comparison | None) -> str:
    return f"{_num(c and c.mmd2, '.4f')} \\[{_num(c and c.p_value, '.3f')}]"


def ood_text(o: ShareTest | None) -> str:
    """'5.6% (56 of 1000) vs ≤ 1.5% [0.0001]': the live out-of-distribution
    share against the bound normal traffic stays under, with the p-value."""
    if o is None:
        return "-"
    share = _num(o.share if o.share is None else 100 * o.share, ".1f")
    bound = _num(o.bound if o.bound is None else 100 * o.bound, ".1f")
    return f"{share}% ({o.flagged} of {o.n}) vs ≤ {bound}% \\[{_p(o.p_value)}]"


def _p(p: Any) -> str:
    return _num(p, ".1e") if isinstance(p, (int, float)) and 0 < p < 0.001 else _num(p, ".3f")


def _counts(r: ModalityRow) -> str:
    return "/".join("-" if n is None else str(n) for n in (r.n_train, r.n_test, r.n_live))


def _verdict(r: ModalityRow) -> str:
    from rich.markup import escape

    return f"[{style(r.verdict)}]{escape(str(r.verdict).upper())}[/]" + (" *" if r.note else "")


def _table(title: str, caption: str, columns: Sequence[tuple[str, dict[str, Any]]], rows: Iterable[Sequence[str]]):
    from rich.table import Table

    t = Table(title=title, caption=caption)
    for name, kw in columns:
        t.add_column(name, **kw)
    for cells in rows:
        t.add_row(*cells)
    return t


def _name(text: Any) -> str:
    from rich.markup import escape

    return escape(str(text))


# --------------------------------------------------------------------------
# the tables

_REPORT_COLUMNS: tuple[tuple[str, dict[str, Any]], ...] = (
    ("served model", {"no_wrap": True}),
    ("modality", {"no_wrap": True}),
    ("train/test/live", {"justify": "right", "no_wrap": True}),
    ("AUC live", {"justify": "right", "no_wrap": True}),
    ("(test)", {"justify": "right", "style": "dim", "no_wrap": True}),
    ("MMD² live \\[p]", {"justify": "right", "no_wrap": True}),
    ("(test) \\[p]", {"justify": "right", "style": "dim", "no_wrap": True}),
    ("OOD live vs expected \\[p]", {"justify": "right"}),
    ("verdict", {"justify": "center", "no_wrap": True}),
)
_REPORT_CELLS: tuple[Callable[[ModalityRow], str], ...] = (
    lambda r: _name(r.model), lambda r: _name(r.modality), _counts, lambda r: _auc(r.live),
    lambda r: _auc(r.test), lambda r: _mmd(r.live), lambda r: _mmd(r.test), lambda r: ood_text(r.ood), _verdict,
)

_SERVER_COLUMNS: tuple[tuple[str, dict[str, Any]], ...] = tuple(
    (name, {"no_wrap": True, **kw}) for name, kw in (
        ("server", {}), ("served model", {}), ("modality", {}), ("train/test/live", {"justify": "right"}),
        ("AUC live (test)", {"justify": "right"}), ("MMD² live \\[p]", {"justify": "right"}),
        ("OOD live vs expected \\[p]", {"justify": "right"}), ("verdict", {"justify": "center"})))
_SERVER_CELLS: tuple[Callable[[ModalityRow], str], ...] = (
    lambda r: _name(r.model), lambda r: _name(r.modality), _counts,
    lambda r: f"{_auc(r.live)} ({_auc(r.test)})", lambda r: _mmd_p(r.live), lambda r: ood_text(r.ood), _verdict,
)


def report_table(report: ShiftReport):
    """The report as a rich ``Table`` (notes are printed under it by
    :func:`print_report`)."""
    s = report.settings
    return _table(
        "Distribution shift of live traffic vs the recipe's train embeddings",
        f"AUC: domain classifier, {s.cv_folds}-fold CV ROC AUC (0.5 = indistinguishable). "
        f"MMD²: unbiased, RBF kernel, median heuristic; p from up to {s.n_permutations} permutations (stopped once 20 reach the observed value). "
        f"(test) = the recipe's test split vs train, the in-distribution yardstick. "
        f"OOD: live messages whose distance to their {s.knn_k}th-nearest train embedding passes the "
        f"calibration's {s.tail:g} tail, against the share normal traffic stays under "
        f"({s.bound_confidence:.0%} bound), binomial p. "
        f"SHIFT = MMD p < {s.alpha} and AUC ≥ {s.auc_threshold}; NOVEL = OOD p < {s.alpha_novel}; "
        f"DRIFT = MMD p < {s.alpha} only. Seed {s.seed}.",
        _REPORT_COLUMNS, ([cell(r) for cell in _REPORT_CELLS] for r in report.rows))


def servers_table(reports: Sequence[tuple[str, ShiftReport]]):
    """Several servers' reports in one table, a row per server, served model
    and modality."""
    return _table(
        "Distribution shift of live traffic per server",
        "AUC: domain classifier (0.5 = indistinguishable from train); "
        "(test) = the recipe's own test split, the in-distribution yardstick; "
        "p: MMD² permutation test; OOD: out-of-distribution share of live messages vs the bound "
        "normal traffic stays under, binomial p.",
        _SERVER_COLUMNS,
        ([_name(server), *(cell(r) for cell in _SERVER_CELLS)] for server, report in reports for r in report.rows))


def print_notes(report: ShiftReport, console, source: str | None = None) -> None:
    """One line per row that carries a note (the rows marked * in the table)."""
    for r in report.rows:
        if r.note:
            where = f"{source} " if source else ""
            console.print(f"  * {where}{r.model} / {r.modality}: {r.note}", markup=False, highlight=False)


def print_report(report: ShiftReport, console=None) -> None:
    """Prints the table, then one line per row that carries a note."""
    if console is None:
        console = wide_console()
    console.print(report_table(report))
    print_notes(report, console)


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
             "live": dict(c="#d62728", marker="^", s=26, alpha=0.85),
             # drawn over the live points: the messages the share test counts
             "flagged": dict(facecolors="none", edgecolors="black", marker="o", s=70, linewidths=1.1)}
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
        Z = np.vstack([v for k, v in parts if k != "flagged"])  # flagged rows are live rows already
        k = min(2, Z.shape[1], Z.shape[0])
        P = PCA(n_components=k, svd_solver="full", random_state=report.settings.seed).fit(Z)
        for name, v in parts:
            xy = P.transform(v)
            ys = xy[:, 1] if k > 1 else np.zeros(len(xy))
            label = f"out of distribution ({len(v)})" if name == "flagged" else f"{name} ({len(v)})"
            ax.scatter(xy[:, 0], ys, label=label, **style.get(name, style["live"]))
        ev = P.explained_variance_ratio_
        ax.set_xlabel(f"PC1 ({ev[0]:.0%})")
        if k > 1:
            ax.set_ylabel(f"PC2 ({ev[1]:.0%})")
        sub = []
        if r.live is not None:
            sub.append(f"live AUC {r.live.auc:.2f}, p {r.live.p_value:.3f}")
        if r.test is not None:
            sub.append(f"test AUC {r.test.auc:.2f}, p {r.test.p_value:.3f}")
        if r.ood is not None:
            o = r.ood
            sub.append(f"OOD {100 * o.share:.1f}% vs ≤ {100 * o.bound:.1f}%, p {_p(o.p_value)}")
        lines = [" | ".join(x for x in sub if not x.startswith("OOD"))] + [x for x in sub if x.startswith("OOD")]
        ax.set_title(f"{r.model} / {r.modality}: {r.verdict.upper()}\n" + "\n".join(lines), fontsize=9)
        ax.legend(loc="best", fontsize=8)
        ax.grid(alpha=0.2)
    fig.suptitle("PCA of train, test and live embeddings", fontsize=12)
    fig.tight_layout()
    path.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(path, dpi=110)
    plt.close(fig)
    return path
