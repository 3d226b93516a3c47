"""How the report is taken: :func:`shift_report` reads the handler (or
given arrays) and computes one row per served model and modality; what is
computed once per recipe load (the calibration and the yardstick) is cached
here. The data model is in :mod:`.model`, the settings in :mod:`.settings`,
the statistics in :mod:`.two_sample` and :mod:`.stats`.

It reads the handler's public attributes, as any host would:
``train_test_embeddings[model][modality]`` ({"train", "train_roles", "test"})
and ``live_embeddings[model][modality]["live"]`` (copied under
``embedding_lock``).

One bad row never fails the report: each row's inputs are checked on their own
(see :func:`_reference_matrix` and :func:`_live_matrix`) and anything left
that still raises makes that row ``n/a`` with the error in its note.
"""
from __future__ import annotations

import threading
from collections import OrderedDict
from collections.abc import Mapping, Sequence
from dataclasses import asdict, replace
from typing import Any

import numpy as np

from . import detect
from .calibrate import SIZES, RecipeCalibration, calibrate, group_threshold, reference_digest
from .model import MODALITIES, ModalityRow, ShiftReport
from .power import recipe_power
from .settings import ReportSettings
from .clusters import cluster
from .inputs import _count, _live_matrix, _reference_entries, _reference_matrix, _subsample, copy_embeddings
from .stats import DIFFUSE_ALPHA, Calibration, diffuse_test, q_values
from .two_sample import Comparison, kernel_two_sample
from .verdict import Verdict, novel_by, verdict_for


def compare(reference: np.ndarray, other: np.ndarray, settings: ReportSettings) -> Comparison:
    t = kernel_two_sample(reference, other, n_permutations=settings.n_permutations, folds=settings.cv_folds,
                          seed=settings.seed, alpha=settings.alpha)
    return Comparison(n=len(other), auc=t.auc, mmd2=t.mmd2, p_value=t.p_value, gamma=t.gamma)


# --------------------------------------------------------------------------
# what is computed once per recipe load: the calibration and the yardstick

_cache_lock = threading.Lock()
_recipe_cache: OrderedDict[tuple, dict[str, Any]] = OrderedDict()
_CACHE_SIZE = 32


def _recipe_entry(train_obj: Any, test_obj: Any) -> dict[str, Any]:
    """The cache entry of the recipe arrays ``train_obj`` and ``test_obj``
    (the handler's own objects, as loaded). Keyed by their identity: a
    reloaded recipe brings new arrays and so a new entry. The entry holds the
    objects, so their ids cannot be reused while it lives."""
    key = (id(train_obj), id(test_obj))
    with _cache_lock:
        e = _recipe_cache.get(key)
        if e is None or e["train"] is not train_obj or e["test"] is not test_obj:
            e = {"train": train_obj, "test": test_obj, "lock": threading.Lock()}
            _recipe_cache[key] = e
        _recipe_cache.move_to_end(key)
        while len(_recipe_cache) > _CACHE_SIZE:
            _recipe_cache.popitem(last=False)
        return e


def calibration_for(train_obj: Any, test_obj: Any, train: np.ndarray, test: np.ndarray | None,
                    settings: ReportSettings) -> Calibration:
    """The recipe's calibration (leave-one-out train scores plus the test
    split), computed on the first report after the recipe loaded."""
    e = _recipe_entry(train_obj, test_obj)
    key = ("cal", settings.knn_k, settings.tail, settings.bound_confidence)
    with e["lock"]:
        if key not in e:
            e[key] = Calibration(train, test, k=settings.knn_k, tail=settings.tail,
                                 confidence=settings.bound_confidence)
        return e[key]


_group_tail = None  # the calibration module's GROUP_TAIL; a benchmark may set another
_computed_lock = threading.Lock()
_computed: OrderedDict[tuple, RecipeCalibration] = OrderedDict()


def recipe_calibration_for(train_obj: Any, test_obj: Any, train: np.ndarray, test: np.ndarray | None,
                           settings: ReportSettings, stored: Any = None) -> RecipeCalibration:
    """The recipe's cutoffs for the novelty statistics (:mod:`.calibrate`):
    the stored ones when they belong to these arrays and settings, else
    computed once and kept, keyed by the arrays' content (a recipe reloaded
    unchanged keeps them)."""
    e = _recipe_entry(train_obj, test_obj)
    with e["lock"]:
        if "digest" not in e:
            e["digest"] = reference_digest(train, test)
        digest = e["digest"]
    got = RecipeCalibration.from_dict(stored, digest) if stored is not None else None
    if got is not None and got.k == settings.knn_k and abs(got.tail - settings.tail) < 1e-12:
        return got
    key = (digest, settings.knn_k, settings.tail, _group_tail)
    with _computed_lock:
        if key in _computed:
            _computed.move_to_end(key)
            return _computed[key]
    cal = calibration_for(train_obj, test_obj, train, test, settings)
    got = calibrate(train, test, k=settings.knn_k, tail=settings.tail, cal=cal, group_tail=_group_tail)
    with _computed_lock:
        _computed[key] = got
        while len(_computed) > _CACHE_SIZE:
            _computed.popitem(last=False)
    return got


