"""One report and everything shown from it, built by one function into one
value: the report, its flagged messages, their clusters, the page's maps and
the history rows, with the time and the recipes they belong to.

``/v1/shift``, ``/outliers``, ``/history`` and ``/ui`` read one snapshot, and
a process replaces the one it serves whole, so they never mix two reports.
The deployment's stored result is a snapshot as :meth:`ReportSnapshot.to_stored`
writes it, and every process serves what :meth:`ReportSnapshot.from_stored`
reads back: the lease holder and the others serve the same bytes."""
from __future__ import annotations

import logging
import math
from collections.abc import Mapping
from dataclasses import dataclass, field, replace
from typing import Any

from ..samples.history import is_number, is_time
from ..samples.store import EXCERPT_KEY
from . import schema
from .model import ShiftReport, history_rows, json_safe, outlier_answers
from .projection import report_maps

__all__ = ["ReportSnapshot", "build_snapshot", "excerpts_before", "page_maps"]

log = logging.getLogger(__name__)

#: The name of the deployment's stored snapshot in the sample store.
STORED_RESULT = "report"
#: The deployment's facts that travel with a pooled snapshot (``/v1/shift`` shows them).
EXTRA_KEYS = ("window", "origins", "computed_by", "skewed", "recipes", "stored")


@dataclass(frozen=True)
class ReportSnapshot:
    """What a report shows, as plain JSON-safe data; never changed once made.

    ``report`` is :meth:`ShiftReport.to_json`; ``outliers`` and ``clusters``
    are model -> modality -> items; ``maps`` the page's maps (None when they
    could not be made); ``history`` one row per report row; ``fingerprints``
    served model -> the recipe fingerprint the rows were judged against;
    ``scope`` "process" (one process's rings) or "deployment" (the pooled
    store); ``extra`` the deployment's facts (:data:`EXTRA_KEYS`)."""

    report: dict[str, Any]
    time: float
    seconds: float
    outliers: dict[str, Any] = field(default_factory=dict)
    clusters: dict[str, Any] = field(default_factory=dict)
    maps: dict[str, Any] | None = None
    history: list[dict[str, Any]] = field(default_factory=list)
    fingerprints: dict[str, str] = field(default_factory=dict)
    scope: str = "process"
    extra: dict[str, Any] = field(default_factory=dict)
    #: Items of the stored result that failed their check and were dropped (not stored).
    bad_items: int = field(default=0, compare=False)

    @property
    def rows(self) -> list[dict[str, Any]]:
        return self.report.get("rows") or []

    def to_stored(self) -> dict[str, Any]:
        """The stored result's form (JSON); the keys an older reader knows stay where they were."""
        return {"report": self.report, "time": self.time, "seconds": self.seconds, "outliers": self.outliers,
                "clusters": self.clusters, "maps": self.maps, "history": self.history,
                "fingerprints": self.fingerprints, **{k: self.extra.get(k) for k in EXTRA_KEYS}}

    @classmethod
    def from_stored(cls, result: Any, scope: str = "deployment") -> ReportSnapshot | None:
        """The snapshot of a stored result, or None when it is not one this
        version reads: it must say what the report is and when. Every part
        is checked as it is read (:mod:`.schema`): an item that is not one
        is dropped and counted in ``bad_items``, the rest served. A result
        of an older version (no history rows) gets them made from its report."""
        if not isinstance(result, dict):
            return None
        result = json_safe(result)
        tally = schema.Tally()
        rep = schema.report(result.get("report"), tally)
        t, seconds = result.get("time"), result.get("seconds") or 0.0
        if rep is None or not is_time(t) or not is_number(seconds):
            return None
        outliers, clusters = schema.outliers(result.get("outliers"), tally), schema.clusters(result.get("clusters"), tally)
        history = schema.history(result.get("history"), tally)
        if history is None:
            history = history_rows(rep, outlier_answers(outliers, clusters))
        return cls(report=rep, time=float(t), seconds=float(seconds), outliers=outliers, clusters=clusters,
                   maps=schema.maps(result.get("maps"), tally) if result.get("maps") is not None else None,
                   history=history, fingerprints=schema.fingerprints(result.get("fingerprints"), tally),
                   scope=scope, extra=schema.extra(result, tally), bad_items=tally.bad)

    def without_excerpts(self, cut: float) -> ReportSnapshot:
        """This snapshot without the excerpts collected before the Unix time
        ``cut``, nor terms made from one (``inf``: none at all); itself when
        it holds none of them."""
        outliers, clusters = excerpts_before(self.outliers, self.clusters, cut)
        if outliers is self.outliers and clusters is self.clusters:
            return self
        return replace(self, outliers=outliers, clusters=clusters)


