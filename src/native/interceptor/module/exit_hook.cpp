// The exit hook and the count of messages in the workers' hands it waits for.
#include "module/exit_hook.hpp"

#include "core/error.hpp"
#include "core/names.hpp"
#include "core/object.hpp"
#include "core/ref.hpp"

#include <pthread.h>

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace interceptor {

namespace {

// How long interpreter exit waits for the messages in the workers' hands:
// the worst message the content limits allow (content.cpp), many times over,
// yet short enough that a stuck model call cannot hold the process's exit
// for long.
constexpr auto kExitWait = std::chrono::seconds(10);

// Never held while calling into Python, so the worker (with the GIL) and the
// exit hook (without it) can both take it.
std::mutex exit_mutex;
std::condition_variable exit_cv;
bool exiting = false;      // set once, by the exit hook
int messages_in_hand = 0;  // workers between taking a message and marking it done

// A forked child has none of its parent's workers.
void forget_workers_in_child() noexcept { messages_in_hand = 0; }

PyObject* exit_hook(PyObject*, PyObject*) noexcept {
    PyThreadState* saved = PyEval_SaveThread();
    {
        std::unique_lock<std::mutex> lock(exit_mutex);
        exiting = true;
        exit_cv.wait_for(lock, kExitWait, [] { return messages_in_hand == 0; });
    }
    PyEval_RestoreThread(saved);
    Py_RETURN_NONE;
}

PyMethodDef exit_hook_def = {"_interceptor_exit", exit_hook, METH_NOARGS, nullptr};

}  // namespace

MessageInHand::MessageInHand() noexcept {
    std::lock_guard<std::mutex> lock(exit_mutex);
    if (exiting) return;
    ++messages_in_hand;
    held_ = true;
}

MessageInHand::~MessageInHand() {
    if (!held_) return;
    std::lock_guard<std::mutex> lock(exit_mutex);
    --messages_in_hand;
    exit_cv.notify_all();
}

bool exit_begun() noexcept {
    std::lock_guard<std::mutex> lock(exit_mutex);
    return exiting;
}

// atexit rather than threading's private _register_atexit. Both run before
// the interpreter starts ending daemon threads. atexit runs after the host's
// non-daemon threads have been joined, so until then the worker still serves
// them (a thread that queues messages, or waits for the queue to drain, while
// the host shuts down), and none of them can start a worker behind the hook.
void register_exit_hook() {
    Ref hook = require(PyCFunction_New(&exit_hook_def, nullptr));
    Ref atexit = require(PyImport_ImportModule("atexit"));
    call_method(atexit.get(), ICPT_LIT("register"), hook.get());
    if (pthread_atfork(nullptr, nullptr, forget_workers_in_child) != 0) {
        PyErr_SetString(PyExc_OSError, "interceptor: pthread_atfork failed");
        throw PyErrSet{};
    }
}

}  // namespace interceptor
