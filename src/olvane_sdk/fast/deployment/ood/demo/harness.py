"""The demo: the integration in vLLM's own OpenAI-compatible server.

``python -m olvane_sdk.fast.deployment.ood.demo_host`` runs, offline, on
loopback only:

1. builds a recipe for each of two served models from the sample texts under
   ``examples/data/`` and images drawn here with Pillow, embedded with real
   local models (all-MiniLM-L6-v2 for text, a tiny CLIP vision tower for
   images; :mod:`.local_models`), under ``WORKDIR/recipes/NAME``;
2. starts vLLM's API server in a child process (:mod:`.demo_server`: vLLM's
   ``run_server`` with a stand-in engine that answers a fixed completion, as
   there is no language model), with ``--middleware
   ...middleware.ShiftDetectionMiddleware``, ``--api-key`` and
   ``OLVANE_SHIFT_RECIPES`` pointing at the recipes;
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

import argparse
import base64
import io
import json
import os
import secrets
import signal
import socket
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Mapping, Sequence

import numpy as np

os.environ.setdefault("HF_HUB_OFFLINE", "1")
os.environ.setdefault("TRANSFORMERS_OFFLINE", "1")

ALPHA = "alpha-chat"
BETA = "beta-chat"
IMAGE_SIZE = 64


# --------------------------------------------------------------------------
# sample data


def find_data_dir(start: Path | None = None) -> Path:
    """``examples/data`` of the repository this module lives in (or of the
    current directory)."""
    here = Path(start or __file__).resolve()
    for p in [*here.parents, Path.cwd()]:
        cand = p / "examples" / "data"
        if (cand / "cooking.txt").is_file():
            return cand
    raise FileNotFoundError(
        "examples/data not found: run the demo from a checkout of the repository or pass --data-dir"
    )


def load_texts(data_dir: Path, name: str) -> list[str]:
    lines = (Path(data_dir) / f"{name}.txt").read_text(encoding="utf-8").splitlines()
    return [ln.strip() for ln in lines if ln.strip()]


def draw_shapes(rng: np.random.Generator, size: int = IMAGE_SIZE):
    """Saturated circles, boxes and triangles on a light background."""
    from PIL import Image, ImageDraw

    bg = tuple(int(v) for v in rng.integers(215, 256, 3))
    img = Image.new("RGB", (size, size), bg)
    d = ImageDraw.Draw(img)
    for _ in range(int(rng.integers(1, 4))):
        colour = tuple(int(v) for v in rng.permutation([int(rng.integers(180, 256)), int(rng.integers(0, 90)),
                                                         int(rng.integers(0, 90))]))
        x0, y0 = (int(v) for v in rng.integers(0, size // 2, 2))
        w, h = (int(v) for v in rng.integers(size // 5, size // 2, 2))
        box = [x0, y0, x0 + w, y0 + h]
        kind = int(rng.integers(0, 3))
        if kind == 0:
            d.ellipse(box, fill=colour)
        elif kind == 1:
            d.rectangle(box, fill=colour)
        else:
            d.polygon([(x0, y0 + h), (x0 + w // 2, y0), (x0 + w, y0 + h)], fill=colour)
    return img


def draw_gradient(rng: np.random.Generator, size: int = IMAGE_SIZE):
    """A smooth two-colour gradient at a random angle with one soft ellipse."""
    from PIL import Image, ImageDraw, ImageFilter

    c0 = rng.integers(40, 200, 3).astype(float)
    c1 = rng.integers(60, 256, 3).astype(float)
    angle = rng.uniform(0, np.pi)
    yy, xx = np.mgrid[0:size, 0:size] / (size - 1)
    t = (np.cos(angle) * xx + np.sin(angle) * yy)
    t = (t - t.min()) / max(t.max() - t.min(), 1e-9)
    arr = (c0[None, None, :] * (1 - t[..., None]) + c1[None, None, :] * t[..., None]).astype(np.uint8)
    img = Image.fromarray(arr, "RGB")
    d = ImageDraw.Draw(img)
    x0, y0 = (int(v) for v in rng.integers(4, size // 2, 2))
    r = int(rng.integers(size // 8, size // 3))
    d.ellipse([x0, y0, x0 + r, y0 + r], fill=tuple(int(v) for v in rng.integers(0, 256, 3)))
    return img.filter(ImageFilter.GaussianBlur(1.5))


def distort(img, rng: np.random.Generator):
    """The shifted images: colours inverted, heavy Gaussian noise, a random
    rotation (what a broken camera pipeline or a new image source sends)."""
    from PIL import Image, ImageOps

    out = ImageOps.invert(img.convert("RGB")).rotate(float(rng.uniform(20, 340)), fillcolor=(0, 0, 0))
    arr = np.asarray(out, dtype=float) + rng.normal(0, 60, (img.height, img.width, 3))
    return Image.fromarray(np.clip(arr, 0, 255).astype(np.uint8), "RGB")


def png_bytes(img) -> bytes:
    buf = io.BytesIO()
    img.save(buf, format="PNG")
    return buf.getvalue()


def data_url(img) -> str:
    return "data:image/png;base64," + base64.b64encode(png_bytes(img)).decode("ascii")


@dataclass
class DemoData:
    """Everything the demo sends or records, drawn once from a seed."""

    recipe_texts: dict[str, list[str]]
    recipe_images: dict[str, list[bytes]]
    traffic: dict[str, list[tuple[str, bytes]]]  # served model -> [(text, png)]
    labels: dict[str, str]


def make_demo_data(data_dir: Path, seed: int = 0, n_images: int = 60) -> DemoData:
    rng = np.random.default_rng(seed)
    alpha = load_texts(data_dir, "cooking") + load_texts(data_dir, "travel")
    order = rng.permutation(len(alpha))
    n_hold = len(alpha) // 4
    alpha_live = [alpha[i] for i in order[:n_hold]]
    alpha_ref = [alpha[i] for i in np.sort(order[n_hold:])]
    beta_ref = load_texts(data_dir, "gardening")
    beta_live = load_texts(data_dir, "shifted_french")[:20] + load_texts(data_dir, "shifted_programming")[:20]
    beta_live = [beta_live[i] for i in rng.permutation(len(beta_live))]

    ref_rng, live_rng = np.random.default_rng([seed, 1]), np.random.default_rng([seed, 2])
    images = {ALPHA: [png_bytes(draw_shapes(ref_rng)) for _ in range(n_images)],
              BETA: [png_bytes(draw_gradient(ref_rng)) for _ in range(n_images)]}
    traffic = {
        ALPHA: [(t, png_bytes(draw_shapes(live_rng))) for t in alpha_live],
        BETA: [(t, png_bytes(distort(draw_gradient(live_rng), live_rng))) for t in beta_live],
    }
    return DemoData(
        recipe_texts={ALPHA: alpha_ref, BETA: beta_ref},
        recipe_images=images,
        traffic=traffic,
        labels={ALPHA: "in-distribution (held-out cooking/travel questions, new shape images)",
                BETA: "shifted (French + programming questions; inverted, noised, rotated images)"},
    )


def build_demo_recipes(workdir: Path, data: DemoData, text_model: str, image_model: str,
                       *, show_progress: bool = True) -> dict[str, str]:
    from .recipes import build_recipe

    prefixes = {ALPHA: "query: ", BETA: ""}  # both the default and an explicit empty prefix
    paths = {}
    for served in (ALPHA, BETA):
        dest = Path(workdir) / "recipes" / served
        build_recipe(dest, text_model=text_model, texts=data.recipe_texts[served],
                     image_model=image_model, images=data.recipe_images[served],
                     text_prefix=prefixes[served], test_fraction=0.25, seed=7,
                     overwrite=True, show_progress=show_progress)
        paths[served] = str(dest)
    return paths


# --------------------------------------------------------------------------
# vLLM's server in a child process


SERVER_MODULE = "olvane_sdk.fast.deployment.ood.demo_server"
MIDDLEWARE = "olvane_sdk.fast.deployment.ood.middleware.ShiftDetectionMiddleware"


def free_port(host: str = "127.0.0.1") -> int:
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind((host, 0))
        return s.getsockname()[1]


class VllmServer:
    """vLLM's API server (:mod:`.demo_server`: vLLM's ``run_server`` with a
    stand-in engine) in a child process on 127.0.0.1, started the way an
    operator starts it: ``vllm serve`` options, ``--middleware`` and the
    ``OLVANE_SHIFT_*`` environment.

    ``env`` adds to (or, with a value of None, removes from) the environment
    of the child; ``middleware=None`` runs the server without the
    integration; ``cpus`` pins the child (and every thread it starts) to
    those cores. The server's output goes to ``log_path``."""

    def __init__(self, served: Sequence[str], *, env: dict[str, str | None] | None = None,
                 middleware: str | None = MIDDLEWARE, api_key: str | None = None, log_path: Path | None = None,
                 extra_args: Sequence[str] = (), cpus: set[int] | None = None):
        self.port = free_port()
        self.api_key = api_key or "olvane-demo-" + secrets.token_hex(8)
        self.url = f"http://127.0.0.1:{self.port}"
        args = ["--model", "stand-in", "--served-model-name", *served, "--host", "127.0.0.1",
                "--port", str(self.port), "--api-key", self.api_key, "--disable-uvicorn-access-log",
                *extra_args]
        if middleware:
            args += ["--middleware", middleware]
        self.cmd = [sys.executable, "-m", SERVER_MODULE, *args]
        pkg_root = str(Path(__file__).resolve().parents[4])  # the directory holding olvane_sdk
        full = dict(os.environ, HF_HUB_OFFLINE="1", TRANSFORMERS_OFFLINE="1", PYTHONUNBUFFERED="1",
                    PYTHONPATH=os.pathsep.join(p for p in [pkg_root, os.environ.get("PYTHONPATH", "")] if p))
        for k, v in (env or {}).items():
            if v is None:
                full.pop(k, None)
            else:
                full[k] = str(v)
        self.env = full
        self.log_path = Path(log_path) if log_path else Path(tempfile.mkstemp(prefix="olvane-vllm-", suffix=".log")[1])
        self.cpus = cpus
        self.proc: Any = None  # subprocess.Popen once started
        self._http: Any = None  # httpx.Client with the key, while running

    # -- life cycle
    def start(self, timeout: float = 120.0) -> "VllmServer":
        import httpx

        self._log = open(self.log_path, "wb")
        cpus = self.cpus
        self.proc = subprocess.Popen(self.cmd, env=self.env, stdout=self._log, stderr=subprocess.STDOUT,
                                     stdin=subprocess.DEVNULL,
                                     preexec_fn=(lambda: os.sched_setaffinity(0, cpus)) if cpus else None)
        self._http = httpx.Client(base_url=self.url, trust_env=False, timeout=30,
                                  headers={"Authorization": f"Bearer {self.api_key}"})
        deadline = time.monotonic() + timeout
        while True:
            if self.proc.poll() is not None:
                raise RuntimeError(f"vLLM server exited with {self.proc.returncode}:\n{self.log_tail()}")
            try:
                if self._http.get("/health", timeout=2).status_code == 200:
                    return self
            except httpx.TransportError:
                pass
            if time.monotonic() > deadline:
                self.stop()
                raise TimeoutError(f"vLLM server did not answer /health within {timeout}s:\n{self.log_tail()}")
            time.sleep(0.2)

    def stop(self, timeout: float = 60.0) -> int | None:
        """SIGINT, as vLLM's server expects for a graceful shutdown; then kill."""
        if self._http is not None:
            self._http.close()
            self._http = None
        if self.proc is None:
            return None
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGINT)
            try:
                self.proc.wait(timeout)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(10)
        self._log.close()
        return self.proc.returncode

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()
        return False

    def log_tail(self, n: int = 4000) -> str:
        try:
            return self.log_path.read_text(errors="replace")[-n:]
        except OSError:
            return ""

    # -- what the server tells
    def get(self, path: str, **kw):
        return self._http.get(path, **kw)

    def shift(self, refresh: bool = False) -> dict:
        r = self._http.get("/v1/shift", params={"refresh": "true"} if refresh else None, timeout=120)
        r.raise_for_status()
        return r.json()

    def wait_ready(self, timeout: float = 180.0) -> bool:
        """Until the integration has loaded its models (``ready`` on /v1/shift)."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if self.proc.poll() is not None:
                raise RuntimeError(f"vLLM server exited with {self.proc.returncode}:\n{self.log_tail()}")
            if self.shift().get("ready"):
                return True
            time.sleep(0.25)
        return False

    def shift_metrics(self) -> list[str]:
        """The integration's samples on /metrics (without the counters'
        ``_created`` timestamps)."""
        text = self._http.get("/metrics").text
        return [ln for ln in text.splitlines() if ln.startswith("olvane_") and "_created{" not in ln]

    def openai_client(self, timeout: float = 30.0):
        import openai

        # trust_env=False: loopback traffic must never go to a proxy from the environment.
        return openai.OpenAI(base_url=self.url + "/v1", api_key=self.api_key, max_retries=0, timeout=timeout,
                             http_client=openai.DefaultHttpxClient(trust_env=False))


def handled(shift: dict) -> int:
    """Requests the integration has finished with, for this demo's traffic
    (one message, one text part per request): embedded (a live text embedding
    each) or turned away for any reason it counts (queue full, sampled out,
    too large, ...)."""
    embedded = sum(c.get("text", 0) for c in shift.get("live_counts", {}).values())
    turned_away = sum(v for k, v in shift.get("intake", {}).items()
                      if isinstance(v, int) and k not in ("collected", "rejected_by_vllm"))
    return embedded + turned_away


def wait_handled(server: VllmServer, target: int, timeout: float) -> bool:
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if handled(server.shift()) >= target:
            return True
        time.sleep(0.1)
    return False


# --------------------------------------------------------------------------
# driving it


@dataclass
class TrafficResult:
    sent: dict[str, int] = field(default_factory=dict)
    answered: dict[str, int] = field(default_factory=dict)
    streamed: int = 0
    drained: bool = True


def user_message(text: str, png: bytes | None) -> dict[str, Any]:
    content: list[dict[str, Any]] = [{"type": "text", "text": text}]
    if png is not None:
        url = "data:image/png;base64," + base64.b64encode(png).decode("ascii")
        content.append({"type": "image_url", "image_url": {"url": url}})
    return {"role": "user", "content": content}


def chat(client, model: str, messages: list, stream: bool) -> str:
    """One chat completion; returns the answer's text (joined from the
    deltas when streamed)."""
    if not stream:
        out = client.chat.completions.create(model=model, messages=messages, max_tokens=16)
        return out.choices[0].message.content or "" if out.choices else ""
    parts = []
    for chunk in client.chat.completions.create(model=model, messages=messages, max_tokens=16, stream=True):
        if chunk.choices and chunk.choices[0].delta.content:
            parts.append(chunk.choices[0].delta.content)
    return "".join(parts)


def send_traffic(server: VllmServer, client, traffic: Mapping[str, Sequence[tuple[str, bytes | None]]], *,
                 batch: int = 8, drain_timeout: float = 60.0) -> TrafficResult:
    """One chat request per (text, image) pair: a user message with a text
    part and (if given) a PNG data URL; every other request streams. After
    every ``batch`` requests it waits, bounded by ``drain_timeout``, until the
    server has handled what was sent: the integration's queue holds 16
    messages, and a full queue turns messages away (counted as queue_full)."""
    res = TrafficResult()
    base = handled(server.shift())
    total = 0
    for served, items in traffic.items():
        res.sent[served] = res.answered[served] = 0
        for i, (text, png) in enumerate(items):
            stream = total % 2 == 1
            answer = chat(client, served, [user_message(text, png)], stream)
            total += 1
            res.sent[served] += 1
            res.answered[served] += bool(answer)
            res.streamed += stream
            if (i + 1) % batch == 0 or i + 1 == len(items):
                res.drained = wait_handled(server, base + total, drain_timeout) and res.drained
    return res


def report_from_dict(d: dict):
    """A :class:`.report.ShiftReport` from its ``to_dict()`` form (as /v1/shift
    serves it), for the report's own table."""
    from .report import Comparison, ModalityRow, ReportSettings, ShiftReport

    rows = []
    for r in d.get("rows", []):
        r = {k: v for k, v in r.items() if k != "shifted"}
        for k in ("live", "test"):
            r[k] = Comparison(**r[k]) if r.get(k) else None
        rows.append(ModalityRow(**r))
    return ShiftReport(rows=rows, settings=ReportSettings(**d.get("settings", {})))


