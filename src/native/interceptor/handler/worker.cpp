// The live embedding worker and its content step.
//
// The worker takes one message at a time off the queue, resolves the served
// model's embedding models and text prefix, embeds the message's text and
// inline images, and marks every message it took as done, whatever happened.
#include "core/interceptor.hpp"

#include <pthread.h>

#include <chrono>
#include <climits>
#include <condition_variable>
#include <mutex>

namespace interceptor {

namespace {

// --- content step ---------------------------------------------------------------

// self.embedding_models.get(name)
Ref lookup_model(PyObject* self, PyObject* model_name) {
    Ref models = getattr(self, names.embedding_models);
    return call_method(models.get(), names.get, model_name);
}

// Where a BERT-style tokenizer (the shipped text model's) always ends a word:
// ASCII whitespace, and every ASCII punctuation character and CJK ideograph,
// each of which is a word of its own.
bool ascii_space(Py_UCS4 c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
bool ascii_punct(Py_UCS4 c) {
    return (c >= 33 && c <= 47) || (c >= 58 && c <= 64) || (c >= 91 && c <= 96) || (c >= 123 && c <= 126);
}
bool cjk(Py_UCS4 c) {
    return (c >= 0x4E00 && c <= 0x9FFF) || (c >= 0x3400 && c <= 0x4DBF) || (c >= 0x20000 && c <= 0x2A6DF) ||
           (c >= 0x2A700 && c <= 0x2CEAF) || (c >= 0xF900 && c <= 0xFAFF) || (c >= 0x2F800 && c <= 0x2FA1F);
}

// The text the model would read, without its tail: cut once the text surely
// holds kTextWordPieces word pieces. Every word gives at least one piece (a
// word too long for the vocabulary gives one unknown piece), so a lower bound
// is: one per ASCII punctuation character and CJK ideograph, and one per run
// between those and ASCII whitespace that holds a letter or digit (letters
// and digits survive the tokenizer's cleaning, lower-casing and accent
// stripping; a run may hold more words, never fewer). The cut falls after a
// complete word, so the first kTextWordPieces pieces are the text's own, and
// with the special tokens and any prefix the model keeps fewer than that.
// Whitespace and controls give no piece at all, so a character cap alone could
// not promise this; kTextChars still bounds the scan and the text.
Ref cap_text(Ref text) {
    PyObject* s = text.get();
    const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    if (n <= limits::kTextWordPieces) return text;  // never more pieces than characters
    const int kind = PyUnicode_KIND(s);
    const void* data = PyUnicode_DATA(s);
    const Py_ssize_t end = n < limits::kTextChars ? n : limits::kTextChars;
    Py_ssize_t pieces = 0;
    bool letter_in_run = false;
    for (Py_ssize_t i = 0; i < end; ++i) {
        const Py_UCS4 c = PyUnicode_READ(kind, data, i);
        const bool own_word = ascii_punct(c) || cjk(c);
        if (own_word || ascii_space(c)) {
            pieces += letter_in_run + own_word;
            letter_in_run = false;
            if (pieces >= limits::kTextWordPieces) return require(PyUnicode_Substring(s, 0, i + 1));
        } else if (!letter_in_run && Py_UNICODE_ISALNUM(c)) {
            letter_in_run = true;
        }
    }
    if (end == n) return text;
    return require(PyUnicode_Substring(s, 0, end));
}

// f"{prefix}{text}", the text cut to what the model can read
Ref prefixed(PyObject* prefix, PyObject* text) {
    Ref a = text_of(prefix);
    Ref b = cap_text(text_of(text));
    return join({a.get(), b.get()});
}

void encode_and_store(PyObject* self, PyObject* model, PyObject* input, PyObject* vllm_model_name,
                      PyObject* modality) {
    Ref embedding = call_method(model, names.encode, input);
    call_method(self, names.add_embedding, vllm_model_name, modality, embedding.get());
}

// "<head><name> not found in self.embedding_models[/red]"
void model_not_found(PyObject* head, PyObject* model_name) {
    Ref name_text = shown(model_name);
    console(join({head, name_text.get(), ICPT_LIT(" not found in self.embedding_models[/red]")}).get());
}

// header, b64data = url.split(",", 1)
Ref split_payload(PyObject* url) {
    Ref pieces = call_method(url, names.split, names.comma, names.one);
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

template <class... Args>
[[noreturn]] void refuse_image(const char* format, Args... args) {
    PyErr_Format(PyExc_ValueError, format, args...);
    throw PyErrSet{};
}

// A header value as a number; a value too large for one is over every limit.
long long header_number(PyObject* v) {
    int overflow = 0;
    long long x = PyLong_AsLongLongAndOverflow(v, &overflow);
    if (x == -1 && PyErr_Occurred()) throw PyErrSet{};
    return overflow ? (overflow > 0 ? LLONG_MAX : -1) : x;
}

// What an opened image's header says, tested before any pixel is decoded.
// An opener that reports no format or size (not Pillow) is taken at its word.
void check_image_header(PyObject* image) {
    Ref format = lookup_attr(image, names.format);
    if (format && format.get() != Py_None) {
        static const char* const accepted[] = {"PNG", "JPEG", "MPO", "WEBP", "GIF"};  // MPO: a camera's JPEG
        bool ok = false;
        for (const char* name : accepted)
            ok = ok || (PyUnicode_Check(format.get()) && PyUnicode_CompareWithASCIIString(format.get(), name) == 0);
        if (!ok) refuse_image("image format %S is not accepted (PNG, JPEG, WebP or GIF only)", format.get());
    }
    Ref size = lookup_attr(image, names.size);
    if (!size) return;
    Ref seq = require(PySequence_Tuple(size.get()));
    if (PyTuple_GET_SIZE(seq.get()) != 2) {
        PyErr_SetString(PyExc_ValueError, "image size is not a pair");
        throw PyErrSet{};
    }
    const long long w = header_number(PyTuple_GET_ITEM(seq.get(), 0));
    const long long h = header_number(PyTuple_GET_ITEM(seq.get(), 1));
    const long long long_side = w > h ? w : h, short_side = w > h ? h : w;
    if (long_side > limits::kImageSide)
        refuse_image("image side of %lld pixels is over the limit of %lld", long_side, limits::kImageSide);
    if (short_side < 1) refuse_image("image of %lldx%lld pixels is empty", w, h);
    if (w * h > limits::kImagePixels)  // both sides are at most kImageSide here: no overflow
        refuse_image("image of %lldx%lld pixels is over the budget of %lld pixels", w, h, limits::kImagePixels);
    if (long_side > limits::kImageAspect * short_side)
        refuse_image("image of %lldx%lld pixels is longer than %lld:1", w, h, limits::kImageAspect);
}

void embed_image_part(PyObject* self, PyObject* url, PyObject* vllm_model_name, PyObject* image_model_name) {
    Ref b64data = split_payload(url);
    if (PyUnicode_Check(b64data.get()) && PyUnicode_GET_LENGTH(b64data.get()) > limits::kImagePayloadChars) {
        PyErr_Format(PyExc_ValueError, "image data of %zd Base64 characters is over the limit of %zd",
                     PyUnicode_GET_LENGTH(b64data.get()), limits::kImagePayloadChars);
        throw PyErrSet{};
    }
    Ref base64 = global(names.base64);
    Ref image_data = call_method(base64.get(), names.b64decode, b64data.get());
    Ref image_module = global(names.Image);
    Ref bytes_io = global(names.BytesIO);
    Ref stream = call(bytes_io.get(), image_data.get());
    Ref image = call_method(image_module.get(), names.open, stream.get());
    check_image_header(image.get());
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
    Ref type = call_method(part, names.get, names.type);
    int eq = PyObject_RichCompareBool(type.get(), wanted, Py_EQ);
    check(eq);
    return eq == 1;
}

void embed_parts(PyObject* self, PyObject* content, PyObject* vllm_model_name, PyObject* text_model_name,
                 PyObject* image_model_name, PyObject* text_prefix) {
    Ref it = require(PyObject_GetIter(content));
    int embedded = 0;  // parts given to a model so far
    auto within_bound = [&] {
        if (embedded++ < limits::kPartsPerMessage) return true;
        Ref name_text = shown_before_tag(vllm_model_name);
        Ref bound = require(PyUnicode_FromFormat("%d", limits::kPartsPerMessage));
        console(join({ICPT_LIT("[yellow]Content parts after the first "), bound.get(),
                      ICPT_LIT(" of a message skipped for model "), name_text.get(), ICPT_LIT("[/yellow]")})
                    .get());
        return false;
    };
    while (PyObject* raw = PyIter_Next(it.get())) {
        Ref part = Ref::steal(raw);
        if (is_text_part(part.get(), names.text) && truthy(text_model_name)) {
            if (!within_bound()) break;
            Ref text = call_method(part.get(), names.get, names.text, names.empty);
            embed_text(self, text.get(), vllm_model_name, text_model_name, text_prefix,
                       ICPT_LIT("[red]Error computing text embedding in list:[/red] "));
        } else if (is_text_part(part.get(), names.image_url) && truthy(image_model_name)) {
            Ref empty = new_dict();
            Ref image_url_dict = call_method(part.get(), names.get, names.image_url, empty.get());
            Ref url = call_method(image_url_dict.get(), names.get, names.url, names.empty);
            Ref is_data = call_method(url.get(), names.startswith, names.data_image);
            if (truthy(is_data.get())) {
                if (!within_bound()) break;
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
    Ref content = call_method(message, names.get, names.content);
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
    Ref message;
    guarded(
        ICPT_LIT("[red]Error getting message from queue:[/red] "), names.Empty, [] {},
        [&] {
            Ref queue = getattr(self, names.live_messages_queue);
            message = call_method_kw(queue.get(), names.get, names.kw_timeout, names.one);
        });
    return message;
}

void handle_message(PyObject* self, PyObject* message) {
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
        exit_cv.wait_for(lock, limits::kExitWait, [] { return messages_in_hand == 0; });
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
    call_method(atexit.get(), ICPT_LIT("register"), hook.get());
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
