// The live embedding store: one ring of at most MAX_EMBEDDINGS entries per
// served model and modality, filled by appending and then overwritten in
// round-robin order. Everything, prints included, runs under embedding_lock.
#include "core/console.hpp"
#include "core/error.hpp"
#include "core/names.hpp"
#include "core/object.hpp"
#include "core/ref.hpp"
#include "core/with.hpp"
#include "handler/bodies.hpp"

namespace interceptor {

namespace {

// {"text": {"live": []}, "image": {"live": []}}
Ref new_rings() {
    Ref rings = new_dict();
    for (PyObject* modality : {names.text, names.image}) {
        Ref ring = new_dict();
        Ref live = require(PyList_New(0));
        setitem(ring.get(), names.live, live.get());
        setitem(rings.get(), modality, ring.get());
    }
    return rings;
}

// {"text": 0, "image": 0}
Ref new_indices() {
    Ref indices = new_dict();
    Ref zero = require(PyLong_FromLong(0));
    setitem(indices.get(), names.text, zero.get());
    setitem(indices.get(), names.image, zero.get());
    return indices;
}

// What the ring keeps for an embedding: its tolist() where it has one (any
// error from the presence test counts as absent), else the object itself.
Ref stored_entry(PyObject* embedding) {
    // The lookup reports a plain absence without raising, which keeps the
    // common case (a list) from building an AttributeError per add.
    Ref probe;
    try {
        probe = lookup_attr(embedding, names.tolist);
    } catch (PyErrSet&) {
        PyErr_Clear();
    }
    if (!probe) return Ref::borrow(embedding);
    probe.reset();
    return call_method(embedding, names.tolist);
}

// self.embedding_indices[vllm_model_name][modal_type] = (current_index + 1) % self.MAX_EMBEDDINGS
void advance_index(PyObject* self, PyObject* vllm_model_name, PyObject* modal_type, PyObject* current_index) {
    Ref next = require(PyNumber_Add(current_index, ICPT_INT(1)));
    Ref capacity = getattr(self, names.MAX_EMBEDDINGS);
    Ref wrapped = require(PyNumber_Remainder(next.get(), capacity.get()));
    Ref indices = getattr(self, names.embedding_indices);
    Ref model_indices = getitem(indices.get(), vllm_model_name);
    setitem(model_indices.get(), modal_type, wrapped.get());
}

Ref ring_length(PyObject* rings, PyObject* modality) {
    Ref ring = getitem(rings, modality);
    Ref live = getitem(ring.get(), names.live);
    return require(PyLong_FromSsize_t(length(live.get())));
}

void store_locked(PyObject* self, PyObject* vllm_model_name, PyObject* modal_type, PyObject* embedding) {
    {
        Ref live_embeddings = getattr(self, names.live_embeddings);
        if (!contains(live_embeddings.get(), vllm_model_name))
            setitem(live_embeddings.get(), vllm_model_name, new_rings().get());
    }
    {
        Ref indices = getattr(self, names.embedding_indices);
        if (!contains(indices.get(), vllm_model_name))
            setitem(indices.get(), vllm_model_name, new_indices().get());
    }
    Ref embeddings_list;
    {
        Ref live_embeddings = getattr(self, names.live_embeddings);
        Ref rings = getitem(live_embeddings.get(), vllm_model_name);
        Ref ring = getitem(rings.get(), modal_type);
        embeddings_list = getitem(ring.get(), names.live);
    }
    Ref current_index;
    {
        Ref indices = getattr(self, names.embedding_indices);
        Ref model_indices = getitem(indices.get(), vllm_model_name);
        current_index = getitem(model_indices.get(), modal_type);
    }

    Ref count = require(PyLong_FromSsize_t(length(embeddings_list.get())));
    Ref capacity = getattr(self, names.MAX_EMBEDDINGS);
    int filling = PyObject_RichCompareBool(count.get(), capacity.get(), Py_LT);
    check(filling);
    if (filling) {
        Ref entry = stored_entry(embedding);
        if (PyList_CheckExact(embeddings_list.get()))
            check(PyList_Append(embeddings_list.get(), entry.get()));
        else
            call_method(embeddings_list.get(), names.append, entry.get());
        advance_index(self, vllm_model_name, modal_type, current_index.get());
    } else {
        Ref entry = stored_entry(embedding);
        setitem(embeddings_list.get(), current_index.get(), entry.get());
        advance_index(self, vllm_model_name, modal_type, current_index.get());
        Ref modality_text = shown(modal_type);
        Ref index_text = shown(current_index.get());
        Ref model_text = shown(vllm_model_name);
        console(join({ICPT_LIT("[yellow]Round-robin replacement for "), modality_text.get(),
                      ICPT_LIT(" embedding at index "), index_text.get(), ICPT_LIT(" for model "), model_text.get(),
                      ICPT_LIT(".[/yellow]")})
                    .get());
    }

    Ref live_embeddings = getattr(self, names.live_embeddings);
    Ref rings = getitem(live_embeddings.get(), vllm_model_name);
    Ref text_count = ring_length(rings.get(), names.text);
    live_embeddings = getattr(self, names.live_embeddings);
    rings = getitem(live_embeddings.get(), vllm_model_name);
    Ref image_count = ring_length(rings.get(), names.image);

    Ref model_text = shown(vllm_model_name);
    Ref text_count_text = shown(text_count.get());
    Ref image_count_text = shown(image_count.get());
    console(join({ICPT_LIT("[green]Model: "), model_text.get(), ICPT_LIT(" | Text: "), text_count_text.get(),
                  ICPT_LIT(" embeddings | Image: "), image_count_text.get(), ICPT_LIT(" embeddings[/green]")})
                .get());
}

}  // namespace

void handler_add_embedding(PyObject* const* args) {
    PyObject* self = args[0];
    Ref lock = getattr(self, names.embedding_lock);
    with(lock.get(), [&](PyObject*) { store_locked(self, args[1], args[2], args[3]); });
}

}  // namespace interceptor
