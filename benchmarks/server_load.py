"""vLLM's API server under load, with and without the shift integration.

Each set-up starts vLLM's own server (run_server/build_app, a stand-in engine
answering a fixed completion; see demo/server.py) in a child process, waits
until the integration has loaded its recipes, then keeps CONCURRENCY `openai`
chat requests in flight for SECONDS (after a warm-up). Each request is one user
message with a text part and a 64x64 PNG data URL; every other one streams.

Figures per set-up:
  req/s       chat completions answered per second
  lag p50/p99/max   event-loop lag inside the server process: a task on
              vLLM's loop sleeps 1 ms at a time and records how late it wakes
  CPU%        the server process's CPU time over the window (100% = one core)
  client%     the same for the load generator (this process)
  coll/s      messages handed to the handler per second (intake "collected")
  emb/s       live embeddings stored per second (text + image; the metrics' counter)
  chg%        CPU the budget was charged over the window, % of one core: the
              embedding worker's measured thread CPU plus the hand-over's parses
              (/v1/shift "charged"); the default share is 13 %
and ratios against "none" (no integration).

Set-ups (environment of the server; every other OLVANE_SHIFT_* variable is
cleared, and the sample store is the default directory one, placed in the run's
temporary directory through XDG_STATE_HOME):
  none            no --middleware
  budget          the integration with its defaults: OLVANE_SHIFT_CPU_SHARE 0.13 of a
                  core, charged with the embedding worker's measured thread CPU; the
                  worker embeds in batches of up to 16 gathered for up to 1 s; logging
                  sink; one-thread ONNX Runtime sessions
  share-X         the defaults with OLVANE_SHIFT_CPU_SHARE=X (e.g. share-0.25)
  batch-N         the defaults with OLVANE_SHIFT_ENCODE_BATCH=N: up to N messages per
                  encode call (batch-1: one at a time, no gathering)
  rate-N          the defaults with OLVANE_SHIFT_MAX_RATE=N: a share of N ordinary
                  messages' CPU (N x 43 ms a second), still charged as measured; not
                  N messages/s
  sink-unbounded  OLVANE_SHIFT_CPU_SHARE=off (no budget), one-thread sessions
  rich-unbounded  as above with OLVANE_SHIFT_CONSOLE=rich
  ort-defaults    no budget, and ONNX Runtime's own defaults
                  (OLVANE_SHIFT_ORT_THREADS = number of cores, OLVANE_SHIFT_ORT_SPINNING=1)
The measured charging has no switch: batch-1 embeds one message at a time, as
before batching, but is still charged with the worker's measured CPU.

    python benchmarks/server_load.py [--seconds 20] [--concurrency 16] [--only none,budget] [--no-pin]
        [--repeat 3] [--text-only]

On a machine with 2 or more cores the load generator (the openai client costs
several times the server's CPU per request) is pinned to core 0 and the server
process to core 1 (--no-pin: both float over all cores). Pinned, the figures
show what collection costs the server's own core; floating, collection also
takes CPU from the client, as it would from anything else on the host.

Goals: budget keeps >= 95% of none's req/s and its p99 lag within 1.5x of
none's, while collecting what the default share buys (about 10-15 messages/s of
text + image).
"""
from __future__ import annotations

import argparse
import asyncio
import json
import os
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "src"))  # this checkout (in-place build: scripts/dev_build.sh)
os.environ.setdefault("HF_HUB_OFFLINE", "1")
os.environ.setdefault("TRANSFORMERS_OFFLINE", "1")

from olvane_sdk.fast.deployment.ood import demo as dh  # noqa: E402
from olvane_sdk.fast.deployment.ood.demo import models as local_models  # noqa: E402

