#include "namespace.hpp"

namespace qv::ns {

namespace {
PyObject* the_module = nullptr;
}

Borrowed module() { return the_module; }

void remember(Borrowed module) {
    Py_XINCREF(module.get());
    Py_XSETREF(the_module, module.get());
}

void forget() { Py_CLEAR(the_module); }

Ref lookup(const Name& name) {
    if (the_module) {
        PyObject* found = PyDict_GetItemWithError(PyModule_GetDict(the_module), name.get());
        if (found) return Ref::borrow(found);
        if (PyErr_Occurred()) raise();
    }
    PyObject* builtins = PyEval_GetBuiltins();
    if (builtins) {
        PyObject* found = PyDict_GetItemWithError(builtins, name.get());
        if (found) return Ref::borrow(found);
        if (PyErr_Occurred()) raise();
    }
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name.get());
    raise();
}

void keep_import_value(PyObject*& slot, const Name& name) { Py_XSETREF(slot, lookup(name).release()); }

}  // namespace qv::ns
