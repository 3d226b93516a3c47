// Handler state: the constructor sets the handler's nine attributes, in order.
#include "core/names.hpp"
#include "core/object.hpp"
#include "core/process.hpp"
#include "core/ref.hpp"
#include "handler/bodies.hpp"

namespace interceptor {

namespace {
// Entries kept per model and modality in the live ring (handler/store.cpp).
constexpr long MAX_EMBEDDINGS = 1000;
// Requests waiting for the embedding worker; a full queue drops the message.
constexpr long LIVE_QUEUE_SIZE = 16;
}  // namespace

void handler_init(PyObject* const* args) {
    PyObject* self = args[0];
    setattr(self, names.embedding_models, new_dict().get());
    setattr(self, names.train_test_embeddings, new_dict().get());
    setattr(self, names.live_embeddings, new_dict().get());
    setattr(self, names.embedding_indices, new_dict().get());
    setattr(self, names.MAX_EMBEDDINGS, ICPT_INT(MAX_EMBEDDINGS));
    {
        Ref queue_cls = global(names.Queue);
        Ref queue = call_kw(queue_cls.get(), names.kw_maxsize, ICPT_INT(LIVE_QUEUE_SIZE));
        setattr(self, names.live_messages_queue, queue.get());
    }
    {
        Ref threading = global(names.threading);
        Ref lock = call_method(threading.get(), names.Lock);
        setattr(self, names.embedding_lock, lock.get());
    }
    setattr(self, names.embedding_thread, Py_None);
    setattr(self, names.vllm_to_embedding_model_map, new_dict().get());
}

}  // namespace interceptor
