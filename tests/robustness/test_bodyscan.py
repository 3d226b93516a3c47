"""The body scanner against the parsers it stands in for: json.loads for what
a body holds, msgspec for which bodies the strict reading accepts and how
deep it may nest."""
from __future__ import annotations

import json
import random

import msgspec
import pytest

from olvane_sdk.fast.deployment.ood.middleware._bodyscan import scan
from olvane_sdk.fast.deployment.ood.middleware.reading import read_head

ABSENT, NOT_OBJECT = "<no role>", "<not an object>"
_strict = msgspec.json.Decoder(float_hook=float).decode  # the lexical check, without "number out of range"


class _Shape(msgspec.Struct):
    messages: list[msgspec.Raw]


_shape = msgspec.json.Decoder(_Shape).decode


def scanned(body: bytes):
    """(model, messages, roles) as the spans decode, or None."""
    found = scan(body)
    if found is None:
        return None
    start, end, raw = found
    s = memoryview(raw).cast("I")
    assert len(s) % 4 == 0
    roles = [NOT_OBJECT if s[i + 2] == 0xFFFFFFFE else ABSENT if s[i + 2] == 0xFFFFFFFF
             else json.loads(body[s[i + 2]:s[i + 3]]) for i in range(0, len(s), 4)]
    return (json.loads(body[start:end]) if start >= 0 else None,
            [json.loads(body[s[i]:s[i + 1]]) for i in range(0, len(s), 4)], roles)


def loaded(body: bytes):
    d = json.loads(body)
    return (d.get("model"), d["messages"],
            [m.get("role", ABSENT) if isinstance(m, dict) else NOT_OBJECT for m in d["messages"]])


HEAD = b'{"model":"m","messages":[{"role":"user","content":"hi"}]'
VALID = {
    "plain": HEAD + b"}",
    "BOM": b"\xef\xbb\xbf" + HEAD + b"}",
    "whitespace everywhere": b' \r\n\t{ "model" :\t"m" ,\n"messages" : [ { "role" : "user" } , { } ] }\n ',
    "duplicate keys, the last wins": b'{"model":"a","messages":[1],"model":"b","messages":[{"role":"x","role":"y"}]}',
    "escaped keys": b'{"mod\\u0065l":"m","\\u006d\\u0065ssages":[{"r\\u006fle":"assistant"}],"mode\\u006c2":1}',
    "keys that only look alike": b'{"Model":"a","model ":"b","messages":[{"roles":"x","rol":"y"}],"messages2":{}}',
    "model null, absent role, scalar messages": b'{"model":null,"messages":[{"content":"x"},"s",[1],null]}',
    "nested unknown fields": b'{"x":{"model":"no","messages":{"a":[{"role":"no"}]}},"messages":[{"a":{"role":"no"},'
                             b'"role":"user"}],"model":"m"}',
    "deep extra field": b'{"messages":[],"x":' + b'[' * 300 + b']' * 300 + b'}',
    "numbers and literals": b'{"messages":[0,-0,1.5e-3,-12E+40,1e999,123456789012345678901234567890,true,false,null]}',
    "escapes and UTF-8": '{"model":"\\"\\\\\\/\\b\\f\\n\\r\\t\\u00e9\\uD83D\\uDE00","messages":["crème ☕ 😀"]}'.encode(),
    "no model": b'{"messages":[]}',
}
REFUSED = {
    "invalid UTF-8": HEAD + b',"x":"\xff"}',
    "overlong UTF-8": HEAD + b',"x":"\xc0\xaf"}',
    "UTF-8 of a surrogate": HEAD + b',"x":"\xed\xa0\x80"}',
    "UTF-8 past U+10FFFF": HEAD + b',"x":"\xf4\x90\x80\x80"}',
    "truncated UTF-8": HEAD + b',"x":"\xe2\x98"}',
    "lone high surrogate": HEAD + b',"x":"\\ud800"}',
    "lone low surrogate": HEAD + b',"x":"\\udc00"}',
    "high surrogate, then not a low one": HEAD + b',"x":"\\ud800\\u0041"}',
    "NaN": HEAD + b',"x":NaN}',
    "Infinity": HEAD + b',"x":-Infinity}',
    "01": HEAD + b',"x":01}',
    "1.": HEAD + b',"x":1.}',
    "-": HEAD + b',"x":-}',
    ".5": HEAD + b',"x":.5}',
    "1e": HEAD + b',"x":1e+}',
    "+1": HEAD + b',"x":+1}',
    "bad literal": HEAD + b',"x":nul}',
    "bad escape": HEAD + b',"x":"\\q"}',
    "short unicode escape": HEAD + b',"x":"\\u12"}',
    "control byte in a string": HEAD + b',"x":"a\x01"}',
    "trailing garbage": HEAD + b'} x',
    "two values": HEAD + b'}{}',
    "trailing comma": HEAD + b',}',
    "truncated": HEAD,
    "unquoted key": b'{model:"m","messages":[]}',
    "form feed as space": b'{"messages":[]\x0c}',
    "top level array": b'[{"model":"m","messages":[]}]',
    "top level string": b'"messages"',
    "empty": b'',
    "two BOMs": b"\xef\xbb\xbf\xef\xbb\xbf" + HEAD + b"}",
    "messages not an array": b'{"model":"m","messages":{"role":"user"}}',
    "an earlier messages not an array": b'{"messages":"x","model":"m","messages":[]}',
    "no messages": b'{"model":"m"}',
}


