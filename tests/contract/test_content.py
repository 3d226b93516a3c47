"""The content step: embedding a live message's text (behind the served
model's prefix) and its inline images, and how each failure is reported."""
from __future__ import annotations

import base64
import binascii
import io
import types

import numpy as np
import pytest

from support import RecordingMapping, FakeModel, configure, data_url, png_bytes, run_worker

TEXT_ERROR = "[red]Error computing text embedding:[/red] "
PART_ERROR = "[red]Error computing text embedding in list:[/red] "
IMAGE_ERROR = "[red]Error processing image:[/red] "
IMAGE_EMBEDDING_ERROR = "[red]Error computing image embedding:[/red] "
MESSAGE_ERROR = "[red]Error processing live message:[/red] "

PAYLOAD = b"\x89PNG stand-in bytes for an image"
URL = data_url(PAYLOAD)


def green(text, image, model="m") -> str:
    return f"[green]Model: {model} | Text: {text} embeddings | Image: {image} embeddings[/green]"


def text_not_found(name) -> str:
    return f"[red]Text embedding model {name} not found in self.embedding_models[/red]"


def image_not_found(name) -> str:
    return f"[red]Image embedding model {name} not found in self.embedding_models[/red]"


def text_part(text="hello"):
    return {"type": "text", "text": text}


def image_part(url=URL):
    return {"type": "image_url", "image_url": {"url": url}}


def lives(handler, modality, model="m"):
    return handler.live_embeddings[model][modality]["live"]


class Picky(FakeModel):
    """A fake model that raises `fail` for the inputs in `fail_on` (or for
    every input when fail_on is None) and returns `result` when given."""

    def __init__(self, name, fail=None, fail_on=None, result=None):
        super().__init__(name)
        self.fail_on = fail_on
        self.failure = fail
        self.result = result

    def encode(self, value):
        self.inputs.append(value)
        if self.failure is not None and (self.fail_on is None or value in self.fail_on):
            raise self.failure
        if self.result is not None:
            return self.result
        return FakeModel("twin", self.dim).encode(value)


class Unlistable:
    """An embedding whose tolist fails, so that storing it fails."""

    def __init__(self, exc):
        self.exc = exc

    def tolist(self):
        raise self.exc


@pytest.fixture
def models():
    return {"t": Picky("t"), "i": Picky("i")}


def setup(handler, models, text="t", image="i", prefixes=None):
    configure(handler, {"m": {"text": text, "image": image}}, models, prefixes)


# ---------------------------------------------------------------------------
# Text
# ---------------------------------------------------------------------------


class Str(str):
    pass


@pytest.mark.parametrize(
    "content, expected_input",
    [("hello", "query: hello"), ("", "query: "), (Str("sub"), "query: sub")],
    ids=["text", "empty-prefix-alone", "str-subclass"],
)
def test_string_content_is_embedded_behind_the_prefix(handler, console, models, content, expected_input):
    setup(handler, models)
    q = run_worker(handler, {"model": "m", "content": content})
    assert models["t"].inputs == [expected_input]
    assert lives(handler, "text") == [models["t"].encode(expected_input).tolist()]
    assert lives(handler, "image") == []
    assert console.events == [("print", green(1, 0))]
    assert q.task_done_count == 1


class PartList(list):
    pass


@pytest.mark.parametrize(
    "part, expected_input",
    [
        (text_part("hi"), "query: hi"),
        ({"type": "text"}, "query: "),
        (text_part(""), "query: "),
        (text_part(42), "query: 42"),
        (text_part(None), "query: None"),
    ],
    ids=["text", "no-text-key", "empty", "number", "null"],
)
@pytest.mark.parametrize("container", [list, PartList], ids=["list", "list-subclass"])
def test_text_part_is_embedded_behind_the_prefix(handler, console, models, part, expected_input, container):
    setup(handler, models, prefixes={"m": "query: "})
    run_worker(handler, {"model": "m", "content": container([part])})
    assert models["t"].inputs == [expected_input]
    assert len(lives(handler, "text")) == 1
    assert console.events == [("print", green(1, 0))]


