"""The middleware's configuration, from the OLVANE_SHIFT_* environment
variables (spawned API-server processes inherit them)."""
from __future__ import annotations

import math
import os
from dataclasses import dataclass, field
from typing import Any, Mapping

# The recipes' variable, its reading and its error live with the recipes; re-exported here.
from ..recipes.mapping import ENV_RECIPES, ConfigError, parse_recipes, recipe_problem  # noqa: F401
from .budget import DEFAULT_CPU_SHARE, ORDINARY_S

POLICIES = ("all", "new")

# The variables this configuration reads (the report's own are in report/settings.py).
ENV_POLICY = "OLVANE_SHIFT_POLICY"
ENV_MAX_BODY = "OLVANE_SHIFT_MAX_BODY"
ENV_REPORT_INTERVAL = "OLVANE_SHIFT_REPORT_INTERVAL"
ENV_CONSOLE = "OLVANE_SHIFT_CONSOLE"
ENV_CPU_SHARE = "OLVANE_SHIFT_CPU_SHARE"
ENV_MAX_RATE = "OLVANE_SHIFT_MAX_RATE"
ENV_ORT_THREADS = "OLVANE_SHIFT_ORT_THREADS"
ENV_ORT_SPINNING = "OLVANE_SHIFT_ORT_SPINNING"
ENV_STORE = "OLVANE_SHIFT_STORE"
ENV_DEPLOYMENT = "OLVANE_SHIFT_DEPLOYMENT"
ENV_EXCERPTS = "OLVANE_SHIFT_EXCERPTS"
ENV_EXCERPT_CHARS = "OLVANE_SHIFT_EXCERPT_CHARS"
ENV_EXCERPT_MAX_AGE = "OLVANE_SHIFT_EXCERPT_MAX_AGE"


@dataclass(frozen=True)
class ShiftConfig:
    """What the middleware does, from the environment (:func:`config_from_env`)."""

    recipes: Mapping[str, str] = field(default_factory=dict)
    policy: str = "new"
    max_body: int = 8 * 1024 * 1024
    report_interval: float = 60.0
    console: str = "logging"
    cpu_share: float = DEFAULT_CPU_SHARE  # of one core, per process, by the cost model; 0 = unlimited
    max_rate: float | None = None   # the budget in ordinary messages/s instead; 0 = unlimited
    ort_threads: int = 1
    ort_spinning: bool = False
    backlog: int = 64               # bodies waiting for the hand-over thread
    store: str = ""                 # OLVANE_SHIFT_STORE: "" the default directory, a path, redis://, or off
    deployment: str = ""            # OLVANE_SHIFT_DEPLOYMENT: "" derives it from the recipes
    excerpts: bool = False          # OLVANE_SHIFT_EXCERPTS: keep a masked excerpt with each stored sample
    excerpt_chars: int = 200        # OLVANE_SHIFT_EXCERPT_CHARS
    excerpt_max_age: float = 24 * 3600.0  # OLVANE_SHIFT_EXCERPT_MAX_AGE

    @property
    def budget_rate(self) -> float:
        """The token bucket's rate: ordinary messages per second (0: unlimited)."""
        return self.max_rate if self.max_rate is not None else self.cpu_share / ORDINARY_S


def _size(name: str, text: str) -> int:
    units = {"": 1, "k": 1024, "kb": 1024, "kib": 1024, "m": 1024 ** 2, "mb": 1024 ** 2, "mib": 1024 ** 2}
    t = text.strip().lower()
    num = t.rstrip("kmib")
    try:
        n = int(float(num) * units[t[len(num):]])
    except (ValueError, KeyError):
        raise ConfigError(f"{name}={text!r}: expected a size in bytes (e.g. 8388608 or 8MiB)") from None
    if n < 0:
        raise ConfigError(f"{name}={text!r}: must not be negative")
    return n


