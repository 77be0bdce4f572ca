// Module creation and execution: one module object per process, attributes
// defined once, in a fixed order.
#include "../collsweep/parsing.hpp"
#include "../collsweep/records.hpp"
#include "../collsweep/topology.hpp"
#include "function.hpp"
#include "namespace.hpp"
#include "signatures.hpp"

namespace qv {

namespace {

constexpr const char* full_name = "quorvane.collsweep";

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

void set_attr(Borrowed module, const char* name, Borrowed value) {
    check(PyModule_AddObjectRef(module.get(), name, value.get()));
}

Ref import(const char* name) { return Ref::steal(PyImport_ImportModule(name)); }

void define_stdlib_imports(Borrowed m) {
    set_attr(m, "os", import("os"));
    set_attr(m, "re", import("re"));
    set_attr(m, "shlex", import("shlex"));
    set_attr(m, "subprocess", import("subprocess"));
    set_attr(m, "ET", import("xml.etree.ElementTree"));
    Ref dataclasses = import("dataclasses");
    for (const char* name : {"asdict", "dataclass", "field"}) {
        set_attr(m, name, Ref::steal(PyObject_GetAttrString(dataclasses.get(), name)));
    }
    Ref typing = import("typing");
    for (const char* name : {"Any", "Iterable", "Optional"}) {
        set_attr(m, name, Ref::steal(PyObject_GetAttrString(typing.get(), name)));
    }
}

// One entry of the attribute order: a step that defines one or more
// attributes, or a callable from the signature table.
struct Attribute {
    void (*step)(Borrowed module);
    const char* callable;
};
constexpr Attribute define(void (*step)(Borrowed)) { return {step, nullptr}; }
constexpr Attribute function_named(const char* name) { return {nullptr, name}; }

const Attribute attribute_order[] = {
    define(define_stdlib_imports),
    define(records::define_constants),
    define(records::define_threshold_tables),
    define(records::define_result_records),
    function_named("threshold_for"),
    function_named("classify"),
    function_named("_load_threshold_overrides"),
    define(records::define_row_patterns),
    define(parsing::remember_import_objects),
    function_named("collective_name_for_binary"),
    function_named("parse_nccl_table"),
    function_named("_to_int"),
    function_named("_shared_prefix_len"),
    define(topology::remember_prefix_function),
    function_named("parse_nccl_topo_xml"),
    define(records::define_launcher_config),
    function_named("_build_binary_command"),
    function_named("launch_intra_node"),
    function_named("launch_multi_node"),
    function_named("_select_launcher_mode"),
    function_named("_build_multi_node_command"),
    function_named("_resolve_binary"),
    function_named("_finalize_status"),
    define(records::define_shell_result),
    define(records::define_runner_classes),
};

void define_attributes(Borrowed m) {
    for (const Attribute& a : attribute_order) {
        if (a.step) {
            a.step(m);
        } else {
            set_attr(m, a.callable, function(a.callable));
        }
    }
}

// ---- create / exec ---------------------------------------------------------

int64_t first_interpreter = -1;

PyObject* create(PyObject* spec, PyModuleDef*) {
    try {
        int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
        if (id < 0) raise();
        if (first_interpreter == -1) {
            first_interpreter = id;
        } else if (first_interpreter != id) {
            PyErr_SetString(PyExc_ImportError,
                            "Interpreter change detected - this module can only be loaded into one interpreter per "
                            "process.");
            return nullptr;
        }
        if (ns::module()) return Py_NewRef(ns::module().get());

        Name::intern_all();
        Ref name = getattr(spec, n_name);
        Ref module = Ref::steal(PyModule_NewObject(name.get()));
        setattr(module, n___loader__, getattr(spec, n_loader));
        if (truthy(getattr(spec, n_has_location))) setattr(module, n___file__, getattr(spec, n_origin));
        setattr(module, n___package__, getattr(spec, n_parent));
        Ref locations = getattr(spec, n_submodule_search_locations);
        if (!locations.is(Py_None)) setattr(module, n___path__, locations);
        return module.release();
    } catch (const PyError&) {
        return nullptr;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return nullptr;
    }
}

int exec(PyObject* module) {
    if (ns::module()) {
        if (ns::module().is(module)) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'collsweep' has already been imported. Re-initialisation is not supported.");
        return -1;
    }
    try {
        Name::intern_all();
        ready_function_type();
        ns::remember(module);
        setattr(module, n___builtins__, PyEval_GetBuiltins());
        PyObject* modules = PyImport_GetModuleDict();
        int present = PyDict_Contains(modules, Ref::steal(PyUnicode_FromString(full_name)).get());
        check(present);
        if (!present) check(PyDict_SetItemString(modules, full_name, module));
        define_attributes(module);
        return 0;
    } catch (const PyError&) {
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    }
    ns::forget();
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, "init quorvane.collsweep");
    return -1;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create)},
    {Py_mod_exec, reinterpret_cast<void*>(exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "collsweep",
    "NCCL benchmark suite (single-node + multi-node).\n"
    "\n"
    "Runs the nccl-tests executables all_reduce_perf, all_gather_perf,\n"
    "reduce_scatter_perf and broadcast_perf over a sweep of small, mid and large\n"
    "message sizes (8 KiB to 128 MiB, a factor of 16 apart), parses the tables\n"
    "they print and gathers the rows into a structured NcclReport that callers\n"
    "persist (to_dict()) or forward. The largest all_reduce bus bandwidth is the\n"
    "headline, graded pass / warn / fail against per-GPU-type thresholds that\n"
    "QUORVANE_NCCL_THRESHOLD_OVERRIDES can override.\n"
    "\n"
    "launch_intra_node sweeps the GPUs of one host; launch_multi_node sweeps two\n"
    "or more hosts through mpirun, Slurm srun or the SkyPilot launcher. The\n"
    "executables are looked up in /opt/nccl-tests/build by default.\n"
    "\n"
    "parse_nccl_topo_xml turns an NCCL topology dump into a GPU/NIC inventory.",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace qv

PyMODINIT_FUNC PyInit_collsweep(void) { return PyModuleDef_Init(&qv::module_def); }
