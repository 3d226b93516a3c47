// Object protocol helpers (attributes, items, calls, iteration, unpacking),
// throwing PyErrSet on error.
#pragma once

#include "core/compat.hpp"
#include "core/error.hpp"
#include "core/ref.hpp"

#include <array>
#include <cassert>
#include <cstddef>
#include <type_traits>

namespace interceptor {

inline Ref getattr(PyObject* o, PyObject* name) { return require(PyObject_GetAttr(o, name)); }
inline void setattr(PyObject* o, PyObject* name, PyObject* v) { check(PyObject_SetAttr(o, name, v)); }
inline Ref getitem(PyObject* o, PyObject* key) { return require(PyObject_GetItem(o, key)); }
inline void setitem(PyObject* o, PyObject* key, PyObject* v) { check(PyObject_SetItem(o, key, v)); }
inline bool contains(PyObject* container, PyObject* item) {
    int r = PySequence_Contains(container, item);
    check(r);
    return r == 1;
}
inline bool truthy(PyObject* o) {
    int r = PyObject_IsTrue(o);
    check(r);
    return r == 1;
}
inline Py_ssize_t length(PyObject* o) {
    Py_ssize_t n = PyObject_Size(o);
    if (n < 0) throw PyErrSet{};
    return n;
}
inline Ref new_dict() { return require(PyDict_New()); }

// obj.name, or an empty Ref when obj has no such attribute (without making
// the AttributeError that getattr would have to clear).
inline Ref lookup_attr(PyObject* obj, PyObject* name) {
    PyObject* found = nullptr;
    if (compat::lookup_attr(obj, name, &found) < 0) throw PyErrSet{};
    return Ref::steal(found);
}

// The argument stacks below are sized from the arguments at compile time.
template <class... Args>
inline constexpr bool all_objects = (std::is_convertible_v<Args, PyObject*> && ...);

inline size_t positional(size_t nargs, PyObject* kwnames) noexcept {
    const size_t nkw = kwnames ? static_cast<size_t>(PyTuple_GET_SIZE(kwnames)) : 0;
    assert(nkw <= nargs);
    return nargs - nkw;
}

// callable(*args, **dict(zip(kwnames, trailing args)))
template <class... Args>
Ref call_kw(PyObject* callable, PyObject* kwnames, Args... args) {
    static_assert(all_objects<Args...>);
    // A free slot in front lets a bound method prepend its instance in place.
    PyObject* stack[] = {nullptr, args...};
    return require(PyObject_Vectorcall(callable, stack + 1,
                                       positional(sizeof...(Args), kwnames) | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}
template <class... Args>
Ref call(PyObject* callable, Args... args) {
    return call_kw(callable, nullptr, args...);
}
// obj.name(*args, **kw) with ordinary attribute lookup on obj.
template <class... Args>
Ref call_method_kw(PyObject* obj, PyObject* name, PyObject* kwnames, Args... args) {
    static_assert(all_objects<Args...>);
    PyObject* stack[] = {obj, args...};
    return require(PyObject_VectorcallMethod(name, stack, 1 + positional(sizeof...(Args), kwnames), kwnames));
}
template <class... Args>
Ref call_method(PyObject* obj, PyObject* name, Args... args) {
    return call_method_kw(obj, name, nullptr, args...);
}

// `for item in iterable: body(item)`, the item borrowed for the body's call.
// A body that returns bool ends the loop early (`break`) by returning false.
template <class Body>
void for_each(PyObject* iterable, Body&& body) {
    Ref it = require(PyObject_GetIter(iterable));
    while (PyObject* raw = PyIter_Next(it.get())) {
        Ref item = Ref::steal(raw);
        if constexpr (std::is_same_v<decltype(body(item.get())), bool>) {
            if (!body(item.get())) break;
        } else {
            body(item.get());
        }
    }
    // PyIter_Next ends both on exhaustion and on an error.
    if (PyErr_Occurred()) throw PyErrSet{};
}

// `a, b, ... = value`: the items of an exact tuple or list as they are, of
// anything else as iterated, with the count checked.
template <size_t N>
std::array<Ref, N> unpack(PyObject* value) {
    Ref seq = PyTuple_CheckExact(value) || PyList_CheckExact(value) ? Ref::borrow(value)
                                                                    : require(PySequence_List(value));
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
    if (n < static_cast<Py_ssize_t>(N)) {
        PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", n, n == 1 ? "" : "s");
        throw PyErrSet{};
    }
    if (n > static_cast<Py_ssize_t>(N)) {
        PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", static_cast<Py_ssize_t>(N));
        throw PyErrSet{};
    }
    std::array<Ref, N> items;
    for (size_t i = 0; i < N; ++i) items[i] = Ref::borrow(PySequence_Fast_GET_ITEM(seq.get(), i));
    return items;
}

}  // namespace interceptor
