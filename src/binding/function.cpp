#include "function.hpp"

#include <new>
#include <string>

#include <structmember.h>

#include "namespace.hpp"

namespace qv {

namespace {

constexpr const char* module_name = "quorvane.collsweep";
constexpr const char* subclass_note = "Subclasses of built-in types are refused.";

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

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const Callable* spec;
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

// ---- argument binding --------------------------------------------------

const char* type_word(Check c) {
    switch (c) {
        case Check::Text:
        case Check::OptText: return "str";
        case Check::List: return "list";
        case Check::Int: return "int";
        case Check::OptFloat: return "float";
        case Check::Any: break;
    }
    return "";
}

PyTypeObject* expected_type(Check c) {
    switch (c) {
        case Check::Text:
        case Check::OptText: return &PyUnicode_Type;
        case Check::List: return &PyList_Type;
        case Check::Int: return &PyLong_Type;
        case Check::OptFloat: return &PyFloat_Type;
        case Check::Any: break;
    }
    return nullptr;
}

void refuse(const Param& p, PyObject* value, bool long_form) {
    if (!long_form) {
        PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", p.name,
                     type_word(p.check), Py_TYPE(value)->tp_name);
        raise();
    }
    bool subclass = PyObject_TypeCheck(value, expected_type(p.check));
    Ref note = str(subclass ? subclass_note : "");
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)%s%U", p.name,
                 type_word(p.check), Py_TYPE(value)->tp_name, subclass ? ". " : "", note.get());
    raise();
}

const char* display_name(FunctionObject* f) {
    const char* s = PyUnicode_Check(f->name) ? PyUnicode_AsUTF8(f->name) : nullptr;
    if (!s) {
        PyErr_Clear();
        s = f->spec->name;
    }
    return s;
}

[[noreturn]] void count_error(FunctionObject* f, std::size_t positional, Py_ssize_t given) {
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", display_name(f),
                 "exactly", static_cast<Py_ssize_t>(positional), positional == 1 ? "" : "s", given);
    raise();
}

Ref invoke(FunctionObject* f, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    const Callable& spec = *f->spec;
    const std::size_t nparams = spec.params.size();
    std::size_t npositional = 0;
    while (npositional < nparams && spec.params[npositional].pass == Pass::PositionalOrKeyword) ++npositional;

    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (static_cast<std::size_t>(nargs) > npositional) count_error(f, npositional, nargs);

    PyObject* bound[max_params] = {};
    for (Py_ssize_t i = 0; i < nargs; ++i) bound[i] = args[i];

    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", display_name(f));
            raise();
        }
        std::size_t j = 0;
        for (; j < nparams; ++j) {
            PyObject* pname = f->param_names[j];
            if (pname == key || PyUnicode_Compare(pname, key) == 0) break;
        }
        if (j == nparams) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", display_name(f), key);
            raise();
        }
        if (bound[j]) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", display_name(f), key);
            raise();
        }
        bound[j] = args[nargs + k];
    }

    for (std::size_t i = 0; i < npositional; ++i) {
        if (!bound[i]) count_error(f, npositional, static_cast<Py_ssize_t>(i));
    }
    for (std::size_t i = npositional; i < nparams; ++i) {
        if (!bound[i] && !f->defaults[i]) {
            PyErr_Format(PyExc_TypeError, "%s() needs keyword-only argument %U", display_name(f), f->param_names[i]);
            raise();
        }
    }
    for (std::size_t i = 0; i < nparams; ++i) {
        if (!bound[i]) bound[i] = f->defaults[i];
    }

    // Numbers first: conversion of integer and optional-float parameters.
    Ref converted[max_params];
    for (std::size_t i = 0; i < nparams; ++i) {
        const Param& p = spec.params[i];
        PyObject* v = bound[i];
        if (p.check == Check::Int) {
            if (PyLong_CheckExact(v)) continue;
            if (!PyNumber_Check(v)) refuse(p, v, false);
            converted[i] = Ref::steal(PyNumber_Long(v));
            bound[i] = converted[i].get();
        } else if (p.check == Check::OptFloat) {
            if (v == Py_None || PyFloat_CheckExact(v)) continue;
            if (!PyNumber_Check(v)) refuse(p, v, false);
            converted[i] = Ref::steal(PyNumber_Float(v));
            bound[i] = converted[i].get();
        }
    }
    // Then exact-type tests of text, optional-text and list parameters.
    for (std::size_t i = 0; i < nparams; ++i) {
        const Param& p = spec.params[i];
        PyObject* v = bound[i];
        switch (p.check) {
            case Check::OptText:
                if (v == Py_None) break;
                [[fallthrough]];
            case Check::Text:
                if (!PyUnicode_CheckExact(v)) refuse(p, v, true);
                break;
            case Check::List:
                if (!PyList_CheckExact(v)) refuse(p, v, true);
                break;
            default: break;
        }
    }
    return spec.impl(bound);
}

// The one place where a C++ exception turns back into a Python error return.
PyObject* trampoline(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    try {
        return invoke(as_function(self), args, nargsf, kwnames).release();
    } catch (const PyError&) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error return without exception set");
        return nullptr;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return nullptr;
    }
}

// ---- the type ----------------------------------------------------------

