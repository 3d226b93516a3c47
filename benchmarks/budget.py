"""The collection budget: the embedding worker's CPU against the configured
share, and the messages collected per second, before and after charging
measured CPU and batching, under ordinary and hostile traffic.

    PYTHONPATH=src python benchmarks/budget.py [--seconds 15] [--shares 0.05,0.13,0.5] [--mixes texts,text+image,hostile]

One process: the real module with the demo's models (all-MiniLM-L6-v2, the tiny
CLIP vision tower, one-thread ONNX Runtime sessions, as the middleware sets
them), a ShiftCollector and the ASGI middleware in front of an app that reads
the body and answers 200, on an asyncio loop with the real clock. Mixes:
``texts``, ordinary chat questions of 30-200 characters at 60 requests/s;
``text+image``, a question and a 64x64 PNG at 60 requests/s; ``hostile``, the
dearest messages the limits allow (four 100-letter-word texts at the cut, or
four progressive 2048x2048 JPEGs, alternately) at 20 requests/s beside the
text+image client at 20 requests/s. Set-ups, run interleaved for each share
and mix: ``before`` charges each message the cost model's estimate and embeds
one message per call; ``after`` charges the worker's measured CPU
(WorkerMeter) and embeds together (encode_batch_size 16, 1 s gather). The
worker's CPU is its thread's (/proc/self/task/TID/stat) over the window;
collected is what was handed to the handler per second.
"""
from __future__ import annotations

import argparse
import asyncio
import json
import os
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from batch_encode import QUESTIONS  # noqa: E402
from cost_model import demo_handler, jpeg, noisy  # noqa: E402
from hostile import MODEL, image_part, png, text_part  # noqa: E402


def thread_cpu(tid: int) -> float:
    fields = Path(f"/proc/self/task/{tid}/stat").read_text().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def body(content) -> bytes:
    return json.dumps({"model": MODEL, "messages": [{"role": "user", "content": content}]}).encode()


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--seconds", type=float, default=15.0)
    ap.add_argument("--shares", default="0.05,0.13,0.5")
    ap.add_argument("--mixes", default="texts,text+image,hostile")
    args = ap.parse_args(argv)
    os.environ.setdefault("HF_HUB_OFFLINE", "1")
    os.environ.setdefault("TRANSFORMERS_OFFLINE", "1")
    from vllm.entrypoints.openai.protocol import ChatCompletionRequest  # noqa: F401

    from olvane_sdk.fast.deployment.ood import host
    from olvane_sdk.fast.deployment.ood import interceptor as m
    from olvane_sdk.fast.deployment.ood.middleware import ShiftCollector, ShiftConfig, ShiftDetectionMiddleware
    from olvane_sdk.fast.deployment.ood.middleware import loading
    from olvane_sdk.fast.deployment.ood.middleware.config import ENCODE_BATCH_SIZE

    host.install_logging_console(m)
    host.install_model_factory(m, intra_op_threads=1, inter_op_threads=1, allow_spinning=False)
    h = demo_handler(m, MODEL)
    h.train_test_embeddings = {MODEL: {"text": {}}}  # a loaded recipe

    words = ("éд" * 50 + " ") * 512
    hostile = [body([text_part(words)] * 4),
               body([image_part(jpeg(noisy(2048), progressive=True), "jpeg")] * 4)]
    texts = [body(q) for q in QUESTIONS]
    pictures = [png(noisy(64 + i)) for i in range(4)]
    with_image = [body([text_part(q), image_part(pictures[i % 4])]) for i, q in enumerate(QUESTIONS)]
    clients = {"texts": [(lambda i: texts[i % len(texts)], 60.0)],
               "text+image": [(lambda i: with_image[i % len(with_image)], 60.0)],
               "hostile": [(lambda i: with_image[i % len(with_image)], 20.0), (lambda i: hostile[i % 2], 20.0)]}

    async def app(scope, receive, send):
        while (await receive()).get("more_body"):
            pass
        await send({"type": "http.response.start", "status": 200, "headers": []})
        await send({"type": "http.response.body", "body": b"{}"})

    async def post(mw, data: bytes):
        inbox = [{"type": "http.request", "body": data}]

        async def receive():
            return inbox.pop(0) if inbox else {"type": "http.disconnect"}

        async def send(_):
            pass

        await mw({"type": "http", "method": "POST", "path": "/v1/chat/completions",
                  "headers": [(b"content-length", str(len(data)).encode())]}, receive, send)

    def unwrap():  # the wrappers a collector put on the shared handler
        q = h.live_messages_queue
        for name in ("get", "task_done"):
            q.__dict__.pop(name, None)
        for model in h.embedding_models.values():
            model.__dict__.pop("encode", None)
        for name in ("encode_batch_size", "encode_gather_seconds"):
            h.__dict__.pop(name, None)

    def run(setup: str, share: float, mix: str) -> dict:
        unwrap()
        cfg = ShiftConfig(recipes={MODEL: "-"}, cpu_share=share)
        c = ShiftCollector(cfg, handler=h, init_models=False, metrics=False)
        c.ready.wait(60)
        if setup == "before":
            unwrap()
            c.handover.meter = None
        else:
            loading.set_batching(h, ENCODE_BATCH_SIZE)
        mw = ShiftDetectionMiddleware(app, collector=c)
        got = {"messages": 0}
        inner = h.handle_chat_completion_request

        def handle(request):
            got["messages"] += len(request.messages)
            inner(request)

        h.handle_chat_completion_request = handle

        async def client(data_of, rate):
            t0, i = time.monotonic(), 0
            while (now := time.monotonic()) < t0 + args.seconds:
                await post(mw, data_of(i))
                i += 1
                await asyncio.sleep(max(0.0, t0 + i / rate - now))

        async def traffic():
            await asyncio.gather(*(client(f, r) for f, r in clients[mix]))

        worker = h.embedding_thread
        tid = worker.native_id if worker is not None and worker.is_alive() else None
        cpu0 = thread_cpu(tid) if tid else 0.0
        t0 = time.monotonic()
        asyncio.run(traffic())
        seconds = time.monotonic() - t0
        worker = h.embedding_thread
        intake = dict(c.handover.intake)
        if worker is None:
            raise SystemExit(f"nothing collected: {intake}")
        cpu = thread_cpu(worker.native_id) - (cpu0 if worker.native_id == tid else 0.0)
        c.close()
        del h.handle_chat_completion_request
        while h.live_messages_queue.unfinished_tasks:  # let the worker finish before the next set-up
            time.sleep(0.05)
        return {"cpu_share": cpu / seconds, "collected/s": got["messages"] / seconds,
                "queue_full": intake["queue_full"]}

    print(f"{args.seconds:g} s per set-up; texts and text+image 60 req/s, hostile 20 + 20 req/s")
    print(f"{'share':>5} {'mix':<11} {'set-up':<7} {'worker CPU':>10} {'collected/s':>11} {'after/before':>12} "
          f"{'queue_full':>10} {'load':>5}")
    for share in (float(x) for x in args.shares.split(",")):
        for mix in args.mixes.split(","):
            before = run("before", share, mix)
            after = run("after", share, mix)
            for name, r in (("before", before), ("after", after)):
                ratio = f"{after['collected/s'] / max(before['collected/s'], 1e-9):.2f}" if name == "after" else ""
                print(f"{share:>5g} {mix:<11} {name:<7} {r['cpu_share']:>9.1%} {r['collected/s']:>11.2f} "
                      f"{ratio:>12} {r['queue_full']:>10} {os.getloadavg()[0]:>5.1f}", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
