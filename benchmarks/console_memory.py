"""What a client can leave resident in the logging console: each request names
its own 1 MB model, the handler's worker writes one line naming it, and the
process's resident set is read before and after.

    PYTHONPATH=src python benchmarks/console_memory.py [--names 300] [--mib 1]
"""
from __future__ import annotations

import argparse
import gc
import importlib
import logging
import sys
import tempfile
import types
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests"))


def rss() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--names", type=int, default=300)
    ap.add_argument("--mib", type=float, default=1.0)
    a = ap.parse_args()
    from support import FakeFactory, write_recipe

    from olvane_sdk.fast.deployment.ood import host

    logging.getLogger(host.LOGGER_NAME).setLevel(logging.ERROR)  # the figures, not the records
    mod = importlib.import_module("olvane_sdk.fast.deployment.ood.interceptor")
    mod.SentenceTransformer = FakeFactory()
    handler = mod.ShiftDetectionRequestHandler()
    console = host.install_logging_console(mod)
    root = Path(tempfile.mkdtemp())
    handler.init_models({"alpha": str(write_recipe(root, "alpha"))})
    message = [{"role": "user", "content": "hello"}]
    size = int(a.mib * (1 << 20))
    before = rss()
    for i in range(a.names):
        handler.handle_chat_completion_request(types.SimpleNamespace(model=f"{i:06d}" + "m" * size, messages=message))
        host.wait_drained(handler, 30)
    gc.collect()
    print(f"{a.names} distinct model names of {a.mib:g} MiB: resident set +{(rss() - before) / 2**20:.1f} MiB, "
          f"console caches {console.cache_bytes / 1024:.0f} KiB, lines {console.counts}")


if __name__ == "__main__":
    main()
