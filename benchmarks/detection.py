"""How often the shift report's verdicts fire, on real text embedded with
all-MiniLM-L6-v2, on two corpora of this machine (detection_data.py):
``debian`` (package descriptions; newcomers German messages, games
descriptions, Python docstrings) and ``code`` (docstrings of installed
packages; newcomers German messages, manual-page summaries, package
descriptions).

Recipes are drawn from a corpus's reference rows (2000 train, 500 test; each
recipe its own split); live windows from the reference rows no recipe holds,
with a share eps replaced by rows of a newcomer. Each window goes through the
report's own row (compute._row, the calibration and the recipe's cutoffs
cached per recipe as in the server), so the figures are the report's. The
cutoffs are computed per recipe from its own rows (report/calibrate.py):
nothing here is tuned on the reporting half, and both halves are printed.

    nice -n 10 python benchmarks/detection.py --quick          # a few minutes on 2 cores
    nice -n 10 python benchmarks/detection.py                  # more recipes, windows and days

Prints, per corpus and half: the cases (clean windows; newcomers at 2, 5 and
10 %) with the statistic that decided; per corpus (reporting half) streams
of clean traffic and of 60 % from three known sections, with false novel
episodes per recipe-day; the time to novel in a stream at 2 and 5 %; the
CPU time per row.
"""
from __future__ import annotations

import argparse
import sys
import time
from collections import Counter
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "src"))

import detection_data  # noqa: E402

from olvane_sdk.fast.deployment.ood.report import compute as sn  # noqa: E402
from olvane_sdk.fast.deployment.ood.report import detect  # noqa: E402
from olvane_sdk.fast.deployment.ood.report.calibrate import SIZES, group_threshold  # noqa: E402
from olvane_sdk.fast.deployment.ood.report.stats import knn_distance  # noqa: E402

# corpus -> (loader, {case name: domain})
CORPORA = {
    "debian": (detection_data.load, {"language": "language", "games": "topic", "diffuse": "docstrings"}),
    "code": (detection_data.load_code, {"language": "language", "games": "manpages", "diffuse": "packages"}),
}
CASES = [("clean", None, 300, 0.0), ("clean", None, 1000, 0.0), ("language", "language", 1000, 0.02),
         ("games", "games", 1000, 0.02), ("games", "games", 300, 0.05), ("diffuse", "diffuse", 1000, 0.1)]
TARGETS = {("language", 1000, 0.02): 0.9, ("games", 1000, 0.02): 0.6, ("games", 300, 0.05): 0.5,
           ("diffuse", 1000, 0.1): 0.75}
EVERY, WINDOW = 60, 1000  # seconds between reports, the window
RATE = 3  # messages collected a second (--rate): 3 at the default share with one message per encode and
#          the cost model's charge, about 15 with measured charging and batches


def recipes(n_ref: int, count: int, seed: int):
    """(train, test, pool) row indices per recipe: each recipe its own split."""
    for r in range(count):
        idx = np.random.default_rng([seed, r]).permutation(n_ref)
        yield idx[:2000], idx[2000:2500], idx[2500:]


def window(rng, pool, novel, n, eps):
    k = int(round(eps * n)) if novel is not None else 0
    parts = [pool[rng.choice(len(pool), n - k, replace=n - k > len(pool))]]
    if k:
        parts.append(novel[rng.choice(len(novel), k, replace=k > len(novel))])
    live = np.vstack(parts)
    return live[rng.permutation(len(live))]  # newcomers spread over the window


def run_row(train, test, live, settings, name):
    return sn._row(name, "text", {"train": train, "test": test}, list(live), settings)


