"""A recipe's own cutoffs for the novelty statistics, set on its held-out
rows rather than on one benchmark's data.

How often a group forms among the flagged messages of clean traffic depends
on the recipe: a reference of package descriptions, where a library and its
-dev package are two rows, puts pairs and triples of siblings past the tail
together; another puts none there. So the recipe is its own yardstick:

* Every reference row (train left out one at a time, and the test split) is
  scored as a live message would be, and flagged past the calibration's
  tail. Two flagged rows are linked as two live messages would be: nearer
  each other than either lies to its :data:`LINK`-th nearest train row (each
  would be among the other's nearest neighbours were it in the reference),
  the window's rows left out of train (a live message is never in train).
* Pseudo-windows of the sizes the report sees hold each reference row with
  the chance a window of that size drawn from the recipe's population holds
  it (``n / N``). Clean windows draw evenly; mixed ones draw
  :data:`MIX_SHARE` of their messages from three sections of the reference
  (spherical k-means clusters), as a deployment whose traffic leans on a few
  known parts does. A sparse section passes the tail more often; it is the
  benign mix that paged before.
* The group cutoff of a size is one more than the largest group any clean
  or mixed pseudo-window reached, and at least :data:`MIN_CUTOFF`: a recipe
  of 2,500 rows holds two and a half windows' worth of flagged rows, so the rare groups of clean traffic cannot be counted in it, only
  bounded from below; the floor is what other data needed (0 of 10,000
  clean and mixed windows of 1,000 reached 4). The share test's own group
  requirement is the size those windows reach in at most
  :data:`SHARE_GROUP_RATE` of them (it also needs a significant count).
* The alarm's null rate is the share of messages that are flagged and
  linked, at the :data:`ALARM_QUANTILE` of clean and mixed windows of
  1,000; its threshold is set for an average run length of
  :data:`ALARM_ARL_DAYS` at :data:`ALARM_RATE` messages a second.

The builder stores the result beside the recipe (``recipe_files.layout.CALIBRATION_FILE``);
a recipe without it gets one computed on the first report, cached by the
content of its arrays.
"""
from __future__ import annotations

import hashlib
import math
from dataclasses import asdict, dataclass, fields
from typing import Any

import numpy as np

from .detect import largest_group
from .stats import Calibration, knn_distance, unit_rows

VERSION = 3
#: Two flagged messages are linked when they lie nearer each other than either
#: lies to its LINK-th nearest train row. 1 asks for nearer than anything the
#: reference holds. A looser link (the third-nearest) saw more of a near topic
#: (games at 5 % of 300: 62 % of windows against 33-42 %) but its clean groups
#: outgrew what a recipe's own rows can show: a recipe of 2,500 rows holds about
#: 100 flagged ones, no family of four linked siblings among them, while the
#: wider population has some, and one recipe's clean stream crossed its cutoff
#: 14 times a day. With the nearest row the pseudo-windows' groups are larger
#: than live ones, as a cutoff needs.
LINK = 1
#: The window sizes calibrated; a window between two takes the larger one's
#: cutoffs, a larger window is grouped over its latest SIZES[-1] messages.
SIZES = (100, 300, 1000)
#: The share test's group requirement, at this chance per window: joined with
#: a significant count, which clean traffic gives in alpha_novel of windows.
SHARE_GROUP_RATE = 1e-2
SHARE_FLOOR = 3
#: Never fewer than this for the novelty statistic: a pair of siblings is
#: common, a triple rare but within a month of windows.
MIN_CUTOFF = 4
WINDOWS = 1000
#: The tail past which a message counts for the group statistic and the alarm
#: (the share test keeps the settings' tail): wider, so that a newcomer near the
#: reference puts more of its messages in the group.
GROUP_TAIL = 0.04
MIX_SHARE = 0.6
MIX_SECTIONS = 3
SECTIONS = 12
#: The alarm: average run length to a false alarm, at ALARM_RATE messages a
#: second (what the default CPU share collects from a busy server, embedding
#: in batches and charged what it spends: 14-15 a second), and the event rate
#: it looks for, as a multiple of the null rate.
ALARM_ARL_DAYS = 90.0
ALARM_RATE = 15.0
ALARM_RATIO = 5.0
ALARM_QUANTILE = 0.99
#: The smallest null event rate the alarm assumes: a recipe whose held-out
#: rows never link still gets a finite threshold.
MIN_EVENT_RATE = 5e-4


