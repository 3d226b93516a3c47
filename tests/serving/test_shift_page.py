"""The report history and the operator's page, as an operator meets them:
the routes behind vLLM's key on a directory store, the history in the store
where another process reads it, and the page rendered in real headless
Chromium (no console message, a chart per figure in every section, a
screenshot)."""
from __future__ import annotations

import asyncio
import html
import os
import shutil
import subprocess
from html.parser import HTMLParser
from pathlib import Path

import numpy as np
import pytest
from support import wait_until, write_recipe

from olvane_sdk.fast.deployment.ood.cli import main as cli_main
from olvane_sdk.fast.deployment.ood.middleware import ShiftCollector, ShiftConfig, ShiftDetectionMiddleware
from olvane_sdk.fast.deployment.ood.middleware.routes import HISTORY_PATH, UI_PATH
from olvane_sdk.fast.deployment.ood.report.page import CSP
from olvane_sdk.fast.deployment.ood.samples import DirectoryStore

CHROMIUM = shutil.which("chromium") or "/usr/bin/chromium"
# Charts per section: verdict, AUC and OOD-share history, and the map.
CHARTS = 4


class Sections(HTMLParser):
    """section id -> number of chart SVGs inside it, from the rendered DOM."""

    def __init__(self):
        super().__init__()
        self.charts: dict[str, int] = {}
        self._in: str | None = None

    def handle_starttag(self, tag, attrs):
        a = dict(attrs)
        if tag == "section":
            self._in = a.get("id") or f"#{len(self.charts)}"
            self.charts[self._in] = 0
        elif tag == "svg" and self._in is not None and "chart" in (a.get("class") or "").split():
            self.charts[self._in] += 1

    def handle_endtag(self, tag):
        if tag == "section":
            self._in = None


def chromium(page: Path, *args: str, timeout: float = 90.0) -> subprocess.CompletedProcess:
    """Headless Chromium on ``page`` with its console on stderr; a hang fails the test."""
    cmd = [CHROMIUM, "--headless=new", "--no-sandbox", "--disable-gpu", "--enable-logging=stderr", "--v=0",
           f"--user-data-dir={page.parent / 'chromium-profile'}", *args, page.as_uri()]
    # The browser is not ours: under the sanitizer build it must not inherit the preloaded runtimes.
    env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS",
                                                         "LSAN_OPTIONS")}
    try:
        return subprocess.run(cmd, capture_output=True, text=True, timeout=timeout, check=True, env=env)
    except subprocess.TimeoutExpired:
        pytest.fail(f"chromium did not finish within {timeout} s")


def console_lines(stderr: str) -> list[str]:
    # Every console message (a script error, a blocked load, a CSP violation) is one INFO:CONSOLE line.
    return [line for line in stderr.splitlines() if ":CONSOLE" in line]


