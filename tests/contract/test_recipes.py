"""init_models: recipe directories, model loading, the published maps, the
summary and every failure path."""
from __future__ import annotations

import builtins
import json
import os
import types

import numpy as np
import pytest

from support import HANDLER_ATTRIBUTES as ATTRIBUTES, write_recipe

TITLE = "[green]Configuring shift detection..."


def summary(model, text, image, prefix="query: "):
    return [
        f"  [green]{model}:[/green]",
        f"    [yellow]Text:[/yellow] {text}",
        f"    [yellow]Image:[/yellow] {image}",
        f"    [yellow]Text Prefix:[/yellow] {prefix}",
    ]


def arrays(seed, text=True, image=True, text_roles=True, image_roles=True):
    """Train and test members with known content."""
    rng = np.random.default_rng(seed)
    train, test = {}, {}
    if text:
        train["text_embeddings"] = rng.standard_normal((4, 3))
        test["text_embeddings"] = rng.standard_normal((2, 3))
        if text_roles:
            train["text_roles"] = np.array(["user", "assistant", "user", "system"])
    if image:
        train["image_embeddings"] = rng.standard_normal((3, 3))
        test["image_embeddings"] = rng.standard_normal((1, 3))
        if image_roles:
            train["image_roles"] = np.array(["user", "user", "user"])
    return train, test


def snapshot(handler):
    return {name: getattr(handler, name) for name in [*ATTRIBUTES, "text_prefixes"] if hasattr(handler, name)}


def assert_unchanged(handler, before):
    assert snapshot(handler).keys() == before.keys()
    for name, value in before.items():
        assert getattr(handler, name) is value, name


def report(console, index=0):
    """The (line, exception) of the index-th report: a print followed at once
    by print_exc, whose recorded exception is the one being handled."""
    events = console.events
    reports = [
        (events[i][1], events[i + 1][1])
        for i in range(len(events) - 1)
        if events[i][0] == "print" and events[i + 1][0] == "traceback"
    ]
    return reports[index]


def updates(progress):
    return progress.updates


def advanced(progress, n):
    return [((progress.task_id,), {"advance": 1})] * n


class OpenRecorder:
    """Stands in for the built-in `open` in the module's namespace."""

    def __init__(self, log):
        self.log = log
        self.files = []

    def __call__(self, *args, **kwargs):
        self.log.append(("open", args, kwargs))
        f = builtins.open(*args, **kwargs)
        self.files.append(f)
        return f


@pytest.fixture
def file_log(mod, monkeypatch):
    """Records open() and np.load() calls made by the module, in order."""
    log = []
    opener = OpenRecorder(log)
    monkeypatch.setattr(mod, "open", opener, raising=False)

    def load(*args, **kwargs):
        log.append(("np.load", args, kwargs))
        return np.load(*args, **kwargs)

    monkeypatch.setattr(mod, "np", types.SimpleNamespace(load=load))
    return types.SimpleNamespace(log=log, files=opener.files)


# --------------------------------------------------------------------------
# the successful path
# --------------------------------------------------------------------------


