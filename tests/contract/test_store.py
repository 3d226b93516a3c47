"""The live embedding store: add_embedding's rings, indices, console lines
and failure behaviour."""
from __future__ import annotations

import numpy as np
import pytest


def counts_line(model, text, image):
    return f"[green]Model: {model} | Text: {text} embeddings | Image: {image} embeddings[/green]"


def replacement_line(modality, index, model):
    return f"[yellow]Round-robin replacement for {modality} embedding at index {index} for model {model}.[/yellow]"


def ring(handler, model, modality):
    return handler.live_embeddings[model][modality]["live"]


def lock_is_free(handler):
    lock = handler.embedding_lock
    if lock.locked():
        return False
    assert lock.acquire(blocking=False)
    lock.release()
    return True


def fill(handler, model, modality, count, start=0):
    """Adds `count` distinct plain-list entries ([start], [start+1], ...)."""
    for i in range(start, start + count):
        handler.add_embedding(model, modality, [i])


OTHER = {"text": "image", "image": "text"}


# --------------------------------------------------------------------------
# creation and counts
# --------------------------------------------------------------------------


@pytest.mark.parametrize(
    "modality, indices, counts",
    [("image", {"text": 0, "image": 1}, (0, 1)), ("text", {"text": 1, "image": 0}, (1, 0))],
)
def test_first_add_creates_both_rings(handler, console, modality, indices, counts):
    live = handler.live_embeddings
    assert handler.add_embedding("m", modality, [0.5]) is None
    assert handler.live_embeddings is live
    assert list(live) == ["m"]
    assert list(live["m"]) == ["text", "image"]
    assert all(list(live["m"][k]) == ["live"] for k in ("text", "image"))
    assert ring(handler, "m", modality) == [[0.5]]
    assert ring(handler, "m", OTHER[modality]) == []
    assert handler.embedding_indices == {"m": indices}
    assert list(handler.embedding_indices["m"]) == ["text", "image"]
    assert console.lines == [counts_line("m", *counts)]
    assert console.tracebacks == []


def test_counts_line_after_every_add(handler, console):
    steps = [("a", "text"), ("a", "image"), ("b", "image"), ("a", "text"), ("b", "text"), ("a", "image")]
    for model, modality in steps:
        handler.add_embedding(model, modality, [1.0])
    assert console.lines == [
        counts_line("a", 1, 0),
        counts_line("a", 1, 1),
        counts_line("b", 0, 1),
        counts_line("a", 2, 1),
        counts_line("b", 1, 1),
        counts_line("a", 2, 2),
    ]
    assert handler.embedding_indices == {"a": {"text": 2, "image": 2}, "b": {"text": 1, "image": 1}}


def test_values_in_lines_are_converted_like_fstrings(handler, console):
    handler.MAX_EMBEDDINGS = 1
    handler.add_embedding(7, "text", [1])
    handler.add_embedding(7, "text", [2])
    assert console.lines == [counts_line(7, 1, 0), replacement_line("text", 0, 7), counts_line(7, 1, 0)]
    assert handler.live_embeddings[7]["text"]["live"] == [[2]]


@pytest.mark.parametrize("style", ["bound", "class positional", "class keywords"])
def test_call_styles_store_alike(mod, handler, console, style):
    cls = mod.ShiftDetectionRequestHandler
    if style == "bound":
        result = handler.add_embedding("m", "text", [3])
    elif style == "class positional":
        result = cls.add_embedding(handler, "m", "text", [3])
    else:
        result = cls.add_embedding(embedding=[3], modal_type="text", vllm_model_name="m", self=handler)
    assert result is None
    assert ring(handler, "m", "text") == [[3]]
    assert handler.embedding_indices["m"] == {"text": 1, "image": 0}
    assert console.lines == [counts_line("m", 1, 0)]


# --------------------------------------------------------------------------
# filling and wrapping
# --------------------------------------------------------------------------


@pytest.mark.parametrize("modality", ["text", "image"])
@pytest.mark.parametrize("filled, slot, index", [(999, 999, 0), (1000, 0, 1), (1999, 999, 0)],
                         ids=["thousandth", "thousand-and-first", "two-thousandth"])
