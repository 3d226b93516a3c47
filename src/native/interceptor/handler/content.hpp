// The content step of the worker: embeds one message's text and images,
// within the limits of what one message may cost.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace interceptor {

void embed_message_content(PyObject* self, PyObject* message, PyObject* vllm_model_name,
                           PyObject* text_model_name, PyObject* image_model_name, PyObject* text_prefix);

}  // namespace interceptor
