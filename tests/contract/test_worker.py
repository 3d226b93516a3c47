"""The live embedding worker: taking messages off the queue, resolving the
served model's embedding models and prefix, and marking every message done."""
from __future__ import annotations

import queue
import types

import pytest

from support import RecordingMapping, FakeModel, ScriptedQueue, StopWorker, configure, run_worker, stop_worker, wait_until

MESSAGE_ERROR = "[red]Error processing live message:[/red] "
QUEUE_ERROR = "[red]Error getting message from queue:[/red] "
DONE_ERROR = "[red]Error marking task as done:[/red] "


def skipped(name) -> str:
    return f"[yellow]Shift detection skipped for model {name}[/yellow]"


def green(model, text, image) -> str:
    return f"[green]Model: {model} | Text: {text} embeddings | Image: {image} embeddings[/green]"


def lives(handler, model, modality):
    return handler.live_embeddings[model][modality]["live"]


IMAGE_PAYLOAD = b"\x89PNG pretend image bytes"
IMAGE_URL = "data:image/png;base64," + __import__("base64").b64encode(IMAGE_PAYLOAD).decode()


def text_part(text):
    return {"type": "text", "text": text}


def image_part(url=IMAGE_URL):
    return {"type": "image_url", "image_url": {"url": url}}


# ---------------------------------------------------------------------------
# The queue
# ---------------------------------------------------------------------------


class IdleQueue:
    """Wraps a real, empty Queue; records every get and what it ended with.
    After `rounds` gets it raises StopWorker, ending the worker."""

    def __init__(self, rounds):
        self.inner = queue.Queue(maxsize=16)
        self.rounds = rounds
        self.gets = []
        self.task_done_calls = 0

    def get(self, *args, **kwargs):
        if len(self.gets) >= self.rounds:
            raise StopWorker()
        self.gets.append((args, kwargs))
        # Never block longer than a moment past the expected second.
        timeout = kwargs.get("timeout", args[1] if len(args) > 1 else None)
        bounded = 1.5 if timeout is None else min(float(timeout), 1.5)
        return self.inner.get(timeout=bounded)

    def task_done(self):
        self.task_done_calls += 1


def test_idle_worker_waits_a_second_at_a_time_prints_nothing_and_marks_nothing(handler, console):
    configure(handler, {"m": {"text": "t", "image": None}}, {"t": FakeModel("t")})
    q = IdleQueue(rounds=2)
    handler.live_messages_queue = q
    with pytest.raises(StopWorker):
        handler.live_embedding_worker()
    assert q.gets == [((), {"timeout": 1})] * 2
    assert all(type(kw["timeout"]) is int for _, kw in q.gets)
    assert q.task_done_calls == 0
    assert console.events == []
    assert handler.live_embeddings == {}


def test_queue_read_failure_is_reported_without_task_done_and_the_worker_goes_on(handler, console):
    model = FakeModel("t")
    configure(handler, {"m": {"text": "t", "image": None}}, {"t": model})
    failure = RuntimeError("queue broken")
    q = run_worker(handler, queue.Empty(), failure, {"model": "m", "content": "hi"})

    assert [c[0] for c in q.calls] == ["get", "get", "get", "task_done", "get"]
    assert all(c[2] == {"timeout": 1} and c[1] == () for c in q.calls if c[0] == "get")
    assert console.events[:2] == [("print", QUEUE_ERROR + "queue broken"), ("traceback", failure)]
    assert console.lines[1:] == [green("m", 1, 0)]
    assert model.inputs == ["query: hi"]


def test_task_done_failure_is_reported_and_the_worker_goes_on(handler, console):
    model = FakeModel("t")
    configure(handler, {"m": {"text": "t", "image": None}}, {"t": model})
    failures = [ValueError("not pending"), ValueError("still not pending")]
    pending = list(failures)
    q = run_worker(
        handler,
        {"model": "m", "content": "one"},
        {"model": "m", "content": "two"},
        task_done_error=lambda: pending.pop(0),
    )
    assert q.task_done_count == 2
    assert console.events == [
        ("print", green("m", 1, 0)),
        ("print", DONE_ERROR + "not pending"),
        ("traceback", failures[0]),
        ("print", green("m", 2, 0)),
        ("print", DONE_ERROR + "still not pending"),
        ("traceback", failures[1]),
    ]


