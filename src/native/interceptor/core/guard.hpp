// The exception in flight made the handled one, and the guards built on it:
// `except <name>` / `except Exception` with the red line and the traceback.
#pragma once

#include "core/console.hpp"
#include "core/error.hpp"
#include "core/process.hpp"
#include "core/ref.hpp"

#include <utility>

namespace interceptor {

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

}  // namespace interceptor