PyObject* descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

int traverse(PyObject* self, visitproc visit, void* arg) {
    FunctionObject* f = as_function(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->module);
    Py_VISIT(f->doc);
    Py_VISIT(f->kwdefaults);
    Py_VISIT(f->annotations);
    Py_VISIT(f->dict);
    for (PyObject* d : f->defaults) Py_VISIT(d);
    return 0;
}

int clear(PyObject* self) {
    FunctionObject* f = as_function(self);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->kwdefaults);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->dict);
    for (PyObject*& d : f->defaults) Py_CLEAR(d);
    for (PyObject*& n : f->param_names) Py_CLEAR(n);
    return 0;
}

void dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    clear(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyObject* repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %S at %p>", as_function(self)->qualname, self);
}

template <PyObject* FunctionObject::*Field>
PyObject* get_field(PyObject* self, void*) {
    return Py_NewRef(as_function(self)->*Field);
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
    Ref kwnames = Ref::steal(PyTuple_Pack(2, n_default.get(), n_annotation.get()));
    const Callable& spec = *f->spec;
    Ref params = new_list();
    for (std::size_t i = 0; i < spec.params.size(); ++i) {
        const Param& p = spec.params[i];
        Ref annotation = p.annotation ? str(p.annotation) : empty;
        Borrowed def = f->defaults[i] ? Borrowed(f->defaults[i]) : Borrowed(empty);
        Borrowed kind = p.pass == Pass::KeywordOnly ? keyword_only : positional;
        list_append(params, call_kw(parameter, {f->param_names[i], kind, def, annotation}, kwnames));
    }
    Ref signature_type = getattr(inspect, n_Signature);
    Ref ret_kw = Ref::steal(PyTuple_Pack(1, n_return_annotation.get()));
    Ref ret = str(spec.returns);
    return call_kw(signature_type, {params, ret}, ret_kw);
}

PyObject* get_signature(PyObject* self, void*) {
    try {
        return build_signature(as_function(self)).release();
    } catch (const PyError&) {
        return nullptr;
    }
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

PyType_Spec type_spec = {
    "quorvane.collsweep.function",
    sizeof(FunctionObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR |
        Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    slots,
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

std::string qualified(const Callable& spec) {
    return spec.owner ? std::string(spec.owner) + "." + spec.name : std::string(spec.name);
}

std::string signature_line(const Callable& spec) {
    std::string line = qualified(spec) + "(";
    bool first = true;
    bool star = false;
    for (const Param& p : spec.params) {
        if (!first) line += ", ";
        first = false;
        if (p.pass == Pass::KeywordOnly && !star) {
            line += "*, ";
            star = true;
        }
        line += check_prefix(p.check);
        line += p.name;
        if (p.annotation) line += std::string(": ") + p.annotation;
        if (p.def.kind != Default::Required) line += " = " + render_default(p.def);
    }
    line += ") -> ";
    line += spec.returns;
    return line;
}

Ref resolve_default(const Default& d) {
    switch (d.kind) {
        case Default::None: return Ref::none();
        case Default::Text: return str(d.text);
        case Default::Int: return Ref::steal(PyLong_FromLongLong(d.number));
        case Default::Attribute: {
            Ref name = Ref::steal(PyUnicode_InternFromString(d.text));
            PyObject* v = PyDict_GetItemWithError(PyModule_GetDict(ns::module().get()), name.get());
            if (!v) {
                if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%s' is not defined", d.text);
                raise();
            }
            return Ref::borrow(v);
        }
        case Default::Required: break;
    }
    return Ref();
}

}  // namespace

void ready_function_type() {
    if (function_type) return;
    function_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&type_spec));
    if (!function_type) raise();
}

Ref make_function(const Callable& spec) {
    if (spec.params.size() > max_params) {
        PyErr_Format(PyExc_SystemError, "%s declares too many parameters", spec.name);
        raise();
    }
    Ref name = Ref::steal(PyUnicode_InternFromString(spec.name));
    Ref qualname = str(qualified(spec).c_str());
    std::string doc_text = signature_line(spec);
    if (spec.doc && *spec.doc) doc_text += std::string("\n\n") + spec.doc;
    Ref doc = str(doc_text.c_str());
    Ref module = str(module_name);
    Ref annotations = new_dict();
    Ref kwdefaults = new_dict();
    Ref defaults[max_params];
    Ref param_names[max_params];
    for (std::size_t i = 0; i < spec.params.size(); ++i) {
        const Param& p = spec.params[i];
        param_names[i] = Ref::steal(PyUnicode_InternFromString(p.name));
        if (p.annotation) dict_set(annotations, param_names[i], str(p.annotation));
        if (p.def.kind != Default::Required) {
            defaults[i] = resolve_default(p.def);
            if (p.pass == Pass::KeywordOnly) dict_set(kwdefaults, param_names[i], defaults[i]);
        }
    }
    dict_set(annotations, n_return, str(spec.returns));
    if (PyDict_GET_SIZE(kwdefaults.get()) == 0) kwdefaults = Ref::none();

    FunctionObject* f = PyObject_GC_New(FunctionObject, function_type);
    if (!f) raise();
    f->vectorcall = trampoline;
    f->spec = &spec;
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
