"""The demo: the integration in vLLM's own OpenAI-compatible server.

``python -m olvane_sdk.fast.deployment.ood.demo`` runs, offline, on loopback
only:

1. builds a recipe for each of two served models from the sample texts in
   ``texts/`` (package data) and images drawn here with Pillow, embedded
   with real local models (all-MiniLM-L6-v2 for text, a tiny CLIP vision
   tower for images; :mod:`.models`), under ``WORKDIR/recipes/NAME``
   (:mod:`.data`);
2. starts vLLM's API server in a child process (:mod:`.server`: vLLM's
   ``run_server`` with a stand-in engine that answers a fixed completion, as
   there is no language model), with ``--middleware
   ...middleware.ShiftDetectionMiddleware``, ``--api-key`` and
   ``OLVANE_SHIFT_RECIPES`` pointing at the recipes (:mod:`.harness`);
3. drives it with the official ``openai`` client, streaming and not, images
   inline: in-distribution traffic for ``alpha-chat`` (held-out cooking and
   travel questions, newly drawn shape images) and shifted traffic for
   ``beta-chat`` (French and programming questions instead of English
   gardening ones; inverted, noised images);
4. prints the shift report from ``GET /v1/shift``, the clusters of the
   rows that are not ``ok`` (``GET /v1/shift/outliers``: terms, request ids,
   masked excerpts) and writes the operator's page (``GET /v1/shift/ui``) to
   ``WORKDIR/shift.html``;
5. prints the integration's lines of ``GET /metrics``; stops the server,
   which writes the report's PCA plot, and prints the commands to try next.

``WORKDIR`` (default ``$TMPDIR/olvane-demo``) is kept: its recipes, samples,
page and server log outlive the run, for those commands.
"""
from __future__ import annotations

import json
import shlex
import shutil
import sys
import tempfile
import time
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Sequence

from .._usage import UsageParser
from ..middleware.config import ENV_EXCERPTS, ENV_MAX_RATE, ENV_RECIPES, ENV_STORE
from ..middleware.routes import OUTLIERS_PATH, UI_PATH
from .data import TEXT_FILES, DemoData, build_demo_recipes, find_data_dir, make_demo_data
from .harness import TrafficResult, VllmServer, send_traffic
from .models import offline_env


@dataclass
class DemoResult:
    shift: dict
    report: Any
    metrics: list[str]
    plot: Path | None
    traffic: TrafficResult
    seconds: float
    page: Path | None = None
    clusters: dict[str, list] | None = None  # "model/modality" -> its clusters


def default_workdir() -> Path:
    return Path(tempfile.gettempdir()) / "olvane-demo"


def run_demo(*, workdir: Path | None = None, plot_path: Path | None = None, data_dir: Path | None = None,
             text_model: str | None = None, image_model: str | None = None, seed: int = 0, console=None,
             show_progress: bool = True, drain_timeout: float = 60.0,
             server_env: dict[str, str | None] | None = None) -> DemoResult:
    from ..report.render import wide_console

    t0 = time.monotonic()
    console = console or wide_console()
    data_dir = Path(data_dir) if data_dir else find_data_dir()
    workdir = Path(workdir or default_workdir()).resolve()
    workdir.mkdir(parents=True, exist_ok=True)
    plot_path = Path(plot_path).resolve() if plot_path else workdir / "shift_report.png"
    console.rule("[bold]1. models and recipes")
    data, recipe_paths = _build_recipes(console, workdir, data_dir, seed, text_model, image_model, show_progress)
    console.rule("[bold]2. vLLM's OpenAI-compatible server")
    server = _server(console, workdir, recipe_paths, plot_path, server_env)
    try:
        server.start()
        console.print(f"serving on {server.url} (log: {server.log_path})", highlight=False)
        if not server.wait_ready():
            raise TimeoutError(f"the integration did not load its models:\n{server.log_tail()}")
        client = server.openai_client()
        console.print(f"GET /v1/models -> {[m.id for m in client.models.list().data]}", highlight=False)
        console.rule("[bold]3. traffic")
        traffic = _drive(console, server, client, data, drain_timeout)
        console.rule("[bold]4. GET /v1/shift")
        shift, report = _show_report(console, server)
        console.rule("[bold]5. what it found")
        clusters = _show_clusters(console, server, shift)
        page = _save_page(console, server, workdir / "shift.html")
        console.rule("[bold]6. GET /metrics (olvane_*)")
        metrics = _metrics(server, shift)
        for ln in metrics:
            console.print(ln, highlight=False, markup=False)
    finally:
        rc = server.stop()
    plot = plot_path if plot_path.is_file() else None
    if plot is not None:
        console.print(f"plot written to {plot}", highlight=False)
    else:
        console.print(f"[red]no plot written (server exit code {rc}); see {server.log_path}[/red]")
    _next_steps(console, workdir, page)
    return DemoResult(shift, report, metrics, plot, traffic, time.monotonic() - t0, page, clusters)


