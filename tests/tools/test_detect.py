"""Repeats counted once and the sequential alarm of the report's row (their
power and false-alarm rates per day are measured by benchmarks/detection.py)."""
from __future__ import annotations

import types

import numpy as np
import pytest

from olvane_sdk.fast.deployment.ood import report as rp
from olvane_sdk.fast.deployment.ood.report import calibrate, detect, stats


def _copy_at(rng, x, cosine):
    """A unit row at exactly ``cosine`` from the unit row ``x``."""
    u = rng.standard_normal(x.shape)
    u -= (u @ x) * x
    return cosine * x + np.sqrt(1 - cosine ** 2) * u / np.linalg.norm(u)


def _reference(rng, n, dim=24):
    # A cloud around one direction: the score is a cosine distance, an isotropic cloud has none.
    return rng.standard_normal((n, dim)) + 1.0


def _stand_in(train, test, live):
    return types.SimpleNamespace(train_test_embeddings={"m": {"text": {"train": train, "test": test}}},
                                 live_embeddings={"m": {"text": {"live": list(live)}}}, embedding_lock=None,
                                 embedding_indices={"m": {"text": len(live) % 1000}})


def test_repeats_count_once_in_every_statistic():
    """Verbatim and near copies (cosine 0.99) of earlier rows are repeats,
    a row at cosine 0.95 is not; the row's share test and MMD see each
    message once, and the count survives to_dict / from_dict."""
    rng = np.random.default_rng(3)
    base = rng.standard_normal((400, 64))
    base /= np.linalg.norm(base, axis=1, keepdims=True)
    src = rng.choice(400, 90, replace=False)
    copies = np.array([base[i] if j < 30 else _copy_at(rng, base[i], 0.99 if j < 60 else 0.95)
                       for j, i in enumerate(src)])
    rows = np.vstack([base, copies * 3.0])  # scaled: the cosine, not the norm, decides
    kept, repeats = detect.dedup(rows)
    assert repeats == 60 and set(kept) == set(range(400)) | set(range(460, 490))

    ref = _reference(rng, 600)
    live = np.vstack([_reference(rng, 300), np.repeat(_reference(rng, 3), 25, axis=0)])
    rep = rp.shift_report(_stand_in(ref[:480], ref[480:], live), n_permutations=200)
    row = rep.row("m", "text")
    assert row.repeats == 72 and row.ood.n == row.live.n == 303 and row.n_live == 375
    assert rp.ShiftReport.from_dict(rep.to_dict()).row("m", "text").repeats == 72



def test_image_row_folds_only_near_copies():
    """An image model puts every picture of one kind within cosine 0.998 of
    another (above the text threshold, 0.98): the image row's threshold comes
    from its own reference, so 200 distinct pictures stay 200 and only the 20
    near copies (cosine 0.9999) fold."""
    rng = np.random.default_rng(7)
    dim = 32
    kind = np.ones(dim) / np.sqrt(dim)

    def pictures(n):
        return kind + 0.015 * rng.standard_normal((n, dim))

    ref, live = pictures(750), pictures(200)
    unit = live / np.linalg.norm(live, axis=1, keepdims=True)
    near = unit @ unit.T
    np.fill_diagonal(near, -1.0)
    assert (near.max(axis=1) > detect.DUPLICATE_COSINE).all()  # at the text threshold, every one folds
    copies = [_copy_at(rng, unit[i], 0.9999) for i in rng.choice(200, 20, replace=False)]
    rep = rp.shift_report(reference={"m": {"image": {"train": ref[:600], "test": ref[600:]}}},
                          live={"m": {"image": [*live, *copies]}}, n_permutations=200)
    row = rep.row("m", "image")
    assert (row.repeats, row.n_live) == (20, 220), row.note
    assert row.live.n == row.ood.n == 200 and row.verdict == "ok", row.note

@pytest.mark.parametrize("q0", [0.004, 0.013, 0.05])
def test_cusum_is_the_textbook_recursion(q0):
    rng = np.random.default_rng(int(q0 * 1000))
    flags = rng.random(3000) < np.where(np.arange(3000) > 2000, 4 * q0, q0)
    up, down = np.log(3.0), np.log((1 - q0) / (1 - 3 * q0))
    s = 0.0
    for f in flags:
        s = max(0.0, s + (up if f else -down))
    assert detect.cusum_from(0.0, flags, q0, 3 * q0)[0] == pytest.approx(s, abs=1e-9) and s > 0


def _sectioned(rng, n, sparse_share, dim=24):
    """A reference with a dense part and a sparse one (a catalogue section
    whose rows lie far apart), ``sparse_share`` of the rows."""
    x = rng.standard_normal((n, dim)) * 0.6 + 1.0
    s = rng.random(n) < sparse_share
    x[s] = rng.standard_normal((int(s.sum()), dim)) * 1.1 + 1.0
    x[s, :4] += 1.5
    return x