def test_history_and_page_behind_the_key(mod, fake_models, recipe_root, tmp_path):
    """Three reports on a directory store: /v1/shift/history gives their rows
    oldest first, another process's store reads the same history, and
    /v1/shift/ui (behind the key, with its CSP) renders in Chromium without a
    console message, with every chart in every section."""
    import httpx
    from fastapi import FastAPI
    from vllm.entrypoints.openai.api_server import AuthenticationMiddleware

    if not os.access(CHROMIUM, os.X_OK):
        pytest.skip("chromium is not installed (scripts/test_deps.sh installs it)")
    rng = np.random.default_rng(3)
    dim = 8
    # The reference lives in the first four dimensions; the new kind of message in the other four.
    scale = np.array([1.0] * 4 + [0.05] * 4)

    def normal(n):
        return rng.standard_normal((n, dim)) * scale

    recipe = write_recipe(recipe_root, "alpha", dim=dim, train={"text_embeddings": normal(300),
                                                                  "text_roles": np.array(["user"] * 300)},
                          test={"text_embeddings": normal(60)})
    store = tmp_path / "pool"
    c = ShiftCollector(ShiftConfig(recipes={"alpha": str(recipe)}, max_rate=0.0, report_interval=0, store=str(store)),
                       handler=mod.ShiftDetectionRequestHandler(), metrics=False)
    app = FastAPI()
    app.add_middleware(AuthenticationMiddleware, tokens=["sesame"])
    app.add_middleware(ShiftDetectionMiddleware, collector=c)
    key = {"Authorization": "Bearer sesame"}
    history_url = f"{HISTORY_PATH}?model=alpha&modality=text"
    verdicts = []
    try:
        assert c.ready.wait(60) and c.reports.pool is not None
        # Normal traffic, then a new kind of message far from the reference.
        for batch in (normal(60), normal(60), rng.standard_normal((80, dim)) * scale[::-1]):
            for v in batch.astype(np.float32):
                c.loader.handler.add_embedding("alpha", "text", v)
            assert c.reports.refresh(force=True)
            verdicts.append(c.reports.report["rows"][0]["verdict"])

        async def scenario():
            transport = httpx.ASGITransport(app=app)
            async with httpx.AsyncClient(transport=transport, base_url="http://t", timeout=60) as client:
                refused = [(await client.get(u)).status_code for u in (history_url, UI_PATH)]
                bad = [(await client.get(u, headers=key)).status_code
                       for u in (HISTORY_PATH, f"{history_url}&since=soon")]
                return (refused, bad, (await client.get(history_url, headers=key)).json(),
                        (await client.get(f"{history_url}&since=1h", headers=key)).json(),
                        await client.get(UI_PATH, headers=key))

        refused, bad, history, recent, ui = asyncio.run(scenario())
    finally:
        c.close()
    assert refused == [401, 401] and bad == [400, 400]
    rows = history["rows"]
    assert [r["verdict"] for r in rows] == verdicts and verdicts[-1] in ("novel", "shift")
    assert [r["n_live"] for r in rows] == [60, 120, 200] and recent["rows"] == rows
    assert all(r["time"] <= s["time"] for r, s in zip(rows, rows[1:]))
    assert rows[-1]["ood_share"] > rows[-1]["ood_bound"] and rows[0]["auc"] < rows[-1]["auc"]
    # Another process on the same store reads the same history, and the command writes the same page from it.
    assert DirectoryStore(store, c.reports.pool.store.deployment).history("alpha", "text") == rows
    written = tmp_path / "written.html"
    assert cli_main(["report", "--store", str(store), "--recipes", f"alpha={recipe}", "--deployment",
                     c.reports.pool.store.deployment, "--html", str(written)]) == {"novel": 4, "shift": 1}[verdicts[-1]]
    assert written.read_text().count("3 reports") == 3 and 'id="alpha--text"' in written.read_text()

    assert ui.status_code == 200 and ui.headers["content-security-policy"] == CSP
    page = tmp_path / "shift-ui.html"
    page.write_text(ui.text)
    shot = Path(os.environ.get("OLVANE_SHIFT_UI_SHOT") or tmp_path / "shift-ui.png")
    dom = chromium(page, "--dump-dom")
    sections = Sections()
    sections.feed(dom.stdout)
    assert sections.charts == {"alpha--text": CHARTS}, sections.charts
    assert "past the reference's tail" in dom.stdout and "flagged" in dom.stdout
    drawn = chromium(page, f"--screenshot={shot}", "--window-size=1366,900", "--hide-scrollbars")
    assert console_lines(dom.stderr + drawn.stderr) == []
    assert shot.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n" and shot.stat().st_size > 10_000


HOSTILE = '</li></ul><script>alert("x")</script><img src=x onerror="alert(1)">'


class Parsed(HTMLParser):
    """The tags the page opens and the text it shows."""

    def __init__(self):
        super().__init__(convert_charrefs=True)
        self.tags: list[tuple[str, dict]] = []
        self.text: list[str] = []

    def handle_starttag(self, tag, attrs):
        self.tags.append((tag, dict(attrs)))

    def handle_data(self, data):
        self.text.append(data)