def test_two_recipes_build_and_publish_the_maps(handler, console, fake_models, progress_recorder, recipe_root):
    train1, test1 = arrays(1)
    train2, test2 = arrays(2)
    r1 = write_recipe(recipe_root, "r1", text_model="t1", image_model="i1", train=train1, test=test1)
    r2 = write_recipe(
        recipe_root,
        "r2",
        config={"embeddings": {"text_model_name": "t2", "image_model_name": "i2", "text_prefix": "passage: "}},
        train=train2,
        test=test2,
    )
    old_indices = handler.embedding_indices
    handler.live_embeddings["seen"] = {"text": {"live": [[1]]}, "image": {"live": []}}
    live = handler.live_embeddings

    assert handler.init_models({"m1": str(r1), "m2": str(r2)}) is None

    assert fake_models.calls == [
        (("t1",), {"backend": "onnx"}),
        (("i1",), {"backend": "onnx"}),
        (("t2",), {"backend": "onnx"}),
        (("i2",), {"backend": "onnx"}),
    ]
    assert list(handler.embedding_models) == ["t1", "i1", "t2", "i2"]
    for name, model in handler.embedding_models.items():
        assert model is fake_models.made[name]
    assert handler.vllm_to_embedding_model_map == {
        "m1": {"text": "t1", "image": "i1"},
        "m2": {"text": "t2", "image": "i2"},
    }
    assert list(handler.vllm_to_embedding_model_map) == ["m1", "m2"]
    assert all(list(v) == ["text", "image"] for v in handler.vllm_to_embedding_model_map.values())
    assert handler.text_prefixes == {"m1": "query: ", "m2": "passage: "}
    assert list(handler.train_test_embeddings) == ["m1", "m2"]
    for k, train, test in (("m1", train1, test1), ("m2", train2, test2)):
        entry = handler.train_test_embeddings[k]
        assert list(entry) == ["text", "image"]
        for modality in ("text", "image"):
            assert list(entry[modality]) == ["train", "train_roles", "test"]
            np.testing.assert_array_equal(entry[modality]["train"], train[f"{modality}_embeddings"])
            np.testing.assert_array_equal(entry[modality]["train_roles"], train[f"{modality}_roles"])
            np.testing.assert_array_equal(entry[modality]["test"], test[f"{modality}_embeddings"])
            assert isinstance(entry[modality]["train"], np.ndarray)
    assert handler.embedding_indices == {} and handler.embedding_indices is not old_indices
    assert handler.live_embeddings is live and live["seen"]["text"]["live"] == [[1]]

    assert console.lines == summary("m1", "t1", "i1") + summary("m2", "t2", "i2", "passage: ")
    assert console.tracebacks == []
    assert progress_recorder.created == [((), {})]
    assert progress_recorder.entered == 1
    assert progress_recorder.tasks == [((TITLE,), {"total": 2})]
    assert updates(progress_recorder) == advanced(progress_recorder, 2)
    assert progress_recorder.exits == [(None, None, None)]


def test_files_are_read_at_the_recipe_layout_paths(handler, console, fake_models, progress_recorder, recipe_root, file_log):
    r1 = write_recipe(recipe_root, "r1")
    d = str(r1)
    handler.init_models({"m1": d})
    dist = os.path.join(d, "data", "distribution")
    assert file_log.log == [
        ("open", (os.path.join(dist, "test_config.json"),), {}),
        ("np.load", (os.path.join(dist, "train", "embeddings.npz"),), {}),
        ("np.load", (os.path.join(dist, "test", "embeddings.npz"),), {}),
    ]
    assert len(file_log.files) == 1 and file_log.files[0].closed
    assert console.tracebacks == []


def test_directory_value_may_be_a_path_object(handler, console, fake_models, progress_recorder, recipe_root):
    r1 = write_recipe(recipe_root, "r1")
    handler.init_models({"m1": r1})
    assert list(handler.train_test_embeddings["m1"]) == ["text", "image"]
    assert console.tracebacks == []


def test_recipe_paths_is_used_through_keys_iteration_and_lookup(
    handler, console, fake_models, progress_recorder, recipe_root
):
    r1 = write_recipe(recipe_root, "r1", text_model="t1", image_model="i1")
    r2 = write_recipe(recipe_root, "r2", text_model="t2", image_model="i2")

    class Paths:
        def __init__(self):
            self.used = []

        def keys(self):
            self.used.append("keys")
            return {"a": 1, "b": 2, "c": 3}.keys()

        def __iter__(self):
            self.used.append("iter")
            return iter(["m2", "m1"])

        def __getitem__(self, k):
            self.used.append(("item", k))
            return str({"m1": r1, "m2": r2}[k])

    paths = Paths()
    handler.init_models(paths)
    assert paths.used == ["keys", "iter", ("item", "m2"), ("item", "m1")]
    assert progress_recorder.tasks == [((TITLE,), {"total": 3})]
    assert list(handler.vllm_to_embedding_model_map) == ["m2", "m1"]
    assert console.lines == summary("m2", "t2", "i2") + summary("m1", "t1", "i1")


