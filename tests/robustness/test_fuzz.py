"""Property-based fuzzing of the handler's public calls (hypothesis).

Message contents and request shapes are generated: nested and wrong types,
huge and malformed data URLs, non-string keys, and objects whose methods
raise (`get`, `__eq__`, `__format__`, `__setitem__`, `tolist`, `__iter__`,
`keys`...), some with ordinary exceptions and some with exceptions that do not
derive from `Exception`. Whatever comes in, the process must not crash and
nothing may reach the caller but what the module's rules let through:

* argument errors (`TypeError`) of the argument rules;
* exceptions that do not derive from `Exception` (here: `Injected`, raised
  by the generated objects themselves);
* exceptions raised while a report is being printed (here: `PrintFailure`,
  raised by the rebound `print` when asked to).

The worker is run on the test thread until a sentinel message raises `Stop`
(a BaseException), so that every example is deterministic and bounded.
"""
from __future__ import annotations

import base64
import io
import sys
import threading
import types

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from support import FakeModel, QuietProgress

SETTINGS = settings(max_examples=150, deadline=None, derandomize=False,
                    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])


class Injected(BaseException):
    """A non-Exception raised by generated objects: allowed to pass every guard."""


class Oops(Exception):
    """An ordinary exception raised by generated objects: every guard must catch it."""


class PrintFailure(Exception):
    """Raised by the rebound print: may go outward from the guard that was reporting."""


class Stop(BaseException):
    pass


class StopMessage:
    def get(self, *args):
        raise Stop()


# --- objects whose methods raise ---------------------------------------------------

def _raiser(exc_factory):
    def method(self, *args, **kwargs):
        raise exc_factory()

    return method


def hostile(kind: str, method: str):
    """A class whose `method` raises: kind "exc" raises Oops, "base" raises Injected."""
    exc = Oops if kind == "exc" else Injected
    return type(f"Hostile_{method}_{kind}", (), {method: _raiser(lambda: exc(f"{method} raised"))})()


HOSTILE_METHODS = ["get", "__eq__", "__format__", "__str__", "__iter__", "__len__", "__bool__",
                   "__hash__", "__getitem__", "__setitem__", "startswith", "split", "keys", "tolist",
                   "__getattr__", "__contains__"]

hostile_objects = st.builds(hostile, st.sampled_from(["exc", "base"]), st.sampled_from(HOSTILE_METHODS))


class RaisingDict(dict):
    """A dict subclass whose get raises (allowed in content parts, not as a message)."""

    def __init__(self, exc, *a, **k):
        super().__init__(*a, **k)
        self._exc = exc

    def get(self, *args):
        raise self._exc("get raised")


# --- data URLs ---------------------------------------------------------------------

def _png(size=(3, 3)):
    from PIL import Image

    buf = io.BytesIO()
    Image.new("RGB", size, (10, 200, 30)).save(buf, format="PNG")
    return buf.getvalue()


PNG = _png()
PNG_B64 = base64.b64encode(PNG).decode()
_HUGE = {}


def huge_zero_url():
    """3 MiB of Base64 that decodes to zero bytes: not an image (built once, kept out of reprs)."""
    if "zero" not in _HUGE:
        _HUGE["zero"] = "data:image/png;base64," + "A" * (3 * 2**20)
    return _HUGE["zero"]


def huge_png_url():
    """A real 1500x1500 PNG as a data URL."""
    if "png" not in _HUGE:
        _HUGE["png"] = "data:image/png;base64," + base64.b64encode(_png((1500, 1500))).decode()
    return _HUGE["png"]


