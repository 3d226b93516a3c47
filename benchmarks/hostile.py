"""Hostile messages: worker time and added peak memory of one message each.

    python benchmarks/hostile.py [--only NAME,...] [--json out.json]
    python benchmarks/hostile.py --pythonpath OTHER/src   # another build, e.g. before a change

Each payload is measured in a fresh process (peak memory is per process):
the child imports the module, loads the demo's models (all-MiniLM-L6-v2 and
the tiny CLIP vision tower, ONNX backend), maps one served model to them with
the prefix "query: ", embeds one ordinary message to warm up, builds the real
vLLM ChatCompletionRequest, and only then resets the kernel's high-water mark
(/proc/self/clear_refs) and starts the clock. The message is then sent
--repeat times (default 5): the times are medians, the peak is the first
run's (the store, full or not, costs nothing measurable). Worker time runs from
handle_chat_completion_request until the queue has no unfinished message
(the process's CPU time over the same span, all threads, is printed beside it:
it moves less with the load of a shared machine);
added peak RSS is VmHWM at that point minus VmRSS at the start. The console
goes to /dev/null through rich, as in a server whose log is redirected.

The payloads are the rows of the hostile-traffic table, then the worst
messages the limits allow (parts at the pixel budget, texts at the cut).
Target: the worst allowed message costs at most 1 s and 256 MiB.
"""
from __future__ import annotations

import argparse
import base64
import io
import json
import os
import statistics
import struct
import subprocess
import sys
import tempfile
import time
import zlib
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
MODEL = "alpha-chat"
TARGET_SECONDS, TARGET_MIB = 1.0, 256


# --- payloads (built once, in the parent) ------------------------------------------


def png(image) -> bytes:
    buf = io.BytesIO()
    image.save(buf, format="PNG")
    return buf.getvalue()


def png_claiming(width, height, rows=10) -> bytes:
    """A PNG whose header claims width x height RGBA; its data ends after `rows` rows."""

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    ihdr = struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0)
    raw = zlib.compress(b"\0" * ((1 + 4 * width) * rows), 9)
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", ihdr) + chunk(b"IDAT", raw)


def url(data: bytes, kind="png") -> str:
    return f"data:image/{kind};base64," + base64.b64encode(data).decode("ascii")


def image_part(data, kind="png"):
    return {"type": "image_url", "image_url": {"url": url(data, kind)}}


def text_part(text):
    return {"type": "text", "text": text}


