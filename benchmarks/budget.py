"""The collection budget under hostile traffic: the embedding worker's CPU and
what is still collected of ordinary traffic mixed in.

    PYTHONPATH=src python benchmarks/budget.py [--seconds 20] [--hostile-rate 50] [--only count,cost]

One process: the real module with the demo's models (all-MiniLM-L6-v2, the tiny
CLIP vision tower, one-thread ONNX Runtime sessions, as the middleware sets
them), a ShiftCollector and the ASGI middleware in front of an app that reads
the body and answers 200, on an asyncio loop with the real clock. For
--seconds, a hostile client sends the dearest messages the limits allow
(four 100-letter-word texts at the cut, or four progressive 2048x2048 JPEGs,
alternately) at --hostile-rate requests/s, and an ordinary client sends a
question and a 64x64 PNG at 10 requests/s.

Set-ups: ``count`` is the budget by message count (3 messages/s, what the
middleware did before the cost model); ``cost`` is the default budget
(OLVANE_SHIFT_CPU_SHARE); ``ordinary`` is the default budget with the ordinary
client alone. The worker's CPU is its thread's (/proc/self/task/TID/stat) over
the window; the messages still queued at the end are not counted.
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
from cost_model import demo_handler, jpeg, noisy  # noqa: E402
from hostile import MODEL, image_part, png, text_part  # noqa: E402


def thread_cpu(tid: int) -> float:
    fields = Path(f"/proc/self/task/{tid}/stat").read_text().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def body(content) -> bytes:
    return json.dumps({"model": MODEL, "messages": [{"role": "user", "content": content}]}).encode()


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--seconds", type=float, default=20.0)
    ap.add_argument("--hostile-rate", type=float, default=50.0, help="hostile requests per second")
    ap.add_argument("--only", default="count,cost,ordinary")
    args = ap.parse_args(argv)
    os.environ.setdefault("HF_HUB_OFFLINE", "1")
    os.environ.setdefault("TRANSFORMERS_OFFLINE", "1")
    from vllm.entrypoints.openai.protocol import ChatCompletionRequest  # noqa: F401

    from olvane_sdk.fast.deployment.ood import host
    from olvane_sdk.fast.deployment.ood import interceptor as m
    from olvane_sdk.fast.deployment.ood.middleware import ShiftCollector, ShiftConfig, ShiftDetectionMiddleware
    from olvane_sdk.fast.deployment.ood.middleware import budget, handover

    host.install_logging_console(m)
    host.install_model_factory(m, intra_op_threads=1, inter_op_threads=1, allow_spinning=False)
    h = demo_handler(m, MODEL)
    h.train_test_embeddings = {MODEL: {}}

    words = ("éд" * 50 + " ") * 512
    hostile = [body([text_part(words)] * 4),
               body([image_part(jpeg(noisy(2048), progressive=True), "jpeg")] * 4)]
    ordinary = body([text_part("How long should bread dough rest?"), image_part(png(noisy(64)))])
    print(f"hostile bodies {len(hostile[0]) / 1e6:.2f} / {len(hostile[1]) / 1e6:.2f} MB, charged "
          f"{budget.request_units(json.loads(hostile[0])['messages']):.1f} / "
          f"{budget.request_units(json.loads(hostile[1])['messages']):.1f} ordinary messages")

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

    def run(setup: str) -> dict:
        cfg = ShiftConfig(recipes={MODEL: "-"}, max_rate=3.0) if setup == "count" else ShiftConfig(recipes={MODEL: "-"})
        units = handover.request_units
        if setup == "count":  # one token per message, whatever it holds
            handover.request_units = lambda messages, _parse_s=0.0: float(len(messages))
        c = ShiftCollector(cfg, handler=h, init_models=False, metrics=False)
        c.ready.wait(60)
        mw = ShiftDetectionMiddleware(app, collector=c)
        got = {"ordinary": 0, "hostile": 0}
        inner = h.handle_chat_completion_request

        def handle(request):  # which client each collected message came from
            for msg in request.messages:
                got["ordinary" if isinstance(msg["content"], list) and len(msg["content"]) == 2 else "hostile"] += 1
            inner(request)

        h.handle_chat_completion_request = handle

        async def client(data_of, rate):
            t0, i = time.monotonic(), 0
            while (now := time.monotonic()) < t0 + args.seconds:
                await post(mw, data_of(i))
                i += 1
                await asyncio.sleep(max(0.0, t0 + i / rate - now))

        async def traffic():
            jobs = [client(lambda i: ordinary, 10.0)]
            if setup != "ordinary":
                jobs.append(client(lambda i: hostile[i % 2], args.hostile_rate))
            await asyncio.gather(*jobs)

        worker = h.embedding_thread
        tid = worker.native_id if worker is not None and worker.is_alive() else None
        cpu0 = thread_cpu(tid) if tid else 0.0
        t0 = time.monotonic()
        asyncio.run(traffic())
        seconds = time.monotonic() - t0
        worker = h.embedding_thread
        cpu = thread_cpu(worker.native_id) - (cpu0 if worker.native_id == tid else 0.0)
        intake = dict(c.handover.intake)
        c.close()
        del h.handle_chat_completion_request
        handover.request_units = units
        while h.live_messages_queue.unfinished_tasks:  # let the worker finish before the next set-up
            time.sleep(0.05)
        return {"setup": setup, "cpu_share": cpu / seconds, "budget": cfg.budget_rate * budget.ORDINARY_S,
                "ordinary/s": got["ordinary"] / seconds, "hostile/s": got["hostile"] / seconds,
                "queue_full": intake["queue_full"], "sampled_out": intake["sampled_out"]}

    print(f"load average {os.getloadavg()[0]:.1f}; {args.seconds:g} s per set-up; hostile {args.hostile_rate:g} req/s, "
          "ordinary 10 req/s")
    print(f"{'set-up':<9} {'worker CPU':>10} {'budget':>7} {'ordinary coll/s':>15} {'hostile coll/s':>14} "
          f"{'queue_full':>10} {'sampled_out':>11}")
    for setup in args.only.split(","):
        r = run(setup)
        print(f"{setup:<9} {r['cpu_share']:>9.1%} {r['budget']:>6.1%} {r['ordinary/s']:>15.2f} {r['hostile/s']:>14.2f} "
              f"{r['queue_full']:>10} {r['sampled_out']:>11}", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
