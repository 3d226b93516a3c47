// The private CPython calls the module makes, in one place: each does what the
// interpreter itself does at that point, without a public equivalent in 3.11
// that would not change the behaviour (an AttributeError made and cleared, a
// bound method per call, a join through a new list). A new CPython release
// is checked here first.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#if PY_VERSION_HEX < 0x030B0000 || PY_VERSION_HEX >= 0x030C0000
#error "the private calls below are those of CPython 3.11"
#endif

namespace interceptor::compat {

// getattr(obj, name) that reports a plain absence as 0 with *result NULL and
// no error set (1 when found, -1 on error).
inline int lookup_attr(PyObject* obj, PyObject* name, PyObject** result) {
    return _PyObject_LookupAttr(obj, name, result);
}

// type.name through the MRO, without descriptors bound and without raising;
// a borrowed reference or NULL.
inline PyObject* type_lookup(PyTypeObject* type, PyObject* name) { return _PyType_Lookup(type, name); }

// separator.join(items[0:n]) for str items, without building a sequence.
inline PyObject* unicode_join(PyObject* separator, PyObject* const* items, Py_ssize_t n) {
    return _PyUnicode_JoinArray(separator, items, n);
}

}  // namespace interceptor::compat
