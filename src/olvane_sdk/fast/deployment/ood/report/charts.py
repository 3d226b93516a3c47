"""The operator's page's drawings and figures: the history charts (a band
per verdict, lines of the AUC and the out-of-distribution share, bounded
whatever the history's length), the map of reference and live, and how
numbers, times and text are written into the page (always escaped)."""
from __future__ import annotations

import html
import math
import time
from collections.abc import Mapping, Sequence
from typing import Any

from .verdict import canonical

_VERDICT_COLOURS = {"ok": "#2e7d32", "drift": "#b58900", "novel": "#8e24aa", "shift": "#c62828", "n/a": "#8a8a8a"}
_VERDICT_LEVEL = {"ok": 0, "drift": 1, "novel": 2, "shift": 3}
_CLUSTER_COLOURS = ("#d62728", "#ff7f0e", "#9467bd", "#8c564b", "#e377c2", "#17becf", "#bcbd22", "#1f77b4")
_REF_COLOUR, _LIVE_COLOUR, _FLAG_COLOUR = "#b0b7c3", "#4f8fd6", "#d62728"


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


def _verdict_chart(history: Sequence[Mapping], events: Sequence[Mapping] = ()) -> str:
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
    # The recipe's changes (an adoption, a rollback): a dashed line at each, at most a bucket's worth.
    for ev in [e for e in events if type(e.get("time")) in (int, float) and t0 <= e["time"] <= end][-_BUCKETS:]:
        x = min(_tx(ev["time"], t0, end), _W - _R)
        parts.append(f'<line class="event" x1="{x:.1f}" x2="{x:.1f}" y1="{_T}" y2="{_H - _B}" '
                     f'stroke="#1d2330" stroke-dasharray="3 2"><title>{_stamp(ev["time"])}: '
                     f"{_e(event_text(ev))}</title></line>")
    return _svg("".join(parts) + _time_axis(t0, t1, len(rows)), "verdict history")


def event_text(ev: Mapping) -> str:
    """A recipe change in words: "adopt: version 2 (+139 reference rows, clusters 0): billing is ours"."""
    what = str(ev.get("event") or "change")
    extra = [f"+{ev['added']:,} reference rows" if _finite(ev.get("added")) else "",
             f"clusters {', '.join(str(c) for c in ev.get('clusters') or [])}" if ev.get("clusters") else ""]
    extra = [x for x in extra if x]
    version = f"version {ev.get('from_version')} -> {ev.get('version')}" if ev.get("from_version") is not None \
        else f"version {ev.get('version')}"
    return f"{what}: {version}" + (f" ({', '.join(extra)})" if extra else "") + \
        (f": {ev['reason']}" if ev.get("reason") else "")


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


def _excerpt(x: Any, limit: int = 160) -> str:
    text = x.get("text", "") if isinstance(x, Mapping) else str(x)
    text = " ".join(str(text).split())
    return text if len(text) <= limit else text[:limit - 1] + "…"
