"""Real text for benchmarks/detection.py, assembled from what this machine
holds (no downloads), embedded once with the demo's all-MiniLM-L6-v2 and
cached.

Domains:

* ``reference``: one-line Debian package descriptions (the local apt lists,
  ``apt-cache dumpavail``) of several sections: utils, net, admin, text,
  sound, graphics, misc, web, mail, editors, database, x11.
* ``topic``: the same kind of line from the ``games`` section: a new topic
  in the same style.
* ``language``: German translations (``msgstr``) of the installed message
  catalogues, /usr/share/locale/de/LC_MESSAGES/*.mo: a new language.
* ``docstrings``: first lines of the docstrings of the Python standard
  library: a diffuse change of style and subject.
* ``everyday``: the demo's cooking, gardening and travel questions
  (demo/texts, 144 lines): a new topic far from software. Windows that need
  more rows than its half holds draw with replacement.

``topic`` turned out close to the reference (games share words and subjects
with the x11, graphics and sound sections: a third of its rows pass the
calibration's 1 % tail); ``everyday`` is the clearly new topic.

A second corpus, another kind of text (:func:`load_code`):

* ``reference``: first lines of the docstrings of the third-party packages
  installed beside this project (site-packages): API documentation.
* ``language``: the German messages above.
* ``manpages``: the NAME lines of the installed manual pages (section 1):
  one-line command summaries, a new topic in a related style.
* ``packages``: Debian package descriptions (the reference sections above):
  a diffuse change of style and subject.

Every domain is split by a hash of its text into a tuning half and a
reporting half, so that what the settings were chosen on is never what the
figures are reported on.
"""
from __future__ import annotations

import ast
import gettext
import hashlib
import subprocess
import sys
import sysconfig
from pathlib import Path

import numpy as np

REFERENCE_SECTIONS = {"utils", "net", "admin", "text", "sound", "graphics", "misc", "web", "mail", "editors",
                      "database", "x11"}
CACHE = Path.home() / ".cache" / "olvane-sdk" / "detection"


def _clean(lines, min_words=4, max_chars=200, *, kept=None):
    seen, out = set(), []
    for i, s in enumerate(lines):
        s = " ".join(str(s).split())
        if len(s.split()) < min_words or len(s) > max_chars or s.lower() in seen:
            continue
        seen.add(s.lower())
        out.append(s)
        if kept is not None:
            kept.append(i)
    return out


def debian_descriptions() -> dict[str, list[str]]:
    text = subprocess.run(["apt-cache", "dumpavail"], capture_output=True, text=True, check=True).stdout
    ref, games = [], []
    for rec in text.split("\n\n"):
        fields = dict(line.split(": ", 1) for line in rec.splitlines() if ": " in line and not line.startswith(" "))
        section = fields.get("Section", "").split("/")[-1]
        desc = fields.get("Description", "")
        if section == "games":
            games.append(desc)
        elif section in REFERENCE_SECTIONS:
            ref.append(desc)
    return {"reference": _clean(ref), "topic": _clean(games)}


def _split_labels(name: str, build) -> dict[str, np.ndarray]:
    """{"tune": labels, "report": labels} of a corpus's reference rows, split
    as its arrays are (by a hash of each text), cached under ``name``;
    ``build()`` gives (texts, labels)."""
    path = CACHE / name
    if not path.exists():
        texts, labels = build()
        halves = np.array([_half(t) for t in texts])
        CACHE.mkdir(parents=True, exist_ok=True)
        np.savez(path, **{h: np.asarray(labels)[halves == h] for h in ("tune", "report")})
    z = np.load(path)
    return {h: z[h] for h in z.files}


