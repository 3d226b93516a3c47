"""The verdict of a report row, its colour in the tables and its value on
the Prometheus gauge ``olvane_shift_verdict``."""
from __future__ import annotations

from collections.abc import Mapping
from enum import StrEnum
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from .settings import ReportSettings
    from .stats import ShareTest
    from .two_sample import Comparison


class Verdict(StrEnum):
    """A str: rows, JSON and comparisons with plain strings keep working."""

    OK = "ok"
    DRIFT = "drift"  # the distribution changed, neither wholly nor by a new subpopulation
    NOVEL = "novel"  # a new subpopulation: more out-of-distribution messages than normal traffic has
    SHIFT = "shift"  # the whole traffic moved
    NA = "n/a"  # not enough data, no reference, unusable inputs

    @classmethod
    def _missing_(cls, value):
        return LEGACY.get(value) if isinstance(value, str) else None


#: Verdict names older servers send -> the verdict they mean.
LEGACY: dict[str, Verdict] = {"weak": Verdict.DRIFT}


def canonical(verdict: str) -> str:
    """``verdict`` with a legacy name mapped to its current verdict; any
    other string (one this version does not know) as it is."""
    return LEGACY.get(verdict, verdict)


# Keyed by the members, which hash as their values: a plain string looks them up too.
_STYLES: dict[str, str] = {Verdict.SHIFT: "bold red", Verdict.NOVEL: "bold magenta", Verdict.DRIFT: "yellow",
                           Verdict.OK: "green", Verdict.NA: "dim"}
# Stable for alert rules: 0 ok, 1 drift, 2 shift, -1 n/a. Novel is 1.5: above drift
# for `max by`, below the `>= 2` of the shift rules; its own rule matches `== 1.5`.
_METRIC_VALUES: dict[str, float] = {Verdict.OK: 0.0, Verdict.DRIFT: 1.0, Verdict.NOVEL: 1.5, Verdict.SHIFT: 2.0,
                                    Verdict.NA: -1.0}


def style(verdict: str) -> str:
    """rich style of a verdict; one this version does not know is dim."""
    return _STYLES.get(canonical(verdict), "dim")


def metric_value(verdict: str) -> float:
    """Value on the verdict gauge; one this version does not know counts as n/a."""
    return _METRIC_VALUES.get(canonical(verdict), -1.0)


#: What decided a ``novel`` verdict, in the order they are asked (the row's ``novel_by``):
#: the largest group of flagged messages against the recipe's cutoff, the share test
#: with a group, the diffuse test on the classifier's ranks, the sequential alarm.
NOVEL_BY = ("group", "share", "diffuse", "alarm")


def novel_by(c: Comparison | None, settings: ReportSettings, ood: ShareTest | None = None, alarm: bool = False,
             diffuse: Mapping[str, Any] | None = None) -> str | None:
    """Which statistic makes the row ``novel`` (one of :data:`NOVEL_BY`),
    or None when the row is not novel (``shift`` comes first)."""
    if c is not None and c.p_value < settings.alpha and c.auc >= settings.auc_threshold:
        return None
    if ood is not None:
        if ood.largest is None and ood.novel(settings.alpha_novel):
            return "share"  # a report from before the group statistic
        if ood.by_group():
            return "group"
        if ood.largest is not None and ood.by_share(settings.alpha_novel):
            return "share"
    if diffuse is not None and isinstance(diffuse.get("p_value"), (int, float)) \
            and diffuse["p_value"] < float(diffuse.get("alpha") or 0.0):
        return "diffuse"
    if alarm:
        return "alarm"
    return None


def verdict_for(c: Comparison | None, settings: ReportSettings, ood: ShareTest | None = None,
                alarm: bool = False, diffuse: Mapping[str, Any] | None = None) -> Verdict:
    """``shift`` when the MMD test is significant and the classifier's AUC
    reaches the gate; else ``novel`` when :func:`novel_by` names a
    statistic (the largest group, the share test with a group, the diffuse
    test, the sequential alarm); else ``drift`` when the MMD test is
    significant; else ``ok``."""
    if c is None and ood is None:
        return Verdict.NA
    significant = c is not None and c.p_value < settings.alpha
    if significant and c.auc >= settings.auc_threshold:
        return Verdict.SHIFT
    if novel_by(c, settings, ood, alarm, diffuse) is not None:
        return Verdict.NOVEL
    if significant:
        return Verdict.DRIFT
    return Verdict.OK