def test_each_text_part_is_embedded_and_stored_in_order(handler, console, models):
    setup(handler, models, prefixes={"m": "passage: "})
    run_worker(handler, {"model": "m", "content": [text_part("a"), text_part("b"), text_part("c")]})
    assert models["t"].inputs == ["passage: a", "passage: b", "passage: c"]
    assert lives(handler, "text") == [models["t"].encode(f"passage: {x}").tolist() for x in "abc"]
    assert console.lines == [green(1, 0), green(2, 0), green(3, 0)]


# ---------------------------------------------------------------------------
# Images
# ---------------------------------------------------------------------------


@pytest.mark.parametrize(
    "order, expected_lines",
    [("text-image", [green(1, 0), green(1, 1)]), ("image-text", [green(0, 1), green(1, 1)])],
)
def test_text_and_image_parts_are_stored_in_part_order(handler, console, models, images, order, expected_lines):
    setup(handler, models)
    parts = [text_part("what is this"), image_part()]
    if order == "image-text":
        parts.reverse()
    run_worker(handler, {"model": "m", "content": parts})
    assert console.lines == expected_lines
    assert [t.data for t in images.opened] == [PAYLOAD]
    assert models["i"].inputs == images.opened
    assert models["t"].inputs == ["query: what is this"]
    assert lives(handler, "image") == [models["i"].encode(images.opened[0]).tolist()]
    assert list(handler.live_embeddings) == ["m"]


@pytest.mark.parametrize(
    "url, expected_bytes",
    [
        (URL, PAYLOAD),
        ("data:image," + base64.b64encode(PAYLOAD).decode(), PAYLOAD),
        ("data:image/jpeg;charset=utf-8," + base64.b64encode(PAYLOAD).decode(), PAYLOAD),
        ("data:image/png;base64,QUJD\nREVG", b"ABCDEF"),
        ("data:image/png;base64,QUJD,REVG", b"ABCDEF"),
    ],
    ids=["png", "bare-header", "header-not-examined", "newline-in-payload", "second-comma"],
)
def test_data_url_payload_after_the_first_comma_is_decoded_and_opened(
    handler, console, models, images, url, expected_bytes
):
    setup(handler, models)
    run_worker(handler, {"model": "m", "content": [image_part(url)]})
    assert [t.data for t in images.opened] == [expected_bytes]
    assert models["i"].inputs == images.opened
    assert console.lines == [green(0, 1)]


def test_real_png_reaches_the_image_model_as_opened(handler, console, models, mod, monkeypatch, real_pillow):
    opened = []

    def spy_open(*args, **kwargs):
        image = real_pillow.open(*args, **kwargs)
        opened.append((args, kwargs, image))
        return image

    monkeypatch.setattr(mod, "Image", types.SimpleNamespace(open=spy_open))
    setup(handler, models)
    payload = png_bytes(size=(6, 4))
    run_worker(handler, {"model": "m", "content": [image_part(data_url(payload))]})

    [(args, kwargs, image)] = opened
    assert kwargs == {} and len(args) == 1
    assert isinstance(args[0], io.BytesIO) and args[0].getvalue() == payload
    assert models["i"].inputs == [image]
    assert isinstance(image, real_pillow.Image)
    assert image.size == (6, 4) and image.format == "PNG"
    assert console.lines == [green(0, 1)]


@pytest.mark.parametrize(
    "part",
    [
        image_part("https://example.com/cat.png"),
        image_part(""),
        image_part("DATA:image/png;base64," + base64.b64encode(PAYLOAD).decode()),
        image_part("data:text/plain;base64," + base64.b64encode(PAYLOAD).decode()),
        {"type": "image_url"},
        {"type": "image_url", "image_url": {}},
        {"type": "input_audio", "input_audio": {"data": "AAAA"}},
        {"type": None, "text": "x"},
        {"text": "no type"},
        {"type": "TEXT", "text": "x"},
    ],
    ids=[
        "web-url", "empty-url", "upper-case-scheme", "not-an-image", "no-image-url",
        "no-url", "other-type", "null-type", "no-type", "type-case",
    ],
)
def test_other_parts_and_addresses_are_passed_over_silently(handler, console, models, images, part):
    setup(handler, models)
    q = run_worker(handler, {"model": "m", "content": [part, text_part("after")]})
    assert images.opened == []
    assert models["i"].inputs == []
    assert models["t"].inputs == ["query: after"]
    assert console.events == [("print", green(1, 0))]
    assert q.task_done_count == 1


