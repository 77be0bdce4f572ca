#include "records.hpp"

#include <initializer_list>
#include <string>

#include "../binding/namespace.hpp"
#include "../binding/signatures.hpp"

namespace qv::records {

namespace {

Name n_re("re");
Name n_compile("compile");
Name n_dataclass("dataclass");
Name n_field("field");
Name n_frozen("frozen");
Name n_default_factory("default_factory");
Name n___module__("__module__");
Name n___qualname__("__qualname__");
Name n___doc__("__doc__");
Name n___annotations__("__annotations__");
Name n_to_dict("to_dict");
Name n_collective("collective");
Name n_busbw_gbps("busbw_gbps");
Name n_size_bytes("size_bytes");
Name n_algbw_gbps("algbw_gbps");
Name n_latency_us("latency_us");
Name n_wrong("wrong");
Name n_schema_version("schema_version");
Name n_gpu_type("gpu_type");
Name n_scope("scope");
Name n_num_nodes("num_nodes");
Name n_gpus_per_node("gpus_per_node");
Name n_interconnect("interconnect");
Name n_results("results");
Name n_threshold("threshold");
Name n_error("error");
Name n_status("status");
Name n_pass_min_gbps("pass_min_gbps");
Name n_warn_min_gbps("warn_min_gbps");
Name s_all_reduce("all_reduce");
Name n_SIZE_SMALL("SIZE_SMALL");
Name n_SIZE_LARGE("SIZE_LARGE");

constexpr const char* module_name = "quorvane.collsweep";

void set_attr(Borrowed module, const char* name, Borrowed value) {
    check(PyModule_AddObjectRef(module.get(), name, value.get()));
}

Ref integer(long long v) { return Ref::steal(PyLong_FromLongLong(v)); }
Ref real(double v) { return Ref::steal(PyFloat_FromDouble(v)); }

// ---- record construction -----------------------------------------------------

struct FieldDecl {
    enum Kind { Required, Value, EmptyList } kind;
    const char* name;
    const char* annotation;
    Ref value;  // the default, for Value
};

FieldDecl field(const char* name, const char* annotation) { return {FieldDecl::Required, name, annotation, Ref()}; }
FieldDecl field(const char* name, const char* annotation, Ref value) {
    return {FieldDecl::Value, name, annotation, std::move(value)};
}

struct RecordDecl {
    const char* name;
    const char* doc;  // nullptr: no class documentation
    bool frozen;
    std::initializer_list<const char*> methods;  // qualified names in the signature table
};

// type(name, bases, namespace) with string annotations, defaults and methods,
// then the module's own `dataclass` applied to it.
Ref make_record(const RecordDecl& decl, std::initializer_list<FieldDecl> fields) {
    Ref ns = new_dict();
    dict_set(ns, n___module__, str(module_name));
    dict_set(ns, n___qualname__, str(decl.name));
    if (decl.doc) dict_set(ns, n___doc__, str(decl.doc));
    Ref annotations = new_dict();
    for (const FieldDecl& f : fields) {
        Ref key = str(f.name);
        dict_set(annotations, key, str(f.annotation));
        if (f.kind == FieldDecl::Value) {
            dict_set(ns, key, f.value);
        } else if (f.kind == FieldDecl::EmptyList) {
            Ref field_fn = ns::lookup(n_field);
            Ref kwnames = Ref::steal(PyTuple_Pack(1, n_default_factory.get()));
            dict_set(ns, key, call_kw(field_fn, {Borrowed(reinterpret_cast<PyObject*>(&PyList_Type))}, kwnames));
        }
    }
    dict_set(ns, n___annotations__, annotations);
    for (const char* qualname : decl.methods) {
        const Callable& c = callable(qualname);
        dict_set(ns, str(c.name), make_function(c));
    }
    Ref bases = Ref::steal(PyTuple_Pack(1, reinterpret_cast<PyObject*>(&PyBaseObject_Type)));
    Ref cls = call(reinterpret_cast<PyObject*>(&PyType_Type), str(decl.name), bases, ns);
    Ref dataclass = ns::lookup(n_dataclass);
    if (decl.frozen) {
        Ref kwnames = Ref::steal(PyTuple_Pack(1, n_frozen.get()));
        Ref decorator = call_kw(dataclass, {Borrowed(Py_True)}, kwnames);
        return call(decorator, cls);
    }
    return call(dataclass, cls);
}

Ref make_class(const char* name, Borrowed base, const char* doc, std::initializer_list<const char*> methods) {
    Ref ns = new_dict();
    dict_set(ns, n___module__, str(module_name));
    dict_set(ns, n___qualname__, str(name));
    if (doc) dict_set(ns, n___doc__, str(doc));
    for (const char* qualname : methods) {
        const Callable& c = callable(qualname);
        dict_set(ns, str(c.name), make_function(c));
    }
    Ref bases = Ref::steal(PyTuple_Pack(1, base.get()));
    return call(reinterpret_cast<PyObject*>(&PyType_Type), str(name), bases, ns);
}

Ref threshold_row(double pass, double warn) {
    Ref row = new_dict();
    dict_set(row, n_pass_min_gbps, real(pass));
    dict_set(row, n_warn_min_gbps, real(warn));
    return row;
}

struct ThresholdRow {
    const char* gpu_type;
    double pass;
    double warn;
};

Ref threshold_table(std::initializer_list<ThresholdRow> rows) {
    Ref table = new_dict();
    for (const ThresholdRow& r : rows) dict_set(table, str(r.gpu_type), threshold_row(r.pass, r.warn));
    return table;
}

}  // namespace

// ---- import-time steps ----------------------------------------------------------

void define_constants(Borrowed m) {
    Ref collectives = Ref::steal(PyTuple_New(4));
    const char* names[] = {"all_reduce_perf", "all_gather_perf", "reduce_scatter_perf", "broadcast_perf"};
    for (int i = 0; i < 4; ++i) PyTuple_SET_ITEM(collectives.get(), i, str(names[i]).release());
    set_attr(m, "COLLECTIVES", collectives);
    Ref small = integer(8192), mid = integer(1048576), large = integer(134217728);
    set_attr(m, "SIZE_SMALL", small);
    set_attr(m, "SIZE_MID", mid);
    set_attr(m, "SIZE_LARGE", large);
    set_attr(m, "SWEEP_SIZES", Ref::steal(PyTuple_Pack(3, small.get(), mid.get(), large.get())));
}

void define_threshold_tables(Borrowed m) {
    set_attr(m, "_INTRA_NODE_THRESHOLDS",
             threshold_table({{"H100_SXM", 320.0, 250.0},
                              {"H100_PCIE", 90.0, 60.0},
                              {"H200", 340.0, 260.0},
                              {"B200", 700.0, 550.0},
                              {"GH200", 380.0, 290.0},
                              {"A100_SXM", 210.0, 160.0},
                              {"A100_PCIE", 60.0, 40.0},
                              {"MI300X", 350.0, 270.0}}));
    set_attr(m, "_MULTI_NODE_THRESHOLDS",
             threshold_table({{"H100_SXM", 150.0, 80.0},
                              {"H200", 160.0, 90.0},
                              {"B200", 320.0, 180.0},
                              {"A100_SXM", 90.0, 50.0}}));
}

void define_result_records(Borrowed m) {
    set_attr(m, "NcclResult",
             make_record({"NcclResult", "One row from the nccl-tests output table.", true, {"NcclResult.to_dict"}},
                         {field("collective", "str"), field("size_bytes", "int"), field("busbw_gbps", "float"),
                          field("algbw_gbps", "float"), field("latency_us", "float"), field("wrong", "int")}));
    set_attr(m, "Threshold",
             make_record({"Threshold", nullptr, true, {}},
                         {field("pass_min_gbps", "float"), field("warn_min_gbps", "float")}));
    set_attr(m, "NcclReport",
             make_record({"NcclReport",
                          nullptr,
                          false,
                          {"NcclReport.to_dict", "NcclReport.headline_all_reduce_busbw"}},
                         {field("schema_version", "int", integer(1)), field("gpu_type", "str", str("")),
                          field("scope", "str", str("intra")), field("num_nodes", "int", integer(1)),
                          field("gpus_per_node", "int", integer(0)), field("interconnect", "str", str("")),
                          {FieldDecl::EmptyList, "results", "list[NcclResult]", Ref()},
                          field("threshold", "Optional[Threshold]", Ref::none()),
                          field("status", "str", str("unknown")), field("error", "Optional[str]", Ref::none())}));
}

void define_row_patterns(Borrowed m) {
    Ref re = ns::lookup(n_re);
    set_attr(m, "_DATA_ROW", call_method(re, n_compile, str("^\\s*(\\d+)\\s+.*$")));
    set_attr(m, "_NUMERIC", call_method(re, n_compile, str("-?\\d+(?:\\.\\d+)?")));
    Ref labels = new_dict();
    for (const char* label : {"all_reduce", "all_gather", "reduce_scatter", "broadcast"}) {
        std::string key = std::string(label) + "_perf";
        dict_set(labels, str(key.c_str()), str(label));
    }
    set_attr(m, "_COLLECTIVE_NAME_FROM_BIN", labels);
}

void define_launcher_config(Borrowed m) {
    set_attr(m, "_LauncherConfig",
             make_record({"_LauncherConfig", "Inputs the launcher needs that vary by deployment context.", true, {}},
                         {field("binary_root", "str", str("/opt/nccl-tests/build")),
                          field("begin_bytes", "int", ns::lookup(n_SIZE_SMALL)),
                          field("end_bytes", "int", ns::lookup(n_SIZE_LARGE)),
                          field("step_factor", "int", integer(16)), field("iterations", "int", integer(50)),
                          field("warmup_iters", "int", integer(5))}));
}

void define_shell_result(Borrowed m) {
    set_attr(m, "ShellResult",
             make_record({"ShellResult", nullptr, true, {}},
                         {field("returncode", "int"), field("stdout", "str"), field("stderr", "str")}));
}

void define_runner_classes(Borrowed m) {
    Ref shell_runner = make_class(
        "ShellRunner", reinterpret_cast<PyObject*>(&PyBaseObject_Type),
        "Pluggable subprocess runner, so that tests can inject canned benchmark\n"
        "output without starting real executables. Production callers use\n"
        "LocalShellRunner. `input_text` feeds the process's standard input and\n"
        "defaults to None, so callers that do not pass it are unaffected.",
        {"ShellRunner.run"});
    set_attr(m, "ShellRunner", shell_runner);
    set_attr(m, "LocalShellRunner", make_class("LocalShellRunner", shell_runner, nullptr, {"LocalShellRunner.run"}));
}

// ---- methods ---------------------------------------------------------------------

Ref result_to_dict(Args args) {
    Borrowed row = args[0];
    Ref d = new_dict();
    for (const Name* key : {&n_collective, &n_size_bytes, &n_busbw_gbps, &n_algbw_gbps, &n_latency_us, &n_wrong}) {
        dict_set(d, *key, getattr(row, *key));
    }
    return d;
}

Ref report_to_dict(Args args) {
    Borrowed report = args[0];
    Ref d = new_dict();
    for (const Name* key : {&n_schema_version, &n_gpu_type, &n_scope, &n_num_nodes, &n_gpus_per_node, &n_interconnect}) {
        dict_set(d, *key, getattr(report, *key));
    }
    Ref results = getattr(report, n_results);
    Ref rows = new_list();
    Ref it = Ref::steal(PyObject_GetIter(results.get()));
    while (Ref row = Ref::steal_or_null(PyIter_Next(it.get()))) list_append(rows, call_method(row, n_to_dict));
    if (PyErr_Occurred()) raise();
    dict_set(d, n_results, rows);
    dict_set(d, n_status, getattr(report, n_status));
    Ref threshold = getattr(report, n_threshold);
    if (!threshold.is(Py_None)) {
        Ref t = new_dict();
        dict_set(t, n_pass_min_gbps, getattr(threshold, n_pass_min_gbps));
        dict_set(t, n_warn_min_gbps, getattr(threshold, n_warn_min_gbps));
        dict_set(d, n_threshold, t);
    }
    Ref error = getattr(report, n_error);
    if (PyUnicode_Check(error.get()) && PyUnicode_GET_LENGTH(error.get()) > 0) dict_set(d, n_error, error);
    return d;
}

Ref report_headline(Args args) {
    Ref results = getattr(args[0], n_results);
    Ref it = Ref::steal(PyObject_GetIter(results.get()));
    Ref best;
    while (Ref row = Ref::steal_or_null(PyIter_Next(it.get()))) {
        if (!compare(getattr(row, n_collective), s_all_reduce, Py_EQ)) continue;
        Ref value = getattr(row, n_busbw_gbps);
        if (!best || compare(value, best, Py_GT)) best = std::move(value);
    }
    if (PyErr_Occurred()) raise();
    if (!best) return Ref::none();
    if (PyFloat_CheckExact(best.get())) return best;
    if (!PyNumber_Check(best.get())) {
        PyErr_Format(PyExc_TypeError, "Expected %.200s, got %.200s", "float", Py_TYPE(best.get())->tp_name);
        raise();
    }
    return Ref::steal(PyNumber_Float(best.get()));
}

}  // namespace qv::records
