"""Hostile traffic and shutdown: exit while the worker encodes, client-chosen
text in console lines, bounded cost per message, recipe and guard exactness."""
from __future__ import annotations

import io
import re
import subprocess
import sys
import types
import zlib

import pytest
from rich.console import Console as RichConsole

from support import FakeModel, StopWorker, configure, data_url, drain, png_bytes, run_worker, write_recipe

# Forks one child per run from a parent that has done the slow imports once
# and has run nothing threaded: the test's process builds the model directory
# beforehand, since a child forked from a process that has run ONNX Runtime or
# torch inherits their pools without the threads, and its teardown of them
# joins thread handles that may name the child's own threads. Each child loads
# the real ONNX text model (ONNX Runtime's default session options: a spinning
# pool of one thread per core; or the one-thread factory), queues messages,
# waits until the worker is inside encode, and exits while it encodes. A child
# still alive at its deadline fails the run, with its native stacks (gdb) and
# Python stacks (faulthandler) in the output.
EXIT_WHILE_ENCODING = r"""
import faulthandler, os, signal, subprocess, sys, tempfile, threading, time, types
import {module} as m
from olvane_sdk.fast.deployment.ood.host import install_model_factory
model_dir, runs, deadline = sys.argv[1], int(sys.argv[2]), float(sys.argv[3])
faulthandler.enable()  # each child's fd 2 is its own file: SIGABRT writes its Python stacks there
for run in range(runs):
    err = tempfile.TemporaryFile()
    pid = os.fork()
    if pid == 0:
        os.dup2(err.fileno(), 2)
        if {one_thread}:
            install_model_factory(m)
        model = m.SentenceTransformer(model_dir, backend="onnx")
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
    end = time.monotonic() + deadline
    while not (done := os.waitpid(pid, os.WNOHANG))[0] and time.monotonic() < end:
        time.sleep(0.01)
    if not done[0]:
        gdb = subprocess.run(["gdb", "-p", str(pid), "-batch", "-nx", "-ex", "thread apply all bt 25"],
                             capture_output=True, text=True, timeout=120)
        os.kill(pid, signal.SIGABRT)
        os.waitpid(pid, 0)
        err.seek(0)
        stacks = gdb.stdout[-20000:], err.read().decode(errors="replace")[:8000]
        print(f"run {{run}} hung", *stacks, sep="\n", flush=True)
        sys.exit(1)
    err.seek(0)
    print("run", os.waitstatus_to_exitcode(done[1]), b"terminate called" in err.read(), flush=True)
"""


@pytest.mark.parametrize("one_thread, runs", [(False, 6), (True, 3)], ids=["default-threads", "one-thread"])
def test_exit_while_the_worker_encodes_keeps_the_exit_code(mod, one_thread, runs):
    """Exits with 16 and with 1 message queued, each landing inside the real
    model's encode, with ONNX Runtime's default threads and with the one-thread
    factory: the host's exit code every time, never an abort, never a hang."""
    from olvane_sdk.fast.deployment.ood.demo import models as local_models

    script = EXIT_WHILE_ENCODING.format(module=mod.__name__, one_thread=one_thread)
    child_deadline = 120
    args = [sys.executable, "-c", script, local_models.text_model_dir(), str(runs), str(child_deadline)]
    proc = subprocess.run(args, capture_output=True, text=True, timeout=60 + runs * (child_deadline + 30))
    assert proc.returncode == 0, proc.stdout[-40000:] + proc.stderr[-3000:]
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


def png_claiming(width, height):
    """A PNG whose header claims width x height; its data ends at once."""
    import struct
    import zlib

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    ihdr = struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0)
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", ihdr) + chunk(b"IDAT", zlib.compress(b"\0" * 40))


def tiff_bytes():
    from PIL import Image

    buf = io.BytesIO()
    Image.new("RGB", (4, 4)).save(buf, format="TIFF")
    return buf.getvalue()


