// Interned names (attribute, global and keyword names, and the few string
// values the handler compares or passes on): made once, at the module's first
// execution, and kept for the life of the process.
#pragma once

#include "core/error.hpp"
#include "core/ref.hpp"

namespace interceptor {

#define INTERCEPTOR_IDENTIFIERS(X)                                                 \
    X(embedding_models) X(train_test_embeddings) X(live_embeddings)                \
    X(embedding_indices) X(MAX_EMBEDDINGS) X(live_messages_queue)                  \
    X(embedding_lock) X(embedding_thread) X(vllm_to_embedding_model_map)           \
    X(text_prefixes) X(messages) X(model) X(add_live_message)                      \
    X(start_live_embedding_worker) X(live_embedding_worker) X(add_embedding)      \
    X(put_nowait) X(get) X(task_done) X(timeout) X(is_alive) X(Thread) X(target)   \
    X(daemon) X(start) X(Queue) X(maxsize) X(Lock) X(threading) X(print)           \
    X(traceback) X(print_exc) X(Full) X(Empty) X(text) X(image) X(live) X(tolist)  \
    X(append) X(content) X(type) X(image_url) X(url) X(startswith) X(split)        \
    X(b64decode) X(base64) X(BytesIO) X(Image) X(open) X(encode) X(keys)           \
    X(values) X(items) X(os) X(path) X(join) X(json) X(load) X(np)                 \
    X(SentenceTransformer) X(backend) X(onnx) X(Progress) X(add_task) X(total)     \
    X(update) X(advance) X(data) X(distribution) X(train) X(test) X(embeddings)    \
    X(text_model_name) X(image_model_name) X(text_prefix) X(text_embeddings)       \
    X(text_roles) X(image_embeddings) X(image_roles) X(train_roles)                \
    X(__enter__) X(__exit__) X(__module__) X(__qualname__) X(__builtins__)         \
    X(__test__) X(ShiftDetectionRequestHandler) X(olvane_shift_detection_handler) \
    X(loader) X(origin) X(parent) X(submodule_search_locations) X(name)           \
    X(__loader__) X(__file__) X(__package__) X(__path__) X(format) X(size)    \
    X(zip) X(infolist) X(filename) X(file_size) X(encode_batch_size)           \
    X(encode_gather_seconds)

struct Names {
#define INTERCEPTOR_DECLARE(n) Immortal n;
    INTERCEPTOR_IDENTIFIERS(INTERCEPTOR_DECLARE)
#undef INTERCEPTOR_DECLARE
    Immortal empty;             // ""
    Immortal query_prefix;      // "query: "
    Immortal none_text;         // "None"
    Immortal data_image;        // "data:image"
    Immortal comma;             // ","
    Immortal npz_name;          // "embeddings.npz"
    Immortal config_name;       // "test_config.json"
    Immortal kw_timeout;        // ("timeout",)
    Immortal kw_maxsize;        // ("maxsize",)
    Immortal kw_target_daemon;  // ("target", "daemon")
    Immortal kw_backend;        // ("backend",)
    Immortal kw_total;          // ("total",)
    Immortal kw_advance;        // ("advance",)
};
extern Names names;
bool names_ready() noexcept;
void init_names();  // throws PyErrSet

// An interned str made on first use and kept for the life of the process.
Immortal make_literal(const char* text);
#define ICPT_LIT(text)                                                               \
    ([]() -> PyObject* {                                                             \
        static const ::interceptor::Immortal interned_literal =                      \
            ::interceptor::make_literal(text);                                       \
        return interned_literal;                                                     \
    }())

// An int made on first use and kept for the life of the process.
Immortal make_int(long value);
#define ICPT_INT(value)                                                              \
    ([]() -> PyObject* {                                                             \
        static const ::interceptor::Immortal kept_int = ::interceptor::make_int(value); \
        return kept_int;                                                             \
    }())

}  // namespace interceptor
