// Owned references: `Ref`, one owner per reference, and `Immortal`, a
// reference kept for the life of the process.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>

namespace interceptor {

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

// A reference held for the rest of the process and never released: the
// interned names and constants, made once. It reads as the object itself
// (a borrowed PyObject*), which stays valid because nothing ever drops it;
// copies share it and own nothing.
class Immortal {
public:
    constexpr Immortal() noexcept = default;
    // Takes over a new reference for good.
    static Immortal keep(Ref r) noexcept { return Immortal(r.release()); }
    operator PyObject*() const noexcept { return p_; }
    PyObject* get() const noexcept { return p_; }

private:
    explicit Immortal(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

}  // namespace interceptor
