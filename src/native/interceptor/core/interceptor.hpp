// interceptor: live-traffic embedding collector for an OpenAI-compatible server.
//
// Chief header. Everything the translation units share lives here: the owned
// reference type, the "error already set" marker, the process-wide state, the
// interned names and the small call helpers built on them.
//
// Error channel: the Python error indicator. Internally a function that finds
// the indicator set throws `PyErrSet`; every entry point that CPython calls
// turns that marker back into a NULL / -1 return.
//
// Thread exit: CPython ends a daemon thread that wakes up while the
// interpreter finalizes with pthread_exit, whose forced unwind runs through
// our frames. It must never be caught and kept (that aborts the process), so
// every catch-all is ICPT_CATCH_ALL, which lets it pass, and the entry points
// are not noexcept. That thread does not hold the GIL, so the references its
// frames own are not released (Ref::may_release); the process is ending.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cxxabi.h>

#include <cassert>
#include <chrono>
#include <cstddef>
#include <initializer_list>
#include <type_traits>
#include <utility>

namespace interceptor {

// ---------------------------------------------------------------------------
// Ownership
// ---------------------------------------------------------------------------

// Marker: the Python error indicator is set and the caller should unwind.
struct PyErrSet {};

// One owner per reference. Built only by steal() or borrow(); copying adds a
// reference, moving empties the source, assignment stores the new pointer
// before dropping the old one (so a destructor that runs Python code never
// sees a dangling field).
class Ref {
public:
    Ref() noexcept = default;
    Ref(std::nullptr_t) noexcept {}
    static Ref steal(PyObject* p) noexcept { return Ref(p); }
    static Ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }
    Ref(const Ref& o) noexcept : p_(o.p_) { Py_XINCREF(p_); }
    Ref(Ref&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
    Ref& operator=(const Ref& o) noexcept {
        Py_XINCREF(o.p_);
        PyObject* old = p_;
        p_ = o.p_;
        Py_XDECREF(old);
        return *this;
    }
    Ref& operator=(Ref&& o) noexcept {
        if (this != &o) {
            PyObject* old = p_;
            p_ = o.p_;
            o.p_ = nullptr;
            Py_XDECREF(old);
        }
        return *this;
    }
    ~Ref() {
        if (p_ && may_release()) Py_DECREF(p_);
    }
    // False only on a thread that unwinds without the GIL: one the interpreter
    // ends at exit (see "Thread exit" above), or any thread once the
    // interpreter's thread states are gone. Its references stay; the process
    // is ending. The interpreter ends threads only once it is no longer
    // initialized, so the common case costs one load; the main thread, which
    // holds the GIL through finalization, still releases what it owns.
    static bool may_release() noexcept {
        return Py_IsInitialized() || (PyGILState_Check() && PyGILState_GetThisThreadState());
    }

    PyObject* get() const noexcept { return p_; }
    [[nodiscard]] PyObject* release() noexcept {
        PyObject* p = p_;
        p_ = nullptr;
        return p;
    }
    void reset() noexcept { *this = Ref(); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

// A new reference or the marker.
inline Ref require(PyObject* p) {
    if (!p) throw PyErrSet{};
    return Ref::steal(p);
}
inline void check(int rc) {
    if (rc < 0) throw PyErrSet{};
}
// A catch-all that lets a thread's forced unwind (pthread_exit) pass.
#define ICPT_CATCH_ALL            \
    catch (abi::__forced_unwind&) { \
        throw;                      \
    }                               \
    catch (...)

// Converts whatever C++ exception is in flight into the error indicator.
// Call only inside a catch block.
void set_error_from_current() noexcept;

// ---------------------------------------------------------------------------
// Limits: what one message may cost the worker, and how long exit waits.
// The reasons are in the README ("Limits per message"); the benchmark
// benchmarks/hostile.py measures the worst message they allow.
// ---------------------------------------------------------------------------

namespace limits {
// Content parts of one message that are embedded (text and images together);
// the rest are skipped with a notice. Keeps one message from costing more
// than a second and from replacing a model's whole live store.
inline constexpr int kPartsPerMessage = 4;
// Base64 characters of one image's data, tested before it is decoded.
inline constexpr Py_ssize_t kImagePayloadChars = Py_ssize_t{8} << 20;
// From the image's header, before its pixels are decoded: the pixel budget
// (2048 x 2048), the longest side, and the ratio of the long side to the short
// one (the image processor scales the short side up to its input size).
inline constexpr long long kImagePixels = 2048LL * 2048LL;
inline constexpr long long kImageSide = 8192;
inline constexpr long long kImageAspect = 20;
// Text is cut once it surely holds this many word pieces (see cap_text in
// worker.cpp): twice the 256 of all-MiniLM-L6-v2, so the cut never changes
// what the model reads.
inline constexpr Py_ssize_t kTextWordPieces = 512;
// And in any case after this many characters: only a text whose first 64 Ki
// characters hold fewer than kTextWordPieces words (a run of whitespace, a
// word thousands of letters long) is cut by this one.
inline constexpr Py_ssize_t kTextChars = Py_ssize_t{64} << 10;
// How long interpreter exit waits for the messages in the workers' hands:
// the worst message the limits above allow, many times over, yet short
// enough that a stuck model call cannot hold the process's exit for long.
inline constexpr auto kExitWait = std::chrono::seconds(10);
}  // namespace limits

// ---------------------------------------------------------------------------
// Interned names and constants (made once, at the module's first execution)
// ---------------------------------------------------------------------------

#define INTERCEPTOR_IDENTIFIERS(X)                                                 \
    X(embedding_models) X(train_test_embeddings) X(live_embeddings)                \
    X(embedding_indices) X(MAX_EMBEDDINGS) X(live_messages_queue)                  \
    X(embedding_lock) X(embedding_thread) X(vllm_to_embedding_model_map)           \
    X(text_prefixes) X(messages) X(model) X(add_live_message)                      \
    X(start_live_embedding_worker) X(live_embedding_worker) X(add_embedding)      \
    X(put_nowait) X(get) X(task_done) X(timeout) X(is_alive) X(Thread) X(target)   \
    X(daemon) X(start) X(Queue) X(maxsize) X(Lock) X(threading) X(print)           \
    X(traceback) X(print_exc) X(Full) X(Empty) X(text) X(image) X(live) X(tolist)  \
    X(append) X(content) X(type) X(image_url) X(url) X(startswith) X(split)        \
    X(b64decode) X(base64) X(BytesIO) X(Image) X(open) X(encode) X(keys)           \
    X(values) X(items) X(os) X(path) X(join) X(json) X(load) X(np)                 \
    X(SentenceTransformer) X(backend) X(onnx) X(Progress) X(add_task) X(total)     \
    X(update) X(advance) X(data) X(distribution) X(train) X(test) X(embeddings)    \
    X(text_model_name) X(image_model_name) X(text_prefix) X(text_embeddings)       \
    X(text_roles) X(image_embeddings) X(image_roles) X(train_roles)                \
    X(__enter__) X(__exit__) X(__module__) X(__qualname__) X(__builtins__)         \
    X(__test__) X(ShiftDetectionRequestHandler) X(olvane_shift_detection_handler) \
    X(loader) X(origin) X(parent) X(submodule_search_locations) X(name)           \
    X(__loader__) X(__file__) X(__package__) X(__path__) X(format) X(size)

struct Names {
#define INTERCEPTOR_DECLARE(n) PyObject* n = nullptr;
    INTERCEPTOR_IDENTIFIERS(INTERCEPTOR_DECLARE)
#undef INTERCEPTOR_DECLARE
    PyObject* empty = nullptr;             // ""
    PyObject* query_prefix = nullptr;      // "query: "
    PyObject* none_text = nullptr;         // "None"
    PyObject* data_image = nullptr;        // "data:image"
    PyObject* comma = nullptr;             // ","
    PyObject* npz_name = nullptr;          // "embeddings.npz"
    PyObject* config_name = nullptr;       // "test_config.json"
    PyObject* progress_title = nullptr;    // the progress task's description
    PyObject* one = nullptr;               // int 1
    PyObject* max_embeddings = nullptr;    // int 1000
    PyObject* queue_size = nullptr;        // int 16
    PyObject* kw_timeout = nullptr;        // ("timeout",)
    PyObject* kw_maxsize = nullptr;        // ("maxsize",)
    PyObject* kw_target_daemon = nullptr;  // ("target", "daemon")
    PyObject* kw_backend = nullptr;        // ("backend",)
    PyObject* kw_total = nullptr;          // ("total",)
    PyObject* kw_advance = nullptr;        // ("advance",)
};
extern Names names;
bool names_ready() noexcept;
void init_names();  // throws PyErrSet

// An interned str made on first use and kept for the life of the process.
PyObject* make_literal(const char* text);
#define ICPT_LIT(text)                                                              \
    ([]() -> PyObject* {                                                            \
        static PyObject* const interned_literal = ::interceptor::make_literal(text); \
        return interned_literal;                                                    \
    }())

// ---------------------------------------------------------------------------
// Process-wide state (all state is process-wide; the module has none of its own)
// ---------------------------------------------------------------------------

struct ProcessState {
    long long interpreter_id = -1;  // the one interpreter allowed to load us
    PyObject* module = nullptr;     // the one module object, once executed
    PyObject* globals = nullptr;    // its namespace
    PyObject* builtins = nullptr;   // the builtins module's namespace
};
extern ProcessState state;

// ---------------------------------------------------------------------------
// Object protocol helpers (throwing on error)
// ---------------------------------------------------------------------------

// A module-level name, looked up at call time: namespace first, then builtins.
Ref global(PyObject* name);

inline Ref getattr(PyObject* o, PyObject* name) { return require(PyObject_GetAttr(o, name)); }
inline void setattr(PyObject* o, PyObject* name, PyObject* v) { check(PyObject_SetAttr(o, name, v)); }
inline Ref getitem(PyObject* o, PyObject* key) { return require(PyObject_GetItem(o, key)); }
inline void setitem(PyObject* o, PyObject* key, PyObject* v) { check(PyObject_SetItem(o, key, v)); }
inline bool contains(PyObject* container, PyObject* item) {
    int r = PySequence_Contains(container, item);
    check(r);
    return r == 1;
}
inline bool truthy(PyObject* o) {
    int r = PyObject_IsTrue(o);
    check(r);
    return r == 1;
}
inline Py_ssize_t length(PyObject* o) {
    Py_ssize_t n = PyObject_Size(o);
    if (n < 0) throw PyErrSet{};
    return n;
}
inline Ref new_dict() { return require(PyDict_New()); }

// The argument stacks below are sized from the arguments at compile time.
template <class... Args>
inline constexpr bool all_objects = (std::is_convertible_v<Args, PyObject*> && ...);

inline size_t positional(size_t nargs, PyObject* kwnames) noexcept {
    const size_t nkw = kwnames ? static_cast<size_t>(PyTuple_GET_SIZE(kwnames)) : 0;
    assert(nkw <= nargs);
    return nargs - nkw;
}

// callable(*args, **dict(zip(kwnames, trailing args)))
template <class... Args>
Ref call_kw(PyObject* callable, PyObject* kwnames, Args... args) {
    static_assert(all_objects<Args...>);
    // A free slot in front lets a bound method prepend its instance in place.
    PyObject* stack[] = {nullptr, args...};
    return require(PyObject_Vectorcall(callable, stack + 1,
                                       positional(sizeof...(Args), kwnames) | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}
template <class... Args>
Ref call(PyObject* callable, Args... args) {
    return call_kw(callable, nullptr, args...);
}
// obj.name(*args, **kw) with ordinary attribute lookup on obj.
template <class... Args>
Ref call_method_kw(PyObject* obj, PyObject* name, PyObject* kwnames, Args... args) {
    static_assert(all_objects<Args...>);
    PyObject* stack[] = {obj, args...};
    return require(PyObject_VectorcallMethod(name, stack, 1 + positional(sizeof...(Args), kwnames), kwnames));
}
template <class... Args>
Ref call_method(PyObject* obj, PyObject* name, Args... args) {
    return call_method_kw(obj, name, nullptr, args...);
}

// obj.name, or an empty Ref when obj has no such attribute (without making
// the AttributeError that getattr would have to clear).
inline Ref lookup_attr(PyObject* obj, PyObject* name) {
    PyObject* found = nullptr;
    if (_PyObject_LookupAttr(obj, name, &found) < 0) throw PyErrSet{};
    return Ref::steal(found);
}

// ---------------------------------------------------------------------------
// Console and guards
// ---------------------------------------------------------------------------

// format(value, ""): what an f-string replacement field with no spec gives.
Ref text_of(PyObject* value);
// text_of(value) made safe to place in a console line: characters that no
// console should receive as they are (controls, escape sequences, lone
// surrogates) are shown as backslash escapes, and console markup in it (a
// model name from a request, an exception's text) is escaped, so that it
// shows as written instead of forging a line, restyling it or failing to render.
Ref shown(PyObject* value);
// The same, for a value that a markup tag follows directly in its line.
Ref shown_before_tag(PyObject* value);
// Joins str pieces into one line.
Ref join(std::initializer_list<PyObject*> pieces);
// print(line) with the module's current `print`.
void console(PyObject* line);
// print(line) followed by traceback.print_exc().
void report(PyObject* line);

// The exception in flight, taken off the indicator and made the handled one
// (as inside an `except` block) for this object's lifetime; the previously
// handled exception comes back when it goes away.
class Caught {
public:
    Caught() noexcept;
    ~Caught();
    Caught(const Caught&) = delete;
    Caught& operator=(const Caught&) = delete;
    bool matches(PyObject* exc_type) const noexcept;
    PyObject* value() const noexcept { return value_.get(); }
    // Puts the exception back on the indicator (for re-raising).
    void restore() noexcept;

private:
    Ref type_, value_, tb_;
    Ref previous_;
};

// Runs body, turning any C++ exception into the error indicator.
// Returns true when it completed, false with the error indicator set.
template <class Body>
bool attempt(Body&& body) {
    try {
        body();
        return true;
    } catch (PyErrSet&) {
    }
    ICPT_CATCH_ALL { set_error_from_current(); }
    return false;
}

// With the error indicator set, acts as
//   `except <first>: on_first()` (when first_name is given: a module global,
//   looked up only now; a failure to look it up goes outward, chained to the
//   caught exception), then
//   `except Exception as e: print(head() + f"{e}"); traceback.print_exc()`.
// Anything not derived from Exception, and anything raised while reporting,
// propagates as PyErrSet.
template <class Head, class OnFirst>
void report_exception(Head&& head, PyObject* first_name, OnFirst&& on_first) {
    Caught caught;
    if (first_name) {
        Ref first = global(first_name);
        if (caught.matches(first.get())) {
            on_first();
            return;
        }
    }
    if (!caught.matches(PyExc_Exception)) {
        caught.restore();
        throw PyErrSet{};
    }
    Ref head_text = head();
    Ref text = shown(caught.value());
    report(join({head_text.get(), text.get()}).get());
}
template <class Head>
void report_exception(Head&& head) {
    report_exception(std::forward<Head>(head), nullptr, [] {});
}

// `try: body() except Exception as e: print(prefix + f"{e}"); traceback.print_exc()`.
// Returns true when the body completed, false when an Exception was reported.
template <class Body>
bool guarded(PyObject* prefix, Body&& body) {
    if (attempt(body)) return true;
    report_exception([prefix] { return Ref::borrow(prefix); });
    return false;
}
// The same with `except <first_name>: on_first()` ahead of `except Exception`.
template <class Body, class OnFirst>
bool guarded(PyObject* prefix, PyObject* first_name, OnFirst&& on_first, Body&& body) {
    if (attempt(body)) return true;
    report_exception([prefix] { return Ref::borrow(prefix); }, first_name, std::forward<OnFirst>(on_first));
    return false;
}

// `with manager as value: body(value)`, with __enter__ and __exit__ looked up
// on the type before either is called, and __exit__ given the exception's
// details (as the handled exception) when one passes through.
// The pieces `with` is built from.
// A special method found on the type: either bound already, or a method
// descriptor kept unbound (with its instance) so that no bound method object
// is made per call, as the interpreter's own method calls avoid it.
struct SpecialMethod {
    Ref callable;
    PyObject* self = nullptr;  // borrowed: the manager, when `callable` is unbound
    Ref call(PyObject* a, PyObject* b, PyObject* c) const;
    Ref call() const;
};
struct ExitHandle {
    SpecialMethod exit;
};
Ref with_enter(PyObject* manager, ExitHandle& out);
void with_exit_ok(ExitHandle& h);
// Called with the error indicator set; returns true when __exit__ suppressed it.
bool with_exit_error(ExitHandle& h);

template <class Body>
void with(PyObject* manager, Body&& body) {
    ExitHandle h;
    Ref value = with_enter(manager, h);
    try {
        body(value.get());
    } catch (PyErrSet&) {
        if (!with_exit_error(h)) throw;
        return;
    }
    ICPT_CATCH_ALL {
        set_error_from_current();
        if (!with_exit_error(h)) throw PyErrSet{};
        return;
    }
    with_exit_ok(h);
}

// ---------------------------------------------------------------------------
// Methods, the method object type and the class
// ---------------------------------------------------------------------------

// A method body: gets every declared parameter, in order, already checked.
using MethodBody = void (*)(PyObject* const* args);

struct MethodSpec {
    const char* name;
    const char* doc;
    MethodBody body;
    int nparams;
    const char* params[4];
    // Parameter `exact_dict_param` (if >= 0) must be exactly a dict.
    int exact_dict_param;
    // At most one annotation: parameter name and its annotation text.
    const char* annotated_param;
    const char* annotation;
};

extern PyTypeObject MethodType;
// A new method object bound to the module namespace `globals`.
Ref new_method(const MethodSpec* spec, PyObject* module_name, PyObject* globals);

// The seven methods, in class order.
extern const MethodSpec method_specs[];
extern const int method_count;

// The method bodies, by family.
void handler_init(PyObject* const* args);                    // handler state
void handler_add_embedding(PyObject* const* args);           // store
void handler_init_models(PyObject* const* args);             // recipes
void handler_live_embedding_worker(PyObject* const* args);   // worker
void handler_start_live_embedding_worker(PyObject* const* args);  // intake
void handler_add_live_message(PyObject* const* args);             // intake
void handler_handle_chat_completion_request(PyObject* const* args);  // intake

// ---------------------------------------------------------------------------
// Interpreter exit
// ---------------------------------------------------------------------------

// Registers the exit hook (module execution). At exit it stops every worker
// from taking another message and waits, with a time limit, until none is
// inside one: the interpreter ends daemon threads where they next take the
// GIL, and ending one inside a model's native frames aborts the process.
void register_exit_hook();

// The worker's side: a worker holds one of these for each message it works
// on. Not held (false) once exit has begun: the worker then ends.
class MessageInHand {
public:
    MessageInHand() noexcept;
    ~MessageInHand();
    MessageInHand(const MessageInHand&) = delete;
    MessageInHand& operator=(const MessageInHand&) = delete;
    explicit operator bool() const noexcept { return held_; }

private:
    bool held_ = false;
};
bool exit_begun() noexcept;

// The content step of the worker: embeds one message's text and images.
void embed_message_content(PyObject* self, PyObject* message, PyObject* vllm_model_name,
                           PyObject* text_model_name, PyObject* image_model_name, PyObject* text_prefix);

// Builds the handler class in the module namespace (module execution).
void define_handler_class(PyObject* globals);

}  // namespace interceptor