@dataclass(frozen=True)
class RecipeCalibration:
    """The cutoffs of one recipe modality at one score setting (k, tail)."""

    version: int
    digest: str                   # of the arrays it was computed from (reference_digest)
    k: int
    tail: float                   # the settings' tail it was computed at
    group_tail: float             # the group statistic's tail
    link: int                     # linked: nearer each other than their link-th nearest train rows
    n_reference: int              # reference rows the pseudo-windows drew from
    flagged: int                  # of them past the group's tail
    sizes: tuple[int, ...]
    group_cutoff: tuple[int, ...]  # per size: largest group that says novel
    share_group: tuple[int, ...]   # per size: group the share test's path needs
    clean_largest: tuple[int, ...]  # per size: the largest group any clean pseudo-window reached
    mixed_largest: tuple[int, ...]  # the same over mixed ones
    windows: int
    q0: float                     # alarm: null share of flagged-and-linked messages
    q1: float
    h: float
    arl_messages: float
    source: str = "computed"      # "recipe": read from the recipe's file

    def at(self, n: int) -> int:
        """Index of the calibrated size that rules a window of ``n`` messages."""
        for i, size in enumerate(self.sizes):
            if n <= size:
                return i
        return len(self.sizes) - 1

    def to_dict(self) -> dict[str, Any]:
        d = asdict(self)
        d.pop("source")
        return d

    @classmethod
    def from_dict(cls, d: Any, digest: str | None = None) -> RecipeCalibration | None:
        """A stored calibration, or None when it is unreadable, of another
        version, or (given ``digest``) computed from other arrays."""
        try:
            if not isinstance(d, dict) or d.get("version") != VERSION:
                return None
            names = {f.name for f in fields(cls)} - {"source"}
            values = {k: d[k] for k in names}
            for k in ("sizes", "group_cutoff", "share_group", "clean_largest", "mixed_largest"):
                values[k] = tuple(int(x) for x in values[k])
            n = len(values["sizes"])
            if not n or any(len(values[k]) != n for k in ("group_cutoff", "share_group")):
                return None
            c = cls(**values, source="recipe")
            if not all(math.isfinite(float(x)) and float(x) > 0 for x in (c.q0, c.q1, c.h)):
                return None
        except (KeyError, TypeError, ValueError):
            return None
        return c if digest is None or c.digest == digest else None


def reference_digest(train: np.ndarray, test: np.ndarray | None) -> str:
    """16 hex digits of the float32 bytes of train and test: a calibration
    belongs to these arrays and no others."""
    h = hashlib.blake2b(digest_size=8)
    for a in (train, test):
        a = np.zeros((0, 0), np.float32) if a is None else np.ascontiguousarray(np.asarray(a, dtype=np.float32))
        h.update(str(a.shape).encode())
        h.update(a.tobytes())
    return h.hexdigest()


# --------------------------------------------------------------------------
# the reference as a population


def group_threshold(cal: Calibration, group_tail: float) -> float:
    """The score past which a message counts for the group statistic: the
    calibration's order statistic at ``group_tail``, as for the tail."""
    l = max(1, min(cal.n, int(math.floor(group_tail * (cal.n + 1)))))
    return float(cal.scores[cal.n - l])


#: Each flagged row keeps this many nearest reference rows: its LINK-th nearest
#: train row once a pseudo-window's rows are left out of train is the LINK-th
#: of them outside the window (or the last, which errs towards links).
NEIGHBOURS = 12


