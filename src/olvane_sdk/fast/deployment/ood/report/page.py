"""The operator's page: one self-contained HTML document with a section per
served model and modality (the verdict and, in words, the figures that
decided it; the history of verdict, AUC and out-of-distribution share as SVG
charts; a 2-D map of reference and live; the flagged clusters).

Nothing is loaded from anywhere: inline CSS and inline SVG, no script, so
the page works air-gapped and under :data:`CSP`. Pure: :func:`render_page`
takes plain data and returns the HTML string; :func:`map_points` projects the
embeddings (PCA with numpy) for it. ``GET /v1/shift/ui`` and
``olvane-shift report --html`` both write it.
"""
from __future__ import annotations

import html
import math
import time
from collections.abc import Mapping, Sequence
from typing import TYPE_CHECKING, Any

from . import schema
from .model import ModalityRow, outlier_answers
from .projection import MAP_POINTS, flagged_of, map_points, report_maps  # noqa: F401  (also for callers)
from .stats import ShareTest
from .verdict import canonical

if TYPE_CHECKING:
    from .snapshot import ReportSnapshot

#: The page's Content-Security-Policy: nothing from any host, inline styles only.
CSP = "default-src 'none'; style-src 'unsafe-inline'; img-src data:"

_VERDICT_COLOURS = {"ok": "#2e7d32", "drift": "#b58900", "novel": "#8e24aa", "shift": "#c62828", "n/a": "#8a8a8a"}
_VERDICT_LEVEL = {"ok": 0, "drift": 1, "novel": 2, "shift": 3}
_CLUSTER_COLOURS = ("#d62728", "#ff7f0e", "#9467bd", "#8c564b", "#e377c2", "#17becf", "#bcbd22", "#1f77b4")
_REF_COLOUR, _LIVE_COLOUR, _FLAG_COLOUR = "#b0b7c3", "#4f8fd6", "#d62728"

_CSS = """
body{font:15px/1.45 system-ui,-apple-system,"Segoe UI",Roboto,sans-serif;margin:0;background:#f4f5f7;color:#1d2330}
header{background:#1d2330;color:#fff;padding:14px 28px}header h1{margin:0;font-size:20px}
header p{margin:2px 0 0;color:#c5cad3;font-size:13px}
main{max-width:1280px;margin:0 auto;padding:18px 28px}
section{background:#fff;border-radius:8px;box-shadow:0 1px 3px #0002;margin:0 0 22px;padding:16px 20px}
h2{margin:0 0 6px;font-size:18px}h3{margin:14px 0 6px;font-size:14px;color:#4a5263}
.badge{display:inline-block;border-radius:4px;color:#fff;padding:1px 9px;font-size:14px;margin-left:8px;
text-transform:uppercase;letter-spacing:.04em}
.why{margin:6px 0 10px}.note{color:#69707d;font-size:13px}
.grid{display:grid;grid-template-columns:repeat(auto-fit,minmax(330px,1fr));gap:14px;margin-bottom:12px}
.grid.two{grid-template-columns:repeat(auto-fit,minmax(420px,1fr))}
figure{margin:0}figcaption{font-size:13px;color:#4a5263;margin-bottom:2px}
svg{display:block;width:100%;height:auto;background:#fbfbfc;border:1px solid #e3e5ea;border-radius:4px}
svg text{font:11px system-ui,sans-serif;fill:#4a5263}
.cards{display:grid;grid-template-columns:repeat(auto-fill,minmax(280px,1fr));gap:10px}
.card{border:1px solid #e3e5ea;border-left:6px solid #999;border-radius:4px;padding:8px 10px;font-size:13px}
.card ul{margin:4px 0 0;padding-left:18px}.card li{color:#33394a;overflow-wrap:anywhere}
.key span{display:inline-block;width:10px;height:10px;border-radius:50%;margin:0 4px 0 10px}
section.idle{padding:8px 20px}section.idle h2{font-size:15px}section.idle p{margin:2px 0 0}
dl{display:grid;grid-template-columns:max-content 1fr;gap:2px 12px;font-size:13px;margin:6px 0}dt{color:#69707d}
"""


