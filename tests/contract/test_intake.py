"""Request intake: tagging and queueing messages, dropping on a full queue,
and starting (or not) the live embedding worker."""
from __future__ import annotations

import queue
import threading
import types

import pytest

from support import StopWorker, stop_worker, wait_until

FULL_LINE = "[red]Live messages queue is full. Dropping message.[/red]"
REQUEST_ERROR = "[red]Error handling chat completion request:[/red] "
ADD_ERROR = "[red]Error adding live message:[/red] "
START_ERROR = "[red]Error starting live embedding worker:[/red] "


class FakeThreading:
    """Replaces the module's `threading`: Thread objects record how they were
    made and started, and never run their target, so nothing consumes the
    queue. `on_start(thread)` runs at the beginning of every start();
    `fail_next_start` (an exception) makes the next start() raise it."""

    def __init__(self):
        self.made: list = []
        self.on_start = None
        self.fail_next_start = None
        self.Lock = threading.Lock
        outer = self

        class Thread:
            def __init__(self, *args, **kwargs):
                self.args = args
                self.kwargs = kwargs
                self.start_calls = 0
                self.alive = False
                outer.made.append(self)

            def start(self):
                self.start_calls += 1
                if outer.on_start is not None:
                    outer.on_start(self)
                if outer.fail_next_start is not None:
                    exc, outer.fail_next_start = outer.fail_next_start, None
                    raise exc
                self.alive = True

            def is_alive(self):
                return self.alive

        self.Thread = Thread


@pytest.fixture
def fake_threading(mod, handler, monkeypatch):
    fake = FakeThreading()
    monkeypatch.setattr(mod, "threading", fake)
    return fake


class Request:
    def __init__(self, messages, model="served-a"):
        self.messages = messages
        self.model = model


def queued(handler) -> list:
    """The queue's pending messages, oldest first, without taking them."""
    return list(handler.live_messages_queue.queue)


def chat(n, start=0):
    return [{"role": "user", "content": f"message {i}"} for i in range(start, start + n)]


# ---------------------------------------------------------------------------
# handle_chat_completion_request
# ---------------------------------------------------------------------------


def test_twenty_messages_first_sixteen_queued_then_four_dropped_then_worker_started(
    handler, console, fake_threading
):
    messages = chat(20)
    snapshots = []
    fake_threading.on_start = lambda t: snapshots.append((queued(handler), list(console.events)))

    assert handler.handle_chat_completion_request(Request(messages, model="served-a")) is None

    pending = queued(handler)
    assert len(pending) == 16
    assert all(a is b for a, b in zip(pending, messages[:16]))
    assert [m["model"] for m in messages] == ["served-a"] * 20
    assert console.events == [("print", FULL_LINE)] * 4
    # The worker was started once, after every message had been offered.
    assert len(fake_threading.made) == 1
    assert fake_threading.made[0].start_calls == 1
    [(pending_at_start, events_at_start)] = snapshots
    assert all(a is b for a, b in zip(pending_at_start, messages[:16])) and len(pending_at_start) == 16
    assert events_at_start == [("print", FULL_LINE)] * 4


@pytest.mark.parametrize("container", [list, tuple, iter], ids=["list", "tuple", "iterator"])
def test_messages_are_queued_in_request_order_from_any_iterable(handler, console, fake_threading, container):
    messages = chat(3)
    handler.handle_chat_completion_request(Request(container(messages), model="m"))
    pending = queued(handler)
    assert len(pending) == 3 and all(a is b for a, b in zip(pending, messages))
    assert [m["model"] for m in pending] == ["m", "m", "m"]
    assert console.events == []
    assert len(fake_threading.made) == 1 and fake_threading.made[0].start_calls == 1


@pytest.mark.parametrize("messages", [[], (), iter(())], ids=["list", "tuple", "iterator"])
def test_request_without_messages_prints_nothing_and_still_starts_the_worker(
    handler, console, fake_threading, messages
):
    assert handler.handle_chat_completion_request(Request(messages)) is None
    assert console.events == []
    assert handler.live_messages_queue.qsize() == 0
    assert len(fake_threading.made) == 1
    assert fake_threading.made[0].start_calls == 1
    assert handler.embedding_thread is fake_threading.made[0]


def test_model_key_is_overwritten_in_the_request_own_message(handler, console, fake_threading):
    message = {"role": "user", "content": "hi", "model": "stale", "name": "x"}
    request = Request([message], model="served-b")
    handler.handle_chat_completion_request(request)
    taken = handler.live_messages_queue.get_nowait()
    assert taken is message
    assert request.messages[0] is message
    assert message == {"role": "user", "content": "hi", "model": "served-b", "name": "x"}
    assert console.events == []


