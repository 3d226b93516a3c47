"""The excerpt masking: recall per category on the labelled corpus
(benchmarks/masking_corpus.py) and false hits on its negatives, before (the
patterns this replaced) and after, beside two libraries where installed
(phonenumbers for phones, detect-secrets for keys); its CPU per 8 KiB part on
ordinary and adversarial inputs; and the event loop's longest wait while a
worker thread makes the excerpts of one request of four worst-case parts.

    PYTHONPATH=src:benchmarks python benchmarks/masking.py [--quick]

The libraries are tried from PYTHONPATH (e.g. a --target directory), never
installed by this script.
"""
from __future__ import annotations

import asyncio
import re
import statistics
import sys
import threading
import time
from collections import Counter

from masking_corpus import CATEGORIES, NEGATIVES, leaked, secrets

from olvane_sdk.fast.deployment.ood.middleware.trace import excerpt_of

CHARS = 200

# -- before: the patterns applied to the whole text, then whitespace folded ----
_OLD = (
    (re.compile(r"[\w.+-]+@[\w-]+(?:\.[\w-]+)+"), "[email]"),
    (re.compile(r"\b(?:sk|pk|rk|ak)[-_][A-Za-z0-9_-]{8,}"), "[key]"),
    (re.compile(r"\b[0-9a-fA-F]{24,}\b"), "[key]"),
    (re.compile(r"(?=[A-Za-z0-9+/_-]{24,})(?=[A-Za-z0-9+/_-]*\d)(?=[A-Za-z0-9+/_-]*[A-Za-z])"
                r"[A-Za-z0-9+/_-]{24,}={0,2}"), "[key]"),
    (re.compile(r"\+?\(?\d[\d ().-]{5,}\d"),
     lambda m: "[number]" if sum(c.isdigit() for c in m.group(0)) >= 7 else m.group(0)),
    (re.compile(r"\d{8,}"), "[number]"),
)


def before(text: str, chars: int = CHARS) -> str:
    for pattern, repl in _OLD:
        text = pattern.sub(repl, text)
    return " ".join(text.split())[:chars]


def after(text: str, chars: int = CHARS) -> str:
    return excerpt_of(text, chars)


def _phonenumbers():
    try:
        import phonenumbers
    except ImportError:
        return None

    def mask(text: str, chars: int = CHARS) -> str:
        out, at = [], 0
        for region in ("FR", "US", "GB"):
            for m in phonenumbers.PhoneNumberMatcher(text, region, leniency=phonenumbers.Leniency.POSSIBLE):
                out.append((m.start, m.end))
        spans = sorted(out)
        res = []
        for a, b in spans:
            if a >= at:
                res.append(text[at:a] + "[phone]")
                at = b
        return " ".join(("".join(res) + text[at:]).split())[:chars]
    return mask


def _detect_secrets():
    try:
        from detect_secrets.core.scan import scan_line
        from detect_secrets.settings import default_settings
    except ImportError:
        return None

    def mask(text: str, chars: int = CHARS) -> str:
        with default_settings():
            found = {s.secret_value for s in scan_line(text) if s.secret_value}
        for v in sorted(found, key=len, reverse=True):
            text = text.replace(v, "[key]")
        return " ".join(text.split())[:chars]
    return mask


def recall(methods: dict) -> None:
    cases = secrets()
    cats = list(CATEGORIES)
    print(f"corpus: {len(cases)} secret texts ({sum(len(v) for v in CATEGORIES.values())} spellings x 2 "
          f"sentences, FR/EN), {len(NEGATIVES)} negatives\n")
    print(f"{'category':16}" + "".join(f"{name:>16}" for name in methods))
    for cat in cats:
        mine = [(t, s) for c, t, _, s in cases if c == cat]
        row = f"{cat:16}"
        for fn in methods.values():
            ok = sum(not leaked(fn(t, 400), s) for t, s in mine)
            row += f"{f'{ok}/{len(mine)}':>16}"
        print(row)
    row = f"{'false hits':16}"
    for fn in methods.values():
        bad = sum(not all(k in fn(t, 400) for k in kept) for t, kept in NEGATIVES)
        row += f"{f'{bad}/{len(NEGATIVES)}':>16}"
    print(row + "   (negatives with a number, date or price masked)")