# --------------------------------------------------------------------------
# the page


def render_page(report: Mapping[str, Any] | None, history: Mapping[tuple[str, str], Sequence[Mapping]] | None = None,
                maps: Mapping[str, Mapping[str, Mapping]] | None = None, outliers: Mapping[str, Any] | None = None, *,
                title: str = "olvane shift", subtitle: str = "", now: float | None = None) -> str:
    """The page for ``report`` (its JSON form, as ``/v1/shift`` serves it):
    ``history`` per (model, modality) as ``/v1/shift/history`` rows, ``maps``
    model -> modality -> :func:`map_points` (:func:`report_maps`), ``outliers`` model -> modality -> the flagged
    messages (a list) or {"outliers", "clusters"}. A row without live
    traffic is one line."""
    # What the page is given may come from a store anyone could write to:
    # each part is checked first, and what fails is left out.
    tally = schema.Tally()
    report = schema.report(report, tally) or {}
    history = {k: schema.history(v, tally) or [] for k, v in history.items()} if isinstance(history, Mapping) else {}
    maps, outliers = schema.maps(maps, tally), schema.flagged(outliers, tally)
    settings = report.get("settings") or {}
    now = time.time() if now is None else now
    rows = list(report.get("rows") or [])
    body = [_section(r, settings, history.get(_key(r)) or [], (maps.get(r.get("model")) or {}).get(r.get("modality")),
                     flagged_of(outliers, r))
            if r.get("n_live") else _idle(r) for r in rows]
    if tally.bad:
        body.append(f"<p class=\"note\">{tally.bad:,} stored items this version does not read were left out.</p>")
    if not rows:
        body.append("<section><h2>No report yet</h2><p>The server has not computed a shift report: it needs "
                    "live traffic and loaded recipes.</p></section>")
    stamp = time.strftime("%Y-%m-%d %H:%M:%S UTC", time.gmtime(now))
    return ("<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
            f"<meta http-equiv=\"Content-Security-Policy\" content=\"{CSP}\">"
            "<meta name=\"viewport\" content=\"width=device-width,initial-scale=1\">"
            f"<title>{_e(title)}</title><style>{_CSS}</style></head><body>"
            f"<header><h1>{_e(title)}</h1><p>{_e(subtitle + ' · ' if subtitle else '')}generated {stamp}</p></header>"
            f"<main>{''.join(body)}</main></body></html>\n")


def page_of(snapshot: ReportSnapshot | None, history: Mapping[tuple[str, str], Sequence[Mapping]] | None = None, *,
            excerpts: bool = False, subtitle: str = "", title: str = "olvane shift",
            answers: Mapping[str, Any] | None = None, now: float | None = None) -> str:
    """The page of one report snapshot: what ``GET /v1/shift/ui`` serves and
    ``olvane-shift report --html`` writes, from the same snapshot the same
    page. ``answers`` (model -> modality -> {"outliers", "clusters"}) stand
    for the snapshot's own when the caller filtered them; otherwise
    excerpts are dropped unless ``excerpts``."""
    if snapshot is None:
        return render_page(None, history, None, None, title=title, subtitle=subtitle, now=now)
    if answers is None:
        answers = outlier_answers(snapshot.outliers, snapshot.clusters)
        if not excerpts:
            answers = {m: {k: _without_excerpts(a) for k, a in per.items()} for m, per in answers.items()}
    return render_page(snapshot.report, history, snapshot.maps, answers, title=title, subtitle=subtitle, now=now)


