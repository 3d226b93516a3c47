// The interned names, and the literals and ints made on first use.
#include "core/names.hpp"

#include <initializer_list>
#include <utility>

namespace interceptor {

Names names;

Immortal make_literal(const char* text) { return Immortal::keep(require(PyUnicode_InternFromString(text))); }
Immortal make_int(long value) { return Immortal::keep(require(PyLong_FromLong(value))); }

namespace {

bool ready = false;

Immortal intern(const char* s) { return make_literal(s); }

Immortal names_tuple(std::initializer_list<PyObject*> items) {
    Ref t = require(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    Py_ssize_t i = 0;
    for (PyObject* o : items) PyTuple_SET_ITEM(t.get(), i++, Py_NewRef(o));
    return Immortal::keep(std::move(t));
}

}  // namespace

bool names_ready() noexcept { return ready; }

void init_names() {
    if (ready) return;
#define INTERCEPTOR_MAKE(n) \
    if (!names.n) names.n = intern(#n);
    INTERCEPTOR_IDENTIFIERS(INTERCEPTOR_MAKE)
#undef INTERCEPTOR_MAKE
    // Names that are not valid C++ identifiers, and keyword-name tuples. A slot
    // made by an earlier, failed call is kept as it is.
    auto once = [](Immortal& slot, auto make) {
        if (!slot) slot = make();
    };
    once(names.empty, [] { return intern(""); });
    once(names.query_prefix, [] { return intern("query: "); });
    once(names.none_text, [] { return intern("None"); });
    once(names.data_image, [] { return intern("data:image"); });
    once(names.comma, [] { return intern(","); });
    once(names.npz_name, [] { return intern("embeddings.npz"); });
    once(names.config_name, [] { return intern("test_config.json"); });
    once(names.kw_timeout, [] { return names_tuple({names.timeout}); });
    once(names.kw_maxsize, [] { return names_tuple({names.maxsize}); });
    once(names.kw_target_daemon, [] { return names_tuple({names.target, names.daemon}); });
    once(names.kw_backend, [] { return names_tuple({names.backend}); });
    once(names.kw_total, [] { return names_tuple({names.total}); });
    once(names.kw_advance, [] { return names_tuple({names.advance}); });
    ready = true;
}

}  // namespace interceptor
