"""Bytes per stored record with and without the per-sample facts (request
ids; ids and excerpts), for both store layouts, on ordinary messages (the
demo's texts) and the shipped text model's width (384).

    python benchmarks/record_bytes.py
"""
from __future__ import annotations

import json
import tempfile
import time
from pathlib import Path

import numpy as np

from olvane_sdk.fast.deployment.ood.demo.data import find_data_dir, load_texts
from olvane_sdk.fast.deployment.ood.middleware.trace import excerpt_of
from olvane_sdk.fast.deployment.ood.samples import DirectoryStore, Record
from olvane_sdk.fast.deployment.ood.samples.store import CLIENT_ID_KEY, EXCERPT_KEY, REQUEST_ID_KEY

DIM, BATCH, BATCHES = 384, 50, 20


def main() -> None:
    texts = [t for n in ("cooking", "gardening", "travel") for t in load_texts(find_data_dir(), n)]
    rng = np.random.default_rng(0)
    # vLLM's ids as it answers them (chatcmpl- and 16 hex digits), a client's X-Request-Id a UUID.
    ids = {REQUEST_ID_KEY: "chatcmpl-" + "0" * 16, CLIENT_ID_KEY: "0" * 36}
    kinds = {"bare": lambda i: {}, "ids": lambda i: dict(ids),
             "ids+excerpt": lambda i: {**ids, EXCERPT_KEY: excerpt_of(texts[i % len(texts)], 200)}}
    base = {}
    for name, meta in kinds.items():
        with tempfile.TemporaryDirectory() as d:
            store = DirectoryStore(d, "bench")
            now = time.time()
            for b in range(BATCHES):
                store.append([Record("m", "text", rng.standard_normal(DIM).astype(np.float32), now, "host:1",
                                     meta(b * BATCH + i)) for i in range(BATCH)])
            disk = sum(p.stat().st_size for p in Path(d).rglob("*") if p.is_file() and p.name != "layout.json")
        n = BATCH * BATCHES
        # The Redis layout: one stream entry per record, fields e, t, o and m (the meta as JSON).
        redis = DIM * 4 + 18 + 6 + (len(json.dumps(meta(0))) if meta(0) else 0)
        base.setdefault("disk", disk / n)
        base.setdefault("redis", redis)
        print(f"{name:12s} directory {disk / n:7.1f} B/record ({disk / n / base['disk'] - 1:+.1%}), "
              f"redis entry ~{redis} B ({redis / base['redis'] - 1:+.1%})")
    print(f"mean excerpt {np.mean([len(excerpt_of(t, 200)) for t in texts]):.0f} characters")


if __name__ == "__main__":
    main()
