"""The sample store against damage and distrust: one bit flipped inside a
stored vector (a batch that still parses), passwords in store URLs, store
directories another user prepared, non-finite and future records, stored
results this version does not read, and a lease holder that hangs."""
from __future__ import annotations

import os
import shutil
import stat
import struct
import subprocess
import sys
import tempfile
import textwrap
import time
from pathlib import Path

import numpy as np
import pytest

from olvane_sdk.fast.deployment.ood.samples import DirectoryStore, Record, StoreError, mask_url, open_store
from olvane_sdk.fast.deployment.ood.samples.batches import MAGIC, encode_batch
from support import wait_until, write_recipe


def test_flipped_bit_inside_a_vector_skips_the_batch(tmp_path):
    store = DirectoryStore(tmp_path, "d")
    for b in range(2):
        store.append([Record("m", "text", np.full(8, b * 4 + i, np.float32), b + i / 10, "host") for i in range(4)])
    victim = sorted(store.root.rglob("*.osb"))[0]
    data = bytearray(victim.read_bytes())
    (hlen,) = struct.unpack_from("<I", data, len(MAGIC))
    vectors_at = len(MAGIC) + 4 + hlen
    # The third record's fifth float, low mantissa bit: a value off by one ulp.
    data[vectors_at + 4 * (2 * 8 + 4)] ^= 0x01
    victim.write_bytes(bytes(data))

    win = store.window()
    assert len(win.problems) == 1 and "checksum" in win.problems[0]
    kept = sorted(int(r.embedding[0]) for r in win.records[("m", "text")])
    assert kept in ([0, 1, 2, 3], [4, 5, 6, 7])  # the other batch, whole


# --------------------------------------------------------------------------
# Secrets, trust, non-finite and future records, stored results, leases.

@pytest.mark.parametrize("text, shown", [
    ("redis://:pw@h:6379/0", "redis://:***@h:6379/0"),
    ("redis://user:pw@h/0", "redis://user:***@h/0"),
    ("rediss://user:p%40w@h:6380", "rediss://user:***@h:6380"),
    ("redis://:p@ss@h/0", "redis://:***@h/0"),  # an unquoted @ in the password: the client splits at the last
    ("redis://u:pa/ss@h/0", "redis://u:***@h/0"),
    ("redis://h:6379/0?password=pw", "redis://h:6379/0?password=***"),
    ("redis://h/0?username=u&password=pw&db=1", "redis://h/0?username=u&password=***&db=1"),
    ("redis://h/0?PassWord=pw#f", "redis://h/0?PassWord=***#f"),
    ("unix://u:pw@/run/redis.sock?db=0", "unix://u:***@/run/redis.sock?db=0"),
    ("unix:///run/redis.sock?password=pw", "unix:///run/redis.sock?password=***"),
    ("Error connecting to 'redis://:pw@10.0.0.1:1/0': refused (redis://u:pw@b/1)",
     "Error connecting to 'redis://:***@10.0.0.1:1/0': refused (redis://u:***@b/1)"),
    ("redis://h:6379/0", "redis://h:6379/0"),
    ("/var/lib/olvane", "/var/lib/olvane"),
])
def test_mask_url(text, shown):
    assert mask_url(text) == shown


NOBODY = 65534


@pytest.fixture
def shared_tmp(monkeypatch):
    """A sticky, world-writable temporary directory (as /tmp) that the
    default store falls back to: this process has no usable home."""
    if os.geteuid() != 0:
        pytest.skip("needs root to act as a second user")
    d = Path(tempfile.mkdtemp(dir="/tmp", prefix="olvane-shared-"))
    os.chmod(d, 0o1777)
    monkeypatch.setattr(tempfile, "tempdir", str(d))
    yield d
    shutil.rmtree(d)


@pytest.mark.parametrize("plant, refused", [
    # Another user's tree, with the lease file a link to a file of this user's.
    ([(NOBODY, "mkdir -p {own}/samples/d/leases {own}/samples/d/batches {own}/samples/d/results"),
      (NOBODY, "ln -s {victim} {own}/samples/d/leases/report.lock")], "owned by uid 65534"),
    ([(NOBODY, "mkdir -m 0777 {own} && chmod 0777 {own}")], "owned by uid 65534"),
    # This user's own directory, but others may write it, or holding a link to another's.
    ([(0, "mkdir {own} && chmod 0777 {own}")], "writable by group or others"),
    ([(NOBODY, "mkdir {shared}/elsewhere"), (0, "mkdir -m 0700 {own} && ln -s {shared}/elsewhere {own}/samples")],
     "symbolic link"),
    ([], None),
])
def test_default_store_refuses_a_directory_another_user_prepared(shared_tmp, tmp_path, plant, refused):
    victim = tmp_path / "own-file"
    victim.write_text("mine")
    own = shared_tmp / f"olvane-shift-{os.getuid()}"
    for uid, cmd in plant:
        subprocess.run(["sh", "-ec", cmd.format(own=own, victim=victim, shared=shared_tmp)], user=uid, group=uid,
                       timeout=60, check=True)
    store = open_store("", "d", environ={"HOME": "/"})
    rec = [Record("m", "text", np.ones(4, np.float32), time.time(), "me")]
    if refused is None:
        store.append(rec)
        assert store.try_lease("report", "me", 30) and len(store.window().records[("m", "text")]) == 1
        assert stat.S_IMODE(os.lstat(own).st_mode) == 0o700
        return
    for op in (lambda: store.append(rec), lambda: store.try_lease("report", "me", 30), store.window):
        with pytest.raises(StoreError, match=refused):
            op()
    assert victim.read_text() == "mine"
    assert not [p for p in shared_tmp.rglob("*") if p.name.endswith(".osb")]


