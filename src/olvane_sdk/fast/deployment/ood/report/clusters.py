"""Groups a row's flagged live messages into clusters, so that a ``novel``
verdict reads as a few kinds of traffic rather than a list of scores.

:func:`cluster` runs in the row computation (one label and one distance to
its cluster's centre per flagged message); :func:`describe` summarises the
clusters once the samples' times, ids and excerpts are known (from the
sample store), with the words that set a cluster's excerpts apart from the
recipe's reference texts (the recipe's optional term profile,
:mod:`..recipe_files.terms`).

Average-linkage agglomeration on cosine distance with a distance threshold
(benchmarks/outlier_clusters.py, on benchmarks/detection_data.py's
embeddings, 1000 flagged rows from five domains): adjusted Rand index 0.49
at the threshold below, against 0.27 at best for HDBSCAN (which calls most
rows noise); ~0.07 s of one core. Ward's linkage scores higher there (0.58)
but its merge height grows with the groups' sizes, so no fixed cut keeps a
handful of new messages apart; average linkage needs no minimum size.
"""
from __future__ import annotations

import math
from collections import Counter
from collections.abc import Mapping, Sequence
from typing import Any, NamedTuple

import numpy as np

from ..recipe_files.terms import words
from ..samples.store import CLIENT_ID_KEY, EXCERPT_KEY, REQUEST_ID_KEY
from .detect import DUPLICATE_COSINE, dedup

#: Cosine distance at which two groups are no longer merged (average linkage).
DISTANCE = 0.9
MAX_EXAMPLES = 5
MAX_TERMS = 8
#: How many times more common in a cluster's excerpts than in the reference a term must be.
RATIO = 3.0
#: A word in more than this share of the reference texts is the reference's own ("the", "how").
COMMON = 0.1
#: Above this many distinct flagged messages, the farthest from the reference
#: are clustered and the rest join the nearest cluster (bounds the cost).
MAX_CLUSTERED = 1000
#: What every cluster share is a share of: the window's messages with repeats
#: folded, the same count the out-of-distribution share divides by.
DENOMINATOR = "distinct live messages (repeats folded)"


class Clusters(NamedTuple):
    """Per flagged message: its cluster, its cosine distance to the
    cluster's centre, and whether it repeats an earlier flagged message."""

    labels: np.ndarray
    centre: np.ndarray
    repeat: np.ndarray


def cluster(vectors: np.ndarray, scores: np.ndarray | None = None, *, same: float = DUPLICATE_COSINE,
            positions: np.ndarray | None = None, n_window: int = 0) -> Clusters:
    """The clusters of a row's flagged messages, labelled 0, 1, ... from the
    newest kind of message down.

    Repeats are folded first (:func:`.detect.dedup` at ``same``): a question
    sent eleven times is one message, not a group, and joins the cluster of
    the one it repeats. The rank weighs a cluster's distinct messages (their
    square root), their median distance to the reference (``scores``) and
    its growth: how many more of them arrived in the newer half of the
    window than in the older (``positions`` in arrival order among
    ``n_window``). So a far, growing group ranks above a larger one that
    only just passes the tail."""
    n = len(vectors)
    if n == 0:
        return Clusters(np.zeros(0, dtype=int), np.zeros(0), np.zeros(0, dtype=bool))
    x = np.asarray(vectors, dtype=np.float64)
    x = x / np.maximum(np.linalg.norm(x, axis=1, keepdims=True), 1e-12)
    kept, _ = dedup(x, same)
    repeat = np.ones(n, dtype=bool)
    repeat[kept] = False
    u = x[kept]
    if len(u) == 1:
        raw_u = np.zeros(1, dtype=int)
    else:
        from scipy.cluster.hierarchy import fcluster, linkage

        head = u[:MAX_CLUSTERED]
        raw_u = fcluster(linkage(head, method="average", metric="cosine"), t=DISTANCE, criterion="distance") - 1
        if len(u) > MAX_CLUSTERED:
            centres = np.stack([head[raw_u == c].mean(axis=0) for c in range(raw_u.max() + 1)])
            raw_u = np.concatenate([raw_u, np.argmax(u[MAX_CLUSTERED:] @ centres.T, axis=1)])
    raw = np.empty(n, dtype=int)
    raw[kept] = raw_u
    if repeat.any():  # a repeat belongs where the message it repeats is
        raw[repeat] = raw_u[np.argmax(x[repeat] @ u.T, axis=1)]
    distance = np.ones(n) if scores is None else np.asarray(scores, dtype=np.float64)
    late = None
    if positions is not None and n_window > 1:
        late = np.asarray(positions) >= n_window / 2
    weight = []
    for c in range(raw_u.max() + 1):
        members = kept[raw_u == c]
        w = math.sqrt(len(members)) * float(np.median(distance[members]))
        if late is not None:
            growth = (np.count_nonzero(late[members]) * 2 - len(members)) / len(members)
            w *= 1.0 + max(growth, 0.0)
        weight.append(w)
    order = np.argsort(-np.asarray(weight), kind="stable")
    rank = np.empty_like(order)
    rank[order] = np.arange(len(order))
    labels = rank[raw]
    centre = np.zeros(n)
    for c in range(len(order)):
        members = labels == c
        mean = x[members & ~repeat].mean(axis=0)
        mean /= max(np.linalg.norm(mean), 1e-12)
        centre[members] = 1.0 - x[members] @ mean
    return Clusters(labels, centre, repeat)


