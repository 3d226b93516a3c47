"""What a stored report may hold, checked where it is read back.

A stored result, its history rows, maps, clusters and flagged messages come
from another process, another version, or anyone who can write to the
store. Each part is checked against the shapes :mod:`.snapshot` writes: an
item that fails (a wrong type, a time or share out of range) is dropped and
counted in a :class:`Tally`, and the rest kept, so that no stored value can
fail a route or the page. Only the keys named here are kept in flagged
messages and clusters: text cannot ride along under another name."""
from __future__ import annotations

from collections.abc import Callable
from typing import Any

from ..samples.history import history_row, is_count, is_number, is_time, is_unit
from .projection import MAP_POINTS

Check = Callable[[Any], bool]


class Tally:
    """Items dropped while reading."""

    def __init__(self) -> None:
        self.bad = 0


def _opt(check: Check) -> Check:
    return lambda v: v is None or check(v)


def _text(v: Any) -> bool:
    return isinstance(v, str)


def _flag(v: Any) -> bool:
    return isinstance(v, bool)


def _scalar(v: Any) -> bool:
    return v is None or isinstance(v, (str, bool)) or is_number(v)


def _figures(v: Any) -> bool:
    """A row's comparison or share test: scalars, its shares and p-values in [0, 1]."""
    return (isinstance(v, dict) and all(_scalar(x) for x in v.values())
            and all(_opt(is_unit)(v.get(k)) for k in ("auc", "p_value", "share", "bound", "central_p")))


def _known(value: Any, spec: dict[str, Check], required: tuple[str, ...] = ()) -> dict | None:
    """``value``'s keys of ``spec``, or None when one fails its check or a required one is missing."""
    if not isinstance(value, dict) or any(k not in value for k in required):
        return None
    if not all(check(value.get(k)) for k, check in spec.items()):
        return None
    return {k: value[k] for k in spec if k in value}


ROW = {"model": _text, "modality": _text, "verdict": _opt(_text), "note": _opt(_text), "n_train": _opt(is_count),
       "n_test": _opt(is_count), "n_live": is_count, "repeats": _opt(is_count), "cusum": _opt(is_number),
       "alarm": _opt(_flag), "shifted": _opt(_flag), "min_detectable_share": _opt(is_unit),
       "live": _opt(_figures), "test": _opt(_figures), "ood": _opt(_figures), "novel_by": _opt(_text),
       "diffuse": _opt(_figures), "alarm_state": _opt(_figures), "calibration": _opt(_text)}
EXAMPLE = {"score": _opt(is_number), "time": _opt(is_time), "request_id": _opt(_text),
           "client_request_id": _opt(_text), "excerpt": _opt(_text), "index": _opt(is_count)}
OUTLIER = {**EXAMPLE, "p_value": _opt(is_unit), "p_floor": _opt(is_unit), "q_value": _opt(is_unit),
           "cluster": _opt(is_count), "origin": _opt(_text), "repeat": _opt(_flag),
           "sample": _opt(lambda v: isinstance(v, str) and len(v) <= 64)}
#: The page also shows a flagged message's ``text`` (a caller's own, never stored).
PAGE_OUTLIER = {**OUTLIER, "text": _opt(_text)}
CLUSTER = {"id": is_count, "size": _opt(is_count), "share": _opt(is_unit), "first_seen": _opt(is_time),
           "last_seen": _opt(is_time), "growing": _opt(_flag), "share_newer": _opt(is_unit),
           "share_older": _opt(is_unit), "terms_time": _opt(is_time), "requests": _opt(is_count),
           "of": _opt(is_count), "distance": _opt(is_number),
           "terms": _opt(lambda v: isinstance(v, list) and len(v) <= 64 and all(_text(t) for t in v))}
WINDOW = {"count": is_count, "oldest": _opt(is_time), "newest": _opt(is_time)}
ORIGIN = {"samples": _opt(is_count), "last_write": _opt(is_time), "skew_seconds": _opt(is_number)}
LEDGER = {"fingerprint": _opt(_text), "since": _opt(is_time)}


def _items(value: Any, keep: Callable[[Any], Any], tally: Tally, most: int | None = None) -> list | None:
    """The items of a list that ``keep`` keeps (at most ``most``); None when it is no list."""
    if not isinstance(value, list):
        return None
    out = [x for x in map(keep, value[:most]) if x is not None]
    tally.bad += len(value) - len(out)
    return out


def _per_row(value: Any, leaf: Callable[[Any, Tally], Any], tally: Tally) -> dict[str, dict[str, Any]]:
    """model -> modality -> ``leaf`` of each; a part that is not one is dropped."""
    out: dict[str, dict[str, Any]] = {}
    if value is None:
        return out
    if not isinstance(value, dict):
        tally.bad += 1
        return out
    for model, per in value.items():
        if not isinstance(per, dict):
            tally.bad += 1
            continue
        for modality, v in per.items():
            got = leaf(v, tally)
            if got is None:
                tally.bad += 1
            else:
                out.setdefault(model, {})[modality] = got
    return out


