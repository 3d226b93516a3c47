"""The masking of the excerpts kept with stored samples.

A text is normalised before anything is looked for in it (NFKC, every
kind of whitespace folded to one space, zero-width and other format
characters removed, dashes, slashes and dots of other scripts made ASCII,
digits of any script made ASCII), so that a card typed across lines or with
zero-width spaces between its groups reads as the plain card it is. Then
each detector names the spans it finds in the normalised text (all of them
read the same text, not each other's output), the spans are merged, and the
excerpt is built from the text between them and their labels.

Only what can be kept is read: the excerpt's characters plus :data:`MARGIN`,
so a token cut by the excerpt's end is still seen (and masked) whole, and a
token that runs past the margin is dropped rather than shown in part.

Every pattern runs in linear time: a variable-length match can only start
where its character class starts (a look-behind says so), so no start
position rescans a run another one scanned, and repetitions are bounded.
Numbers are masked only when a check says what they are (Luhn for cards,
mod 97 for IBANs, the shapes of phone numbers and social security numbers),
so order numbers, dates and prices stay readable.
"""
from __future__ import annotations

import re
import unicodedata
from typing import Callable, Iterator

#: Characters read past the excerpt's end, so a token cut there is judged whole.
MARGIN = 96
#: Raw characters read per kept character (room for zero-width and folded whitespace).
RAW_PER_CHAR = 4
#: Shown instead of a token that runs past what was read.
CUT = "…"


def _fold_table() -> dict[int, int | None]:
    table: dict[int, int | None] = {}
    for cp in (*range(0x20000), *range(0xE0000, 0xE0080)):
        cat = unicodedata.category(chr(cp))
        if cat == "Cf":
            table[cp] = None                      # zero-width, bidi controls, soft hyphen, tags
        elif cat == "Cc" or cat == "Zl" or cat == "Zp":
            table[cp] = 0x20
        elif cat == "Nd" and cp > 0x7F:
            table[cp] = 0x30 + unicodedata.digit(chr(cp))
    for cp in (0x2010, 0x2011, 0x2012, 0x2013, 0x2014, 0x2015, 0x2212, 0xFE58, 0xFE63):
        table[cp] = ord("-")
    for cp in (0x2044, 0x2215, 0x29F8):
        table[cp] = ord("/")
    for cp in (0x00B7, 0x2022, 0x2027, 0x30FB):
        table[cp] = ord(".")
    return table


_FOLD = _fold_table()


def normalise(text: str) -> str:
    """``text`` as the detectors read it (see the module's docstring)."""
    text = unicodedata.normalize("NFKC", text).translate(_FOLD)
    return " ".join(text.split())


# -- checks -------------------------------------------------------------------

def iban_ok(code: str) -> bool:
    code = code[4:] + code[:4]
    try:
        return int("".join(str(int(c, 36)) for c in code)) % 97 == 1
    except ValueError:
        return False


# -- detectors ------------------------------------------------------------------
# Each yields (start, end, label) spans of the normalised text.

Spans = Iterator[tuple[int, int, str]]


def _all(pattern: re.Pattern, label: str, group: int = 0) -> Callable[[str], Spans]:
    def find(text: str) -> Spans:
        for m in pattern.finditer(text):
            yield m.start(group), m.end(group), label
    return find


_LOCAL = r"(?<![\w.+%-])[\w.+%-]{1,64}"
_DOMAIN = r"[\w-]{1,63}(?:\.[\w-]{1,63}){0,8}"
_AT = r"(?: ?@ ?| ?[\[({] ?at ?[\])}] ?)"
_DOT = r"(?:\.| ?[\[({] ?dot ?[\])}] ?)"
# user@host (a host without a dot too: root@localhost), and the spellings
# with spaces or [at]/[dot] when the domain ends in a name of letters.
_EMAIL = re.compile(rf"{_LOCAL}@{_DOMAIN}"
                    rf"|{_LOCAL}{_AT}[\w-]{{1,63}}(?:{_DOT}[\w-]{{1,63}}){{0,8}}{_DOT}[A-Za-z]{{2,24}}\b",
                    re.IGNORECASE)
# scheme://user:password@ (the e-mail detector takes user@host alone).
_URL_CREDENTIALS = re.compile(r"(?<=://)[^\s/@:]{1,256}:[^\s/]{0,256}@")
_PEM = re.compile(r"-----BEGIN[A-Z0-9 ]{0,40}-----.*?(?:-----END[A-Z0-9 ]{0,40}-----|\Z)", re.DOTALL)
_JWT = re.compile(r"(?<![\w-])eyJ[\w-]{4,}\.[\w-]{4,}\.[\w-]*")
_PREFIXED_KEY = re.compile(
    r"(?<![\w-])(?:sk|pk|rk|ak|gh[pousr]|github_pat|xox[abpr]|glpat|hf|npm|pypi)[-_][\w-]{4,}", re.IGNORECASE)
_AWS_ID = re.compile(r"(?<![A-Za-z0-9])(?:AKIA|ASIA|AGPA|AIDA|AROA|AIPA|ANPA|ANVA|ABIA|ACCA)[A-Z0-9]{12,16}"
                     r"(?![A-Za-z0-9])")
