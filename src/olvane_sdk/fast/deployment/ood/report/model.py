"""The report's data: one row per served model and modality with its
comparisons (:class:`ModalityRow`), the report (:class:`ShiftReport`), and
their plain-data forms: :meth:`ShiftReport.to_dict` / :meth:`ShiftReport.from_dict`
and the JSON-safe :meth:`ShiftReport.to_json`. How a report is computed is in
:mod:`.compute`."""
from __future__ import annotations

import math
from collections.abc import Mapping
from dataclasses import MISSING, asdict, dataclass, field, fields
from typing import Any

import numpy as np

from ..samples.store import CLIENT_ID_KEY, EXCERPT_KEY, REQUEST_ID_KEY, sample_key
from .settings import ReportSettings
from .stats import ShareTest
from .two_sample import Comparison
from .verdict import Verdict, canonical

MODALITIES = ("text", "image")


def json_safe(value: Any) -> Any:
    """``value`` (dicts, lists and tuples of plain data) with NaN and
    infinities as None: JSON has no NaN."""
    if isinstance(value, float):
        return value if math.isfinite(value) else None
    if isinstance(value, dict):
        return {k: json_safe(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [json_safe(v) for v in value]
    return value


@dataclass
class ModalityRow:
    model: str
    modality: str
    n_train: int
    n_test: int
    n_live: int
    live: Comparison | None
    test: Comparison | None
    verdict: str  # a Verdict; any string when read from a server (from_dict)
    note: str = ""
    ood: ShareTest | None = None  # the live set's out-of-distribution share
    repeats: int = 0  # live messages that repeat an earlier one (detect.dedup), counted once
    cusum: float | None = None  # the sequential alarm's statistic after this report (detect.advance)
    alarm: bool = False  # it reached the recipe's threshold (calibrate: months between false alarms)
    # The smallest share of newcomers in a window of 1,000 the recipe's calibration lets the share
    # test see (power.min_detectable_share); None: not computed, or no share at all.
    min_detectable_share: float | None = None
    # Which statistic made the row novel (verdict.NOVEL_BY: "group", "share", "diffuse", "alarm"), else None.
    novel_by: str | None = None
    # The diffuse test on the classifier's out-of-fold ranks (stats.DiffuseTest, with its "alpha").
    diffuse: dict[str, Any] | None = None
    # The sequential alarm's state after this report ({"s", "last", "read", "h", "new", "gap"}):
    # hand it to the next report (shift_report(sequential=...)) so the alarm goes on from here.
    alarm_state: dict[str, Any] | None = None
    # Where the recipe's cutoffs came from: "recipe" (its calibration file) or "computed" (at load).
    calibration: str | None = None
    # Kept for the plot; not part of the printed table.
    arrays: dict[str, np.ndarray] = field(default_factory=dict, repr=False, compare=False)
    # The flagged live messages, most distant first: {"index" (in the live store as copied), "score",
    # "p_value", "p_floor", "q_value", "cluster", "centre" (cosine distance to the cluster's centre),
    # "repeat" (it repeats an earlier flagged message)};
    # not part of to_dict (served by /v1/shift/outliers).
    outliers: list[dict[str, Any]] = field(default_factory=list, repr=False, compare=False)

    @property
    def shifted(self) -> bool:
        return self.verdict == Verdict.SHIFT

    @classmethod
    def from_dict(cls, d: Mapping[str, Any]) -> ModalityRow:
        """A row from its ``to_dict`` form; see :meth:`ShiftReport.from_dict`."""

        def comparison(c: Any) -> Comparison | None:
            if not isinstance(c, Mapping) or not c:
                return None
            values: dict[str, Any] = {k: c.get(k) for k in _COMPARISON_FIELDS}
            return Comparison(**values)

        def share(o: Any) -> ShareTest | None:
            if not isinstance(o, Mapping) or not o:
                return None
            # A field a report from before it was measured lacks takes its default.
            values: dict[str, Any] = {k: o.get(k) for k in _SHARE_FIELDS}
            return ShareTest(**{k: _SHARE_DEFAULTS[k] if v is None and k in _SHARE_DEFAULTS else v
                                for k, v in values.items()})

        n: dict[str, Any] = {k: d.get(k) for k in ("n_train", "n_test", "n_live")}  # None: not given
        verdict = str(d.get("verdict", Verdict.NA))
        return cls(str(d.get("model", "?")), str(d.get("modality", "?")), n["n_train"], n["n_test"], n["n_live"],
                   comparison(d.get("live")), comparison(d.get("test")),
                   canonical(verdict),
                   str(d.get("note") or ""), share(d.get("ood")), int(d.get("repeats") or 0), d.get("cusum"),
                   bool(d.get("alarm")), _share_or_none(d.get("min_detectable_share")),
                   d.get("novel_by") if isinstance(d.get("novel_by"), str) else None,
                   d.get("diffuse") if isinstance(d.get("diffuse"), Mapping) else None,
                   d.get("alarm_state") if isinstance(d.get("alarm_state"), Mapping) else None,
                   d.get("calibration") if isinstance(d.get("calibration"), str) else None)


def _share_or_none(v: Any) -> float | None:
    return float(v) if isinstance(v, (int, float)) and not isinstance(v, bool) and math.isfinite(v) else None


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
            d = {k: v for k, v in asdict(r).items() if k not in ("arrays", "outliers")}
            d["verdict"] = str(r.verdict)
            d["shifted"] = r.shifted
            out.append(d)
        return {"settings": asdict(self.settings), "rows": out}

    def to_json(self) -> dict[str, Any]:
        """:meth:`to_dict` with NaN and infinities as None, as ``/v1/shift``
        and ``olvane-shift report --json`` write it."""
        return json_safe(self.to_dict())

    def outliers(self, records: Mapping[tuple[str, str], list] | None = None,
                 cap: int = 1000) -> dict[str, dict[str, list[dict[str, Any]]]]:
        """model -> modality -> the flagged live messages, most distant first
        (at most ``cap``): {"score", "p_value", "p_floor", "q_value",
        "cluster"} and, when ``records`` holds the live samples as read from
        the sample store (objects with ``time``, ``origin`` and ``meta``, in
        the order the report saw them), their collection time, origin,
        request ids and any excerpt; else ``index``, the position in this
        process's store."""
        out: dict[str, dict[str, list[dict[str, Any]]]] = {}
        for r in self.rows:
            recs = None if records is None else records.get((r.model, r.modality))
            items = []
            for o in r.outliers[:cap]:
                item = {k: o[k] for k in _OUTLIER_KEYS if k in o}
                rec = recs[o["index"]] if recs is not None and o["index"] < len(recs) else None
                if rec is not None:
                    meta = getattr(rec, "meta", None) or {}
                    item.update(time=getattr(rec, "time", None), origin=getattr(rec, "origin", None),
                                request_id=meta.get(REQUEST_ID_KEY), client_request_id=meta.get(CLIENT_ID_KEY))
                    if getattr(rec, "embedding", None) is not None:
                        item["sample"] = sample_key(rec.embedding)
                    if meta.get(EXCERPT_KEY):  # served only where the server allows it (middleware/report_keeper.py)
                        item["excerpt"] = meta[EXCERPT_KEY]
                else:
                    item["index"] = o["index"]
                items.append(item)
            out.setdefault(r.model, {})[r.modality] = items
        return out

    def clusters(self, records: Mapping[tuple[str, str], list] | None = None,
                 profiles: Mapping[str, Mapping[str, Any] | None] | None = None
                 ) -> dict[str, dict[str, list[dict[str, Any]]]]:
        """model -> modality -> the clusters of the flagged live messages
        (:func:`.clusters.describe`); ``records`` as for :meth:`outliers`,
        ``profiles`` the recipes' term profiles per served model."""
        from .clusters import describe

        out: dict[str, dict[str, list[dict[str, Any]]]] = {}
        for r in self.rows:
            recs = None if records is None else records.get((r.model, r.modality))
            # The share test's denominator: the window with repeats folded.
            distinct = max((r.n_live or 0) - (r.repeats or 0), 0)
            out.setdefault(r.model, {})[r.modality] = describe(r.outliers, distinct, recs,
                                                                (profiles or {}).get(r.model))
        return out

    @classmethod
    def from_dict(cls, data: Mapping[str, Any]) -> ShiftReport:
        """The report from its :meth:`to_dict` form, as ``/v1/shift`` serves
        it (NaN and infinities as None), without the arrays. It reads what a
        server sent, so it is lenient: unknown keys are ignored, a missing
        figure is None (the tables print "-") and any verdict string is kept."""
        known = {f.name for f in fields(ReportSettings)}
        settings = {k: v for k, v in (data.get("settings") or {}).items() if k in known}
        return cls(rows=[ModalityRow.from_dict(r) for r in data.get("rows") or []],
                   settings=ReportSettings(**settings))


def outlier_answers(outliers: Mapping[str, Any] | None, clusters: Mapping[str, Any] | None) -> dict[str, Any]:
    """model -> modality -> {"outliers", "clusters"}: a report's flagged
    messages beside their clusters, the shape the history and the page read."""
    out: dict[str, Any] = {}
    for source, key in ((outliers, "outliers"), (clusters, "clusters")):
        for model, per in (source or {}).items():
            for modality, items in (per or {}).items():
                out.setdefault(model, {}).setdefault(modality, {"outliers": [], "clusters": []})[key] = items
    return out


def history_rows(report: Mapping[str, Any] | None, outliers: Mapping[str, Any] | None = None) -> list[dict[str, Any]]:
    """One history row per row of ``report`` (its :meth:`ShiftReport.to_json`
    form): the verdict and the figures that decide it, the live count, the
    repeats and the flagged clusters' sizes (from ``outliers``, the outlier
    answer, where it has clusters)."""
    out = []
    for r in (report or {}).get("rows") or []:
        live, ood = r.get("live") or {}, r.get("ood") or {}
        flagged = ((outliers or {}).get(r.get("model")) or {}).get(r.get("modality"))
        clusters = flagged.get("clusters") if isinstance(flagged, Mapping) else None
        out.append(json_safe({
            "model": r.get("model"), "modality": r.get("modality"), "verdict": r.get("verdict"),
            "auc": live.get("auc"), "mmd2": live.get("mmd2"), "p_value": live.get("p_value"),
            "ood_share": ood.get("share"), "ood_bound": ood.get("bound"), "n_live": r.get("n_live"),
            "repeats": r.get("repeats", 0),
            "clusters": [c.get("size") for c in clusters or [] if isinstance(c, Mapping)]}))
    return out


_OUTLIER_KEYS = ("score", "p_value", "p_floor", "q_value", "cluster", "repeat")
_COMPARISON_FIELDS = tuple(f.name for f in fields(Comparison))
_SHARE_FIELDS = tuple(f.name for f in fields(ShareTest))
_SHARE_DEFAULTS = {f.name: f.default for f in fields(ShareTest) if f.default is not MISSING}