def cases(corpus, half, ref, novel, settings, windows, n_recipes, seed):
    print(f"\n### {corpus}, {half} half: cases ({windows} windows per recipe, {n_recipes} recipes)\n")
    print("| case | n | ε | novel or shift | shift | decided by | per recipe (novel or shift) |\n|---|---|---|---|---|---|---|")
    out = {}
    # the recipe's arrays made once: the report caches per recipe by their identity, as the server's stay put
    recs = [(ref[tr], ref[te], ref[pool]) for tr, te, pool in recipes(len(ref), n_recipes, seed)]
    for name, d, n, e in CASES:
        hits, shifts, by, per = 0, 0, Counter(), []
        for r, (tr, te, pool) in enumerate(recs):
            rng = np.random.default_rng([seed, r, n, int(e * 1000), len(name)])
            h = 0
            for _ in range(windows):
                row = run_row(tr, te, window(rng, pool, None if d is None else novel[d], n, e),
                              settings, f"{corpus}-{half}-{r}")
                hit = row.verdict in ("novel", "shift")
                h += hit
                shifts += row.verdict == "shift"
                by[row.novel_by or ("shift" if row.verdict == "shift" else "-")] += hit
            hits += h
            per.append(h)
        total = windows * len(recs)
        out[(name, n, e)] = hits / total
        decided = ", ".join(f"{k} {v}" for k, v in by.most_common() if v)
        print(f"| {name} | {n} | {e:g} | {100 * hits / total:.0f}% | {100 * shifts / total:.0f}% | {decided or '-'} | "
              f"{' '.join(map(str, per))} (of {windows}) |", flush=True)
    return out


class _Fast:
    """The row's novelty statistics for a stream of reports over one recipe,
    from scores and nearest-train similarities computed once per message (the
    row computes the same per report): the group against the recipe's
    cutoff, the share test with its group, the alarm carried from report to
    report over the messages each report adds."""

    def __init__(self, train, test, X, settings, name):
        ref = {"train": train, "test": test}
        self.cal = sn.calibration_for(train, test, train, test, settings)
        self.rc = sn.recipe_calibration_for(train, test, train, test, settings)
        self.X = detect.unit_rows(X)
        self.score = self.cal.score(X)
        self.near = 1.0 - knn_distance(self.X, self.cal.train, self.rc.link)
        self.settings = settings
        self.ref = ref
        self.s = 0.0

    def report(self, w: np.ndarray, new: int) -> tuple[bool, bool, bool]:
        """(group, share, alarm) of the window ``w`` (message ids, arrival
        order, each once), whose last ``new`` messages came since the last report."""
        sc = self.score[w]
        flags = sc > group_threshold(self.cal, self.rc.group_tail)
        f = np.flatnonzero(flags[-max(SIZES):]) + max(0, len(w) - max(SIZES))
        F = self.X[w[f]]
        S = F @ F.T
        np.fill_diagonal(S, -np.inf)
        nr = self.near[w[f]]
        A = S > np.maximum(nr[:, None], nr[None, :])
        largest = detect.largest_group(A) if A.any() else int(len(f) > 0)
        i = self.rc.at(min(len(w), max(SIZES)))
        group = largest >= self.rc.group_cutoff[i]
        share = False
        if largest >= self.rc.share_group[i]:
            share = self.cal.share_test(sc).p_value < self.settings.alpha_novel
        events = np.zeros(len(w), bool)
        events[f] = A.any(axis=1)
        self.s, top = detect.cusum_from(self.s, events[len(w) - new:], self.rc.q0, self.rc.q1, 2 * self.rc.h)
        return group, share, bool(top >= self.rc.h)


def _episodes(alarms: np.ndarray) -> int:
    a = np.r_[False, alarms.astype(bool)]
    return int(np.count_nonzero(a[1:] & ~a[:-1]))


def _once(w: np.ndarray) -> np.ndarray:
    return w[np.sort(np.unique(w, return_index=True)[1])]