@pytest.mark.parametrize("newcomers", [0, 14])
def test_share_test_reads_the_window_mix_and_the_far_tail(newcomers):
    """More of the reference's sparse part fills the body of the p-values
    and raises the bound by the mix; normal traffic leaves it at about 1.
    Fourteen compact newcomers in 1000 stand out far more in the far tail
    than in the tail, and the far tail's test decides."""
    from scipy.stats import binom

    rng = np.random.default_rng(11)
    ref = _sectioned(rng, 3000, 0.1)
    cal = rp.Calibration(ref[:2000], ref[2000:], k=5, tail=0.01, confidence=0.99)
    assert cal.far_count < cal.tail_count and cal.far_threshold > cal.threshold
    normal = [cal.share_test(cal.score(_sectioned(rng, 1000, 0.1))) for _ in range(20)]
    sparse = [cal.share_test(cal.score(_sectioned(rng, 1000, 0.6))) for _ in range(5)]
    assert np.mean([t.mix for t in normal]) < 1.05 < 1.1 < np.mean([t.mix for t in sparse])
    assert sparse[0].bound == pytest.approx(cal.bound * sparse[0].mix)
    if newcomers:
        live = _sectioned(rng, 1000, 0.1)
        live[:newcomers] = rng.standard_normal((newcomers, 24)) * 0.3 + 1.0
        live[:newcomers, 12:20] -= 3.0
        t = cal.share_test(cal.score(live))
        far_p, tail_p = binom.sf(t.far_flagged - 1, t.n, t.far_bound), binom.sf(t.flagged - 1, t.n, t.bound)
        assert t.far_flagged >= newcomers and far_p < tail_p / 10
        assert t.p_value == pytest.approx(far_p / stats.FAR_ALPHA) and t.p_value < 0.005


def _spread(rng, n, sparse_share, dim=64):
    """A reference whose sparse part scatters its rows in every direction."""
    x = rng.standard_normal((n, dim)) * 0.5 + 1.0
    s = rng.random(n) < sparse_share
    x[s] = rng.standard_normal((int(s.sum()), dim)) + 1.0
    return x


@pytest.mark.parametrize("newcomers", [0, 14])
def test_novel_asks_for_a_group_among_the_flagged(newcomers):
    """Four times the reference's share of its sparse part passes the tail
    well past the bound, yet each such message stands alone: not novel,
    and the row says why. Fourteen newcomers near each other are novel,
    and the count survives to_dict / from_dict."""
    rng = np.random.default_rng(7)
    ref = _spread(rng, 3000, 0.1)
    live = _spread(rng, 1000, 0.4)
    if newcomers:
        live[:newcomers] = rng.standard_normal((newcomers, 64)) * 0.3 + 1.0
        live[:newcomers, 12:20] -= 3.0
    rep = rp.shift_report(_stand_in(ref[:2000], ref[2000:], live), n_permutations=200)
    row = rep.row("m", "text")
    assert row.ood.p_value < 0.005
    if newcomers:
        assert row.ood.grouped >= newcomers and row.verdict == "novel"
    else:
        assert row.ood.grouped == 0 and row.ood.isolated and row.verdict != "novel" and not row.alarm
        assert "not novel" in row.note
    assert rp.ShiftReport.from_dict(rep.to_dict()).row("m", "text").ood == row.ood


def _families(rng, n_families, size, ordinary, dim=48):
    """Ordinary rows in one cloud, and families of ``size`` siblings far
    out (a library and its -dev package, many times over), shuffled."""
    x = [rng.standard_normal((ordinary, dim)) * 0.5 + 1.0]
    for _ in range(n_families):
        centre = 1.0 + 2.5 * rng.standard_normal(dim)
        x.append(centre + 0.8 * rng.standard_normal((size, dim)))
    x = np.vstack(x)
    return x[rng.permutation(len(x))]


