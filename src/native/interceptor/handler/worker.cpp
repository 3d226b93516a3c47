// The live embedding worker.
//
// The worker takes one message at a time off the queue, resolves the served
// model's embedding models and text prefix, hands the message to the content
// step, and marks every message it took as done, whatever happened.
//
// With `encode_batch_size` above 1 (a handler attribute the host may set; none
// means 1), it gathers the messages that wait or arrive within
// `encode_gather_seconds` of the first, up to that many, walks each one's
// content without running anything, embeds the inputs of each model together
// (texts grouped by length), and then runs each message's walk in order, so
// the rings, console lines and guards are those of one message at a time.
#include "core/console.hpp"
#include "core/error.hpp"
#include "core/guard.hpp"
#include "core/names.hpp"
#include "core/object.hpp"
#include "core/ref.hpp"
#include "handler/bodies.hpp"
#include "handler/content.hpp"
#include "module/exit_hook.hpp"

#include <algorithm>
#include <chrono>
#include <vector>

namespace interceptor {

namespace {

// One message off the queue, or nothing after `timeout` seconds or a reported error.
Ref take_message(PyObject* self, PyObject* timeout) {
    Ref message;
    guarded(
        ICPT_LIT("[red]Error getting message from queue:[/red] "), names.Empty, [] {},
        [&] {
            Ref queue = getattr(self, names.live_messages_queue);
            message = call_method_kw(queue.get(), names.get, names.kw_timeout, timeout);
        });
    return message;
}

template <class Sink>
void handle_message(Sink& sink, PyObject* self, PyObject* message) {
    Ref vllm_model_name = call_method(message, names.get, names.model);
    Ref model_map = getattr(self, names.vllm_to_embedding_model_map);
    Ref no_models = new_dict();
    Ref models_for_vllm = call_method(model_map.get(), names.get, vllm_model_name.get(), no_models.get());
    Ref text_model_name = call_method(models_for_vllm.get(), names.get, names.text);
    Ref image_model_name = call_method(models_for_vllm.get(), names.get, names.image);
    Ref prefixes = getattr(self, names.text_prefixes);
    Ref text_prefix = call_method(prefixes.get(), names.get, vllm_model_name.get(), names.query_prefix);

    if (text_model_name.get() == Py_None) {
        Ref current = getattr(self, names.vllm_to_embedding_model_map);
        if (truthy(current.get())) {
            Ref name_text = shown_before_tag(vllm_model_name.get());
            sink.line(join({ICPT_LIT("[yellow]Shift detection skipped for model "), name_text.get(),
                            ICPT_LIT("[/yellow]")})
                          .get());
            return;
        }
    }
    if (image_model_name.get() == Py_None) {
        Ref current = getattr(self, names.vllm_to_embedding_model_map);
        if (truthy(current.get())) {
            Ref mappings = call_method(getattr(self, names.vllm_to_embedding_model_map).get(), names.values);
            for_each(mappings.get(), [&](PyObject* model_mapping) {
                if (!contains(model_mapping, names.image)) return true;
                image_model_name = getitem(model_mapping, names.image);
                return false;
            });
        }
    }
    embed_message_content(sink, self, message, vllm_model_name.get(), text_model_name.get(), image_model_name.get(),
                          text_prefix.get());
}

void mark_done(PyObject* self) {
    guarded(ICPT_LIT("[red]Error marking task as done:[/red] "), [&] {
        Ref queue = getattr(self, names.live_messages_queue);
        call_method(queue.get(), names.task_done);
    });
}

PyObject* message_guard_line() { return ICPT_LIT("[red]Error processing live message:[/red] "); }

// The exception that ends the worker, kept while the messages in hand are
// marked done; the first one wins, later ones are dropped.
class Ending {
public:
    // Takes the exception off the indicator.
    void keep() noexcept {
        if (type_) {
            PyErr_Clear();
            return;
        }
        PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
        PyErr_Fetch(&type, &value, &tb);
        type_ = Ref::steal(type);
        value_ = Ref::steal(value);
        tb_ = Ref::steal(tb);
    }
    void raise_if_kept() {
        if (!type_) return;
        PyErr_Restore(type_.release(), value_.release(), tb_.release());
        throw PyErrSet{};
    }

private:
    Ref type_, value_, tb_;
};

// The host's setting as a number, or `fallback` when it is absent or unusable
// (the worker then goes on one message at a time).
double setting(PyObject* self, PyObject* name, double fallback) {
    double value = fallback;
    if (!attempt([&] {
            Ref v = lookup_attr(self, name);
            if (!v || v.get() == Py_None) return;
            const double x = PyFloat_AsDouble(v.get());
            if (x == -1.0 && PyErr_Occurred()) throw PyErrSet{};
            value = x;
        }))
        PyErr_Clear();
    return value == value ? value : fallback;  // NaN
}

// Runs one kept effect of a message's walk, as the walk would have run it.
void run_op(PyObject* self, ContentOp& op) {
    using Kind = ContentOp::Kind;
    switch (op.kind) {
        case Kind::line:
            if (op.outer)
                guarded(op.outer.get(), [&] { console(op.head.get()); });
            else
                console(op.head.get());
            return;
        case Kind::report:
            PyErr_Restore(op.type.release(), op.value.release(), op.traceback.release());
            report_exception([&] { return op.head; });
            return;
        case Kind::raise:
            PyErr_Restore(op.type.release(), op.value.release(), op.traceback.release());
            throw PyErrSet{};
        case Kind::embed: {
            auto encode_and_store = [&] {
                Ref embedding = op.embedding ? std::move(op.embedding)
                                             : call_method(op.model.get(), names.encode, op.input.get());
                call_method(self, names.add_embedding, op.vllm_model_name.get(), op.modality.get(), embedding.get());
            };
            if (op.outer)
                guarded(op.outer.get(), [&] { guarded(op.head.get(), encode_and_store); });
            else
                guarded(op.head.get(), encode_and_store);
            return;
        }
    }
}

Py_ssize_t text_length(PyObject* input) { return PyUnicode_Check(input) ? PyUnicode_GET_LENGTH(input) : 0; }

// One encode call for these inputs; each op gets its row. A call that fails
// or gives another count leaves the rows unknown, and each input is encoded
// alone when its message runs, with the lines it would have had.
void encode_chunk(const std::vector<ContentOp*>& chunk, Ending& ending) {
    const Py_ssize_t n = static_cast<Py_ssize_t>(chunk.size());
    std::vector<Ref> rows;
    const bool ok = attempt([&] {
        Ref inputs = require(PyList_New(n));
        for (Py_ssize_t i = 0; i < n; ++i) PyList_SET_ITEM(inputs.get(), i, Py_NewRef(chunk[i]->input.get()));
        Ref result = call_method(chunk[0]->model.get(), names.encode, inputs.get());
        if (length(result.get()) != n) return;
        rows.reserve(chunk.size());
        for (Py_ssize_t i = 0; i < n; ++i) rows.push_back(require(PySequence_GetItem(result.get(), i)));
    });
    if (!ok) {
        if (PyErr_ExceptionMatches(PyExc_Exception))
            PyErr_Clear();
        else
            ending.keep();
        return;
    }
    for (size_t i = 0; i < rows.size(); ++i) chunk[i]->embedding = std::move(rows[i]);
}

// Texts of one model sorted by length and cut where a text is over twice the
// shortest of its chunk, so that a long text does not pad many short ones.
constexpr Py_ssize_t kPaddedChars = 64;  // below this, padding costs little

void encode_together(std::vector<std::vector<ContentOp>*>& plans, size_t limit, Ending& ending) {
    std::vector<ContentOp*> todo;
    for (auto* ops : plans)
        for (ContentOp& op : *ops)
            if (op.kind == ContentOp::Kind::embed) todo.push_back(&op);
    while (!todo.empty()) {
        PyObject* model = todo.front()->model.get();
        PyObject* modality = todo.front()->modality.get();
        std::vector<ContentOp*> group, rest;
        for (ContentOp* op : todo)
            (op->model.get() == model && op->modality.get() == modality ? group : rest).push_back(op);
        todo.swap(rest);
        const bool texts = modality == names.text;
        if (texts)
            std::stable_sort(group.begin(), group.end(), [](ContentOp* a, ContentOp* b) {
                return text_length(a->input.get()) < text_length(b->input.get());
            });
        std::vector<ContentOp*> chunk;
        auto flush = [&] {
            if (chunk.size() > 1) encode_chunk(chunk, ending);
            chunk.clear();
        };
        for (ContentOp* op : group) {
            if (!chunk.empty()) {
                const Py_ssize_t len = text_length(op->input.get());
                const bool too_long = texts && len > kPaddedChars && len > 2 * text_length(chunk.front()->input.get());
                if (chunk.size() >= limit || too_long) flush();
            }
            chunk.push_back(op);
        }
        flush();
    }
}

// Gathers up to `limit` messages after `first`, embeds them together and runs
// each one's walk in order; every message taken is marked done, and the first
// exception that would have ended the worker is raised after that.
void handle_batch(PyObject* self, Ref first, size_t limit, double gather_seconds) {
    struct Taken {
        Ref message;
        std::vector<ContentOp> ops;
    };
    std::vector<Taken> taken;
    Ending ending;
    taken.push_back({std::move(first), {}});
    using clock = std::chrono::steady_clock;
    const auto deadline = clock::now() + std::chrono::duration<double>(gather_seconds);
    while (taken.size() < limit && !exit_begun()) {
        // Messages are taken as they come, so the queue's room never shrinks
        // while the batch gathers.
        const double left = std::chrono::duration<double>(deadline - clock::now()).count();
        Ref timeout = require(PyFloat_FromDouble(left > 0 ? left : 0.0));
        Ref next;
        if (!attempt([&] { next = take_message(self, timeout.get()); })) {
            ending.keep();
            break;
        }
        if (!next) break;
        taken.push_back({std::move(next), {}});
    }
    std::vector<std::vector<ContentOp>*> plans;
    for (Taken& t : taken) {
        PlanSink sink(t.ops);
        if (!attempt([&] { handle_message(sink, self, t.message.get()); }))
            sink.keep_error(ContentOp::Kind::raise, message_guard_line());
        plans.push_back(&t.ops);
    }
    encode_together(plans, limit, ending);
    for (Taken& t : taken) {
        const bool ok = exit_begun() || attempt([&] {
            guarded(message_guard_line(), [&] {
                for (ContentOp& op : t.ops) run_op(self, op);
            });
        });
        if (ok) {
            if (!attempt([&] { mark_done(self); })) ending.keep();
            continue;
        }
        // Past the message guard: marked done with it as the handled one.
        Caught caught;
        if (attempt([&] { mark_done(self); })) caught.restore();
        ending.keep();
    }
    ending.raise_if_kept();
}

}  // namespace

void handler_live_embedding_worker(PyObject* const* args) {
    PyObject* self = args[0];
    for (;;) {
        // Once exit has begun the rest of the queue stays where it is.
        if (exit_begun()) return;
        Ref message = take_message(self, ICPT_INT(1));
        if (!message) continue;
        MessageInHand in_hand;
        if (!in_hand) {
            mark_done(self);
            return;
        }
        const double batch = setting(self, names.encode_batch_size, 1.0);
        if (batch >= 2) {
            const double gather = setting(self, names.encode_gather_seconds, 0.0);
            handle_batch(self, std::move(message), batch < 1024 ? static_cast<size_t>(batch) : 1024,
                         gather > 0 ? (gather < 10 ? gather : 10) : 0.0);
            continue;
        }
        if (attempt([&] {
                NowSink sink;
                guarded(message_guard_line(), [&] { handle_message(sink, self, message.get()); });
            })) {
            mark_done(self);
            continue;
        }
        // Something got past the message guard: the message is still marked
        // done (with that exception as the handled one), then it ends the worker.
        Caught caught;
        mark_done(self);
        caught.restore();
        throw PyErrSet{};
    }
}

}  // namespace interceptor
