// The error channel: the Python error indicator. Internally a function that finds
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

#include "core/ref.hpp"

#include <cxxabi.h>

namespace interceptor {

// Marker: the Python error indicator is set and the caller should unwind.
struct PyErrSet {};

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

}  // namespace interceptor