def test_group_cutoff_is_the_recipes_own_and_folds_repeats_first():
    """A recipe whose population holds families of siblings forms groups in
    clean traffic that a recipe without them never does: its cutoff, set on
    pseudo-windows of its own rows, is higher, and its clean windows (drawn
    from the same population) stay quiet. Six newcomers near each other past
    the cutoff are novel by the group; twelve near copies of one message
    are one message, not a group."""
    rng = np.random.default_rng(2)
    plain = _families(rng, 0, 1, 4000)
    population = _families(rng, 400, 6, 1600)
    cuts = {}
    for name, pop in (("plain", plain), ("siblings", population)):
        rc = calibrate.calibrate(pop[:2000], pop[2000:2500])
        cuts[name] = rc.group_cutoff[rc.at(1000)]
    assert cuts["plain"] == calibrate.MIN_CUTOFF < cuts["siblings"], cuts
    ref = {"m": {"text": {"train": population[:2000], "test": population[2000:2500]}}}
    for w in range(3):
        live = population[2500 + rng.permutation(len(population) - 2500)[:1000]]
        row = rp.shift_report(reference=ref, live={"m": {"text": live}}, n_permutations=200).row("m", "text")
        assert row.verdict not in ("novel", "shift") and row.ood.largest < row.ood.group_cutoff, (w, row.note)
    live = population[2500:3500].copy()
    far = -1.0 - 2.5 * rng.standard_normal(48)  # on the other side of everything the recipe holds
    live[:cuts["siblings"] + 2] = far + 0.8 * rng.standard_normal((cuts["siblings"] + 2, 48))
    row = rp.shift_report(reference=ref, live={"m": {"text": live}}, n_permutations=200).row("m", "text")
    assert row.novel_by == "group" and row.verdict == "novel" and row.calibration == "computed", (row.ood, cuts)
    live = population[2500:3500].copy()
    live[100:112] = [_copy_at(rng, far / np.linalg.norm(far), 0.995) for _ in range(12)]
    row = rp.shift_report(reference=ref, live={"m": {"text": live}}, n_permutations=200).row("m", "text")
    assert row.repeats >= 11 and row.verdict != "novel", row.note


def test_alarm_reads_the_ring_in_arrival_order_and_goes_on_from_the_last_report():
    """The ring has wrapped: its oldest message sits at the next write
    position. The next report reads only the messages written since, the
    state survives the row's JSON, and the outliers still name ring slots."""
    rng = np.random.default_rng(4)
    ref = _reference(rng, 2500)
    ring = list(_reference(rng, 1000))
    handler = _stand_in(ref[:2000], ref[2000:], ring)
    handler.embedding_indices = {"m": {"text": 400}}
    first = rp.shift_report(handler, n_permutations=200)
    state = first.row("m", "text").alarm_state
    assert state["new"] == 1000 and state["read"] == 1000 and not state["gap"]
    fresh = _reference(rng, 250)
    fresh[-40:, :12] -= 3.0  # far newcomers among the latest
    for j, v in enumerate(fresh):
        ring[(400 + j) % 1000] = v
    handler.live_embeddings["m"]["text"]["live"] = ring
    handler.embedding_indices["m"]["text"] = 650
    again = rp.ShiftReport.from_dict(first.to_json())
    second = rp.shift_report(handler, n_permutations=200, sequential=again).row("m", "text")
    assert second.alarm_state["new"] == 250 and second.alarm_state["read"] == 1250
    slots = {o["index"] for o in second.outliers}
    assert set(range(610, 650)) <= slots, sorted(slots)  # the newcomers' slots


class _HashModel:
    """Deterministic text vectors around one direction (a stand-in for the ONNX model)."""

    def encode(self, texts, **_):
        rows = [np.random.default_rng(abs(hash(t)) % 2**32).standard_normal(24) + 1.0 for t in texts]
        return np.asarray(rows, dtype=np.float32)


def test_builder_stores_the_cutoffs_and_the_report_uses_them_only_for_their_arrays(tmp_path):
    """A recipe built with the report's calibrator carries its cutoffs; the
    report reads them (``calibration`` "recipe") and computes them again
    when the file belongs to other arrays."""
    import json

    from olvane_sdk.fast.deployment.ood.recipe_files import layout
    from olvane_sdk.fast.deployment.ood.recipes import build_recipe
    from olvane_sdk.fast.deployment.ood.report.window import load_reference

    texts = [f"text number {i} of the reference" for i in range(700)]
    build_recipe(tmp_path / "r", text_model="m", texts=texts, show_progress=False, model_loader=lambda _: _HashModel(),
                 calibrate=calibrate.recipe_calibrations)
    path = tmp_path / "r" / layout.CALIBRATION_FILE
    stored = json.loads(path.read_text())
    assert stored["text"]["group_cutoff"][-1] >= calibrate.MIN_CUTOFF
    live = {"m": {"text": list(_HashModel().encode([f"live {i}" for i in range(300)]))}}
    row = rp.shift_report(reference=load_reference({"m": tmp_path / "r"}), live=live, n_permutations=200).row("m", "text")
    assert row.calibration == "recipe" and row.ood.group_cutoff == stored["text"]["group_cutoff"][1]
    stored["text"]["digest"] = "0" * 16
    path.write_text(json.dumps(stored))
    row = rp.shift_report(reference=load_reference({"m": tmp_path / "r"}), live=live, n_permutations=200).row("m", "text")
    assert row.calibration == "computed"
