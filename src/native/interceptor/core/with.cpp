// The `with` statement's pieces.
#include "core/with.hpp"

#include "core/compat.hpp"
#include "core/guard.hpp"
#include "core/names.hpp"

#include <utility>

namespace interceptor {

namespace {

// type(obj).name, as the interpreter looks up special methods: found on the
// type, then bound to obj (method descriptors stay unbound, called with obj).
SpecialMethod lookup_special(PyObject* obj, PyObject* name) {
    SpecialMethod m;
    PyObject* attr = compat::type_lookup(Py_TYPE(obj), name);
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

Ref call_special(const SpecialMethod& m) {
    PyObject* self = m.self;
    if (self) return require(PyObject_Vectorcall(m.callable.get(), &self, 1, nullptr));
    return require(PyObject_CallNoArgs(m.callable.get()));
}

Ref call_special(const SpecialMethod& m, PyObject* a, PyObject* b, PyObject* c) {
    PyObject* args[4] = {m.self, a, b, c};
    if (m.self) return require(PyObject_Vectorcall(m.callable.get(), args, 4, nullptr));
    return require(PyObject_Vectorcall(m.callable.get(), args + 1, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

}  // namespace

Ref with_enter(PyObject* manager, SpecialMethod& exit) {
    SpecialMethod enter = lookup_special(manager, names.__enter__);
    if (!enter.callable) {
        PyErr_Format(PyExc_TypeError, "'%.200s' object does not support the context manager protocol",
                     Py_TYPE(manager)->tp_name);
        throw PyErrSet{};
    }
    SpecialMethod found_exit = lookup_special(manager, names.__exit__);
    if (!found_exit.callable) {
        PyErr_Format(PyExc_TypeError,
                     "'%.200s' object does not support the context manager protocol (missed __exit__ method)",
                     Py_TYPE(manager)->tp_name);
        throw PyErrSet{};
    }
    Ref value = call_special(enter);
    exit = std::move(found_exit);
    return value;
}

void with_exit_ok(const SpecialMethod& exit) { call_special(exit, Py_None, Py_None, Py_None); }

bool with_exit_error(const SpecialMethod& exit) {
    Caught caught;
    PyObject* tb = caught.value() ? PyException_GetTraceback(caught.value()) : nullptr;
    Ref tb_ref = Ref::steal(tb);
    PyObject* type = caught.value() ? reinterpret_cast<PyObject*>(Py_TYPE(caught.value())) : Py_None;
    // An exception raised by __exit__ goes on in place of the caught one.
    Ref result = call_special(exit, type, caught.value() ? caught.value() : Py_None, tb ? tb : Py_None);
    int suppress = PyObject_IsTrue(result.get());
    if (suppress < 0) throw PyErrSet{};
    if (suppress) return true;
    caught.restore();
    return false;
}

}  // namespace interceptor