def prose(chars: int) -> str:
    lines = []
    for path in sorted((ROOT / "src/olvane_sdk/fast/deployment/ood/demo/texts").glob("*.txt")):
        lines += [line.strip() for line in path.read_text().splitlines() if line.strip()]
    text = " ".join(lines)
    return (text * (chars // len(text) + 1))[:chars]


def noisy_png(side: int, noisy_rows: float) -> bytes:
    """side x side RGB, the first part of the rows noise (for a payload near the cap)."""
    import numpy as np
    from PIL import Image

    arr = np.full((side, side, 3), 200, np.uint8)
    n = int(side * noisy_rows)
    arr[:n] = np.random.default_rng(0).integers(0, 256, (n, side, 3), dtype=np.uint8)
    return png(Image.fromarray(arr, "RGB"))


def jpeg_scans(data: bytes) -> list[tuple[int, int]]:
    """(start, end) of each scan of a JPEG: its SOS segment and entropy-coded data."""
    i, scans = 2, []
    while i < len(data) and data[i + 1] != 0xD9:
        end = i + 2 + struct.unpack(">H", data[i + 2:i + 4])[0]
        if data[i + 1] == 0xDA:
            while not (data[end] == 0xFF and data[end + 1] != 0 and not 0xD0 <= data[end + 1] <= 0xD7):
                end += 1
            scans.append((i, end))
        i = end
    return scans


def progressive_jpeg(side: int, noisy_rows: float = 0.0, subsampling: int = 2) -> bytes:
    import numpy as np
    from PIL import Image

    arr = np.full((side, side, 3), 128, np.uint8)
    n = int(side * noisy_rows)
    arr[:n] = np.random.default_rng(0).integers(0, 256, (n, side, 3), dtype=np.uint8)
    buf = io.BytesIO()
    Image.fromarray(arr, "RGB").save(buf, format="JPEG", progressive=True, quality=95, subsampling=subsampling)
    return buf.getvalue()


def many_scan_jpeg(data: bytes, scan: int, total_scans: int | None = None, size: int | None = None) -> bytes:
    """`data` with its scan number `scan` sent again, up to `total_scans` scans or `size` bytes."""
    scans = jpeg_scans(data)
    start, end = scans[scan]
    copies = total_scans - len(scans) if total_scans else (size - len(data)) // (end - start)
    return data[:-2] + data[start:end] * copies + data[-2:]


def build_payloads() -> dict[str, dict]:
    """name -> {"label", "content"}; built lazily by name so --only stays cheap."""
    from PIL import Image

    def rgba_9000():
        return [image_part(png(Image.new("RGBA", (9000, 9000), (10, 20, 30, 255))))]

    def tiff_12000():
        buf = io.BytesIO()
        Image.new("L", (12000, 12000), 128).save(buf, format="TIFF", compression="tiff_adobe_deflate")
        return [image_part(buf.getvalue(), "tiff")]

    def strip():
        return [image_part(png(Image.new("RGB", (3_000_000, 1), (200, 10, 10))))]

    def worst_images():
        data = noisy_png(2048, 0.4)  # at the pixel budget, its Base64 near the 8 Mi cap
        return [image_part(data) for _ in range(4)]

    def scan_bomb():
        data = progressive_jpeg(2048)  # flat: its smallest scan is a few bytes
        scans = jpeg_scans(data)
        smallest = min(range(len(scans)), key=lambda k: scans[k][1] - scans[k][0])
        return [image_part(many_scan_jpeg(data, smallest, size=6_000_000), "jpeg")]

    def worst_jpegs():
        # 4:4:4 and noise near the cap, its first (DC) scan, the dearest per byte, sent up to the scan limit
        data = many_scan_jpeg(progressive_jpeg(2048, 0.25, subsampling=0), 0, total_scans=24)
        return [image_part(data, "jpeg") for _ in range(4)]

    def png_with(kind, payload, count):
        base = png(Image.new("RGB", (64, 64)))
        chunk = struct.pack(">I", len(payload)) + kind + payload + struct.pack(">I", zlib.crc32(kind + payload))
        return base[:33] + chunk * count + base[33:]

    def gif_comment_blocks(count):
        buf = io.BytesIO()
        Image.new("P", (64, 64)).save(buf, format="GIF")
        data = buf.getvalue()
        start = 13 + (3 << ((data[10] & 7) + 1) if data[10] & 0x80 else 0)
        return data[:start] + b"\x21\xfe" + b"\x01a" * count + b"\x00" + data[start:]

    long_words = ("éд" * 50 + " ") * 700
    return {
        "jpeg-scans": ("2048x2048 progressive JPEG, one scan sent ~400,000 times", scan_bomb),
        "jpeg-markers": ("JPEG with 1.5 million markers before its scan",
                         lambda: [image_part(b"\xff\xd8" + b"\xff\xe1\x00\x02" * 1_500_000
                                             + progressive_jpeg(64)[2:], "jpeg")]),
        "png-profiles": ("PNG with 4,000 colour profiles of 1 MiB",
                         lambda: [image_part(png_with(b"iCCP", b"p\0\0" + zlib.compress(b"\0" * (2**20 - 1), 9), 4000))]),
        "png-chunks": ("PNG with 500,000 empty chunks", lambda: [image_part(png_with(b"abCd", b"", 500_000))]),
        "gif-blocks": ("GIF with 3 million comment blocks", lambda: [image_part(gif_comment_blocks(3_000_000), "gif")]),
        "text-long-words": ("4 text parts of 100-letter words, 70 KB each",
                            lambda: [text_part(long_words) for _ in range(4)]),
        "rgba-9000": ("9000x9000 RGBA PNG", rgba_9000),
        "png-claims-13000": ("PNG claiming 13000x13000, data ending after 10 rows",
                             lambda: [image_part(png_claiming(13000, 13000))]),
        "tiff-12000": ("12000x12000 TIFF", tiff_12000),
        "strip": ("3-megapixel strip, 1 pixel high", strip),
        "text-10mb": ("10 MB of text", lambda: prose(10_000_000)),
        "png-claims-x3": ("three copies of the PNG claiming 13000x13000",
                          lambda: [image_part(png_claiming(13000, 13000)) for _ in range(3)]),
        "parts-3000": ("3,000 text parts", lambda: [text_part(f"question {i} about bread") for i in range(3000)]),
        "worst-images": ("limit: 4 images of 2048x2048 (Base64 near the cap)", worst_images),
        "worst-texts": ("limit: 4 text parts of 64 KB prose", lambda: [text_part(prose(65536)) for _ in range(4)]),
        "worst-mixed": ("limit: 2 such images + 2 such texts",
                        lambda: worst_images()[:2] + [text_part(prose(65536)) for _ in range(2)]),
        "worst-whitespace": ("limit: 4 text parts of 64 Ki spaces then a word",
                             lambda: [text_part(" " * 70000 + "word") for _ in range(4)]),
        "worst-jpegs": ("limit: 4 progressive JPEGs of 2048x2048, 24 scans", worst_jpegs),
        "worst-long-words": ("limit: 4 text parts of 100-letter words at the cut",
                             lambda: [text_part(long_words[:8192]) for _ in range(4)]),
        "worst-cjk-punct": ("limit: 4 text parts of 64 Ki '、'", lambda: [text_part("、" * 65536) for _ in range(4)]),
        "worst-spaces-words": ("limit: 4 text parts of spaces, then prose",
                               lambda: [text_part(" " * 8000 + prose(60000)) for _ in range(4)]),
        "ordinary": ("ordinary: a question and a 224x224 PNG",
                     lambda: [text_part("How long should bread dough rest?"),
                              image_part(png(Image.new("RGB", (224, 224), (30, 120, 200))))]),
    }


# --- the child: one message, one process -------------------------------------------


def child(payload_file: str, out_file: str, repeat: str) -> None:
    repeat = int(repeat)
    os.environ.setdefault("HF_HUB_OFFLINE", "1")
    os.environ.setdefault("TRANSFORMERS_OFFLINE", "1")
    from PIL import Image
    from rich.console import Console
    from sentence_transformers import SentenceTransformer
    from vllm.entrypoints.openai.protocol import ChatCompletionRequest

    from olvane_sdk.fast.deployment.ood import interceptor as m
    from olvane_sdk.fast.deployment.ood.demo import models as local_models
    from olvane_sdk.fast.deployment.ood.recipe_files.layout import DEFAULT_TEXT_PREFIX

    sink = open(os.devnull, "w")
    m.print = Console(file=sink).print
    h = m.olvane_shift_detection_handler
    text_dir, image_dir = local_models.text_model_dir(), local_models.image_model_dir()
    h.embedding_models = {text_dir: SentenceTransformer(text_dir, backend="onnx"),
                          image_dir: SentenceTransformer(image_dir, backend="onnx")}
    h.vllm_to_embedding_model_map = {MODEL: {"text": text_dir, "image": image_dir}}
    h.text_prefixes = {MODEL: DEFAULT_TEXT_PREFIX}

    def request(content):
        return ChatCompletionRequest.model_validate(
            {"model": MODEL, "messages": [{"role": "user", "content": content}]})

    def run(req) -> float:
        start = time.perf_counter()
        h.handle_chat_completion_request(req)
        q = h.live_messages_queue
        while q.unfinished_tasks:
            time.sleep(0.002)
        return time.perf_counter() - start

    run(request([text_part("warm up"), image_part(png(Image.new("RGB", (64, 64))))]))
    content = json.loads(Path(payload_file).read_text())
    req = request(content)
    del content

    def status(field):
        for line in open("/proc/self/status"):
            if line.startswith(field):
                return int(line.split()[1]) * 1024

    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")
    base = status("VmRSS")
    times, cpus = [], []
    for _ in range(repeat):
        cpu = time.process_time()
        times.append(run(req))
        cpus.append(time.process_time() - cpu)
        if len(times) == 1:
            added = status("VmHWM") - base
    seconds, cpu = statistics.median(times), statistics.median(cpus)
    stored = {k: len(v["live"]) for k, v in h.live_embeddings[MODEL].items()}
    Path(out_file).write_text(json.dumps({"seconds": seconds, "cpu_seconds": cpu, "added_mib": added / 2**20, "stored": stored,
                                          "base_mib": base / 2**20}))


# --- the parent ---------------------------------------------------------------------


def measure(name, content, pythonpath, repeat) -> dict:
    with tempfile.TemporaryDirectory() as tmp:
        payload, out = Path(tmp, "payload.json"), Path(tmp, "out.json")
        payload.write_text(json.dumps(content))
        sent = payload.stat().st_size
        env = dict(os.environ, PYTHONPATH=pythonpath + os.pathsep + os.environ.get("PYTHONPATH", ""))
        proc = subprocess.run([sys.executable, __file__, "--child", str(payload), str(out), str(repeat)], env=env,
                              stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True, timeout=900)
        if proc.returncode != 0 or not out.exists():
            return {"name": name, "sent": sent, "error": f"exit {proc.returncode}: {proc.stderr[-400:]}"}
        return {"name": name, "sent": sent, **json.loads(out.read_text())}


def size(n: int) -> str:
    return f"{n / 1e6:.2f} MB" if n >= 100_000 else f"{n / 1e3:.1f} KB" if n >= 1000 else f"{n} B"


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--child", nargs=3, help=argparse.SUPPRESS)
    ap.add_argument("--repeat", type=int, default=5, help="times per payload (median; peak RSS of the first)")
    ap.add_argument("--only", help="comma-separated payload names")
    ap.add_argument("--pythonpath", default=str(ROOT / "src"), help="where the module under test is imported from")
    ap.add_argument("--json", help="also write the figures here")
    args = ap.parse_args(argv)
    if args.child:
        child(*args.child)
        return 0
    payloads = build_payloads()
    names = args.only.split(",") if args.only else list(payloads)
    print(f"module from {args.pythonpath}; load average {os.getloadavg()[0]:.1f}; median of {args.repeat}")
    print(f"{'payload':<52} {'sent':>9} {'worker s':>9} {'CPU s':>6} {'peak MiB':>9}  stored   vs target")
    rows = []
    for name in names:
        label, build = payloads[name]
        row = measure(name, build(), args.pythonpath, args.repeat)
        row["label"] = label
        rows.append(row)
        if "error" in row:
            print(f"{label:<52} {size(row['sent']):>9}  {row['error']}")
            continue
        ratio = f"{row['seconds'] / TARGET_SECONDS:.2f}x 1 s, {row['added_mib'] / TARGET_MIB:.2f}x 256 MiB"
        stored = "/".join(str(v) for v in row["stored"].values())
        print(f"{label:<52} {size(row['sent']):>9} {row['seconds']:>9.2f} {row['cpu_seconds']:>6.2f} {row['added_mib']:>9.0f}  {stored:>7}  {ratio}",
              flush=True)
    if args.json:
        Path(args.json).write_text(json.dumps(rows, indent=2))
    return 0


if __name__ == "__main__":
    sys.exit(main())
