"""Where the integration's records go and what they say: vLLM's handler and
format in one and several API-server processes, levels and grouping of the
module's lines, and a console whose memory clients cannot grow."""
from __future__ import annotations

import base64
import json
import logging
import re
import tracemalloc
import types

import pytest

from support import wait_until, write_recipe
import tiny_models


def _bad_image(i: int) -> list:
    url = "data:image/png;base64," + base64.b64encode(b"not an image %d" % i).decode()
    return [{"role": "user", "content": [
        {"type": "text", "text": "hi"}, {"type": "image_url", "image_url": {"url": url}}]}]


@pytest.mark.parametrize("api_servers, custom", [(1, False), (2, True)])
def test_records_go_through_vllms_handler_and_format(tmp_path_factory, api_servers, custom):
    """Every API-server process logs through the handler vLLM configured (its
    default, or VLLM_LOGGING_CONFIG_PATH's), each record placed where it comes
    from; no third-party INFO lines, no progress bar, client images grouped."""
    pytest.importorskip("vllm.entrypoints.openai.api_server")
    from olvane_sdk.fast.deployment.ood import demo as dh
    from olvane_sdk.fast.deployment.ood.demo import models as local_models

    work = tmp_path_factory.mktemp("logging")
    data = dh.make_demo_data(dh.find_data_dir(), seed=0, n_images=4)
    dh.build_demo_recipes(work, data, tiny_models.tiny_text_model_dir(work.parent / "tiny-text"),
                          local_models.image_model_dir(), show_progress=False)
    for npz in (work / "recipes" / "beta-chat" / "data" / "distribution" / "train").glob("*.npz"):
        npz.write_bytes(b"not a zip archive")
    env = {"OLVANE_SHIFT_RECIPES": str(work / "recipes"), "OLVANE_SHIFT_MAX_RATE": "0",
           "VLLM_LOGGING_CONFIG_PATH": None, "VLLM_CONFIGURE_LOGGING": None, "VLLM_LOGGING_LEVEL": None}
    line = re.compile(r"(INFO|WARNING|ERROR) \d\d-\d\d [\d:]{8} \[([^\]:]+):\d+\] (.*)")
    if custom:
        (work / "logging.json").write_text(json.dumps({
            "version": 1, "disable_existing_loggers": False,
            "formatters": {"f": {"format": "CUSTOM|%(levelname)s|%(filename)s|%(message)s"}},
            "handlers": {"h": {"class": "logging.StreamHandler", "formatter": "f", "stream": "ext://sys.stdout"}},
            "loggers": {"vllm": {"handlers": ["h"], "level": "INFO", "propagate": False}}}))
        env["VLLM_LOGGING_CONFIG_PATH"] = str(work / "logging.json")
        line = re.compile(r"CUSTOM\|(\w+)\|([^|]+)\|(.*)")
    srv = dh.VllmServer(["alpha-chat", "beta-chat"], log_path=work / "server.log", env=env,
                        extra_args=["--api-server-count", str(api_servers)])
    with srv:
        assert srv.wait_ready(), srv.log_tail()
        # /v1/shift answers from one process: the log tells when every one has loaded.
        wait_until(lambda: srv.log_tail(1 << 20).count("recipes loaded") == api_servers, 120)
        client = srv.openai_client()
        for i in range(12):
            client.chat.completions.create(model="alpha-chat", messages=_bad_image(i))
        wait_until(lambda: srv.log_tail(1 << 20).count("Error processing image: ") >= 3, 60)
    text = re.sub(r"\x1b\[[0-9;]*m", "", srv.log_path.read_text(errors="replace"))
    ours = [m.groups() for m in map(line.search, text.splitlines())
            if m and (m[2].startswith("interceptor.") or m[2] == "collector.py")]
    # Several API servers share the log: each of our lines says its process.
    assert all(r[2].startswith("pid ") == (api_servers > 1) for r in ours), ours
    ours = [(*r[:2], re.sub(r"^pid \d+: ", "", r[2]), *r[3:]) for r in ours]
    assert [r[:2] for r in ours if r[2].startswith("recipe alpha-chat: ")] == [
        ("INFO", "interceptor.recipe")] * 3 * api_servers, text
    loaded = [r for r in ours if "recipes loaded" in r[2]]
    assert {r[:2] for r in loaded} == {("ERROR", "collector.py")} and len(loaded) == api_servers
    assert all(r[2].endswith(": alpha-chat; failed: beta-chat (see the errors above; their requests are not "
                             "collected)") for r in loaded), loaded
    images = [r[:2] for r in ours if r[2].startswith("Error processing image: ")]
    # Grouped by kind although each text has its own address: 3 per process, then held back.
    assert {*images} == {("WARNING", "interceptor.image")} and len(images) <= 3 * api_servers, text
    for unwanted in ("UnidentifiedImageError", "host.py", "━", "Configuring shift", "SentenceTransformer", "device"):
        assert unwanted not in text, unwanted
    assert all(line.search(ln) for ln in text.splitlines() if "olvane shift" in ln or "interceptor." in ln)