@pytest.mark.parametrize(
    "embeddings, shown",
    [
        ({"text_model_name": "t", "image_model_name": "i"}, ("t", "i", "query: ")),
        ({"text_model_name": "t", "image_model_name": "i", "text_prefix": "search_query: "}, ("t", "i", "search_query: ")),
        ({"text_model_name": "t", "image_model_name": "i", "text_prefix": ""}, ("t", "i", "")),
        ({"text_model_name": "t", "image_model_name": None}, ("t", "None", "query: ")),
        ({"text_model_name": None, "image_model_name": None, "extra": 1}, ("None", "None", "query: ")),
    ],
    ids=["default prefix", "prefix", "empty prefix", "null image", "both null"],
)
def test_summary_and_recorded_configuration(handler, console, fake_models, progress_recorder, recipe_root, embeddings, shown):
    train, test = arrays(3, image=False, text=embeddings["text_model_name"] is not None)
    r = write_recipe(recipe_root, "r", config={"embeddings": embeddings, "ignored": True}, train=train, test=test)
    handler.init_models({"m": str(r)})
    assert handler.vllm_to_embedding_model_map == {
        "m": {"text": embeddings["text_model_name"], "image": embeddings["image_model_name"]}
    }
    assert handler.text_prefixes == {"m": embeddings.get("text_prefix", "query: ")}
    assert console.lines == summary("m", *shown)
    assert console.tracebacks == []


def test_null_image_model_without_image_members_loads_no_image_model(
    handler, console, fake_models, progress_recorder, recipe_root
):
    train, test = arrays(4, image=False)
    r = write_recipe(
        recipe_root, "r", config={"embeddings": {"text_model_name": "t", "image_model_name": None}}, train=train, test=test
    )
    handler.init_models({"m": str(r)})
    assert fake_models.loaded_names == ["t"]
    assert list(handler.embedding_models) == ["t"]
    assert handler.vllm_to_embedding_model_map["m"] == {"text": "t", "image": None}
    assert list(handler.train_test_embeddings["m"]) == ["text"]
    assert console.lines[2] == "    [yellow]Image:[/yellow] None"


def test_empty_recipe_paths(handler, console, fake_models, progress_recorder):
    handler.embedding_indices["gone"] = {"text": 3, "image": 0}
    handler.live_embeddings["kept"] = {"text": {"live": [[1]]}, "image": {"live": []}}
    before = snapshot(handler)
    assert not hasattr(handler, "text_prefixes")
    assert handler.init_models({}) is None
    for name in ("embedding_models", "train_test_embeddings", "vllm_to_embedding_model_map", "embedding_indices"):
        assert type(getattr(handler, name)) is dict and getattr(handler, name) == {}
        assert getattr(handler, name) is not before[name], name
    assert type(handler.text_prefixes) is dict and handler.text_prefixes == {}
    for name in ("live_embeddings", "MAX_EMBEDDINGS", "live_messages_queue", "embedding_lock", "embedding_thread"):
        assert getattr(handler, name) is before[name], name
    assert handler.live_embeddings == {"kept": {"text": {"live": [[1]]}, "image": {"live": []}}}
    assert progress_recorder.tasks == [((TITLE,), {"total": 0})]
    assert progress_recorder.updates == []
    assert progress_recorder.exits == [(None, None, None)]
    assert console.events == []
    assert fake_models.calls == []


def test_maps_are_published_whole_in_order(mod, handler, console, fake_models, progress_recorder, recipe_root):
    r = write_recipe(recipe_root, "r")
    assigned = []

    class Watched(mod.ShiftDetectionRequestHandler):
        def __setattr__(self, name, value):
            assigned.append((name, dict(value) if isinstance(value, dict) else value))
            object.__setattr__(self, name, value)

    watched = Watched()
    assigned.clear()
    watched.init_models({"m": str(r)})
    names = [name for name, _ in assigned]
    assert names == [
        "embedding_models",
        "train_test_embeddings",
        "vllm_to_embedding_model_map",
        "text_prefixes",
        "embedding_indices",
    ]
    # Every map was complete when it was assigned.
    assert list(assigned[0][1]) == ["text-model", "image-model"]
    assert list(assigned[1][1]) == ["m"]
    assert assigned[2][1] == {"m": {"text": "text-model", "image": "image-model"}}
    assert assigned[3][1] == {"m": "query: "}
    assert assigned[4][1] == {}