def _without_excerpts(answer: Mapping[str, Any]) -> dict[str, Any]:
    return {"outliers": [{k: v for k, v in o.items() if k != "excerpt"} for o in answer.get("outliers") or []],
            "clusters": [{**c, "examples": [{k: v for k, v in x.items() if k != "excerpt"}
                                            for x in c.get("examples") or [] if isinstance(x, Mapping)]}
                         for c in answer.get("clusters") or [] if isinstance(c, Mapping)]}


def _idle(row: Mapping) -> str:
    """A row without live traffic: one line."""
    model, modality = _key(row)
    verdict = canonical(str(row.get("verdict") or "n/a"))
    return (f"<section id=\"{_e(model)}--{_e(modality)}\" class=\"idle\"><h2>{_e(model)} · {_e(modality)}"
            f"<span class=\"badge\" style=\"background:{_VERDICT_COLOURS.get(verdict, '#8a8a8a')}\">{_e(verdict)}</span>"
            f"</h2><p class=\"note\">No live traffic in the window; reference {_n(row.get('n_train'))} train / "
            f"{_n(row.get('n_test'))} test.</p></section>")


def _key(row: Mapping) -> tuple[str, str]:
    return str(row.get("model")), str(row.get("modality"))


def _section(row: Mapping, settings: Mapping, history: Sequence[Mapping], points: Mapping | None,
             flagged: tuple[list, list]) -> str:
    model, modality = _key(row)
    verdict = canonical(str(row.get("verdict") or "n/a"))
    items, clusters = flagged
    colour = _VERDICT_COLOURS.get(verdict, "#8a8a8a")
    facts = [("live messages", _n(row.get("n_live"))), ("reference (train / test)",
             f"{_n(row.get('n_train'))} / {_n(row.get('n_test'))}")]
    if row.get("repeats"):
        facts.append(("repeats folded", _n(row.get("repeats"))))
    facts.append(("distinct live messages", f"{_n(_distinct(row))} (every share on this page is of these)"))
    if items:
        facts.append(("flagged messages", _n(len(items))))
        if (row.get("ood") or {}).get("grouped") is not None:
            facts.append(("flagged near another flagged", _n(row["ood"]["grouped"])))
    note = f"<p class=\"note\">{_e(row.get('note'))}</p>" if row.get("note") else ""
    charts = "".join([
        _figure("Verdict over time", _verdict_chart(history)),
        _figure(f"AUC (live vs reference), shift gate {_f(settings.get('auc_threshold'))}",
                _line_chart(history, [("auc", "#1f5fae", "AUC")], gate=settings.get("auc_threshold"), lo=0.4, hi=1.0)),
        _figure("Out-of-distribution share against its bound",
                _line_chart(history, [("ood_share", "#c62828", "share"), ("ood_bound", "#7a808c", "bound")],
                            lo=0.0, percent=True)),
    ])
    lower = f"<div class=\"grid two\">{_figure(_map_caption(points), _map_chart(points, items))}" \
            f"<div>{_cluster_cards(clusters, row, items)}</div></div>"
    return (f"<section id=\"{_e(model)}--{_e(modality)}\"><h2>{_e(model)} · {_e(modality)}"
            f"<span class=\"badge\" style=\"background:{colour}\">{_e(verdict)}</span></h2>"
            f"<p class=\"why\">{_e(explain(row, settings, clusters))}</p>"
            f"<dl>{''.join(f'<dt>{_e(k)}</dt><dd>{_e(v)}</dd>' for k, v in facts)}</dl>{note}"
            f"<div class=\"grid\">{charts}</div>{lower}</section>")


def _distinct(row: Mapping) -> Any:
    n = row.get("n_live")
    return n - (row.get("repeats") or 0) if _finite(n) else None


#: Below this share of the distinct live messages past the tail, what moved
#: is a part of the traffic (a new group), not the whole of it.
PART = 0.5


