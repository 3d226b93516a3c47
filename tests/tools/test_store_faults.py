"""The directory store against damage a length check cannot see: one bit
flipped inside a stored vector leaves a batch file that still parses."""
from __future__ import annotations

import struct

import numpy as np

from olvane_sdk.fast.deployment.ood.samples import DirectoryStore, Record
from olvane_sdk.fast.deployment.ood.samples.directory import MAGIC


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
