#include "module.hpp"

#include <string>

#include "entry.hpp"
#include "lookup.hpp"

namespace qv {

namespace {

Name n_name("name");
Name n_loader("loader");
Name n_origin("origin");
Name n_has_location("has_location");
Name n_parent("parent");
Name n_submodule_search_locations("submodule_search_locations");
Name n___loader__("__loader__");
Name n___file__("__file__");
Name n___package__("__package__");
Name n___path__("__path__");
Name n___builtins__("__builtins__");

const ModuleSurface* surface = nullptr;
int64_t first_interpreter = -1;

// Create: refuse a second interpreter, hand back the module of this process
// if there is one, else make a new module object for the import request.
PyObject* create(PyObject* request, PyModuleDef*) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
        if (id < 0) raise();
        if (first_interpreter == -1) {
            first_interpreter = id;
        } else if (first_interpreter != id) {
            PyErr_SetString(PyExc_ImportError,
                            "Interpreter change detected - this module can only be loaded into one interpreter per "
                            "process.");
            raise();
        }
        if (lookup::module()) return Py_NewRef(lookup::module().get());

        Name::intern_all();
        Ref module = Ref::steal(PyModule_NewObject(getattr(request, n_name).get()));
        setattr(module, n___loader__, getattr(request, n_loader));
        if (truthy(getattr(request, n_has_location))) setattr(module, n___file__, getattr(request, n_origin));
        setattr(module, n___package__, getattr(request, n_parent));
        Ref locations = getattr(request, n_submodule_search_locations);
        if (!locations.is(Py_None)) setattr(module, n___path__, locations);
        return module.release();
    });
}

void execute(Borrowed module) {
    Name::intern_all();
    lookup::remember(module);
    setattr(module, n___builtins__, PyEval_GetBuiltins());
    PyObject* modules = PyImport_GetModuleDict();
    Ref key = str(surface->qualified_name);
    int present = PyDict_Contains(modules, key.get());
    check(present);
    if (!present) check(PyDict_SetItem(modules, key.get(), module.get()));
    surface->define(module);
}

// Exec: once per process; a no-op on the same object, refused on another.
// A failed body drops the remembered module, so a later import starts again.
int exec(PyObject* module) {
    if (lookup::module()) {
        if (lookup::module().is(module)) return 0;
        PyErr_Format(PyExc_RuntimeError,
                     "Module '%s' has already been imported. Re-initialisation is not supported.", surface->name);
        return -1;
    }
    if (guarded(-1, [&] { return execute(module), 0; }) == 0) return 0;
    lookup::forget();
    if (!PyErr_Occurred()) PyErr_Format(PyExc_ImportError, "init %s", surface->qualified_name);
    return -1;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create)},
    {Py_mod_exec, reinterpret_cast<void*>(exec)},
    {0, nullptr},
};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, nullptr, nullptr, 0, nullptr, module_slots, nullptr, nullptr, nullptr};

}  // namespace

PyObject* module_init(const ModuleSurface& s) {
    surface = &s;
    module_def.m_name = s.name;
    module_def.m_doc = s.doc;
    return PyModuleDef_Init(&module_def);
}

}  // namespace qv
