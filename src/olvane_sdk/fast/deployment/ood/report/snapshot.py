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
from dataclasses import dataclass, field
from typing import Any

from .model import ShiftReport, history_rows, json_safe, outlier_answers
from .projection import report_maps

__all__ = ["ReportSnapshot", "build_snapshot", "page_maps"]

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
        version reads: it must say what the report is and when, or serving
        it would fail further on. A result of an older version (no history
        rows) gets them made from its report."""
        if not isinstance(result, dict) or not isinstance(result.get("report"), dict):
            return None
        rows = result["report"].get("rows", [])
        if not isinstance(rows, list) or not all(isinstance(r, dict) for r in rows):
            return None
        t, seconds = result.get("time"), result.get("seconds") or 0.0
        if not all(isinstance(v, (int, float)) and not isinstance(v, bool) and math.isfinite(v) for v in (t, seconds)):
            return None
        for part in ("window", "origins", "outliers", "clusters", "maps", "recipes", "fingerprints"):
            if result.get(part) is not None and not isinstance(result[part], dict):
                return None
        if result.get("history") is not None and not isinstance(result["history"], list):
            return None
        result = json_safe(result)
        outliers, clusters = result.get("outliers") or {}, result.get("clusters") or {}
        history = result.get("history")
        if history is None:
            history = history_rows(result["report"], outlier_answers(outliers, clusters))
        return cls(report=result["report"], time=float(t), seconds=float(seconds), outliers=outliers,
                   clusters=clusters, maps=result.get("maps"), history=history,
                   fingerprints=result.get("fingerprints") or {}, scope=scope,
                   extra={k: result.get(k) for k in EXTRA_KEYS})


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
    clusters = json_safe(report.clusters(records, profiles))
    return ReportSnapshot(report=rep, time=float(time), seconds=float(seconds), outliers=outliers,
                          clusters=clusters, maps=page_maps(report, outliers),
                          history=history_rows(rep, outlier_answers(outliers, clusters)),
                          fingerprints=dict(fingerprints or {}), scope=scope, extra=dict(extra or {}))