def streams(corpus, ref, sections, settings, n_recipes, seed, days, full_every):
    """Clean traffic and 60 % from three known sections (Debian sections, or
    the docstrings' top-level packages; a new triple each day), a report every minute over the latest 1,000 messages at RATE a second;
    every ``full_every``-th report also runs the whole row (shift, diffuse)."""
    per_report = int(RATE * EVERY)
    reports = int(days * 86400 / EVERY)
    print(f"\n### {corpus}: streams at {RATE:g} messages a second, {days:g} days per recipe and kind, {n_recipes} recipes "
          f"({days * n_recipes:g} recipe-days each)\n")
    print("| traffic | recipe | false novel episodes / day: group | share | alarm | any | "
          "whole rows | novel or shift in them | by diffuse |\n|---|---|---|---|---|---|---|---|---|")
    kinds = [("clean", 0.0), ("60% three sections", 0.6)]
    for label, share in kinds:
        for r, (tr, te, pool) in enumerate(recipes(len(ref), n_recipes, seed)):
            train, test = ref[tr], ref[te]
            fast = _Fast(train, test, ref, settings, f"{corpus}-stream-{r}")
            rng = np.random.default_rng([seed, r, len(label)])
            total = reports * per_report + WINDOW
            msgs = pool[rng.integers(len(pool), size=total)]
            if share:
                names, sizes = np.unique(sections[pool], return_counts=True)
                names = names[sizes >= 60]  # sections a window can draw 200 distinct messages from
                for day in range(int(np.ceil(days))):
                    lo, hi = int(day * 86400 * RATE), min(total, int((day + 1) * 86400 * RATE))
                    chosen = rng.choice(names, 3, replace=False)
                    sp = pool[np.isin(sections[pool], chosen)]
                    take = lo + np.flatnonzero(rng.random(hi - lo) < share)
                    msgs[take] = sp[rng.integers(len(sp), size=len(take))]
            al = {k: np.zeros(reports, bool) for k in ("group", "share", "alarm")}
            full = {"rows": 0, "hit": 0, "diffuse": 0}
            for j in range(reports):
                w = _once(msgs[(j + 1) * per_report:(j + 1) * per_report + WINDOW])
                al["group"][j], al["share"][j], al["alarm"][j] = fast.report(w, min(per_report, len(w)))
                if full_every and j % full_every == 0:
                    row = run_row(train, test, ref[w], settings, f"{corpus}-stream-{r}")
                    full["rows"] += 1
                    full["hit"] += row.verdict in ("novel", "shift")
                    full["diffuse"] += row.novel_by == "diffuse"
            anyof = al["group"] | al["share"] | al["alarm"]
            e = {k: _episodes(v) / days for k, v in al.items()}
            print(f"| {label} | {r} | {e['group']:.3f} | {e['share']:.3f} | {e['alarm']:.3f} | "
                  f"{_episodes(anyof) / days:.3f} | {full['rows']} | {full['hit']} | {full['diffuse']} |", flush=True)


def time_to_novel(corpus, ref, novel, settings, n_recipes, seed, trials, domains):
    """Minutes from a newcomer's start (a share eps of the stream) to the
    first novel report (group, share test or alarm), reports every minute."""
    print(f"\n### {corpus}: minutes to novel in a stream at {RATE:g} messages a second (median over {trials} starts x {n_recipes} recipes; "
          "never within 6 hours: -)\n")
    print("| newcomer | ε = 2% | ε = 5% | by (at 5 %) |\n|---|---|---|---|")
    per_report = int(RATE * EVERY)
    for d in domains:
        cells, by = [], Counter()
        for eps in (0.02, 0.05):
            got = []
            for r, (tr, te, pool) in enumerate(recipes(len(ref), n_recipes, seed)):
                X = np.vstack([ref, novel[d]])
                fast = _Fast(ref[tr], ref[te], X, settings, f"{corpus}-ttn-{r}")
                for t in range(trials):
                    rng = np.random.default_rng([seed, r, t, int(eps * 100), len(d)])
                    fast.s = 0.0
                    steps = 360
                    before = pool[rng.integers(len(pool), size=WINDOW)]
                    after = np.where(rng.random(steps * per_report) < eps,
                                     len(ref) + rng.integers(len(novel[d]), size=steps * per_report),
                                     pool[rng.integers(len(pool), size=steps * per_report)])
                    msgs = np.r_[before, after]
                    fast.report(_once(msgs[:WINDOW]), WINDOW)
                    hit = np.inf
                    for j in range(1, steps + 1):
                        w = _once(msgs[j * per_report:j * per_report + WINDOW])
                        res = fast.report(w, per_report)
                        if any(res):
                            hit = j
                            if eps == 0.05:
                                by[("group", "share", "alarm")[res.index(True)]] += 1
                            break
                    got.append(hit)
            med = np.median(got)
            cells.append("-" if not np.isfinite(med) else f"{med:.0f}")
        print(f"| {d} | {cells[0]} | {cells[1]} | {', '.join(f'{k} {v}' for k, v in by.most_common())} |", flush=True)


