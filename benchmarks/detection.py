"""How often the shift report's verdicts fire, on real text embedded with
all-MiniLM-L6-v2 (the data: detection_data.py).

Recipes are drawn from the reference domain (2000 train, 500 test rows);
live windows from the reference rows no recipe holds, with a share eps
replaced by rows of a novel domain. Each window goes through the report's own
row computation (compute._row, with the calibration and the yardstick cached
per recipe as in the server), so the figures are the report's.

    nice -n 10 python benchmarks/detection.py                  # the reporting half
    nice -n 10 python benchmarks/detection.py --tune           # choose k on the tuning half
    nice -n 10 python benchmarks/detection.py --quick          # fewer windows

Prints: type-I rate of each verdict over reference-only windows at n = 100,
300, 1000; the rate of novel / shift / drift per novel domain and eps; the
CPU time per row (2000 train / 500 test / 1000 live, and 10,000 live).
"""
from __future__ import annotations

import argparse
import sys
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "src"))

import detection_data  # noqa: E402

from olvane_sdk.fast.deployment.ood.report import compute as sn  # noqa: E402
from olvane_sdk.fast.deployment.ood.report.stats import Calibration  # noqa: E402

NS = (100, 300, 1000)
EPS = (0.02, 0.05, 0.1, 0.2, 0.5, 1.0)
DOMAINS = ("language", "everyday", "topic", "docstrings")
VERDICTS = ("shift", "novel", "drift")


def recipes(ref: np.ndarray, count: int, seed: int):
    """(train, test, pool of in-distribution live rows) per recipe."""
    rng = np.random.default_rng(seed)
    for _ in range(count):
        idx = rng.permutation(len(ref))
        yield ref[idx[:2000]], ref[idx[2000:2500]], ref[idx[2500:]]


def window(rng, pool, novel, n, eps):
    k = int(round(eps * n)) if novel is not None else 0
    parts = [pool[rng.choice(len(pool), n - k, replace=False)]]
    if k:
        parts.append(novel[rng.choice(len(novel), k, replace=k > len(novel))])
    live = np.vstack(parts)
    return live[rng.permutation(len(live))]  # newcomers spread over the window, not at its end


def run_row(recipe, live, settings, name="m"):
    train, test, _ = recipe
    return sn._row(name, "text", {"train": train, "test": test}, list(live), settings)


def pct(x, n):
    return f"{100 * x / n:5.1f}%"