# --------------------------------------------------------------------------
# model sharing and the model check
# --------------------------------------------------------------------------


def test_model_shared_by_two_recipes_is_loaded_once(handler, console, fake_models, progress_recorder, recipe_root):
    r1 = write_recipe(recipe_root, "r1", text_model="shared", image_model="i1")
    r2 = write_recipe(recipe_root, "r2", text_model="shared", image_model="i2")
    handler.init_models({"m1": str(r1), "m2": str(r2)})
    assert fake_models.calls == [
        (("shared",), {"backend": "onnx"}),
        (("i1",), {"backend": "onnx"}),
        (("i2",), {"backend": "onnx"}),
    ]
    assert handler.embedding_models["shared"] is fake_models.made["shared"]
    assert handler.vllm_to_embedding_model_map["m1"]["text"] == handler.vllm_to_embedding_model_map["m2"]["text"] == "shared"
    assert console.tracebacks == []


def test_same_name_for_text_and_image_is_loaded_once_in_the_text_stage(
    handler, console, fake_models, progress_recorder, recipe_root
):
    r = write_recipe(recipe_root, "r", text_model="clip", image_model="clip")
    handler.init_models({"m": str(r)})
    assert fake_models.calls == [(("clip",), {"backend": "onnx"})]
    assert handler.embedding_models == {"clip": fake_models.made["clip"]}
    assert list(handler.train_test_embeddings["m"]) == ["text", "image"]


def test_same_name_is_loaded_by_the_image_stage_when_the_text_stage_failed_first(
    handler, console, fake_models, progress_recorder, recipe_root
):
    train, test = arrays(5, text_roles=False)
    r = write_recipe(recipe_root, "r", text_model="clip", image_model="clip", train=train, test=test)
    handler.init_models({"m": str(r)})
    assert fake_models.calls == [(("clip",), {"backend": "onnx"})]
    assert list(handler.train_test_embeddings["m"]) == ["image"]
    line, exc = report(console)
    assert isinstance(exc, KeyError)
    assert line == f"[red]Error processing text embeddings for m:[/red] {exc}"


@pytest.mark.parametrize(
    "members, loaded, entry",
    [
        (dict(text=True, image=False), ["t"], ["text"]),
        (dict(text=False, image=True), ["i"], ["image"]),
        (dict(text=False, image=False), [], []),
    ],
    ids=["text only", "image only", "neither"],
)
def test_only_modalities_in_the_train_archive_load_models(
    handler, console, fake_models, progress_recorder, recipe_root, members, loaded, entry
):
    train, test = arrays(6, **members)
    train.setdefault("unrelated", np.zeros(2))
    r = write_recipe(recipe_root, "r", text_model="t", image_model="i", train=train, test=test)
    handler.init_models({"m": str(r)})
    assert fake_models.loaded_names == loaded
    assert list(handler.embedding_models) == loaded
    assert list(handler.train_test_embeddings["m"]) == entry
    assert handler.vllm_to_embedding_model_map["m"] == {"text": "t", "image": "i"}
    assert updates(progress_recorder) == advanced(progress_recorder, 1)
    assert console.tracebacks == []


def test_test_archive_is_never_tested_for_membership(handler, console, fake_models, progress_recorder, recipe_root):
    # The test archive has image members, the train archive none: no image entry.
    train, _ = arrays(7, image=False)
    _, test = arrays(7)
    r = write_recipe(recipe_root, "r", text_model="t", image_model="i", train=train, test=test)
    handler.init_models({"m": str(r)})
    assert list(handler.train_test_embeddings["m"]) == ["text"]
    assert fake_models.loaded_names == ["t"]


