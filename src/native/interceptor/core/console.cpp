// Console lines, exception guards, `with` statements and global lookup.
#include "core/interceptor.hpp"

#include <cassert>
#include <exception>
#include <new>
#include <vector>

namespace interceptor {

Names names;
ProcessState state;

void set_error_from_current() noexcept {
    try {
        throw;
    } catch (PyErrSet&) {
        // already on the indicator
    } catch (std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (std::exception& e) {
        PyErr_Format(PyExc_SystemError, "interceptor: internal error: %s", e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "interceptor: unknown internal error");
    }
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "interceptor: error without exception");
}

PyObject* make_literal(const char* text) {
    PyObject* s = PyUnicode_InternFromString(text);
    if (!s) throw PyErrSet{};
    return s;
}

namespace {

bool ready = false;

PyObject* intern(const char* s) { return make_literal(s); }

PyObject* names_tuple(std::initializer_list<PyObject*> items) {
    PyObject* t = PyTuple_New(static_cast<Py_ssize_t>(items.size()));
    if (!t) throw PyErrSet{};
    Py_ssize_t i = 0;
    for (PyObject* o : items) {
        Py_INCREF(o);
        PyTuple_SET_ITEM(t, i++, o);
    }
    return t;
}

}  // namespace

bool names_ready() noexcept { return ready; }

void init_names() {
    if (ready) return;
#define INTERCEPTOR_MAKE(n) \
    if (!names.n) names.n = intern(#n);
    INTERCEPTOR_IDENTIFIERS(INTERCEPTOR_MAKE)
#undef INTERCEPTOR_MAKE
    // Identifiers that are not valid C++ names, and plain constants.
    auto once = [](PyObject*& slot, auto make) {
        if (!slot) slot = make();
    };
    once(names.empty, [] { return intern(""); });
    once(names.query_prefix, [] { return intern("query: "); });
    once(names.none_text, [] { return intern("None"); });
    once(names.data_image, [] { return intern("data:image"); });
    once(names.comma, [] { return intern(","); });
    once(names.npz_name, [] { return intern("embeddings.npz"); });
    once(names.config_name, [] { return intern("test_config.json"); });
    once(names.progress_title, [] { return intern("[green]Configuring shift detection..."); });
    once(names.one, [] { return require(PyLong_FromLong(1)).release(); });
    once(names.max_embeddings, [] { return require(PyLong_FromLong(1000)).release(); });
    once(names.queue_size, [] { return require(PyLong_FromLong(16)).release(); });
    once(names.kw_timeout, [] { return names_tuple({names.timeout}); });
    once(names.kw_maxsize, [] { return names_tuple({names.maxsize}); });
    once(names.kw_target_daemon, [] { return names_tuple({names.target, names.daemon}); });
    once(names.kw_backend, [] { return names_tuple({names.backend}); });
    once(names.kw_total, [] { return names_tuple({names.total}); });
    once(names.kw_advance, [] { return names_tuple({names.advance}); });
    ready = true;
}

Ref global(PyObject* name) {
    assert(names_ready() && PyUnicode_Check(name));
    if (state.globals) {
        PyObject* v = PyDict_GetItemWithError(state.globals, name);
        if (v) return Ref::borrow(v);
        if (PyErr_Occurred()) throw PyErrSet{};
    }
    if (state.builtins) {
        PyObject* v = PyDict_GetItemWithError(state.builtins, name);
        if (v) return Ref::borrow(v);
        if (PyErr_Occurred()) throw PyErrSet{};
    }
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    throw PyErrSet{};
}

Ref text_of(PyObject* value) { return require(PyObject_Format(value, names.empty)); }

namespace {

bool tag_start(Py_UCS4 c) { return (c >= 'a' && c <= 'z') || c == '#' || c == '/' || c == '@'; }

// Escapes console markup in text the way rich's markup.escape does: every
// `[` that opens something tag-shaped (`[` + one of a-z # / @ + anything up to
// the next `]`, no `[` between) gets a backslash, and the backslashes right
// before it are doubled. When the text is followed by a tag in its line, its
// trailing backslashes are doubled too, so that they neither escape that tag
// nor lose half their number to it.
Ref escape_markup(Ref text, bool before_tag) {
    PyObject* s = text.get();
    const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    const int kind = PyUnicode_KIND(s);
    const void* data = PyUnicode_DATA(s);
    auto at = [&](Py_ssize_t i) { return PyUnicode_READ(kind, data, i); };
    const bool trailing_backslash = before_tag && n > 0 && at(n - 1) == '\\';
    if (PyUnicode_FindChar(s, '[', 0, n, 1) == -1 && !trailing_backslash) return text;

    std::vector<Py_UCS4> out;
    out.reserve(static_cast<size_t>(n) + 8);
    Py_ssize_t copied = 0;  // text before this index is already in `out`
    for (Py_ssize_t j = 0; j < n; ++j) {
        if (at(j) != '[' || j + 1 >= n || !tag_start(at(j + 1))) continue;
        Py_ssize_t k = j + 2;
        while (k < n && at(k) != ']' && at(k) != '[') ++k;
        if (k >= n || at(k) != ']') continue;
        Py_ssize_t run = j;  // backslashes right before `[`, not already copied
        while (run > copied && at(run - 1) == '\\') --run;
        for (Py_ssize_t i = copied; i < j; ++i) out.push_back(at(i));
        for (Py_ssize_t i = run; i < j; ++i) out.push_back('\\');
        out.push_back('\\');
        for (Py_ssize_t i = j; i <= k; ++i) out.push_back(at(i));
        copied = k + 1;
        j = k;
    }
    Py_ssize_t tail = n;  // start of the trailing run of backslashes
    if (trailing_backslash)
        while (tail > copied && at(tail - 1) == '\\') --tail;
    for (Py_ssize_t i = copied; i < n; ++i) {
        out.push_back(at(i));
        if (i >= tail) out.push_back('\\');
    }
    return require(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, out.data(), static_cast<Py_ssize_t>(out.size())));
}

// Characters a value may not put on the console as they are: C0 and C1
// controls and DEL (a newline forges a line, ESC starts a terminal sequence),
// lone surrogates (no encoding can write them: rich fails on them and keeps
// them in its buffer), the line and paragraph separators and the bidi
// overrides and isolates (they reorder what the rest of the line shows).
bool unprintable(Py_UCS4 c) {
    return c < 0x20 || (c >= 0x7f && c < 0xa0) || (c >= 0xd800 && c <= 0xdfff) || c == 0x2028 || c == 0x2029 ||
           (c >= 0x202a && c <= 0x202e) || (c >= 0x2066 && c <= 0x2069);
}

// Shows those characters as Python's backslash escapes (\n, \x1b, \ud800);
// everything else, accents and CJK included, stays as it is.
Ref printable(Ref text) {
    PyObject* s = text.get();
    const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    const int kind = PyUnicode_KIND(s);
    const void* data = PyUnicode_DATA(s);
    Py_ssize_t first = 0;
    while (first < n && !unprintable(PyUnicode_READ(kind, data, first))) ++first;
    if (first == n) return text;

    static const char hex[] = "0123456789abcdef";
    std::vector<Py_UCS4> out;
    out.reserve(static_cast<size_t>(n) + 16);
    for (Py_ssize_t i = 0; i < n; ++i) {
        const Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (i < first || !unprintable(c)) {
            out.push_back(c);
            continue;
        }
        out.push_back('\\');
        if (c == '\n' || c == '\r' || c == '\t') {
            out.push_back(c == '\n' ? 'n' : c == '\r' ? 'r' : 't');
            continue;
        }
        const int digits = c < 0x100 ? 2 : 4;
        out.push_back(c < 0x100 ? 'x' : 'u');
        for (int d = digits - 1; d >= 0; --d) out.push_back(static_cast<Py_UCS4>(hex[(c >> (4 * d)) & 0xf]));
    }
    return require(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, out.data(), static_cast<Py_ssize_t>(out.size())));
}

}  // namespace

