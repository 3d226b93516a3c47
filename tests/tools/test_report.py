"""The shift report on synthetic embeddings: a handler whose reference comes
from a recipe-shaped map and whose live store is filled through the real
``add_embedding``; known shifts must be flagged, no shift must not."""
from __future__ import annotations

import io
import itertools
import json

import numpy as np
import pytest
from PIL import Image
from rich.console import Console as RichConsole
from sklearn.metrics.pairwise import rbf_kernel

from olvane_sdk.fast.deployment.ood import report as rp

DIM = 24


def gaussian(rng, n, dim=DIM):
    return rng.standard_normal((n, dim))


# name -> function(rng, n) drawing the "live" sample; the reference is N(0, I).
SHIFTS = {
    "mean shift": lambda rng, n: gaussian(rng, n) + 0.6,
    "scale change": lambda rng, n: gaussian(rng, n) * 1.8,
    # A quarter of the traffic is still in distribution, the rest is a new cluster.
    "new cluster": lambda rng, n: np.vstack([gaussian(rng, n // 4), gaussian(rng, n - n // 4) + np.r_[4.0, np.zeros(DIM - 1)]]),
    "subspace collapse": lambda rng, n: np.c_[gaussian(rng, n, 4), np.zeros((n, DIM - 4))],
}


def make_handler(handler, console, *, live: dict, train_n=200, test_n=60, seed=0):
    """Reference N(0, I) for every (model, modality) in `live`; live rows
    stored through add_embedding (console recorder keeps it quiet)."""
    rng = np.random.default_rng(seed)
    tte = {}
    for (model, modality), rows in live.items():
        tte.setdefault(model, {})[modality] = {
            "train": gaussian(rng, train_n).astype(np.float32),
            "train_roles": np.array(["user"] * train_n),
            "test": gaussian(rng, test_n).astype(np.float32),
        }
        for v in rows:
            handler.add_embedding(model, modality, np.asarray(v, dtype=np.float32))
    handler.train_test_embeddings = tte
    return handler


@pytest.mark.parametrize("shift", sorted(SHIFTS))
@pytest.mark.parametrize("modality", ["text", "image"])
def test_known_shift_is_flagged(handler, console, shift, modality):
    rng = np.random.default_rng(11)
    make_handler(handler, console, live={("m", modality): SHIFTS[shift](rng, 120)})
    rep = rp.shift_report(handler, n_permutations=200)
    row = rep.row("m", modality)
    assert row.n_live == 120 and row.n_train == 200 and row.n_test == 60
    assert row.verdict == "shift" and row.shifted and rep.any_shift
    assert row.live.p_value < rep.settings.alpha
    assert row.live.auc >= rep.settings.auc_threshold
    # The yardstick (test split, same distribution as train) stays quiet and
    # scores clearly below the live traffic.
    assert row.test.p_value >= rep.settings.alpha
    assert row.live.auc > row.test.auc + 0.15
    assert row.live.mmd2 > 5 * max(row.test.mmd2, 1e-6)


@pytest.mark.parametrize("seed", [1, 2, 3])
@pytest.mark.parametrize("n_live", [30, 150])
def test_no_shift_is_not_flagged(handler, console, seed, n_live):
    rng = np.random.default_rng(100 + seed)
    make_handler(handler, console, live={("m", "text"): gaussian(rng, n_live)}, seed=seed)
    rep = rp.shift_report(handler, n_permutations=200, seed=seed)
    row = rep.row("m", "text")
    assert row.verdict == "ok" and not row.shifted and not rep.any_shift
    assert row.live.p_value >= rep.settings.alpha
    assert 0.2 < row.live.auc < rep.settings.auc_threshold
    assert row.note == ""


def test_rows_per_model_and_modality_are_independent(handler, console):
    rng = np.random.default_rng(5)
    live = {("a", "text"): gaussian(rng, 80), ("a", "image"): gaussian(rng, 80) + 1.0,
            ("b", "text"): gaussian(rng, 80) * 2.0}
    make_handler(handler, console, live=live)
    rep = rp.shift_report(handler, n_permutations=200)
    assert [(r.model, r.modality) for r in rep.rows] == [("a", "text"), ("a", "image"), ("b", "text")]
    assert {(r.model, r.modality): r.verdict for r in rep.rows} == {
        ("a", "text"): "ok", ("a", "image"): "shift", ("b", "text"): "shift"}
    # b has an empty image ring (created at its first add) and no image reference: no row.
    assert handler.live_embeddings["b"]["image"]["live"] == []


def test_deterministic_for_a_seed_and_sensitive_to_it(handler, console):
    rng = np.random.default_rng(9)
    make_handler(handler, console, live={("m", "text"): gaussian(rng, 60) + 0.2})
    a = rp.shift_report(handler, n_permutations=200, seed=3).to_dict()
    b = rp.shift_report(handler, n_permutations=200, seed=3).to_dict()
    c = rp.shift_report(handler, n_permutations=200, seed=4).to_dict()
    assert a == b
    assert a != c
    json.dumps(a)  # plain data
    # The same arrays given directly, as the store's report gives them, make the same report.
    live = {"m": {"text": list(handler.live_embeddings["m"]["text"]["live"])}}
    assert rp.shift_report(reference=handler.train_test_embeddings, live=live, n_permutations=200,
                           seed=3).to_dict() == a
    nan_row = {"model": "m", "modality": "text", "live": {"auc": float("nan"), "p_value": float("inf")}}
    assert rp.ShiftReport.from_dict({"rows": [nan_row]}).to_json()["rows"][0]["live"] == {
        **dict.fromkeys(a["rows"][0]["live"]), "auc": None, "p_value": None}


def test_live_store_ring_is_what_is_compared(handler, console, mod, monkeypatch):
    """After the ring wraps, only the latest MAX_EMBEDDINGS live embeddings count."""
    monkeypatch.setattr(handler, "MAX_EMBEDDINGS", 50)
    rng = np.random.default_rng(3)
    old = gaussian(rng, 50) + 3.0  # shifted traffic, then overwritten by in-distribution traffic
    new = gaussian(rng, 50)
    make_handler(handler, console, live={("m", "text"): np.vstack([old, new])})
    rep = rp.shift_report(handler, n_permutations=200)
    row = rep.row("m", "text")
    assert row.n_live == 50
    assert row.verdict == "ok"


@pytest.mark.parametrize(
    "case, expect_verdict, note_part",
    [
        ("too few live", "n/a", "live: fewer than 8"),
        ("dimension mismatch", "n/a", "20 of 20 embeddings left out, dimension 5 != train 24"),
        ("no traffic", "n/a", "no live traffic yet"),
        ("no reference", "n/a", "no reference embeddings"),
        ("drifted test split", "ok", "yardstick unreliable"),
    ],
)
def test_rows_that_cannot_be_judged_say_why(handler, console, case, expect_verdict, note_part):
    rng = np.random.default_rng(4)
    ref = {"train": gaussian(rng, 100), "train_roles": np.array(["user"] * 100), "test": gaussian(rng, 30)}
    if case == "too few live":
        handler.add_embedding("m", "text", gaussian(rng, 1)[0])
    elif case == "dimension mismatch":
        for v in gaussian(rng, 20, 5):
            handler.add_embedding("m", "text", v)
    elif case == "no reference":
        for v in gaussian(rng, 20):
            handler.add_embedding("m", "text", v)
        ref = None
    elif case == "drifted test split":
        ref["test"] = gaussian(rng, 30) + 2.0
        for v in gaussian(rng, 40):
            handler.add_embedding("m", "text", v)
    handler.train_test_embeddings = {} if ref is None else {"m": {"text": ref}}
    row = rp.shift_report(handler, n_permutations=200).row("m", "text")
    assert row.verdict == expect_verdict
    assert note_part in row.note


BAD_ROWS = {  # case: (train edit, test edit, extra live vectors, verdict, note part, live vectors compared)
    "train with NaN": (lambda t: np.where(t > 2.0, np.nan, t), None, None, "n/a", "train has NaN or inf in", None),
    "test with inf": (None, lambda t: np.where(t > 2.0, np.inf, t), None, "ok", "test has NaN or inf in", 40),
    "train 3-D": (lambda t: t.reshape(10, 10, DIM), None, None, "n/a", "train is not 2-D (shape (10, 10, 24))", None),
    "train not numeric": (lambda t: t.astype(str), None, None, "n/a", "train is not numeric", None),
    # A reload switched the served model to a 9-wide model: its vectors sit beside the old ones.
    "mixed live widths": (None, None, gaussian(np.random.default_rng(1), 12, 9), "ok",
                          "live: 12 of 52 embeddings left out, dimension 9 != train 24", 40),
    "live NaN": (None, None, np.full((3, DIM), np.nan), "ok", "live: 3 of 43 embeddings have NaN or inf", 40),
}


@pytest.mark.parametrize("case", list(BAD_ROWS))
def test_a_bad_row_is_na_with_a_note_and_the_others_are_computed(handler, console, case):
    edit_train, edit_test, extra_live, verdict, note_part, compared = BAD_ROWS[case]
    rng = np.random.default_rng(6)
    make_handler(handler, console, live={("good", "text"): gaussian(rng, 40), ("bad", "text"): gaussian(rng, 40)},
                 train_n=100, test_n=30)
    ref = handler.train_test_embeddings["bad"]["text"]
    ref["train"] = edit_train(ref["train"]) if edit_train else ref["train"]
    ref["test"] = edit_test(ref["test"]) if edit_test else ref["test"]
    for v in [] if extra_live is None else extra_live:
        handler.add_embedding("bad", "text", v)
    rep = rp.shift_report(handler, n_permutations=200)
    good, bad = rep.row("good", "text"), rep.row("bad", "text")
    assert good.verdict == "ok" and good.live.n == 40 and good.note == ""
    assert bad.verdict == verdict and note_part in bad.note and (bad.live and bad.live.n) == compared
    json.dumps(rep.to_dict())
    rp.print_report(rep, RichConsole(file=io.StringIO(), width=140))


def test_no_handler_state_gives_empty_report(handler):
    rep = rp.shift_report(handler)
    assert rep.rows == [] and not rep.any_shift


@pytest.mark.parametrize("m, n", [(5, 7), (12, 3), (9, 9)])
def test_mmd_statistic_matches_the_direct_formula(m, n):
    rng = np.random.default_rng(m * 31 + n)
    X, Y = gaussian(rng, m, 6), gaussian(rng, n, 6) + 0.5
    mmd2, p, gamma = rp.mmd_permutation_test(X, Y, n_permutations=50, seed=0)
    Z = np.vstack([X, Y])
    d2 = [np.sum((a - b) ** 2) for a, b in itertools.combinations(Z, 2)]
    assert gamma == pytest.approx(1.0 / (2.0 * np.median(d2)))
    Kxx, Kyy, Kxy = rbf_kernel(X, X, gamma=gamma), rbf_kernel(Y, Y, gamma=gamma), rbf_kernel(X, Y, gamma=gamma)
    direct = ((Kxx.sum() - np.trace(Kxx)) / (m * (m - 1)) + (Kyy.sum() - np.trace(Kyy)) / (n * (n - 1))
              - 2 * Kxy.mean())
    assert mmd2 == pytest.approx(direct, rel=1e-5, abs=1e-7)  # the kernel is float32
    assert 1 / 51 <= p <= 1.0


def test_mmd_permutation_p_value_counts_permuted_statistics():
    """With identical halves every permutation ties or exceeds: p == 1."""
    X = np.tile(np.arange(6.0)[:, None], (1, 3))
    mmd2, p, _ = rp.mmd_permutation_test(X, X.copy(), n_permutations=40)
    assert p > 0.5
    Y = X + 100.0
    mmd2_far, p_far, _ = rp.mmd_permutation_test(X, Y, n_permutations=40)
    assert mmd2_far > mmd2 and p_far == pytest.approx(1 / 41)


@pytest.mark.parametrize("offset", [0.0, 0.25, 0.35, 1.0])  # full p: 0.91, 0.13, 0.008, 0.002
@pytest.mark.parametrize("alpha", [0.005, 0.2])
def test_the_permutation_test_stops_early_only_where_alpha_cannot_be_met(offset, alpha):
    """Stopped once enough permutations reach the observed value, the test
    decides at alpha as all 500 permutations would, and draws fewer only
    where the full test's p is above alpha."""
    rng = np.random.default_rng(5)
    X, Y = gaussian(rng, 60, 4), gaussian(rng, 40, 4) + offset
    full = rp.kernel_two_sample(X, Y, n_permutations=500, seed=1)
    early = rp.kernel_two_sample(X, Y, n_permutations=500, seed=1, alpha=alpha)
    assert (early.p_value < alpha) == (full.p_value < alpha)
    if full.p_value < alpha:
        assert early.p_value == full.p_value  # nothing stopped
    if offset == 0.0 and alpha < 0.04:  # like the reference: stopped at its 20th exceedance, well before 500
        assert 21 / early.p_value - 1 < 250
    assert early.mmd2 == full.mmd2 and early.auc == full.auc


@pytest.mark.parametrize("k", [1, 5, 12])
def test_knn_distance_is_the_kth_nearest_with_ties_and_left_out_rows(k):
    rng = np.random.default_rng(k)
    R = rng.normal(size=(40, 5)).astype(np.float32)
    R[10:14] = R[3]  # equal rows: equal similarities count apart
    R /= np.linalg.norm(R, axis=1, keepdims=True)
    Q = np.vstack([R[:6], rng.normal(size=(3, 5)).astype(np.float32)])
    Q /= np.linalg.norm(Q, axis=1, keepdims=True)
    S = Q @ R.T
    assert np.allclose(rp.stats.knn_distance(Q, R, k), 1 - np.sort(S, axis=1)[:, -k], atol=1e-6)
    S = R @ R.T
    np.fill_diagonal(S, -np.inf)
    assert np.allclose(rp.stats.knn_distance(R, R, k, leave_one_out=True), 1 - np.sort(S, axis=1)[:, -k], atol=1e-6)


@pytest.mark.parametrize("offset, low, high", [(0.0, 0.0, 0.7), (5.0, 0.99, 1.0)])
def test_domain_classifier_auc(offset, low, high):
    rng = np.random.default_rng(2)
    auc = rp.domain_classifier_auc(gaussian(rng, 80), gaussian(rng, 40) + offset, folds=5, seed=0)
    assert low <= auc <= high


def test_too_small_samples_raise_for_the_methods():
    one, many = np.zeros((1, 3)), np.ones((10, 3))
    with pytest.raises(ValueError):
        rp.mmd_permutation_test(one, many)
    with pytest.raises(ValueError):
        rp.domain_classifier_auc(one, many)


def test_console_table_and_plot(handler, console, tmp_path):
    rng = np.random.default_rng(8)
    make_handler(handler, console, live={("alpha", "text"): gaussian(rng, 40),
                                         ("beta", "image"): gaussian(rng, 40) + 1.0})
    rep = rp.shift_report(handler, n_permutations=200)
    out = RichConsole(record=True, width=140)
    rp.print_report(rep, out)
    text = out.export_text()
    for r in rep.rows:
        assert r.model in text
        assert f"{r.live.auc:.3f}" in text and f"{r.test.auc:.3f}" in text
        assert f"{r.live.mmd2:.4f} [{r.live.p_value:.3f}]" in text
    assert "SHIFT" in text and "OK" in text

    path = rp.plot_report(rep, tmp_path / "sub" / "shift.png")
    assert path.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    with Image.open(path) as im:
        assert im.width > 400 and im.height > 300


@pytest.mark.parametrize("train_n, test_n, low, high, enough", [
    # The demo's small recipe: 72 calibration scores. Its tail is its largest score (Beta(1, 72) bound
    # 1 - 0.01 ** (1 / 72) = 6.2 %); by the normal approximation about 82 of 1,000 flags are significant,
    # 9.6 come from normal traffic at the median 1 - 0.5 ** (1 / 72): 7.3 % newcomers.
    (54, 18, 0.065, 0.085, False),
    # 1,600 scores: the bound 1.67 %, 28 flags at the tail's 0.004, 9.9 from normal traffic: 1.8 %.
    (1200, 400, 0.015, 0.021, True),
])
def test_a_recipe_knows_the_share_it_can_detect(handler, console, train_n, test_n, low, high, enough):
    from olvane_sdk.fast.deployment.ood.report import power

    make_handler(handler, console, live={("m", "text"): gaussian(np.random.default_rng(3), 40)},
                 train_n=train_n, test_n=test_n)
    row = rp.shift_report(handler, n_permutations=200).row("m", "text")
    figure = power.min_detectable_share(train_n + test_n, 0.01, 0.005, 1000)
    # the share test's figure: what the recipe sees at least (the group statistic may see more of a
    # compact newcomer, but how much depends on the newcomer, not on the recipe alone)
    assert low < figure < high and row.min_detectable_share == figure
    assert power.recipe_power(train_n + test_n, 0.01, 0.005).enough is enough
    assert ("cannot support the tail 0.01 (0 scores in it)" in row.note) is not enough
    again = rp.ShiftReport.from_dict(json.loads(json.dumps(rp.ShiftReport(rows=[row], settings=rp.ReportSettings())
                                                           .to_json()))).rows[0]
    assert again.min_detectable_share == row.min_detectable_share
    assert rp.ModalityRow.from_dict({"model": "m", "modality": "text"}).min_detectable_share is None
    needed = power.calibration_needed(0.05, 0.01, 0.005)
    assert power.min_detectable_share(needed, 0.01, 0.005) <= 0.05 < power.min_detectable_share(needed - 1, 0.01, 0.005)
