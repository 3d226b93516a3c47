// The handler class, built at module execution.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace interceptor {

// Defines ShiftDetectionRequestHandler in the module namespace `globals`, its
// methods reporting `module` as their __module__.
void define_handler_class(PyObject* globals, const char* module);

}  // namespace interceptor