def reference_sections() -> dict[str, np.ndarray]:
    """{"tune": sections, "report": sections}: the Debian section of each
    reference row, in the order of :func:`load`'s arrays (cached)."""
    def build():
        text = subprocess.run(["apt-cache", "dumpavail"], capture_output=True, text=True, check=True).stdout
        ref, sections = [], []
        for rec in text.split("\n\n"):
            fields = dict(line.split(": ", 1) for line in rec.splitlines() if ": " in line and not line.startswith(" "))
            section = fields.get("Section", "").split("/")[-1]
            if section in REFERENCE_SECTIONS:
                ref.append(fields.get("Description", ""))
                sections.append(section)
        kept: list[int] = []
        lines = _clean(ref, kept=kept)
        return lines, [sections[i] for i in kept]

    return _split_labels("sections-v1.npz", build)


def german_messages() -> list[str]:
    out = []
    for mo in sorted(Path("/usr/share/locale/de/LC_MESSAGES").glob("*.mo")):
        try:
            with open(mo, "rb") as f:
                cat = gettext.GNUTranslations(f)._catalog  # type: ignore[attr-defined]
        except Exception:
            continue
        for k, v in cat.items():
            if k and isinstance(v, str) and "%" not in v and "{" not in v:
                out.append(v.split("\n")[0])
    return _clean(out, min_words=5)


def _first_paragraphs(py: Path) -> list[str]:
    """The first paragraph of each docstring (module, class, function) of
    the Python file ``py``; none when it does not parse."""
    try:
        tree = ast.parse(py.read_text(encoding="utf-8", errors="replace"))
    except (SyntaxError, ValueError, RecursionError):
        return []
    return [d.strip().split("\n\n")[0] for node in ast.walk(tree)
            if isinstance(node, (ast.FunctionDef, ast.ClassDef, ast.AsyncFunctionDef, ast.Module))
            and (d := ast.get_docstring(node))]


def stdlib_docstrings() -> list[str]:
    out = []
    for py in sorted(Path(sysconfig.get_paths()["stdlib"]).rglob("*.py")):
        if "test" in py.parts or "idlelib" in py.parts:
            continue
        out += _first_paragraphs(py)
    return _clean(out, min_words=5)


def everyday_questions() -> list[str]:
    texts = Path(__file__).resolve().parents[1] / "src/olvane_sdk/fast/deployment/ood/demo/texts"
    return _clean(line for name in ("cooking", "gardening", "travel")
                  for line in (texts / f"{name}.txt").read_text(encoding="utf-8").splitlines())


def site_docstrings(max_files: int = 2500, packages: list | None = None) -> list[str]:
    """First paragraphs of the docstrings of a seeded sample of the installed
    packages' modules; with ``packages``, it receives each text's top-level
    package (its section)."""
    site = Path(sysconfig.get_paths()["purelib"])
    files = sorted(p for p in site.rglob("*.py") if not ({"tests", "test", "testing", "_vendor"} & set(p.parts)))
    if len(files) > max_files:
        files = [files[i] for i in np.sort(np.random.default_rng(0).choice(len(files), max_files, replace=False))]
    out, owner = [], []
    for py in files:
        got = _first_paragraphs(py)
        out += got
        owner += [py.relative_to(site).parts[0]] * len(got)
    kept: list[int] = []
    lines = _clean(out, min_words=5, kept=kept)
    if packages is not None:
        packages.extend(owner[i] for i in kept)
    return lines


def _code_reference(max_reference: int, packages: list | None = None) -> list[str]:
    owner: list[str] = []
    ref = site_docstrings(packages=owner)
    if len(ref) > max_reference:
        pick = np.sort(np.random.default_rng(1).choice(len(ref), max_reference, replace=False))
        ref, owner = [ref[i] for i in pick], [owner[i] for i in pick]
    if packages is not None:
        packages.extend(owner)
    return ref


def code_sections(max_reference: int = 8000) -> dict[str, np.ndarray]:
    """{"tune": packages, "report": packages}: the top-level package of each
    reference row of :func:`load_code`, in its arrays' order (cached)."""
    def build():
        owner: list[str] = []
        return _code_reference(max_reference, owner), owner

    return _split_labels("code-sections-v1.npz", build)