# --------------------------------------------------------------------------
# stage failures
# --------------------------------------------------------------------------


CONFIG_FAILURES = [
    ("missing file", False, FileNotFoundError, None),
    ("invalid json", "{not json", json.JSONDecodeError, None),
    ("no embeddings", {"model": {"text_model_name": "t"}}, KeyError, "'embeddings'"),
    ("no text model", {"embeddings": {"image_model_name": "i"}}, KeyError, "'text_model_name'"),
    ("no image model", {"embeddings": {"text_model_name": "t"}}, KeyError, "'image_model_name'"),
    ("top level a list", [1, 2], TypeError, None),
    ("embeddings a string", {"embeddings": "names"}, TypeError, None),
]


@pytest.mark.parametrize("config, exc_type, text", [c[1:] for c in CONFIG_FAILURES], ids=[c[0] for c in CONFIG_FAILURES])
def test_config_failure_skips_the_recipe(
    handler, console, fake_models, progress_recorder, recipe_root, file_log, config, exc_type, text
):
    bad = write_recipe(recipe_root, "bad", config=config, text_model="bt", image_model="bi")
    good = write_recipe(recipe_root, "good", text_model="gt", image_model="gi")
    assert handler.init_models({"bad": str(bad), "good": str(good)}) is None

    line, exc = report(console)
    assert type(exc) is exc_type
    if text is not None:
        assert str(exc) == text
    if exc_type is FileNotFoundError:
        assert exc.filename == os.path.join(str(bad), "data", "distribution", "test_config.json")
    assert line == f"[red]Error loading config for bad:[/red] {exc}"
    assert console.kinds() == ["print", "traceback"] + ["print"] * 4
    assert console.lines[1:] == summary("good", "gt", "gi")
    for name in ("vllm_to_embedding_model_map", "text_prefixes", "train_test_embeddings"):
        assert list(getattr(handler, name)) == ["good"], name
    assert fake_models.loaded_names == ["gt", "gi"]
    assert progress_recorder.tasks == [((TITLE,), {"total": 2})]
    assert updates(progress_recorder) == advanced(progress_recorder, 1)
    assert all(f.closed for f in file_log.files)
    assert not any(entry[0] == "np.load" and str(bad) in entry[1][0] for entry in file_log.log)


def _no_train(root):
    train, test = arrays(8)
    return write_recipe(root, "bad", text_model="bt", image_model="bi", train=False, test=test)


def _no_test(root):
    train, test = arrays(8)
    return write_recipe(root, "bad", text_model="bt", image_model="bi", train=train, test=False)


def _corrupt_train(root):
    r = _no_train(root)
    (r / "data" / "distribution" / "train" / "embeddings.npz").write_bytes(b"not an archive at all")
    return r


@pytest.mark.parametrize("make_bad", [_no_train, _no_test, _corrupt_train], ids=["no train", "no test", "corrupt train"])
def test_archive_failure_keeps_config_entries_only(handler, console, fake_models, progress_recorder, recipe_root, make_bad):
    bad = make_bad(recipe_root)
    good = write_recipe(recipe_root, "good", text_model="gt", image_model="gi")
    handler.init_models({"bad": str(bad), "good": str(good)})

    line, exc = report(console)
    assert isinstance(exc, Exception)
    assert line == f"[red]Error loading embeddings for bad:[/red] {exc}"
    if make_bad is not _corrupt_train:
        assert isinstance(exc, FileNotFoundError)
    assert console.kinds() == ["print", "traceback"] + ["print"] * 8
    assert console.lines[1:] == summary("bad", "bt", "bi") + summary("good", "gt", "gi")
    assert handler.vllm_to_embedding_model_map["bad"] == {"text": "bt", "image": "bi"}
    assert handler.text_prefixes["bad"] == "query: "
    assert list(handler.train_test_embeddings) == ["good"]
    assert fake_models.loaded_names == ["gt", "gi"]
    assert updates(progress_recorder) == advanced(progress_recorder, 1)


