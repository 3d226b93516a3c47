// The handler class: its seven methods, in class order, with their
// docstrings, and the class built from them in the module namespace.
#include "handler/class.hpp"

#include "core/error.hpp"
#include "core/names.hpp"
#include "core/object.hpp"
#include "core/ref.hpp"
#include "handler/bodies.hpp"
#include "handler/method.hpp"

namespace interceptor {

namespace {

#define ICPT_INDENT "        "

const char kDocInit[] = "ShiftDetectionRequestHandler.__init__(self)";

const char kDocInitModels[] =
    "ShiftDetectionRequestHandler.init_models(self, recipe_paths)\n"
    "\n" ICPT_INDENT "Initializes embedding models.\n" ICPT_INDENT
    "Also creates mapping between vllm model names and embedding model names.\n" ICPT_INDENT
    "Now also extracts and stores text_prefix from config.\n" ICPT_INDENT;

const char kDocAddEmbedding[] =
    "ShiftDetectionRequestHandler.add_embedding(self, vllm_model_name, modal_type, embedding)\n"
    "\n" ICPT_INDENT "Add an embedding using round-robin approach.\n" ICPT_INDENT
    "If the storage is full, replace the oldest embedding.\n" ICPT_INDENT "\n" ICPT_INDENT "Args:\n" ICPT_INDENT
    "    vllm_model_name: Name of the VLLM model\n" ICPT_INDENT "    modal_type: 'text' or 'image'\n" ICPT_INDENT
    "    embedding: The embedding to add\n" ICPT_INDENT;

const char kDocWorker[] =
    "ShiftDetectionRequestHandler.live_embedding_worker(self)\n"
    "\n" ICPT_INDENT "Runs in a separate thread, continuously processing live messages from the queue.\n" ICPT_INDENT
    "For each message, it uses the model specified in the message (via request.model)\n" ICPT_INDENT
    "and computes embeddings for text and/or image content.\n" ICPT_INDENT
    "Now uses the text_prefix from config for each model.\n" ICPT_INDENT;

const char kDocStartWorker[] =
    "ShiftDetectionRequestHandler.start_live_embedding_worker(self)\n"
    "\n" ICPT_INDENT "Starts the live embedding worker in a separate thread if one is not already running.\n" ICPT_INDENT;

const char kDocAddLiveMessage[] =
    "ShiftDetectionRequestHandler.add_live_message(self, dict message: dict)\n"
    "\n" ICPT_INDENT "Enqueues a new live message for embedding computation.\n" ICPT_INDENT
    "If the queue is full (over 16 pending messages), the message is dropped.\n" ICPT_INDENT;

const char kDocHandleRequest[] =
    "ShiftDetectionRequestHandler.handle_chat_completion_request(self, request: ChatCompletionRequest)\n"
    "\n" ICPT_INDENT "Enqueues incoming messages for live embedding computation.\n" ICPT_INDENT
    "Uses request.model for selecting the appropriate model.\n" ICPT_INDENT;

#undef ICPT_INDENT

const MethodSpec method_specs[] = {
    {"__init__", kDocInit, handler_init, 1, {"self"}, -1, nullptr, nullptr},
    {"init_models", kDocInitModels, handler_init_models, 2, {"self", "recipe_paths"}, -1, nullptr, nullptr},
    {"add_embedding", kDocAddEmbedding, handler_add_embedding, 4,
     {"self", "vllm_model_name", "modal_type", "embedding"}, -1, nullptr, nullptr},
    {"live_embedding_worker", kDocWorker, handler_live_embedding_worker, 1, {"self"}, -1, nullptr, nullptr},
    {"start_live_embedding_worker", kDocStartWorker, handler_start_live_embedding_worker, 1, {"self"}, -1, nullptr,
     nullptr},
    {"add_live_message", kDocAddLiveMessage, handler_add_live_message, 2, {"self", "message"}, 1, "message", "dict"},
    {"handle_chat_completion_request", kDocHandleRequest, handler_handle_chat_completion_request, 2,
     {"self", "request"}, -1, "request", "ChatCompletionRequest"},
};

}  // namespace

void define_handler_class(PyObject* globals, const char* module) {
    Ref module_name = require(PyUnicode_FromString(module));
    Ref ns = new_dict();
    check(PyDict_SetItem(ns.get(), names.__module__, module_name.get()));
    check(PyDict_SetItem(ns.get(), names.__qualname__, names.ShiftDetectionRequestHandler));
    for (const MethodSpec& spec : method_specs) {
        Ref fn = new_method(&spec, module_name.get(), globals);
        check(PyDict_SetItemString(ns.get(), spec.name, fn.get()));
    }
    Ref bases = require(PyTuple_New(0));
    Ref cls = call(reinterpret_cast<PyObject*>(&PyType_Type), names.ShiftDetectionRequestHandler, bases.get(), ns.get());
    check(PyDict_SetItem(globals, names.ShiftDetectionRequestHandler, cls.get()));
}

}  // namespace interceptor