SETUPS = {
    "none": None,
    "budget": {},
    "sink-unbounded": {"OLVANE_SHIFT_CPU_SHARE": "off"},
    "rich-unbounded": {"OLVANE_SHIFT_CPU_SHARE": "off", "OLVANE_SHIFT_CONSOLE": "rich"},
    # ONNX Runtime's defaults: an intra-op thread per core, spinning between runs.
    "ort-defaults": {"OLVANE_SHIFT_CPU_SHARE": "off", "OLVANE_SHIFT_ORT_THREADS": str(os.cpu_count() or 1),
                     "OLVANE_SHIFT_ORT_SPINNING": "1"},
}
# Set-ups named by a value: share-X, rate-N and batch-N.
VALUED = {"share-": "OLVANE_SHIFT_CPU_SHARE", "rate-": "OLVANE_SHIFT_MAX_RATE", "batch-": "OLVANE_SHIFT_ENCODE_BATCH"}


def setup_env(name: str) -> dict | None:
    """The server's environment for set-up ``name`` (None: no integration)."""
    if name in SETUPS:
        return SETUPS[name]
    for prefix, var in VALUED.items():
        if name.startswith(prefix):
            return {var: name.removeprefix(prefix)}
    raise SystemExit(f"unknown set-up {name!r}: {', '.join(SETUPS)}, share-X, rate-N or batch-N")


async def load(server: dh.VllmServer, messages: list[list[dict]], concurrency: int, seconds: float,
               warmup: float) -> tuple[int, float, float]:
    """Keeps `concurrency` requests in flight; returns (answered in the
    window, window start, window end) in unix time."""
    import httpx
    import openai

    client = openai.AsyncOpenAI(base_url=server.url + "/v1", api_key=server.api_key, max_retries=0, timeout=60,
                                http_client=openai.DefaultAsyncHttpxClient(
                                    trust_env=False, limits=httpx.Limits(max_connections=concurrency * 2)))
    t_start = time.time() + warmup
    t_end = t_start + seconds
    answered = 0
    errors: list[BaseException] = []

    async def worker(k: int) -> None:
        nonlocal answered
        i = k
        while time.time() < t_end:
            msg = messages[i % len(messages)]
            stream = i % 2 == 1
            i += concurrency
            try:
                if stream:
                    text = ""
                    async for c in await client.chat.completions.create(model="alpha-chat", messages=msg,
                                                                        max_tokens=16, stream=True):
                        if c.choices and c.choices[0].delta.content:
                            text += c.choices[0].delta.content
                else:
                    out = await client.chat.completions.create(model="alpha-chat", messages=msg, max_tokens=16)
                    text = out.choices[0].message.content
            except Exception as e:  # counted, shown once
                errors.append(e)
                continue
            if text and t_start <= time.time() < t_end:
                answered += 1

    await asyncio.gather(*(worker(k) for k in range(concurrency)))
    await client.close()
    if errors:
        print(f"  {len(errors)} failed requests, first: {errors[0]!r}")
    return answered, t_start, t_end


