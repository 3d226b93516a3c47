// The caught exception, made the handled one while it is reported.
#include "core/guard.hpp"

#include <cassert>

namespace interceptor {

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
    if (!Ref::may_release()) return;  // see "Thread exit" in ref.hpp
    PyErr_SetHandledException(previous_.get());
}

bool Caught::matches(PyObject* exc_type) const noexcept {
    return type_ && PyErr_GivenExceptionMatches(type_.get(), exc_type);
}

void Caught::restore() noexcept {
    PyErr_Restore(type_.release(), value_.release(), tb_.release());
}

}  // namespace interceptor