STAGE_FAILURES = [
    # id, arrays() options, test members to drop, models that fail, stage, loaded, entry
    ("text: no test member", {}, ["text_embeddings"], (), "text", ["t", "i"], ["image"]),
    ("text: no roles", {"text_roles": False}, [], (), "text", ["i"], ["image"]),
    ("text: model fails", {}, [], ("t",), "text", ["i"], ["image"]),
    ("image: no test member", {}, ["image_embeddings"], (), "image", ["t", "i"], ["text"]),
    ("image: no roles", {"image_roles": False}, [], (), "image", ["t", "i"], ["text"]),
    ("image: model fails", {}, [], ("i",), "image", ["t"], ["text"]),
]


@pytest.mark.parametrize(
    "options, drop, fail_for, stage, loaded, entry",
    [s[1:] for s in STAGE_FAILURES],
    ids=[s[0] for s in STAGE_FAILURES],
)
def test_modality_stage_failure(
    handler, console, fake_models, progress_recorder, recipe_root, options, drop, fail_for, stage, loaded, entry
):
    fake_models.fail_for = set(fail_for)
    train, test = arrays(9, **options)
    for member in drop:
        del test[member]
    r = write_recipe(recipe_root, "r", text_model="t", image_model="i", train=train, test=test)
    handler.init_models({"m": str(r)})

    line, exc = report(console)
    assert line == f"[red]Error processing {stage} embeddings for m:[/red] {exc}"
    if fail_for:
        assert type(exc) is OSError and str(exc) == f"cannot load {fail_for[0]}"
    else:
        assert isinstance(exc, KeyError)
    assert console.kinds() == ["print", "traceback"] + ["print"] * 4
    assert console.lines[1:] == summary("m", "t", "i")
    assert list(handler.embedding_models) == loaded
    assert list(handler.train_test_embeddings["m"]) == entry
    assert handler.vllm_to_embedding_model_map["m"] == {"text": "t", "image": "i"}
    assert updates(progress_recorder) == advanced(progress_recorder, 1)
    assert handler.embedding_indices == {}


def test_both_modality_stages_failing_still_advance(handler, console, fake_models, progress_recorder, recipe_root):
    fake_models.fail_for = {"t", "i"}
    r = write_recipe(recipe_root, "r", text_model="t", image_model="i")
    handler.init_models({"m": str(r)})
    text_line, text_exc = report(console, 0)
    image_line, image_exc = report(console, 1)
    assert text_line == "[red]Error processing text embeddings for m:[/red] cannot load t"
    assert image_line == "[red]Error processing image embeddings for m:[/red] cannot load i"
    assert str(text_exc) == "cannot load t" and str(image_exc) == "cannot load i"
    assert handler.train_test_embeddings == {"m": {}}
    assert handler.embedding_models == {}
    assert updates(progress_recorder) == advanced(progress_recorder, 1)


# --------------------------------------------------------------------------
# failures outside the stages
# --------------------------------------------------------------------------


def test_recipe_paths_list_ends_the_call(handler, console, fake_models, progress_recorder, recipe_root):
    r = write_recipe(recipe_root, "r")
    before = snapshot(handler)
    assert handler.init_models([("m", str(r))]) is None
    line, exc = report(console)
    assert type(exc) is AttributeError
    assert line == f"[red]Error initializing models:[/red] {exc}"
    assert console.kinds() == ["print", "traceback"]
    assert_unchanged(handler, before)
    assert not hasattr(handler, "text_prefixes")
    assert fake_models.calls == []
    assert len(progress_recorder.exits) == 1
    exc_type, exc_value, _ = progress_recorder.exits[0]
    assert exc_type is AttributeError and exc_value is exc


