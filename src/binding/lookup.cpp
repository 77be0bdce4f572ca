#include "lookup.hpp"

namespace qv::lookup {

namespace {

PyObject* the_module = nullptr;

// A new reference to the value under `name` in `dict`; null when absent
// (no error set) or when the look-up failed (error set).
Ref find_in(PyObject* dict, PyObject* name) { return Ref::borrow(PyDict_GetItemWithError(dict, name)); }

}  // namespace

Borrowed module() { return the_module; }

void remember(Borrowed module) {
    Py_XINCREF(module.get());
    Py_XSETREF(the_module, module.get());
}

void forget() { Py_CLEAR(the_module); }

Ref find(const Name& name) {
    if (the_module) {
        Ref found = find_in(PyModule_GetDict(the_module), name.get());
        if (found || PyErr_Occurred()) return found;
    }
    if (PyObject* builtins = PyEval_GetBuiltins()) {
        Ref found = find_in(builtins, name.get());
        if (found || PyErr_Occurred()) return found;
    }
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name.get());
    return Ref();
}

Ref lookup(const Name& name) {
    Ref found = find(name);
    if (!found) raise();
    return found;
}

Ref import_value(const char* name) {
    Ref key = Ref::steal(PyUnicode_InternFromString(name));
    Ref found = find_in(PyModule_GetDict(the_module), key.get());
    if (found) return found;
    if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
    raise();
}

void keep_import_value(PyObject*& slot, const Name& name) { Py_XSETREF(slot, lookup(name).release()); }

}  // namespace qv::lookup