@pytest.mark.parametrize("where", ["excerpt", "bare example", "terms", "request id", "flagged text"])
def test_page_shows_stored_text_as_text(where):
    """Excerpts, terms and ids come from traffic: on the page they read as
    the text they are, never as markup (a script, an element with a handler)."""
    from olvane_sdk.fast.deployment.ood.report.page import render_page

    example = {"excerpt": HOSTILE} if where == "excerpt" else {"request_id": HOSTILE} if where == "request id" \
        else HOSTILE
    cluster = {"id": 0, "size": 3, "share": 0.1, "examples": [example],
               "terms": [HOSTILE] if where == "terms" else ["dough"]}
    flagged = {"outliers": [{"score": 0.9, "p_value": 0.001, "text": HOSTILE}]} if where == "flagged text" \
        else {"outliers": [{"score": 0.9}], "clusters": [cluster]}
    row = {"model": "m", "modality": "text", "verdict": "novel", "n_live": 30}
    doc = Parsed()
    doc.feed(render_page({"rows": [row]}, outliers={"m": {"text": flagged}}, now=0))
    doc.close()
    tags = [t for t, _ in doc.tags]
    assert "script" not in tags and "img" not in tags, tags
    assert not any(k.startswith("on") for _, a in doc.tags for k in a), doc.tags
    # The text survives whole: read back, the hostile string is there as characters.
    assert HOSTILE in "".join(doc.text)


class Cards(HTMLParser):
    """section id -> [(cluster id, request ids on its card)], and the sections' classes."""

    def __init__(self):
        super().__init__(convert_charrefs=True)
        self.cards: dict[str, list[tuple[str, list[str]]]] = {}
        self.classes: dict[str, str] = {}
        self._section: str | None = None
        self._card: list | None = None
        self._depth = 0

    def handle_starttag(self, tag, attrs):
        a = dict(attrs)
        if tag == "section" and a.get("id"):
            self._section = a["id"]
            self.cards[self._section], self.classes[self._section] = [], a.get("class") or ""
        elif tag == "div" and "data-cluster" in a and self._section:
            self._card, self._depth = [a["data-cluster"], []], 1
            self.cards[self._section].append(self._card)
        elif tag == "div" and self._card is not None:
            self._depth += 1

    def handle_endtag(self, tag):
        if tag == "div" and self._card is not None:
            self._depth -= 1
            if not self._depth:
                self._card = None

    def handle_data(self, data):
        if self._card is not None and "request " in data:
            self._card[1] += [w for w in data.split() if w.startswith("chatcmpl-")]