def explain(row: Mapping, settings: Mapping, clusters: Sequence[Mapping] = ()) -> str:
    """The verdict and, in words, the figures that decided it: a new group
    of about N % of the distinct live messages, or the whole distribution
    moving. A group that also carries the AUC past the gate is told as the
    group, with the AUC as what it did."""
    verdict = canonical(str(row.get("verdict") or "n/a"))
    live, ood = row.get("live") or {}, row.get("ood") or {}
    auc, p, mmd2 = live.get("auc"), live.get("p_value"), live.get("mmd2")
    alpha, gate, alpha_novel = settings.get("alpha"), settings.get("auc_threshold"), settings.get("alpha_novel")
    share, bound, sp = ood.get("share"), ood.get("bound"), ood.get("p_value")
    tests = (f"A classifier tells live from reference with AUC {_f(auc)} (shift gate {_f(gate)}); the MMD test "
             f"gives MMD² {_f(mmd2, 4)} at p = {_p(p)} (alpha {_p(alpha)}).")
    distinct = _distinct(row)
    share_text = (f" {_pct(share)} of the {_n(distinct)} distinct live messages are past the reference's tail, "
                  f"where normal traffic puts at most {_pct(bound)} (p = {_p(sp)}, alpha {_p(alpha_novel)}).") \
        if share is not None else ""
    if verdict == "novel" and (test := _large_group(row, alpha_novel)) is not None:
        share_text += (f" {_n(test.grouped)} of them lie nearer each other than the reference: against the "
                       f"calibration's central estimate p = {_p(test.central_p)}.")
    group = _group(clusters)
    part = _finite(share) and share < PART and group is not None
    if verdict == "shift" and part:
        head = (f"Shift, from a new group: {group}, while the other messages look like the reference. "
                f"The group alone lets a classifier tell live from reference (AUC {_f(auc)}, past the shift gate "
                f"{_f(gate)}).")
    elif verdict == "shift":
        head = (f"Shift: the whole live traffic has moved away from the reference ({_pct(share)} of the distinct "
                "live messages past its tail)." if _finite(share) else
                "Shift: the whole live traffic has moved away from the reference.")
    elif verdict == "novel":
        head = (f"Novel: a new group, {group}, past the reference's tail; the rest of the traffic looks like the "
                "reference." if group is not None else
                "Novel: a new kind of message, more of them past the reference's tail than normal traffic has.")
    elif verdict == "drift":
        head = "Drift: the distribution changed measurably, but not enough to tell the sets apart reliably."
    elif verdict == "ok":
        head = "OK: live traffic looks like the reference."
    else:
        return "No verdict: " + (str(row.get("note") or "not enough data")) + "."
    return head + " " + tests + share_text


def _group(clusters: Sequence[Mapping]) -> str | None:
    """The newest cluster in words ("about 14% of the distinct live messages
    (cluster 0: billing, refund)"), or None without one of two or more."""
    top = next((c for c in clusters if isinstance(c, Mapping) and _finite(c.get("size")) and c["size"] >= 2), None)
    if top is None:
        return None
    terms = ", ".join(str(t) for t in (top.get("terms") or [])[:4])
    return (f"about {_pct(top.get('share'))} of the distinct live messages "
            f"(cluster {top.get('id')}, {_n(top.get('size'))} distinct messages{': ' + terms if terms else ''})")


def _large_group(row: Mapping, alpha_novel: Any) -> ShareTest | None:
    """The row's share test when only its large group's test decided
    (a row from a newer or damaged report: None)."""
    try:
        test = ModalityRow.from_dict(row).ood
        return test if test is not None and test.by_large_group(float(alpha_novel)) else None
    except (TypeError, ValueError):
        return None


def _figure(caption: str, svg: str) -> str:
    return f"<figure><figcaption>{_e(caption)}</figcaption>{svg}</figure>"


# Chart geometry: a 400 x 150 view box with room for the axis labels.
_W, _H, _L, _R, _T, _B = 400, 150, 38, 8, 8, 20


