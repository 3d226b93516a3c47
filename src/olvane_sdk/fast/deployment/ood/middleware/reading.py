"""Reading a chat-completion body off the event loop: the strict raw reading
(only ``model`` and ``messages``, everything else skipped by msgspec without
being built) and vLLM's own route's parse as the fallback, as
:class:`Handover` uses them."""
from __future__ import annotations

import json
from typing import Any, Optional

import msgspec


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
    """What collection reads of a chat request. Every other field is skipped
    in C without building it (vLLM ignores unknown fields, so a body may
    carry megabytes of them), and each message is kept as its raw JSON."""

    messages: list[msgspec.Raw]
    model: Optional[str] = None


class _Role(msgspec.Struct):
    role: Any = None


read_head = msgspec.json.Decoder(_Head).decode
_read_role = msgspec.json.Decoder(_Role).decode


class RawReading:
    """A body read by :class:`_Head`: the model, and the messages still raw
    until the ones collected are validated."""

    def __init__(self, head: _Head):
        self.model = head.model
        self.messages = head.messages

    def new(self) -> list:
        for i in range(len(self.messages) - 1, -1, -1):
            if _read_role(self.messages[i]).role == "assistant":
                return self.messages[i + 1:]
        return self.messages

    def request(self, chosen: list):
        """vLLM's request of the model and the chosen messages: vLLM's own
        validation reads the messages, so they are what its route read."""
        from vllm.entrypoints.openai.protocol import ChatCompletionRequest

        parts = [b'{"model":' + msgspec.json.encode(self.model) + b',"messages":[']
        for m in chosen:
            parts += (m, b",")
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