Ref shown(PyObject* value) { return escape_markup(printable(text_of(value)), false); }
Ref shown_before_tag(PyObject* value) { return escape_markup(printable(text_of(value)), true); }

Ref join(std::initializer_list<PyObject*> pieces) {
    return require(_PyUnicode_JoinArray(names.empty, pieces.begin(), static_cast<Py_ssize_t>(pieces.size())));
}

void console(PyObject* line) {
    Ref print = global(names.print);
    call(print.get(), line);
}

void report(PyObject* line) {
    console(line);
    Ref tb = global(names.traceback);
    call_method(tb.get(), names.print_exc);
}

// ---------------------------------------------------------------------------
// Caught
// ---------------------------------------------------------------------------

Caught::Caught() noexcept {
    assert(PyErr_Occurred());
    PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb && value) PyException_SetTraceback(value, tb);
    type_ = Ref::steal(type);
    value_ = Ref::steal(value);
    tb_ = Ref::steal(tb);
    previous_ = Ref::steal(PyErr_GetHandledException());
    PyErr_SetHandledException(value_.get());
}

Caught::~Caught() {
    if (!Ref::may_release()) return;  // see "Thread exit" in interceptor.hpp
    PyErr_SetHandledException(previous_.get());
}

bool Caught::matches(PyObject* exc_type) const noexcept {
    return type_ && PyErr_GivenExceptionMatches(type_.get(), exc_type);
}