@pytest.mark.parametrize("image_name", [None, ""], ids=["none", "empty-name"])
def test_image_part_without_an_image_model_is_passed_over(handler, console, models, images, image_name):
    models[""] = Picky("")
    setup(handler, models, image=image_name)
    run_worker(handler, {"model": "m", "content": [image_part(), text_part("after")]})
    assert images.opened == []
    assert models["i"].inputs == [] and models[""].inputs == []
    assert console.events == [("print", green(1, 0))]


def test_text_part_without_a_text_model_is_passed_over(handler, console, models, images):
    setup(handler, models, text="")
    # An empty text model name passes the worker's skip rule; no text is embedded.
    run_worker(handler, {"model": "m", "content": [text_part("x"), image_part()]})
    assert models["t"].inputs == []
    assert console.events == [("print", green(0, 1))]


# ---------------------------------------------------------------------------
# Models that are not loaded
# ---------------------------------------------------------------------------


@pytest.mark.parametrize("loaded, listed", [(("i", "t"), "['img-b', 'other-text']"), ((), "[]")],
                         ids=["others loaded", "none loaded"])
def test_missing_text_model_for_string_content_lists_the_available_models(handler, console, models, loaded, listed):
    setup(handler, dict(zip(("img-b", "other-text"), (models[k] for k in loaded))), text="missing", image="img-b")
    q = run_worker(handler, {"model": "m", "content": "hello"})
    assert console.events == [
        ("print", text_not_found("missing")),
        ("print", f"[red]Available models: dict_keys({listed})[/red]"),
    ]
    assert handler.live_embeddings == {}
    assert q.task_done_count == 1


def test_missing_text_model_for_text_parts_prints_one_line_per_part(handler, console, models, images):
    setup(handler, models, text="missing")
    run_worker(handler, {"model": "m", "content": [text_part("a"), text_part("b"), image_part()]})
    assert console.events == [
        ("print", text_not_found("missing")),
        ("print", text_not_found("missing")),
        ("print", green(0, 1)),
    ]


def test_missing_image_model_is_reported_and_the_next_part_follows(handler, console, models, images):
    setup(handler, models, image="missing-img")
    q = run_worker(handler, {"model": "m", "content": [image_part(), text_part("after")]})
    assert console.events == [("print", image_not_found("missing-img")), ("print", green(1, 0))]
    assert [t.data for t in images.opened] == [PAYLOAD]
    assert q.task_done_count == 1


# ---------------------------------------------------------------------------
# The four guards
# ---------------------------------------------------------------------------


def _embedding_failure(models, role, how, exc):
    """Makes `role`'s model fail: its encode raises, or it returns an
    embedding that cannot be stored."""
    if how == "encode":
        models[role] = Picky(role, fail=exc, fail_on={"query: boom"} if role == "t" else None)
    else:
        models[role] = Picky(role, result=Unlistable(exc))


@pytest.mark.parametrize("how", ["encode", "store"])
def test_text_guard_reports_and_ends_the_content_step(handler, console, models, how):
    exc = ValueError(f"{how} failed")
    _embedding_failure(models, "t", how, exc)
    setup(handler, models)
    q = run_worker(handler, {"model": "m", "content": "boom"})
    assert console.events == [("print", TEXT_ERROR + f"{how} failed"), ("traceback", exc)]
    assert models["t"].inputs == ["query: boom"]
    assert q.task_done_count == 1
    if how == "store":
        assert lives(handler, "text") == [] and lives(handler, "image") == []


@pytest.mark.parametrize("how", ["encode", "store"])
def test_text_part_guard_reports_and_goes_on_with_the_next_part(handler, console, models, images, how):
    exc = RuntimeError(f"{how} failed in a part")
    setup(handler, models)
    if how == "encode":
        models["t"].failure, models["t"].fail_on = exc, {"query: boom"}
    else:
        handler.embedding_models["t"] = Picky("t", result=Unlistable(exc))
    q = run_worker(handler, {"model": "m", "content": [text_part("boom"), image_part()]})
    assert console.events == [
        ("print", PART_ERROR + f"{how} failed in a part"),
        ("traceback", exc),
        ("print", green(0, 1)),
    ]
    assert q.task_done_count == 1


