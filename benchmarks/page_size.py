"""How big the operator's page grows with its history.

    PYTHONPATH=src python benchmarks/page_size.py [--rows N] [--history N]

``--rows`` served rows, each with ``--history`` history rows (10,000: the
store's retention bound) at one report a minute, the verdict flapping
between ok and novel at every report and the figures moving with it: the
worst case for the charts. Prints the page's bytes, in all and per row.
"""
from __future__ import annotations

import argparse
import time

from olvane_sdk.fast.deployment.ood.report.page import render_page


def history(n: int, t0: float) -> list[dict]:
    return [{"time": t0 + 60.0 * i, "verdict": "novel" if i % 2 else "ok", "auc": 0.5 + 0.1 * (i % 7) / 7,
             "mmd2": 0.001 * (i % 5), "p_value": 0.5 / (1 + i % 9), "ood_share": 0.01 + 0.03 * (i % 2),
             "ood_bound": 0.02, "n_live": 1000, "repeats": 0, "clusters": [12, 4]} for i in range(n)]


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--rows", type=int, default=2)
    ap.add_argument("--history", type=int, default=10_000)
    args = ap.parse_args()
    t0 = time.time() - 60.0 * args.history
    rows = [{"model": f"model-{k}", "modality": "text", "verdict": "novel", "n_live": 1000, "n_train": 5000,
             "n_test": 1000} for k in range(args.rows)]
    hist = {(r["model"], "text"): history(args.history, t0) for r in rows}
    start = time.perf_counter()
    page = render_page({"settings": {"auc_threshold": 0.7}, "rows": rows}, hist, now=t0 + 60.0 * args.history)
    took = time.perf_counter() - start
    size = len(page.encode())
    print(f"{args.rows} rows x {args.history:,} history rows (flapping verdict): {size:,} bytes of HTML "
          f"({size / max(args.rows, 1):,.0f} a row), built in {took * 1000:.0f} ms")


if __name__ == "__main__":
    main()
