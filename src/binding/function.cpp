#include "function.hpp"

#include <string>

#include <structmember.h>

#include "binder.hpp"
#include "entry.hpp"
#include "lookup.hpp"

namespace qv {

namespace {

Name n_inspect("inspect");
Name n_Parameter("Parameter");
Name n_Signature("Signature");
Name n_POSITIONAL_OR_KEYWORD("POSITIONAL_OR_KEYWORD");
Name n_KEYWORD_ONLY("KEYWORD_ONLY");
Name n_empty("empty");
Name n_default("default");
Name n_annotation("annotation");
Name n_return_annotation("return_annotation");
Name n_return("return");

// The parameter names, defaults, name and qualified name are fixed at
// creation and can hold no reference back to the function, so the collector
// never clears them; `module`, `doc` and `dict` may (a caller can store
// anything there) and are read only through checks for null.
struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const Signature* sig;
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* kwdefaults;   // dict or None
    PyObject* annotations;  // dict
    PyObject* dict;
    PyObject* param_names[max_params];
    PyObject* defaults[max_params];  // null where the parameter is required
};

PyTypeObject* function_type = nullptr;

FunctionObject* as_function(PyObject* self) { return reinterpret_cast<FunctionObject*>(self); }

const char* display_name(FunctionObject* f) {
    const char* s = PyUnicode_AsUTF8(f->name);
    if (!s) {
        PyErr_Clear();
        s = f->sig->name;
    }
    return s;
}

Ref invoke(FunctionObject* f, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    BoundCall call;
    bind(*f->sig, display_name(f), f->param_names, f->defaults, args, nargsf, kwnames, call);
    return f->sig->impl(call.slots);
}

// Every call of every callable comes through here: runaway recursion is a
// RecursionError, and nothing thrown in C++ gets past `guarded`.
PyObject* trampoline(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    if (Py_EnterRecursiveCall(" while calling a Python object")) return nullptr;
    PyObject* result =
        guarded<PyObject*>(nullptr, [&] { return invoke(as_function(self), args, nargsf, kwnames).release(); });
    Py_LeaveRecursiveCall();
    return result;
}

// ---- the type ----------------------------------------------------------

PyObject* descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

int traverse(PyObject* self, visitproc visit, void* arg) {
    FunctionObject* f = as_function(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->module);
    Py_VISIT(f->doc);
    Py_VISIT(f->dict);
    return 0;
}

int clear(PyObject* self) {
    FunctionObject* f = as_function(self);
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->dict);
    return 0;
}

void dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    FunctionObject* f = as_function(self);
    clear(self);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->kwdefaults);
    Py_CLEAR(f->annotations);
    for (PyObject*& d : f->defaults) Py_CLEAR(d);
    for (PyObject*& n : f->param_names) Py_CLEAR(n);
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyObject* repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %S at %p>", as_function(self)->qualname, self);
}

// A field the collector may have cleared reads as None.
template <PyObject* FunctionObject::*Field>
PyObject* get_field(PyObject* self, void*) {
    PyObject* v = as_function(self)->*Field;
    return Py_NewRef(v ? v : Py_None);
}

template <PyObject* FunctionObject::*Field>
int set_text_field(PyObject* self, PyObject* value, void*) {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "attribute value must be a string");
        return -1;
    }
    Py_XSETREF(as_function(self)->*Field, Py_NewRef(value));
    return 0;
}

template <PyObject* FunctionObject::*Field>
int set_any_field(PyObject* self, PyObject* value, void*) {
    Py_XSETREF(as_function(self)->*Field, Py_NewRef(value ? value : Py_None));
    return 0;
}

PyObject* get_defaults(PyObject*, void*) { Py_RETURN_NONE; }

PyObject* get_kwdefaults(PyObject* self, void*) {
    PyObject* d = as_function(self)->kwdefaults;
    if (d == Py_None) Py_RETURN_NONE;
    return PyDict_Copy(d);
}

PyObject* get_annotations(PyObject* self, void*) { return PyDict_Copy(as_function(self)->annotations); }

Ref build_signature(FunctionObject* f) {
    Ref inspect = Ref::steal(PyImport_Import(n_inspect.get()));
    Ref parameter = getattr(inspect, n_Parameter);
    Ref empty = getattr(parameter, n_empty);
    Ref positional = getattr(parameter, n_POSITIONAL_OR_KEYWORD);
    Ref keyword_only = getattr(parameter, n_KEYWORD_ONLY);
    Ref kwnames = tuple_of({n_default, n_annotation});
    const Signature& sig = *f->sig;
    Ref params = new_list();
    for (std::size_t i = 0; i < sig.params.size(); ++i) {
        const Param& p = sig.params[i];
        Ref annotation = p.annotation ? str(p.annotation) : empty;
        Borrowed def = f->defaults[i] ? Borrowed(f->defaults[i]) : Borrowed(empty);
        Borrowed kind = p.pass == Pass::KeywordOnly ? keyword_only : positional;
        list_append(params, call_kw(parameter, {f->param_names[i], kind, def, annotation}, kwnames));
    }
    Ref signature_type = getattr(inspect, n_Signature);
    return call_kw(signature_type, {params, str(sig.returns)}, tuple_of({n_return_annotation}));
}

PyObject* get_signature(PyObject* self, void*) {
    return guarded<PyObject*>(nullptr, [&] { return build_signature(as_function(self)).release(); });
}

