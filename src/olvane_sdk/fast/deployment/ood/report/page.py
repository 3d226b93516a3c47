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

import time
from collections.abc import Mapping, Sequence
from typing import TYPE_CHECKING, Any

from . import schema
from .model import ModalityRow, outlier_answers
from .projection import flagged_of
from .stats import ShareTest
from .verdict import canonical
from .charts import (_FLAG_COLOUR, _VERDICT_COLOURS, _cluster_colour, _e, _excerpt, _f, _figure, _finite,
                     _line_chart, _map_caption, _map_chart, _n, _p, _pct, _stamp, _verdict_chart, event_text)

if TYPE_CHECKING:
    from .snapshot import ReportSnapshot

#: The page's Content-Security-Policy: nothing from any host, inline styles only.
CSP = "default-src 'none'; style-src 'unsafe-inline'; img-src data:"


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
    # The history holds the reports' rows and the recipe's changes (an "event"): apart.
    events = [h for h in history if h.get("event")]
    history = [h for h in history if not h.get("event")]
    if events:
        note += ("<p class=\"note\">Recipe changes (dashed on the verdict chart): " + "; ".join(
            f"{_e(_stamp(ev['time']))} {_e(event_text(ev))}" for ev in events[-5:]) + "</p>")
    charts = "".join([
        _figure("Verdict over time", _verdict_chart(history, events)),
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
    by = row.get("novel_by")
    if verdict == "novel" and by is not None:
        share_text += " " + _decided_by(str(by), row)
    elif verdict == "novel" and (test := _large_group(row, alpha_novel)) is not None:
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


def _decided_by(by: str, row: Mapping) -> str:
    """Which of the novelty statistics made the row novel, in words."""
    ood, diffuse, alarm = row.get("ood") or {}, row.get("diffuse") or {}, row.get("alarm_state") or {}
    if by == "group":
        return (f"Decided by the largest group: {_n(ood.get('largest'))} flagged messages lie together, nearer "
                f"each other than the reference, where this recipe's clean windows reach at most "
                f"{_n((ood.get('group_cutoff') or 1) - 1)}.")
    if by == "share":
        return (f"Decided by the share test, with a group of {_n(ood.get('largest'))} among the flagged "
                f"messages.")
    if by == "diffuse":
        return (f"Decided by the diffuse test: the live messages a classifier finds most unlike the reference "
                f"are far from it more often than the reference's own (p = {_p(diffuse.get('p_value'))}).")
    if by == "alarm":
        return (f"Decided by the sequential alarm, which reached {_f(alarm.get('s'))} (threshold "
                f"{_f(alarm.get('h'))}) over the messages since the reports before.")
    return f"Decided by {by}."


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


# --------------------------------------------------------------------------
# formatting