def man_summaries() -> list[str]:
    import gzip
    import re

    out = []
    for man in sorted(Path("/usr/share/man/man1").glob("*.gz")):
        try:
            text = gzip.open(man, "rt", encoding="utf-8", errors="replace").read(20000)
        except (OSError, EOFError):
            continue
        m = re.search(r"^\.S[Hh] \"?NAME\"?\s*\n(.+?)\n\.", text, re.M | re.S)
        if m and "gcloud" not in man.name:  # the cloud SDK's thousands of subcommand pages would dominate
            line = re.sub(r"\\f[BIRP]|\\\(..|\\", " ", m.group(1).replace("\n", " ").replace("\\-", "-"))
            if " - " in line:
                out.append(line.split(" - ", 1)[1])
    return _clean(out, min_words=3)


def load_code(max_reference: int = 8000, max_per_domain: int = 4000) -> dict[str, dict[str, np.ndarray]]:
    """The second corpus, as :func:`load`: {domain: {"tune": X, "report": X}}."""
    path = CACHE / "code-v1.npz"
    if not path.exists():
        ref = _code_reference(max_reference)
        texts = {"reference": ref, "language": german_messages(), "manpages": man_summaries(),
                 "packages": debian_descriptions()["reference"]}
        arrays = _embed(texts, max_per_domain)
        CACHE.mkdir(parents=True, exist_ok=True)
        np.savez(path.with_suffix(".tmp.npz"), **arrays)
        path.with_suffix(".tmp.npz").rename(path)
    out: dict[str, dict[str, np.ndarray]] = {}
    z = np.load(path)
    for key in z.files:
        d, h = key.split(".")
        out.setdefault(d, {})[h] = z[key]
    return out


def _half(s: str) -> str:
    return "tune" if hashlib.sha1(s.encode()).digest()[0] % 2 == 0 else "report"


def load(max_per_domain: int = 4000) -> dict[str, dict[str, np.ndarray]]:
    """{domain: {"tune": X, "report": X}}, unit-norm float32 embeddings."""
    path = CACHE / "embeddings-v1.npz"
    extra = CACHE / "embeddings-v1-everyday.npz"
    if path.exists() and not extra.exists():
        arrays = _embed({"everyday": everyday_questions()}, max_per_domain)
        np.savez(extra.with_suffix(".tmp.npz"), **arrays)
        extra.with_suffix(".tmp.npz").rename(extra)
    if path.exists():
        out: dict[str, dict[str, np.ndarray]] = {}
        for f in (path, extra):
            z = np.load(f)
            for key in z.files:
                d, h = key.split(".")
                out.setdefault(d, {})[h] = z[key]
        return out
    texts = debian_descriptions()
    texts["language"] = german_messages()
    texts["docstrings"] = stdlib_docstrings()
    arrays = _embed(texts, max_per_domain)
    CACHE.mkdir(parents=True, exist_ok=True)
    np.savez(path.with_suffix(".tmp.npz"), **arrays)
    path.with_suffix(".tmp.npz").rename(path)
    return load()


def _embed(texts: dict[str, list[str]], max_per_domain: int) -> dict[str, np.ndarray]:
    rng = np.random.default_rng(0)
    from sentence_transformers import SentenceTransformer

    from olvane_sdk.fast.deployment.ood.demo.models import text_model_dir

    model = SentenceTransformer(text_model_dir(), backend="onnx")
    arrays = {}
    for d, lines in texts.items():
        if d != "reference" and len(lines) > max_per_domain:
            lines = [lines[i] for i in np.sort(rng.choice(len(lines), max_per_domain, replace=False))]
        print(f"{d}: {len(lines)} texts, e.g. {lines[len(lines) // 2]!r}", file=sys.stderr, flush=True)
        X = model.encode(lines, batch_size=64, normalize_embeddings=True, convert_to_numpy=True)
        halves = np.array([_half(s) for s in lines])
        for h in ("tune", "report"):
            arrays[f"{d}.{h}"] = X[halves == h].astype(np.float32)
    return arrays


if __name__ == "__main__":
    for name, corpus in (("debian", load), ("code", load_code)):
        for d, hs in corpus().items():
            print(name, d, {h: x.shape for h, x in hs.items()})
