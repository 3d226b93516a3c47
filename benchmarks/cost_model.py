"""Worker CPU per message against text length and image pixels: the figures
behind the collection budget's cost model (middleware/budget.py).

    PYTHONPATH=src python benchmarks/cost_model.py [--repeat 5] [--quick]

One process, the demo's models (all-MiniLM-L6-v2 and the tiny CLIP vision
tower, ONNX backend, one-thread sessions as the middleware sets them), the real
module and real vLLM requests of one message each. CPU is the process's CPU
time (all threads) from ``handle_chat_completion_request`` until the queue has
no unfinished message, median of --repeat. Each row is printed beside what
``budget.message_cost`` charges for the same message, so a model that
undercharges shows as a ratio above 1.
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
from hostile import MODEL, image_part, png, prose, text_part  # noqa: E402


def jpeg(image, **kw) -> bytes:
    buf = io.BytesIO()
    image.save(buf, format="JPEG", quality=90, **kw)
    return buf.getvalue()


def noisy(side: int):
    import numpy as np
    from PIL import Image

    rng = np.random.default_rng(side)
    return Image.fromarray(rng.integers(0, 256, (side, side, 3), dtype=np.uint8), "RGB")


def cases(quick: bool):
    from PIL import Image

    yield "text", "empty text part", [text_part("")]
    for n in (40, 400, 1600, 6400) + (() if quick else (16384, 65536)):
        yield "text", f"prose, {n} chars", [text_part(prose(n))]
    for n in (1000, 8000) + (() if quick else (35000,)):
        yield "text", f"100-letter words, {n} chars", [text_part(("éд" * 50 + " ") * (n // 101))]
    yield "text", "4 x 6400 chars of prose", [text_part(prose(6400)) for _ in range(4)]
    for side in (64, 224, 512, 1024) + (() if quick else (2048,)):
        flat = Image.new("RGB", (side, side), (30, 120, 200))
        yield "image", f"flat PNG {side}x{side}", [image_part(png(flat))]
        if side < 2048:  # 2048x2048 of noise is over the Base64 cap as a PNG
            yield "image", f"noise PNG {side}x{side}", [image_part(png(noisy(side)))]
        yield "image", f"noise JPEG {side}x{side}", [image_part(jpeg(noisy(side)), "jpeg")]
    if not quick:
        yield "image", "progressive JPEG 2048x2048", [image_part(jpeg(noisy(2048), progressive=True), "jpeg")]
    yield "mixed", "ordinary: a question and a 64x64 PNG", [
        text_part("How long should bread dough rest?"), image_part(png(noisy(64)))]


def demo_handler(m, model: str):
    """The module's handler serving ``model`` with the demo's text and image
    models (ONNX), set directly, without a recipe."""
    from olvane_sdk.fast.deployment.ood.demo import models as local_models
    from olvane_sdk.fast.deployment.ood.recipe_files.layout import DEFAULT_TEXT_PREFIX

    h = m.olvane_shift_detection_handler
    text_dir, image_dir = local_models.text_model_dir(), local_models.image_model_dir()
    h.embedding_models = {d: m.SentenceTransformer(d, backend="onnx") for d in (text_dir, image_dir)}
    h.vllm_to_embedding_model_map = {model: {"text": text_dir, "image": image_dir}}
    h.text_prefixes = {model: DEFAULT_TEXT_PREFIX}
    return h


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--repeat", type=int, default=5)
    ap.add_argument("--quick", action="store_true", help="fewer and smaller cases")
    args = ap.parse_args(argv)
    os.environ.setdefault("HF_HUB_OFFLINE", "1")
    os.environ.setdefault("TRANSFORMERS_OFFLINE", "1")
    from PIL import Image
    from vllm.entrypoints.openai.protocol import ChatCompletionRequest

    from olvane_sdk.fast.deployment.ood import host
    from olvane_sdk.fast.deployment.ood import interceptor as m
    from olvane_sdk.fast.deployment.ood.middleware.budget import message_cost

    m.print = lambda *a, **k: None
    # The sessions the middleware makes: one intra-op thread, no spinning.
    host.install_model_factory(m, intra_op_threads=1, inter_op_threads=1, allow_spinning=False)
    h = demo_handler(m, MODEL)

    def cpu_of(req) -> float:
        cpu = time.process_time()
        h.handle_chat_completion_request(req)
        q = h.live_messages_queue
        while q.unfinished_tasks:
            time.sleep(0.001)
        return time.process_time() - cpu

    warm = [text_part("warm up"), image_part(png(Image.new("RGB", (64, 64))))]
    for _ in range(3):
        cpu_of(ChatCompletionRequest.model_validate({"model": MODEL, "messages": [{"role": "user", "content": warm}]}))
    print(f"load average {os.getloadavg()[0]:.1f}; CPU ms per message, median of {args.repeat}")
    print(f"{'kind':<6} {'message':<40} {'CPU ms':>8} {'charged ms':>10} {'CPU/charged':>11}")
    for kind, label, content in cases(args.quick):
        message = {"role": "user", "content": content}
        req = ChatCompletionRequest.model_validate({"model": MODEL, "messages": [message]})
        ms = 1000 * statistics.median(cpu_of(req) for _ in range(args.repeat))
        charged = 1000 * message_cost(message)
        print(f"{kind:<6} {label:<40} {ms:>8.1f} {charged:>10.1f} {ms / charged:>11.2f}", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