PyObject* reduce(PyObject* self, PyObject*) { return Py_NewRef(as_function(self)->qualname); }

PyGetSetDef getset[] = {
    {"__name__", get_field<&FunctionObject::name>, set_text_field<&FunctionObject::name>, nullptr, nullptr},
    {"__qualname__", get_field<&FunctionObject::qualname>, set_text_field<&FunctionObject::qualname>, nullptr,
     nullptr},
    {"__module__", get_field<&FunctionObject::module>, set_any_field<&FunctionObject::module>, nullptr, nullptr},
    {"__doc__", get_field<&FunctionObject::doc>, set_any_field<&FunctionObject::doc>, nullptr, nullptr},
    {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, nullptr, nullptr, nullptr},
    {"__annotations__", get_annotations, nullptr, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef members[] = {
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(FunctionObject, vectorcall), READONLY, nullptr},
    {"__dictoffset__", T_PYSSIZET, offsetof(FunctionObject, dict), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyMethodDef methods[] = {
    {"__reduce__", reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(clear)},
    {Py_tp_repr, reinterpret_cast<void*>(repr)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(descr_get)},
    {Py_tp_getset, getset},
    {Py_tp_members, members},
    {Py_tp_methods, methods},
    {0, nullptr},
};

// ---- creation ----------------------------------------------------------

const char* check_prefix(Check c) {
    switch (c) {
        case Check::Text:
        case Check::OptText: return "str ";
        case Check::List: return "list ";
        case Check::Int: return "int ";
        case Check::OptFloat: return "float ";
        case Check::Any: break;
    }
    return "";
}

std::string render_default(const Default& d) {
    switch (d.kind) {
        case Default::None: return "None";
        case Default::Text: return std::string("'") + d.text + "'";
        case Default::Int: return std::to_string(d.number);
        case Default::Attribute: return d.text;
        case Default::Required: break;
    }
    return "";
}

std::string qualified(const Signature& sig) {
    return sig.owner ? std::string(sig.owner) + "." + sig.name : std::string(sig.name);
}

// The docstring's first line: checked parameters carry their type first.
std::string signature_line(const Signature& sig) {
    std::string line = qualified(sig) + "(";
    bool star = false;
    for (std::size_t i = 0; i < sig.params.size(); ++i) {
        const Param& p = sig.params[i];
        if (i) line += ", ";
        if (p.pass == Pass::KeywordOnly && !star) {
            line += "*, ";
            star = true;
        }
        line += check_prefix(p.check);
        line += p.name;
        if (p.annotation) line += std::string(": ") + p.annotation;
        if (p.def.kind != Default::Required) line += " = " + render_default(p.def);
    }
    return line + ") -> " + sig.returns;
}

Ref resolve_default(const Default& d) {
    switch (d.kind) {
        case Default::None: return Ref::none();
        case Default::Text: return str(d.text);
        case Default::Int: return integer(d.number);
        case Default::Attribute: return lookup::import_value(d.text);
        case Default::Required: break;
    }
    return Ref();
}

}  // namespace

void ready_function_type(const char* type_name) {
    if (function_type) return;
    static PyType_Spec type_desc = {
        nullptr,
        sizeof(FunctionObject),
        0,
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR |
            Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
        slots,
    };
    type_desc.name = type_name;
    function_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&type_desc));
    if (!function_type) raise();
}

Ref make_function(const Signature& sig, const char* module_name) {
    if (sig.params.size() > max_params) {
        PyErr_Format(PyExc_SystemError, "%s declares too many parameters", sig.name);
        raise();
    }
    Ref name = Ref::steal(PyUnicode_InternFromString(sig.name));
    Ref qualname = str(qualified(sig).c_str());
    std::string doc_text = signature_line(sig);
    if (sig.doc && *sig.doc) doc_text += std::string("\n\n") + sig.doc;
    Ref doc = str(doc_text.c_str());
    Ref module = str(module_name);
    Ref annotations = new_dict();
    Ref kwdefaults = new_dict();
    Ref defaults[max_params];
    Ref param_names[max_params];
    for (std::size_t i = 0; i < sig.params.size(); ++i) {
        const Param& p = sig.params[i];
        param_names[i] = Ref::steal(PyUnicode_InternFromString(p.name));
        if (p.annotation) dict_set(annotations, param_names[i], str(p.annotation));
        if (p.def.kind != Default::Required) {
            defaults[i] = resolve_default(p.def);
            if (p.pass == Pass::KeywordOnly) dict_set(kwdefaults, param_names[i], defaults[i]);
        }
    }
    dict_set(annotations, n_return, str(sig.returns));
    if (PyDict_GET_SIZE(kwdefaults.get()) == 0) kwdefaults = Ref::none();

    FunctionObject* f = PyObject_GC_New(FunctionObject, function_type);
    if (!f) raise();
    f->vectorcall = trampoline;
    f->sig = &sig;
    f->name = name.release();
    f->qualname = qualname.release();
    f->module = module.release();
    f->doc = doc.release();
    f->kwdefaults = kwdefaults.release();
    f->annotations = annotations.release();
    f->dict = nullptr;
    for (std::size_t i = 0; i < max_params; ++i) {
        f->param_names[i] = param_names[i].release();
        f->defaults[i] = defaults[i].release();
    }
    PyObject_GC_Track(reinterpret_cast<PyObject*>(f));
    return Ref::steal(reinterpret_cast<PyObject*>(f));
}

}  // namespace qv
