"""The module boundary: namespace, class and method metadata, argument
handling, handler state, import identity, interpreters and the built
shared object."""
from __future__ import annotations

import ctypes
import importlib
import json
import os
import queue
import subprocess
import sys
import textwrap
import threading
import types

import pytest

from support import HANDLER_ATTRIBUTES as ATTRIBUTES

MODULE_NAME = "olvane_sdk.fast.deployment.ood.interceptor"
CLASS_NAME = "ShiftDetectionRequestHandler"
METHODS = [
    "__init__",
    "init_models",
    "add_embedding",
    "live_embedding_worker",
    "start_live_embedding_worker",
    "add_live_message",
    "handle_chat_completion_request",
]
PARAMS = {
    "__init__": ["self"],
    "init_models": ["self", "recipe_paths"],
    "add_embedding": ["self", "vllm_model_name", "modal_type", "embedding"],
    "live_embedding_worker": ["self"],
    "start_live_embedding_worker": ["self"],
    "add_live_message": ["self", "message"],
    "handle_chat_completion_request": ["self", "request"],
}
NAMESPACE = [
    "os",
    "json",
    "base64",
    "threading",
    "traceback",
    "Queue",
    "Full",
    "Empty",
    "BytesIO",
    "np",
    "IsolationForest",
    "Progress",
    "print",
    "SentenceTransformer",
    "Image",
    "ChatCompletionRequest",
    CLASS_NAME,
    "olvane_shift_detection_handler",
    "__test__",
]


def _doc(signature, *lines):
    if not lines:
        return signature
    body = "".join(" " * 8 + line + "\n" if line else " " * 8 + "\n" for line in lines)
    return signature + "\n\n" + body + " " * 8


DOCS = {
    "__init__": _doc("ShiftDetectionRequestHandler.__init__(self)"),
    "init_models": _doc(
        "ShiftDetectionRequestHandler.init_models(self, recipe_paths)",
        "Initializes embedding models.",
        "Also creates mapping between vllm model names and embedding model names.",
        "Now also extracts and stores text_prefix from config.",
    ),
    "add_embedding": _doc(
        "ShiftDetectionRequestHandler.add_embedding(self, vllm_model_name, modal_type, embedding)",
        "Add an embedding using round-robin approach.",
        "If the storage is full, replace the oldest embedding.",
        "",
        "Args:",
        "    vllm_model_name: Name of the VLLM model",
        "    modal_type: 'text' or 'image'",
        "    embedding: The embedding to add",
    ),
    "live_embedding_worker": _doc(
        "ShiftDetectionRequestHandler.live_embedding_worker(self)",
        "Runs in a separate thread, continuously processing live messages from the queue.",
        "For each message, it uses the model specified in the message (via request.model)",
        "and computes embeddings for text and/or image content.",
        "Now uses the text_prefix from config for each model.",
    ),
    "start_live_embedding_worker": _doc(
        "ShiftDetectionRequestHandler.start_live_embedding_worker(self)",
        "Starts the live embedding worker in a separate thread if one is not already running.",
    ),
    "add_live_message": _doc(
        "ShiftDetectionRequestHandler.add_live_message(self, dict message: dict)",
        "Enqueues a new live message for embedding computation.",
        "If the queue is full (over 16 pending messages), the message is dropped.",
    ),
    "handle_chat_completion_request": _doc(
        "ShiftDetectionRequestHandler.handle_chat_completion_request(self, request: ChatCompletionRequest)",
        "Enqueues incoming messages for live embedding computation.",
        "Uses request.model for selecting the appropriate model.",
    ),
}
ANNOTATIONS = {
    "add_live_message": {"message": "dict"},
    "handle_chat_completion_request": {"request": "ChatCompletionRequest"},
}


class Tripwire(BaseException):
    """Raised by TripwireSelf: a method body ran although it must not."""


class TripwireSelf:
    """A stand-in `self` that stops any method body at its first attribute
    access, so that calls which must be refused can never start a worker or
    block."""

    def __getattribute__(self, name):
        raise Tripwire(name)

    def __setattr__(self, name, value):
        raise Tripwire(name)


def call_with_dict(func, args, kwargs):
    """Calls func's tp_call with exactly this kwargs dict (so it may hold keys
    that are not strings); PyObject_Call would take the vectorcall path and
    refuse such keys before the method sees them."""
    return type(func).__call__(func, *args, **kwargs)