# --------------------------------------------------------------------------
# the whole demo


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
    from rich.console import Console

    from . import local_models
    from .report import print_report

    t0 = time.monotonic()
    if console is None:
        console = Console()
        if not console.is_terminal and console.width < 120:
            console = Console(width=120)  # room for the report's table when the output is a file
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
        text_model = text_model or local_models.text_model_dir()
        image_model = image_model or local_models.image_model_dir()
        console.print(f"text model:  {text_model}\nimage model: {image_model}", highlight=False)
        data = make_demo_data(data_dir, seed)
        recipe_paths = build_demo_recipes(workdir, data, text_model, image_model, show_progress=show_progress)
        for served, p in recipe_paths.items():
            console.print(f"recipe for [bold]{served}[/bold]: {p}", highlight=False)

        console.rule("[bold]2. vLLM's OpenAI-compatible server")
        env = {"OLVANE_SHIFT_RECIPES": str(workdir / "recipes"),
               # The demo paces itself and wants every message: no sampling budget.
               "OLVANE_SHIFT_MAX_RATE": "0",
               "OLVANE_DEMO_PLOT": str(plot_path), **(server_env or {})}
        server = VllmServer(list(recipe_paths), env=env, log_path=workdir / "vllm_server.log")
        plot_path.unlink(missing_ok=True)
        console.print(f"$ {' '.join(server.cmd[1:])}", highlight=False, markup=False)
        console.print(f"environment: " + " ".join(f"{k}={v}" for k, v in env.items()), highlight=False,
                      markup=False)
        try:
            server.start()
            console.print(f"serving on {server.url} (log: {server.log_path})", highlight=False)
            if not server.wait_ready():
                raise TimeoutError(f"the integration did not load its models:\n{server.log_tail()}")
            client = server.openai_client()
            console.print(f"GET /v1/models -> {[m.id for m in client.models.list().data]}", highlight=False)

            console.rule("[bold]3. traffic")
            for served, label in data.labels.items():
                console.print(f"{served}: {len(data.traffic[served])} requests, {label}", highlight=False)
            traffic = send_traffic(server, client, data.traffic, drain_timeout=drain_timeout)
            console.print(f"answered: {traffic.answered} ({traffic.streamed} streamed)"
                          + ("" if traffic.drained else " [red](the server did not catch up in time)[/red]"),
                          highlight=False)

            console.rule("[bold]4. GET /v1/shift")
            shift = server.shift(refresh=True)
            console.print(f"live embeddings: {shift.get('live_counts')}\nintake: {shift.get('intake')}\n"
                          f"report computed in {shift.get('report_seconds') or 0:.2f} s", highlight=False)
            report = report_from_dict(shift["report"]) if shift.get("report") else None
            if report is not None:
                print_report(report, console)
            else:
                console.print("[red]no report yet[/red]")
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


def main(argv: Sequence[str] | None = None) -> int:
    ap = argparse.ArgumentParser(prog="python -m olvane_sdk.fast.deployment.ood.demo_host",
                                 description=__doc__.split("\n\n")[0])
    ap.add_argument("--plot", type=Path, help="PNG to write (default: $TMPDIR/olvane-demo/shift_report.png)")
    ap.add_argument("--workdir", type=Path, help="keep the recipes here (default: a temporary directory)")
    ap.add_argument("--data-dir", type=Path, help="sample texts (default: the repository's examples/data)")
    ap.add_argument("--seed", type=int, default=0)
    ap.add_argument("--json", type=Path, help="also write the report's figures as JSON")
    args = ap.parse_args(argv)
    res = run_demo(workdir=args.workdir, plot_path=args.plot, data_dir=args.data_dir, seed=args.seed)
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
