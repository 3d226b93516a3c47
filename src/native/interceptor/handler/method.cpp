// The method object type and the argument rules shared by every method.
//
// The handler's methods are function objects of our own type: they carry the
// usual function metadata, bind to an instance like Python functions do, and
// are called through vectorcall. Argument errors are raised here, before the
// method body (and so before any of its guards) runs.
#include "handler/method.hpp"

#include "core/error.hpp"
#include "core/object.hpp"
#include "core/ref.hpp"

#include <structmember.h>

#include <cassert>

namespace interceptor {

namespace {

struct MethodObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const MethodSpec* spec;
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* globals;
    PyObject* annotations;
    PyObject* dict;
    PyObject* weakreflist;
};

MethodObject* as_method(PyObject* o) { return reinterpret_cast<MethodObject*>(o); }

// "%.200s() takes exactly N positional argument(s) (M given)"
void raise_count(const MethodSpec* spec, Py_ssize_t given) {
    Py_ssize_t n = spec->nparams;
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", spec->name,
                 "exactly", n, n == 1 ? "" : "s", given);
}

// Index of the parameter that `key` names, or -1.
int param_index(const MethodSpec* spec, PyObject* key) {
    for (int i = 0; i < spec->nparams; ++i) {
        if (PyUnicode_CompareWithASCIIString(key, spec->params[i]) == 0) return i;
    }
    return -1;
}

// Fills out[0..nparams) from a vectorcall. Returns false with the error set.
bool parse_args(const MethodSpec* spec, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                PyObject** out) {
    const Py_ssize_t n = spec->nparams;
    if (nargs > n) {
        raise_count(spec, nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
    if (!kwnames) {
        if (nargs < n) {
            raise_count(spec, nargs);
            return false;
        }
        return true;
    }
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    PyObject* const* kwvalues = args + nargs;
    // Parameters not given by position are taken from the keywords, in
    // parameter order; the first one missing decides the count error.
    Py_ssize_t used = 0;
    for (Py_ssize_t i = nargs; i < n; ++i) {
        PyObject* found = nullptr;
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, k);
            if (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, spec->params[i]) == 0) {
                found = kwvalues[k];
                break;
            }
        }
        if (!found) {
            raise_count(spec, i);
            return false;
        }
        out[i] = found;
        ++used;
    }
    if (used == nkw) return true;
    // Leftover keywords: name the first offending one.
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", spec->name);
            return false;
        }
        int idx = param_index(spec, key);
        if (idx < 0) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", spec->name, key);
            return false;
        }
        if (idx < nargs) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", spec->name, key);
            return false;
        }
    }
    // Only reachable with a keyword given twice (possible from C callers).
    PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument", spec->name);
    return false;
}

PyObject* method_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    const MethodSpec* spec = as_method(self)->spec;
    PyObject* values[4] = {nullptr, nullptr, nullptr, nullptr};
    assert(spec->nparams >= 1 && spec->nparams <= 4);
    if (!parse_args(spec, args, PyVectorcall_NARGS(nargsf), kwnames, values)) return nullptr;
    if (spec->exact_dict_param >= 0) {
        PyObject* v = values[spec->exact_dict_param];
        if (!PyDict_CheckExact(v)) {
            PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                         spec->params[spec->exact_dict_param], "dict", Py_TYPE(v)->tp_name);
            return nullptr;
        }
    }
    try {
        spec->body(values);
    }
    ICPT_CATCH_ALL {
        set_error_from_current();
        return nullptr;
    }
    Py_RETURN_NONE;
}

// tp_call: keyword dicts are parsed by our own rules (a non-string key is
// reported with the method's name), so this does not go through
// PyVectorcall_Call, which would refuse such keys on its own.
PyObject* method_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    const Py_ssize_t nkw = kwargs ? PyDict_GET_SIZE(kwargs) : 0;
    if (nkw == 0) return method_vectorcall(self, &PyTuple_GET_ITEM(args, 0), static_cast<size_t>(nargs), nullptr);
    // Both tuples own their items, so the call sees stable arguments even if
    // the caller's dict changes meanwhile.
    Ref stack = Ref::steal(PyTuple_New(nargs + nkw));
    Ref kwnames = Ref::steal(PyTuple_New(nkw));
    if (!stack || !kwnames) return nullptr;
    for (Py_ssize_t i = 0; i < nargs; ++i) PyTuple_SET_ITEM(stack.get(), i, Py_NewRef(PyTuple_GET_ITEM(args, i)));
    Py_ssize_t pos = 0, i = 0;
    PyObject *key, *value;
    while (i < nkw && PyDict_Next(kwargs, &pos, &key, &value)) {
        PyTuple_SET_ITEM(kwnames.get(), i, Py_NewRef(key));
        PyTuple_SET_ITEM(stack.get(), nargs + i, Py_NewRef(value));
        ++i;
    }
    return method_vectorcall(self, &PyTuple_GET_ITEM(stack.get(), 0), static_cast<size_t>(nargs), kwnames.get());
}

// --- type slots --------------------------------------------------------------