def _number(name: str, text: str, *, low: float = 0.0, integer: bool = False) -> float:
    try:
        v = float(text)
    except ValueError:
        raise ConfigError(f"{name}={text!r}: expected a number") from None
    if math.isnan(v) or v < low or (integer and v != int(v)):
        raise ConfigError(f"{name}={text!r}: expected {'an integer' if integer else 'a number'} >= {low:g}")
    return int(v) if integer else v


def config_from_env(environ: Mapping[str, str] | None = None) -> ShiftConfig:
    """Reads the OLVANE_SHIFT_* variables; raises :class:`ConfigError` with a
    message naming the variable. Unset variables take the defaults of
    :class:`ShiftConfig`; OLVANE_SHIFT_RECIPES is required."""
    env = os.environ if environ is None else environ
    get = lambda k: (env.get(k) or "").strip()  # noqa: E731
    if not get(ENV_RECIPES):
        raise ConfigError(f"{ENV_RECIPES} is not set: no recipes, nothing to collect")
    kw: dict[str, Any] = {"recipes": parse_recipes(get(ENV_RECIPES))}
    if v := get(ENV_POLICY):
        if v.lower() not in POLICIES:
            raise ConfigError(f"{ENV_POLICY}={v!r}: expected one of {', '.join(POLICIES)}")
        kw["policy"] = v.lower()
    if v := get(ENV_MAX_BODY):
        kw["max_body"] = _size(ENV_MAX_BODY, v)
    if v := get(ENV_REPORT_INTERVAL):
        kw["report_interval"] = _number(ENV_REPORT_INTERVAL, v)
    if v := get(ENV_CONSOLE):
        if v.lower() not in ("logging", "rich"):
            raise ConfigError(f"{ENV_CONSOLE}={v!r}: expected logging or rich")
        kw["console"] = v.lower()
    off = ("off", "inf", "unlimited")
    if (share := get(ENV_CPU_SHARE)) and get(ENV_MAX_RATE):
        raise ConfigError(f"{ENV_CPU_SHARE} and {ENV_MAX_RATE} are both set: set one budget")
    if share:
        kw["cpu_share"] = 0.0 if share.lower() in off else _number(ENV_CPU_SHARE, share)
    if v := get(ENV_MAX_RATE):
        kw["max_rate"] = 0.0 if v.lower() in off else _number(ENV_MAX_RATE, v)
    if v := get(ENV_ORT_THREADS):
        kw["ort_threads"] = _number(ENV_ORT_THREADS, v, low=1, integer=True)
    if v := get(ENV_ORT_SPINNING):
        if v.lower() not in ("0", "1", "true", "false", "yes", "no", "on", "off"):
            raise ConfigError(f"{ENV_ORT_SPINNING}={v!r}: expected 0 or 1")
        kw["ort_spinning"] = v.lower() in ("1", "true", "yes", "on")
    if v := get(ENV_STORE):
        kw["store"] = v
    if v := get(ENV_DEPLOYMENT):
        kw["deployment"] = v
    if v := get(ENV_EXCERPTS):
        if v.lower() not in ("on", "off"):
            raise ConfigError(f"{ENV_EXCERPTS}={v!r}: expected on or off")
        kw["excerpts"] = v.lower() == "on"
    if v := get(ENV_EXCERPT_CHARS):
        kw["excerpt_chars"] = _number(ENV_EXCERPT_CHARS, v, low=1, integer=True)
    if v := get(ENV_EXCERPT_MAX_AGE):
        from ..samples.store import parse_duration

        try:
            kw["excerpt_max_age"] = parse_duration(v)
        except ValueError as e:
            raise ConfigError(f"{ENV_EXCERPT_MAX_AGE}: {e}") from None
    from ..report.settings import ReportSettings, SettingsError

    try:  # OLVANE_SHIFT_REPORT_*: checked at start rather than at the first report
        ReportSettings.from_env(env)
    except SettingsError as e:
        raise ConfigError(str(e)) from None
    return ShiftConfig(**kw)
