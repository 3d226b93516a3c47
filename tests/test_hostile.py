"""Hostile traffic and shutdown: exit while the worker encodes, client-chosen
text in console lines, bounded cost per message, recipe and guard exactness."""
from __future__ import annotations

import io
import subprocess
import sys
import types

import pytest
from rich.console import Console as RichConsole

from conftest import FakeModel, configure, drain

# Forks one child per run from a parent that has done the slow imports once.
# Each child loads the real ONNX text model (a model loaded before the fork
# would miss its runtime's threads), queues messages, waits until the worker
# is inside encode, and exits while it encodes.
EXIT_WHILE_ENCODING = r"""
import os, sys, tempfile, threading, time, types
from olvane_sdk.fast.deployment.ood import local_models
import {module} as m
from sentence_transformers import SentenceTransformer
model_dir = local_models.text_model_dir()
for run in range(int(sys.argv[1])):
    err = tempfile.TemporaryFile()
    pid = os.fork()
    if pid == 0:
        os.dup2(err.fileno(), 2)
        model = SentenceTransformer(model_dir, backend="onnx")
        encode, encoding = model.encode, threading.Event()
        def entered(value):
            encoding.set()
            return encode(value)
        model.encode = entered
        h = m.olvane_shift_detection_handler
        m.print = lambda *a, **k: None
        h.embedding_models = {{"t": model}}
        h.vllm_to_embedding_model_map = {{"x": {{"text": "t", "image": None}}}}
        h.text_prefixes = {{}}
        h.handle_chat_completion_request(types.SimpleNamespace(
            model="x", messages=[{{"role": "user", "content": "hello world " * 40}} for _ in range(1 if run % 2 else 16)]))
        encoding.wait(60)
        time.sleep(0.002 * run)
        sys.exit(3)
    _, status = os.waitpid(pid, 0)
    err.seek(0)
    print("run", os.waitstatus_to_exitcode(status), b"terminate called" in err.read(), flush=True)
"""


def test_exit_while_the_worker_encodes_keeps_the_exit_code(mod):
    """10 exits, with 16 and with 1 message queued, each landing inside the
    real model's encode: the host's exit code every time, never an abort."""
    runs = 10
    script = EXIT_WHILE_ENCODING.format(module=mod.__name__)
    proc = subprocess.run([sys.executable, "-c", script, str(runs)], capture_output=True, text=True, timeout=600)
    assert proc.returncode == 0, proc.stderr[-3000:]
    results = [line.split()[1:] for line in proc.stdout.splitlines() if line.startswith("run ")]
    assert results == [["3", "False"]] * runs, proc.stderr[-3000:]


@pytest.mark.parametrize(
    "value, shown",
    [
        ("x\ud800", "x\\ud800"),  # no encoding can write it: rich used to fail and end the worker
        ("a\nb\r", "a\\nb\\r"),  # would forge a line
        ("\x1b[2Jz\x07\x7f", "\\x1b[2Jz\\x07\\x7f"),  # terminal sequences
        ("\u202eevil\x85", "\\u202eevil\\x85"),  # bidi override, C1 next line
        ("café 模型 ok", "café 模型 ok"),  # ordinary text stays as it is
    ],
)
def test_values_in_console_lines_are_shown_printable(mod, handler, monkeypatch, thread_errors, value, shown):
    """A client-chosen model name, an embedding-model name and an exception
    text reach rich's real print (on a strict UTF-8 stream) escaped, and one
    worker serves every request."""
    out = io.TextIOWrapper(io.BytesIO(), encoding="utf-8", write_through=True)
    monkeypatch.setattr(mod, "print", RichConsole(file=out, width=500, color_system=None).print)
    monkeypatch.setattr(mod, "traceback", types.SimpleNamespace(print_exc=lambda: None))
    configure(handler, {value: {"text": "t", "image": None}, "failing": {"text": "bad", "image": None},
                        "missing": {"text": value, "image": None}},
              models={"t": FakeModel("t"), "bad": FakeModel("bad", fail=ValueError(value))})
    threads = set()
    for model in (value, "failing", "missing", value):
        message = {"role": "user", "content": "hi"}
        handler.handle_chat_completion_request(types.SimpleNamespace(model=model, messages=[message]))
        threads.add(handler.embedding_thread)
        drain(handler)
    assert thread_errors == [] and len(threads) == 1
    assert out.buffer.getvalue().decode().splitlines()[:4] == [
        f"Model: {shown} | Text: 1 embeddings | Image: 0 embeddings",
        f"Error computing text embedding: {shown}",
        f"Text embedding model {shown} not found in self.embedding_models",
        "Available models: dict_keys(['t', 'bad'])",
    ]