# ---------------------------------------------------------------------------
# Resolving the served model
# ---------------------------------------------------------------------------


@pytest.mark.parametrize("role", ["user", "system", "assistant", "tool"])
@pytest.mark.parametrize(
    "prefixes, expected_input",
    [
        ({}, "query: how are you"),
        ({"m": "passage: "}, "passage: how are you"),
        ({"m": ""}, "how are you"),
        ({"m": None}, "Nonehow are you"),
        ({"other": "passage: "}, "query: how are you"),
    ],
    ids=["default-prefix", "own-prefix", "empty-prefix", "null-prefix", "other-model-prefix"],
)
def test_string_message_is_embedded_with_the_served_model_text_model(
    handler, console, role, prefixes, expected_input
):
    model = FakeModel("t")
    configure(handler, {"m": {"text": "t", "image": "i"}}, {"t": model}, prefixes)
    q = run_worker(handler, {"role": role, "model": "m", "content": "how are you"})

    assert model.inputs == [expected_input]
    [stored] = lives(handler, "m", "text")
    assert stored == model.encode(expected_input).tolist()
    assert lives(handler, "m", "image") == []
    # The worker itself prints nothing: the one line is the store's.
    assert console.events == [("print", green("m", 1, 0))]
    assert q.task_done_count == 1


@pytest.mark.parametrize(
    "model_map, message, shown",
    [
        ({"known": {"text": "t", "image": "i"}}, {"model": "other", "content": "hi"}, "other"),
        ({"known": {"text": "t", "image": "i"}}, {"content": "hi"}, "None"),
        (
            {"first": {"text": "t", "image": "i"}, "m": {"text": None, "image": "i"}},
            {"model": "m", "content": [text_part("hi"), image_part()]},
            "m",
        ),
        ({"known": {"text": "t", "image": "i"}}, {"model": 7, "content": "hi"}, "7"),
    ],
    ids=["unknown-model", "no-model-key", "text-model-none", "non-string-model"],
)
def test_messages_without_a_text_model_are_skipped(handler, console, images, model_map, message, shown):
    text_model, image_model = FakeModel("t"), FakeModel("i")
    configure(handler, model_map, {"t": text_model, "i": image_model})
    q = run_worker(handler, message)
    assert console.events == [("print", skipped(shown))]
    assert handler.live_embeddings == {}
    assert text_model.inputs == [] and image_model.inputs == []
    assert images.opened == []
    assert q.task_done_count == 1


@pytest.mark.parametrize(
    "content",
    ["hi", [text_part("hi"), image_part()], None],
    ids=["string", "parts", "none"],
)
def test_with_an_empty_model_map_nothing_is_printed_or_stored(handler, console, images, content):
    any_model = FakeModel("t")
    configure(handler, {}, {"t": any_model, "None": any_model})
    q = run_worker(handler, {"model": "m", "content": content})
    assert console.events == []
    assert handler.live_embeddings == {}
    assert any_model.inputs == [] and images.opened == []
    assert q.task_done_count == 1


def test_empty_string_text_model_name_passes_the_skip_rule_but_embeds_nothing(handler, console, images):
    model = FakeModel("")
    configure(handler, {"m": {"text": "", "image": None}}, {"": model})
    q = run_worker(handler, {"model": "m", "content": "hi"}, {"model": "m", "content": [text_part("x")]})
    assert console.events == []
    assert model.inputs == []
    assert q.task_done_count == 2


