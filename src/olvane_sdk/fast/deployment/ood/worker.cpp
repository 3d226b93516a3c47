// The live embedding worker and its content step.
//
// The worker takes one message at a time off the queue, resolves the served
// model's embedding models and text prefix, embeds the message's text and
// inline images, and marks every message it took as done, whatever happened.
#include "interceptor.hpp"

#include <pthread.h>

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace interceptor {

namespace {

// --- content step ---------------------------------------------------------------

// self.embedding_models.get(name)
Ref lookup_model(PyObject* self, PyObject* model_name) {
    Ref models = getattr(self, names.embedding_models);
    return call_method(models.get(), names.get, {model_name});
}

// f"{prefix}{text}"
Ref prefixed(PyObject* prefix, PyObject* text) {
    Ref a = text_of(prefix);
    Ref b = text_of(text);
    return join({a.get(), b.get()});
}

void encode_and_store(PyObject* self, PyObject* model, PyObject* input, PyObject* vllm_model_name,
                      PyObject* modality) {
    Ref embedding = call_method(model, names.encode, {input});
    call_method(self, names.add_embedding, {vllm_model_name, modality, embedding.get()});
}

// "<head><name> not found in self.embedding_models[/red]"
void model_not_found(PyObject* head, PyObject* model_name) {
    Ref name_text = shown(model_name);
    console(join({head, name_text.get(), ICPT_LIT(" not found in self.embedding_models[/red]")}).get());
}

// header, b64data = url.split(",", 1)
Ref split_payload(PyObject* url) {
    Ref pieces = call_method(url, names.split, {names.comma, names.one});
    Ref seq;
    if (PyTuple_CheckExact(pieces.get()) || PyList_CheckExact(pieces.get())) {
        seq = pieces;
    } else {
        seq = require(PySequence_List(pieces.get()));
    }
    Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
    if (n < 2) {
        PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", n, n == 1 ? "" : "s");
        throw PyErrSet{};
    }
    if (n > 2) {
        PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", static_cast<Py_ssize_t>(2));
        throw PyErrSet{};
    }
    return Ref::borrow(PySequence_Fast_GET_ITEM(seq.get(), 1));
}

void embed_image_part(PyObject* self, PyObject* url, PyObject* vllm_model_name, PyObject* image_model_name) {
    Ref b64data = split_payload(url);
    Ref base64 = global(names.base64);
    Ref image_data = call_method(base64.get(), names.b64decode, {b64data.get()});
    Ref image_module = global(names.Image);
    Ref bytes_io = global(names.BytesIO);
    Ref stream = call(bytes_io.get(), {image_data.get()});
    Ref image = call_method(image_module.get(), names.open, {stream.get()});
    Ref image_model = lookup_model(self, image_model_name);
    if (truthy(image_model.get())) {
        guarded(ICPT_LIT("[red]Error computing image embedding:[/red] "), [&] {
            encode_and_store(self, image_model.get(), image.get(), vllm_model_name, names.image);
        });
    } else {
        model_not_found(ICPT_LIT("[red]Image embedding model "), image_model_name);
    }
}

// One text, behind the prefix, embedded by the text model and stored, under
// its own guard. False when the model is not loaded (after its red line).
bool embed_text(PyObject* self, PyObject* text, PyObject* vllm_model_name, PyObject* text_model_name,
                PyObject* text_prefix, PyObject* guard_line) {
    Ref prefixed_text = prefixed(text_prefix, text);
    Ref text_model = lookup_model(self, text_model_name);
    if (!truthy(text_model.get())) {
        model_not_found(ICPT_LIT("[red]Text embedding model "), text_model_name);
        return false;
    }
    guarded(guard_line, [&] {
        encode_and_store(self, text_model.get(), prefixed_text.get(), vllm_model_name, names.text);
    });
    return true;
}

bool is_text_part(PyObject* part, PyObject* wanted) {
    Ref type = call_method(part, names.get, {names.type});
    int eq = PyObject_RichCompareBool(type.get(), wanted, Py_EQ);
    check(eq);
    return eq == 1;
}

void embed_parts(PyObject* self, PyObject* content, PyObject* vllm_model_name, PyObject* text_model_name,
                 PyObject* image_model_name, PyObject* text_prefix) {
    Ref it = require(PyObject_GetIter(content));
    while (PyObject* raw = PyIter_Next(it.get())) {
        Ref part = Ref::steal(raw);
        if (is_text_part(part.get(), names.text) && truthy(text_model_name)) {
            Ref text = call_method(part.get(), names.get, {names.text, names.empty});
            embed_text(self, text.get(), vllm_model_name, text_model_name, text_prefix,
                       ICPT_LIT("[red]Error computing text embedding in list:[/red] "));
        } else if (is_text_part(part.get(), names.image_url) && truthy(image_model_name)) {
            Ref empty = new_dict();
            Ref image_url_dict = call_method(part.get(), names.get, {names.image_url, empty.get()});
            Ref url = call_method(image_url_dict.get(), names.get, {names.url, names.empty});
            Ref is_data = call_method(url.get(), names.startswith, {names.data_image});
            if (truthy(is_data.get())) {
                guarded(ICPT_LIT("[red]Error processing image:[/red] "),
                        [&] { embed_image_part(self, url.get(), vllm_model_name, image_model_name); });
            }
        }
    }
    if (PyErr_Occurred()) throw PyErrSet{};
}

}  // namespace

void embed_message_content(PyObject* self, PyObject* message, PyObject* vllm_model_name,
                           PyObject* text_model_name, PyObject* image_model_name, PyObject* text_prefix) {
    Ref content = call_method(message, names.get, {names.content});
    if (PyUnicode_Check(content.get()) && truthy(text_model_name)) {
        if (!embed_text(self, content.get(), vllm_model_name, text_model_name, text_prefix,
                        ICPT_LIT("[red]Error computing text embedding:[/red] "))) {
            Ref models = getattr(self, names.embedding_models);
            Ref keys = call_method(models.get(), names.keys);
            Ref keys_text = shown_before_tag(keys.get());
            console(join({ICPT_LIT("[red]Available models: "), keys_text.get(), ICPT_LIT("[/red]")}).get());
        }
    } else if (PyList_Check(content.get())) {
        embed_parts(self, content.get(), vllm_model_name, text_model_name, image_model_name, text_prefix);
    }
}

namespace {

// --- worker loop ------------------------------------------------------------------

// One message off the queue, or nothing after a quiet second or a reported error.
Ref take_message(PyObject* self) {
    try {
        Ref queue = getattr(self, names.live_messages_queue);
        return call_method(queue.get(), names.get, {names.one}, names.kw_timeout);
    }
    ICPT_CATCH_ALL {
        set_error_from_current();
    }
    Caught caught;
    Ref empty = global(names.Empty);
    if (caught.matches(empty.get())) return Ref();
    if (!caught.matches(PyExc_Exception)) {
        caught.restore();
        throw PyErrSet{};
    }
    Ref text = shown(caught.value());
    report(join({ICPT_LIT("[red]Error getting message from queue:[/red] "), text.get()}).get());
    return Ref();
}

void handle_message(PyObject* self, PyObject* message) {
    Ref vllm_model_name = call_method(message, names.get, {names.model});
    Ref model_map = getattr(self, names.vllm_to_embedding_model_map);
    Ref no_models = new_dict();
    Ref models_for_vllm = call_method(model_map.get(), names.get, {vllm_model_name.get(), no_models.get()});
    Ref text_model_name = call_method(models_for_vllm.get(), names.get, {names.text});
    Ref image_model_name = call_method(models_for_vllm.get(), names.get, {names.image});
    Ref prefixes = getattr(self, names.text_prefixes);
    Ref text_prefix = call_method(prefixes.get(), names.get, {vllm_model_name.get(), names.query_prefix});

    if (text_model_name.get() == Py_None) {
        Ref current = getattr(self, names.vllm_to_embedding_model_map);
        if (truthy(current.get())) {
            Ref name_text = shown_before_tag(vllm_model_name.get());
            console(join({ICPT_LIT("[yellow]Shift detection skipped for model "), name_text.get(),
                          ICPT_LIT("[/yellow]")})
                        .get());
            return;
        }
    }
    if (image_model_name.get() == Py_None) {
        Ref current = getattr(self, names.vllm_to_embedding_model_map);
        if (truthy(current.get())) {
            Ref mappings = call_method(getattr(self, names.vllm_to_embedding_model_map).get(), names.values);
            Ref it = require(PyObject_GetIter(mappings.get()));
            while (PyObject* raw = PyIter_Next(it.get())) {
                Ref model_mapping = Ref::steal(raw);
                if (contains(model_mapping.get(), names.image)) {
                    image_model_name = getitem(model_mapping.get(), names.image);
                    break;
                }
            }
            if (PyErr_Occurred()) throw PyErrSet{};
        }
    }
    embed_message_content(self, message, vllm_model_name.get(), text_model_name.get(), image_model_name.get(),
                          text_prefix.get());
}

void mark_done(PyObject* self) {
    guarded(ICPT_LIT("[red]Error marking task as done:[/red] "), [&] {
        Ref queue = getattr(self, names.live_messages_queue);
        call_method(queue.get(), names.task_done);
    });
}

}  // namespace

// --- interpreter exit -------------------------------------------------------------

namespace {

// How long exit waits for the messages in hand. Long enough for the worst
// message the content limits allow, many times over; short enough that a
// stuck model call cannot hold the process's exit for long.
constexpr auto kExitWait = std::chrono::seconds(10);

// Never held while calling into Python, so the worker (with the GIL) and the
// exit hook (without it) can both take it.
std::mutex exit_mutex;
std::condition_variable exit_cv;
bool exiting = false;      // set once, by the exit hook
int messages_in_hand = 0;  // workers between taking a message and marking it done

// A forked child has none of its parent's workers.
void forget_workers_in_child() noexcept { messages_in_hand = 0; }

PyObject* exit_hook(PyObject*, PyObject*) noexcept {
    PyThreadState* saved = PyEval_SaveThread();
    {
        std::unique_lock<std::mutex> lock(exit_mutex);
        exiting = true;
        exit_cv.wait_for(lock, kExitWait, [] { return messages_in_hand == 0; });
    }
    PyEval_RestoreThread(saved);
    Py_RETURN_NONE;
}

PyMethodDef exit_hook_def = {"_interceptor_exit", exit_hook, METH_NOARGS, nullptr};

}  // namespace

MessageInHand::MessageInHand() noexcept {
    std::lock_guard<std::mutex> lock(exit_mutex);
    if (exiting) return;
    ++messages_in_hand;
    held_ = true;
}

MessageInHand::~MessageInHand() {
    if (!held_) return;
    std::lock_guard<std::mutex> lock(exit_mutex);
    --messages_in_hand;
    exit_cv.notify_all();
}

bool exit_begun() noexcept {
    std::lock_guard<std::mutex> lock(exit_mutex);
    return exiting;
}

// atexit rather than threading's private _register_atexit. Both run before
// the interpreter starts ending daemon threads. atexit runs after the host's
// non-daemon threads have been joined, so until then the worker still serves
// them (a thread that queues messages, or waits for the queue to drain, while
// the host shuts down), and none of them can start a worker behind the hook.
void register_exit_hook() {
    Ref hook = require(PyCFunction_New(&exit_hook_def, nullptr));
    Ref atexit = require(PyImport_ImportModule("atexit"));
    call_method(atexit.get(), ICPT_LIT("register"), {hook.get()});
    if (pthread_atfork(nullptr, nullptr, forget_workers_in_child) != 0) {
        PyErr_SetString(PyExc_OSError, "interceptor: pthread_atfork failed");
        throw PyErrSet{};
    }
}

void handler_live_embedding_worker(PyObject* const* args) {
    PyObject* self = args[0];
    for (;;) {
        // Once exit has begun the rest of the queue stays where it is.
        if (exit_begun()) return;
        Ref message = take_message(self);
        if (!message) continue;
        MessageInHand in_hand;
        if (!in_hand) {
            mark_done(self);
            return;
        }
        bool passing = false;
        try {
            guarded(ICPT_LIT("[red]Error processing live message:[/red] "),
                    [&] { handle_message(self, message.get()); });
        }
    ICPT_CATCH_ALL {
            set_error_from_current();
            passing = true;
        }
        if (!passing) {
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