@pytest.mark.parametrize("how", ["encode", "store"])
def test_image_embedding_guard_reports_and_goes_on_with_the_next_part(handler, console, models, images, how):
    exc = KeyError("pixels")
    _embedding_failure(models, "i", how, exc)
    setup(handler, models)
    q = run_worker(handler, {"model": "m", "content": [image_part(), text_part("after")]})
    # Only the inner guard reports: the image guard around it ends normally.
    assert console.events == [
        ("print", IMAGE_EMBEDDING_ERROR + "'pixels'"),
        ("traceback", exc),
        ("print", green(1, 0)),
    ]
    assert models["i"].inputs == images.opened
    assert q.task_done_count == 1


def _b64_error(text):
    try:
        base64.b64decode(text)
    except binascii.Error as e:
        return str(e)
    raise AssertionError("decoded unexpectedly")


@pytest.mark.parametrize(
    "url, exc_type, expected_text",
    [
        ("data:image/png;base64" + base64.b64encode(PAYLOAD).decode(), ValueError, "need more than 1 value to unpack"),
        ("data:image/png;base64,abc", binascii.Error, _b64_error("abc")),
        ("data:image/png;base64,a", binascii.Error, _b64_error("a")),
    ],
    ids=["no-comma", "bad-padding", "lone-character"],
)
def test_image_guard_reports_bad_data_urls_and_goes_on(handler, console, models, images, url, exc_type, expected_text):
    setup(handler, models)
    q = run_worker(handler, {"model": "m", "content": [image_part(url), text_part("after")]})
    assert console.kinds() == ["print", "traceback", "print"]
    assert console.lines == [IMAGE_ERROR + expected_text, green(1, 0)]
    [exc] = console.tracebacks
    assert type(exc) is exc_type and str(exc) == expected_text
    assert images.opened == [] and models["i"].inputs == []
    assert q.task_done_count == 1


def test_image_guard_reports_bytes_that_are_not_an_image(handler, console, models, real_pillow):
    import PIL

    setup(handler, models)
    url = data_url(b"definitely not an image file")
    run_worker(handler, {"model": "m", "content": [image_part(url), text_part("after")]})
    assert console.kinds() == ["print", "traceback", "print"]
    [exc] = console.tracebacks
    assert isinstance(exc, PIL.UnidentifiedImageError)
    assert str(exc).startswith("cannot identify image file")
    assert console.lines == [IMAGE_ERROR + str(exc), green(1, 0)]
    assert models["i"].inputs == []
    assert lives(handler, "image") == []


def test_defect_found_only_when_pixels_are_read_is_reported_by_the_image_embedding_guard(
    handler, console, real_pillow
):
    class PixelReader(FakeModel):
        def encode(self, value):
            self.inputs.append(value)
            return np.asarray(value, dtype=np.float32).reshape(-1)[:4]

    noise = np.random.default_rng(0).integers(0, 256, (64, 64, 3), dtype=np.uint8)
    buf = io.BytesIO()
    real_pillow.fromarray(noise).save(buf, format="PNG")
    truncated = buf.getvalue()[:300]
    models = {"t": Picky("t"), "i": PixelReader("i")}
    setup(handler, models)
    run_worker(handler, {"model": "m", "content": [image_part(data_url(truncated)), text_part("after")]})
    assert console.kinds() == ["print", "traceback", "print"]
    [exc] = console.tracebacks
    assert isinstance(exc, OSError)
    assert console.lines == [IMAGE_EMBEDDING_ERROR + str(exc), green(1, 0)]
    assert len(models["i"].inputs) == 1
    assert lives(handler, "image") == []


