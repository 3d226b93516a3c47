"""Exit while the worker encodes, many times in a row.

    python benchmarks/exit_stress.py [--runs 200] [--timeout 60] [--pythonpath OTHER/src]

The model directory is built first, in a process of its own; the parent then
imports the module and sentence-transformers (running nothing threaded) and
forks one child per run. Each child loads all-MiniLM-L6-v2 with ONNX Runtime's default
session options (an intra-op pool of one thread per core, spinning between
runs: what a host that skips ``install_model_factory`` gets), queues messages
(16 on even runs, 1 on odd ones), waits until the worker is inside the model's
encode, waits a further 0-19 ms, and calls ``sys.exit(3)``. The parent waits
for each child with a deadline; a child still alive at the deadline is a hang:
its threads' native stacks (gdb) and Python stacks (faulthandler, SIGABRT)
are printed, and it is killed.

Printed: runs, exit codes other than 3, aborts ("terminate called"), hangs,
and p50 / p99 / max of the exit time (from ``sys.exit`` in the child until the
parent reaps it), every 20 runs and at the end. Exit status 1 if any run went wrong.
"""
from __future__ import annotations

import argparse
import os
import signal
import statistics
import subprocess
import sys
import tempfile
import time
import types
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
MODULE = "olvane_sdk.fast.deployment.ood.interceptor"


def child(m, model_dir: str, run: int, stamp_fd: int) -> None:
    """One run's child: never returns."""
    import faulthandler
    import threading

    from sentence_transformers import SentenceTransformer

    faulthandler.enable()  # SIGABRT from the parent prints every Python thread's stack
    model = SentenceTransformer(model_dir, backend="onnx")  # ONNX Runtime's default session options
    encode, encoding = model.encode, threading.Event()

    def entered(value, *args, **kwargs):
        encoding.set()
        return encode(value, *args, **kwargs)

    model.encode = entered
    h = m.olvane_shift_detection_handler
    m.print = lambda *a, **k: None
    h.embedding_models = {"t": model}
    h.vllm_to_embedding_model_map = {"x": {"text": "t", "image": None}}
    h.text_prefixes = {}
    count = 1 if run % 2 else 16
    h.handle_chat_completion_request(types.SimpleNamespace(
        model="x", messages=[{"role": "user", "content": "hello world " * 40} for _ in range(count)]))
    if not encoding.wait(60):
        os._exit(90)
    time.sleep(0.001 * (run % 20))
    os.write(stamp_fd, str(time.monotonic()).encode())
    sys.exit(3)


def stacks(pid: int) -> str:
    """Every thread's native stack (gdb), then the Python stacks (faulthandler on SIGABRT)."""
    try:
        native = subprocess.run(["gdb", "-p", str(pid), "-batch", "-nx", "-ex", "thread apply all bt 30"],
                                capture_output=True, text=True, timeout=120).stdout
    except (OSError, subprocess.TimeoutExpired) as exc:
        native = f"gdb failed: {exc!r}"
    os.kill(pid, signal.SIGABRT)
    return native


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--runs", type=int, default=200)
    ap.add_argument("--timeout", type=float, default=60.0, help="seconds a child may take to exit")
    ap.add_argument("--pythonpath", default=str(ROOT / "src"))
    args = ap.parse_args()
    sys.path.insert(0, args.pythonpath)
    os.environ.setdefault("HF_HUB_OFFLINE", "1")
    os.environ.setdefault("TRANSFORMERS_OFFLINE", "1")

    # The model directory is built (exported, on a cold cache) in a process of
    # its own: a process that has run ONNX Runtime or torch cannot fork a
    # child that exits cleanly (the child inherits their pools without threads).
    build = "from olvane_sdk.fast.deployment.ood.demo import models; print(models.text_model_dir())"
    model_dir = subprocess.run([sys.executable, "-c", build], capture_output=True, text=True, check=True,
                               timeout=900, env={**os.environ, "PYTHONPATH": args.pythonpath}).stdout.split()[-1]

    import importlib

    import sentence_transformers  # noqa: F401  (imported once, before the forks)

    m = importlib.import_module(MODULE)

    exit_times, bad_codes, aborts, hangs = [], [], 0, 0
    for run in range(args.runs):
        err = tempfile.TemporaryFile()
        stamp = tempfile.TemporaryFile()
        pid = os.fork()
        if pid == 0:
            # SystemExit from the child unwinds to the interpreter, which then
            # finalises as a host's process does.
            os.dup2(err.fileno(), 2)
            child(m, model_dir, run, stamp.fileno())
        deadline = time.monotonic() + args.timeout
        status = None
        while status is None:
            done, raw = os.waitpid(pid, os.WNOHANG)
            if done:
                status = raw
                reaped = time.monotonic()
            elif time.monotonic() > deadline:
                hangs += 1
                native = stacks(pid)
                time.sleep(2)
                os.kill(pid, signal.SIGKILL)
                os.waitpid(pid, 0)
                err.seek(0)
                print(f"run {run}: HANG after {args.timeout:.0f} s\n{native}\n--- stderr ---\n"
                      f"{err.read().decode(errors='replace')[:8000]}", flush=True)
                break
            else:
                time.sleep(0.002)
        if status is None:
            continue
        code = os.waitstatus_to_exitcode(status)
        err.seek(0)
        aborted = b"terminate called" in err.read()
        aborts += aborted
        if code != 3:
            bad_codes.append(code)
        stamp.seek(0)
        text = stamp.read().decode()
        if text:
            exit_times.append(reaped - float(text))
        if code != 3 or aborted:
            err.seek(0)
            print(f"run {run}: exit code {code}, aborted {aborted}\n{err.read().decode(errors='replace')[-3000:]}",
                  flush=True)

        if (run + 1) % 20 == 0 or run + 1 == args.runs:
            summary(run + 1, exit_times, bad_codes, aborts, hangs)
    return 1 if hangs or bad_codes or aborts else 0


def summary(runs: int, exit_times: list, bad_codes: list, aborts: int, hangs: int) -> None:
    ms = sorted(t * 1000 for t in exit_times)
    print(f"runs {runs}  exit code 3: {runs - hangs - len(bad_codes)}  other codes: {bad_codes}  "
          f"aborts: {aborts}  hangs: {hangs}")
    if ms:
        p99 = ms[min(len(ms) - 1, int(round(0.99 * (len(ms) - 1))))]
        print(f"exit time ms: p50 {statistics.median(ms):.0f}  p99 {p99:.0f}  max {ms[-1]:.0f}  (n={len(ms)})")
    print(f"load average: {' '.join(f'{x:.1f}' for x in os.getloadavg())}", flush=True)


if __name__ == "__main__":
    sys.exit(main())