@pytest.mark.parametrize("bad_value", [5, None, ["a", "b"]], ids=["int", "None", "list"])
def test_bad_directory_value_ends_the_call_without_changes(
    handler, console, fake_models, progress_recorder, recipe_root, bad_value
):
    good = write_recipe(recipe_root, "good", text_model="gt", image_model="gi")
    after = write_recipe(recipe_root, "after", text_model="at", image_model="ai")
    handler.embedding_indices["kept"] = {"text": 1, "image": 0}
    before = snapshot(handler)
    handler.init_models({"good": str(good), "bad": bad_value, "after": str(after)})
    line, exc = report(console)
    assert type(exc) is TypeError
    assert line == f"[red]Error initializing models:[/red] {exc}"
    assert console.kinds() == ["print", "traceback"]
    assert_unchanged(handler, before)
    assert handler.embedding_indices == {"kept": {"text": 1, "image": 0}}
    assert not hasattr(handler, "text_prefixes")
    assert fake_models.loaded_names == ["gt", "gi"]
    assert updates(progress_recorder) == advanced(progress_recorder, 1)
    assert progress_recorder.exits[0][:2] == (TypeError, exc)


def test_progress_failure_ends_the_call(mod, handler, console, fake_models, monkeypatch, recipe_root):
    def broken_progress():
        raise RuntimeError("no terminal")

    monkeypatch.setattr(mod, "Progress", broken_progress)
    before = snapshot(handler)
    handler.init_models({"m": str(write_recipe(recipe_root, "r"))})
    assert console.lines == ["[red]Error initializing models:[/red] no terminal"]
    assert str(console.tracebacks[0]) == "no terminal"
    assert_unchanged(handler, before)
    assert fake_models.calls == []


def test_summary_failure_keeps_assigned_maps_and_old_indices(handler, console, fake_models, progress_recorder, recipe_root):
    class Unprintable:
        def __format__(self, spec):
            raise ValueError("no text for this name")

        def __str__(self):
            raise ValueError("no text for this name")

    r = write_recipe(recipe_root, "r", text_model="t", image_model="i")
    name = Unprintable()
    old_indices = handler.embedding_indices
    handler.init_models({name: str(r)})
    line, exc = report(console)
    assert line == "[red]Error initializing models:[/red] no text for this name"
    assert type(exc) is ValueError
    assert console.kinds() == ["print", "traceback"]
    assert list(handler.vllm_to_embedding_model_map) == [name]
    assert handler.text_prefixes == {name: "query: "}
    assert list(handler.embedding_models) == ["t", "i"]
    assert list(handler.train_test_embeddings[name]) == ["text", "image"]
    assert handler.embedding_indices is old_indices


class Interrupt(BaseException):
    pass


def _json_raises(mod, monkeypatch, exc):
    def load(f):
        raise exc

    monkeypatch.setattr(mod, "json", types.SimpleNamespace(load=load))


def _archive_raises(mod, monkeypatch, exc):
    def load(*args):
        raise exc

    monkeypatch.setattr(mod, "np", types.SimpleNamespace(load=load))


def _model_raises(mod, monkeypatch, exc):
    def factory(*args, **kwargs):
        raise exc

    monkeypatch.setattr(mod, "SentenceTransformer", factory)


@pytest.mark.parametrize("where", [_json_raises, _archive_raises, _model_raises], ids=["config", "archive", "model"])
@pytest.mark.parametrize("exc_type", [KeyboardInterrupt, SystemExit, Interrupt])
def test_base_exception_passes_every_guard(
    mod, handler, console, fake_models, progress_recorder, recipe_root, monkeypatch, where, exc_type
):
    r = write_recipe(recipe_root, "r")
    log = []
    opener = OpenRecorder(log)
    monkeypatch.setattr(mod, "open", opener, raising=False)
    exc = exc_type("stop now")
    where(mod, monkeypatch, exc)
    before = snapshot(handler)
    with pytest.raises(exc_type) as info:
        handler.init_models({"m": str(r)})
    assert info.value is exc
    assert console.events == []
    assert len(progress_recorder.exits) == 1
    assert progress_recorder.exits[0][:2] == (exc_type, exc)
    assert len(opener.files) == 1 and opener.files[0].closed
    assert_unchanged(handler, before)
    assert not hasattr(handler, "text_prefixes")


# --------------------------------------------------------------------------
# repeated calls
# --------------------------------------------------------------------------