@pytest.mark.parametrize("body,valid", [(b, True) for b in VALID.values()] + [(b, False) for b in REFUSED.values()],
                         ids=[*VALID, *REFUSED])
def test_scan_reads_what_json_loads_reads(body, valid):
    if valid:
        assert scanned(body) == loaded(body)
    else:
        assert scan(body) is None


def test_nesting_refused_where_the_strict_decoder_refuses_it():
    """Both called from the same frame: the same depth passes, the next one
    raises RecursionError in both."""
    def outcome(f, body):
        try:
            return f(body) is not None
        except RecursionError:
            return "too deep"

    seen = set()
    for n in range(1, 1001):
        for body in (b'{"messages":[],"x":' + b'[' * n + b']' * n + b'}',
                     b'{"messages":[{"role":' + b'{"a":' * n + b'1' + b'}' * n + b'}]}'):
            ours, theirs = outcome(scan, body), outcome(read_head, body)
            assert ours == theirs, n
            seen.add(ours)
    assert seen == {True, "too deep"}


BASES = [
    b'{"model": "m", "messages": [{"role": "system", "content": "Be brief."}, {"role": "user", "content": '
    b'"How long should bread dough rest?"}], "temperature": 0.7, "max_tokens": 64}',
    '{"model":"m","messages":[{"role":"user","content":[{"type":"text","text":"cr\\u00e8me br\u00fbl\u00e9e \\"x\\"\\n"},'
    '{"type":"image_url","image_url":{"url":"data:image/png;base64,iVBORw0KGgo="}}]},{"role":"assistant",'
    '"content":"\U0001f600 ok"},{"role":"user","content":"again"}],"x":[[],[0,-1.5e3,true,null],{}]}'.encode(),
    b'\xef\xbb\xbf{"messages":[{"r\\u006fle":"assistant","content":"a"},{"role":"user","content":"b"}],"model":null}',
]
PIECES = [b"{", b"}", b"[", b"]", b",", b":", b'"', b"\\", b" ", b"\t", b"0", b"1", b"-", b".", b"e", b"+", b"n",
          b"t", b"\xff", b"\xc3", b"\xa9", b"\x00", b"\x1f", b"\\u00e9", b"\\ud800", b"\\udc00", b'"model":',
          b'"messages":', b'"role":', b"NaN", b"\xef\xbb\xbf", b'"assistant"', b"[[]]"]


def mutate(rng: random.Random, body: bytes) -> bytes:
    for _ in range(rng.randint(1, 3)):
        i = rng.randrange(len(body) + 1)
        kind = rng.randrange(3)
        if kind == 0:
            body = body[:i] + rng.choice(PIECES) + body[i:]
        elif kind == 1:
            body = body[:i] + body[i + rng.randint(1, 4):]
        else:
            body = body[:i] + rng.choice(PIECES) + body[i + 1:]
    return body


def test_scan_agrees_with_msgspec_and_json_loads_on_mutated_bodies():
    rng = random.Random(20261207)
    counts = {True: 0, False: 0}
    for _ in range(6000):
        body = mutate(rng, rng.choice(BASES))
        strict = body[3:] if body.startswith(b"\xef\xbb\xbf") else body
        try:
            _strict(strict)
            _shape(strict)
            accepted = True
        except (msgspec.DecodeError, msgspec.ValidationError):
            accepted = False
        got = scanned(body)
        assert (got is not None) == accepted, body
        if accepted:
            assert got == loaded(body), body
        counts[accepted] += 1
    assert min(counts.values()) > 500, counts  # both sides of the line exercised