def run_setup(name: str, env: dict | None, recipes: Path, messages, args, work: Path) -> dict:
    import psutil

    lag_file = work / f"lag-{name}.json"
    # The integration's variables are cleared first so that each set-up is exactly what it says.
    full_env: dict = {k: None for k in os.environ if k.startswith("OLVANE_SHIFT_")}
    full_env.update({"OLVANE_SHIFT_RECIPES": str(recipes), "OLVANE_DEMO_LAG_FILE": str(lag_file),
                     "XDG_STATE_HOME": str(work / "state")})
    full_env.update(env or {})
    server = dh.VllmServer(["alpha-chat"], env=full_env, middleware=None if env is None else dh.MIDDLEWARE,
                           log_path=work / f"server-{name}.log", cpus=args.server_cpus)
    server.start()
    try:
        if env is not None and not server.wait_ready():
            raise RuntimeError(f"{name}: not ready\n{server.log_tail()}")
        proc = psutil.Process(server.proc.pid)

        def snap():
            # Embeddings from the counter on /metrics: the store's ring stops growing at 1000.
            if env is None:
                return None
            emb = sum(float(ln.rsplit(" ", 1)[1]) for ln in server.shift_metrics()
                      if ln.startswith("olvane_shift_embeddings_total{"))
            return {**server.shift(), "embedded": emb}

        async def measured():
            task = asyncio.create_task(load(server, messages, args.concurrency, args.seconds, args.warmup))
            await asyncio.sleep(max(0.0, args.warmup))
            cpu0, s0, me0 = proc.cpu_times(), snap(), os.times()
            res = await task
            return res, cpu0, s0, me0

        (answered, t0, t1), cpu0, s0, me0 = asyncio.run(measured())
        cpu1, me1 = proc.cpu_times(), os.times()
        s1 = snap()
    finally:
        rc = server.stop()
    if rc != 0:
        print(f"  {name}: server exit code {rc}; see {server.log_path}")
    span = t1 - t0
    lags = np.array([lag for t, lag in json.loads(lag_file.read_text()) if t0 <= t < t1]) * 1e3
    cpu = (cpu1.user + cpu1.system - cpu0.user - cpu0.system) / span * 100

    def total(s, key):
        if s is None:
            return 0
        if key == "embedded":
            return s["embedded"]
        if key == "charged":
            return sum(float(s.get("charged", {}).get(k, 0.0)) for k in ("worker_cpu_s", "parse_cpu_s"))
        return int(s["intake"].get(key, 0))

    return {
        "setup": name, "req_s": answered / span,
        "lag_p50": float(np.percentile(lags, 50)), "lag_p99": float(np.percentile(lags, 99)),
        "lag_max": float(lags.max()), "cpu": cpu,
        # The load generator's own CPU (this process), for telling who ran out of it.
        "client_cpu": (me1.user + me1.system - me0.user - me0.system) / span * 100,
        "coll_s": (total(s1, "collected") - total(s0, "collected")) / span,
        "sampled_out_s": (total(s1, "sampled_out") - total(s0, "sampled_out")) / span,
        "emb_s": (total(s1, "embedded") - total(s0, "embedded")) / span,
        "charged": (total(s1, "charged") - total(s0, "charged")) / span * 100,
        "queue_full_s": (total(s1, "queue_full") - total(s0, "queue_full")) / span,
        "probe_samples": int(len(lags)),
    }