def _reference_sample(train_obj: Any, test_obj: Any, train: np.ndarray, settings: ReportSettings, name: tuple,
                      rng: np.random.Generator) -> tuple[np.ndarray, float]:
    """(the train rows the two-sample tests use, the cosine from which two
    messages count as one), once per recipe load. The reference counts its
    own near-duplicates once, as the live set does: folding repeats on one
    side only would itself look like a shift."""
    e = _recipe_entry(train_obj, test_obj)
    key = ("sample", settings.seed, settings.max_samples, *name)
    with e["lock"]:
        if key not in e:
            rows = _subsample(np.arange(len(train)), settings.max_samples, rng)
            same = detect.repeat_threshold(train[rows])
            e[key] = rows[detect.dedup(train[rows], same)[0]], same
        return e[key]


def _yardstick(train_obj: Any, test_obj: Any, tr: np.ndarray, test: np.ndarray, same: float,
               settings: ReportSettings, rng: np.random.Generator) -> Comparison:
    e = _recipe_entry(train_obj, test_obj)
    key = ("test", settings.seed, settings.n_permutations, settings.cv_folds, settings.max_samples, settings.alpha,
           len(tr), len(test))
    with e["lock"]:
        if key not in e:
            test = test[detect.dedup(test, same)[0]]
            e[key] = compare(tr, _subsample(test, settings.max_samples, rng), settings)
        return e[key]


# --------------------------------------------------------------------------
# reading the handler


def shift_report(handler=None, settings: ReportSettings | None = None, *,
                 reference: Mapping[str, Mapping[str, Any]] | None = None,
                 live: Mapping[str, Mapping[str, Sequence]] | None = None,
                 sequential: Mapping[tuple[str, str], Any] | ShiftReport | None = None, **overrides) -> ShiftReport:
    """Builds the report for every served model and modality that has a
    reference or live embeddings, read from ``handler`` (default: the
    interceptor's) or given as arrays: ``reference[model][modality]`` =
    {"train", "test"} (as ``train_test_embeddings``) and
    ``live[model][modality]`` = the live vectors. Keyword overrides set
    ``ReportSettings`` fields (seed, n_permutations, alpha, auc_threshold,
    ...); without ``settings`` they start from :meth:`ReportSettings.from_env`.
    A row whose inputs are unusable is ``n/a`` with a note; it never fails the
    others. ``reference`` entries may carry the recipe's stored
    ``calibration`` (:mod:`.calibrate`). ``live`` lists are in arrival order;
    a handler's rings are read from their oldest slot.

    ``sequential``: the previous report (or (model, modality) -> its row's
    ``alarm_state``): the alarm goes on from where it stopped, reading only
    the messages that came after. Without it every report reads its whole
    window from zero."""
    given = reference is not None or live is not None
    if given and handler is not None:
        raise TypeError("shift_report: give a handler or the arrays, not both")
    if not given and handler is None:
        from ..interceptor import olvane_shift_detection_handler as handler
    settings = settings or ReportSettings.from_env()
    if overrides:
        settings = ReportSettings(**{**asdict(settings), **overrides})
    from threadpoolctl import threadpool_limits

    starts: dict[tuple[str, str], int] = {}
    if given:
        reference = _reference_entries(reference)
        live = {model: {modality: list(v if v is not None else []) for modality, v in entry.items()}
                for model, entry in (live or {}).items()}
    else:
        reference, live = copy_embeddings(handler, starts)
    states = _alarm_states(sequential)
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
                    rows.append(_row(model, modality, ref, lv, settings, start=starts.get((model, modality), 0),
                                     alarm_state=states.get((model, modality))))
                except Exception as e:  # whatever the checks did not foresee
                    rows.append(ModalityRow(model, modality, _count(ref and ref["train"]),
                                            _count(ref and ref["test"]), len(lv), None, None, Verdict.NA,
                                            note=f"not computed: {type(e).__name__}: {e}"))
    return ShiftReport(rows=rows, settings=settings)


