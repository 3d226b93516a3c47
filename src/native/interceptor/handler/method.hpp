// The handler's method objects: a function type of our own, with the argument
// rules every method shares.
#pragma once

#include "core/ref.hpp"

namespace interceptor {

// A method body: gets every declared parameter, in order, already checked.
using MethodBody = void (*)(PyObject* const* args);

struct MethodSpec {
    const char* name;
    const char* doc;
    MethodBody body;
    int nparams;
    const char* params[4];
    // Parameter `exact_dict_param` (if >= 0) must be exactly a dict.
    int exact_dict_param;
    // At most one annotation: parameter name and its annotation text.
    const char* annotated_param;
    const char* annotation;
};

// A new method object bound to the module namespace `globals`.
Ref new_method(const MethodSpec* spec, PyObject* module_name, PyObject* globals);

}  // namespace interceptor