def timing(ref, settings, seed):
    print("\n### CPU time per row (one core, median of 3)\n")
    tr, te, pool = next(recipes(len(ref), 1, seed + 99))
    rng = np.random.default_rng(seed)
    train, test = ref[tr] + 0.0, ref[te] + 0.0  # new arrays: nothing cached for them
    t = time.process_time()
    run_row(train, test, window(rng, ref[pool], None, 1000, 0), settings, "fresh")
    print(f"- first row of a recipe without a stored calibration (calibration, cutoffs, yardstick, row): "
          f"{time.process_time() - t:.2f} s")
    for n in (1000, 10000):
        live = ref[pool][rng.choice(len(pool), n, replace=n > len(pool))]
        live = live + rng.normal(0, 1e-3, live.shape).astype(np.float32)  # distinct rows, as live traffic
        ts = []
        for _ in range(3):
            t = time.process_time()
            run_row(train, test, live, settings, "fresh")
            ts.append(time.process_time() - t)
        print(f"- 2000 train / 500 test / {n} live: {np.median(ts):.3f} s per row")


def main():
    global RATE
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--quick", action="store_true", help="fewer recipes, windows and days")
    ap.add_argument("--corpora", default="debian,code")
    ap.add_argument("--halves", default="tune,report")
    ap.add_argument("--only", default="cases,stream,time,cpu")
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--group-tail", type=float, default=None, help="the group statistic's tail (tuning)")
    ap.add_argument("--rate", type=float, default=RATE, help="messages collected a second in the streams")
    a = ap.parse_args()
    RATE = a.rate
    from threadpoolctl import threadpool_limits

    n_recipes, windows, days, trials, full_every = (3, 4, 10.0, 3, 1440) if a.quick else (6, 10, 15.0, 6, 240)
    settings = sn.ReportSettings()
    sn._group_tail = a.group_tail
    only = set(a.only.split(","))
    print(f"# Detection benchmark{' (quick)' if a.quick else ''}\n\nsettings: {settings}")
    with threadpool_limits(limits=1):
        for corpus in a.corpora.split(","):
            loader, names = CORPORA[corpus]
            data = loader()
            for half in a.halves.split(","):
                ref = data["reference"][half]
                novel = {case: data[d][half] for case, d in names.items()}
                print(f"\n## {corpus}, {half} half: reference {len(ref)} rows; "
                      + ", ".join(f"{c} ({names[c]}) {len(x)}" for c, x in novel.items()))
                if "cases" in only:
                    cases(corpus, half, ref, novel, settings, windows, n_recipes, a.seed)
                if half != "report":
                    continue
                if "stream" in only:
                    sections = (detection_data.reference_sections() if corpus == "debian"
                                else detection_data.code_sections())["report"]
                    streams(corpus, ref, sections, settings, n_recipes, a.seed, days, full_every)
                if "time" in only:
                    time_to_novel(corpus, ref, novel, settings, n_recipes, a.seed, trials, ("language", "games"))
                if "cpu" in only and corpus == "debian":
                    timing(ref, settings, a.seed)


if __name__ == "__main__":
    main()