def _alarm_states(sequential) -> dict[tuple[str, str], detect.AlarmState]:
    if sequential is None:
        return {}
    if isinstance(sequential, ShiftReport):
        sequential = {(r.model, r.modality): r.alarm_state for r in sequential.rows}
    out = {}
    for key, d in dict(sequential).items():
        state = detect.AlarmState.from_dict(d) if d is not None else None
        if state is not None:
            out[tuple(key)] = state
    return out


def _row(model, modality, ref, stored: list, settings: ReportSettings, *, start: int = 0,
         alarm_state: detect.AlarmState | None = None) -> ModalityRow:
    # Generators seeded from the settings and the row's name, so a row's figures do not depend
    # on which other rows exist, nor on whether the yardstick came from the cache.
    def rng(part: str) -> np.random.Generator:
        return np.random.default_rng([settings.seed, *map(ord, f"{model}\x00{modality}\x00{part}")])

    ref = ref or {}
    train, train_problem = _reference_matrix(ref.get("train"), "train")
    test, test_problem = _reference_matrix(ref.get("test"), "test")
    row = ModalityRow(model, modality, _count(ref.get("train")), _count(ref.get("test")), len(stored),
                      None, None, Verdict.NA)
    width = train.shape[1] if train is not None and len(train) else None
    if start:  # a wrapped ring: arrival order begins at its oldest slot
        stored = stored[start:] + stored[:start]
    lv, live_notes, positions = _live_matrix(stored, width)
    if start:
        positions = (positions + start) % len(stored)  # back to the slots, which the outliers name
    notes = [p for p in (train_problem, test_problem) if p]
    if width is None:
        if not train_problem:
            notes.insert(0, "no reference embeddings in the recipe")
        row.note = "; ".join(notes + live_notes)
        if len(lv):
            row.arrays = {"live": lv}
        return row
    arrays = {"train": train}
    tr_rows, same = _reference_sample(ref.get("train"), ref.get("test"), train, settings, (model, modality),
                                      rng("train"))
    tr = train[tr_rows]
    enough_train = len(train) >= settings.min_samples
    if test is not None and len(test) and test.shape[1] != width:
        notes.append(f"test dimension {test.shape[1]} != train {width}")
        test = None
    # The calibration's size (train rows left out one at a time, plus the test split) bounds what it sees.
    n_calibration = (len(train) if len(train) > 1 else 0) + (0 if test is None else len(test))
    if n_calibration:
        power = recipe_power(n_calibration, settings.tail, settings.alpha_novel, settings.bound_confidence)
        row.min_detectable_share = power.min_share
        if power.tail_note(settings.tail):
            notes.append(power.tail_note(settings.tail))
    if test is not None and len(test):
        arrays["test"] = test
        if len(test) < settings.min_samples or not enough_train:
            notes.append(f"test: fewer than {settings.min_samples} embeddings")
        else:
            row.test = _yardstick(ref.get("train"), ref.get("test"), tr, test, same, settings, rng("test"))
    if len(lv):
        arrays["live"] = lv
        if len(lv) < settings.min_samples or not enough_train:
            notes.append(f"live: fewer than {settings.min_samples} embeddings")
        else:
            _novelty(row, ref, train, test, tr, tr_rows, lv, positions, same, settings, rng, alarm_state)
            arrays["flagged"] = lv[[o["position"] for o in row.outliers]] if row.outliers else lv[:0]
            for o in row.outliers:
                del o["position"]
    notes += live_notes
    row.arrays = arrays
    row.verdict = verdict_for(row.live, settings, row.ood, alarm=row.alarm, diffuse=row.diffuse)
    row.novel_by = novel_by(row.live, settings, row.ood, alarm=row.alarm, diffuse=row.diffuse)
    notes += _novel_notes(row, settings)
    if not stored:
        notes.append("no live traffic yet")
    if row.test is not None and verdict_for(row.test, settings) != Verdict.OK:
        notes.append("the recipe's own test split differs from train: yardstick unreliable")
    row.note = "; ".join(notes)
    return row