@pytest.mark.parametrize(
    "model_map, expected_image_model",
    [
        (
            {"first": {"text": "t1", "image": "img-x"}, "mine": {"text": "t", "image": None}},
            "img-x",
        ),
        (
            {"first": {"text": "t1"}, "second": {"text": "t2", "image": "img-y"}, "mine": {"text": "t"}},
            "img-y",
        ),
        (
            {"first": {"text": "t1", "image": None}, "second": {"text": "t2", "image": "img-y"}, "mine": {"text": "t", "image": None}},
            None,
        ),
        (
            {"mine": {"text": "t", "image": None}, "second": {"text": "t2", "image": "img-y"}},
            None,
        ),
    ],
    ids=["first-mapping", "first-with-image-key", "first-has-none", "own-mapping-first"],
)
def test_image_model_falls_back_to_the_first_mapping_with_an_image_key(
    handler, console, images, model_map, expected_image_model
):
    models = {name: FakeModel(name) for name in ("t", "t1", "t2", "img-x", "img-y")}
    configure(handler, model_map, models)
    q = run_worker(handler, {"model": "mine", "content": [text_part("look"), image_part()]})

    assert models["t"].inputs == ["query: look"]
    for name in ("img-x", "img-y"):
        if name == expected_image_model:
            assert models[name].inputs == images.opened
            assert [t.data for t in images.opened] == [IMAGE_PAYLOAD]
        else:
            assert models[name].inputs == []
    n_images = 0 if expected_image_model is None else 1
    assert list(handler.live_embeddings) == ["mine"]
    assert len(lives(handler, "mine", "image")) == n_images
    assert len(lives(handler, "mine", "text")) == 1
    expected_lines = [green("mine", 1, 0)] + ([green("mine", 1, 1)] if n_images else [])
    assert console.lines == expected_lines
    assert q.task_done_count == 1


def test_own_image_model_is_used_when_the_message_model_has_one(handler, console, images):
    models = {name: FakeModel(name) for name in ("t", "img-first", "img-own")}
    configure(
        handler,
        {"first": {"text": "t", "image": "img-first"}, "mine": {"text": "t", "image": "img-own"}},
        models,
    )
    run_worker(handler, {"model": "mine", "content": [image_part()]})
    assert models["img-own"].inputs == images.opened and len(images.opened) == 1
    assert models["img-first"].inputs == []
    assert len(lives(handler, "mine", "image")) == 1


def test_maps_are_read_anew_for_every_message(handler, console):
    old, new = FakeModel("old"), FakeModel("new")
    configure(handler, {"m": {"text": "old", "image": None}}, {"old": old}, {"m": "a: "})

    def swap():
        # Published between the two messages, as a concurrent init_models would.
        handler.vllm_to_embedding_model_map = {"m": {"text": "new", "image": None}}
        handler.embedding_models = {"new": new}
        handler.text_prefixes = {"m": "b: "}
        return None

    q = ScriptedQueue([{"model": "m", "content": "one"}, {"model": "m", "content": "two"}])
    calls = {"n": 0}

    def task_done_error():
        calls["n"] += 1
        if calls["n"] == 1:
            swap()
        return None

    q.task_done_error = task_done_error
    handler.live_messages_queue = q
    with pytest.raises(StopWorker):
        handler.live_embedding_worker()
    assert old.inputs == ["a: one"]
    assert new.inputs == ["b: two"]


# ---------------------------------------------------------------------------
# Failures while handling a message
# ---------------------------------------------------------------------------


def test_messages_before_any_setup_are_reported_marked_done_and_the_worker_goes_on(handler, console):
    assert not hasattr(handler, "text_prefixes")
    q = run_worker(handler, {"model": "m", "content": "one"}, {"model": "m", "content": "two"})

    assert q.task_done_count == 2
    assert console.kinds() == ["print", "traceback"] * 2
    first, second = console.tracebacks
    for exc in (first, second):
        assert isinstance(exc, AttributeError)
        assert "text_prefixes" in str(exc)
    assert console.lines == [MESSAGE_ERROR + str(first), MESSAGE_ERROR + str(second)]
    assert handler.live_embeddings == {}


def test_interrupt_during_a_message_marks_it_done_then_ends_the_worker(handler, console):
    class Interrupting(FakeModel):
        def encode(self, value):
            self.inputs.append(value)
            raise KeyboardInterrupt()

    model = Interrupting("t")
    configure(handler, {"m": {"text": "t", "image": None}}, {"t": model})
    q = ScriptedQueue([{"model": "m", "content": "one"}, {"model": "m", "content": "two"}])
    handler.live_messages_queue = q
    with pytest.raises(KeyboardInterrupt):
        handler.live_embedding_worker()
    assert [c[0] for c in q.calls] == ["get", "task_done"]
    assert model.inputs == ["query: one"]
    assert console.events == []


class Halt(BaseException):
    pass


