"""What an adoption takes from the sample store: the stored live samples of
one served model and modality that the current report put in given
clusters, or that were collected in a time range. The command reads them
from the store directly, or from a server (``GET /v1/shift/samples``),
which answers from the report it serves."""
from __future__ import annotations

import time
from dataclasses import dataclass, field
from typing import Any

from ..samples.store import WINDOW_LATEST, Record, SampleStore, sample_key
from .snapshot import ReportSnapshot


class Refused(ValueError):
    """What cannot be adopted, said in one line."""


@dataclass
class Selection:
    records: list[Record]          # the samples chosen
    window: list[Record]           # the row's window they were chosen from
    about: str                     # what chose them, a phrase
    fields: dict[str, Any] = field(default_factory=dict)  # the same, for the provenance


def select(store: SampleStore, snapshot: ReportSnapshot | None, model: str, modality: str, *,
           clusters: list[int] | None = None, since: float | None = None, until: float | None = None,
           now: float | None = None) -> Selection:
    """The members of ``clusters`` of ``snapshot`` (each flagged message is
    found in the window by its vector's :func:`sample_key`), or the samples
    collected between ``since`` and ``until``. Refused: a cluster the report
    does not have, or no report to take clusters from."""
    window = store.window(latest=WINDOW_LATEST, keys=[(model, modality)]).records.get((model, modality), [])
    if clusters:
        if snapshot is None:
            raise Refused("there is no current report to take clusters from")
        known = {c.get("id") for c in (snapshot.clusters.get(model) or {}).get(modality) or []
                 if isinstance(c, dict)}
        unknown = sorted(set(clusters) - known)
        if unknown:
            raise Refused(f"the current report (of {time.strftime('%H:%M:%S UTC', time.gmtime(snapshot.time))}) "
                          f"has no cluster {', '.join(map(str, unknown))} for {model} / {modality}; it has "
                          f"{', '.join(map(str, sorted(k for k in known if k is not None))) or 'none'}")
        members = {o.get("sample") for o in (snapshot.outliers.get(model) or {}).get(modality) or []
                   if isinstance(o, dict) and o.get("cluster") in clusters}
        chosen = [r for r in window if sample_key(r.embedding) in members]
        return Selection(chosen, window, f"cluster{'s' if len(clusters) > 1 else ''} {', '.join(map(str, clusters))}",
                         {"clusters": list(clusters), "report_time": snapshot.time})
    if since is None:
        raise Refused("give clusters or a time range")
    until = (time.time() if now is None else now) if until is None else until
    chosen = [r for r in window if since <= r.time <= until]
    return Selection(chosen, window, f"{time.strftime('%Y-%m-%d %H:%M:%S', time.gmtime(since))} to "
                                     f"{time.strftime('%H:%M:%S UTC', time.gmtime(until))}",
                     {"since": since, "until": until})


def to_json(sel: Selection) -> dict[str, Any]:
    """The answer of ``GET /v1/shift/samples``: the chosen samples with their embeddings."""
    return {"about": sel.about, "fields": sel.fields, "window": len(sel.window),
            "samples": [{"time": r.time, "origin": r.origin, "meta": {k: v for k, v in r.meta.items()
                                                                      if k in ("fingerprint", "model_id")},
                         "embedding": [float(x) for x in r.embedding]} for r in sel.records]}


def from_json(doc: Any) -> Selection:
    """A :func:`to_json` answer read back (what a server sent: checked)."""
    if not isinstance(doc, dict) or not isinstance(doc.get("samples"), list):
        raise Refused("the server's answer is not a sample selection")
    records = []
    for s in doc["samples"]:
        if not (isinstance(s, dict) and isinstance(s.get("embedding"), list) and isinstance(s.get("time"), (int, float))):
            raise Refused("the server's answer holds a sample this version does not read")
        meta = s.get("meta") if isinstance(s.get("meta"), dict) else {}
        records.append(Record("", "", s["embedding"], float(s["time"]), str(s.get("origin") or ""),
                              {k: v for k, v in meta.items() if isinstance(v, str)}))
    fields = doc.get("fields") if isinstance(doc.get("fields"), dict) else {}
    return Selection(records, [], str(doc.get("about") or "the server's selection"), fields)