def _novelty(row: ModalityRow, ref, train, test, tr, tr_rows, lv, positions, same, settings, rng,
             alarm_state: detect.AlarmState | None) -> None:
    """The live window's comparison and novelty statistics, onto ``row``.

    Repeats count once everywhere (folded first, in arrival order); the
    largest group of flagged messages is judged against the recipe's cutoff
    for a window of this size (a larger window is grouped over its latest
    calibrated size); the diffuse test reads the classifier's out-of-fold
    ranks; the alarm reads the messages after the last one it read before."""
    kept, row.repeats = detect.dedup(lv, same)
    sample = kept if len(kept) <= settings.max_samples else np.sort(
        rng("live").choice(kept, settings.max_samples, replace=False))
    t = kernel_two_sample(tr, lv[sample], n_permutations=settings.n_permutations, folds=settings.cv_folds,
                          seed=settings.seed, alpha=settings.alpha)
    row.live = Comparison(n=len(sample), auc=t.auc, mmd2=t.mmd2, p_value=t.p_value, gamma=t.gamma)
    cal = calibration_for(ref.get("train"), ref.get("test"), train, test, settings)
    rc = recipe_calibration_for(ref.get("train"), ref.get("test"), train, test, settings, ref.get("calibration"))
    scores = cal.score(lv)  # every live row: the share test is cheap and gains most from n
    ks = scores[kept]
    share = cal.share_test(ks)
    flags = ks > group_threshold(cal, rc.group_tail)
    recent = np.arange(max(0, len(kept) - max(SIZES)), len(kept))  # the group's window, latest first kept
    in_group = recent[flags[recent]]
    adjacency = detect.links(cal, lv[kept[in_group]], rc.link)
    linked = np.zeros(len(kept), bool)
    linked[in_group[:len(adjacency)]] = adjacency.any(axis=1)
    i = rc.at(len(recent))
    row.ood = replace(share, grouped=int(linked.sum()), largest=detect.largest_group(adjacency),
                      group_cutoff=rc.group_cutoff[i], share_group=rc.share_group[i])
    # the diffuse test: train rows' p-values from their own scores, each left out of train
    p_live = cal.p_values(scores[sample])
    p_train = cal.p_values(cal.train_scores[tr_rows])
    d = diffuse_test(t.oof, np.r_[np.zeros(len(tr), bool), np.ones(len(sample), bool)], np.r_[p_train, p_live])
    row.diffuse = {**d.__dict__, "alpha": DIFFUSE_ALPHA}
    seq = detect.advance(alarm_state, flags & linked, detect.digests(lv[kept]), rc.q0, rc.q1, rc.h)
    row.cusum, row.alarm = seq.state.s, seq.alarm
    row.alarm_state = {**seq.state.to_dict(), "h": rc.h, "new": seq.new, "gap": seq.gap}
    row.calibration = rc.source
    flagged = np.flatnonzero(scores > cal.threshold)
    flagged = flagged[np.argsort(-scores[flagged], kind="stable")]
    pv = cal.p_values(scores[flagged])
    qv = q_values(cal.p_values(scores))[flagged]  # over every live message tested
    # Clusters of what is new: repeats folded, ranked by distance and growth (``lv`` is in arrival order).
    groups = cluster(lv[flagged], scores[flagged], same=same, positions=flagged, n_window=len(lv))
    row.outliers = [{"index": int(positions[j]), "position": int(j), "score": float(scores[j]), "p_value": float(p),
                     "p_floor": 1.0 / (cal.n + 1), "q_value": float(q), "cluster": int(c), "centre": float(dc),
                     "repeat": bool(rep)}
                    for j, p, q, c, dc, rep in zip(flagged, pv, qv, *groups)]


def _novel_notes(row: ModalityRow, settings: ReportSettings) -> list[str]:
    o = row.ood
    if o is None or o.largest is None:
        return []
    if row.novel_by == "group":
        return [f"{o.largest} flagged messages lie together, nearer each other than the reference: this recipe's "
                f"simulated clean and mixed windows reach at most {o.group_cutoff - 1}"]
    if row.novel_by == "share":
        return [f"share test p = {o.p_value:.2g} with a group of {o.largest} among the flagged messages"]
    if row.novel_by == "diffuse":
        d = row.diffuse or {}
        return [f"the classifier's top {d.get('top')} rows hold {d.get('live_far')} live messages far from the "
                f"reference (p = {d.get('p_value', 1):.2g}): a diffuse newcomer"]
    if row.novel_by == "alarm":
        return [f"the sequential alarm reached {row.alarm_state.get('h', 0):.3g} over {row.alarm_state.get('read')} messages"
                if row.alarm_state else "the sequential alarm"]
    if o.p_value < settings.alpha_novel and o.isolated:
        return ["more flagged messages than normal traffic has, but too few of them nearer each other than "
                "the reference for a group: more of a sparse known part, not novel"]
    return []