def test_request_model_is_read_again_for_every_message(handler, console, fake_threading):
    class CountingRequest:
        def __init__(self, messages):
            self.messages = messages
            self.reads = 0

        @property
        def model(self):
            self.reads += 1
            return f"model-{self.reads}"

    messages = chat(3)
    request = CountingRequest(messages)
    handler.handle_chat_completion_request(request)
    assert [m["model"] for m in queued(handler)] == ["model-1", "model-2", "model-3"]
    assert request.reads == 3


def test_messages_go_through_the_handler_methods_then_one_worker_start(handler, console, fake_threading):
    calls = []
    handler.add_live_message = lambda message: calls.append(("add", message["content"], message["model"]))
    handler.start_live_embedding_worker = lambda: calls.append(("start",))
    handler.handle_chat_completion_request(Request(chat(2), model="m"))
    assert calls == [("add", "message 0", "m"), ("add", "message 1", "m"), ("start",)]
    assert handler.live_messages_queue.qsize() == 0
    assert console.events == []


class DictSubclass(dict):
    pass


def _item_assignment_error(value):
    try:
        value["model"] = "served-a"
    except TypeError as e:
        return str(e)
    raise AssertionError("item assignment unexpectedly worked")


@pytest.mark.parametrize(
    "bad, expected_text, tagged",
    [
        (
            DictSubclass(role="user", content="sub"),
            "Argument 'message' has incorrect type (expected dict, got DictSubclass)",
            True,
        ),
        (None, _item_assignment_error(None), False),
        ("a plain string", _item_assignment_error("a plain string"), False),
    ],
    ids=["dict-subclass", "none", "str"],
)
def test_unacceptable_message_stops_the_request_without_worker_start(
    handler, console, fake_threading, bad, expected_text, tagged
):
    before = {"role": "user", "content": "before"}
    after = {"role": "user", "content": "after"}
    result = handler.handle_chat_completion_request(Request([before, bad, after], model="served-a"))

    assert result is None
    pending = queued(handler)
    assert len(pending) == 1 and pending[0] is before
    assert "model" not in after
    if tagged:
        assert bad["model"] == "served-a"
    assert console.kinds() == ["print", "traceback"]
    assert console.lines == [REQUEST_ERROR + expected_text]
    [exc] = console.tracebacks
    assert isinstance(exc, TypeError) and str(exc) == expected_text
    assert fake_threading.made == []
    assert handler.embedding_thread is None


def _attribute_error(obj, name):
    try:
        getattr(obj, name)
    except AttributeError as e:
        return e
    raise AssertionError("attribute unexpectedly present")


class NoModel:
    def __init__(self, messages):
        self.messages = messages


@pytest.mark.parametrize(
    "request_obj, exc_type, expected_text",
    [
        (object(), AttributeError, str(_attribute_error(object(), "messages"))),
        (Request(5), TypeError, "'int' object is not iterable"),
        (NoModel([{"role": "user"}]), AttributeError, str(_attribute_error(NoModel([]), "model"))),
    ],
    ids=["no-messages", "messages-not-iterable", "no-model"],
)
def test_malformed_request_is_reported_and_starts_no_worker(
    handler, console, fake_threading, request_obj, exc_type, expected_text
):
    assert handler.handle_chat_completion_request(request_obj) is None
    assert console.lines == [REQUEST_ERROR + expected_text]
    assert console.kinds() == ["print", "traceback"]
    [exc] = console.tracebacks
    assert type(exc) is exc_type and str(exc) == expected_text
    assert handler.live_messages_queue.qsize() == 0
    assert fake_threading.made == []


# ---------------------------------------------------------------------------
# add_live_message
# ---------------------------------------------------------------------------


def test_add_live_message_queues_a_plain_dict_unchanged(handler, console):
    message = {"role": "assistant", "content": [{"type": "text", "text": "x"}]}
    snapshot = {"role": "assistant", "content": [{"type": "text", "text": "x"}]}
    assert handler.add_live_message(message) is None
    taken = handler.live_messages_queue.get_nowait()
    assert taken is message
    assert message == snapshot
    assert console.events == []
    assert handler.embedding_thread is None


class RaisingQueue:
    def __init__(self, exc):
        self.exc = exc
        self.offered = []

    def put_nowait(self, item):
        self.offered.append(item)
        raise self.exc


def test_add_live_message_on_a_full_queue_prints_one_line_without_traceback(handler, console):
    for i in range(16):
        handler.add_live_message({"n": i})
    console.clear()
    assert handler.add_live_message({"n": 16}) is None
    assert console.events == [("print", FULL_LINE)]
    assert [m["n"] for m in queued(handler)] == list(range(16))