def test_vllm_app_warns_on_small_recipes_finds_a_new_group_and_serves_one_page(tmp_path):
    """vLLM's API server with the demo's recipes on a directory store, the key
    and excerpts on, real MiniLM: the demo-sized recipe (beta-chat, 48 texts)
    is warned about at start-up and on /v1/shift; alpha-chat's (~400
    calibration scores) says NOVEL by the second report of traffic with a
    10 % group of billing questions. /v1/shift/ui and `report --store --html`
    show the same sections, clusters and request ids, and both render in
    Chromium without a console message."""
    pytest.importorskip("vllm.entrypoints.openai.api_server")
    from olvane_sdk.fast.deployment.ood import demo as dh
    from olvane_sdk.fast.deployment.ood.demo import models as local_models

    if not os.access(CHROMIUM, os.X_OK):
        pytest.skip("chromium is not installed (scripts/test_deps.sh installs it)")
    data = dh.make_demo_data(dh.find_data_dir(), seed=0, n_images=4, novel_share=0.10)
    dh.build_demo_recipes(tmp_path, data, local_models.text_model_dir(), local_models.image_model_dir(),
                          show_progress=False)
    store, recipes = tmp_path / "samples", tmp_path / "recipes"
    srv = dh.VllmServer(["alpha-chat", "beta-chat"], log_path=tmp_path / "server.log",
                        env={"OLVANE_SHIFT_RECIPES": str(recipes), "OLVANE_SHIFT_STORE": str(store),
                             "OLVANE_SHIFT_MAX_RATE": "0", "OLVANE_SHIFT_EXCERPTS": "on"})
    alpha = [(t, None) for t, _ in data.traffic["alpha-chat"]]
    half = len(alpha) // 2
    verdicts = []
    with srv:
        assert srv.wait_ready(), srv.log_tail()
        client = srv.openai_client()
        sent = {"alpha-chat": 0, "beta-chat": 0}
        for part in ({"alpha-chat": alpha[:half]}, {"alpha-chat": alpha[half:], "beta-chat": data.traffic["beta-chat"]}):
            assert dh.send_traffic(srv, client, part).drained, srv.log_tail()
            for m, items in part.items():
                sent[m] += len(items)
            shift = {}
            # A report of everything sent (a refresh within 5 s of the last returns the last).
            wait_until(lambda: shift.update(srv.shift(refresh=True)) or all(
                ((shift.get("window") or {}).get(m) or {}).get("text", {}).get("count") == n
                for m, n in sent.items() if n), timeout=60, interval=1, describe=lambda: shift.get("window"))
            rows = {(r["model"], r["modality"]): r for r in shift["report"]["rows"]}
            verdicts.append(rows[("alpha-chat", "text")]["verdict"])
        ui = srv.get(UI_PATH, timeout=60)
        log = srv.log_tail(100_000)
    assert verdicts[-1] == "novel", (verdicts, rows[("alpha-chat", "text")])
    warned = [ln for ln in log.splitlines() if "is too small to detect a newcomer" in ln]
    assert any("beta-chat" in ln and "text:" in ln for ln in warned), log
    assert not any("alpha-chat" in ln and "text:" in ln for ln in warned), warned
    beta, alpha_text = rows[("beta-chat", "text")], rows[("alpha-chat", "text")]
    assert beta["min_detectable_share"] > 0.05 and "cannot support the tail" in beta["note"]
    assert alpha_text["min_detectable_share"] <= 0.10 and "cannot support" not in alpha_text["note"]

    assert ui.status_code == 200
    served, written = tmp_path / "served.html", tmp_path / "written.html"
    served.write_text(ui.text)
    assert cli_main(["report", "--store", str(store), "--recipes", str(recipes), "--html", str(written)]) == 1
    pages = []
    for page in (served, written):
        dom = chromium(page, "--dump-dom")
        assert console_lines(dom.stderr) == []
        cards = Cards()
        cards.feed(dom.stdout)
        pages.append(cards)
    assert pages[0].cards == pages[1].cards and pages[0].classes == pages[1].classes
    top = pages[0].cards["alpha-chat--text"][0]
    assert top[0] == "0" and top[1], pages[0].cards
    # The newest cluster is the billing group: its card quotes billing questions.
    billing = set(dh.load_texts(dh.find_data_dir(), "novel_billing"))
    card = ui.text.split('data-cluster="0"', 1)[1].split("</div>", 1)[0]
    assert sum(html.escape(t, quote=True) in card for t in billing) >= 2, card
    shot = os.environ.get("OLVANE_SHIFT_UI_SHOT")
    if shot:  # docs/img/shift-ui.png is this page
        chromium(served, f"--screenshot={shot}", "--window-size=1280,1100", "--hide-scrollbars")


#: What the history charts of one row may take, whatever the history (docs/operating.md, the page).
HISTORY_BYTES_PER_ROW = 170_000


@pytest.mark.parametrize("verdicts", ["flapping", "every verdict by turns"])
def test_the_page_stays_small_with_a_full_history(verdicts):
    """10,000 history rows per row (the retention bound): the charts keep to
    their bound, and a single report of another verdict still shows."""
    from olvane_sdk.fast.deployment.ood.report.page import render_page

    names = ["shift", "novel", "drift", "ok", "n/a"]
    pick = (lambda i: ["ok", "novel"][i % 2]) if verdicts == "flapping" else (lambda i: names[(i // 83) % 5])
    history = [{"time": 1.7e9 + 60 * i, "verdict": pick(i), "auc": (i % 7) / 7, "ood_share": (i % 3) / 9,
                "ood_bound": 0.02} for i in range(10_000)]
    if verdicts == "flapping":
        history[5000]["verdict"] = "shift"
    rows = [{"model": f"m{k}", "modality": "text", "verdict": "novel", "n_live": 1000} for k in range(2)]
    empty = render_page({"rows": rows}, now=1.7e9)
    page = render_page({"rows": rows}, {(r["model"], "text"): history for r in rows}, now=1.7e9)
    assert len(page.encode()) - len(empty.encode()) <= 2 * HISTORY_BYTES_PER_ROW
    if verdicts == "flapping":  # the one shift report, in each row's verdict chart
        assert page.count(": shift (1 report)</title>") == 2
    assert page.count("10,000 reports") == 6