@pytest.fixture
def logging_console(mod, handler, fake_models, tmp_path, monkeypatch):
    from olvane_sdk.fast.deployment.ood.host import install_logging_console

    for name in ("print", "traceback", "Progress"):
        monkeypatch.setattr(mod, name, getattr(mod, name))
    clock = types.SimpleNamespace(t=0.0)
    console = install_logging_console(mod, clock=lambda: clock.t, max_cache_bytes=256 * 1024)
    write_recipe(tmp_path, "alpha")
    return console, clock, {"alpha": str(tmp_path / "alpha"), "beta": str(write_recipe(tmp_path, "beta", config="{"))}


def _request(handler, model, messages):
    from olvane_sdk.fast.deployment.ood.host import wait_drained

    handler.handle_chat_completion_request(types.SimpleNamespace(model=model, messages=messages))
    assert wait_drained(handler, 10)


def test_levels_grouping_and_tracebacks(handler, logging_console, caplog, real_pillow):
    """Recipe settings are INFO records naming the model; a failed recipe is an
    ERROR with its traceback; undecodable images are WARNINGs grouped by kind,
    their tracebacks DEBUG."""
    console, clock, recipes = logging_console
    caplog.set_level(logging.DEBUG, logger="olvane_sdk")
    handler.init_models(recipes)
    for i in range(5):
        _request(handler, "alpha", _bad_image(i))
    clock.t += 11
    assert console.flush() == 2  # the images' group and the stored lines' group
    got = [(r.levelname, r.filename, r.getMessage()[:40], r.exc_info is not None) for r in caplog.records
           if r.filename != "interceptor.stored"]
    image = ("WARNING", "interceptor.image", "Error processing image: cannot identify ", False)
    tb = ("DEBUG", "interceptor.image", "traceback", True)
    assert got == [("ERROR", "interceptor.recipe", "Error loading config for beta: Expecting", False),
                   ("ERROR", "interceptor.recipe", "traceback", True),
                   *[("INFO", "interceptor.recipe", f"recipe alpha: {s}", False)
                     for s in ("Text: text-model", "Image: image-model", "Text Prefix: query:")],
                   image, tb, image, tb, image, tb,
                   ("WARNING", "interceptor.image", "2 more lines like these in the last 11 s", False)]


def test_console_memory_is_bounded_by_bytes(handler, logging_console, caplog):
    """A distinct 1 MB model name per request leaves a line each: what stays
    resident is bounded by bytes, and the record keeps a prefix and the length."""
    console, clock, recipes = logging_console
    handler.init_models({"alpha": recipes["alpha"]})
    caplog.set_level(logging.WARNING, logger="olvane_sdk")
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        for i in range(40):
            _request(handler, f"{i:04d}" + "m" * (1 << 20), [{"role": "user", "content": "hello"}])
            caplog.clear()  # the records are the test's, not the console's
        grown = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    assert console.counts["notice"] == 40 and console.cache_bytes <= 320 * 1024
    assert grown < 2 << 20, grown  # ~80 MB when lines were cached by count
    clock.t += 11
    _request(handler, "x" * 5000, [{"role": "user", "content": "hello"}])
    [rec] = [r.getMessage() for r in caplog.records if r.getMessage().startswith("Shift")]
    assert rec == "Shift detection skipped for model " + "x" * 500 + "… (5000 characters in all)"
