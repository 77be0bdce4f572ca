#include "binder.hpp"

namespace qv {

namespace {

constexpr const char* subclass_note = "Subclasses of built-in types are refused.";

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

// The short refusal (numbers) or the long one, with the note for a subclass
// of the expected built-in type.
[[noreturn]] void refuse(const Param& p, PyObject* value, bool long_form) {
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

[[noreturn]] void count_error(const char* name, std::size_t positional, Py_ssize_t given) {
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", name, "exactly",
                 static_cast<Py_ssize_t>(positional), positional == 1 ? "" : "s", given);
    raise();
}

// Integer and optional-float parameters, in declaration order.
void convert_numbers(std::span<const Param> params, PyObject** slots, Ref* converted) {
    for (std::size_t i = 0; i < params.size(); ++i) {
        const Param& p = params[i];
        PyObject* v = slots[i];
        if (p.check == Check::Int) {
            if (PyLong_CheckExact(v)) continue;
            if (!PyNumber_Check(v)) refuse(p, v, false);
            converted[i] = Ref::steal(PyNumber_Long(v));
            slots[i] = converted[i].get();
        } else if (p.check == Check::OptFloat) {
            if (v == Py_None || PyFloat_CheckExact(v)) continue;
            if (!PyNumber_Check(v)) refuse(p, v, false);
            converted[i] = Ref::steal(PyNumber_Float(v));
            slots[i] = converted[i].get();
        }
    }
}

// Exact-type tests of text, optional-text and list parameters, in order.
void test_types(std::span<const Param> params, PyObject* const* slots) {
    for (std::size_t i = 0; i < params.size(); ++i) {
        const Param& p = params[i];
        PyObject* v = slots[i];
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
}

}  // namespace

void bind(const Signature& sig, const char* name, PyObject* const* names, PyObject* const* defaults,
          PyObject* const* args, size_t nargsf, PyObject* kwnames, BoundCall& out) {
    const std::span<const Param> params = sig.params;
    const std::size_t nparams = params.size();
    PyObject** slots = out.slots;
    std::size_t npositional = 0;
    while (npositional < nparams && params[npositional].pass == Pass::PositionalOrKeyword) ++npositional;

    // 1. Too many positional arguments.
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (static_cast<std::size_t>(nargs) > npositional) count_error(name, npositional, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = args[i];

    // 2. Keywords, in call order.
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", name);
            raise();
        }
        std::size_t j = 0;
        for (; j < nparams; ++j) {
            PyObject* pname = names[j];
            if (pname == key || PyUnicode_Compare(pname, key) == 0) break;
        }
        if (j == nparams) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", name, key);
            raise();
        }
        if (slots[j]) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", name, key);
            raise();
        }
        slots[j] = args[nargs + k];
    }

    // 3. and 4. Required parameters still empty.
    for (std::size_t i = 0; i < npositional; ++i) {
        if (!slots[i]) count_error(name, npositional, static_cast<Py_ssize_t>(i));
    }
    for (std::size_t i = npositional; i < nparams; ++i) {
        if (!slots[i] && !defaults[i]) {
            PyErr_Format(PyExc_TypeError, "%s() needs keyword-only argument %U", name, names[i]);
            raise();
        }
    }
    // 5. Defaults.
    for (std::size_t i = 0; i < nparams; ++i) {
        if (!slots[i]) slots[i] = defaults[i];
    }
    // 6. and 7. Numbers first, then the exact types.
    convert_numbers(params, slots, out.converted);
    test_types(params, slots);
}

}  // namespace qv