def _build_recipes(console, workdir: Path, data_dir: Path, seed: int, text_model: str | None,
                   image_model: str | None, show_progress: bool) -> tuple[DemoData, dict[str, str]]:
    """Step 1: the models, the demo's data and a recipe per served model."""
    from . import models as local_models

    text_model = text_model or local_models.text_model_dir()
    image_model = image_model or local_models.image_model_dir()
    console.print(f"text model:  {text_model}\nimage model: {image_model}", highlight=False)
    data = make_demo_data(data_dir, seed)
    recipe_paths = build_demo_recipes(workdir, data, text_model, image_model, show_progress=show_progress)
    for served, p in recipe_paths.items():
        console.print(f"recipe for [bold]{served}[/bold]: {p}", highlight=False)
    return data, recipe_paths


def _server(console, workdir: Path, recipe_paths: dict[str, str], plot_path: Path,
            server_env: dict[str, str | None] | None) -> VllmServer:
    """Step 2: vLLM's server over the recipes, not yet started; prints its
    command line and the settings it sees."""
    # The demo's samples live in its workdir, afresh each run: pooled with an
    # earlier run's (or the user's own store), its verdicts would not be this run's.
    store = workdir / "samples"
    shutil.rmtree(store, ignore_errors=True)
    env = {ENV_RECIPES: str(workdir / "recipes"), ENV_STORE: str(store),
           # The demo paces itself and wants every message: no sampling budget.
           ENV_MAX_RATE: "0",
           # Masked excerpts with the stored samples: the clusters show what their messages say.
           ENV_EXCERPTS: "on",
           "OLVANE_DEMO_PLOT": str(plot_path), **(server_env or {})}
    server = VllmServer(list(recipe_paths), env=env, log_path=workdir / "vllm_server.log")
    plot_path.unlink(missing_ok=True)
    # Unwrapped, so that both lines can be copied as they are.
    console.print(f"$ python {' '.join(server.cmd[1:])}", highlight=False, markup=False, soft_wrap=True)
    # What the server sees of the integration's settings: the demo's own,
    # then the caller's OLVANE_SHIFT_* that the child inherits.
    shown = {k: server.env[k] for k in env if k in server.env}
    shown.update((k, v) for k, v in server.env.items() if k.startswith("OLVANE_SHIFT_") and k not in shown)
    console.print("environment: " + " ".join(f"{k}={shlex.quote(v)}" for k, v in shown.items()),
                  highlight=False, markup=False, soft_wrap=True)
    return server


def _drive(console, server: VllmServer, client, data: DemoData, drain_timeout: float) -> TrafficResult:
    """Step 3: the traffic of every served model."""
    for served, label in data.labels.items():
        console.print(f"{served}: {len(data.traffic[served])} requests, {label}", highlight=False)
    traffic = send_traffic(server, client, data.traffic, drain_timeout=drain_timeout)
    console.print(f"answered: {traffic.answered} ({traffic.streamed} streamed)"
                  + ("" if traffic.drained else " [red](the server did not catch up in time)[/red]"),
                  highlight=False)
    return traffic


def _show_report(console, server: VllmServer) -> tuple[dict, Any]:
    """Step 4: GET /v1/shift, freshly computed, and its table."""
    from ..report import ShiftReport, print_report

    shift = server.shift(refresh=True)
    console.print(f"live embeddings: {shift.get('live_counts')}\nintake: {shift.get('intake')}\n"
                  f"report computed in {shift.get('report_seconds') or 0:.2f} s", highlight=False)
    report = ShiftReport.from_dict(shift["report"]) if shift.get("report") else None
    if report is not None:
        print_report(report, console)
    else:
        console.print("[red]no report yet[/red]")
    return shift, report


def _show_clusters(console, server: VllmServer, shift: dict) -> dict[str, list]:
    """Step 5: the clusters of every row that is not ``ok`` (text first), as
    ``GET /v1/shift/outliers`` gives them: the newest kind first, its terms,
    request ids and masked excerpts (the server has an API key)."""
    found: dict[str, list] = {}
    rows = [r for r in (shift.get("report") or {}).get("rows") or [] if r.get("verdict") in ("novel", "shift")]
    for r in sorted(rows, key=lambda r: (r["verdict"] != "novel", r["modality"] != "text")):
        answer = server.get(OUTLIERS_PATH, params={"model": r["model"], "modality": r["modality"], "limit": 5},
                            timeout=60).json()
        clusters = answer.get("clusters") or []
        found[f"{r['model']}/{r['modality']}"] = clusters
        ood = r.get("ood") or {}
        console.print(f"[bold]{r['model']} / {r['modality']}[/bold]: {r['verdict'].upper()}, "
                      f"{ood.get('flagged', 0)} of {ood.get('n', 0)} distinct messages past the reference's tail "
                      f"({r.get('repeats') or 0} repeats folded), {len(clusters)} clusters", highlight=False)
        for c in clusters[:2]:
            console.print(f"  cluster {c.get('id')}: {c.get('size')} distinct message{'' if c.get('size') == 1 else 's'} "
                          f"({(c.get('share') or 0):.0%} of {c.get('of')}), terms: "
                          f"{', '.join(c.get('terms') or []) or '-'}", highlight=False, markup=False)
            for ex in (c.get("examples") or [])[:2]:
                text = f" “{ex['excerpt']}”" if ex.get("excerpt") else ""
                console.print(f"    request {ex.get('request_id') or '-'}{text}", highlight=False, markup=False,
                              soft_wrap=True)
    if not rows:
        console.print("every row is ok or n/a: no clusters to show", highlight=False)
    return found