def type_one(data, settings, windows, n_recipes, seed):
    print(f"\n## Type-I: reference-only windows ({windows} per n, over {n_recipes} recipes)\n")
    print("| n | shift | novel | drift | any | CPU s/row |\n|---|---|---|---|---|---|")
    per = max(1, windows // n_recipes)
    for n in NS:
        counts = dict.fromkeys(VERDICTS, 0)
        total, cpu = 0, 0.0
        for r, recipe in enumerate(recipes(data, n_recipes, seed)):
            rng = np.random.default_rng([seed, r, n])
            for _ in range(per):
                t = time.process_time()
                row = run_row(recipe, window(rng, recipe[2], None, n, 0), settings)
                cpu += time.process_time() - t
                total += 1
                if row.verdict in counts:
                    counts[row.verdict] += 1
        anyv = sum(counts.values())
        print(f"| {n} | " + " | ".join(pct(counts[v], total) for v in VERDICTS)
              + f" | {pct(anyv, total)} | {cpu / total:.3f} |", flush=True)


def power(data, novel, settings, windows, n_recipes, seed, domains, eps_list):
    print(f"\n## Power: shift / novel / drift per domain ({windows} windows per cell)\n")
    print("| domain | n | " + " | ".join(f"ε={e:g}" for e in eps_list) + " |")
    print("|---|---|" + "---|" * len(eps_list))
    per = max(1, windows // n_recipes)
    recs = list(recipes(data, n_recipes, seed))
    for d in domains:
        for n in NS:
            cells = []
            for e in eps_list:
                c = dict.fromkeys(VERDICTS, 0)
                total = 0
                for r, recipe in enumerate(recs):
                    rng = np.random.default_rng([seed, r, n, int(e * 1000), len(d)])
                    for _ in range(per if e < 1 else max(1, per // 4)):
                        row = run_row(recipe, window(rng, recipe[2], novel[d], n, e), settings)
                        total += 1
                        if row.verdict in c:
                            c[row.verdict] += 1
                cells.append("/".join(f"{100 * c[v] / total:.0f}" for v in VERDICTS))
            print(f"| {d} | {n} | " + " | ".join(cells) + " |", flush=True)
    print("\ncells: % of windows shift/novel/drift")


def timing(data, settings, seed):
    print("\n## CPU time per row (one core, median of 5)\n")
    recipe = next(recipes(data, 1, seed))
    rng = np.random.default_rng(seed)
    t = time.process_time()
    run_row(recipe, window(rng, recipe[2], None, 1000, 0), settings, name="fresh")
    print(f"first row of a recipe (calibration + yardstick + row): {time.process_time() - t:.3f} s")
    for n in (1000, 10000):
        live = recipe[2][rng.choice(len(recipe[2]), n, replace=n > len(recipe[2]))]
        ts = []
        for _ in range(5):
            t = time.process_time()
            run_row(recipe, live, settings, name="fresh")
            ts.append(time.process_time() - t)
        print(f"2000 train / 500 test / {n} live: {np.median(ts):.3f} s per row")


def cases(data, novel, settings, windows, n_recipes, seed):
    """The targets of the detection work, each through the report's row."""
    todo = [("clean", None, 1000, 0.0), ("docstrings", "docstrings", 1000, 0.1),
            ("language", "language", 1000, 0.02), ("topic", "topic", 300, 0.05),
            ("language", "language", 1000, 0.05), ("topic", "topic", 1000, 0.05), ("topic", "topic", 1000, 0.02)]
    print(f"\n## Cases ({windows} windows each, over {n_recipes} recipes; % of windows)\n")
    print("| case | n | ε | shift | novel | drift | novel or shift |\n|---|---|---|---|---|---|---|")
    recs = list(recipes(data, n_recipes, seed))
    per = max(1, windows // n_recipes)
    for name, d, n, e in todo:
        c = dict.fromkeys(VERDICTS, 0)
        total = 0
        for r, recipe in enumerate(recs):
            rng = np.random.default_rng([seed, r, n, int(e * 1000), 7])
            for _ in range(per):
                row = run_row(recipe, window(rng, recipe[2], None if d is None else novel[d], n, e), settings)
                total += 1
                if row.verdict in c:
                    c[row.verdict] += 1
        print(f"| {name} | {n} | {e:g} | " + " | ".join(pct(c[v], total) for v in VERDICTS)
              + f" | {pct(c['shift'] + c['novel'], total)} |", flush=True)


def repeats(data, settings, windows, n_recipes, seed):
    """5 messages making 20 % of a window of 1000: half sent verbatim, half
    as near copies (cosine about 0.99, as a re-embedding or a small edit)."""
    print(f"\n## Repeats: 5 messages as 20 % of n = 1000 ({windows} windows)\n")
    c = dict.fromkeys(VERDICTS, 0)
    total, found = 0, []
    per = max(1, windows // n_recipes)
    for r, recipe in enumerate(recipes(data, n_recipes, seed)):
        rng = np.random.default_rng([seed, r, 99])
        for _ in range(per):
            base = window(rng, recipe[2], None, 805, 0)
            rep = np.repeat(base[:5], 40, axis=0)
            rep[1::2] += rng.normal(0, 0.0073, size=rep[1::2].shape).astype(np.float32)
            live = np.vstack([base, rep])[rng.permutation(1005)]
            row = run_row(recipe, live, settings)
            total += 1
            found.append(getattr(row, "repeats", 0))
            if row.verdict in c:
                c[row.verdict] += 1
    print("| shift | novel | drift | repeats found (of 200) |\n|---|---|---|---|")
    print(" | ".join(["", *(pct(c[v], total) for v in VERDICTS), f"{np.mean(found):.1f} |"]).strip(), flush=True)


def _old_share_fires(cal, flags, settings) -> bool:
    """The share test as it was: the tail's count alone against the calibration's bound."""
    from scipy.stats import binom

    k = int(np.count_nonzero(flags))
    return bool(k) and binom.sf(k - 1, len(flags), cal.bound) < settings.alpha_novel


def _now(cal, scores, settings, rows) -> tuple[bool, bool]:
    """(share test fires, CUSUM alarm) of the row as it is now: each as the
    row's own verdict reads it."""
    from olvane_sdk.fast.deployment.ood.report import detect
    from olvane_sdk.fast.deployment.ood.report.verdict import Verdict, verdict_for

    found = detect.novelty(cal, scores, rows)
    return verdict_for(None, settings, found.share) == Verdict.NOVEL, found.alarm


class _Rows:
    """A window's rows by index into X, taken only where the row asks (its flagged ones)."""

    def __init__(self, X, w):
        self.X, self.w = X, w

    def __getitem__(self, mask):
        return self.X[self.w[mask]]


def _once(window: np.ndarray) -> np.ndarray:
    """The window's row indices with a row sent twice kept once, in order, as the row counts it."""
    return window[np.sort(np.unique(window, return_index=True)[1])]


def _episodes(alarms: np.ndarray) -> int:
    a = np.r_[False, alarms.astype(bool)]
    return int(np.count_nonzero(a[1:] & ~a[:-1]))


def stream(data, sections, extra, settings, n_recipes, seed, days, mix_share=0.35, full_every=480, clean_days=30):
    """A simulated stream at 3 messages a second, a report every 60 s over
    the latest 1000 messages. Each message's score and region are computed
    once per recipe; per report, the share test and the CUSUM are computed as
    in the row; every ``full_every``-th report also runs the whole row
    (shift and drift). Clean traffic runs ``clean_days``, the mixes ``days``."""
    from olvane_sdk.fast.deployment.ood.report import detect

    rate, every, n = 3, 60, 1000
    per_report = rate * every
    print(f"\n## Stream: {rate} msg/s, a report every {every} s over the latest {n}; per recipe {clean_days:g} days"
          f" of clean traffic, {days:g} days of each mix; {n_recipes} recipes\n")
    print("Episodes per day per row (an episode: consecutive alarmed reports); whole rows on every "
          f"{full_every}th report: alarmed reports per day.\n")
    print("| traffic | novel verdict before (tail's share test) | novel alarm now (CUSUM) | novel verdict now (either) "
          "| rows run | shift reports/day | drift reports/day |")
    print("|---|---|---|---|---|---|---|")
    # a section's rows: those of the recipe's live pool and the other half's (``extra``), so that a
    # window's 350 messages of one section are distinct; sections with fewer are left out
    X_all = np.vstack([data, extra[0]])
    sec_all = np.r_[sections, extra[1]]
    secs = [s for s in np.unique(sections) if np.count_nonzero(extra[1] == s) + 0.25 * np.count_nonzero(sections == s)
            >= 1.2 * mix_share * n]
    mixes = [("clean", None)] + [(f"{100 * mix_share:.0f}% {s}", s) for s in secs]
    out = {}
    recs = list(recipes(np.arange(len(data)), n_recipes, seed))
    for label, sec in mixes:
        span = clean_days if sec is None else days
        reports = int(span * 86400 / every)
        tot = dict(old=0, cusum=0, new=0, shift=0, drift=0, rows=0)
        for r, (tr_i, te_i, pool_i) in enumerate(recs):
            train, test = data[tr_i], data[te_i]
            cal = Calibration(train, test, k=settings.knn_k, tail=settings.tail, confidence=settings.bound_confidence)
            score = cal.score(X_all)
            rng = np.random.default_rng([seed, r, len(label)])
            total = reports * per_report + n
            msgs = np.concatenate([rng.permutation(pool_i) for _ in range(total // len(pool_i) + 1)])[:total]
            if sec is not None:
                sp = np.r_[pool_i[sections[pool_i] == sec], len(data) + np.flatnonzero(extra[1] == sec)]
                take = rng.random(total) < mix_share
                msgs[take] = np.concatenate([rng.permutation(sp) for _ in range(take.sum() // len(sp) + 1)]
                                            )[:take.sum()]
            al = {k: np.zeros(reports, bool) for k in ("old", "share", "cusum")}
            for j in range(reports):
                w = msgs[(j + 1) * per_report:(j + 1) * per_report + n]
                w = _once(w)
                al["old"][j] = _old_share_fires(cal, score[w] > cal.threshold, settings)
                al["share"][j], al["cusum"][j] = _now(cal, score[w], settings, _Rows(X_all, w))
                if full_every and j % full_every == 0:
                    row = run_row((train, test, None), X_all[w], settings, name=f"s{r}")
                    tot["rows"] += 1
                    tot["shift"] += row.verdict == "shift"
                    tot["drift"] += row.verdict == "drift"
            for k in ("old", "cusum"):
                tot[k] += _episodes(al[k])
            tot["new"] += _episodes(al["share"] | al["cusum"])
        d = span * n_recipes
        rows_day = tot["rows"] / d
        out[label] = tot
        print(f"| {label} | {tot['old'] / d:.3f} | {tot['cusum'] / d:.3f} | "
              f"{tot['new'] / d:.3f} | {tot['rows']} | {tot['shift'] / max(1, tot['rows']) * 1440:.1f} | "
              f"{tot['drift'] / max(1, tot['rows']) * 1440:.1f} |", flush=True)
    return out


def arl(q0=0.012, messages=200_000_000, seed=0):
    """The CUSUM's run length to a false alarm when the flags come at the
    null share itself (continuous, restarted after each alarm)."""
    from olvane_sdk.fast.deployment.ood.report import detect

    rng = np.random.default_rng(seed)
    q1 = detect.CUSUM_RATIO * q0
    up, down = np.log(q1 / q0), np.log((1 - q0) / (1 - q1))
    gaps = rng.geometric(q0, size=int(messages * q0 * 1.1))  # messages from one flag to the next
    s, alarms, pos = 0.0, 0, 0
    for g in gaps:
        pos += int(g)
        if pos > messages:
            break
        s = max(0.0, s - (g - 1) * down) + up
        if s >= detect.CUSUM_H:
            alarms += 1
            s = 0.0
    days = messages / 3 / 86400
    print(f"\nCUSUM at the null share (q0 = {q0}, ratio {detect.CUSUM_RATIO:g}, h = {detect.CUSUM_H:g}): "
          f"{alarms} alarms in {messages:.2g} messages ({days:.0f} days at 3 msg/s): "
          f"ARL {messages / max(alarms, 1):.3g} messages" + (" (at least)" if not alarms else ""))


def time_to_novel(data, novel, settings, n_recipes, seed, eps=0.05, trials=8):
    """Minutes from a newcomer's start (share eps of the stream) to the first novel report."""
    from olvane_sdk.fast.deployment.ood.report import detect

    print(f"\n## Time to novel at ε = {eps:g} (3 msg/s, report every 60 s over the latest 1000; median minutes)\n")
    print("| domain | before (tail's share test) | now (share test or CUSUM) | CUSUM alone |\n|---|---|---|---|")
    recs = list(recipes(np.arange(len(data)), n_recipes, seed))
    for d in ("language", "topic", "docstrings"):
        res = {"old": [], "new": [], "cusum": []}
        for r, (tr_i, te_i, pool_i) in enumerate(recs):
            cal = Calibration(data[tr_i], data[te_i], k=settings.knn_k, tail=settings.tail,
                              confidence=settings.bound_confidence)
            X = np.vstack([data[pool_i], novel[d]])
            score = cal.score(X)
            for t in range(trials):
                rng = np.random.default_rng([seed, r, t, len(d)])
                before = rng.permutation(len(pool_i))[:1000]
                after = np.where(rng.random(400 * 180) < eps, len(pool_i) + rng.integers(len(novel[d]), size=400 * 180),
                                 rng.integers(len(pool_i), size=400 * 180))
                msgs = np.r_[before, after]
                got = {}
                for j in range(1, 401):
                    w = msgs[j * 180: j * 180 + 1000]
                    w = _once(w)
                    s_old = _old_share_fires(cal, score[w] > cal.threshold, settings)
                    s_now, c = _now(cal, score[w], settings, _Rows(X, w))
                    for key, hit in (("old", s_old), ("new", s_now or c), ("cusum", c)):
                        if hit and key not in got:
                            got[key] = j
                    if len(got) == 3:
                        break
                for key in res:
                    res[key].append(got.get(key, np.inf))
        print(f"| {d} | " + " | ".join(f"{np.median(res[k]):.0f}" for k in ("old", "new", "cusum")) + " |",
              flush=True)


def tune_k(data, novel, seed, n_recipes, windows):
    """k and the share test's type-I and power alone (cheap) on the tuning half."""
    print("\n## Tuning half: share test alone, by k (type-I at n=1000; power at ε=0.05, n=1000)\n")
    print("| k | type-I | " + " | ".join(DOMAINS) + " |\n|---|---|" + "---|" * len(DOMAINS))
    recs = list(recipes(data, n_recipes, seed))
    per = max(1, windows // n_recipes)
    for k in (1, 3, 5, 10, 20):
        s = sn.ReportSettings(knn_k=k)
        fires = {}
        for d in (None, *DOMAINS):
            hit = total = 0
            for r, (train, test, pool) in enumerate(recs):
                cal = Calibration(train, test, k=k, tail=s.tail, confidence=s.bound_confidence)
                rng = np.random.default_rng([seed, r, k])
                for _ in range(per):
                    live = window(rng, pool, None if d is None else novel[d], 1000, 0.05)
                    hit += cal.share_test(cal.score(live)).p_value < s.alpha_novel
                    total += 1
            fires[d] = pct(hit, total)
        print(f"| {k} | {fires[None]} | " + " | ".join(fires[d] for d in DOMAINS) + " |", flush=True)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--tune", action="store_true", help="use the tuning half and print the k table")
    ap.add_argument("--quick", action="store_true", help="fewer windows")
    ap.add_argument("--windows", type=int, default=200, help="reference-only windows per n")
    ap.add_argument("--power-windows", type=int, default=48, help="windows per power cell")
    ap.add_argument("--recipes", type=int, default=8)
    ap.add_argument("--only", default="typeI,power,cases,repeats,stream,time")
    ap.add_argument("--days", type=float, default=7.0, help="simulated days per recipe in the stream")
    ap.add_argument("--seed", type=int, default=1)
    a = ap.parse_args()
    from threadpoolctl import threadpool_limits

    half = "tune" if a.tune else "report"
    all_data = detection_data.load()
    data = all_data["reference"][half]
    novel = {d: all_data[d][half] for d in DOMAINS}
    windows, pw = (40, 16) if a.quick else (a.windows, a.power_windows)
    settings = sn.ReportSettings()
    print(f"# Detection benchmark, {half} half: reference {len(data)} rows; "
          + ", ".join(f"{d} {len(x)}" for d, x in novel.items()))
    print(f"settings: {settings}")
    only = set(a.only.split(","))
    with threadpool_limits(limits=1):
        if a.tune:
            tune_k(data, novel, a.seed, a.recipes, windows)
        if "typeI" in only:
            type_one(data, settings, windows, a.recipes, a.seed)
        if "power" in only:
            power(data, novel, settings, pw, a.recipes, a.seed, DOMAINS, EPS)
        if "cases" in only:
            cases(data, novel, settings, pw, a.recipes, a.seed)
        if "repeats" in only:
            repeats(data, settings, 32 if not a.quick else 8, a.recipes, a.seed)
        if "stream" in only:
            other = "report" if half == "tune" else "tune"
            sec = detection_data.reference_sections()
            stream(data, sec[half], (all_data["reference"][other], sec[other]), settings, min(a.recipes, 4), a.seed,
                   a.days)
            arl()
            time_to_novel(data, novel, settings, min(a.recipes, 4), a.seed)
        if "time" in only:
            timing(data, settings, a.seed)


if __name__ == "__main__":
    main()