# A run of hex (16 or more) or of Base64/URL-safe characters (24 or more)
# holding both letters and digits.
_HEX = re.compile(r"(?<![\w-])[0-9a-fA-F]{16,}(?![\w-])")
_B64 = re.compile(r"(?<![A-Za-z0-9+/_-])[A-Za-z0-9+/_-]{24,}={0,2}")
_DIGIT = re.compile(r"\d")
_LETTER = re.compile(r"[A-Za-z]")
# A secret after its name: password=..., pwd: ..., mot de passe : ..., Bearer ...
_NAMED = re.compile(
    r"(?<![\w-])(?:pass(?:word|wd|phrase|code)?|passwort|kennwort|contrase[ñn]a|senha|pwd|mdp|mot de passe|pin"
    r"|cvv|cvc|secret|client[ _-]?secret|token|api[ _-]?key|access[ _-]?key|private[ _-]?key|auth)"
    r"\s?(?:[:=]|is|est)\s?(\"[^\"]{0,256}\"|'[^']{0,256}'|[^\s\"',;]{1,512})", re.IGNORECASE)
_BEARER = re.compile(r"(?<![\w-])bearer\s?([\w.~+/=-]{6,512})", re.IGNORECASE)
_SSN_NAMED = re.compile(r"(?<![\w-])(?:ssn|social security(?: number| no\.?)?|n° de sécurité sociale|nir)\W{0,3}"
                        r"(\d[\d -]{7,20}\d)", re.IGNORECASE)
_SSN = re.compile(r"(?<![\d-])(?!000|666|9\d\d)\d{3}([- ])(?!00)\d{2}\1(?!0000)\d{4}(?![\d-])")
_IBAN = re.compile(r"(?<![A-Za-z0-9])[A-Za-z]{2}\d{2}(?:[ -]?[A-Za-z0-9]){11,30}")
# Digits in groups with at most one separator between groups (card and phone candidates).
_GROUPS = re.compile(r"(?<![\w+])(?:\+ ?|\(?)\d{1,19}\)?(?:(?: ?[-./] ?| |(?<=\)))\(?\d{1,19}\)?){0,40}(?![\w])")
_GROUP = re.compile(r"\d+")


def _words(pattern: re.Pattern, label: str, check: Callable[[str], bool]) -> Callable[[str], Spans]:
    def find(text: str) -> Spans:
        for m in pattern.finditer(text):
            if check(m.group(0)):
                yield m.start(), m.end(), label
    return find


def _mixed(word: str) -> bool:
    return bool(_DIGIT.search(word) and _LETTER.search(word))


def _prefixed(word: str) -> bool:
    # sk-learn is a library, sk-7f3a a key: a key has a digit, or is long.
    tail = word.split("-", 1)[-1].split("_", 1)[-1]
    return bool(_DIGIT.search(tail)) or len(tail) >= 16


def _named(text: str) -> Spans:
    for m in _NAMED.finditer(text):
        yield m.start(1), m.end(1), "[secret]"
    for m in _BEARER.finditer(text):
        if _DIGIT.search(m.group(1)) or len(m.group(1)) >= 16:  # not "bearer of bad news"
            yield m.start(1), m.end(1), "[secret]"
    for m in _SSN_NAMED.finditer(text):
        yield m.start(1), m.end(1), "[id]"


def _iban(text: str) -> Spans:
    for m in _IBAN.finditer(text):
        # The match may run into the next word: the longest prefix that checks.
        s = m.group(0)
        compact = [(i, c) for i, c in enumerate(s) if c not in " -"]
        for n in range(min(len(compact), 34), 14, -1):
            if iban_ok("".join(c for _, c in compact[:n]).upper()):
                yield m.start(), m.start() + compact[n - 1][0] + 1, "[iban]"
                break


def _numbers(text: str) -> Spans:
    """Cards (13 to 19 digits that pass Luhn, whatever groups them) and phone
    numbers (+ and 8 to 15 digits, 00 and a country, a national 0 and 9 or 10
    digits in pairs or a (0)..., a US (415) 555-0132 or 415-555-0132)."""
    for m in _GROUPS.finditer(text):
        run = m.group(0)
        groups = [(g.start(), g.end()) for g in _GROUP.finditer(run)]
        # Luhn sums of any span of the run's digits in O(1): prefix sums with
        # the even-indexed digits doubled (odd), or the odd-indexed (even).
        digits = "".join(run[a:b] for a, b in groups)
        odd, even = [0], [0]
        for k, c in enumerate(digits):
            d = ord(c) - 48
            dd = d * 2 - 9 if d > 4 else d * 2
            odd.append(odd[-1] + (dd if k & 1 == 0 else d))
            even.append(even[-1] + (d if k & 1 == 0 else dd))
        ends = [0]
        for a, b in groups:
            ends.append(ends[-1] + b - a)
        i, clean = 0, True
        while i < len(groups):
            hit = 0
            for j in range(i, len(groups)):
                total = ends[j + 1] - ends[i]
                if total > 19:
                    break
                # The rightmost digit is never doubled: it sits at index ends[j+1]-1.
                sums = even if (ends[j + 1] - 1) & 1 == 0 else odd
                if total >= 13 and (sums[ends[j + 1]] - sums[ends[i]]) % 10 == 0:
                    hit = j + 1
            if hit:
                yield m.start() + groups[i][0], m.start() + groups[hit - 1][1], "[card]"
                i, clean = hit, True
                continue
            n = _phone_at(run, groups, i, clean)
            if n:
                a = groups[i][0]
                while a > 0 and run[a - 1] in "+(":
                    a -= 1
                b = groups[i + n - 1][1]
                yield m.start() + a, m.start() + b + (b < len(run) and run[b] == ")"), "[phone]"
                i, clean = i + n, True
                continue
            i, clean = i + 1, False