@pytest.mark.parametrize(
    "exc, expected",
    [
        (queue.Full(), [("print", FULL_LINE)]),
        (RuntimeError("queue is shut"), [("print", ADD_ERROR + "queue is shut"), ("traceback", None)]),
        (KeyError("slot"), [("print", ADD_ERROR + "'slot'"), ("traceback", None)]),
    ],
    ids=["full", "runtime-error", "key-error"],
)
def test_put_failures_are_reported(handler, console, exc, expected):
    q = RaisingQueue(exc)
    handler.live_messages_queue = q
    message = {"role": "user"}
    assert handler.add_live_message(message) is None
    assert q.offered == [message]
    assert console.kinds() == [kind for kind, _ in expected]
    assert console.lines == [text for kind, text in expected if kind == "print"]
    if "traceback" in console.kinds():
        assert console.tracebacks == [exc]


class Halt(BaseException):
    pass


def test_put_failure_not_derived_from_exception_reaches_the_caller(handler, console):
    handler.live_messages_queue = RaisingQueue(Halt("stop"))
    with pytest.raises(Halt):
        handler.add_live_message({"role": "user"})
    assert console.events == []


# ---------------------------------------------------------------------------
# start_live_embedding_worker
# ---------------------------------------------------------------------------


def test_worker_thread_is_made_with_the_bound_worker_as_daemon_and_stored_before_start(
    handler, console, fake_threading
):
    stored_at_start = []
    fake_threading.on_start = lambda t: stored_at_start.append(handler.embedding_thread is t)

    assert handler.start_live_embedding_worker() is None

    [thread] = fake_threading.made
    assert thread.args == ()
    assert set(thread.kwargs) == {"target", "daemon"}
    target = thread.kwargs["target"]
    assert target.__self__ is handler
    assert target.__func__ is type(handler).live_embedding_worker
    assert thread.kwargs["daemon"] is True
    assert thread.start_calls == 1
    assert stored_at_start == [True]
    assert handler.embedding_thread is thread
    assert console.events == []


def test_worker_target_is_looked_up_on_the_handler(handler, console, fake_threading):
    def replacement():
        pass

    handler.live_embedding_worker = replacement
    handler.start_live_embedding_worker()
    assert fake_threading.made[0].kwargs["target"] is replacement


class AliveThread:
    def __init__(self):
        self.checks = 0

    def is_alive(self):
        self.checks += 1
        return True


@pytest.mark.parametrize("through_request", [False, True], ids=["direct", "request"])
def test_a_live_worker_is_not_replaced(handler, console, fake_threading, through_request):
    alive = AliveThread()
    handler.embedding_thread = alive
    if through_request:
        handler.handle_chat_completion_request(Request(chat(1)))
    else:
        handler.start_live_embedding_worker()
    assert fake_threading.made == []
    assert handler.embedding_thread is alive
    assert alive.checks == 1
    assert console.events == []


def _ended_real_thread():
    t = threading.Thread(target=lambda: None)
    t.start()
    t.join(5)
    assert not t.is_alive()
    return t


@pytest.mark.parametrize(
    "make_ended",
    [_ended_real_thread, lambda: types.SimpleNamespace(is_alive=lambda: False), lambda: types.SimpleNamespace(is_alive=lambda: 0)],
    ids=["ended-thread", "not-alive", "falsy-alive"],
)
def test_an_ended_worker_is_replaced_at_the_next_request(handler, console, fake_threading, make_ended):
    ended = make_ended()
    handler.embedding_thread = ended
    handler.handle_chat_completion_request(Request(chat(1)))
    [thread] = fake_threading.made
    assert handler.embedding_thread is thread
    assert thread.start_calls == 1
    assert console.events == []


def test_failed_start_is_reported_keeps_the_unstarted_thread_and_is_retried(handler, console, fake_threading):
    failure = RuntimeError("can't start new thread")
    fake_threading.fail_next_start = failure

    handler.handle_chat_completion_request(Request(chat(1)))

    [first] = fake_threading.made
    assert handler.embedding_thread is first
    assert not first.is_alive()
    assert console.kinds() == ["print", "traceback"]
    assert console.lines == [START_ERROR + "can't start new thread"]
    assert console.tracebacks == [failure]

    console.clear()
    handler.handle_chat_completion_request(Request(chat(1, start=1)))
    assert len(fake_threading.made) == 2
    second = fake_threading.made[1]
    assert second is not first
    assert handler.embedding_thread is second and second.is_alive()
    assert console.events == []
    assert handler.live_messages_queue.qsize() == 2


