// The process-wide state and the global lookup.
#include "core/process.hpp"

#include "core/names.hpp"

#include <cassert>

namespace interceptor {

// Made once and never destroyed: static destructors run once the interpreter
// is gone, or on exit() from a thread without the GIL, when no reference may
// be dropped. What the state holds lives as long as the process does.
ProcessState& state = *new ProcessState;

Ref global(PyObject* name) {
    assert(names_ready() && PyUnicode_Check(name));
    if (state.globals) {
        PyObject* v = PyDict_GetItemWithError(state.globals.get(), name);
        if (v) return Ref::borrow(v);
        if (PyErr_Occurred()) throw PyErrSet{};
    }
    if (state.builtins) {
        PyObject* v = PyDict_GetItemWithError(state.builtins.get(), name);
        if (v) return Ref::borrow(v);
        if (PyErr_Occurred()) throw PyErrSet{};
    }
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    throw PyErrSet{};
}

}  // namespace interceptor