def _phone_at(run: str, groups: list[tuple[int, int]], i: int, clean: bool) -> int:
    """How many groups from ``groups[i]`` make a phone number (0: none).
    Without a +, a number must start its run or follow one masked before
    (not the middle of an ISBN or a reference)."""
    a = groups[i][0]
    lead = run[max(0, a - 2):a]
    first = run[a:groups[i][1]]
    digits = [groups[k][1] - groups[k][0] for k in range(i, len(groups))]
    seps = [run[groups[k][1]:groups[k + 1][0]] for k in range(i, len(groups) - 1)]

    def take(want: int) -> int:
        total = 0
        for n, d in enumerate(digits, 1):
            total += d
            if total == want:
                return n
            if total > want:
                return 0
        return 0

    if "+" in lead or first.startswith("00") and len(first) <= 5:
        # International: up to 15 digits; take the groups up to the longest plausible total.
        total, best = 0, 0
        for n, d in enumerate(digits, 1):
            total += d
            if total > 15:
                break
            if total >= 8:
                best = n
        return best
    if not clean:
        return 0
    if first.startswith("0") and not (seps and "/" in seps[0]):
        # National with a trunk 0 (FR 06 12 34 56 78, UK 020 7946 0958, DE 030 1234567).
        return take(10) or take(11)
    if "(" in lead and len(first) == 3 or len(first) == 3 and len(digits) >= 3 and digits[1] == 3 \
            and digits[2] == 4 and seps[0].strip() in "-." and seps[0].strip() == seps[1].strip() != "":
        # US: (415) 555-0132, 415-555-0132, 415.555.0132.
        return 3 if len(digits) >= 3 and digits[1] == 3 and digits[2] == 4 else 0
    return 0


# In order of precedence where spans overlap.
DETECTORS: tuple[tuple[str, Callable[[str], Spans]], ...] = (
    ("pem", _all(_PEM, "[key]")),
    ("url credentials", _all(_URL_CREDENTIALS, "[secret]")),
    ("email", _all(_EMAIL, "[email]")),
    ("jwt", _all(_JWT, "[key]")),
    ("prefixed key", _words(_PREFIXED_KEY, "[key]", _prefixed)),
    ("aws key id", _all(_AWS_ID, "[key]")),
    ("named secret", _named),
    ("hex", _words(_HEX, "[key]", _mixed)),
    ("base64", _words(_B64, "[key]", _mixed)),
    ("iban", _iban),
    ("ssn", _all(_SSN, "[id]")),
    ("numbers", _numbers),
)


def spans(text: str) -> list[tuple[int, int, str]]:
    """The merged spans to mask in ``text`` (already normalised), in order."""
    found = sorted((s for _, find in DETECTORS for s in find(text)), key=lambda s: (s[0], -s[1]))
    merged: list[tuple[int, int, str]] = []
    for a, b, label in found:
        if merged and a < merged[-1][1]:
            pa, pb, pl = merged[-1]
            merged[-1] = (pa, max(pb, b), pl)
        else:
            merged.append((a, b, label))
    return merged


def _render(text: str, found: list[tuple[int, int, str]], end: int) -> str:
    out, at = [], 0
    for a, b, label in found:
        if a >= end:
            break
        out.append(text[at:a])
        out.append(label)
        at = b
    if at < end:
        out.append(text[at:end])
    return "".join(out)


def mask(text: str) -> str:
    """All of ``text``, normalised and masked."""
    text = normalise(text)
    return _render(text, spans(text), len(text))


def excerpt(text: str, chars: int) -> str:
    """The first ``chars`` characters of ``text`` as kept: normalised and
    masked, reading no more than the excerpt and its margin."""
    raw_cut = chars + MARGIN
    raw = text[:raw_cut * RAW_PER_CHAR]
    norm = normalise(raw)
    whole = len(raw) == len(text) and len(norm) <= raw_cut
    window = norm[:raw_cut]
    found = spans(window)
    if len(raw) == len(text) and len(norm) <= raw_cut:
        return _render(window, found, len(window))[:chars]
    # Past the window nothing was seen: a token that reaches its edge may go
    # on, so one that would be shown is dropped (unless already masked).
    last = window.rfind(" ") + 1
    if last < chars and not any(a <= last < b for a, b, _ in found):
        return (_render(window, found, last) + CUT)[:chars]
    return _render(window, found, chars)[:chars]
