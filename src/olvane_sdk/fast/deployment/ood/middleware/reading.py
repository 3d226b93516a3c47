"""Reading a chat-completion body off the event loop: the strict raw reading
(only ``model`` and ``messages``, everything else skipped by msgspec without
being built) and vLLM's own route's parse as the fallback, as
:class:`Handover` uses them."""
from __future__ import annotations

import json
from typing import Any, Optional

import msgspec

from ._bodyscan import scan  # noqa: F401  (the hand-over thread calls it)


def new_messages(messages: list) -> list:
    """The messages after the last assistant message: what the client added
    this turn (the whole list when there is no assistant message)."""
    for i in range(len(messages) - 1, -1, -1):
        m = messages[i]
        if isinstance(m, dict) and m.get("role") == "assistant":
            return messages[i + 1:]
    return messages


def _scrubbed(text):
    # A lone surrogate (a "\\ud800" escape) cannot be encoded, so the model's
    # tokenizer would refuse the whole text: it reads U+FFFD in its place.
    if isinstance(text, str) and not text.isascii():
        try:
            text.encode("utf-8")
        except UnicodeEncodeError:
            return text.encode("utf-16", "surrogatepass").decode("utf-16", "replace")
    return text


def _scrub_messages(request) -> None:
    for m in request.messages:
        content = m.get("content") if isinstance(m, dict) else None
        if isinstance(content, str):
            m["content"] = _scrubbed(content)
        elif isinstance(content, list):
            for part in content:
                if isinstance(part, dict) and isinstance(part.get("text"), str):
                    part["text"] = _scrubbed(part["text"])


def parse_chat_request(body: bytes):
    """The request as vLLM's chat route reads it.

    FastAPI reads the route's body with the standard library's ``json.loads``
    (which takes a UTF-8 BOM, lone surrogate escapes and nesting up to the
    interpreter's recursion limit) and then validates the object. The strict
    ``model_validate_json`` is faster and reads the bodies it accepts the same
    way, so it goes first; a body it refuses takes vLLM's path."""
    from vllm.entrypoints.openai.protocol import ChatCompletionRequest

    try:
        return ChatCompletionRequest.model_validate_json(body)
    except ValueError:
        pass
    request = ChatCompletionRequest.model_validate(json.loads(body), from_attributes=True)
    _scrub_messages(request)
    return request


class _Head(msgspec.Struct):
    """What collection reads of a chat request: the strict reading's shape,
    which :func:`._bodyscan.scan` follows without building anything."""

    messages: list[msgspec.Raw]
    model: Optional[str] = None


read_head = msgspec.json.Decoder(_Head).decode
_read_model = msgspec.json.Decoder(Optional[str]).decode
_read_any = msgspec.json.decode
_NO_ROLE, _NOT_OBJECT = 0xFFFFFFFF, 0xFFFFFFFE
# "assistant" with every character escaped: a longer role is another value.
_ROLE_MAX = len('"' + "\\u0061" * 9 + '"')


class RawReading:
    """A body read by :func:`._bodyscan.scan` (strict JSON, every field but
    ``model`` and ``messages`` skipped unread, with the GIL released): the
    model, and the messages as indexes of their spans in the body until the
    ones collected are validated. A body the strict reading refuses raises
    ``ValueError`` (or ``RecursionError`` past the interpreter's depth)."""

    def __init__(self, body: bytes, found: Optional[tuple]):
        if found is None:
            raise ValueError("not a strict JSON chat request")
        model_start, model_end, spans = found
        self._body = memoryview(body)
        self._spans = memoryview(spans).cast("I")
        self.model = _read_model(self._body[model_start:model_end]) if model_start >= 0 else None
        self.messages = range(len(self._spans) // 4)

    def _is_assistant(self, i: int) -> bool:
        start, end = self._spans[4 * i + 2], self._spans[4 * i + 3]
        if start == _NOT_OBJECT:
            raise msgspec.ValidationError("a message is not an object")
        if start == _NO_ROLE or end - start > _ROLE_MAX:
            return False
        role = bytes(self._body[start:end])
        return role == b'"assistant"' or (b"\\" in role and _read_any(role) == "assistant")

    def new(self) -> range:
        for i in reversed(self.messages):
            if self._is_assistant(i):
                return self.messages[i + 1:]
        return self.messages

    def request(self, chosen: range):
        """vLLM's request of the model and the chosen messages: vLLM's own
        validation reads the messages, so they are what its route read."""
        from vllm.entrypoints.openai.protocol import ChatCompletionRequest

        body, spans = self._body, self._spans
        parts = [b'{"model":' + msgspec.json.encode(self.model) + b',"messages":[']
        for i in chosen:
            parts += (body[spans[4 * i]:spans[4 * i + 1]], b",")
        parts[-1] = b"]}"  # the last comma, or the list's opening when nothing is chosen
        return ChatCompletionRequest.model_validate_json(b"".join(parts))


class ParsedReading:
    """A body read whole by ``parse`` (vLLM's request)."""

    def __init__(self, request):
        self.model = request.model
        self.messages = list(request.messages)
        self._request = request

    def new(self) -> list:
        return new_messages(self.messages)

    def request(self, chosen: list):
        if len(chosen) == len(self.messages):
            return self._request
        return self._request.model_copy(update={"messages": chosen})