def summarise(name: str, rs: list[dict]) -> dict:
    med = {k: float(np.median([r[k] for r in rs])) for k in rs[0] if k != "setup"}
    med.update(setup=name, lag_max=max(r["lag_max"] for r in rs),
               req_s_min=min(r["req_s"] for r in rs), req_s_max=max(r["req_s"] for r in rs))
    return med


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--seconds", type=float, default=20.0)
    ap.add_argument("--warmup", type=float, default=3.0)
    ap.add_argument("--concurrency", type=int, default=16)
    ap.add_argument("--only", default=",".join(SETUPS), help="comma-separated set-ups")
    ap.add_argument("--json", type=Path)
    ap.add_argument("--repeat", type=int, default=3, help="rounds over the set-ups (medians are printed)")
    ap.add_argument("--no-pin", dest="pin", action="store_false")
    ap.add_argument("--text-only", action="store_true", help="no image part in the requests")
    args = ap.parse_args(argv)
    cores = sorted(os.sched_getaffinity(0))
    args.server_cpus = None
    if args.pin and len(cores) >= 2:
        args.server_cpus = {cores[1]}
        os.sched_setaffinity(0, {cores[0]})  # before any thread of ours exists

    work = Path(tempfile.mkdtemp(prefix="olvane-server-load-"))
    data = dh.make_demo_data(dh.find_data_dir(), seed=0, n_images=30)
    dh.build_demo_recipes(work, data, local_models.text_model_dir(), local_models.image_model_dir(),
                          show_progress=False)
    rng = np.random.default_rng(1)
    texts = data.recipe_texts["alpha-chat"] + [t for t, _ in data.traffic["alpha-chat"]]
    pngs = [dh.png_bytes(dh.draw_shapes(rng)) for _ in range(32)]
    messages = [[dh.user_message(t, None if args.text_only else pngs[i % len(pngs)])] for i, t in enumerate(texts)]

    names = args.only.split(",")
    envs = {n: setup_env(n) for n in names}
    runs: dict[str, list[dict]] = {n: [] for n in names}
    load0 = os.getloadavg()
    for k in range(args.repeat):
        # Each round in a rotated order, so that a noisy stretch of the machine
        # does not always hit the same set-up.
        for name in names[k % len(names):] + names[:k % len(names)]:
            print(f"round {k + 1}/{args.repeat}, {name}: {args.concurrency} concurrent requests for "
                  f"{args.seconds:.0f} s ...", flush=True)
            r = run_setup(name, envs[name], work / "recipes", messages, args, work)
            runs[name].append(r)
            print(f"  {r['req_s']:.1f} req/s, lag p99 {r['lag_p99']:.1f} ms, CPU {r['cpu']:.0f} %, client "
                  f"{r['client_cpu']:.0f} %, {r['coll_s']:.1f} collected/s, charged {r['charged']:.1f} %; "
                  f"load average {os.getloadavg()[0]:.1f}", flush=True)
    load1 = os.getloadavg()
    results = [summarise(name, rs) for name, rs in runs.items()]
    base = next((r for r in results if r["setup"] == "none"), None)
    print(f"\nvLLM API server, stand-in engine, {args.concurrency} concurrent openai clients, "
          f"{args.seconds:.0f} s per set-up x {args.repeat}, {os.cpu_count()} cores, "
          + (f"server pinned to core {sorted(args.server_cpus)[0]}, client to core {cores[0]}"
             if args.server_cpus else "not pinned")
          + (", text only" if args.text_only else ", text + 64x64 PNG per request")
          + f"; load average {load0[0]:.1f} -> {load1[0]:.1f}")
    print("medians over the rounds (req/s range in brackets); lag in ms, max over the rounds")
    head = (f"{'set-up':<16}{'req/s':>8}{'[range]':>14}{'lag p50':>9}{'p99':>8}{'max':>8}{'CPU%':>7}"
            f"{'client%':>8}{'coll/s':>8}{'emb/s':>7}{'chg%':>6}{'q-full/s':>9}{'req/s vs none':>15}{'p99 vs none':>13}")
    print(head + "\n" + "-" * len(head))
    for r in results:
        ratio = (f"{r['req_s'] / base['req_s']:>14.1%} {r['lag_p99'] / base['lag_p99']:>11.2f}x"
                 if base and base["req_s"] and base["lag_p99"] else "")
        rng_ = f"[{r['req_s_min']:.0f}-{r['req_s_max']:.0f}]"
        print(f"{r['setup']:<16}{r['req_s']:>8.1f}{rng_:>14}{r['lag_p50']:>9.2f}{r['lag_p99']:>8.2f}"
              f"{r['lag_max']:>8.1f}{r['cpu']:>7.0f}{r['client_cpu']:>8.0f}{r['coll_s']:>8.1f}{r['emb_s']:>7.1f}"
              f"{r['charged']:>6.1f}{r['queue_full_s']:>9.1f}"
              f"{ratio}")
    if base:
        for r in results:
            if r["setup"] == "budget":
                ok_t, ok_l = r["req_s"] >= 0.95 * base["req_s"], r["lag_p99"] <= 1.5 * base["lag_p99"]
                print(f"goal, budget: throughput >= 95% of none: {'met' if ok_t else 'NOT met'}; "
                      f"p99 lag <= 1.5x none: {'met' if ok_l else 'NOT met'}; "
                      f"collected {r['coll_s']:.1f} messages/s (about 10-15 expected)")
    if args.json:
        args.json.write_text(json.dumps({"summary": results, "runs": runs}, indent=2))
    return 0


if __name__ == "__main__":
    sys.exit(main())