def test_failure_inside_the_image_guard_outside_decoding_is_reported_there(handler, console, models, mod, monkeypatch):
    exc = OSError("cannot open")

    def refuse(stream):
        raise exc

    monkeypatch.setattr(mod, "Image", types.SimpleNamespace(open=refuse))
    setup(handler, models)
    run_worker(handler, {"model": "m", "content": [image_part(), text_part("after")]})
    assert console.events == [("print", IMAGE_ERROR + "cannot open"), ("traceback", exc), ("print", green(1, 0))]


# ---------------------------------------------------------------------------
# What ends the message in the worker's message guard
# ---------------------------------------------------------------------------


def _attribute_error_text(obj, name):
    try:
        getattr(obj, name)
    except AttributeError as e:
        return str(e)
    raise AssertionError("attribute unexpectedly present")


@pytest.mark.parametrize(
    "bad, expected_text",
    [
        ("a plain string", _attribute_error_text("a plain string", "get")),
        ({"type": "image_url", "image_url": "https://example.com/x.png"}, _attribute_error_text("x", "get")),
        ({"type": "image_url", "image_url": {"url": 5}}, _attribute_error_text(5, "startswith")),
        (7, _attribute_error_text(7, "get")),
    ],
    ids=["string-part", "string-image-url", "non-string-url", "number-part"],
)
def test_part_that_breaks_the_step_ends_the_message_and_keeps_earlier_embeddings(
    handler, console, models, images, bad, expected_text
):
    setup(handler, models)
    q = run_worker(handler, {"model": "m", "content": [text_part("first"), bad, text_part("third")]})
    assert console.kinds() == ["print", "print", "traceback"]
    assert console.lines == [green(1, 0), MESSAGE_ERROR + expected_text]
    [exc] = console.tracebacks
    assert isinstance(exc, AttributeError) and str(exc) == expected_text
    assert models["t"].inputs == ["query: first"]
    assert len(lives(handler, "text")) == 1
    assert q.task_done_count == 1


@pytest.mark.parametrize(
    "message",
    [
        {"model": "m", "content": (text_part("a"),)},
        {"model": "m", "content": {"type": "text", "text": "a"}},
        {"model": "m", "content": None},
        {"model": "m", "content": 3},
        {"model": "m", "content": b"bytes"},
        {"model": "m"},
    ],
    ids=["tuple", "dict", "none", "number", "bytes", "no-content"],
)
def test_content_of_any_other_kind_embeds_nothing(handler, console, models, images, message):
    setup(handler, models)
    q = run_worker(handler, message)
    assert console.events == []
    assert handler.live_embeddings == {}
    assert models["t"].inputs == [] and models["i"].inputs == []
    assert q.task_done_count == 1


def test_loaded_models_are_looked_up_again_for_every_text_and_image(handler, console, images):
    later = {"t": Picky("t"), "i": Picky("i")}

    class Rebinding(Picky):
        def encode(self, value):
            # Publishes new models mid-message, as a concurrent set-up would.
            handler.embedding_models = later
            return super().encode(value)

    first = {"t": Rebinding("t"), "i": Picky("i")}
    setup(handler, first)
    run_worker(handler, {"model": "m", "content": [text_part("one"), text_part("two"), image_part()]})
    assert first["t"].inputs == ["query: one"]
    assert later["t"].inputs == ["query: two"]
    assert first["i"].inputs == []
    assert later["i"].inputs == images.opened and len(images.opened) == 1
    assert console.lines == [green(1, 0), green(2, 0), green(2, 1)]


def test_loaded_models_are_looked_up_again_for_string_content_of_each_message(handler, console):
    later = {"t": Picky("t")}

    class Rebinding(Picky):
        def encode(self, value):
            handler.embedding_models = later
            return super().encode(value)

    first = {"t": Rebinding("t")}
    setup(handler, first)
    run_worker(handler, {"model": "m", "content": "one"}, {"model": "m", "content": "two"})
    assert first["t"].inputs == ["query: one"]
    assert later["t"].inputs == ["query: two"]


# ---------------------------------------------------------------------------
# A guard whose own report fails, and failing lookups
# ---------------------------------------------------------------------------


def _encode_fails(models):
    models["t"].failure = models["i"].failure = ValueError("encode failed")