def vectorcall(func, args, kwnames):
    """PyObject_Vectorcall with a kwnames tuple that may hold non-strings;
    the trailing len(kwnames) entries of args are the keyword values."""
    api = ctypes.pythonapi.PyObject_Vectorcall
    api.restype = ctypes.py_object
    api.argtypes = [ctypes.py_object, ctypes.POINTER(ctypes.py_object), ctypes.c_size_t, ctypes.py_object]
    stack = (ctypes.py_object * len(args))(*args)
    return api(func, stack, len(args) - len(kwnames), tuple(kwnames))


def subprocess_env(mod):
    """The environment for a child interpreter that imports the module the
    same way this process does."""
    env = dict(os.environ)
    pkg_root = os.path.dirname(os.path.dirname(os.path.dirname(os.path.dirname(os.path.dirname(mod.__file__)))))
    parts = [pkg_root] + [p for p in env.get("PYTHONPATH", "").split(os.pathsep) if p]
    env["PYTHONPATH"] = os.pathsep.join(parts)
    return env


def run_child(mod, code, timeout=240):
    # A child that hangs (exit included) prints every thread's stack and ends
    # with status 1 before the parent's own timeout.
    watchdog = f"import faulthandler; faulthandler.dump_traceback_later({timeout - 20}, exit=True)\n"
    proc = subprocess.run(
        [sys.executable, "-c", watchdog + textwrap.dedent(code)],
        env=subprocess_env(mod),
        capture_output=True,
        text=True,
        timeout=timeout,
    )
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout.strip().splitlines()[-1])


# --------------------------------------------------------------------------
# module namespace and class
# --------------------------------------------------------------------------


def test_namespace_binding_order(mod):
    names = [n for n in vars(mod) if n == "__test__" or not (n.startswith("__") and n.endswith("__"))]
    assert names == NAMESPACE


def test_module_level_names_are_the_imported_objects(mod):
    import base64
    import io
    import traceback

    import numpy
    import PIL
    import rich
    import rich.progress
    import sentence_transformers
    import sklearn.ensemble
    import vllm.entrypoints.openai.protocol as protocol

    expected = {
        "os": os,
        "json": json,
        "base64": base64,
        "threading": threading,
        "traceback": traceback,
        "Queue": queue.Queue,
        "Full": queue.Full,
        "Empty": queue.Empty,
        "BytesIO": io.BytesIO,
        "np": numpy,
        "IsolationForest": sklearn.ensemble.IsolationForest,
        "Progress": rich.progress.Progress,
        "print": rich.print,
        "SentenceTransformer": sentence_transformers.SentenceTransformer,
        "Image": PIL.Image,
        "ChatCompletionRequest": protocol.ChatCompletionRequest,
    }
    for name, value in expected.items():
        assert getattr(mod, name) is value, name
    import builtins

    assert mod.print is not builtins.print


def test_module_dunders(mod):
    import builtins

    spec = mod.__spec__
    assert mod.__name__ == MODULE_NAME
    assert mod.__doc__ is None
    assert mod.__file__ == spec.origin
    assert mod.__loader__ is spec.loader
    assert mod.__package__ == "olvane_sdk.fast.deployment.ood"
    assert not hasattr(mod, "__path__")
    assert mod.__builtins__ is builtins
    assert type(mod.__test__) is dict and mod.__test__ == {}
    assert sys.modules[MODULE_NAME] is mod


def test_class(mod):
    cls = mod.ShiftDetectionRequestHandler
    assert type(cls) is type
    assert cls.__name__ == CLASS_NAME
    assert cls.__qualname__ == CLASS_NAME
    assert cls.__module__ == MODULE_NAME
    assert cls.__bases__ == (object,)
    assert cls.__doc__ is None
    own = [k for k in vars(cls) if k not in ("__dict__", "__weakref__", "__doc__")]
    assert own == ["__module__", *METHODS]
    assert type(mod.olvane_shift_detection_handler) is cls


@pytest.mark.parametrize("name", METHODS)
def test_method_metadata(mod, name):
    func = vars(mod.ShiftDetectionRequestHandler)[name]
    assert func.__name__ == name
    assert func.__qualname__ == f"{CLASS_NAME}.{name}"
    assert func.__module__ == MODULE_NAME
    assert func.__doc__ == DOCS[name]
    assert func.__annotations__ == ANNOTATIONS.get(name, {})
    assert func.__globals__ is vars(mod)


