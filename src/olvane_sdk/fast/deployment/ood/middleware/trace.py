"""Which request each stored sample came from and, when the operator turns
it on, a masked excerpt of what it embeds.

The ids travel with the message, never by time or order:

1. On the event loop, the ASGI middleware reads the client's ``X-Request-Id``
   and the ``id`` vLLM answers with (:func:`response_id`, from the first chunk
   of the response) and hands both over with the body.
2. The hand-over thread puts them on each message dict it passes to the
   handler, under :data:`TRACE_KEY` (the module reads only a message's
   ``role``, ``content`` and ``model``).
3. The worker, on its own thread, takes messages off ``live_messages_queue``
   in order and stores each one's embeddings before it marks it done:
   ``get`` -> (``model.encode(input)`` -> ``add_embedding``) per part ->
   ``task_done``, or, batching, ``get`` for several messages, ``encode`` of
   a list per model, then per message its ``add_embedding`` calls and its
   ``task_done``. :class:`Tracer` wraps the queue's ``get`` and ``task_done``
   (the message in hand is the oldest taken and not yet done) and the models'
   ``encode`` (the input in hand; a batch's rows are handed on as objects of
   their own, each remembered with its input), so the wrapped
   ``add_embedding`` sees the facts of exactly the message and part it
   stores.
4. The wrapper makes the ring entry itself (the module stores a list as it
   is, and anything else with ``tolist()`` as its ``tolist()``) and keeps the
   facts in a side table keyed by that object, holding it so its id cannot be
   reused. The store feeder finds entries by identity and takes their facts
   from the table (:meth:`Tracer.meta_of`) into the record's ``meta``.

A sample stored by any other path (another thread, a model loaded after
start-up) finds nothing in hand and gets no facts: its ids are its own or
none.
"""
from __future__ import annotations

import collections
import logging
import re
import sys
import threading
import time
from typing import Any

from ..recipe_files.layout import DEFAULT_TEXT_PREFIX
from ..samples.store import CLIENT_ID_KEY, EXCERPT_KEY, REQUEST_ID_KEY
from .masking import excerpt

log = logging.getLogger(__name__)

#: The message key that carries (response id, client request id) to the worker.
TRACE_KEY = "olvane_trace"
_MAX_CLIENT_ID = 200

# The response's first JSON object (a body or a stream's first event): strings
# are skipped whole (escapes included), brackets counted, and only a key of the
# outermost object is read, so a nested tool call's "id" is never taken.
_TOKEN = re.compile(rb'["{}\[\]]')
_STRING_REST = re.compile(rb'[^"\\]*(?:\\.[^"\\]*)*"', re.DOTALL)
_ID_VALUE = re.compile(rb'\s*:\s*"([!#-\[\]-~]+)"')


def response_id(chunk: bytes) -> str | None:
    """The top-level ``id`` of a chat completion, from the first chunk of its
    body: the JSON object, or a stream's first ``data:`` event, however long
    the id and wherever it stands in that object (vLLM writes it first). No
    parse: a scan that counts brackets and skips strings, in C-speed steps."""
    depth, pos = 0, chunk.find(b"{")
    if pos < 0:
        return None
    while (m := _TOKEN.search(chunk, pos)) is not None:
        c, pos = chunk[m.start()], m.end()
        if c == 0x22:  # '"'
            end = _STRING_REST.match(chunk, pos)
            if end is None:
                return None  # cut inside a string
            if depth == 1 and end.end() - pos == 3 and chunk[pos:pos + 2] == b"id":
                value = _ID_VALUE.match(chunk, end.end())
                if value is not None:
                    return value.group(1).decode("ascii")
            pos = end.end()
        elif c in b"{[":
            depth += 1
        else:
            depth -= 1
            if depth <= 0:
                return None
    return None


def client_request_id(scope) -> str | None:
    """The request's ``X-Request-Id`` header, when sent and printable."""
    for k, v in scope.get("headers", ()):
        if k == b"x-request-id":
            if 0 < len(v) <= _MAX_CLIENT_ID and v.isascii():
                text = v.decode("ascii")
                return text if text.isprintable() else None
            return None
    return None


# -- excerpts -----------------------------------------------------------------

def excerpt_of(value: Any, chars: int, prefix: str = "") -> str | None:
    """What to keep of an embedding model's input: a text's first ``chars``
    characters, normalised and masked (without the recipe's prefix; see
    :mod:`.masking`), or an image's type and size."""
    if isinstance(value, str):
        if prefix and value.startswith(prefix):
            value = value[len(prefix):]
        return excerpt(value, chars)
    size = getattr(value, "size", None)
    if isinstance(size, tuple) and len(size) == 2:
        return f"image {getattr(value, 'format', None) or '?'} {size[0]}x{size[1]}"
    return None


def _entry_bytes(entry: Any, meta: dict[str, str]) -> int:
    """What a table entry keeps alive: the embedding list (its floats are
    objects of their own) and the facts' strings."""
    n = sys.getsizeof(entry) + sum(sys.getsizeof(v) for v in meta.values())
    if isinstance(entry, (list, tuple)):
        n += len(entry) * _FLOAT_BYTES
    return n


_FLOAT_BYTES = sys.getsizeof(0.0)