#: The most time buckets a history chart draws: a line keeps each bucket's
#: lowest and highest point and a dot on its highest, a verdict band merges
#: what falls within one, so a chart's size does not grow with the history.
_BUCKETS = 120


def _times(history: Sequence[Mapping]) -> tuple[list[Mapping], float, float]:
    """The rows with a time, oldest first, and the span they cover."""
    rows = sorted((h for h in history if isinstance(h, Mapping) and type(t := h.get("time")) in (int, float)
                   and math.isfinite(t)), key=lambda h: h["time"])
    if not rows:
        return [], 0.0, 1.0
    t0, t1 = rows[0]["time"], rows[-1]["time"]
    return rows, t0, (t1 if t1 > t0 else t0 + 1.0)


def _tx(t: float, t0: float, t1: float) -> float:
    return _L + (t - t0) / (t1 - t0) * (_W - _L - _R)


def _svg(inner: str, label: str, height: int = _H) -> str:
    return (f"<svg class=\"chart\" viewBox=\"0 0 {_W} {height}\" role=\"img\" aria-label=\"{_e(label)}\" "
            f"xmlns=\"http://www.w3.org/2000/svg\">{inner}</svg>")


def _time_axis(t0: float, t1: float, n: int) -> str:
    if not n:
        return f"<text x=\"{_W / 2}\" y=\"{_H / 2}\" text-anchor=\"middle\">no history yet</text>"
    fmt = "%H:%M" if t1 - t0 < 86400 else "%m-%d %H:%M"
    return (f"<text x=\"{_L}\" y=\"{_H - 5}\">{time.strftime(fmt, time.gmtime(t0))}</text>"
            f"<text x=\"{_W - _R}\" y=\"{_H - 5}\" text-anchor=\"end\">{time.strftime(fmt, time.gmtime(t1))} UTC"
            f" · {n:,} report{'s' if n != 1 else ''}</text>")


def _verdict_chart(history: Sequence[Mapping]) -> str:
    """A band per verdict; in each, a bar per span of reports with that
    verdict, where spans less than a bucket (1/:data:`_BUCKETS` of the
    chart) apart merge: every verdict a report had shows, however brief,
    and a verdict flapping for a week stays at most a bar per bucket."""
    rows, t0, t1 = _times(history)
    # A report holds until the next one; the last one for the mean interval.
    end = t1 + (t1 - t0) / (len(rows) - 1) if len(rows) > 1 else t1
    gap = (end - t0) / _BUCKETS
    band = (_H - _T - _B) / 5
    names = ["shift", "novel", "drift", "ok", "n/a"]
    parts = [f"<text x=\"{_L - 4}\" y=\"{_T + band * i + band / 2 + 4:.1f}\" text-anchor=\"end\">{name}</text>"
             for i, name in enumerate(names)]
    spans: dict[str, list[list]] = {}  # verdict -> [first time, last time, count, held until]
    for k, h in enumerate(rows):
        v = canonical(str(h.get("verdict") or "n/a"))
        v = v if v in names else "n/a"
        t, until = h["time"], rows[k + 1]["time"] if k + 1 < len(rows) else end
        runs = spans.setdefault(v, [])
        if runs and t - runs[-1][3] <= gap:
            runs[-1][1:] = [t, runs[-1][2] + 1, until]
        else:
            runs.append([t, t, 1, until])
    for v, runs in spans.items():
        i = names.index(v)
        for first, last, count, until in runs:
            x0, x1 = _tx(first, t0, end), _tx(until, t0, end)
            x0, x1 = min(x0, _W - _R - 2), min(max(x1, x0 + 2), _W - _R)
            parts.append(f"<rect x=\"{x0:.1f}\" y=\"{_T + band * i + 2:.1f}\" width=\"{x1 - x0:.1f}\" "
                         f"height=\"{band - 4:.1f}\" fill=\"{_VERDICT_COLOURS[v]}\"><title>{_stamp(first)}"
                         f"{' to ' + _stamp(last) if count > 1 else ''}: {_e(v)} ({count:,} report"
                         f"{'s' if count > 1 else ''})</title></rect>")
    return _svg("".join(parts) + _time_axis(t0, t1, len(rows)), "verdict history")


