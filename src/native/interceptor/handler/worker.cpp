// The live embedding worker.
//
// The worker takes one message at a time off the queue, resolves the served
// model's embedding models and text prefix, hands the message to the content
// step, and marks every message it took as done, whatever happened.
#include "core/console.hpp"
#include "core/error.hpp"
#include "core/guard.hpp"
#include "core/names.hpp"
#include "core/object.hpp"
#include "core/ref.hpp"
#include "handler/bodies.hpp"
#include "handler/content.hpp"
#include "module/exit_hook.hpp"

namespace interceptor {

namespace {

// One message off the queue, or nothing after a quiet second or a reported error.
Ref take_message(PyObject* self) {
    Ref message;
    guarded(
        ICPT_LIT("[red]Error getting message from queue:[/red] "), names.Empty, [] {},
        [&] {
            Ref queue = getattr(self, names.live_messages_queue);
            message = call_method_kw(queue.get(), names.get, names.kw_timeout, ICPT_INT(1));
        });
    return message;
}

void handle_message(PyObject* self, PyObject* message) {
    Ref vllm_model_name = call_method(message, names.get, names.model);
    Ref model_map = getattr(self, names.vllm_to_embedding_model_map);
    Ref no_models = new_dict();
    Ref models_for_vllm = call_method(model_map.get(), names.get, vllm_model_name.get(), no_models.get());
    Ref text_model_name = call_method(models_for_vllm.get(), names.get, names.text);
    Ref image_model_name = call_method(models_for_vllm.get(), names.get, names.image);
    Ref prefixes = getattr(self, names.text_prefixes);
    Ref text_prefix = call_method(prefixes.get(), names.get, vllm_model_name.get(), names.query_prefix);

    if (text_model_name.get() == Py_None) {
        Ref current = getattr(self, names.vllm_to_embedding_model_map);
        if (truthy(current.get())) {
            Ref name_text = shown_before_tag(vllm_model_name.get());
            console(join({ICPT_LIT("[yellow]Shift detection skipped for model "), name_text.get(),
                          ICPT_LIT("[/yellow]")})
                        .get());
            return;
        }
    }
    if (image_model_name.get() == Py_None) {
        Ref current = getattr(self, names.vllm_to_embedding_model_map);
        if (truthy(current.get())) {
            Ref mappings = call_method(getattr(self, names.vllm_to_embedding_model_map).get(), names.values);
            for_each(mappings.get(), [&](PyObject* model_mapping) {
                if (!contains(model_mapping, names.image)) return true;
                image_model_name = getitem(model_mapping, names.image);
                return false;
            });
        }
    }
    embed_message_content(self, message, vllm_model_name.get(), text_model_name.get(), image_model_name.get(),
                          text_prefix.get());
}

void mark_done(PyObject* self) {
    guarded(ICPT_LIT("[red]Error marking task as done:[/red] "), [&] {
        Ref queue = getattr(self, names.live_messages_queue);
        call_method(queue.get(), names.task_done);
    });
}

}  // namespace

void handler_live_embedding_worker(PyObject* const* args) {
    PyObject* self = args[0];
    for (;;) {
        // Once exit has begun the rest of the queue stays where it is.
        if (exit_begun()) return;
        Ref message = take_message(self);
        if (!message) continue;
        MessageInHand in_hand;
        if (!in_hand) {
            mark_done(self);
            return;
        }
        if (attempt([&] {
                guarded(ICPT_LIT("[red]Error processing live message:[/red] "),
                        [&] { handle_message(self, message.get()); });
            })) {
            mark_done(self);
            continue;
        }
        // Something got past the message guard: the message is still marked
        // done (with that exception as the handled one), then it ends the worker.
        Caught caught;
        mark_done(self);
        caught.restore();
        throw PyErrSet{};
    }
}

}  // namespace interceptor