def test_second_call_with_a_subset_replaces_everything_but_live_embeddings(
    handler, console, fake_models, progress_recorder, recipe_root
):
    r1 = write_recipe(recipe_root, "r1", text_model="t1", image_model="i1")
    r2 = write_recipe(recipe_root, "r2", text_model="t2", image_model="i2")
    handler.init_models({"m1": str(r1), "m2": str(r2)})
    first_models = dict(handler.embedding_models)
    first_maps = snapshot(handler)
    handler.add_embedding("m1", "text", [1.0])
    handler.add_embedding("m2", "image", [2.0])
    live = handler.live_embeddings
    live_before = {k: {m: list(v[m]["live"]) for m in v} for k, v in live.items()}
    fake_models.calls.clear()
    console.clear()

    handler.init_models({"m2": str(r2)})

    assert fake_models.calls == [(("t2",), {"backend": "onnx"}), (("i2",), {"backend": "onnx"})]
    assert list(handler.embedding_models) == ["t2", "i2"]
    assert handler.embedding_models["t2"] is not first_models["t2"]
    assert list(handler.vllm_to_embedding_model_map) == ["m2"]
    assert list(handler.text_prefixes) == ["m2"]
    assert list(handler.train_test_embeddings) == ["m2"]
    for name in ("embedding_models", "train_test_embeddings", "vllm_to_embedding_model_map", "text_prefixes"):
        assert getattr(handler, name) is not first_maps[name], name
    assert handler.embedding_indices == {} and handler.embedding_indices is not first_maps["embedding_indices"]
    assert handler.live_embeddings is live
    assert {k: {m: list(v[m]["live"]) for m in v} for k, v in live.items()} == live_before
    assert console.lines == summary("m2", "t2", "i2")


def test_init_models_leaves_the_rest_of_the_handler_alone(handler, console, fake_models, progress_recorder, recipe_root):
    handler.MAX_EMBEDDINGS = 3
    before = snapshot(handler)
    handler.init_models({"m": str(write_recipe(recipe_root, "r"))})
    for name in ("live_embeddings", "MAX_EMBEDDINGS", "live_messages_queue", "embedding_lock", "embedding_thread"):
        assert getattr(handler, name) is before[name], name
    assert handler.embedding_thread is None
    assert handler.live_messages_queue.qsize() == 0


# --------------------------------------------------------------------------
# the real embedding library
# --------------------------------------------------------------------------


def test_real_sentence_transformer_loads_tiny_onnx_model(mod, handler, console, recipe_root, tmp_path):
    st = pytest.importorskip("sentence_transformers")
    if not hasattr(st, "__version__"):
        pytest.skip("only a stand-in for sentence-transformers is importable")
    from tiny_models import tiny_text_model_dir

    model_dir = str(tiny_text_model_dir(tmp_path / "tiny"))
    direct = st.SentenceTransformer(model_dir, backend="onnx")
    vec = direct.encode("query: hello")
    assert isinstance(vec, np.ndarray) and vec.ndim == 1 and vec.size > 0
    assert np.all(np.isfinite(vec))

    assert mod.SentenceTransformer is st.SentenceTransformer
    dim = vec.shape[0]
    rng = np.random.default_rng(11)
    train = {"text_embeddings": rng.standard_normal((3, dim)), "text_roles": np.array(["user"] * 3)}
    test = {"text_embeddings": rng.standard_normal((2, dim))}
    r = write_recipe(recipe_root, "real", text_model=model_dir, image_model="not-loaded", train=train, test=test)
    handler.init_models({"served": str(r)})

    assert console.tracebacks == []
    assert console.lines == summary("served", model_dir, "not-loaded")
    assert list(handler.embedding_models) == [model_dir]
    model = handler.embedding_models[model_dir]
    assert isinstance(model, st.SentenceTransformer)
    assert getattr(model, "backend", None) == "onnx"
    out = model.encode("query: hello")
    assert isinstance(out, np.ndarray) and out.shape == vec.shape
    np.testing.assert_allclose(out, vec, rtol=1e-5, atol=1e-6)
    assert list(handler.train_test_embeddings["served"]) == ["text"]