def _buckets(pts: list[tuple[float, float]], t0: float, t1: float) -> tuple[list, list]:
    """(the line's points, the dots): per bucket of time, its lowest and
    highest point in time order, and a dot on the highest (every point
    while there are no more than :data:`_BUCKETS`)."""
    if len(pts) <= _BUCKETS:
        return pts, pts
    groups: dict[int, list[tuple[float, float]]] = {}
    for p in pts:
        groups.setdefault(min(int((p[0] - t0) / (t1 - t0) * _BUCKETS), _BUCKETS - 1), []).append(p)
    line, dots = [], []
    for g in groups.values():
        lo, hi = min(g, key=lambda p: p[1]), max(g, key=lambda p: p[1])
        line += sorted({lo, hi})
        dots.append(hi)
    return line, dots


def _line_chart(history: Sequence[Mapping], series: Sequence[tuple[str, str, str]], *, gate=None,
                lo: float = 0.0, hi: float | None = None, percent: bool = False) -> str:
    rows, t0, t1 = _times(history)
    points = {k: [(h["time"], v) for h in rows if type(v := h.get(k)) in (int, float) and math.isfinite(v)]
              for k, _, _ in series}
    values = [v for pts in points.values() for _, v in pts]
    top = hi if hi is not None else max([*values, 0.01]) * 1.15
    bottom = min([lo, *values]) if values else lo
    span = top - bottom or 1.0

    def y(v: float) -> float:
        return _T + (top - v) / span * (_H - _T - _B)

    fmt = (lambda v: f"{v * 100:.3g}%") if percent else (lambda v: f"{v:.2f}")
    parts = [f"<line x1=\"{_L}\" x2=\"{_W - _R}\" y1=\"{y(v):.1f}\" y2=\"{y(v):.1f}\" stroke=\"#e3e5ea\"/>"
             f"<text x=\"{_L - 4}\" y=\"{y(v) + 4:.1f}\" text-anchor=\"end\">{fmt(v)}</text>"
             for v in (bottom, (bottom + top) / 2, top)]
    if _finite(gate):
        parts.append(f"<line x1=\"{_L}\" x2=\"{_W - _R}\" y1=\"{y(gate):.1f}\" y2=\"{y(gate):.1f}\" "
                     "stroke=\"#c62828\" stroke-dasharray=\"4 3\"/>")
    for key, colour, name in series:
        line, dots = _buckets(points[key], t0, t1)
        if len(line) > 1:
            path = " ".join(f"{_tx(t, t0, t1):.1f},{y(v):.1f}" for t, v in line)
            parts.append(f"<polyline points=\"{path}\" fill=\"none\" stroke=\"{colour}\" stroke-width=\"1.6\"/>")
        for t, v in dots:
            parts.append(f"<circle cx=\"{_tx(t, t0, t1):.1f}\" cy=\"{y(v):.1f}\" r=\"2.2\" fill=\"{colour}\">"
                         f"<title>{_stamp(t)}: {name} {fmt(v)}</title></circle>")
    return _svg("".join(parts) + _time_axis(t0, t1, len(rows)), "history of " + ", ".join(n for _, _, n in series))


def _map_caption(points: Mapping | None) -> str:
    if not points:
        return "Map: no embeddings to show"
    shown = len(points.get("reference") or []) + len(points.get("live") or []) + len(points.get("flagged") or [])
    return (f"Map (first two principal components) of {_n(points.get('n_reference'))} reference and "
            f"{_n(points.get('n_live'))} live messages: {shown:,} points drawn, flagged on top")


