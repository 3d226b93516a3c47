"""The per-message score's calibration, the share test and the verdict rules
(the statistics' power is measured by benchmarks/detection.py, not here)."""
from __future__ import annotations

import types

import numpy as np
import pytest

from olvane_sdk.fast.deployment.ood import report as rp
from olvane_sdk.fast.deployment.ood.report.verdict import metric_value

from test_report import gaussian, make_handler


def test_tail_bound_holds_for_the_true_share_and_widens_for_small_recipes():
    """Over many recipes drawn from one distribution, the share of fresh
    normal traffic past the calibration's tail stays under the bound in
    about `confidence` of them, and averages l / (N + 1) at most."""
    rng = np.random.default_rng(0)
    fresh = gaussian(rng, 20000, 8)
    shares, above = [], 0
    for _ in range(150):
        cal = rp.Calibration(gaussian(rng, 200, 8), gaussian(rng, 50, 8), k=3, tail=0.02, confidence=0.9)
        share = float(np.mean(cal.score(fresh) > cal.threshold))
        shares.append(share)
        above += share > cal.bound
    assert cal.n == 250 and cal.tail_count == 5
    assert 0.6 * 5 / 251 <= np.mean(shares) <= 1.1 * 5 / 251
    assert above / 150 <= 0.15  # nominal 0.10
    assert rp.tail_bound(250, 0.01)[1] > rp.tail_bound(2500, 0.01)[1] > 0.01


def test_novel_subpopulation_end_to_end(handler, console):
    """A tenth of the live traffic far from the reference: novel, its rows
    are the outliers, and the figures survive to_dict / from_dict."""
    rng = np.random.default_rng(4)
    # The score is a cosine distance: the reference must have a direction (an isotropic cloud has none).
    live = gaussian(rng, 300) + 3.0
    far = rng.choice(300, 30, replace=False)
    live[far] -= 6.0
    make_handler(handler, console, live={("m", "text"): live}, train_n=400, test_n=100)
    for part in ("train", "test"):
        handler.train_test_embeddings["m"]["text"][part] += 3.0
    rep = rp.shift_report(handler, n_permutations=200)
    row = rep.row("m", "text")
    assert row.verdict == "novel" and not row.shifted
    assert set(far) <= {o["index"] for o in row.outliers} and row.ood.flagged == len(row.outliers) >= 30
    assert all(o["p_value"] <= 0.01 for o in row.outliers)
    # With the samples' records (as the sample store gives them) the outliers carry time and origin.
    records = {("m", "text"): [types.SimpleNamespace(time=1000.0 + i, origin="p1") for i in range(300)]}
    listed = rep.outliers(records)["m"]["text"]
    assert {o["time"] - 1000.0 for o in listed} >= set(far) and {o["origin"] for o in listed} == {"p1"}
    back = rp.ShiftReport.from_dict(rep.to_dict()).row("m", "text")
    assert back.ood == row.ood and back.verdict == "novel"
    assert f"{100 * row.ood.share:.1f}% ({row.ood.flagged} of {row.ood.n}) vs ≤ " in rp.render.ood_text(back.ood)


S = rp.ReportSettings()
C = lambda p, auc: rp.Comparison(n=100, auc=auc, mmd2=0.0, p_value=p, gamma=1.0)  # noqa: E731
O = lambda p, grouped=None, central=None: rp.ShareTest(  # noqa: E731
    n=100, flagged=5, share=0.05, bound=0.02, p_value=p, threshold=0.5, k=5, tail=0.01, n_calibration=2500,
    grouped=grouped, central_p=p if central is None else central)


@pytest.mark.parametrize("live, ood, verdict", [
    (C(0.001, 0.9), O(0.001), "shift"),   # whole traffic moved: shift wins
    (C(0.001, 0.6), O(0.001), "novel"),   # significant, small AUC, OOD share up
    (C(0.5, 0.5), O(0.001), "novel"),
    (C(0.001, 0.6), O(0.5), "drift"),
    (C(0.2, 0.9), O(0.2), "ok"),          # a high AUC alone is not a shift
    (None, None, "n/a"),
    # a group: three flags nearer each other than the reference
    (C(0.5, 0.5), O(0.001, grouped=2), "ok"),
    (C(0.001, 0.6), O(0.001, grouped=2), "drift"),
    (C(0.5, 0.5), O(0.001, grouped=3), "novel"),
    (C(0.5, 0.5), O(0.01, grouped=40, central=0.01), "ok"),
])
def test_verdict_rules(live, ood, verdict):
    assert rp.verdict_for(live, S, ood) == verdict


def test_verdict_values_and_old_names():
    assert [metric_value(v) for v in ("ok", "drift", "weak", "novel", "shift", "n/a", "?")] == \
        [0, 1, 1, 1.5, 2, -1, -1]
    assert rp.Verdict("weak") is rp.Verdict.DRIFT
    assert rp.ModalityRow.from_dict({"verdict": "weak"}).verdict == "drift"


@pytest.mark.parametrize("env, expect", [
    ({"OLVANE_SHIFT_REPORT_ALPHA": "0.01", "OLVANE_SHIFT_REPORT_K": "10", "OLVANE_SHIFT_REPORT_TAIL": "0.02",
      "OLVANE_SHIFT_REPORT_AUC": "0.8", "OLVANE_SHIFT_REPORT_MIN_LIVE": "20"},
     dict(alpha=0.01, knn_k=10, tail=0.02, auc_threshold=0.8, min_samples=20)),
    ({"OLVANE_SHIFT_REPORT_ALPHA": "abc"}, "OLVANE_SHIFT_REPORT_ALPHA='abc': not a finite number"),
    ({"OLVANE_SHIFT_REPORT_K": "0"}, "OLVANE_SHIFT_REPORT_K='0': out of range: knn_k=0 \\(expected an integer >= 1"),
    ({"OLVANE_SHIFT_REPORT_TAIL": "nan"}, "OLVANE_SHIFT_REPORT_TAIL='nan': not a finite number"),
    ({"OLVANE_SHIFT_REPORT_ALPHA": "0.001"}, "OLVANE_SHIFT_REPORT_ALPHA='0.001': out of range: n_permutations=500"),
])
def test_settings_from_environment(env, expect):
    if isinstance(expect, dict):
        s = rp.ReportSettings.from_env(env)
        assert {k: getattr(s, k) for k in expect} == expect
    else:
        with pytest.raises(rp.SettingsError, match=expect):
            rp.ReportSettings.from_env(env)