def _point(size: int) -> Callable[[Any], list | None]:
    def keep(p: Any) -> list | None:
        ok = (isinstance(p, list) and len(p) == size and all(is_number(v) and -1 <= v <= 2 for v in p[:2])
              and (size == 2 or _opt(is_count)(p[2])))
        return p if ok else None
    return keep


def row(value: Any) -> dict | None:
    """A report row: its known keys checked, any other key kept as it came."""
    got = _known(value, ROW, required=("model", "modality", "n_live"))
    return None if got is None else {**value, **got}


def report(value: Any, tally: Tally) -> dict | None:
    """A report's JSON form with its bad rows (and settings) dropped; None when it is none."""
    if not isinstance(value, dict) or not isinstance(value.get("rows", []), list):
        return None
    settings = value.get("settings")
    if settings is not None and not (isinstance(settings, dict) and all(map(_scalar, settings.values()))):
        tally.bad += 1
        settings = None
    return {**value, "settings": settings or {}, "rows": _items(value.get("rows", []), row, tally)}


def outlier(value: Any) -> dict | None:
    return _known(value, OUTLIER)


def cluster(value: Any, tally: Tally, page: bool = False) -> dict | None:
    """A cluster with its bad examples dropped. ``page``: as the page also
    takes it, an example may be a bare text (never in a stored result: text
    there is an ``excerpt``, which is served only where excerpts are)."""
    got = _known(value, CLUSTER, required=("id",))
    if got is None:
        return None
    examples = _items(value.get("examples", []),
                      lambda x: x if page and _text(x) else _known(x, EXAMPLE), tally)
    return {**got, "examples": examples or []}


def outliers(value: Any, tally: Tally) -> dict:
    return _per_row(value, lambda v, t: _items(v, outlier, t), tally)


def clusters(value: Any, tally: Tally) -> dict:
    return _per_row(value, lambda v, t: _items(v, lambda c: cluster(c, t), t), tally)


def page_map(value: Any, tally: Tally) -> dict | None:
    """One row's map: at most :data:`MAP_POINTS` points of each kind, bad points dropped."""
    if not isinstance(value, dict) or not all(_opt(is_count)(value.get(k)) for k in ("n_reference", "n_live")):
        return None
    out: dict[str, Any] = {k: value.get(k) for k in ("n_reference", "n_live")}
    for key, size in (("reference", 2), ("live", 2), ("flagged", 3)):
        pts = value.get(key) or []
        out[key] = _items(pts, _point(size), tally, MAP_POINTS)
        if out[key] is None:
            tally.bad += 1
            out[key] = []
        else:
            tally.bad += max(0, len(pts) - MAP_POINTS)
    return out


def maps(value: Any, tally: Tally) -> dict:
    return _per_row(value, page_map, tally)


def flagged(value: Any, tally: Tally) -> dict:
    """The page's outlier answers: model -> modality -> a list of flagged
    messages, or {"outliers", "clusters"}."""
    def item(o: Any) -> dict | None:
        return _known(o, PAGE_OUTLIER)

    def leaf(v: Any, t: Tally) -> Any:
        if isinstance(v, dict):
            return {"outliers": _items(v.get("outliers") or [], item, t) or [],
                    "clusters": _items(v.get("clusters") or [], lambda c: cluster(c, t, page=True), t) or []}
        return _items(v, item, t)
    return _per_row(value, leaf, tally)


def history(value: Any, tally: Tally) -> list[dict] | None:
    got = _items(value, history_row, tally)
    if got is None and value is not None:
        tally.bad += 1
    return got


def extra(result: dict, tally: Tally) -> dict[str, Any]:
    """The deployment's facts of a stored result, each dropped when it is not one."""
    def leaf(spec: dict[str, Check]) -> Callable[[Any, Tally], Any]:
        return lambda v, t: _known(v, spec)

    def mapping(value: Any, spec: dict[str, Check]) -> dict | None:
        if not isinstance(value, dict):
            return None
        out = {k: got for k, v in value.items() if (got := _known(v, spec)) is not None}
        tally.bad += len(value) - len(out)
        return out

    out: dict[str, Any] = {
        "window": _per_row(result.get("window"), leaf(WINDOW), tally) if result.get("window") is not None else None,
        "origins": mapping(result.get("origins"), ORIGIN),
        "recipes": mapping(result.get("recipes"), LEDGER),
        "computed_by": result.get("computed_by") if _text(result.get("computed_by")) else None,
        "skewed": _items(result.get("skewed"), lambda s: s if _text(s) else None, tally),
        "stored": None,
    }
    stored = result.get("stored")
    if isinstance(stored, list) and len(stored) == 2 and is_count(stored[0]) and _opt(is_time)(stored[1]):
        out["stored"] = stored
    for k in ("origins", "recipes", "computed_by", "skewed", "stored"):
        if out[k] is None and result.get(k) is not None:
            tally.bad += 1
    return out


def fingerprints(value: Any, tally: Tally) -> dict[str, str]:
    if not isinstance(value, dict):
        tally.bad += value is not None
        return {}
    out = {k: v for k, v in value.items() if _text(v)}
    tally.bad += len(value) - len(out)
    return out
