// `with manager as value: body(value)`, with __enter__ and __exit__ looked up
// on the type before either is called, and __exit__ given the exception's
// details (as the handled exception) when one passes through.
#pragma once

#include "core/error.hpp"
#include "core/ref.hpp"

namespace interceptor {

// A special method found on the type: either bound already, or a method
// descriptor kept unbound (with its instance) so that no bound method object
// is made per call, as the interpreter's own method calls avoid it.
struct SpecialMethod {
    Ref callable;
    PyObject* self = nullptr;  // borrowed: the manager, when `callable` is unbound
};

// The pieces `with` is built from: __enter__'s result, with __exit__ left in
// `exit`; then __exit__(None, None, None), or, called with the error
// indicator set, __exit__ with the exception (true when it suppressed it).
Ref with_enter(PyObject* manager, SpecialMethod& exit);
void with_exit_ok(const SpecialMethod& exit);
bool with_exit_error(const SpecialMethod& exit);

template <class Body>
void with(PyObject* manager, Body&& body) {
    SpecialMethod exit;
    Ref value = with_enter(manager, exit);
    try {
        body(value.get());
    } catch (PyErrSet&) {
        if (!with_exit_error(exit)) throw;
        return;
    }
    ICPT_CATCH_ALL {
        set_error_from_current();
        if (!with_exit_error(exit)) throw PyErrSet{};
        return;
    }
    with_exit_ok(exit);
}

}  // namespace interceptor
