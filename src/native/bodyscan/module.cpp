// olvane_sdk.fast.deployment.ood.middleware._bodyscan: scan(body) reads a
// chat-completion body's layout with the GIL released, so the event loop
// runs while the hand-over thread scans megabytes.
#include "core/ref.hpp"
#include "scan.hpp"


#include <cstring>
#include <exception>

namespace bodyscan {

namespace {

using interceptor::Ref;

// Copies above this size let the GIL go too.
constexpr std::size_t kCopyWithoutGil = 1 << 20;

// How many containers a decoder that enters the interpreter's recursion
// check once per container could still open from this call: the strict
// reading refuses (RecursionError) exactly where msgspec, called from the
// same place, does.
std::size_t containers_left() {
    PyThreadState* ts = PyThreadState_Get();
    const int depth = ts->recursion_limit - ts->recursion_remaining;
    const int left = Py_GetRecursionLimit() - depth;
    return left > 0 ? static_cast<std::size_t>(left) : 0;
}

Ref size_object(std::size_t v) { return Ref::steal(PyLong_FromSize_t(v)); }

// (model_start, model_end, spans): model_start is -1 when the body has no
// model key; spans holds four native uint32 per message (start, end,
// role_start, role_end).
PyObject* result(const Found& found) {
    const std::size_t nbytes = found.messages.size() * sizeof(Message);
    Ref spans = Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(nbytes)));
    if (!spans) return nullptr;
    if (nbytes) {
        char* dest = PyBytes_AS_STRING(spans.get());
        const void* src = found.messages.data();
        if (nbytes >= kCopyWithoutGil) {
            Py_BEGIN_ALLOW_THREADS
            std::memcpy(dest, src, nbytes);
            Py_END_ALLOW_THREADS
        } else {
            std::memcpy(dest, src, nbytes);
        }
    }
    Ref start = found.has_model ? size_object(found.model_start) : Ref::steal(PyLong_FromLong(-1));
    Ref end = size_object(found.model_end);
    if (!start || !end) return nullptr;
    Ref tuple = Ref::steal(PyTuple_New(3));
    if (!tuple) return nullptr;
    PyTuple_SET_ITEM(tuple.get(), 0, start.release());
    PyTuple_SET_ITEM(tuple.get(), 1, end.release());
    PyTuple_SET_ITEM(tuple.get(), 2, spans.release());
    return tuple.release();
}

// Not noexcept: a daemon thread woken while the interpreter finalizes is
// ended by pthread_exit when it takes the GIL back, and that forced unwind
// must pass through this frame.
PyObject* scan_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 1) {
        PyErr_Format(PyExc_TypeError, "scan() takes exactly one argument (%zd given)", nargs);
        return nullptr;
    }
    PyObject* body = args[0];
    if (!PyBytes_Check(body)) {
        PyErr_Format(PyExc_TypeError, "scan() argument must be bytes, not %.200s", Py_TYPE(body)->tp_name);
        return nullptr;
    }
    // The caller's reference keeps the bytes alive, and bytes do not change:
    // the scan may read them without the GIL.
    const auto* data = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(body));
    const auto size = static_cast<std::size_t>(PyBytes_GET_SIZE(body));
    const std::size_t limit = containers_left();
    Found found;
    Outcome outcome = Outcome::kRefused;
    bool out_of_memory = false;
    Py_BEGIN_ALLOW_THREADS
    try {
        outcome = scan(data, size, limit, found);
    } catch (std::exception&) {  // a vector's growth: bad_alloc or length_error
        out_of_memory = true;
    }
    Py_END_ALLOW_THREADS
    if (out_of_memory) return PyErr_NoMemory();
    if (outcome == Outcome::kTooDeep) {
        PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded while scanning a JSON body");
        return nullptr;
    }
    if (outcome == Outcome::kRefused || !found.has_messages) Py_RETURN_NONE;
    return result(found);
}

PyMethodDef methods[] = {
    {"scan", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(scan_entry)), METH_FASTCALL,
     "scan(body: bytes) -> tuple[int, int, bytes] | None\n--\n\n"
     "Reads a chat-completion body as strict JSON with the GIL released: None\n"
     "when it is not strict JSON or not an object whose messages are arrays;\n"
     "else (model_start, model_end, spans), model_start -1 when there is no\n"
     "model key, spans four native uint32 per message: its span and its role's\n"
     "(0xFFFFFFFF: no role, 0xFFFFFFFE: not an object). The last duplicate key\n"
     "wins. Deeper nesting than the interpreter allows raises RecursionError."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "olvane_sdk.fast.deployment.ood.middleware._bodyscan",
    "Where a chat-completion body's model, messages and roles are, read without the GIL.",
    0,
    methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace bodyscan

PyMODINIT_FUNC PyInit__bodyscan() { return PyModuleDef_Init(&bodyscan::module_def); }
