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
    return np.vstack(parts)


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
    ap.add_argument("--only", default="typeI,power,time")
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
        if "time" in only:
            timing(data, settings, a.seed)


if __name__ == "__main__":
    main()