def distinctive_terms(excerpts: Sequence[str], profile: Mapping[str, Any] | None) -> list[str]:
    """The words held by many of ``excerpts`` and few reference texts: ranked
    by a cluster's document frequency times the log of its ratio to the
    reference's (smoothed; at least :data:`RATIO`); a word in one excerpt
    only counts in a cluster of one."""
    if not excerpts:
        return []
    docs = [words(e) for e in excerpts]
    df: Counter[str] = Counter(w for d in docs for w in d)
    n = len(docs)
    ref_docs = max(int((profile or {}).get("documents") or 0), 0)
    ref = (profile or {}).get("terms") or {}
    scored = []
    for w, c in df.items():
        if n > 1 and c < 2:
            continue
        share = c / n
        ref_share = (ref.get(w, 0) + 1) / (ref_docs + 2)
        if share >= RATIO * ref_share and ref_share <= COMMON:
            scored.append((share * math.log(share / ref_share), w))
    scored.sort(key=lambda s: (-s[0], s[1]))
    return [w for _, w in scored[:MAX_TERMS]]


def describe(outliers: Sequence[Mapping[str, Any]], n_distinct: int, records: Sequence | None = None,
             profile: Mapping[str, Any] | None = None) -> list[dict[str, Any]]:
    """The clusters of a row's flagged messages (``outliers`` as the row
    holds them, with ``index``, ``cluster``, ``centre`` and ``repeat``), in
    the order :func:`cluster` ranked them. ``size`` counts distinct
    messages, ``requests`` the repeats too; ``share`` is ``size`` over
    ``n_distinct``, the window's :data:`DENOMINATOR`. ``records`` (the live
    samples as read from the store, in the report's order) give times, ids
    and excerpts; without them those are None. ``first_seen`` is the
    earliest of the cluster's core (its members nearer the centre than the
    median), so a message merely grouped in at the edge does not date it."""
    groups: dict[int, list[Mapping[str, Any]]] = {}
    for o in outliers:
        if "cluster" in o:
            groups.setdefault(int(o["cluster"]), []).append(o)
    rec = (lambda o: records[o["index"]] if o["index"] < len(records) else None) if records else (lambda o: None)
    times = [r.time for r in records] if records else []
    mid = (min(times) + max(times)) / 2 if times else None
    newer = sum(t >= mid for t in times) if times else 0
    older = len(times) - newer
    out = []
    for cid in sorted(groups):
        members = sorted(groups[cid], key=lambda o: o.get("centre", 0.0))
        distinct = [o for o in members if not o.get("repeat")] or members
        recs = [rec(o) for o in distinct]
        seen = [r.time for r in recs if r is not None]
        cut = float(np.median([o.get("centre", 0.0) for o in distinct]))
        core = [r.time for o, r in zip(distinct, recs) if r is not None and o.get("centre", 0.0) <= cut]
        excerpts = [r.meta[EXCERPT_KEY] for r in recs if r is not None and r.meta.get(EXCERPT_KEY)]
        item: dict[str, Any] = {"id": cid, "size": len(distinct), "requests": len(members),
                                "share": len(distinct) / n_distinct if n_distinct else None, "of": n_distinct,
                                "distance": float(np.median([o.get("score", 0.0) for o in distinct])),
                                "first_seen": min(core or seen) if seen else None,
                                "last_seen": max(seen) if seen else None,
                                "growing": None, "terms": distinctive_terms(excerpts, profile)}
        if mid is not None and older and newer:
            new_share = sum(t >= mid for t in seen) / newer
            old_share = sum(t < mid for t in seen) / older
            item.update(growing=new_share > old_share, share_newer=new_share, share_older=old_share)
        item["examples"] = _examples(distinct, recs)
        out.append(item)
    return out


def _examples(members: Sequence[Mapping[str, Any]], recs: Sequence) -> list[dict[str, Any]]:
    """Up to :data:`MAX_EXAMPLES` of the cluster's distinct messages, nearest
    its centre first, no two with the same excerpt."""
    examples, shown = [], set()
    for o, r in zip(members, recs):
        ex: dict[str, Any] = {"score": o.get("score")}
        if r is None:
            ex["index"] = o["index"]
        else:
            text = r.meta.get(EXCERPT_KEY)
            key = " ".join(str(text).lower().split()) if text else None
            if key is not None:
                if key in shown:
                    continue
                shown.add(key)
            ex.update(time=r.time, request_id=r.meta.get(REQUEST_ID_KEY), client_request_id=r.meta.get(CLIENT_ID_KEY))
            if text:
                ex["excerpt"] = text
        examples.append(ex)
        if len(examples) == MAX_EXAMPLES:
            break
    return examples