int method_traverse(PyObject* self, visitproc visit, void* arg) {
    MethodObject* m = as_method(self);
    Py_VISIT(m->name);
    Py_VISIT(m->qualname);
    Py_VISIT(m->module);
    Py_VISIT(m->doc);
    Py_VISIT(m->globals);
    Py_VISIT(m->annotations);
    Py_VISIT(m->dict);
    return 0;
}

int method_clear(PyObject* self) {
    MethodObject* m = as_method(self);
    Py_CLEAR(m->name);
    Py_CLEAR(m->qualname);
    Py_CLEAR(m->module);
    Py_CLEAR(m->doc);
    Py_CLEAR(m->globals);
    Py_CLEAR(m->annotations);
    Py_CLEAR(m->dict);
    return 0;
}

void method_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    if (as_method(self)->weakreflist) PyObject_ClearWeakRefs(self);
    method_clear(self);
    PyObject_GC_Del(self);
}

PyObject* method_repr(PyObject* self) {
    return PyUnicode_FromFormat("<interceptor_function %U at %p>", as_method(self)->qualname, self);
}

// Bound to an instance like a Python function; the function itself from the class.
PyObject* method_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

// --- attributes --------------------------------------------------------------

PyObject* get_name(PyObject* self, void*) { return Py_NewRef(as_method(self)->name); }
int set_name(PyObject* self, PyObject* value, void*) {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__name__ must be set to a string object");
        return -1;
    }
    Py_XSETREF(as_method(self)->name, Py_NewRef(value));
    return 0;
}

PyObject* get_qualname(PyObject* self, void*) { return Py_NewRef(as_method(self)->qualname); }
int set_qualname(PyObject* self, PyObject* value, void*) {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__qualname__ must be set to a string object");
        return -1;
    }
    Py_XSETREF(as_method(self)->qualname, Py_NewRef(value));
    return 0;
}

PyObject* get_doc(PyObject* self, void*) {
    PyObject* d = as_method(self)->doc;
    return Py_NewRef(d ? d : Py_None);
}
int set_doc(PyObject* self, PyObject* value, void*) {
    Py_XSETREF(as_method(self)->doc, Py_NewRef(value ? value : Py_None));
    return 0;
}

PyObject* get_annotations(PyObject* self, void*) {
    MethodObject* m = as_method(self);
    if (!m->annotations) {
        m->annotations = PyDict_New();
        if (!m->annotations) return nullptr;
    }
    return Py_NewRef(m->annotations);
}
int set_annotations(PyObject* self, PyObject* value, void*) {
    if (value == nullptr || value == Py_None) {
        Py_CLEAR(as_method(self)->annotations);
        return 0;
    }
    if (!PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    Py_XSETREF(as_method(self)->annotations, Py_NewRef(value));
    return 0;
}

PyGetSetDef method_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef method_members[] = {
    {"__module__", T_OBJECT, offsetof(MethodObject, module), 0, nullptr},
    {"__globals__", T_OBJECT, offsetof(MethodObject, globals), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyTypeObject MethodType = [] {
    PyTypeObject t{};
    Py_SET_REFCNT(reinterpret_cast<PyObject*>(&t), 1);
    t.tp_name = "interceptor_function";
    t.tp_basicsize = sizeof(MethodObject);
    t.tp_dealloc = method_dealloc;
    t.tp_vectorcall_offset = offsetof(MethodObject, vectorcall);
    t.tp_repr = method_repr;
    t.tp_call = method_call;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR;
    t.tp_traverse = method_traverse;
    t.tp_clear = method_clear;
    t.tp_weaklistoffset = offsetof(MethodObject, weakreflist);
    t.tp_members = method_members;
    t.tp_getset = method_getset;
    t.tp_descr_get = method_descr_get;
    t.tp_dictoffset = offsetof(MethodObject, dict);
    return t;
}();

}  // namespace

Ref new_method(const MethodSpec* spec, PyObject* module_name, PyObject* globals) {
    if (!(MethodType.tp_flags & Py_TPFLAGS_READY)) check(PyType_Ready(&MethodType));
    Ref name = require(PyUnicode_FromString(spec->name));
    Ref qualname = require(PyUnicode_FromFormat("ShiftDetectionRequestHandler.%s", spec->name));
    Ref doc = require(PyUnicode_FromString(spec->doc));
    Ref annotations = new_dict();
    if (spec->annotated_param) {
        Ref value = require(PyUnicode_FromString(spec->annotation));
        check(PyDict_SetItemString(annotations.get(), spec->annotated_param, value.get()));
    }
    MethodObject* m = PyObject_GC_New(MethodObject, &MethodType);
    if (!m) throw PyErrSet{};
    m->vectorcall = method_vectorcall;
    m->spec = spec;
    m->name = name.release();
    m->qualname = qualname.release();
    m->module = Py_NewRef(module_name);
    m->doc = doc.release();
    m->globals = Py_NewRef(globals);
    m->annotations = annotations.release();
    m->dict = nullptr;
    m->weakreflist = nullptr;
    PyObject_GC_Track(reinterpret_cast<PyObject*>(m));
    return Ref::steal(reinterpret_cast<PyObject*>(m));
}

}  // namespace interceptor