data_urls = st.one_of(
    st.just("data:image/png;base64," + PNG_B64),
    st.just("data:image/png;base64," + PNG_B64[: len(PNG_B64) // 2]),       # truncated image
    st.just("data:image/png;base64," + PNG_B64 + "!!**"),                   # junk outside the alphabet
    st.just("data:image/png;base64," + PNG_B64[:-1]),                       # bad padding
    st.just("data:image/png;base64"),                                       # no comma
    st.just("data:image/,,,"),
    st.just("data:image"),
    st.builds(huge_zero_url),
    st.builds(huge_png_url),
    st.builds(lambda b: "data:image/jpeg;base64," + base64.b64encode(b).decode(), st.binary(max_size=300)),
    st.builds(lambda s: "data:image/" + s, st.text(max_size=60)),
    st.just("https://example.com/cat.png"),
    st.text(max_size=40),
)

scalars = st.one_of(st.none(), st.booleans(), st.integers(), st.floats(allow_nan=True),
                    st.text(max_size=30), st.binary(max_size=30), data_urls, hostile_objects)


def weird_keys():
    return st.one_of(st.text(max_size=8), st.integers(), st.none(), st.tuples(st.integers()),
                     st.sampled_from(["type", "text", "image_url", "url", "content", "model"]))


nested = st.recursive(
    scalars,
    lambda children: st.one_of(
        st.lists(children, max_size=4),
        st.tuples(children, children),
        st.dictionaries(weird_keys(), children, max_size=4),
    ),
    max_leaves=12,
)

text_parts = st.fixed_dictionaries({"type": st.just("text")}, optional={"text": st.one_of(st.text(max_size=50), nested)})
image_parts = st.fixed_dictionaries(
    {"type": st.just("image_url")},
    optional={"image_url": st.one_of(st.fixed_dictionaries({}, optional={"url": st.one_of(data_urls, nested)}), nested)},
)
raising_parts = st.builds(RaisingDict, st.sampled_from([Oops, Injected]))
parts = st.one_of(text_parts, image_parts, raising_parts, nested,
                  st.dictionaries(weird_keys(), nested, max_size=3))
contents = st.one_of(st.text(max_size=200), st.lists(parts, max_size=6), nested, st.just(""))


def message_strategy():
    return st.builds(
        lambda content, extra, model, has_content: {
            **extra, **({"content": content} if has_content else {}), **({"model": model} if model is not None else {})},
        contents,
        st.dictionaries(weird_keys(), nested, max_size=3),
        st.one_of(st.none(), st.sampled_from(["served-a", "served-b", "text-none", "unknown"]), nested),
        st.booleans(),
    )


# --- the console and the models ------------------------------------------------------

class Console:
    """Thread-safe recorder bound as the module's print/traceback; can be told to fail."""

    def __init__(self, fail_on=None):
        self.lines = []
        self.tracebacks = 0
        self.fail_on = fail_on
        self._lock = threading.Lock()
        self.traceback = types.SimpleNamespace(print_exc=self.print_exc)

    def print(self, *args, **kwargs):
        assert not kwargs and len(args) == 1 and isinstance(args[0], str), (args, kwargs)
        with self._lock:
            self.lines.append(args[0])
        if self.fail_on is not None and self.fail_on in args[0]:
            raise PrintFailure(args[0])

    def print_exc(self, *args, **kwargs):
        assert not args and not kwargs
        assert sys.exc_info()[1] is not None, "print_exc called with no exception being handled"
        with self._lock:
            self.tracebacks += 1


class PixelModel(FakeModel):
    """An image model that reads the pixels, as a real one does (so lazy-open defects surface)."""

    def encode(self, value):
        if hasattr(value, "load"):
            value.load()
        return super().encode(repr(getattr(value, "size", value)))


class WeirdEmbeddingModel(FakeModel):
    """Returns embeddings that are not arrays, or whose tolist raises."""

    def __init__(self, name, result):
        super().__init__(name)
        self.result = result

    def encode(self, value):
        self.inputs.append(value)
        return self.result


class Rebound:
    """Rebinds module globals for one example and restores them after."""

    def __init__(self, mod, **values):
        self.mod = mod
        self.values = values
        self.saved = {}

    def __enter__(self):
        for k, v in self.values.items():
            self.saved[k] = getattr(self.mod, k)
            setattr(self.mod, k, v)
        return self

    def __exit__(self, *exc):
        for k, v in self.saved.items():
            setattr(self.mod, k, v)


def configure(handler, text_result=None):
    text_model = FakeModel("text-model") if text_result is None else WeirdEmbeddingModel("text-model", text_result)
    handler.embedding_models = {"text-model": text_model, "image-model": PixelModel("image-model")}
    handler.vllm_to_embedding_model_map = {
        "served-a": {"text": "text-model", "image": "image-model"},
        "served-b": {"text": "text-model", "image": None},
        "text-none": {"text": None, "image": "image-model"},
        "missing": {"text": "not-loaded", "image": "not-loaded"},
    }
    handler.text_prefixes = {"served-a": "query: ", "served-b": "passage: "}
    handler.MAX_EMBEDDINGS = 5


def run_worker(handler, messages):
    """Runs the worker on this thread over `messages`, then Stop. Returns what ended it."""
    q = handler.live_messages_queue
    for m in messages:
        q.put_nowait(m)
    with q.mutex:  # past maxsize if need be: the sentinel must always get in
        q.queue.append(StopMessage())
        q.unfinished_tasks += 1
        q.not_empty.notify()
    try:
        handler.live_embedding_worker()
    except BaseException as exc:  # noqa: BLE001 - the property inspects it
        return exc
    raise AssertionError("the worker returned normally")


def clear_queue(q):
    with q.mutex:
        q.queue.clear()
        q.unfinished_tasks = 0


def check_store(handler):
    assert not handler.embedding_lock.locked()
    for name, rings in handler.live_embeddings.items():
        assert list(rings) == ["text", "image"]
        for modality in ("text", "image"):
            assert len(rings[modality]["live"]) <= max(handler.MAX_EMBEDDINGS, 0)


# --- properties ----------------------------------------------------------------------

@SETTINGS
@given(messages=st.lists(message_strategy(), min_size=1, max_size=4),
       fail_on=st.one_of(st.none(), st.sampled_from(["[red]Error processing image", "[green]Model:",
                                                     "[red]Error processing live message", "[yellow]Shift"])))
def test_worker_survives_any_message(mod, messages, fail_on):
    handler = mod.ShiftDetectionRequestHandler()
    configure(handler)
    console = Console(fail_on=fail_on)
    with Rebound(mod, print=console.print, traceback=console.traceback):
        ended = run_worker(handler, messages)
    q = handler.live_messages_queue
    # What ended the worker: the sentinel, a non-Exception from a generated
    # object, or a failure of print while a guard was reporting.
    assert isinstance(ended, (Stop, Injected, PrintFailure)), repr(ended)
    if isinstance(ended, Stop):
        assert q.unfinished_tasks == 0 and q.empty()
    else:
        # The message in hand was still marked done; the rest wait for the next worker.
        assert q.unfinished_tasks == q.qsize()
    if isinstance(ended, PrintFailure):
        assert fail_on is not None
    clear_queue(q)
    check_store(handler)
    # Every red guard line is followed by a traceback; "not found"/"Available" lines are not.
    red_guard_lines = [l for l in console.lines if l.startswith("[red]Error ")]
    assert console.tracebacks <= len(red_guard_lines)
    if not isinstance(ended, PrintFailure):
        assert console.tracebacks == len(red_guard_lines)


@SETTINGS
@given(embedding=st.one_of(nested, st.builds(np.asarray, st.lists(st.floats(width=32), max_size=8))),
       name=st.one_of(st.text(max_size=10), st.integers(), st.none(), hostile_objects, st.lists(st.integers(), max_size=2)),
       modality=st.one_of(st.sampled_from(["text", "image"]), nested),
       capacity=st.integers(min_value=1, max_value=4))
def test_add_embedding_raises_only_what_it_meets(mod, embedding, name, modality, capacity):
    handler = mod.ShiftDetectionRequestHandler()
    handler.MAX_EMBEDDINGS = capacity
    console = Console()
    with Rebound(mod, print=console.print, traceback=console.traceback):
        for _ in range(capacity + 2):
            try:
                handler.add_embedding(name, modality, embedding)
            except (KeyError, TypeError, Oops, Injected) as exc:
                # no guard of its own: a bad modality, an unhashable or hostile name,
                # a hostile embedding; all leave the lock free
                assert not handler.embedding_lock.locked(), exc
                break
            except RecursionError:  # pragma: no cover
                raise
    check_store(handler)
    assert console.tracebacks == 0


def _request(messages, model):
    return types.SimpleNamespace(messages=messages, model=model)


hostile_requests = st.one_of(
    st.builds(_request, st.one_of(st.lists(st.one_of(message_strategy(), nested, raising_parts), max_size=20), nested),
              st.one_of(st.text(max_size=10), nested)),
    hostile_objects,
    st.builds(lambda: types.SimpleNamespace(messages=[{}])),
    nested,
)


@SETTINGS
@given(request=hostile_requests, fail_on=st.one_of(st.none(), st.just("[red]Error handling")))
def test_intake_lets_through_only_what_the_rules_allow(mod, request, fail_on):
    handler = mod.ShiftDetectionRequestHandler()
    console = Console(fail_on=fail_on)
    live = threading.Event()
    handler.embedding_thread = types.SimpleNamespace(is_alive=lambda: True)  # no real worker
    with Rebound(mod, print=console.print, traceback=console.traceback):
        try:
            result = handler.handle_chat_completion_request(request)
        except (Injected, PrintFailure) as exc:
            assert isinstance(exc, Injected) or fail_on is not None
        else:
            assert result is None
    q = handler.live_messages_queue
    queued = list(q.queue)
    assert len(queued) <= 16
    # Only exact dicts are queued, each tagged with the request's model.
    assert all(type(m) is dict for m in queued)
    if queued:
        assert all("model" in m for m in queued)
    clear_queue(q)
    assert not live.is_set()


@SETTINGS
@given(body=st.fixed_dictionaries(
    {"model": st.text(min_size=1, max_size=20),
     "messages": st.lists(st.one_of(
         st.fixed_dictionaries({"role": st.sampled_from(["user", "system", "assistant"]),
                                "content": st.text(max_size=100)}),
         st.fixed_dictionaries({"role": st.just("user"), "content": st.lists(st.one_of(
             st.fixed_dictionaries({"type": st.just("text"), "text": st.text(max_size=50)}),
             st.fixed_dictionaries({"type": st.just("image_url"),
                                    "image_url": st.fixed_dictionaries({"url": data_urls})})),
             min_size=1, max_size=3)})),
         max_size=20)}))
def test_real_requests_reach_the_store_or_are_dropped(mod, body):
    protocol = pytest.importorskip("vllm.entrypoints.openai.protocol")
    try:
        request = protocol.ChatCompletionRequest.model_validate(body)
    except Exception:  # the server answers 400 to those; nothing reaches the handler
        return
    handler = mod.ShiftDetectionRequestHandler()
    configure(handler)
    console = Console()
    handler.embedding_thread = types.SimpleNamespace(is_alive=lambda: True)
    with Rebound(mod, print=console.print, traceback=console.traceback):
        assert handler.handle_chat_completion_request(request) is None
        n = len(body["messages"])
        queued = min(n, 16)
        assert handler.live_messages_queue.qsize() == queued
        assert console.lines.count("[red]Live messages queue is full. Dropping message.[/red]") == n - queued
        assert all(m["model"] == body["model"] for m in list(handler.live_messages_queue.queue))
        ended = run_worker(handler, [])
    assert isinstance(ended, Stop)
    assert handler.live_messages_queue.unfinished_tasks == 0
    check_store(handler)


@SETTINGS
@given(result=st.one_of(nested, st.builds(lambda e: types.SimpleNamespace(tolist=_raiser(lambda: e("tolist"))),
                                          st.sampled_from([Oops, Injected]))))
def test_weird_embeddings_from_a_model(mod, result):
    handler = mod.ShiftDetectionRequestHandler()
    configure(handler, text_result=result)
    console = Console()
    with Rebound(mod, print=console.print, traceback=console.traceback):
        ended = run_worker(handler, [{"model": "served-a", "content": "hello"},
                                     {"model": "served-a", "content": [{"type": "text", "text": "x"}]}])
    assert isinstance(ended, (Stop, Injected)), repr(ended)
    check_store(handler)


@SETTINGS
@given(recipe_paths=st.one_of(nested, st.dictionaries(st.one_of(st.text(max_size=5), st.integers()),
                                                      st.one_of(st.text(max_size=20), nested, hostile_objects),
                                                      max_size=3)))
def test_init_models_never_raises_an_exception(mod, tmp_path_factory, recipe_paths):
    handler = mod.ShiftDetectionRequestHandler()
    console = Console()

    with Rebound(mod, print=console.print, traceback=console.traceback, Progress=QuietProgress,
                 SentenceTransformer=lambda name, backend: FakeModel(name)):
        try:
            handler.init_models(recipe_paths)
        except Injected:
            pass
    red = [l for l in console.lines if l.startswith("[red]")]
    assert console.tracebacks == len(red)
    assert not handler.embedding_lock.locked()