def jpeg_bytes(size=(6, 4), **options):
    from PIL import Image

    buf = io.BytesIO()
    Image.new("RGB", size, (200, 30, 40)).save(buf, format="JPEG", **options)
    return buf.getvalue()


def many_scan_jpeg():
    """Pillow's progressive JPEG (libjpeg's 10 scans) with its last scan sent 30 times more."""
    data = jpeg_bytes(progressive=True)
    last = data.rindex(b"\xff\xda")
    return data[:-2] + data[last:-2] * 30 + data[-2:]


def png_with(chunk_type, payload, count):
    import struct
    import zlib

    chunk = struct.pack(">I", len(payload)) + chunk_type + payload + struct.pack(">I", zlib.crc32(chunk_type + payload))
    data = png_bytes()
    return data[:33] + chunk * count + data[33:]  # after IHDR


def gif_with_comment_blocks(count):
    from PIL import Image

    buf = io.BytesIO()
    Image.new("P", (6, 4)).save(buf, format="GIF")
    data = buf.getvalue()
    start = 13 + (3 << ((data[10] & 7) + 1) if data[10] & 0x80 else 0)  # after the colour table
    return data[:start] + b"\x21\xfe" + b"\x01a" * count + b"\x00" + data[start:]


def image_part(url):
    return {"type": "image_url", "image_url": {"url": url}}


def text_part(text):
    return {"type": "text", "text": text}


@pytest.mark.parametrize(
    "hostile, reason",
    [
        (lambda: data_url(tiff_bytes(), "data:image/tiff;base64"),
         "image format TIFF is not accepted (PNG, JPEG, WebP or GIF only)"),
        (lambda: data_url(png_claiming(13000, 13000)), "image side of 13000 pixels is over the limit of 8192"),
        (lambda: data_url(png_claiming(3000, 3000)), "image of 3000x3000 pixels is over the budget of 4194304 pixels"),
        (lambda: data_url(png_claiming(1, 3000)), "image of 1x3000 pixels is longer than 20:1"),
        (lambda: "data:image/png;base64," + "A" * ((8 << 20) + 4),
         f"image data of {(8 << 20) + 4} Base64 characters is over the limit of {8 << 20}"),
        (lambda: data_url(many_scan_jpeg(), "data:image/jpeg;base64"), "JPEG image of 40 scans is over the limit of 24"),
        (lambda: data_url(b"\xff\xd8" + b"\xff\xfe\x00\x02" * 5000 + jpeg_bytes()[2:]),
         re.compile(r"JPEG image with 50\d\d markers before its first scan is over the limit of 4096")),
        (lambda: data_url(gif_with_comment_blocks(5000)),
         "GIF image with 5002 blocks before its first frame is over the limit of 4096"),
        (lambda: data_url(png_with(b"abCd", b"", 5000)), re.compile(r"PNG image of 500\d chunks is over the limit of 4096")),
        (lambda: data_url(png_with(b"iCCP", b"p\0\0" + zlib.compress(b"\0" * 1000), 2)),
         "PNG image with 2 colour profiles is over the limit of 1"),
        (lambda: None, None),  # twelve text parts: four embedded, then a notice
    ],
    ids=["tiff", "claims-13000", "over-budget", "strip", "payload", "jpeg-scans", "jpeg-markers", "gif-blocks",
         "png-chunks", "png-profiles", "parts"],
)
def test_hostile_content_is_refused_before_it_costs_and_the_rest_goes_on(
    handler, console, real_pillow, hostile, reason
):
    text, image = FakeModel("t"), FakeModel("i")
    configure(handler, {"m": {"text": "t", "image": "i"}}, models={"t": text, "i": image})
    if reason is None:
        content = [text_part(f"t{i}") for i in range(12)]
    else:
        ordinary = data_url(jpeg_bytes(progressive=True), "data:image/jpeg;base64")  # 10 scans
        content = [text_part("before"), image_part(hostile()), image_part(ordinary), text_part("after")]
    run_worker(handler, {"model": "m", "content": content}, StopWorker())
    if reason is None:
        assert text.inputs == [f"query: t{i}" for i in range(4)]
        assert console.lines[-1] == "[yellow]Content parts after the first 4 of a message skipped for model m[/yellow]"
    else:
        assert text.inputs == ["query: before", "query: after"] and len(image.inputs) == 1
        assert image.inputs[0].size == (6, 4)
        head = "[red]Error processing image:[/red] "
        refused = [line[len(head):] for line in console.lines if line.startswith(head)]
        assert len(refused) == 1 and [str(e) for e in console.tracebacks] == refused
        assert re.fullmatch(reason, refused[0]) if isinstance(reason, re.Pattern) else refused[0] == reason


