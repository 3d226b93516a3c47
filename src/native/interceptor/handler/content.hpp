// The content step of the worker: embeds one message's text and images,
// within the limits of what one message may cost. Its console lines, guarded
// reports and embeddings go through a sink: run at once (one message at a
// time), or kept as a plan to run once a batch's embeddings are known.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "core/error.hpp"
#include "core/guard.hpp"
#include "core/ref.hpp"

#include <utility>
#include <vector>

namespace interceptor {

// One message at a time: every effect happens where the walk reaches it.
struct NowSink {
    void line(PyObject* line);
    template <class Body>
    void image_guard(PyObject* head, Body&& body) {
        guarded(head, std::forward<Body>(body));
    }
    void embed(PyObject* self, PyObject* head, PyObject* model, PyObject* input, PyObject* vllm_model_name,
               PyObject* modality);
};

// One effect of a message's walk, kept for later (handler/worker.cpp runs it).
struct ContentOp {
    enum class Kind {
        line,    // print `head`
        report,  // the image guard's report of the kept exception
        raise,   // the kept exception, raised to the message guard
        embed,   // encode `input` (unless `embedding` is known) and store it
    };
    Kind kind = Kind::line;
    Ref head;   // the line, or the guard's red head
    Ref outer;  // the image guard's head when the effect ran inside it
    Ref type, value, traceback;
    Ref model, input, vllm_model_name, modality;
    Ref embedding;  // the input's row of a batch encoded together
};

// The walk with every effect kept in order; nothing is printed or stored.
// An exception the message guard would have reported ends the walk as a
// `raise` (keep_error); one not derived from Exception too.
class PlanSink {
public:
    explicit PlanSink(std::vector<ContentOp>& ops) noexcept : ops_(ops) {}
    void line(PyObject* line);
    template <class Body>
    void image_guard(PyObject* head, Body&& body) {
        PyObject* saved = outer_;
        outer_ = head;
        const bool ok = attempt(std::forward<Body>(body));
        outer_ = saved;
        if (!ok) keep_error(ContentOp::Kind::report, head);
    }
    void embed(PyObject* self, PyObject* head, PyObject* model, PyObject* input, PyObject* vllm_model_name,
               PyObject* modality);
    // Takes the exception off the indicator into an op. A report is only for
    // an Exception (anything else is put back and goes on outward, as past
    // the image guard).
    void keep_error(ContentOp::Kind kind, PyObject* head);

private:
    // A new op at the end of the plan, with its head and the image guard it runs inside.
    ContentOp& push(ContentOp::Kind kind, PyObject* head);

    std::vector<ContentOp>& ops_;
    PyObject* outer_ = nullptr;  // an interned literal while inside the image guard
};

template <class Sink>
void embed_message_content(Sink& sink, PyObject* self, PyObject* message, PyObject* vllm_model_name,
                           PyObject* text_model_name, PyObject* image_model_name, PyObject* text_prefix);

}  // namespace interceptor
