// Request intake: tag each message with the request's model, queue it without
// waiting, and make sure a worker runs. Nothing here waits for embedding work.
#include "core/console.hpp"
#include "core/guard.hpp"
#include "core/names.hpp"
#include "core/object.hpp"
#include "core/process.hpp"
#include "core/ref.hpp"
#include "handler/bodies.hpp"

#include <cxxabi.h>

#include <mutex>

namespace interceptor {

namespace {

// Serialises the test-and-start of the worker across host threads, so that
// threads arriving together start one worker. Recursive, so that code running
// inside the start (a rebound print, a Thread subclass) may call back in.
std::recursive_mutex worker_start_gate;

// Takes the gate without holding the GIL while waiting: the holder may need
// the GIL to finish (Thread.start waits for the new thread with it released).
class GateHold {
public:
    GateHold() {
        if (worker_start_gate.try_lock()) return;
        PyThreadState* saved = PyEval_SaveThread();
        worker_start_gate.lock();
        try {
            PyEval_RestoreThread(saved);  // may end this thread at interpreter exit
        } catch (abi::__forced_unwind&) {
            worker_start_gate.unlock();
            throw;
        }
    }
    ~GateHold() { worker_start_gate.unlock(); }
    GateHold(const GateHold&) = delete;
    GateHold& operator=(const GateHold&) = delete;
};

bool worker_needed(PyObject* self) {
    Ref thread = getattr(self, names.embedding_thread);
    if (thread.get() == Py_None) return true;
    Ref alive = call_method(thread.get(), names.is_alive);
    return !truthy(alive.get());
}

}  // namespace

void handler_handle_chat_completion_request(PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* request = args[1];
    guarded(ICPT_LIT("[red]Error handling chat completion request:[/red] "), [&] {
        Ref messages = getattr(request, names.messages);
        for_each(messages.get(), [&](PyObject* message) {
            Ref model = getattr(request, names.model);
            setitem(message, names.model, model.get());
            call_method(self, names.add_live_message, message);
        });
        call_method(self, names.start_live_embedding_worker);
    });
}

void handler_add_live_message(PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* message = args[1];
    guarded(
        ICPT_LIT("[red]Error adding live message:[/red] "), names.Full,
        [] { console(ICPT_LIT("[red]Live messages queue is full. Dropping message.[/red]")); },
        [&] {
            Ref queue = getattr(self, names.live_messages_queue);
            call_method(queue.get(), names.put_nowait, message);
        });
}

void handler_start_live_embedding_worker(PyObject* const* args) {
    PyObject* self = args[0];
    GateHold hold;
    guarded(ICPT_LIT("[red]Error starting live embedding worker:[/red] "), [&] {
        if (!worker_needed(self)) return;
        Ref threading = global(names.threading);
        Ref thread_cls = getattr(threading.get(), names.Thread);
        Ref target = getattr(self, names.live_embedding_worker);
        Ref thread = call_kw(thread_cls.get(), names.kw_target_daemon, target.get(), Py_True);
        setattr(self, names.embedding_thread, thread.get());
        Ref stored = getattr(self, names.embedding_thread);
        call_method(stored.get(), names.start);
    });
}

}  // namespace interceptor
