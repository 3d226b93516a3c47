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
4. prints the shift report from ``GET /v1/shift`` and the integration's lines
   of ``GET /metrics``; stops the server, which writes the report's PCA plot
   (the live embeddings exist only in the server process).
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
from ..middleware.config import ENV_MAX_RATE, ENV_RECIPES, ENV_STORE
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


def run_demo(*, workdir: Path | None = None, plot_path: Path | None = None, data_dir: Path | None = None,
             text_model: str | None = None, image_model: str | None = None, seed: int = 0, console=None,
             show_progress: bool = True, drain_timeout: float = 60.0,
             server_env: dict[str, str | None] | None = None) -> DemoResult:
    from ..report.render import wide_console

    t0 = time.monotonic()
    if console is None:
        console = wide_console()
    data_dir = Path(data_dir) if data_dir else find_data_dir()
    own_tmp = None
    if workdir is None:
        own_tmp = tempfile.TemporaryDirectory(prefix="olvane-demo-")
        workdir = Path(own_tmp.name)
    workdir = Path(workdir).resolve()
    plot_path = Path(plot_path) if plot_path else Path(tempfile.gettempdir()) / "olvane-demo" / "shift_report.png"
    plot_path = plot_path.resolve()
    try:
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
            console.rule("[bold]5. GET /metrics (olvane_*)")
            metrics = server.shift_metrics()
            for ln in metrics:
                console.print(ln, highlight=False, markup=False)
        finally:
            rc = server.stop()
        plot = plot_path if plot_path.is_file() else None
        if plot is not None:
            console.print(f"plot written to {plot}", highlight=False)
        else:
            console.print(f"[red]no plot written (server exit code {rc}); see {server.log_path}[/red]")
    finally:
        if own_tmp is not None:
            own_tmp.cleanup()
    return DemoResult(shift, report, metrics, plot, traffic, time.monotonic() - t0)


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


def main(argv: Sequence[str] | None = None, prog: str = "python -m olvane_sdk.fast.deployment.ood.demo") -> int:
    ap = UsageParser(prog=prog, description=__doc__.split("\n\n")[0])
    ap.add_argument("--plot", type=Path, help="PNG to write (default: $TMPDIR/olvane-demo/shift_report.png)")
    ap.add_argument("--workdir", type=Path, help="keep the recipes here (default: a temporary directory)")
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
            "plot": str(res.plot) if res.plot else None, "seconds": res.seconds}, indent=2))
    from rich import print as rprint

    rprint(f"[bold]done in {res.seconds:.1f} s[/bold]")
    return 0 if res.report is not None else 1


if __name__ == "__main__":
    sys.exit(main())
