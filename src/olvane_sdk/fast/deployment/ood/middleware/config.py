"""The middleware's configuration, from the OLVANE_SHIFT_* environment
variables (spawned API-server processes inherit them)."""
from __future__ import annotations

import difflib
import math
import os
from dataclasses import dataclass, field
from typing import Any, Mapping

# The recipes' variable, its reading and its error live with the recipes; re-exported here.
from ..recipe_files.mapping import ENV_RECIPES, ConfigError, parse_recipes, recipe_problem  # noqa: F401
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
ENV_ENCODE_BATCH = "OLVANE_SHIFT_ENCODE_BATCH"
ENV_WORKER_NICE = "OLVANE_SHIFT_WORKER_NICE"
ENV_STORE = "OLVANE_SHIFT_STORE"
ENV_DEPLOYMENT = "OLVANE_SHIFT_DEPLOYMENT"
ENV_EXCERPTS = "OLVANE_SHIFT_EXCERPTS"
ENV_EXCERPT_CHARS = "OLVANE_SHIFT_EXCERPT_CHARS"
ENV_EXCERPT_MAX_AGE = "OLVANE_SHIFT_EXCERPT_MAX_AGE"
ENV_PREFIX = "OLVANE_SHIFT_"

# The most of one core the budget may give the embedding worker of a process:
# the worker is one thread, so a larger share could never be spent, only
# mistaken for a share of the machine.
MAX_CPU_SHARE = 1.0
# The shortest background report interval: a report costs 0.35-1 s of CPU
# per served model and modality.
MIN_REPORT_INTERVAL = 1.0
# Messages the embedding worker encodes in one call per model (loading.py says why).
ENCODE_BATCH_SIZE = 16
# The embedding worker thread's nice value: collection is not latency-sensitive,
# the server's event loop is. On a core the two share, a batch's encode runs for
# 50-65 ms at a stretch; at 19 the scheduler lets the loop in first (the loop's
# p99 lag at the default share: 2.6x without collection at 0, 0.9x at 19).
WORKER_NICE = 19


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
    encode_batch: int = ENCODE_BATCH_SIZE  # OLVANE_SHIFT_ENCODE_BATCH: messages per encode call; 1 = one at a time
    worker_nice: int = WORKER_NICE  # OLVANE_SHIFT_WORKER_NICE: the worker thread's nice value (0: left as it is)
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


def _number(name: str, text: str, *, low: float = 0.0, high: float | None = None, integer: bool = False) -> float:
    try:
        v = float(text)
    except ValueError:
        raise ConfigError(f"{name}={text!r}: expected a number") from None
    if not math.isfinite(v) or v < low or (high is not None and v > high) or (integer and v != int(v)):
        within = f"between {low:g} and {high:g}" if high is not None else f">= {low:g}"
        raise ConfigError(f"{name}={text!r}: expected {'an integer' if integer else 'a finite number'} {within}")
    return int(v) if integer else v


# The spellings of a boolean variable, case-insensitive.
TRUE_WORDS = ("1", "true", "yes", "on")
FALSE_WORDS = ("0", "false", "no", "off")


def on_off(name: str, text: str) -> bool:
    """A boolean variable's value: one of :data:`TRUE_WORDS` or
    :data:`FALSE_WORDS`, in any case."""
    t = text.strip().lower()
    if t in TRUE_WORDS or t in FALSE_WORDS:
        return t in TRUE_WORDS
    raise ConfigError(f"{name}={text!r}: expected one of {'/'.join(TRUE_WORDS)} or {'/'.join(FALSE_WORDS)}")


def known_variables() -> frozenset[str]:
    """Every OLVANE_SHIFT_* name the middleware and the report read."""
    from ..report.settings import ENV as REPORT_ENV

    return frozenset([ENV_RECIPES, *(v for k, v in globals().items() if k.startswith("ENV_") and k != "ENV_PREFIX"),
                      *REPORT_ENV])


def unknown_variables(environ: Mapping[str, str] | None = None) -> list[str]:
    """One line per OLVANE_SHIFT_* variable that nothing reads (a typo
    otherwise leaves its setting at the default, silently), with the closest
    known name."""
    env = os.environ if environ is None else environ
    known = known_variables()
    lines = []
    for name in sorted(k for k in env if k.startswith(ENV_PREFIX) and k not in known):
        # Matched on what follows the prefix, which every name shares.
        close = difflib.get_close_matches(name[len(ENV_PREFIX):], [k[len(ENV_PREFIX):] for k in known], n=1)
        lines.append(f"{name} is not a variable of olvane shift and is ignored"
                     + (f"; did you mean {ENV_PREFIX}{close[0]}?" if close else ""))
    return lines