def _map_chart(points: Mapping | None, items: Sequence[Mapping] = ()) -> str:
    """The map; a flagged point's title holds its cluster, request ids and
    excerpt (``items``: the flagged messages in the map's order, most
    distant first, as far as they were kept)."""
    size = 260
    inner = []
    if points:
        pad = 10

        def at(x: float, y: float) -> tuple[float, float]:
            return pad + x * (_W - 2 * pad), pad + (1 - y) * (size - 2 * pad - 18)

        # Live as small translucent squares over larger reference ones: where
        # live lies on the reference, the reference still shows through.
        for key, colour, r, opacity in (("reference", _REF_COLOUR, 2.2, 0.9), ("live", _LIVE_COLOUR, 1.4, 0.55)):
            # One path of tiny squares per class: thousands of points stay one element.
            d = "".join(f"M{x - r:.1f} {y - r:.1f}h{2 * r}v{2 * r}h-{2 * r}z"
                        for x, y in (at(*p) for p in points.get(key) or []))
            if d:
                inner.append(f"<path d=\"{d}\" fill=\"{colour}\" fill-opacity=\"{opacity}\"/>")
        for i, (x0, y0, c) in enumerate(points.get("flagged") or []):
            x, y = at(x0, y0)
            label = "flagged" if c is None else f"flagged, cluster {c}"
            item = items[i] if i < len(items) and isinstance(items[i], Mapping) else {}
            ids = [f"{name} {item[k]}" for k, name in (("request_id", "request"), ("client_request_id", "client id"))
                   if item.get(k)]
            text = " · ".join([label, *ids] + ([f"“{_excerpt(item['excerpt'], 120)}”"] if item.get("excerpt") else []))
            inner.append(f"<circle cx=\"{x:.1f}\" cy=\"{y:.1f}\" r=\"3\" fill=\"{_cluster_colour(c)}\" "
                         f"stroke=\"#fff\" stroke-width=\"0.6\"><title>{_e(text)}</title></circle>")
        key_y = size - 6
        inner.append(f"<circle cx=\"14\" cy=\"{key_y - 4}\" r=\"4\" fill=\"{_REF_COLOUR}\"/>"
                     f"<text x=\"22\" y=\"{key_y}\">reference</text>"
                     f"<circle cx=\"94\" cy=\"{key_y - 4}\" r=\"4\" fill=\"{_LIVE_COLOUR}\"/>"
                     f"<text x=\"102\" y=\"{key_y}\">live</text>"
                     f"<circle cx=\"144\" cy=\"{key_y - 4}\" r=\"4\" fill=\"{_FLAG_COLOUR}\"/>"
                     f"<text x=\"152\" y=\"{key_y}\">flagged (colour: cluster, as on its card)</text>")
    else:
        inner.append(f"<text x=\"{_W / 2}\" y=\"{size / 2}\" text-anchor=\"middle\">no embeddings</text>")
    return _svg("".join(inner), "map of reference and live embeddings", height=size)


def _cluster_colour(c) -> str:
    return _FLAG_COLOUR if not isinstance(c, int) else _CLUSTER_COLOURS[c % len(_CLUSTER_COLOURS)]


