"""Encoder throughput against batch size: messages embedded per CPU-second by
the demo's models with one ``encode`` call per batch.

    PYTHONPATH=src python benchmarks/batch_encode.py [--rounds 5] [--sizes 1,8,16,32]

One process, the demo's local models (all-MiniLM-L6-v2 and the tiny CLIP vision
tower, ONNX backend, one-thread sessions as the middleware sets them). Inputs:
ordinary chat texts of 30-200 characters behind the "query: " prefix, and 64x64
PNG images opened from bytes as the worker opens them. The batch sizes are run
interleaved, round after round, and the median per size is printed with the
ratio to batch 1 of the same rounds; CPU is this thread's (time.thread_time).
Also: a batch of mixed lengths (one 8 Ki-character text among short ones)
padded whole against grouped by length, the cost the worker's grouping avoids.
"""
from __future__ import annotations

import argparse
import io
import os
import statistics
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from cost_model import noisy  # noqa: E402
from hostile import png, prose  # noqa: E402

QUESTIONS = [
    "How long should bread dough rest?",
    "What is the capital of Australia and why was it chosen over Sydney?",
    "Explain the difference between a list and a tuple in Python, with an example of when to use each.",
    "My washing machine stops mid-cycle and shows error E21. The filter is clean. What else could cause it, "
    "and can I fix it myself?",
    "Summarise the plot of Hamlet in three sentences.",
    "Which is healthier: brown rice or white rice?",
    "Write a haiku about autumn rain on a tin roof.",
    "How do I convert a CSV file with semicolons into an Excel sheet without breaking the dates?",
]


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--rounds", type=int, default=5)
    ap.add_argument("--sizes", default="1,8,16,32")
    ap.add_argument("--messages", type=int, default=64, help="inputs per size and round")
    args = ap.parse_args(argv)
    os.environ.setdefault("HF_HUB_OFFLINE", "1")
    os.environ.setdefault("TRANSFORMERS_OFFLINE", "1")
    from PIL import Image

    from olvane_sdk.fast.deployment.ood import host
    from olvane_sdk.fast.deployment.ood import interceptor as m
    from olvane_sdk.fast.deployment.ood.demo import models as local_models

    host.install_model_factory(m, intra_op_threads=1, inter_op_threads=1, allow_spinning=False)
    text = m.SentenceTransformer(local_models.text_model_dir(), backend="onnx")
    image = m.SentenceTransformer(local_models.image_model_dir(), backend="onnx")
    sizes = [int(s) for s in args.sizes.split(",")]
    texts = ["query: " + QUESTIONS[i % len(QUESTIONS)] for i in range(args.messages)]
    png_bytes = [png(noisy(64 + i % 3)) for i in range(8)]

    def images(n):
        return [Image.open(io.BytesIO(png_bytes[i % len(png_bytes)])) for i in range(n)]

    def run(model, inputs, size) -> float:
        t0 = time.thread_time()
        for i in range(0, len(inputs), size):
            chunk = inputs[i:i + size]
            if size == 1:
                model.encode(chunk[0])
            else:
                model.encode(chunk)
        return len(inputs) / (time.thread_time() - t0)

    for model, make in ((text, lambda: texts), (image, lambda: images(args.messages))):
        model.encode(make()[:2])  # warm up
    print(f"load average {os.getloadavg()[0]:.2f} (start); {args.rounds} rounds of {args.messages} inputs per size")
    for kind, model, make in (("text", text, lambda: texts), ("image 64x64", image, lambda: images(args.messages))):
        rates: dict[int, list[float]] = {s: [] for s in sizes}
        for _ in range(args.rounds):
            for s in sizes:
                rates[s].append(run(model, make(), s))
        base = statistics.median(rates[sizes[0]])
        for s in sizes:
            med = statistics.median(rates[s])
            print(f"{kind:<12} batch {s:>2}: {med:7.1f} inputs per CPU-second ({med / base:.2f}x batch {sizes[0]})",
                  flush=True)
    # Padding: 15 short questions and one long text in one call, against the
    # long one alone and the short ones together.
    long_text = "query: " + prose(8192)
    short = texts[:15]
    whole, grouped = [], []
    for _ in range(args.rounds):
        t0 = time.thread_time()
        text.encode(short + [long_text])
        whole.append(time.thread_time() - t0)
        t0 = time.thread_time()
        text.encode(short)
        text.encode(long_text)
        grouped.append(time.thread_time() - t0)
    print(f"padding: 15 short + one 8 Ki-char text in one call {statistics.median(whole) * 1e3:.0f} ms, "
          f"grouped by length {statistics.median(grouped) * 1e3:.0f} ms")
    print(f"load average {os.getloadavg()[0]:.2f} (end)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
