"""Which request each stored sample came from and, when the operator turns
it on, a masked excerpt of what it embeds.

The ids travel with the message, never by time or order:

1. On the event loop, the ASGI middleware reads the client's ``X-Request-Id``
   and the ``id`` vLLM answers with (:func:`response_id`, from the first bytes
   of the response) and hands both over with the body.
2. The hand-over thread puts them on each message dict it passes to the
   handler, under :data:`TRACE_KEY` (the module reads only a message's
   ``role``, ``content`` and ``model``).
3. The worker takes one message at a time off ``live_messages_queue`` and
   embeds its parts before it takes the next, all on its own thread:
   ``get`` -> (``model.encode(input)`` -> ``add_embedding``) per part ->
   ``task_done``. :class:`Tracer` wraps the queue's ``get`` and the models'
   ``encode`` to remember, per thread, the message and the input in hand, so
   the wrapped ``add_embedding`` sees the facts of exactly the message and
   part it stores.
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

import logging
import re
import threading
from typing import Any

from ..recipes.layout import DEFAULT_TEXT_PREFIX
from ..samples.store import CLIENT_ID_KEY, EXCERPT_KEY, REQUEST_ID_KEY

log = logging.getLogger(__name__)

#: The message key that carries (response id, client request id) to the worker.
TRACE_KEY = "olvane_trace"

#: How much of the response's first body chunk is scanned for its ``id``.
SCAN_BYTES = 512
_RESPONSE_ID = re.compile(rb'"id"\s*:\s*"([!#-\[\]-~]{1,200})"')
_MAX_CLIENT_ID = 200


def response_id(chunk: bytes) -> str | None:
    """The ``id`` of a chat completion from the first bytes of its body: the
    JSON object, or a stream's first ``data:`` event (vLLM writes ``id``
    first in both). Only :data:`SCAN_BYTES` bytes are read: no parse."""
    m = _RESPONSE_ID.search(chunk, 0, SCAN_BYTES)
    return m.group(1).decode("ascii") if m else None


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

def _digits_at_least(n: int, label: str):
    def sub(m: re.Match) -> str:
        return label if sum(c.isdigit() for c in m.group(0)) >= n else m.group(0)
    return sub


# Applied in order: e-mail addresses, key-like tokens (sk-..., long hex, long
# base64 runs holding both letters and digits), phone- or card-like numbers
# (7 or more digits with separators) and any run of 8 or more digits.
_MASKS: tuple[tuple[re.Pattern, Any], ...] = (
    (re.compile(r"[\w.+-]+@[\w-]+(?:\.[\w-]+)+"), "[email]"),
    (re.compile(r"\b(?:sk|pk|rk|ak)[-_][A-Za-z0-9_-]{8,}"), "[key]"),
    (re.compile(r"\b[0-9a-fA-F]{24,}\b"), "[key]"),
    (re.compile(r"(?=[A-Za-z0-9+/_-]{24,})(?=[A-Za-z0-9+/_-]*\d)(?=[A-Za-z0-9+/_-]*[A-Za-z])"
                r"[A-Za-z0-9+/_-]{24,}={0,2}"), "[key]"),
    (re.compile(r"\+?\(?\d[\d ().-]{5,}\d"), _digits_at_least(7, "[number]")),
    (re.compile(r"\d{8,}"), "[number]"),
)


def mask(text: str) -> str:
    """``text`` with e-mail addresses, phone-like numbers, digit runs of 8 or
    more and key-like tokens replaced by ``[email]``, ``[number]``, ``[key]``."""
    for pattern, repl in _MASKS:
        text = pattern.sub(repl, text)
    return text


def excerpt_of(value: Any, chars: int, prefix: str = "") -> str | None:
    """What to keep of an embedding model's input: a text's first ``chars``
    characters after masking (without the recipe's prefix), or an image's
    type and size."""
    if isinstance(value, str):
        if prefix and value.startswith(prefix):
            value = value[len(prefix):]
        # The module caps the text it embeds (8 KiB at most), so masking all of it is bounded.
        return " ".join(mask(value).split())[:chars]
    size = getattr(value, "size", None)
    if isinstance(size, tuple) and len(size) == 2:
        return f"image {getattr(value, 'format', None) or '?'} {size[0]}x{size[1]}"
    return None


class Tracer:
    """The per-sample facts (ids, excerpt) between the worker and the store
    feeder; see the module's docstring for why the association is exact.
    Installed only when samples are stored: the table holds facts until the
    feeder takes them, at most :attr:`MAX_ENTRIES` (the oldest go first)."""

    MAX_ENTRIES = 20_000

    def __init__(self, handler, *, excerpts: bool = False, excerpt_chars: int = 200):
        self.handler = handler
        self.excerpts = excerpts
        self.excerpt_chars = excerpt_chars
        self._local = threading.local()
        self._table: dict[int, tuple[Any, dict[str, str]]] = {}
        self._lock = threading.Lock()

    def install(self) -> None:
        h, local = self.handler, self._local
        q = h.live_messages_queue
        inner_get = q.get

        def get(*args, **kwargs):
            local.message = None
            local.input = None
            message = inner_get(*args, **kwargs)
            local.message = message
            return message

        inner_add = h.add_embedding

        def add_embedding(vllm_model_name, modal_type, embedding):
            value, local.input = getattr(local, "input", None), None
            meta = self._facts(getattr(local, "message", None), vllm_model_name, value)
            if not meta:
                return inner_add(vllm_model_name, modal_type, embedding)
            # The entry the ring will hold, made here so the table can name it.
            entry = embedding.tolist() if hasattr(embedding, "tolist") else embedding
            key = id(entry)
            with self._lock:
                self._table[key] = (entry, meta)
                while len(self._table) > self.MAX_ENTRIES:
                    del self._table[next(iter(self._table))]
            try:
                return inner_add(vllm_model_name, modal_type, entry)
            except BaseException:
                with self._lock:
                    self._table.pop(key, None)
                raise

        try:
            q.get = get
            h.add_embedding = add_embedding
        except (AttributeError, TypeError):
            log.warning("olvane shift: cannot trace samples to their requests on this handler")
            return
        if self.excerpts:
            self.wrap_models()

    def wrap_models(self) -> None:
        """Wraps each loaded embedding model's ``encode`` to remember its input."""
        local = self._local
        for name, model in list((getattr(self.handler, "embedding_models", None) or {}).items()):
            inner = getattr(model, "encode", None)
            if inner is None or getattr(inner, "_olvane_tracer", False):
                continue

            def encode(value, *args, _inner=inner, **kwargs):
                local.input = value
                return _inner(value, *args, **kwargs)

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
            text = excerpt_of(value, self.excerpt_chars, prefix if isinstance(prefix, str) else "")
            if text:
                meta[EXCERPT_KEY] = text
        return meta

    def meta_of(self, entry) -> dict[str, str] | None:
        """The facts kept for a ring entry (taken: asked once per entry)."""
        with self._lock:
            got = self._table.pop(id(entry), None)
        return got[1] if got is not None and got[0] is entry else None