@pytest.mark.parametrize("name", METHODS)
def test_methods_bind_from_an_instance(mod, handler, name):
    func = vars(mod.ShiftDetectionRequestHandler)[name]
    bound = getattr(handler, name)
    assert bound.__self__ is handler
    assert bound.__func__ is func
    assert getattr(mod.ShiftDetectionRequestHandler, name) is func


def test_globals_are_looked_up_at_call_time(mod, handler, monkeypatch):
    lines = []
    monkeypatch.setattr(mod, "print", lines.append)
    handler.add_embedding("m", "text", [1])
    assert lines == ["[green]Model: m | Text: 1 embeddings | Image: 0 embeddings[/green]"]


# --------------------------------------------------------------------------
# argument errors
# --------------------------------------------------------------------------


def _count_error(name, given):
    n = len(PARAMS[name])
    return f"{name}() takes exactly {n} positional argument{'s' if n != 1 else ''} ({given} given)"


# (id, how to call: "bound" uses a new handler, "class" passes args as given)
COUNT_CASES = [
    ("bound add_embedding 2", "add_embedding", "bound", ("m", "text"), {}, 3),
    ("bound start 1", "start_live_embedding_worker", "bound", (1,), {}, 2),
    ("bound worker 1", "live_embedding_worker", "bound", (None,), {}, 2),
    ("bound handle 0", "handle_chat_completion_request", "bound", (), {}, 1),
    ("bound add_live_message 2", "add_live_message", "bound", ({}, {}), {}, 3),
    ("bound init_models 0", "init_models", "bound", (), {}, 1),
    ("bound __init__ 1", "__init__", "bound", (1,), {}, 2),
    ("class __init__ 0", "__init__", "class", (), {}, 0),
    ("class init_models 1", "init_models", "class", ("self",), {}, 1),
    ("class add_embedding 0", "add_embedding", "class", (), {}, 0),
    ("class add_embedding 5", "add_embedding", "class", ("self", 1, 2, 3, 4), {}, 5),
    ("class handle 3", "handle_chat_completion_request", "class", ("self", 1, 2), {}, 3),
    ("class start 0", "start_live_embedding_worker", "class", (), {}, 0),
    # keywords used and a parameter missing: M counts the parameters before
    # the first missing one
    ("kw missing modal_type", "add_embedding", "bound", ("m",), {"embedding": 1}, 2),
    ("kw missing embedding", "add_embedding", "bound", ("m",), {"modal_type": "t"}, 3),
    ("kw missing vllm_model_name", "add_embedding", "bound", (), {"embedding": 1, "modal_type": "t"}, 1),
    ("kw missing self", "add_embedding", "class", (), {"vllm_model_name": "m", "modal_type": "t", "embedding": 1}, 0),
    ("kw init_models self only", "init_models", "class", (), {"self": "self"}, 1),
    ("kw init_models no self", "init_models", "class", (), {"recipe_paths": {}}, 0),
    ("kw add_live_message no self", "add_live_message", "class", (), {"message": {}}, 0),
    ("kw handle no request", "handle_chat_completion_request", "class", (), {"self": "self"}, 1),
]


def _invoke(mod, how, name, args, kwargs):
    if how == "bound":
        return getattr(mod.ShiftDetectionRequestHandler(), name)(*args, **kwargs)
    fill = lambda v: TripwireSelf() if v == "self" else v  # noqa: E731
    func = getattr(mod.ShiftDetectionRequestHandler, name)
    return func(*[fill(a) for a in args], **{k: fill(v) for k, v in kwargs.items()})


@pytest.mark.parametrize(
    "name, how, args, kwargs, given", [c[1:] for c in COUNT_CASES], ids=[c[0] for c in COUNT_CASES]
)
def test_argument_count_errors(mod, console, name, how, args, kwargs, given):
    with pytest.raises(TypeError) as info:
        _invoke(mod, how, name, args, kwargs)
    assert str(info.value) == _count_error(name, given)
    assert console.events == []


def test_singular_for_one_parameter(mod):
    with pytest.raises(TypeError) as info:
        mod.ShiftDetectionRequestHandler().start_live_embedding_worker(1)
    assert str(info.value) == "start_live_embedding_worker() takes exactly 1 positional argument (2 given)"


