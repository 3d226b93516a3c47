"""The sample store's exact bounds: how many batches the directory keeps by
count and by age, and how many records a window of the latest N holds, on
both backends (a real redis-server)."""
from __future__ import annotations

import numpy as np
import pytest

from olvane_sdk.fast.deployment.ood.samples import DirectoryStore, Record, Retention, open_store
from test_sample_store import redis_server  # noqa: F401 - a fixture


def _batch(b: int, size: int, modality: str = "text") -> list[Record]:
    # Record i of batch b at time 1000 + b + i/128 (exact in binary, so the age limit can be met to the
    # nanosecond), its value b * 100 + i.
    return [Record("m", modality, np.full(4, b * 100 + i, np.float32), 1000 + b + i / 128, "host")
            for i in range(size)]


def _values(store, key=("m", "text"), **window) -> list[int]:
    return [int(r.embedding[0]) for r in store.window(**window).records.get(key, [])]


@pytest.mark.parametrize("max_count, batches", [(20, 2), (21, 3), (30, 3), (31, 4)])
def test_directory_keeps_the_newest_batches_up_to_the_count(tmp_path, max_count, batches):
    """Five batches of ten: newest first, a batch is kept while fewer than
    ``max_count`` records are kept before it (a batch is kept or removed
    whole), so 20 keeps two, 21 and 30 three, 31 four."""
    store = DirectoryStore(tmp_path, "d", Retention(max_count=max_count, max_age=3600))
    for b in range(5):
        store.append(_batch(b, 10))
    assert store.enforce_retention(now=1010) == 5 - batches
    kept = list(range(5 - batches, 5))
    assert _values(store) == [b * 100 + i for b in kept for i in range(10)]
    assert len(list(store.root.rglob("*.osb"))) == batches


def test_directory_keeps_a_batch_exactly_at_the_age_limit(tmp_path):
    """A batch whose newest record is exactly ``max_age`` old stays; one a
    second older goes."""
    store = DirectoryStore(tmp_path, "d", Retention(max_count=1000, max_age=3600))
    for b in range(5):
        store.append(_batch(b, 2))
    assert store.enforce_retention(now=1003 + 1 / 128 + 3600) == 3  # batch 3's newest, 3600 s before
    assert _values(store) == [300, 301, 400, 401]


@pytest.mark.parametrize("backend", ["directory", "redis"])
def test_window_holds_exactly_the_latest(backend, request, tmp_path):
    """window(latest=N) holds the N newest records of each stream when it
    has more, and all of them when it has fewer or exactly N."""
    url = request.getfixturevalue("redis_server").url if backend == "redis" else str(tmp_path / "store")
    store = open_store(url, "d", Retention(max_count=1000, max_age=10 ** 9))
    try:
        for b in range(4):  # twelve text records in batches of three, two images
            store.append(_batch(b, 3))
        store.append(_batch(9, 2, "image"))
        text = [b * 100 + i for b in range(4) for i in range(3)]
        for latest in (13, 12, 11, 5, 4, 2, 1):
            assert _values(store, latest=latest) == text[-latest:], f"window(latest={latest})"
            assert _values(store, ("m", "image"), latest=latest) == [900, 901][-latest:], f"window(latest={latest})"
    finally:
        store.close()
