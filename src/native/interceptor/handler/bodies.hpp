// The handler's method bodies, by family; the class (class.cpp) lists them.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace interceptor {

void handler_init(PyObject* const* args);                            // state.cpp
void handler_add_embedding(PyObject* const* args);                   // store.cpp
void handler_init_models(PyObject* const* args);                     // recipes.cpp
void handler_live_embedding_worker(PyObject* const* args);           // worker.cpp
void handler_start_live_embedding_worker(PyObject* const* args);     // intake.cpp
void handler_add_live_message(PyObject* const* args);                // intake.cpp
void handler_handle_chat_completion_request(PyObject* const* args);  // intake.cpp

}  // namespace interceptor