@pytest.mark.parametrize(
    "broken, content, text_name, image_name, break_models, outer, processed_after",
    [
        (IMAGE_EMBEDDING_ERROR, [image_part(), text_part("after")], "t", "i", _encode_fails, IMAGE_ERROR, True),
        (image_not_found("gone"), [image_part(), text_part("after")], "t", "gone", None, IMAGE_ERROR, True),
        (IMAGE_ERROR, [image_part("data:image/png"), text_part("after")], "t", "i", None, MESSAGE_ERROR, False),
        (PART_ERROR, [text_part("x"), text_part("after")], "t", "i", _encode_fails, MESSAGE_ERROR, False),
        (text_not_found("gone"), [text_part("x"), image_part()], "gone", "i", None, MESSAGE_ERROR, False),
        (TEXT_ERROR, "x", "t", "i", _encode_fails, MESSAGE_ERROR, None),
        (text_not_found("gone"), "x", "gone", "i", None, MESSAGE_ERROR, None),
        ("[red]Available models: ", "x", "gone", "i", None, MESSAGE_ERROR, None),
    ],
    ids=[
        "image-embedding-guard", "image-not-found", "image-guard", "text-part-guard",
        "text-part-not-found", "text-guard", "text-not-found", "available-models",
    ],
)
def test_failing_report_goes_to_the_enclosing_guard(
    handler, console, broken_console, models, images,
    broken, content, text_name, image_name, break_models, outer, processed_after,
):
    if break_models:
        break_models(models)
        # Only the first part fails: the part after it must embed normally.
        models["t"].fail_on = {"query: x"}
    setup(handler, models, text=text_name, image=image_name)
    broken_console.prefix = broken
    q = run_worker(handler, {"model": "m", "content": content})

    reports = [(i, line) for i, line in enumerate(console.lines) if line.startswith(outer)]
    assert [line for _, line in reports] == [outer + "console down"]
    [exc] = console.tracebacks
    assert isinstance(exc, RuntimeError) and str(exc) == "console down"
    if processed_after:
        assert console.lines[-1] == green(1, 0)
    else:
        assert console.lines[-1] == outer + "console down"
        assert not any(line.startswith("[green]") for line in console.lines)
    assert q.task_done_count == 1


class FailingModels(dict):
    """An embedding-model map whose lookup of one name fails."""

    def __init__(self, models, bad):
        super().__init__(models)
        self.bad = bad
        self.reads = []

    def get(self, *args):
        self.reads.append(args)
        if args[0] == self.bad:
            raise LookupError(f"lookup of {self.bad} failed")
        return super().get(*args)


@pytest.mark.parametrize(
    "content, bad, outer, lines_after",
    [
        ([image_part(), text_part("after")], "i", IMAGE_ERROR, [green(1, 0)]),
        ([text_part("x"), image_part()], "t", MESSAGE_ERROR, []),
        ("x", "t", MESSAGE_ERROR, []),
    ],
    ids=["image-lookup", "text-part-lookup", "text-lookup"],
)
def test_failing_model_lookup_is_reported_by_the_enclosing_guard(
    handler, console, models, images, content, bad, outer, lines_after
):
    setup(handler, models)
    handler.embedding_models = FailingModels(models, bad)
    run_worker(handler, {"model": "m", "content": content})
    assert console.lines == [outer + f"lookup of {bad} failed"] + lines_after
    [exc] = console.tracebacks
    assert isinstance(exc, LookupError)


def test_models_and_parts_are_read_with_get(handler, console, models, images):
    Part = RecordingMapping

    setup(handler, models)
    recording = FailingModels(models, bad=object())
    handler.embedding_models = recording
    text = Part(type="text", text="hi")
    url_dict = Part(url=URL)
    image = Part(type="image_url", image_url=url_dict)
    other = Part(type="other")
    run_worker(handler, {"model": "m", "content": [text, image, other]})

    assert text.reads == [("type",), ("text", "")]
    assert [r[0] for r in image.reads] == ["type", "type", "image_url"]
    assert image.reads[2] == ("image_url", {})
    assert url_dict.reads == [("url", "")]
    assert other.reads == [("type",), ("type",)]
    assert recording.reads == [("t",), ("i",)]
    assert console.lines == [green(1, 0), green(1, 1)]