def _fresh(item: Mapping[str, Any], cut: float) -> bool:
    return is_time(item.get("time")) and item["time"] >= cut


def excerpts_before(outliers: dict[str, Any], clusters: dict[str, Any],
                    cut: float) -> tuple[dict[str, Any], dict[str, Any]]:
    """``outliers`` and ``clusters`` (model -> modality -> items) without the
    excerpts of messages collected before ``cut`` (or of unknown time) and
    without the terms made from any such excerpt (``terms_time``, the oldest
    excerpt they were made from); the same objects when nothing goes."""
    def item(o: Mapping[str, Any]) -> Mapping[str, Any]:
        return {k: v for k, v in o.items() if k != "excerpt"} if "excerpt" in o and not _fresh(o, cut) else o

    def group(c: Mapping[str, Any]) -> Mapping[str, Any]:
        examples = [item(x) for x in c.get("examples") or []]
        # Empty terms say nothing: kept unless nothing of the excerpts may be served.
        stale = "terms" in c and (cut == math.inf or bool(c["terms"]) and not (
            is_time(c.get("terms_time")) and c["terms_time"] >= cut))
        if not stale and all(a is b for a, b in zip(examples, c.get("examples") or [])):
            return c
        return {**{k: v for k, v in c.items() if not (stale and k in ("terms", "terms_time"))},
                "examples": examples}

    def each(nested: dict[str, Any], fix) -> dict[str, Any]:
        out = {m: {mod: [fix(x) for x in items] for mod, items in per.items()} for m, per in nested.items()}
        same = all(a is b for m, per in nested.items() for mod, items in per.items()
                   for a, b in zip(items, out[m][mod]))
        return nested if same else out

    return each(outliers, item), each(clusters, group)


def alarm_states(snapshot: ReportSnapshot | None) -> dict[tuple[str, str], Any]:
    """(model, modality) -> the sequential alarm's state each row of
    ``snapshot`` ended with: the next report goes on from it."""
    if snapshot is None:
        return {}
    return {(r.get("model"), r.get("modality")): r.get("alarm_state") for r in snapshot.rows
            if isinstance(r.get("alarm_state"), dict)}


def page_maps(report: ShiftReport, outliers: Mapping[str, Any] | None) -> dict | None:
    """The page's maps of ``report``, flagged points coloured by their
    cluster; None when they cannot be made (the report stands without them)."""
    try:
        return json_safe(report_maps(report, outliers))
    except Exception as e:
        log.warning("olvane shift: the page's map failed: %s", e)
        return None


def build_snapshot(report: ShiftReport, *, time: float, seconds: float,
                   records: Mapping[tuple[str, str], list] | None = None,
                   profiles: Mapping[str, Any] | None = None, fingerprints: Mapping[str, str] | None = None,
                   scope: str = "process", extra: Mapping[str, Any] | None = None) -> ReportSnapshot:
    """The one pipeline: report -> its JSON -> outliers -> clusters -> the
    page's maps -> history rows. ``records`` are the live samples as read
    from a store (their times, origins, ids and excerpts go with the flagged
    messages); ``profiles`` the recipes' term profiles per served model."""
    rep = json_safe(report.to_dict())
    outliers = json_safe(report.outliers(records))
    clusters = json_safe(_with_terms_time(report.clusters(records, profiles), report, records))
    return ReportSnapshot(report=rep, time=float(time), seconds=float(seconds), outliers=outliers,
                          clusters=clusters, maps=page_maps(report, outliers),
                          history=history_rows(rep, outlier_answers(outliers, clusters)),
                          fingerprints=dict(fingerprints or {}), scope=scope, extra=dict(extra or {}))


def _with_terms_time(clusters: dict[str, Any], report: ShiftReport,
                     records: Mapping[tuple[str, str], list] | None) -> dict[str, Any]:
    """``clusters`` with ``terms_time`` beside their terms: the collection
    time of the oldest excerpt of the cluster's messages, those the terms
    were made from. Terms are excerpt text: they are served no longer than
    the oldest excerpt behind them (``excerpts_before``)."""
    for r in report.rows:
        recs = (records or {}).get((r.model, r.modality)) or []
        oldest: dict[int, float] = {}
        for o in r.outliers:
            rec = recs[o["index"]] if "cluster" in o and o["index"] < len(recs) else None
            if rec is not None and rec.meta.get(EXCERPT_KEY):
                c = int(o["cluster"])
                oldest[c] = min(oldest.get(c, rec.time), rec.time)
        for c in (clusters.get(r.model) or {}).get(r.modality) or []:
            if c.get("terms") and c.get("id") in oldest:
                c["terms_time"] = oldest[c["id"]]
    return clusters