TEXTS = {
    "prose": lambda words: " ".join(words[i % len(words)] for i in range(20000)),
    "punctuation": lambda words: "".join(f"{w}, ({w})! " for w in words * 400),
    "cjk": lambda words: "模型的输入" * 4000 + " tail",
    "accents": lambda words: " ".join(f"Ça café-{w}" for w in words * 400),
    "hangul": lambda words: "한국어는 대한민국의 공용어이다 " * 1000,
    "long-words": lambda words: ("éд" * 50 + " ") * 700,  # ~100 pieces a word: the tokenizer's slowest
    "whitespace": lambda words: " " * 70000 + "tail",  # only the character cap applies
}


@pytest.mark.parametrize("kind", list(TEXTS))
def test_long_text_is_cut_without_changing_the_embedding(mod, handler, console, kind):
    """With the real all-MiniLM-L6-v2 model: the text the model is given is
    cut, and its embedding is the one of the whole text."""
    import numpy as np
    from sentence_transformers import SentenceTransformer

    from olvane_sdk.fast.deployment.ood.demo import models as local_models

    model = SentenceTransformer(local_models.text_model_dir(), backend="onnx")
    words = "How long should I rest dough before baking bread at home".split()
    text = TEXTS[kind](words)
    given = []
    recording = types.SimpleNamespace(encode=lambda value: given.append(value) or model.encode(value))
    configure(handler, {"m": {"text": "t", "image": None}}, models={"t": recording}, prefixes={"m": "query: "})
    run_worker(handler, {"model": "m", "content": text}, StopWorker())
    assert len(given) == 1 and ("query: " + text).startswith(given[0]) and len(given[0]) <= 7 + (8 << 10)
    if kind == "whitespace":
        assert given[0] == "query: " + " " * (8 << 10)
    else:
        assert len(given[0]) < len(text) // 4
        full = model.tokenizer("query: " + text, truncation=True, max_length=model.max_seq_length)["input_ids"]
        cut = model.tokenizer(given[0], truncation=True, max_length=model.max_seq_length)["input_ids"]
        assert cut == full
        np.testing.assert_array_equal(model.encode(given[0]), model.encode("query: " + text))


@pytest.mark.parametrize("prefix", [None, 12345, ["query: "]], ids=["null", "number", "list"])
def test_text_prefix_that_is_not_a_string_fails_its_recipe(
    handler, console, fake_models, progress_recorder, recipe_root, prefix
):
    bad = write_recipe(recipe_root, "bad", config={"embeddings": {
        "text_model_name": "bt", "image_model_name": None, "text_prefix": prefix}})
    good = write_recipe(recipe_root, "good", text_model="gt", image_model="gi")
    handler.init_models({"bad": str(bad), "good": str(good)})
    reason = f"text_prefix must be a string, not {type(prefix).__name__}"
    assert console.lines[0] == f"[red]Error loading config for bad:[/red] {reason}"
    assert console.kinds()[:2] == ["print", "traceback"] and str(console.tracebacks[0]) == reason
    assert list(handler.text_prefixes) == list(handler.vllm_to_embedding_model_map) == ["good"]
    assert fake_models.loaded_names == ["gt", "gi"]