def _save_page(console, server: VllmServer, path: Path) -> Path | None:
    """The operator's page, as ``olvane-shift report --url URL --html PATH`` saves it."""
    r = server.get(UI_PATH, timeout=60)
    if r.status_code != 200:
        console.print(f"[red]GET {UI_PATH}: HTTP {r.status_code}[/red]")
        return None
    path.write_text(r.text, encoding="utf-8")
    console.print(f"page written to {path} (the server's {UI_PATH})", highlight=False)
    return path


def _metrics(server: VllmServer, shift: dict, wait: float = 5.0) -> list[str]:
    """The olvane_* lines of /metrics once they count what /v1/shift did:
    the counters reach /metrics with the next push, once a second."""
    want = f'olvane_shift_requests_total{{outcome="collected"}} {float((shift.get("intake") or {}).get("collected", 0))}'
    deadline = time.monotonic() + wait
    lines = server.shift_metrics()
    while want not in lines and time.monotonic() < deadline:
        time.sleep(0.2)
        lines = server.shift_metrics()
    return lines


def _next_steps(console, workdir: Path, page: Path | None) -> None:
    """The commands to try next, on what the run left in ``workdir``."""
    recipes, samples = shlex.quote(str(workdir / "recipes")), shlex.quote(str(workdir / "samples"))
    console.rule("[bold]next")
    lines = [f"olvane-shift report --store {samples} --recipes {recipes} --html {shlex.quote(str(workdir / 'report.html'))}",
             f"olvane-shift outliers --store {samples} --recipes {recipes} --model alpha-chat --modality text"]
    if page is not None:
        lines.append(f"chromium {shlex.quote(str(page))}    # the page: verdicts, history, map, clusters")
    for ln in lines:
        console.print("  " + ln, highlight=False, markup=False, soft_wrap=True)


def main(argv: Sequence[str] | None = None, prog: str = "python -m olvane_sdk.fast.deployment.ood.demo") -> int:
    ap = UsageParser(prog=prog, description=__doc__.split("\n\n")[0])
    ap.add_argument("--plot", type=Path, help="PNG to write (default: WORKDIR/shift_report.png)")
    ap.add_argument("--workdir", type=Path, help="the recipes, samples, page and server log, kept after the run "
                                                 "(default: $TMPDIR/olvane-demo)")
    ap.add_argument("--data-dir", type=Path, help="a directory with the sample texts' files "
                                                  f"({', '.join(f'{n}.txt' for n in TEXT_FILES)}); "
                                                  "default: the ones shipped with the package")
    ap.add_argument("--seed", type=int, default=0)
    ap.add_argument("--json", type=Path, help="also write the report's figures as JSON")
    args = ap.parse_args(argv)
    if args.data_dir is not None:
        missing = [f"{n}.txt" for n in TEXT_FILES if not (args.data_dir / f"{n}.txt").is_file()]
        if missing:
            return ap.fail(f"--data-dir: {str(args.data_dir)!r} has no {', '.join(missing)}")
    if args.json is not None and not args.json.parent.is_dir():
        return ap.fail(f"--json: no directory {str(args.json.parent)!r}")
    if args.workdir is not None and args.workdir.exists() and not args.workdir.is_dir():
        return ap.fail(f"--workdir: {str(args.workdir)!r} is not a directory")
    offline_env()
    # Progress bars only on a terminal: elsewhere rich leaves blank lines.
    res = run_demo(workdir=args.workdir, plot_path=args.plot, data_dir=args.data_dir, seed=args.seed,
                   show_progress=sys.stdout.isatty())
    if args.json:
        args.json.write_text(json.dumps({
            "report": res.shift.get("report"), "live_counts": res.shift.get("live_counts"),
            "intake": res.shift.get("intake"), "metrics": res.metrics, "sent": res.traffic.sent,
            "answered": res.traffic.answered, "streamed": res.traffic.streamed, "drained": res.traffic.drained,
            "plot": str(res.plot) if res.plot else None, "page": str(res.page) if res.page else None,
            "clusters": res.clusters, "seconds": res.seconds}, indent=2))
    from rich import print as rprint

    rprint(f"[bold]done in {res.seconds:.1f} s[/bold]")
    return 0 if res.report is not None else 1


if __name__ == "__main__":
    sys.exit(main())