void Caught::restore() noexcept {
    PyErr_Restore(type_.release(), value_.release(), tb_.release());
}

// ---------------------------------------------------------------------------
// with
// ---------------------------------------------------------------------------

namespace {

// type(obj).name, as the interpreter looks up special methods: found on the
// type, then bound to obj (method descriptors stay unbound, called with obj).
SpecialMethod lookup_special(PyObject* obj, PyObject* name) {
    SpecialMethod m;
    PyObject* attr = _PyType_Lookup(Py_TYPE(obj), name);
    if (!attr) return m;
    if (PyType_HasFeature(Py_TYPE(attr), Py_TPFLAGS_METHOD_DESCRIPTOR)) {
        m.callable = Ref::borrow(attr);
        m.self = obj;
        return m;
    }
    descrgetfunc get = Py_TYPE(attr)->tp_descr_get;
    if (!get) {
        m.callable = Ref::borrow(attr);
        return m;
    }
    Ref held = Ref::borrow(attr);  // the descriptor may run code that drops it from the type
    m.callable = require(get(attr, obj, reinterpret_cast<PyObject*>(Py_TYPE(obj))));
    return m;
}

}  // namespace

Ref SpecialMethod::call() const {
    if (self) return require(PyObject_Vectorcall(callable.get(), &self, 1, nullptr));
    return require(PyObject_CallNoArgs(callable.get()));
}

Ref SpecialMethod::call(PyObject* a, PyObject* b, PyObject* c) const {
    PyObject* args[4] = {self, a, b, c};
    if (self) return require(PyObject_Vectorcall(callable.get(), args, 4, nullptr));
    return require(PyObject_Vectorcall(callable.get(), args + 1, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

Ref with_enter(PyObject* manager, ExitHandle& out) {
    SpecialMethod enter = lookup_special(manager, names.__enter__);
    if (!enter.callable) {
        PyErr_Format(PyExc_TypeError, "'%.200s' object does not support the context manager protocol",
                     Py_TYPE(manager)->tp_name);
        throw PyErrSet{};
    }
    SpecialMethod exit = lookup_special(manager, names.__exit__);
    if (!exit.callable) {
        PyErr_Format(PyExc_TypeError,
                     "'%.200s' object does not support the context manager protocol (missed __exit__ method)",
                     Py_TYPE(manager)->tp_name);
        throw PyErrSet{};
    }
    Ref value = enter.call();
    out.exit = std::move(exit);
    return value;
}

void with_exit_ok(ExitHandle& h) { h.exit.call(Py_None, Py_None, Py_None); }

bool with_exit_error(ExitHandle& h) {
    Caught caught;
    PyObject* tb = caught.value() ? PyException_GetTraceback(caught.value()) : nullptr;
    Ref tb_ref = Ref::steal(tb);
    PyObject* type = caught.value() ? reinterpret_cast<PyObject*>(Py_TYPE(caught.value())) : Py_None;
    // An exception raised by __exit__ goes on in place of the caught one.
    Ref result = h.exit.call(type, caught.value() ? caught.value() : Py_None, tb ? tb : Py_None);
    int suppress = PyObject_IsTrue(result.get());
    if (suppress < 0) throw PyErrSet{};
    if (suppress) return true;
    caught.restore();
    return false;
}

}  // namespace interceptor
