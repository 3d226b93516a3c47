"""The verdict of a report row, its colour in the tables and its value on
the Prometheus gauge ``olvane_shift_verdict``."""
from __future__ import annotations

from enum import StrEnum
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from .snapshot import Comparison, ReportSettings


class Verdict(StrEnum):
    """A str: rows, JSON and comparisons with plain strings keep working."""

    OK = "ok"
    WEAK = "weak"
    SHIFT = "shift"
    NA = "n/a"  # not enough data, no reference, unusable inputs


# Keyed by the members, which hash as their values: a plain string looks them up too.
_STYLES: dict[str, str] = {Verdict.SHIFT: "bold red", Verdict.WEAK: "yellow", Verdict.OK: "green", Verdict.NA: "dim"}
_METRIC_VALUES: dict[str, float] = {Verdict.OK: 0.0, Verdict.WEAK: 1.0, Verdict.SHIFT: 2.0, Verdict.NA: -1.0}


def style(verdict: str) -> str:
    """rich style of a verdict; one this version does not know is dim."""
    return _STYLES.get(verdict, "dim")


def metric_value(verdict: str) -> float:
    """Value on the verdict gauge; one this version does not know counts as n/a."""
    return _METRIC_VALUES.get(verdict, -1.0)


def verdict_for(c: Comparison | None, settings: ReportSettings) -> Verdict:
    if c is None:
        return Verdict.NA
    significant = c.p_value < settings.alpha
    if significant and c.auc >= settings.auc_threshold:
        return Verdict.SHIFT
    if significant:
        return Verdict.WEAK
    return Verdict.OK