class Tracer:
    """The per-sample facts (ids, excerpt) between the worker and the store
    feeder; see the module's docstring for why the association is exact.
    Installed only when samples are stored: the table holds facts until the
    feeder takes them, at most :attr:`MAX_ENTRIES` entries and
    :attr:`MAX_BYTES` of embeddings and strings kept alive (the oldest go
    first). ``mask_cpu_s`` is the worker thread's CPU spent making excerpts,
    for the budget to charge."""

    MAX_ENTRIES = 20_000
    # ~2,600 entries of a 384-dimension text embedding (12 KB each as a list
    # of floats): minutes of collection at the default budget, where the
    # feeder takes them every second.
    MAX_BYTES = 32 << 20

    def __init__(self, handler, *, excerpts: bool = False, excerpt_chars: int = 200):
        self.handler = handler
        self.excerpts = excerpts
        self.excerpt_chars = excerpt_chars
        self._local = threading.local()
        self._table: dict[int, tuple[Any, dict[str, str], int]] = {}
        self._bytes = 0
        self._lock = threading.Lock()
        self.mask_cpu_s = 0.0

    def install(self) -> None:
        h, local = self.handler, self._local
        q = h.live_messages_queue
        inner_get, inner_done = q.get, q.task_done

        def get(*args, **kwargs):
            local.input = None
            taken = getattr(local, "taken", None)
            if not taken:
                local.taken = taken = collections.deque()
                local.rows = {}  # a batch's rows not stored (a failed store)
            message = inner_get(*args, **kwargs)
            taken.append(message)
            return message

        def task_done(*args, **kwargs):
            taken = getattr(local, "taken", None)
            if taken:
                taken.popleft()
            return inner_done(*args, **kwargs)

        inner_add = h.add_embedding

        def add_embedding(vllm_model_name, modal_type, embedding):
            row = getattr(local, "rows", {}).pop(id(embedding), None)
            value = row[1] if row is not None and row[0] is embedding else getattr(local, "input", None)
            local.input = None
            taken = getattr(local, "taken", None)
            meta = self._facts(taken[0] if taken else None, vllm_model_name, value)
            if not meta:
                return inner_add(vllm_model_name, modal_type, embedding)
            # The entry the ring will hold, made here so the table can name it.
            entry = embedding.tolist() if hasattr(embedding, "tolist") else embedding
            key = id(entry)
            self._keep(key, entry, meta)
            try:
                return inner_add(vllm_model_name, modal_type, entry)
            except BaseException:
                self._take(key)
                raise

        try:
            q.get, q.task_done = get, task_done
            h.add_embedding = add_embedding
        except (AttributeError, TypeError):
            log.warning("olvane shift: cannot trace samples to their requests on this handler")
            return
        if self.excerpts:
            self.wrap_models()

    def _keep(self, key: int, entry: Any, meta: dict[str, str]) -> None:
        size = _entry_bytes(entry, meta)
        with self._lock:
            self._table[key] = (entry, meta, size)
            self._bytes += size
            while len(self._table) > self.MAX_ENTRIES or self._bytes > self.MAX_BYTES:
                self._bytes -= self._table.pop(next(iter(self._table)))[2]

    def _take(self, key: int) -> tuple[Any, dict[str, str], int] | None:
        with self._lock:
            got = self._table.pop(key, None)
            if got is not None:
                self._bytes -= got[2]
        return got

    @property
    def table_bytes(self) -> int:
        """What the side table keeps alive now, as counted for its cap."""
        return self._bytes

    def wrap_models(self) -> None:
        """Wraps each loaded embedding model's ``encode`` to remember its input."""
        local = self._local
        for name, model in list((getattr(self.handler, "embedding_models", None) or {}).items()):
            inner = getattr(model, "encode", None)
            if inner is None or getattr(inner, "_olvane_tracer", False):
                continue

            def encode(value, *args, _inner=inner, **kwargs):
                if not isinstance(value, list):
                    local.input = value
                    return _inner(value, *args, **kwargs)
                rows = list(_inner(value, *args, **kwargs))
                kept = getattr(local, "rows", None)
                if kept is None:
                    local.rows = kept = {}
                for row, one in zip(rows, value):
                    kept[id(row)] = (row, one)
                return rows

            encode._olvane_tracer = True  # type: ignore[attr-defined]
            try:
                model.encode = encode
            except (AttributeError, TypeError):
                log.warning("olvane shift: no excerpts for embedding model %s (cannot wrap its encode)", name)

    def _facts(self, message, vllm_model_name, value) -> dict[str, str]:
        meta: dict[str, str] = {}
        trace = message.get(TRACE_KEY) if isinstance(message, dict) else None
        if isinstance(trace, tuple) and len(trace) == 2:
            if trace[0]:
                meta[REQUEST_ID_KEY] = trace[0]
            if trace[1]:
                meta[CLIENT_ID_KEY] = trace[1]
        if self.excerpts and value is not None and message is not None:
            prefixes = getattr(self.handler, "text_prefixes", None) or {}
            prefix = prefixes.get(vllm_model_name, DEFAULT_TEXT_PREFIX) if isinstance(prefixes, dict) else ""
            t0 = time.thread_time()
            text = excerpt_of(value, self.excerpt_chars, prefix if isinstance(prefix, str) else "")
            self.mask_cpu_s += time.thread_time() - t0
            if text:
                meta[EXCERPT_KEY] = text
        return meta

    def meta_of(self, entry) -> dict[str, str] | None:
        """The facts kept for a ring entry (taken: asked once per entry)."""
        got = self._take(id(entry))
        return got[1] if got is not None and got[0] is entry else None
