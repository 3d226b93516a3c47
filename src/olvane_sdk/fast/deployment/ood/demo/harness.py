"""vLLM's API server in a child process, as an operator starts it, and the
traffic that drives it through the ``openai`` client: the demo's and the
tests' harness."""
from __future__ import annotations

import base64
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

from ..middleware.routes import SHIFT_PATH

SERVER_MODULE = f"{__package__}.server"
MIDDLEWARE = f"{__package__.rpartition('.')[0]}.middleware.ShiftDetectionMiddleware"


def free_port(host: str = "127.0.0.1") -> int:
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind((host, 0))
        return s.getsockname()[1]


def _descendants(pid: int) -> list[int]:
    """The processes below ``pid``, children first (from /proc)."""
    parent: dict[int, int] = {}
    for d in Path("/proc").iterdir():
        if d.name.isdigit():
            try:
                # the parent is the second field after the command's closing parenthesis
                parent[int(d.name)] = int((d / "stat").read_text().rpartition(")")[2].split()[1])
            except (OSError, ValueError, IndexError):
                pass
    out, frontier = [], [pid]
    while frontier:
        frontier = [c for c, p in parent.items() if p in frontier]
        out += frontier
    return out


class VllmServer:
    """vLLM's API server (:mod:`.server`: vLLM's ``run_server`` with a
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
        # "" runs the server without an API key.
        self.api_key = "olvane-demo-" + secrets.token_hex(8) if api_key is None else api_key
        self.url = f"http://127.0.0.1:{self.port}"
        args = ["--model", "stand-in", "--served-model-name", *served, "--host", "127.0.0.1",
                "--port", str(self.port), *(["--api-key", self.api_key] if self.api_key else []),
                "--disable-uvicorn-access-log",
                *extra_args]
        if middleware:
            args += ["--middleware", middleware]
        self.cmd = [sys.executable, "-m", SERVER_MODULE, *args]
        pkg_root = str(Path(__file__).resolve().parents[5])  # the directory holding olvane_sdk
        full = dict(os.environ, HF_HUB_OFFLINE="1", TRANSFORMERS_OFFLINE="1", PYTHONUNBUFFERED="1",
                    PYTHONFAULTHANDLER="1",
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
                                  headers={"Authorization": f"Bearer {self.api_key}"} if self.api_key else {})
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
                # Every process of the tree writes its threads' stacks to the
                # log (faulthandler, on in the child's environment) and ends.
                for pid in [*_descendants(self.proc.pid), self.proc.pid]:
                    try:
                        os.kill(pid, signal.SIGABRT)
                    except OSError:
                        pass
                try:
                    self.proc.wait(10)
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

    def log_tail(self, n: int = 12000) -> str:
        try:
            return self.log_path.read_text(errors="replace")[-n:]
        except OSError:
            return ""

    # -- what the server tells
    def get(self, path: str, **kw):
        return self._http.get(path, **kw)

    def shift(self, refresh: bool = False) -> dict:
        r = self._http.get(SHIFT_PATH, params={"refresh": "true"} if refresh else None, timeout=120)
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