def test_constructor_argument_errors_through_the_class_call(mod):
    cls = mod.ShiftDetectionRequestHandler
    with pytest.raises(TypeError) as info:
        cls(1)
    assert str(info.value) == "__init__() takes exactly 1 positional argument (2 given)"
    with pytest.raises(TypeError) as info:
        cls(size=16)
    assert str(info.value) == "__init__() got an unexpected keyword argument 'size'"


KEYWORD_CASES = [
    ("unexpected add_embedding", "add_embedding", "bound", ("m", "t", 1), {"extra": 2},
     "add_embedding() got an unexpected keyword argument 'extra'"),
    ("unexpected start", "start_live_embedding_worker", "bound", (), {"force": True},
     "start_live_embedding_worker() got an unexpected keyword argument 'force'"),
    ("unexpected __init__", "__init__", "class", ("self",), {"maxsize": 16},
     "__init__() got an unexpected keyword argument 'maxsize'"),
    ("unexpected worker", "live_embedding_worker", "class", ("self",), {"timeout": 1},
     "live_embedding_worker() got an unexpected keyword argument 'timeout'"),
    ("unexpected handle", "handle_chat_completion_request", "bound", (None,), {"model": "m"},
     "handle_chat_completion_request() got an unexpected keyword argument 'model'"),
    ("multiple init_models", "init_models", "bound", ({},), {"recipe_paths": {}},
     "init_models() got multiple values for keyword argument 'recipe_paths'"),
    ("multiple self", "add_embedding", "class", ("self", "m", "t", 1), {"self": "self"},
     "add_embedding() got multiple values for keyword argument 'self'"),
    ("multiple modal_type", "add_embedding", "bound", ("m", "t", 1), {"modal_type": "t"},
     "add_embedding() got multiple values for keyword argument 'modal_type'"),
    ("multiple message", "add_live_message", "bound", ({},), {"message": {}},
     "add_live_message() got multiple values for keyword argument 'message'"),
    ("multiple request", "handle_chat_completion_request", "class", ("self", None), {"request": None},
     "handle_chat_completion_request() got multiple values for keyword argument 'request'"),
]


