"""Where the integration's records go and what they say: vLLM's own handler
and format in one and in several API-server processes, levels and grouping of
the module's lines, and a console whose memory clients cannot grow."""
from __future__ import annotations

import base64
import json
import logging
import re
import tracemalloc
import types

import pytest

from support import wait_until, write_recipe

LOGGER = "olvane_sdk"


def _restore_module_names(mod, monkeypatch):
    for name in ("print", "traceback", "Progress"):
        monkeypatch.setattr(mod, name, getattr(mod, name))


def _bad_image_message(i: int) -> dict:
    url = "data:image/png;base64," + base64.b64encode(b"not an image %d" % i).decode()
    return {"role": "user", "content": [{"type": "text", "text": "hi"}, {"type": "image_url", "image_url": {"url": url}}]}


@pytest.fixture(scope="module")
def recipes(tmp_path_factory):
    """The demo's recipes, beta-chat's with embeddings that cannot be read."""
    pytest.importorskip("vllm.entrypoints.openai.api_server")
    from olvane_sdk.fast.deployment.ood import demo as dh
    from olvane_sdk.fast.deployment.ood.demo import models as local_models

    work = tmp_path_factory.mktemp("logging-recipes")
    data = dh.make_demo_data(dh.find_data_dir(), seed=0, n_images=4)
    dh.build_demo_recipes(work, data, local_models.tiny_text_model_dir(work / "tiny-text"),
                          local_models.image_model_dir(), show_progress=False)
    for npz in (work / "recipes" / "beta-chat" / "data" / "distribution" / "train").glob("*.npz"):
        npz.write_bytes(b"not a zip archive")
    return work / "recipes"


@pytest.mark.parametrize("api_servers, config", [(1, None), (2, "custom")])
def test_records_go_through_vllms_handler_and_format(recipes, tmp_path, api_servers, config):
    """A failed recipe, recipe settings and undecodable client images, logged
    by every API-server process through the handler vLLM configured (its
    default one, or one from VLLM_LOGGING_CONFIG_PATH), each record placed
    where it comes from; no third-party INFO lines, no progress bar."""
    from olvane_sdk.fast.deployment.ood import demo as dh

    work = tmp_path
    env = {"OLVANE_SHIFT_RECIPES": str(recipes), "OLVANE_SHIFT_MAX_RATE": "0",
           "VLLM_LOGGING_CONFIG_PATH": None, "VLLM_CONFIGURE_LOGGING": None, "VLLM_LOGGING_LEVEL": None}
    line = re.compile(r"(INFO|WARNING|ERROR) \d\d-\d\d [\d:]{8} \[([^\]:]+):(\d+)\] (.*)")
    if config:
        fmt = "CUSTOM|%(levelname)s|%(filename)s|%(lineno)d|%(message)s"
        (work / "logging.json").write_text(json.dumps({
            "version": 1, "disable_existing_loggers": False,
            "formatters": {"f": {"format": fmt}},
            "handlers": {"h": {"class": "logging.StreamHandler", "formatter": "f", "stream": "ext://sys.stdout"}},
            "loggers": {"vllm": {"handlers": ["h"], "level": "INFO", "propagate": False}}}))
        env["VLLM_LOGGING_CONFIG_PATH"] = str(work / "logging.json")
        line = re.compile(r"CUSTOM\|(\w+)\|([^|]+)\|(\d+)\|(.*)")
    srv = dh.VllmServer(["alpha-chat", "beta-chat"], log_path=work / "server.log", env=env,
                        extra_args=["--api-server-count", str(api_servers)])
    with srv:
        assert srv.wait_ready(), srv.log_tail()
        # /v1/shift answers from one process: the log tells when every one has loaded.
        wait_until(lambda: srv.log_tail(1 << 20).count("recipes loaded") == api_servers, 120)
        client = srv.openai_client()
        for i in range(12):
            client.chat.completions.create(model="alpha-chat", messages=[_bad_image_message(i)])
        wait_until(lambda: srv.log_tail(1 << 20).count("Error processing image: ") >= 3, 60)
    text = re.sub(r"\x1b\[[0-9;]*m", "", srv.log_path.read_text(errors="replace"))
    records = [m.groups() for m in map(line.search, text.splitlines()) if m]
    ours = [(lv, place, msg) for lv, place, _, msg in records
            if place.startswith("interceptor.") or place in ("collector.py", "handover.py", "asgi.py")]

    settings = [r for r in ours if r[2].startswith("recipe alpha-chat: ")]
    assert [(lv, place) for lv, place, _ in settings] == [("INFO", "interceptor.recipe")] * 3 * api_servers, text
    loaded = [r for r in ours if "recipes loaded" in r[2]]
    assert [(lv, place) for lv, place, _ in loaded] == [("ERROR", "collector.py")] * api_servers, text
    assert all(m.endswith(": alpha-chat; failed: beta-chat (see the errors above; their requests are not "
                          "collected)") for _, _, m in loaded), loaded
    assert sum("Error loading embeddings for beta-chat" in m for _, _, m in ours) == api_servers
    images = [(lv, place) for lv, place, m in ours if "Error processing image: " in m]
    # Grouped by kind (the texts carry distinct addresses): 3 per process, then held back.
    assert images and set(images) == {("WARNING", "interceptor.image")} and len(images) <= 3 * api_servers, text
    assert "PIL.UnidentifiedImageError" not in text  # the client's traceback is DEBUG
    for unwanted in ("host.py", "━", "Configuring shift detection", "SentenceTransformer", "No device provided"):
        assert unwanted not in text, unwanted
    mine = ("olvane shift", "interceptor", "recipe alpha-chat", "Error ")
    assert all(line.search(ln) for ln in text.splitlines() if any(s in ln for s in mine)), text