def config_from_env(environ: Mapping[str, str] | None = None) -> ShiftConfig:
    """Reads the OLVANE_SHIFT_* variables. Every bad value is reported at
    once: one :class:`ConfigError` with a line per variable at fault. Unset
    variables take the defaults of :class:`ShiftConfig`; OLVANE_SHIFT_RECIPES
    is required."""
    env = os.environ if environ is None else environ
    get = lambda k: (env.get(k) or "").strip()  # noqa: E731
    kw: dict[str, Any] = {}
    problems: list[str] = []

    def check(name: str, read) -> None:
        if v := get(name):
            try:
                read(v)
            except ConfigError as e:
                problems.append(str(e))

    def recipes(v):
        kw["recipes"] = parse_recipes(v)

    def policy(v):
        if v.lower() not in POLICIES:
            raise ConfigError(f"{ENV_POLICY}={v!r}: expected one of {', '.join(POLICIES)}")
        kw["policy"] = v.lower()

    def interval(v):
        # 0 or off: reports only on ?refresh=true.
        kw["report_interval"] = 0.0 if v.lower() in ("0", "off") else _number(
            ENV_REPORT_INTERVAL, v, low=MIN_REPORT_INTERVAL)

    def console(v):
        if v.lower() not in ("logging", "rich"):
            raise ConfigError(f"{ENV_CONSOLE}={v!r}: expected logging or rich")
        kw["console"] = v.lower()

    off = ("off", "inf", "unlimited")

    def share(v):
        kw["cpu_share"] = 0.0 if v.lower() in off else _number(ENV_CPU_SHARE, v, high=MAX_CPU_SHARE)

    def rate(v):
        kw["max_rate"] = 0.0 if v.lower() in off else _number(ENV_MAX_RATE, v)

    def excerpt_age(v):
        from ..samples.store import parse_duration

        try:
            kw["excerpt_max_age"] = parse_duration(v)
        except ValueError as e:
            raise ConfigError(f"{ENV_EXCERPT_MAX_AGE}: {e}") from None

    def store(v):
        from ..samples import mask_url, store_problem

        if (why := store_problem(v)) is not None:
            raise ConfigError(f"{ENV_STORE}={mask_url(v)!r}: {why}")
        kw["store"] = v

    if not get(ENV_RECIPES):
        problems.append(f"{ENV_RECIPES} is not set: no recipes, nothing to collect")
    check(ENV_RECIPES, recipes)
    check(ENV_POLICY, policy)
    check(ENV_MAX_BODY, lambda v: kw.__setitem__("max_body", _size(ENV_MAX_BODY, v)))
    check(ENV_REPORT_INTERVAL, interval)
    check(ENV_CONSOLE, console)
    if get(ENV_CPU_SHARE) and get(ENV_MAX_RATE):
        problems.append(f"{ENV_CPU_SHARE} and {ENV_MAX_RATE} are both set: set one budget")
    check(ENV_CPU_SHARE, share)
    check(ENV_MAX_RATE, rate)
    check(ENV_ORT_THREADS, lambda v: kw.__setitem__("ort_threads", _number(ENV_ORT_THREADS, v, low=1,
                                                                             integer=True)))
    check(ENV_ORT_SPINNING, lambda v: kw.__setitem__("ort_spinning", on_off(ENV_ORT_SPINNING, v)))
    check(ENV_ENCODE_BATCH, lambda v: kw.__setitem__("encode_batch", _number(ENV_ENCODE_BATCH, v, low=1,
                                                                             integer=True)))
    check(ENV_WORKER_NICE, lambda v: kw.__setitem__("worker_nice", _number(ENV_WORKER_NICE, v, low=0, high=19,
                                                                           integer=True)))
    check(ENV_STORE, store)
    if v := get(ENV_DEPLOYMENT):
        kw["deployment"] = v
    check(ENV_EXCERPTS, lambda v: kw.__setitem__("excerpts", on_off(ENV_EXCERPTS, v)))
    check(ENV_EXCERPT_CHARS, lambda v: kw.__setitem__("excerpt_chars", _number(ENV_EXCERPT_CHARS, v, low=1,
                                                                               integer=True)))
    check(ENV_EXCERPT_MAX_AGE, excerpt_age)
    from ..report.settings import ReportSettings, SettingsError

    try:  # OLVANE_SHIFT_REPORT_*: checked at start rather than at the first report
        ReportSettings.from_env(env)
    except SettingsError as e:
        problems.append(str(e))
    if problems:
        raise ConfigError("; ".join(problems))
    return ShiftConfig(**kw)