def test_interrupted_worker_is_replaced_by_the_next_request_which_handles_the_rest(
    handler, console, thread_errors
):
    class InterruptOnce(FakeModel):
        def encode(self, value):
            if value == "query: first":
                self.inputs.append(value)
                raise KeyboardInterrupt()
            return super().encode(value)

    model = InterruptOnce("t")
    configure(handler, {"m": {"text": "t", "image": None}}, {"t": model})
    q = handler.live_messages_queue
    request = types.SimpleNamespace(
        model="m",
        messages=[{"role": "user", "content": c} for c in ("first", "second", "third")],
    )
    handler.handle_chat_completion_request(request)
    first_worker = handler.embedding_thread
    first_worker.join(10)
    assert not first_worker.is_alive()
    assert len(thread_errors) == 1 and isinstance(thread_errors[0], KeyboardInterrupt)
    # The interrupted message was marked done; the other two wait.
    assert q.unfinished_tasks == 2 and q.qsize() == 2
    assert handler.live_embeddings == {}

    handler.handle_chat_completion_request(
        types.SimpleNamespace(model="m", messages=[{"role": "user", "content": "fourth"}])
    )
    second_worker = handler.embedding_thread
    assert second_worker is not first_worker
    wait_until(lambda: q.unfinished_tasks == 0, timeout=10)
    assert model.inputs == ["query: first", "query: second", "query: third", "query: fourth"]
    assert len(lives(handler, "m", "text")) == 3

    stop_worker(handler, second_worker)
    assert isinstance(thread_errors[-1], StopWorker)


def test_failure_while_reporting_a_message_error_still_marks_it_done(handler, console):
    class BadText(Exception):
        def __str__(self):
            raise Halt("cannot show")

    # Reading "model" fails with an exception whose text cannot be produced.
    configure(handler, {"m": {"text": "t", "image": None}}, {"t": FakeModel("t")})

    class Message(dict):
        def get(self, key, *default):
            if key == "model":
                raise BadText()
            return super().get(key, *default)

    q = ScriptedQueue([Message(model="m", content="x"), {"model": "m", "content": "y"}])
    handler.live_messages_queue = q
    with pytest.raises(Halt):
        handler.live_embedding_worker()
    assert [c[0] for c in q.calls] == ["get", "task_done"]


@pytest.mark.parametrize(
    "prefix, steps, task_done_error, expected_calls",
    [
        (QUEUE_ERROR, [ValueError("get failed"), {"model": "m", "content": "x"}], None, ["get"]),
        (MESSAGE_ERROR, [{"model": "m", "content": [7]}, {"model": "m", "content": "x"}], None, ["get", "task_done"]),
        (DONE_ERROR, [{"model": "m", "content": "x"}, {"model": "m", "content": "y"}], ValueError("not pending"), ["get", "task_done"]),
    ],
    ids=["queue-read-guard", "message-guard", "task-done-guard"],
)
def test_failure_while_a_worker_guard_reports_ends_the_worker(
    handler, console, broken_console, prefix, steps, task_done_error, expected_calls
):
    configure(handler, {"m": {"text": "t", "image": None}}, {"t": FakeModel("t")})
    broken_console.prefix = prefix
    q = ScriptedQueue(steps, task_done_error=task_done_error)
    handler.live_messages_queue = q
    with pytest.raises(RuntimeError, match="console down"):
        handler.live_embedding_worker()
    assert [c[0] for c in q.calls] == expected_calls
    assert console.tracebacks == []


RecordingMessage = RecordingMap = RecordingMapping


def test_message_and_maps_are_read_through_get(handler, console):
    model_map = RecordingMap({"m": RecordingMap({"text": "t", "image": "i"})})
    prefixes = RecordingMap({"m": "p: "})
    configure(handler, model_map, {"t": FakeModel("t")})
    handler.text_prefixes = prefixes
    message = RecordingMessage(model="m", content="x")
    run_worker(handler, message)
    assert message.reads == [("model",), ("content",)]
    [(name, default)] = model_map.reads
    assert name == "m" and default == {}
    assert model_map["m"].reads == [("text",), ("image",)]
    assert prefixes.reads == [("m", "query: ")]
    assert handler.live_embeddings["m"]["text"]["live"]