def test_levels_grouping_and_tracebacks(mod, handler, fake_models, tmp_path, monkeypatch, caplog, real_pillow):
    """Recipe settings are INFO records naming the served model; a failed
    recipe is an ERROR with its traceback; undecodable images are WARNINGs
    grouped by kind although each text has its own address, with their
    tracebacks at DEBUG; no progress display is drawn."""
    from olvane_sdk.fast.deployment.ood.host import install_logging_console, wait_drained

    _restore_module_names(mod, monkeypatch)
    clock = types.SimpleNamespace(t=0.0)
    console = install_logging_console(mod, interval=10, burst=3, clock=lambda: clock.t)
    write_recipe(tmp_path, "alpha", text_model="text-model", image_model="image-model")
    bad = write_recipe(tmp_path, "beta", config="{not json")
    caplog.set_level(logging.DEBUG, logger=LOGGER)
    handler.init_models({"alpha": str(tmp_path / "alpha"), "beta": str(bad)})
    recipe = [(r.levelname, r.filename, r.getMessage(), r.exc_info is not None) for r in caplog.records]
    assert recipe[0][:2] == ("ERROR", "interceptor.recipe") and recipe[0][2].startswith("Error loading config for beta")
    assert recipe[1][0] == "ERROR" and recipe[1][3]
    assert recipe[2:] == [("INFO", "interceptor.recipe", f"recipe alpha: {k}", False)
                          for k in ("Text: text-model", "Image: image-model", "Text Prefix: query:")]
    caplog.clear()
    for i in range(5):
        handler.handle_chat_completion_request(types.SimpleNamespace(model="alpha", messages=[_bad_image_message(i)]))
        assert wait_drained(handler, 10)
    clock.t += 11
    assert console.flush() == 2  # the images' group and the stored lines' group
    got = [(r.levelname, r.filename, r.getMessage()[:24]) for r in caplog.records if r.filename != "interceptor.stored"]
    head = ("WARNING", "interceptor.image", "Error processing image: ")
    assert got == [head, ("DEBUG", "interceptor.image", "traceback")] * 3 + [
        ("WARNING", "interceptor.image", "2 more lines like this o")]
    assert console.counts["image"] == 5 and console.counts["recipe"] == 5  # an error, a summary of four lines


def test_console_memory_is_bounded_by_bytes(mod, handler, fake_models, tmp_path, monkeypatch, caplog):
    """Every request naming its own 1 MB model leaves a line on the console;
    what stays resident is bounded by the cache's bytes, not by a count of
    lines, and the record keeps a prefix of the value and its length."""
    from olvane_sdk.fast.deployment.ood.host import install_logging_console, wait_drained

    _restore_module_names(mod, monkeypatch)
    clock = types.SimpleNamespace(t=0.0)
    console = install_logging_console(mod, max_cache_bytes=256 * 1024, clock=lambda: clock.t)
    write_recipe(tmp_path, "alpha")
    handler.init_models({"alpha": str(tmp_path / "alpha")})
    caplog.set_level(logging.WARNING, logger=LOGGER)
    names = [f"{i:04d}" + "m" * (1 << 20) for i in range(40)]
    message = [{"role": "user", "content": "hello"}]

    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        for name in names:
            handler.handle_chat_completion_request(types.SimpleNamespace(model=name, messages=message))
            assert wait_drained(handler, 10)
            caplog.clear()  # the records themselves are the test's, not the console's
        grown = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    assert console.counts["notice"] == 40
    assert grown < 2 * (1 << 20), grown  # 40 lines of 1 MB: ~80 MB when lines were cached by count
    assert console.cache_bytes <= 256 * 1024 + 64 * 1024
    clock.t += 11
    handler.handle_chat_completion_request(types.SimpleNamespace(model="x" * 5000, messages=message))
    assert wait_drained(handler, 10)
    [rec] = [r.getMessage() for r in caplog.records if r.getMessage().startswith("Shift")]
    assert rec.startswith("Shift detection skipped for model xxx") and rec.endswith("… (5000 characters in all)")
    assert len(rec) < 600