def test_next_add_writes_its_slot_and_moves_the_index(handler, console, modality, filled, slot, index):
    """The thousandth add appends silently and wraps the index; past it,
    each add overwrites the oldest slot with a yellow line first."""
    fill(handler, "m", modality, filled)
    # Slot k holds the last value i < filled with i % 1000 == k.
    live = [[k + 1000 * ((filled - 1 - k) // 1000)] for k in range(min(filled, 1000))]
    stored = ring(handler, "m", modality)
    assert stored == live and handler.embedding_indices["m"][modality] == filled % 1000
    console.clear()
    handler.add_embedding("m", modality, ["new"])
    live[slot:slot + 1] = [["new"]]
    assert ring(handler, "m", modality) is stored and stored == live and len(live) == 1000
    assert handler.embedding_indices["m"][modality] == index
    replaced = [replacement_line(modality, slot, "m")] if filled >= 1000 else []
    counts = (1000, 0) if modality == "text" else (0, 1000)
    assert console.lines == replaced + [counts_line("m", *counts)]


def test_index_follows_length_while_filling(handler, console):
    seen = []
    for i in range(5):
        handler.add_embedding("m", "image", [i])
        seen.append((len(ring(handler, "m", "image")), handler.embedding_indices["m"]["image"]))
    assert seen == [(1, 1), (2, 2), (3, 3), (4, 4), (5, 5)]
    assert not any(line.startswith("[yellow]") for line in console.lines)


@pytest.mark.parametrize("modality", ["text", "image"])
def test_modalities_are_independent(handler, console, modality):
    other = OTHER[modality]
    handler.add_embedding("m", other, ["o1"])
    fill(handler, "m", modality, 1003)
    assert ring(handler, "m", other) == [["o1"]]
    assert handler.embedding_indices["m"][other] == 1
    assert handler.embedding_indices["m"][modality] == 3
    handler.add_embedding("m", other, ["o2"])
    assert ring(handler, "m", other) == [["o1"], ["o2"]]
    assert handler.embedding_indices["m"] == {modality: 3, other: 2}
    live = ring(handler, "m", modality)
    assert live[:3] == [[1000], [1001], [1002]] and live[3] == [3]
    yellow = [line for line in console.lines if line.startswith("[yellow]")]
    assert yellow == [replacement_line(modality, i, "m") for i in range(3)]


def test_models_are_independent(handler, console):
    handler.MAX_EMBEDDINGS = 2
    fill(handler, "a", "text", 3)
    handler.add_embedding("b", "text", ["b0"])
    assert ring(handler, "a", "text") == [[2], [1]]
    assert ring(handler, "b", "text") == [["b0"]]
    assert handler.embedding_indices == {"a": {"text": 1, "image": 0}, "b": {"text": 1, "image": 0}}


# --------------------------------------------------------------------------
# index reset and capacity rebinding
# --------------------------------------------------------------------------


def _reset_by_assignment(handler):
    handler.embedding_indices = {}


def _reset_by_init_models(handler):
    handler.init_models({})


@pytest.mark.parametrize("reset", [_reset_by_assignment, _reset_by_init_models], ids=["assigned", "init_models"])
def test_partly_filled_ring_after_index_reset(handler, console, progress_recorder, reset):
    fill(handler, "m", "text", 400)
    handler.add_embedding("m", "image", ["i0"])
    live = ring(handler, "m", "text")
    reset(handler)
    assert handler.embedding_indices == {}
    console.clear()
    indices = []
    for i in range(400, 1000):
        handler.add_embedding("m", "text", [i])
        indices.append(handler.embedding_indices["m"]["text"])
    assert indices == list(range(1, 601))
    assert ring(handler, "m", "text") is live
    assert live == [[i] for i in range(1000)]
    assert ring(handler, "m", "image") == [["i0"]]
    assert handler.embedding_indices["m"]["image"] == 0
    assert not any(line.startswith("[yellow]") for line in console.lines)
    console.clear()
    handler.add_embedding("m", "text", ["over"])
    assert live[600] == ["over"]
    assert live[599] == [599] and live[601] == [601]
    assert handler.embedding_indices["m"]["text"] == 601
    assert console.lines == [replacement_line("text", 600, "m"), counts_line("m", 1000, 1)]


def test_full_ring_after_index_reset_overwrites_from_zero(handler, console):
    fill(handler, "m", "image", 1005)
    handler.embedding_indices = {}
    console.clear()
    handler.add_embedding("m", "image", ["x"])
    live = ring(handler, "m", "image")
    assert live[0] == ["x"] and live[5] == [5]
    assert handler.embedding_indices == {"m": {"text": 0, "image": 1}}
    assert console.lines == [replacement_line("image", 0, "m"), counts_line("m", 0, 1000)]


def test_missing_index_entry_is_recreated_alone(handler, console):
    handler.add_embedding("a", "text", [1])
    handler.add_embedding("b", "text", [1])
    del handler.embedding_indices["a"]
    handler.add_embedding("a", "image", [2])
    assert handler.embedding_indices == {"b": {"text": 1, "image": 0}, "a": {"text": 0, "image": 1}}
    assert handler.live_embeddings["a"] == {"text": {"live": [[1]]}, "image": {"live": [[2]]}}


def test_capacity_rebinding_takes_effect_at_next_add(handler, console):
    fill(handler, "m", "text", 4)
    assert handler.embedding_indices["m"]["text"] == 4
    handler.MAX_EMBEDDINGS = 5
    handler.add_embedding("m", "text", [4])
    assert handler.embedding_indices["m"]["text"] == 0
    assert not any(line.startswith("[yellow]") for line in console.lines)
    console.clear()
    handler.add_embedding("m", "text", ["a"])
    assert ring(handler, "m", "text") == [["a"], [1], [2], [3], [4]]
    assert handler.embedding_indices["m"]["text"] == 1
    assert console.lines == [replacement_line("text", 0, "m"), counts_line("m", 5, 0)]
    handler.MAX_EMBEDDINGS = 1000
    console.clear()
    handler.add_embedding("m", "text", ["b"])
    assert ring(handler, "m", "text") == [["a"], [1], [2], [3], [4], ["b"]]
    assert handler.embedding_indices["m"]["text"] == 2
    assert console.lines == [counts_line("m", 6, 0)]


def test_capacity_is_read_from_the_instance(handler, console):
    other = type(handler)()
    other.MAX_EMBEDDINGS = 1
    other.add_embedding("m", "text", [1])
    other.add_embedding("m", "text", [2])
    handler.add_embedding("m", "text", [1])
    handler.add_embedding("m", "text", [2])
    assert ring(other, "m", "text") == [[2]]
    assert ring(handler, "m", "text") == [[1], [2]]


# --------------------------------------------------------------------------
# what is stored
# --------------------------------------------------------------------------


class WithToList:
    def __init__(self, result):
        self.result = result
        self.calls = []

    def tolist(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        return self.result


@pytest.mark.parametrize("full", [False, True], ids=["append", "overwrite"])
def test_numpy_vector_is_stored_as_its_tolist(handler, console, full):
    if full:
        handler.MAX_EMBEDDINGS = 1
        handler.add_embedding("m", "text", [0])
    vec = np.array([0.25, -1.5, 3.0], dtype=np.float32)
    handler.add_embedding("m", "text", vec)
    stored = ring(handler, "m", "text")[-1]
    assert type(stored) is list
    assert stored == [0.25, -1.5, 3.0]
    assert all(type(x) is float for x in stored)


@pytest.mark.parametrize("full", [False, True], ids=["append", "overwrite"])
def test_tolist_result_is_stored_called_without_arguments(handler, console, full):
    if full:
        handler.MAX_EMBEDDINGS = 1
        handler.add_embedding("m", "image", [0])
    result = object()
    emb = WithToList(result)
    handler.add_embedding("m", "image", emb)
    assert ring(handler, "m", "image")[-1] is result
    assert emb.calls == [((), {})]


@pytest.mark.parametrize("full", [False, True], ids=["append", "overwrite"])
@pytest.mark.parametrize("value", [[1.0, 2.0], (1.0, 2.0), "text", 42, None], ids=repr)
def test_object_without_tolist_is_stored_itself(handler, console, full, value):
    if full:
        handler.MAX_EMBEDDINGS = 1
        handler.add_embedding("m", "text", ["old"])
    emb = list(value) if isinstance(value, list) else value
    handler.add_embedding("m", "text", emb)
    assert ring(handler, "m", "text")[-1] is emb


class ToListLookupRaises:
    def __init__(self, exc):
        self.exc = exc

    @property
    def tolist(self):
        raise self.exc


@pytest.mark.parametrize("exc", [RuntimeError("lookup failed"), AttributeError("no"), KeyError("k")], ids=repr)
def test_failing_tolist_lookup_counts_as_absent(handler, console, exc):
    emb = ToListLookupRaises(exc)
    handler.add_embedding("m", "text", emb)
    assert ring(handler, "m", "text") == [emb]
    assert ring(handler, "m", "text")[0] is emb
    assert handler.embedding_indices["m"]["text"] == 1
    assert console.lines == [counts_line("m", 1, 0)]


def test_tolist_is_looked_up_again_before_the_call(handler, console):
    class TwoLookups:
        lookups = 0

        @property
        def tolist(self):
            type(self).lookups += 1
            n = self.lookups
            return lambda: f"lookup {n}"

    handler.add_embedding("m", "text", TwoLookups())
    assert TwoLookups.lookups == 2
    assert ring(handler, "m", "text") == ["lookup 2"]


class ToListRaises:
    def __init__(self, exc):
        self.exc = exc

    def tolist(self):
        raise self.exc


@pytest.mark.parametrize("full", [False, True], ids=["append", "overwrite"])
def test_tolist_raising_stores_nothing(handler, console, full):
    if full:
        handler.MAX_EMBEDDINGS = 2
        fill(handler, "m", "text", 3)
    else:
        fill(handler, "m", "text", 1)
    before = list(ring(handler, "m", "text"))
    index = handler.embedding_indices["m"]["text"]
    console.clear()
    exc = ValueError("cannot convert")
    with pytest.raises(ValueError) as info:
        handler.add_embedding("m", "text", ToListRaises(exc))
    assert info.value is exc
    assert ring(handler, "m", "text") == before
    assert handler.embedding_indices["m"]["text"] == index
    assert console.lines == []
    assert lock_is_free(handler)


# --------------------------------------------------------------------------
# failures and the lock
# --------------------------------------------------------------------------


@pytest.mark.parametrize("known", [False, True], ids=["new model", "known model"])
@pytest.mark.parametrize("modality", ["audio", "Text", None])
def test_unknown_modality_raises_key_error_and_changes_nothing(handler, console, modality, known):
    if known:
        handler.add_embedding("m", "text", [1])
        console.clear()
    with pytest.raises(KeyError) as info:
        handler.add_embedding("m", modality, [2])
    assert info.value.args == (modality,)
    assert handler.live_embeddings == {"m": {"text": {"live": [[1]] if known else []}, "image": {"live": []}}}
    assert handler.embedding_indices == {"m": {"text": int(known), "image": 0}}
    assert console.lines == []
    assert lock_is_free(handler)


class PrintFails:
    """A print that fails on the n-th call (1-based), recording every line."""

    def __init__(self, fail_on):
        self.fail_on = fail_on
        self.lines = []

    def __call__(self, line):
        self.lines.append(line)
        if len(self.lines) == self.fail_on:
            raise OSError("console gone")


def test_print_failure_after_append_keeps_the_store(mod, handler, monkeypatch):
    printer = PrintFails(fail_on=1)
    monkeypatch.setattr(mod, "print", printer)
    with pytest.raises(OSError, match="console gone"):
        handler.add_embedding("m", "text", [1])
    assert ring(handler, "m", "text") == [[1]]
    assert handler.embedding_indices["m"]["text"] == 1
    assert printer.lines == [counts_line("m", 1, 0)]
    assert lock_is_free(handler)


def test_print_failure_on_replacement_line_keeps_the_overwrite(mod, handler, monkeypatch):
    handler.MAX_EMBEDDINGS = 2
    monkeypatch.setattr(mod, "print", lambda line: None)
    fill(handler, "m", "image", 2)
    printer = PrintFails(fail_on=1)
    monkeypatch.setattr(mod, "print", printer)
    with pytest.raises(OSError, match="console gone"):
        handler.add_embedding("m", "image", ["new"])
    assert ring(handler, "m", "image") == [["new"], [1]]
    assert handler.embedding_indices["m"]["image"] == 1
    assert printer.lines == [replacement_line("image", 0, "m")]
    assert lock_is_free(handler)


def _tolist_raises(handler):
    handler.add_embedding("m", "text", ToListRaises(RuntimeError("x")))


def _unknown_modality(handler):
    handler.add_embedding("m", "video", [1])


def _capacity_not_comparable(handler):
    handler.MAX_EMBEDDINGS = None
    handler.add_embedding("m", "text", [1])


def _capacity_zero(handler):
    handler.MAX_EMBEDDINGS = 0
    handler.add_embedding("m", "text", [1])


def _indices_not_a_map(handler):
    handler.embedding_indices = 5
    handler.add_embedding("m", "text", [1])


@pytest.mark.parametrize(
    "failing, exc_type",
    [
        (_tolist_raises, RuntimeError),
        (_unknown_modality, KeyError),
        (_capacity_not_comparable, TypeError),
        (_capacity_zero, IndexError),
        (_indices_not_a_map, TypeError),
    ],
    ids=["tolist", "modality", "capacity None", "capacity 0", "indices"],
)
def test_lock_is_free_after_failure(handler, console, failing, exc_type):
    with pytest.raises(exc_type):
        failing(handler)
    assert lock_is_free(handler)
    assert console.tracebacks == []


def test_capacity_zero_fails_on_the_overwrite_of_an_empty_ring(handler, console):
    # 0 < 0 is false, so the overwrite branch runs on an empty list.
    handler.MAX_EMBEDDINGS = 0
    with pytest.raises(IndexError):
        handler.add_embedding("m", "text", [1])
    assert handler.live_embeddings == {"m": {"text": {"live": []}, "image": {"live": []}}}
    assert handler.embedding_indices == {"m": {"text": 0, "image": 0}}
    assert console.lines == []


def test_whole_body_runs_under_the_lock(mod, handler, monkeypatch):
    held = []
    monkeypatch.setattr(mod, "print", lambda line: held.append((line, handler.embedding_lock.locked())))
    handler.MAX_EMBEDDINGS = 1
    handler.add_embedding("m", "text", [1])
    handler.add_embedding("m", "text", [2])
    assert held == [
        (counts_line("m", 1, 0), True),
        (replacement_line("text", 0, "m"), True),
        (counts_line("m", 1, 0), True),
    ]
    assert lock_is_free(handler)


class RecordingLock:
    def __init__(self):
        self.events = []

    def __enter__(self):
        self.events.append("enter")
        return "entered"

    def __exit__(self, *exc):
        self.events.append(("exit", exc))
        return False


def test_lock_is_used_as_context_manager_and_sees_the_failure(handler, console):
    lock = RecordingLock()
    handler.embedding_lock = lock
    handler.add_embedding("m", "text", [1])
    assert lock.events == ["enter", ("exit", (None, None, None))]
    lock.events.clear()
    with pytest.raises(KeyError) as info:
        handler.add_embedding("m", "audio", [1])
    assert lock.events[0] == "enter"
    kind, (exc_type, exc, _tb) = lock.events[1]
    assert kind == "exit" and exc_type is KeyError and exc is info.value
    assert len(lock.events) == 2


def test_adds_from_two_threads_all_land(handler, console):
    import threading

    def worker(model):
        for i in range(300):
            handler.add_embedding(model, "text", [i])

    threads = [threading.Thread(target=worker, args=("m",)) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=30)
    assert not any(t.is_alive() for t in threads)
    assert len(ring(handler, "m", "text")) == 1000
    assert handler.embedding_indices["m"]["text"] == 200
    assert sum(line.startswith("[yellow]") for line in console.lines) == 200
    assert lock_is_free(handler)
