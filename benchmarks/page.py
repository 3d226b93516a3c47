"""What the operator's page costs, at 10,000 samples per row.

    PYTHONPATH=src python benchmarks/page.py [--rows N] [--samples N] [--history N] [--repeats N]

Rows of 384-dim reference and live embeddings (``--samples`` each side; the
live side with a flagged subpopulation), a day of history per row at one
report a minute, in a directory store. Prints, medians of ``--repeats``:

1. the maps, made once per report (PCA of at most 2000 points per row);
2. the page per request, server side: the history read from the store and
   the HTML built (what ``GET /v1/shift/ui`` does);
3. the browser: headless Chromium loading the page into a 1366x900 frame,
   from the harness's start to the first frame after the page's load
   event, beside the same for an empty page.
"""
from __future__ import annotations

import argparse
import math
import re
import shutil
import statistics
import subprocess
import tempfile
import time
from pathlib import Path

import numpy as np

from olvane_sdk.fast.deployment.ood.report import shift_report
from olvane_sdk.fast.deployment.ood.report.model import history_rows
from olvane_sdk.fast.deployment.ood.report.page import render_page
from olvane_sdk.fast.deployment.ood.report.projection import report_maps
from olvane_sdk.fast.deployment.ood.samples import DirectoryStore

DIM = 384


def median_time(fn, repeats: int) -> tuple[float, object]:
    times, out = [], None
    for _ in range(repeats):
        t0 = time.perf_counter()
        out = fn()
        times.append(time.perf_counter() - t0)
    return statistics.median(times), out


# The harness (never the page) has a script: it stamps the time from its own start to the first
# frame after the page, in a 1366x900 frame, has loaded.
WRAPPER = """<!DOCTYPE html><html><body><iframe id="f" style="width:1366px;height:900px" src="{name}"></iframe>
<script>document.getElementById("f").onload = function () {{ requestAnimationFrame(function () {{
document.body.setAttribute("data-ms", String(performance.now())); }}); }};</script></body></html>"""


def browser_ms(page: Path, repeats: int) -> float:
    """Median milliseconds headless Chromium takes to load and lay out ``page``."""
    exe = shutil.which("chromium") or "/usr/bin/chromium"
    wrapper = page.with_name(f"wrap-{page.name}")
    wrapper.write_text(WRAPPER.format(name=page.name))
    cmd = [exe, "--headless=new", "--no-sandbox", "--disable-gpu", "--allow-file-access-from-files",
           f"--user-data-dir={page.parent / 'profile'}", "--dump-dom", wrapper.as_uri()]
    found = []
    for _ in range(repeats * 3):  # --dump-dom may come before the stamp: that run does not count
        out = subprocess.run(cmd, capture_output=True, text=True, timeout=120, check=True).stdout
        m = re.search(r'data-ms="([0-9.]+)"', out)
        if m:
            found.append(float(m.group(1)))
        if len(found) == repeats:
            break
    return statistics.median(found) if found else math.nan


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--rows", type=int, default=2)
    ap.add_argument("--samples", type=int, default=10_000)
    ap.add_argument("--history", type=int, default=1440)
    ap.add_argument("--repeats", type=int, default=5)
    args = ap.parse_args()
    rng = np.random.default_rng(0)
    reference, live = {}, {}
    for i in range(args.rows):
        lv = rng.standard_normal((args.samples, DIM)).astype(np.float32)
        lv[: args.samples // 10, i] += 6.0  # a tenth of the traffic is new
        reference[f"model-{i}"] = {"text": {"train": rng.standard_normal((args.samples, DIM)).astype(np.float32),
                                            "test": rng.standard_normal((500, DIM)).astype(np.float32)}}
        live[f"model-{i}"] = {"text": list(lv)}
    t0 = time.perf_counter()
    report = shift_report(reference=reference, live=live)
    print(f"(the report itself, for scale: {time.perf_counter() - t0:.2f} s for {args.rows} rows)")
    doc, outliers = report.to_json(), report.outliers()
    seconds, maps = median_time(lambda: report_maps(report, outliers), args.repeats)
    print(f"maps, once per report:        {seconds * 1000:7.1f} ms for {args.rows} rows "
          f"({seconds * 1000 / args.rows:.1f} ms a row)")

    with tempfile.TemporaryDirectory() as tmp:
        store = DirectoryStore(tmp, "bench")
        now = time.time()
        for k in range(args.history):
            store.append_history(history_rows(doc, outliers), now - 60 * (args.history - k))

        def page() -> str:
            history = {(r.model, r.modality): store.history(r.model, r.modality) for r in report.rows}
            return render_page(doc, history, maps, outliers, subtitle="benchmark")

        seconds, html = median_time(page, args.repeats)
        print(f"page per request, server:     {seconds * 1000:7.1f} ms ({args.history} history rows a row read "
              f"from a directory store, {len(html) / 1024:.0f} KiB of HTML)")
        path = Path(tmp) / "page.html"
        path.write_text(html)
        empty = Path(tmp) / "empty.html"
        empty.write_text("<!DOCTYPE html><title>empty</title>")
        if shutil.which("chromium") or Path("/usr/bin/chromium").exists():
            loaded, blank = browser_ms(path, args.repeats), browser_ms(empty, args.repeats)
            print(f"browser, load and layout:     {loaded:7.1f} ms (headless Chromium, from its start to the "
                  f"first frame after load; an empty page {blank:.1f} ms)")
        else:
            print("browser: chromium is not installed (scripts/test_deps.sh installs it)")


if __name__ == "__main__":
    main()