@dataclass
class _Pool:
    n: int                  # reference rows
    flagged: np.ndarray     # indices of the flagged rows
    pair: np.ndarray        # cosine similarity among them
    neighbours: np.ndarray  # each one's nearest train rows (reference indices), nearest first
    near: np.ndarray        # their similarities
    section: np.ndarray     # section of every row
    section_flagged: np.ndarray  # section of each flagged row


def _pool(train: np.ndarray, test: np.ndarray | None, cal: Calibration, seed: int, group_tail: float) -> _Pool:
    T = cal.train
    E = unit_rows(test) if test is not None and len(test) else np.zeros((0, T.shape[1]), np.float32)
    R = np.vstack([T, E])
    scores = np.r_[knn_distance(T, T, cal.k, leave_one_out=True) if len(T) > 1 else np.zeros(0, np.float32),
                   knn_distance(E, T, cal.k) if len(E) else np.zeros(0, np.float32)]
    flagged = np.flatnonzero(scores > group_threshold(cal, group_tail))
    X = R[flagged]
    S = X @ T.T
    mine = np.flatnonzero(flagged < len(T))
    S[mine, flagged[mine]] = -np.inf  # a row is not its own train row
    m = max(1, min(NEIGHBOURS, len(T) - 1))
    neighbours = np.argsort(-S, axis=1)[:, :m]
    near = np.take_along_axis(S, neighbours, axis=1)
    section = _sections(R, seed)
    return _Pool(len(R), flagged, X @ X.T, neighbours, near, section, section[flagged])