def _cluster_cards(clusters: Sequence[Mapping], row: Mapping, items: Sequence[Mapping]) -> str:
    """A card per flagged cluster, newest kind first (distinct messages and
    requests, share of the distinct live messages, terms, dates, examples);
    without clusters, the most distant flagged messages."""
    distinct = _distinct(row)
    cards = []
    for i, c in enumerate(clusters):
        if not isinstance(c, Mapping):
            continue
        cid = c.get("id", i)
        size = c.get("size")
        share = c.get("share")
        if share is None and _finite(size) and distinct:
            share = size / distinct
        requests = c.get("requests")
        counted = f"{_n(size)} distinct message{'' if size == 1 else 's'}" + (f" ({_n(requests)} requests)" if _finite(requests)
                                                    and requests != size else "")
        terms = ", ".join(str(t) for t in (c.get("terms") or [])[:8])
        when = []
        if _finite(c.get("first_seen")):
            when.append(f"since {_stamp(c['first_seen'])}")
        if c.get("growing") is True:
            when.append("growing")
        examples = "".join(f"<li>{_example(x)}</li>" for x in (c.get("examples") or [])[:3])
        extra = f" · distance {_f(c['distance'])}" if _finite(c.get("distance")) else ""
        extra += f"<br>terms: {_e(terms)}" if terms else ""
        extra += f"<br><span class=\"note\">{_e(', '.join(when))}</span>" if when else ""
        extra += f"<ul>{examples}</ul>" if examples else ""
        cards.append(f"<div class=\"card\" data-cluster=\"{_e(cid)}\" style=\"border-left-color:{_cluster_colour(cid)}\">"
                     f"<b>cluster {_e(cid)}</b> · {counted} · {_pct(share)} of distinct live{extra}</div>")
    if cards:
        return (f"<h3>Flagged clusters, newest kind first</h3><div class=\"cards\">{''.join(cards)}</div>")
    if not items:
        return "<h3>Flagged messages</h3><p class=\"note\">None past the reference's tail.</p>"
    lines = []
    for it in items[:8]:
        where = f" · {_stamp(it['time'])}" if _finite(it.get("time")) else ""
        where += f" · {_e(it.get('origin'))}" if it.get("origin") else ""
        text = f"<br>{_e(_excerpt(it.get('text')))}" if it.get("text") else ""
        lines.append(f"<li>distance {_f(it.get('score'))}, p = {_p(it.get('p_value'))}{where}{text}</li>")
    return (f"<h3>Most distant flagged messages</h3><div class=\"card\" style=\"border-left-color:{_FLAG_COLOUR}\">"
            f"{_n(len(items))} flagged{', the first shown' if len(items) > 8 else ''}<ul>{''.join(lines)}</ul></div>")


def _example(x: Any) -> str:
    """One example of a cluster card: its excerpt where one was kept (and
    may be shown), its request ids, its distance."""
    if not isinstance(x, Mapping):
        return _e(_excerpt(x))
    parts = []
    if x.get("excerpt"):
        parts.append(f"“{_e(_excerpt(x['excerpt']))}”")
    ids = [f"{label} {x[k]}" for k, label in (("request_id", "request"), ("client_request_id", "client id"))
           if x.get(k)]
    if ids:
        parts.append(f"<span class=\"note\">{_e(' · '.join(ids))}</span>")
    if _finite(x.get("score")):
        parts.append(f"<span class=\"note\">distance {_f(x['score'])}</span>")
    return " ".join(parts) or "<span class=\"note\">no id or excerpt kept</span>"


def _excerpt(x: Any, limit: int = 160) -> str:
    text = x.get("text", "") if isinstance(x, Mapping) else str(x)
    text = " ".join(str(text).split())
    return text if len(text) <= limit else text[:limit - 1] + "…"


# --------------------------------------------------------------------------
# formatting


def _e(x: Any) -> str:
    return html.escape("" if x is None else str(x), quote=True)


def _finite(x: Any) -> bool:
    return isinstance(x, (int, float)) and not isinstance(x, bool) and math.isfinite(x)


def _f(x: Any, digits: int = 3) -> str:
    return f"{x:.{digits}g}" if _finite(x) else "-"


def _p(x: Any) -> str:
    if not _finite(x):
        return "-"
    return f"{x:.2g}" if x >= 1e-3 else f"{x:.1e}"


def _pct(x: Any) -> str:
    return f"{x * 100:.3g}%" if _finite(x) else "-"


def _n(x: Any) -> str:
    return f"{int(x):,}" if _finite(x) else "-"


def _stamp(t: float) -> str:
    return time.strftime("%Y-%m-%d %H:%M:%S UTC", time.gmtime(t))