def test_failing_liveness_test_is_reported(handler, console, fake_threading):
    failure = ValueError("liveness unknown")

    class Broken:
        def is_alive(self):
            raise failure

    broken = Broken()
    handler.embedding_thread = broken
    assert handler.start_live_embedding_worker() is None
    assert console.lines == [START_ERROR + "liveness unknown"]
    assert console.tracebacks == [failure]
    assert fake_threading.made == []
    assert handler.embedding_thread is broken


def test_failing_thread_creation_is_reported(handler, console, mod, monkeypatch):
    failure = OSError("no threads left")

    def refuse(**kwargs):
        raise failure

    monkeypatch.setattr(mod, "threading", types.SimpleNamespace(Thread=refuse))
    handler.start_live_embedding_worker()
    assert console.lines == [START_ERROR + "no threads left"]
    assert console.tracebacks == [failure]
    assert handler.embedding_thread is None


def test_host_threads_starting_the_worker_together_start_exactly_one(handler, console, fake_threading):
    n = 12
    barrier = threading.Barrier(n)
    in_start = threading.Event()

    def slow_start(thread):
        # Holds the start open long enough for the other host threads to reach
        # the liveness test: a thread counts as alive only once start returned.
        in_start.set()
        threading.Event().wait(0.05)

    fake_threading.on_start = slow_start

    def host():
        barrier.wait(5)
        handler.start_live_embedding_worker()

    hosts = [threading.Thread(target=host, daemon=True) for _ in range(n)]
    for t in hosts:
        t.start()
    for t in hosts:
        t.join(10)
    assert not any(t.is_alive() for t in hosts)
    assert in_start.is_set()
    assert len(fake_threading.made) == 1
    assert fake_threading.made[0].start_calls == 1
    assert handler.embedding_thread is fake_threading.made[0]
    assert console.events == []


def test_real_worker_is_a_started_daemon_thread_that_consumes_the_queue(handler, console, thread_errors):
    """With the real threading module: the request's message is taken and
    marked done by the worker the request started."""
    handler.vllm_to_embedding_model_map = {}
    handler.text_prefixes = {}
    handler.handle_chat_completion_request(Request([{"role": "user", "content": "hello"}]))
    worker = handler.embedding_thread
    assert isinstance(worker, threading.Thread)
    assert worker.daemon is True
    q = handler.live_messages_queue
    wait_until(lambda: q.unfinished_tasks == 0, timeout=10)
    assert console.events == []

    stop_worker(handler, worker)
    assert len(thread_errors) == 1 and isinstance(thread_errors[0], StopWorker)


# ---------------------------------------------------------------------------
# A report that itself fails
# ---------------------------------------------------------------------------


def _full_queue(handler):
    handler.live_messages_queue = RaisingQueue(queue.Full())


def _failing_put(handler):
    handler.live_messages_queue = RaisingQueue(ValueError("put failed"))


def _failing_start(handler, threading):
    threading.fail_next_start = RuntimeError("can't start new thread")


@pytest.mark.parametrize(
    "prefix, prepare, call",
    [
        (REQUEST_ERROR, lambda h, t: None, lambda h: h.handle_chat_completion_request(object())),
        (FULL_LINE, lambda h, t: _full_queue(h), lambda h: h.add_live_message({})),
        (ADD_ERROR, lambda h, t: _failing_put(h), lambda h: h.add_live_message({})),
        (START_ERROR, _failing_start, lambda h: h.start_live_embedding_worker()),
    ],
    ids=["request-guard", "full-line", "add-guard", "start"],
)
def test_failure_while_reporting_reaches_the_caller(
    handler, console, fake_threading, broken_console, prefix, prepare, call
):
    prepare(handler, fake_threading)
    broken_console.prefix = prefix
    with pytest.raises(RuntimeError, match="console down"):
        call(handler)
    assert console.events == []
    # A failed start keeps its unstarted thread, reported or not.
    assert handler.embedding_thread is (fake_threading.made[0] if prefix == START_ERROR else None)


@pytest.mark.parametrize("prepare, prefix", [(_full_queue, FULL_LINE), (_failing_put, ADD_ERROR)], ids=["full", "put"])
def test_failed_report_of_a_message_lands_in_the_request_guard(
    handler, console, fake_threading, broken_console, prepare, prefix
):
    prepare(handler)
    broken_console.prefix = prefix
    handler.handle_chat_completion_request(Request(chat(2)))
    assert console.lines == [REQUEST_ERROR + "console down"]
    [exc] = console.tracebacks
    assert isinstance(exc, RuntimeError) and str(exc) == "console down"
    assert len(handler.live_messages_queue.offered) == 1
    assert fake_threading.made == []