def _sections(R: np.ndarray, seed: int, iterations: int = 12) -> np.ndarray:
    """Spherical k-means labels: the reference's sections, as far as its
    rows tell them."""
    rng = np.random.default_rng(seed)
    k = max(1, min(SECTIONS, len(R) // 50))
    centres = R[rng.choice(len(R), k, replace=False)]
    labels = np.zeros(len(R), int)
    for _ in range(iterations):
        labels = np.argmax(R @ centres.T, axis=1)
        for c in range(k):
            members = R[labels == c]
            if len(members):
                m = members.sum(axis=0)
                centres[c] = m / max(float(np.linalg.norm(m)), 1e-12)
    return labels


def _components(A: np.ndarray) -> tuple[int, int]:
    """(largest connected group, rows with a link) of the adjacency ``A``."""
    return largest_group(A), int(np.count_nonzero(A.any(axis=1)))


def _simulate(pool: _Pool, n: int, windows: int, rng: np.random.Generator, mixed: bool,
              link: int = LINK) -> tuple[np.ndarray, np.ndarray]:
    """(largest group, linked rows) of ``windows`` pseudo-windows of ``n``
    messages: each reference row is in a window with the chance a window of
    ``n`` drawn from the recipe's population holds it, and the window's rows
    are left out of train, so a live message's sibling is in train or in
    the window as the draw has it."""
    F = len(pool.flagged)
    largest = np.zeros(windows, int)
    linked = np.zeros(windows, int)
    if not F:
        return largest, linked
    counts = np.bincount(pool.section, minlength=pool.section.max() + 1)
    for w in range(windows):
        chance = np.full(pool.n, min(1.0, n / pool.n))
        if mixed:
            chosen = rng.choice(len(counts), min(MIX_SECTIONS, len(counts)), replace=False)
            size = counts[chosen].sum()
            chance[:] = min(1.0, (1.0 - MIX_SHARE) * n / pool.n)
            sel = np.isin(pool.section, chosen)
            chance[sel] = np.minimum(1.0, chance[sel] + MIX_SHARE * n / max(size, 1))
        inside = rng.random(pool.n) < chance
        inc = np.flatnonzero(inside[pool.flagged])
        if not len(inc):
            continue
        out = np.cumsum(~inside[pool.neighbours[inc]], axis=1) >= link
        first = np.where(out.any(axis=1), out.argmax(axis=1), out.shape[1] - 1)
        nr = pool.near[inc, first]
        P = pool.pair[np.ix_(inc, inc)]
        A = P > np.maximum(nr[:, None], nr[None, :])
        np.fill_diagonal(A, False)
        largest[w], linked[w] = _components(A)
    return largest, linked


def _cutoff(largest: np.ndarray, rate: float, floor: int) -> int:
    """The smallest group size at least ``floor`` that ``largest`` reaches
    in at most ``rate`` of the windows."""
    c = floor
    while np.mean(largest >= c) > rate:
        c += 1
    return c


def alarm_threshold(q0: float, q1: float, arl: float) -> float:
    """The CUSUM threshold whose average run length at the null share ``q0``
    is about ``arl`` messages: ``(e^h - h - 1) / |E0[llr]| = arl`` (Wald's
    approximation; the Bernoulli steps overshoot it, so the run is longer)."""
    drift = abs(q0 * math.log(q1 / q0) + (1 - q0) * math.log((1 - q1) / (1 - q0)))
    lo, hi = 0.0, 100.0
    for _ in range(100):
        mid = (lo + hi) / 2
        if (math.exp(mid) - mid - 1) / drift < arl:
            lo = mid
        else:
            hi = mid
    return hi


def calibrate(train: np.ndarray, test: np.ndarray | None, *, k: int = 5, tail: float = 0.01,
              sizes: tuple[int, ...] = SIZES, windows: int = WINDOWS, seed: int = 0,
              cal: Calibration | None = None, group_tail: float | None = None) -> RecipeCalibration:
    """The recipe's cutoffs (see the module's docstring). ``cal``: the
    report's calibration of the same arrays, when already built."""
    train = np.asarray(train, dtype=np.float32)
    cal = cal or Calibration(train, test, k=k, tail=tail)
    group_tail = GROUP_TAIL if group_tail is None else group_tail
    pool = _pool(train, test, cal, seed, group_tail)
    rng = np.random.default_rng(seed)
    group, share, clean_max, mixed_max = [], [], [], []
    worst_rate = 0.0
    for n in sizes:
        clean = _simulate(pool, n, windows, rng, mixed=False)
        mixed = _simulate(pool, n, windows, rng, mixed=True)
        both = np.r_[clean[0], mixed[0]]
        group.append(max(MIN_CUTOFF, int(both.max(initial=0)) + 1))
        share.append(max(_cutoff(clean[0], SHARE_GROUP_RATE, SHARE_FLOOR),
                         _cutoff(mixed[0], SHARE_GROUP_RATE, SHARE_FLOOR)))
        clean_max.append(int(clean[0].max(initial=0)))
        mixed_max.append(int(mixed[0].max(initial=0)))
        if n == max(sizes):
            # a high quantile, not the mean: a stream dwells for hours in windows richer in siblings
            worst_rate = float(np.quantile(np.r_[clean[1], mixed[1]], ALARM_QUANTILE)) / n
    q0 = max(MIN_EVENT_RATE, worst_rate)
    q1 = min(0.5, ALARM_RATIO * q0)
    arl = ALARM_ARL_DAYS * 86400 * ALARM_RATE
    return RecipeCalibration(
        version=VERSION, digest=reference_digest(train, test), k=cal.k, tail=cal.tail, group_tail=group_tail, link=LINK,
        n_reference=pool.n,
        flagged=len(pool.flagged), sizes=tuple(sizes),
        group_cutoff=tuple(group), share_group=tuple(share), clean_largest=tuple(clean_max),
        mixed_largest=tuple(mixed_max), windows=windows, q0=q0, q1=q1,
        h=alarm_threshold(q0, q1, arl), arl_messages=arl)


def recipe_calibrations(train: dict[str, np.ndarray], test: dict[str, np.ndarray], *, k: int = 5,
                        tail: float = 0.01) -> dict[str, dict[str, Any]]:
    """modality -> stored form, for a recipe's archives (``{modality}_embeddings``
    members): what the recipe builder writes."""
    out = {}
    for key, tr in train.items():
        if not key.endswith("_embeddings"):
            continue
        modality = key[: -len("_embeddings")]
        out[modality] = calibrate(tr, test.get(key), k=k, tail=tail).to_dict()
    return out