def adversarial() -> dict[str, str]:
    n = 8 << 10
    filler = " ".join(t for _, t, _, _ in secrets())
    return {
        "corpus text": (filler * 2)[:n],
        "one letter": "a" * n,
        "one digit": "1" * n,
        "digits and spaces": "1 " * (n // 2),
        "a@ repeated": "a@" * (n // 2),
        "a. repeated": "a." * (n // 2),
        "letters then @": "a" * (n - 1) + "@",
        "hex then g": "a" * (n - 1) + "g",
        "eyJ and one run": "eyJ" + "a" * (n - 3),
        "PEM, no end": "-----BEGIN KEY-----" + "A" * (n - 19),
        "zero-width": "\u200b" * n,
        "password= repeated": "password=" * (n // 9),
        "(0) groups": "+33 (0)6 " * (n // 9),
        "://a: repeated": "://a:" * (n // 5),
    }


def cost(quick: bool) -> None:
    inputs = adversarial()
    reps = 5 if quick else 30
    print(f"\nCPU per 8 KiB part (thread CPU, median of {reps}; an excerpt of {CHARS} characters):")
    print(f"{'input':22}{'before':>12}{'after':>12}")
    worst_after = 0.0
    for name, text in inputs.items():
        row = f"{name:22}"
        for fn in (before, after):
            r = 1 if fn is before and name != "corpus text" else reps
            times = []
            for _ in range(r):
                t0 = time.thread_time()
                fn(text)
                times.append(time.thread_time() - t0)
            med = statistics.median(times)
            if fn is after:
                worst_after = max(worst_after, max(times))
            row += f"{med * 1e3:>10.3f}ms"
        print(row)
    print(f"after, worst single call over all inputs: {worst_after * 1e3:.3f} ms")


def loop_wait(fn, parts: list[str], requests: int) -> tuple[float, float]:
    """The event loop's longest lateness on a 1 ms timer while a thread
    makes the excerpts of ``requests`` requests of ``parts``; and the
    thread's CPU per request."""
    done = threading.Event()
    cpu: list[float] = []

    def worker():
        for _ in range(requests):
            t0 = time.thread_time()
            for p in parts:
                fn(p)
            cpu.append(time.thread_time() - t0)
        done.set()

    async def ticker() -> float:
        worst = 0.0
        threading.Thread(target=worker, daemon=True).start()
        while not done.is_set():
            t0 = time.perf_counter()
            await asyncio.sleep(0.001)
            worst = max(worst, time.perf_counter() - t0 - 0.001)
        return worst

    return asyncio.run(ticker()), max(cpu)


def main() -> None:
    quick = "--quick" in sys.argv
    methods = {"before": before, "after": after}
    for name, make in (("phonenumbers", _phonenumbers), ("detect-secrets", _detect_secrets)):
        fn = make()
        if fn is not None:
            methods[name] = fn
    recall(methods)
    for name in ("phonenumbers", "detect-secrets"):
        if name in methods:
            texts = [t for _, t, _, _ in secrets()]
            t0 = time.thread_time()
            for t in texts:
                methods[name](t)
            print(f"{name}: {(time.thread_time() - t0) / len(texts) * 1e3:.3f} ms CPU per corpus text")
    t0 = time.thread_time()
    texts = [t for _, t, _, _ in secrets()]
    for t in texts:
        after(t)
    print(f"after: {(time.thread_time() - t0) / len(texts) * 1e3:.3f} ms CPU per corpus text")
    cost(quick)
    worst = [adversarial()[k] for k in ("one letter", "a@ repeated", "letters then @", "a. repeated")]
    print("\nevent loop's longest wait (1 ms timer), a thread masking requests of four worst-case 8 KiB parts:")
    def busy(_part: str) -> None:  # the machine's own noise: a thread of plain Python, no masking
        t0 = time.thread_time()
        while time.thread_time() - t0 < 0.00025:
            pass

    for name, fn, n in (("before", before, 1), ("after", after, 1 if quick else 200),
                        ("no mask", busy, 1 if quick else 200)):
        wait, per_request = loop_wait(fn, worst, n)
        print(f"  {name:7} {wait * 1e3:8.2f} ms longest wait, {per_request * 1e3:8.2f} ms CPU per request "
              f"({n} requests)")


if __name__ == "__main__":
    main()