@pytest.mark.parametrize("through_request", [False, True], ids=["direct", "through-request"])
def test_missing_queue_is_reported_by_add_live_message_itself(handler, console, monkeypatch, through_request):
    del handler.live_messages_queue
    monkeypatch.setattr(handler, "start_live_embedding_worker", lambda: console.print("started"))
    if through_request:
        handler.handle_chat_completion_request(types.SimpleNamespace(model="m", messages=[{}, {}]))
    else:
        handler.add_live_message({})
    error = "'ShiftDetectionRequestHandler' object has no attribute 'live_messages_queue'"
    line = "[red]Error adding live message:[/red] " + error
    expected = [line, line, "started"] if through_request else [line]
    assert console.lines == expected
    assert [str(e) for e in console.tracebacks] == [error] * (2 if through_request else 1)


def inflating_archive(path):
    """Rewrites the archive's directory so that its first member claims 1.25 GiB."""
    import struct

    data = bytearray(path.read_bytes())
    entry = data.index(b"PK\x01\x02")
    data[entry + 24:entry + 28] = struct.pack("<I", 0x50000000)
    path.write_bytes(bytes(data))


@pytest.mark.parametrize("bad", ["fifo-config", "fifo-train", "directory-test", "inflating-train"])
def test_recipe_file_that_would_block_or_inflate_fails_its_recipe(
    handler, console, fake_models, progress_recorder, recipe_root, bad
):
    import os
    import threading

    recipe = write_recipe(recipe_root, "bad")
    good = write_recipe(recipe_root, "good", text_model="gt", image_model="gi")
    kind, which = bad.split("-")
    dist = recipe / "data" / "distribution"
    path = dist / "test_config.json" if which == "config" else dist / which / "embeddings.npz"
    if kind == "inflating":
        inflating_archive(path)
    else:
        path.unlink()
        os.mkfifo(path) if kind == "fifo" else path.mkdir()
    # A FIFO blocked the call for good: run it aside, so that the test fails instead of hanging.
    call = threading.Thread(target=handler.init_models, args=({"bad": str(recipe), "good": str(good)},), daemon=True)
    call.start()
    call.join(120)
    assert not call.is_alive()
    stage = "config" if which == "config" else "embeddings"
    reason = (f"{str(path)!r} is not a regular file" if kind != "inflating" else
              f"text_embeddings.npy in {str(path)!r} inflates to 1342177280 bytes, over the limit of 1073741824")
    assert console.lines[0] == f"[red]Error loading {stage} for bad:[/red] {reason}"
    assert [str(e) for e in console.tracebacks] == [reason]
    assert fake_models.loaded_names == ["gt", "gi"] and "bad" not in handler.train_test_embeddings


# A handler method called from a finalizer while the interpreter finalizes
# (module globals are cleared after the runtime is marked finalizing): the
# main thread holds the GIL then, so the module must release what it took.
RELEASE_DURING_FINALIZATION = r"""
import os, sys, types
import {module} as m
h = m.ShiftDetectionRequestHandler()
queue = types.SimpleNamespace(put_nowait=lambda message: None)
h.live_messages_queue = queue
class Probe:
    def __del__(self, h=h, queue=queue, getrefcount=sys.getrefcount, write=os.write):
        before = getrefcount(queue)
        for _ in range(100):
            h.add_live_message({{}})
        write(1, b"added %d\n" % (getrefcount(queue) - before))
probe = Probe()
"""


def test_references_are_released_on_the_main_thread_during_finalization(mod):
    script = RELEASE_DURING_FINALIZATION.format(module=mod.__name__)
    proc = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0 and "added 0" in proc.stdout, (proc.stdout, proc.stderr[-2000:])