def test_non_finite_and_future_records_are_dropped_at_read(tmp_path):
    store = DirectoryStore(tmp_path, "d")
    now = time.time()
    good = [Record("m", "text", np.full(4, i, np.float32), now - 10 + i, "host") for i in range(3)]
    bad = [Record("m", "text", np.ones(4, np.float32), float("nan"), "host"),
           Record("m", "text", np.array([1, np.inf, 0, 0], np.float32), now, "host")]
    store.append(good + bad)  # one batch, checksum and all: the damage is in the values
    forged = Record("m", "text", np.zeros(4, np.float32), now + 3600, "forger")
    d = store._key_dir("m", "text")
    (d / f"{int(forged.time * 1e9):020d}-1-1.1-forger.osb").write_bytes(encode_batch([forged]))

    win = store.window(latest=10)
    assert [int(r.embedding[0]) for r in win.records[("m", "text")]] == [0, 1, 2]
    assert win.dropped == 2 and len(win.problems) == 2
    assert any("s ahead" in p for p in win.problems) and any("non-finite" in p for p in win.problems)


def test_a_nan_record_in_the_store_leaves_the_route_valid(mod, fake_models, recipe_root, tmp_path):
    from starlette.applications import Starlette
    from starlette.testclient import TestClient

    from olvane_sdk.fast.deployment.ood.middleware import ShiftCollector, ShiftConfig, ShiftDetectionMiddleware

    from olvane_sdk.fast.deployment.ood.report.window import recipe_fingerprint

    recipe = str(write_recipe(recipe_root, "alpha"))
    store = DirectoryStore(tmp_path / "pool", "d")
    meta = {"fingerprint": recipe_fingerprint(recipe)}  # collected against this recipe
    store.append([Record("alpha", "text", np.full(4, i, np.float32), float("nan") if i == 3 else time.time(), "o:1",
                         meta) for i in range(6)])
    cfg = ShiftConfig(recipes={"alpha": recipe}, max_rate=0.0,
                      report_interval=600, store=str(tmp_path / "pool"), deployment="d")
    c = ShiftCollector(cfg, handler=mod.ShiftDetectionRequestHandler(), metrics=False)
    try:
        assert c.ready.wait(60) and c.reports.pool is not None
        assert c.reports.refresh(True)
        app = Starlette()
        app.add_middleware(ShiftDetectionMiddleware, collector=c)
        with TestClient(app) as client:
            r = client.get("/v1/shift")
    finally:
        c.close()
    assert r.status_code == 200
    body = r.json()
    assert body["scope"] == "deployment" and body["window"]["alpha"]["text"]["count"] == 5


@pytest.mark.parametrize("stored, understood, bad_items", [
    (b"not json", False, 0),
    (b'{"report": [], "time": 1}', False, 0),
    (b'{"report": {"rows": []}, "time": NaN}', False, 0),
    (b'{"report": {"rows": [1]}, "time": 1}', True, 1),  # a bad part is left out, the rest served
    (b'{"report": {"rows": []}, "time": 1, "window": []}', True, 1),
    (b'{"report": {"rows": []}, "time": 1}', True, 0),
])
def test_a_stored_result_not_understood_is_ignored_with_a_count(handler, tmp_path, stored, understood, bad_items):
    from olvane_sdk.fast.deployment.ood.middleware.shared_report import RESULT, SharedReport

    store = DirectoryStore(tmp_path, "d")
    assert store.try_lease(RESULT, "another:1", 600)
    store.put_result(RESULT, stored)
    pool = SharedReport(store, handler, 60)
    got = pool.report()
    assert (got is not None) == understood
    assert pool.bad_results == (0 if understood else 1)
    status = pool.status(None)["store"]
    assert status["state"] == "ok" and status["bad_items"] == bad_items  # the store works; the result was bad


HOLDER = textwrap.dedent("""
    import fcntl, os, sys, time
    from olvane_sdk.fast.deployment.ood.samples import DirectoryStore
    store = DirectoryStore(sys.argv[1], "d")
    assert store.try_lease("report", "hung:1", 3)
    fd = os.open(store.root / "leases" / "report.lock", os.O_RDONLY)
    fcntl.flock(fd, fcntl.LOCK_EX)  # hung while holding the lease file's lock, as a holder may
    print("taken", flush=True)
    time.sleep(600)
""")


def test_directory_lease_of_a_hung_holder_lapses(tmp_path):
    later = [0.0]  # this process's clock runs this far ahead of the holder's
    store = DirectoryStore(tmp_path, "d", clock=lambda: time.time() + later[0])
    proc = subprocess.Popen([sys.executable, "-c", HOLDER, str(tmp_path)], stdout=subprocess.PIPE, text=True)
    try:
        assert proc.stdout.readline().strip() == "taken"
        assert not store.try_lease("report", "me:2", 3)
        later[0] = 2.0
        assert not store.try_lease("report", "me:2", 3)  # 2 s into the holder's 3 s lease
        later[0] = 3.5
        assert store.try_lease("report", "me:2", 3)  # lapsed: the hung holder's lock stops nobody
        assert store.try_lease("report", "me:2", 3)  # renewed by its holder
        assert not DirectoryStore(tmp_path, "d", clock=store.clock).try_lease("report", "hung:1", 3)
    finally:
        proc.kill()
        proc.wait(20)
