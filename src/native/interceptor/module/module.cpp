// Module loading and registration: the entry point, the create and exec slots,
// the module-level imports, the handler class's singleton.
#include "core/error.hpp"
#include "core/guard.hpp"
#include "core/names.hpp"
#include "core/object.hpp"
#include "core/process.hpp"
#include "core/ref.hpp"
#include "handler/class.hpp"
#include "module/exit_hook.hpp"

#include <initializer_list>

namespace interceptor {

namespace {

constexpr const char* kFullName = "olvane_sdk.fast.deployment.ood.interceptor";

// --- module-level imports -------------------------------------------------------

// import <module> [as <bind>]
void import_module(PyObject* globals, const char* module, const char* bind) {
    Ref name = require(PyUnicode_FromString(module));
    Ref mod = require(PyImport_ImportModuleLevelObject(name.get(), globals, globals, nullptr, 0));
    check(PyDict_SetItemString(globals, bind, mod.get()));
}

// from <module> import <names...>
void import_from(PyObject* globals, const char* module, std::initializer_list<const char*> what) {
    Ref name = require(PyUnicode_FromString(module));
    Ref fromlist = require(PyTuple_New(static_cast<Py_ssize_t>(what.size())));
    Py_ssize_t i = 0;
    for (const char* w : what) {
        PyObject* s = PyUnicode_InternFromString(w);
        if (!s) throw PyErrSet{};
        PyTuple_SET_ITEM(fromlist.get(), i++, s);
    }
    Ref mod = require(PyImport_ImportModuleLevelObject(name.get(), globals, globals, fromlist.get(), 0));
    for (i = 0; i < PyTuple_GET_SIZE(fromlist.get()); ++i) {
        PyObject* attr_name = PyTuple_GET_ITEM(fromlist.get(), i);
        Ref value = lookup_attr(mod.get(), attr_name);
        if (!value) {
            PyErr_Format(PyExc_ImportError, "cannot import name %S", attr_name);
            throw PyErrSet{};
        }
        check(PyDict_SetItem(globals, attr_name, value.get()));
    }
}

void run_module_body(PyObject* globals) {
    import_module(globals, "os", "os");
    import_module(globals, "json", "json");
    import_module(globals, "base64", "base64");
    import_module(globals, "threading", "threading");
    import_module(globals, "traceback", "traceback");
    import_from(globals, "queue", {"Queue", "Full", "Empty"});
    import_from(globals, "io", {"BytesIO"});
    import_module(globals, "numpy", "np");
    import_from(globals, "sklearn.ensemble", {"IsolationForest"});
    import_from(globals, "rich.progress", {"Progress"});
    import_from(globals, "rich", {"print"});
    import_from(globals, "sentence_transformers", {"SentenceTransformer"});
    import_from(globals, "PIL", {"Image"});
    import_from(globals, "vllm.entrypoints.openai.protocol", {"ChatCompletionRequest"});

    define_handler_class(globals, kFullName);

    Ref cls = global(names.ShiftDetectionRequestHandler);
    Ref handler = require(PyObject_CallNoArgs(cls.get()));
    check(PyDict_SetItem(globals, names.olvane_shift_detection_handler, handler.get()));

    Ref test = new_dict();
    check(PyDict_SetItem(globals, names.__test__, test.get()));

    // Once per process, even if an earlier execution failed after it.
    static bool exit_hook_registered = false;
    if (!exit_hook_registered) {
        register_exit_hook();
        exit_hook_registered = true;
    }
}

// --- slots ----------------------------------------------------------------------

// Copies spec.<attr> into the namespace as <key>; a missing attribute is skipped.
void copy_spec_attr(PyObject* spec, PyObject* ns, PyObject* attr, PyObject* key, bool skip_none) {
    Ref value = lookup_attr(spec, attr);
    if (!value || (skip_none && value.get() == Py_None)) return;
    check(PyDict_SetItem(ns, key, value.get()));
}

PyObject* module_create(PyObject* spec, PyModuleDef*) {
    try {
        init_names();
        long long id = PyInterpreterState_GetID(PyInterpreterState_Get());
        if (state.interpreter_id == -1) {
            if (id == -1) return nullptr;
            state.interpreter_id = id;
        } else if (id != state.interpreter_id) {
            PyErr_SetString(PyExc_ImportError,
                            "Interpreter change detected - this module can only be loaded into one interpreter per "
                            "process.");
            return nullptr;
        }
        if (state.module) return Py_NewRef(state.module.get());

        Ref name = getattr(spec, names.name);
        Ref module = require(PyModule_NewObject(name.get()));
        PyObject* ns = PyModule_GetDict(module.get());
        if (!ns) return nullptr;
        copy_spec_attr(spec, ns, names.loader, names.__loader__, false);
        copy_spec_attr(spec, ns, names.origin, names.__file__, false);
        copy_spec_attr(spec, ns, names.parent, names.__package__, false);
        copy_spec_attr(spec, ns, names.submodule_search_locations, names.__path__, true);
        return module.release();
    }
    ICPT_CATCH_ALL {
        set_error_from_current();
        return nullptr;
    }
}

// The module carries its own copy of the unwinder (libgcc is linked in
// statically). That copy sizes the machine registers lazily, on its first
// throw; a thread's forced unwind at interpreter exit arrives through the
// system unwinder and would meet our personality routine with the table still
// empty. One throw at load fills it.
void prime_unwinder() {
    try {
        throw PyErrSet{};
    } catch (PyErrSet&) {
    }
}

int module_exec(PyObject* module) {
    if (state.module) {
        if (state.module.get() == module) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'interceptor' has already been imported. Re-initialisation is not supported.");
        return -1;
    }
    bool entered_in_modules = false;
    try {
        prime_unwinder();
        init_names();
        PyObject* ns = PyModule_GetDict(module);
        if (!ns) return -1;
        Ref builtins_module = require(PyImport_ImportModule("builtins"));
        state.module = Ref::borrow(module);
        state.globals = Ref::borrow(ns);
        if (!state.builtins) state.builtins = Ref::borrow(PyModule_GetDict(builtins_module.get()));
        check(PyDict_SetItem(ns, names.__builtins__, builtins_module.get()));

        const unsigned long runtime_major = (Py_Version >> 24) & 0xff;
        const unsigned long runtime_minor = (Py_Version >> 16) & 0xff;
        if (runtime_major != PY_MAJOR_VERSION || runtime_minor != PY_MINOR_VERSION) {
            check(PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                                   "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                                   PY_MAJOR_VERSION, PY_MINOR_VERSION, kFullName, "does not match",
                                   static_cast<int>(runtime_major), static_cast<int>(runtime_minor)));
        }

        PyObject* modules = PyImport_GetModuleDict();
        Ref full_name = require(PyUnicode_FromString(kFullName));
        if (!contains(modules, full_name.get())) {
            setitem(modules, full_name.get(), module);
            entered_in_modules = true;
        }

        run_module_body(ns);
        return 0;
    }
    ICPT_CATCH_ALL {
        set_error_from_current();
    }
    // Give the module object up: a later import starts over at creation.
    if (entered_in_modules) {
        Caught pending;
        PyObject* modules = PyImport_GetModuleDict();
        if (Ref key = Ref::steal(PyUnicode_FromString(kFullName))) {
            PyObject* current = PyDict_GetItemWithError(modules, key.get());
            if (current == module && PyDict_DelItem(modules, key.get()) < 0) PyErr_Clear();
        }
        PyErr_Clear();
        pending.restore();
    }
    state.module.reset();
    state.globals.reset();
    return -1;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "interceptor",  // m_name
    nullptr,        // m_doc
    0,              // m_size: all state is process-wide
    nullptr,        // m_methods
    module_slots,   // m_slots
    nullptr,        // m_traverse
    nullptr,        // m_clear
    nullptr,        // m_free
};

}  // namespace

}  // namespace interceptor

PyMODINIT_FUNC PyInit_interceptor(void) { return PyModuleDef_Init(&interceptor::module_def); }