@pytest.mark.parametrize(
    "name, how, args, kwargs, message", [c[1:] for c in KEYWORD_CASES], ids=[c[0] for c in KEYWORD_CASES]
)
def test_keyword_errors(mod, console, name, how, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        _invoke(mod, how, name, args, kwargs)
    assert str(info.value) == message
    assert console.events == []


@pytest.mark.parametrize("name", METHODS)
def test_non_string_keyword(mod, name):
    func = getattr(mod.ShiftDetectionRequestHandler, name)
    args = [TripwireSelf()] + [None] * (len(PARAMS[name]) - 1)
    with pytest.raises(TypeError) as info:
        call_with_dict(func, args, {1: 2})
    assert str(info.value) == f"{name}() keywords must be strings"


def test_non_string_keyword_among_string_keywords(mod):
    func = mod.ShiftDetectionRequestHandler.add_embedding
    with pytest.raises(TypeError) as info:
        call_with_dict(func, [TripwireSelf(), "m"], {"modal_type": "t", "embedding": 1, ("embedding",): 1})
    assert str(info.value) == "add_embedding() keywords must be strings"


@pytest.mark.parametrize(
    "args, kwnames, expected",
    [
        # every parameter present, one extra non-string keyword
        (["self", "m", "t", "e", 1], [7], "add_embedding() keywords must be strings"),
        # a missing parameter is reported before the odd keyword
        (["self", "m", 1], [7], "add_embedding() takes exactly 4 positional arguments (2 given)"),
    ],
    ids=["complete", "missing first"],
)
def test_non_string_keyword_through_vectorcall(mod, args, kwnames, expected):
    func = mod.ShiftDetectionRequestHandler.add_embedding
    args = [TripwireSelf() if a == "self" else a for a in args]
    with pytest.raises(TypeError) as info:
        vectorcall(func, args, kwnames)
    assert str(info.value) == expected


class FancyDict(dict):
    pass


@pytest.mark.parametrize(
    "value, type_name",
    [(None, "NoneType"), (FancyDict(), "FancyDict"), ([("role", "user")], "list"), (types.MappingProxyType({}), "mappingproxy")],
    ids=["None", "dict subclass", "list", "mappingproxy"],
)
@pytest.mark.parametrize("style", ["bound", "keyword", "class"])
def test_add_live_message_refuses_anything_but_a_dict(mod, handler, console, value, type_name, style):
    with pytest.raises(TypeError) as info:
        if style == "bound":
            handler.add_live_message(value)
        elif style == "keyword":
            handler.add_live_message(message=value)
        else:
            mod.ShiftDetectionRequestHandler.add_live_message(handler, value)
    assert str(info.value) == f"Argument 'message' has incorrect type (expected dict, got {type_name})"
    assert handler.live_messages_queue.qsize() == 0
    assert console.events == []


@pytest.mark.parametrize("style", ["bound", "keyword", "class", "self keyword"])
def test_add_live_message_accepts_an_exact_dict(mod, handler, console, style):
    message = {"role": "user", "content": "hi"}
    if style == "bound":
        result = handler.add_live_message(message)
    elif style == "keyword":
        result = handler.add_live_message(message=message)
    elif style == "class":
        result = mod.ShiftDetectionRequestHandler.add_live_message(handler, message)
    else:
        result = mod.ShiftDetectionRequestHandler.add_live_message(message=message, self=handler)
    assert result is None
    assert handler.live_messages_queue.get_nowait() is message


def test_request_annotation_is_not_enforced(handler, console):
    # A live thread already: the call must not start another one.
    alive = types.SimpleNamespace(is_alive=lambda: True)
    handler.embedding_thread = alive
    request = types.SimpleNamespace(model="served", messages=[{"role": "user", "content": "hi"}])
    assert handler.handle_chat_completion_request(request) is None
    assert handler.live_messages_queue.get_nowait() == {"role": "user", "content": "hi", "model": "served"}
    assert handler.embedding_thread is alive


@pytest.mark.parametrize("style", ["bound", "class positional", "self keyword", "all keywords"])
def test_calls_through_the_class_behave_like_bound_calls(mod, handler, console, style):
    cls = mod.ShiftDetectionRequestHandler
    if style == "bound":
        result = handler.add_embedding("m", "image", [1])
    elif style == "class positional":
        result = cls.add_embedding(handler, "m", "image", [1])
    elif style == "self keyword":
        result = cls.add_embedding(handler, "m", modal_type="image", embedding=[1])
    else:
        result = cls.add_embedding(embedding=[1], self=handler, modal_type="image", vllm_model_name="m")
    assert result is None
    assert handler.live_embeddings == {"m": {"text": {"live": []}, "image": {"live": [[1]]}}}
    assert console.lines == ["[green]Model: m | Text: 0 embeddings | Image: 1 embeddings[/green]"]


def test_init_models_with_self_by_keyword(mod, handler, console, progress_recorder):
    assert mod.ShiftDetectionRequestHandler.init_models(recipe_paths={}, self=handler) is None
    assert handler.text_prefixes == {}
    assert progress_recorder.tasks == [(("[green]Configuring shift detection...",), {"total": 0})]


# --------------------------------------------------------------------------
# handler state
# --------------------------------------------------------------------------


def test_new_handler_has_the_nine_attributes(handler):
    state = vars(handler)
    assert list(state) == ATTRIBUTES
    for name in ("embedding_models", "train_test_embeddings", "live_embeddings", "embedding_indices",
                 "vllm_to_embedding_model_map"):
        assert type(state[name]) is dict and state[name] == {}, name
    assert type(state["MAX_EMBEDDINGS"]) is int and state["MAX_EMBEDDINGS"] == 1000
    q = state["live_messages_queue"]
    assert type(q) is queue.Queue and q.maxsize == 16 and q.qsize() == 0
    lock = state["embedding_lock"]
    assert type(lock) is type(threading.Lock())
    assert not lock.locked()
    assert state["embedding_thread"] is None


def test_text_prefixes_missing_until_init_models(handler, console, progress_recorder):
    assert not hasattr(handler, "text_prefixes")
    with pytest.raises(AttributeError):
        handler.text_prefixes
    handler.init_models({})
    assert handler.text_prefixes == {}


def test_constructor_builds_queue_and_lock_from_module_names(mod, monkeypatch):
    made = []

    def fake_queue(*args, **kwargs):
        made.append(("Queue", args, kwargs))
        return "the queue"

    def fake_lock(*args, **kwargs):
        made.append(("Lock", args, kwargs))
        return "the lock"

    monkeypatch.setattr(mod, "Queue", fake_queue)
    monkeypatch.setattr(mod, "threading", types.SimpleNamespace(Lock=fake_lock))
    h = mod.ShiftDetectionRequestHandler()
    assert made == [("Queue", (), {"maxsize": 16}), ("Lock", (), {})]
    assert h.live_messages_queue == "the queue"
    assert h.embedding_lock == "the lock"


def test_constructor_failure_propagates(mod, console, monkeypatch):
    exc = MemoryError("no queue")

    def failing_queue(**kwargs):
        raise exc

    monkeypatch.setattr(mod, "Queue", failing_queue)
    with pytest.raises(MemoryError) as info:
        mod.ShiftDetectionRequestHandler()
    assert info.value is exc
    assert console.events == []


def test_init_sets_exactly_the_nine_attributes_again(mod, handler):
    handler.extra = "kept"
    old_queue = handler.live_messages_queue
    handler.MAX_EMBEDDINGS = 5
    assert mod.ShiftDetectionRequestHandler.__init__(handler) is None
    assert list(vars(handler)) == ATTRIBUTES + ["extra"]
    assert handler.extra == "kept"
    assert handler.MAX_EMBEDDINGS == 1000
    assert handler.live_messages_queue is not old_queue


def test_two_handlers_share_nothing(mod, console):
    a = mod.ShiftDetectionRequestHandler()
    b = mod.ShiftDetectionRequestHandler()
    for name in ATTRIBUTES:
        if name in ("MAX_EMBEDDINGS", "embedding_thread"):
            continue
        assert getattr(a, name) is not getattr(b, name), name
    a.add_embedding("m", "text", [1])
    a.add_live_message({"role": "user"})
    with a.embedding_lock:
        assert not b.embedding_lock.locked()
    a.MAX_EMBEDDINGS = 3
    assert b.live_embeddings == {} and b.embedding_indices == {}
    assert b.live_messages_queue.qsize() == 0
    assert b.MAX_EMBEDDINGS == 1000
    singleton = mod.olvane_shift_detection_handler
    assert all(getattr(singleton, n) is not getattr(a, n) for n in ("live_embeddings", "live_messages_queue"))


# --------------------------------------------------------------------------
# import identity
# --------------------------------------------------------------------------


def test_reimport_after_removal_gives_the_same_objects(mod, monkeypatch):
    cls = mod.ShiftDetectionRequestHandler
    singleton = mod.olvane_shift_detection_handler
    queue_before = singleton.live_messages_queue
    marker = object()
    monkeypatch.setattr(singleton, "reimport_marker", marker, raising=False)
    calls = []

    def constructor_ran(*args, **kwargs):
        calls.append(args)
        raise AssertionError("constructor ran again")

    monkeypatch.setattr(mod, "Queue", constructor_ran)
    removed = sys.modules.pop(MODULE_NAME)
    try:
        again = importlib.import_module(MODULE_NAME)
    finally:
        sys.modules[MODULE_NAME] = removed
    assert again is mod
    assert again.ShiftDetectionRequestHandler is cls
    assert again.olvane_shift_detection_handler is singleton
    assert singleton.reimport_marker is marker
    assert singleton.live_messages_queue is queue_before
    assert calls == []
    assert sys.modules["olvane_sdk.fast.deployment.ood"].interceptor is mod


def test_module_from_spec_and_exec_return_the_one_module(mod, monkeypatch):
    import importlib.util

    singleton = mod.olvane_shift_detection_handler
    names = list(vars(mod))

    def constructor_ran(*args, **kwargs):
        raise AssertionError("constructor ran again")

    monkeypatch.setattr(mod, "Queue", constructor_ran)
    again = importlib.util.module_from_spec(mod.__spec__)
    assert again is mod
    assert mod.__spec__.loader.exec_module(again) is None
    assert mod.olvane_shift_detection_handler is singleton
    assert list(vars(mod)) == names


def test_second_interpreter_is_refused_while_the_first_keeps_working(mod, tmp_path):
    out = tmp_path / "sub.txt"
    result = run_child(
        mod,
        f"""
        import json, importlib, sys
        import _xxsubinterpreters as interpreters
        import {MODULE_NAME} as m
        sub = interpreters.create()
        try:
            interpreters.run_string(sub, '''
        try:
            import {MODULE_NAME}
            outcome = "imported"
        except BaseException as e:
            outcome = type(e).__name__ + "|" + str(e)
        with open({str(out)!r}, "w") as f:
            f.write(outcome)
        ''')
        finally:
            interpreters.destroy(sub)
        lines = []
        m.print = lines.append
        h = m.olvane_shift_detection_handler
        h.add_embedding("m", "text", [1.5])
        print(json.dumps({{
            "same": importlib.import_module("{MODULE_NAME}") is m,
            "lines": lines,
            "live": h.live_embeddings,
        }}))
        """,
    )
    assert out.read_text() == (
        "ImportError|Interpreter change detected - this module can only be loaded into one interpreter per process."
    )
    assert result == {
        "same": True,
        "lines": ["[green]Model: m | Text: 1 embeddings | Image: 0 embeddings[/green]"],
        "live": {"m": {"text": {"live": [[1.5]]}, "image": {"live": []}}},
    }


_HIDE_PACKAGE = """
import sys, json, importlib
HIDDEN = {hidden!r}

class Hide:
    def find_spec(self, name, path=None, target=None):
        if name == HIDDEN or name.startswith(HIDDEN + "."):
            raise ModuleNotFoundError(f"{{HIDDEN}} is hidden here", name=HIDDEN)
        return None

hider = Hide()
sys.meta_path.insert(0, hider)
first = None
try:
    importlib.import_module("{module}")
except BaseException as e:
    first = [type(e).__name__, str(e), getattr(e, "name", None)]
failed_left = "{module}" in sys.modules
sys.meta_path.remove(hider)
m = importlib.import_module("{module}")
h = m.olvane_shift_detection_handler
print(json.dumps({{
    "first": first,
    "failed_left": failed_left,
    "second": type(h).__name__,
    "attributes": list(vars(h)),
    "hidden_bound": getattr(m, {binding!r}) is not None,
}}))
"""


@pytest.mark.parametrize(
    "hidden, binding",
    [("sklearn", "IsolationForest"), ("vllm", "ChatCompletionRequest")],
)
def test_import_with_a_hidden_dependency_fails_then_succeeds(mod, hidden, binding):
    result = run_child(mod, _HIDE_PACKAGE.format(hidden=hidden, module=MODULE_NAME, binding=binding))
    assert result == {
        "first": ["ModuleNotFoundError", f"{hidden} is hidden here", hidden],
        "failed_left": False,
        "second": CLASS_NAME,
        "attributes": ATTRIBUTES,
        "hidden_bound": True,
    }


def test_missing_name_in_an_imported_module(mod):
    result = run_child(
        mod,
        f"""
        import json, importlib, sys
        import rich.progress
        saved = rich.progress.Progress
        del rich.progress.Progress
        first = None
        try:
            importlib.import_module("{MODULE_NAME}")
        except BaseException as e:
            first = [type(e).__name__, str(e)]
        left = "{MODULE_NAME}" in sys.modules
        rich.progress.Progress = saved
        m = importlib.import_module("{MODULE_NAME}")
        print(json.dumps({{"first": first, "left": left, "progress": m.Progress is saved}}))
        """,
    )
    assert result == {"first": ["ImportError", "cannot import name Progress"], "left": False, "progress": True}


# --------------------------------------------------------------------------
# the built shared object
# --------------------------------------------------------------------------


def _tool(name, *args):
    proc = subprocess.run([name, *args], capture_output=True, text=True, timeout=60)
    assert proc.returncode == 0, proc.stderr
    return proc.stdout


def test_only_the_init_function_is_exported(mod):
    out = _tool("nm", "-D", "--defined-only", mod.__file__)
    symbols = [line.split()[-1] for line in out.splitlines() if line.strip()]
    assert symbols == ["PyInit_interceptor"]


def test_only_the_system_libraries_are_needed(mod):
    out = _tool("readelf", "-d", mod.__file__)
    needed = [line.split("[", 1)[1].rstrip("]").strip() for line in out.splitlines() if "(NEEDED)" in line]
    assert "libc.so.6" in needed
    assert set(needed) <= {"libc.so.6", "libpthread.so.0"}, needed
