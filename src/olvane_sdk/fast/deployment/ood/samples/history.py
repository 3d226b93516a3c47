"""The report history as the stores keep it: rows per served model and
modality, and the checks every row read back must pass (a history row
holds what a report writes, or an event of the recipe's, and nothing else)."""
from __future__ import annotations

import math
from collections.abc import Iterable, Mapping, Sequence
from typing import Any

Key = tuple[str, str]


def history_entries(rows: Sequence[Mapping], time: float) -> dict[Key, list[dict]]:
    """``rows`` grouped per (model, modality), each stamped ``time`` unless it has one."""
    out: dict[Key, list[dict]] = {}
    for r in rows:
        out.setdefault((str(r.get("model")), str(r.get("modality"))), []).append({"time": time, **r})
    return out


#: The latest time a stored value may carry (year 2286): past it the value
#: is forged or from a broken clock, and no chart or date can place it.
MAX_TIME = 1e10
#: The largest count a stored value may carry.
MAX_COUNT = 1 << 53


def is_number(v) -> bool:
    return isinstance(v, (int, float)) and not isinstance(v, bool) and math.isfinite(v)


def is_time(v) -> bool:
    return is_number(v) and 0 <= v <= MAX_TIME


def is_count(v) -> bool:
    return isinstance(v, int) and not isinstance(v, bool) and 0 <= v <= MAX_COUNT


def is_unit(v) -> bool:
    return is_number(v) and 0 <= v <= 1


#: A history row's keys (``report.model.history_rows`` writes them), by what each may hold.
# A recipe's change while serving is a row too, with "event" (adopt, rollback,
# reference), the versions, what was added and why (recipe_watch.py writes them).
_ROW_TEXT, _ROW_UNIT, _ROW_NUMBER, _ROW_COUNT = (("model", "modality", "verdict", "event", "reason"),
                                                 ("auc", "p_value", "ood_share", "ood_bound"), ("mmd2",),
                                                 ("n_live", "repeats", "version", "from_version", "added"))
HISTORY_KEYS = ("time", *_ROW_TEXT, *_ROW_UNIT, *_ROW_NUMBER, *_ROW_COUNT, "clusters")
_MAX_REASON = 500


def history_row(row) -> dict | None:
    """A history row read back, its known keys only, or None when one holds
    what no report writes (a wrong type, a time out of range, a share past
    1). Spelled out: a page reads 10,000 of them per row."""
    if not isinstance(row, dict) or not is_time(row.get("time")):
        return None
    get = row.get
    if not (all((v := get(k)) is None or type(v) is str for k in _ROW_TEXT)
            and all((v := get(k)) is None or is_unit(v) for k in _ROW_UNIT)
            and all((v := get(k)) is None or is_number(v) for k in _ROW_NUMBER)
            and all((v := get(k)) is None or is_count(v) for k in _ROW_COUNT)):
        return None
    c = get("clusters")
    if c is not None and not (type(c) is list and len(c) <= 1000 and all(is_count(x) for x in c)):
        return None
    if len(get("reason") or "") > _MAX_REASON:
        return None
    return {k: row[k] for k in HISTORY_KEYS if k in row}


def retained_history(rows: Iterable, retention: Any, since: float | None,
                     now: float) -> tuple[list[dict], int]:
    """``rows`` that retention keeps (the newest ``max_count``, none older
    than ``max_age``) and from ``since``, oldest first; and how many were
    dropped as not history rows at all (:func:`history_row`)."""
    start = now - retention.max_age if since is None else max(since, now - retention.max_age)
    seen = good = 0
    kept = []
    for raw in rows:
        seen += 1
        row = history_row(raw)
        if row is not None:
            good += 1
            if row["time"] >= start:
                kept.append(row)
    kept.sort(key=lambda r: r["time"])
    return kept[-retention.max_count:], seen - good
