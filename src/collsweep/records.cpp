#include "records.hpp"

#include <tuple>

#include "../binding/lookup.hpp"
#include "names.hpp"

namespace qv::records {

namespace {

using lookup::lookup;

// ---- methods -----------------------------------------------------------------

constexpr Param receiver[] = {self_param};

Ref result_to_dict(const Arguments<receiver>& a) {
    Borrowed row = a.get<"self">();
    Ref d = new_dict();
    for (const Name* key : {&names::collective, &names::size_bytes, &names::busbw_gbps, &names::algbw_gbps,
                            &names::latency_us, &names::wrong}) {
        dict_set(d, *key, getattr(row, *key));
    }
    return d;
}

Ref report_to_dict(const Arguments<receiver>& a) {
    Borrowed report = a.get<"self">();
    Ref d = new_dict();
    for (const Name* key : {&names::schema_version, &names::gpu_type, &names::scope, &names::num_nodes,
                            &names::gpus_per_node, &names::interconnect}) {
        dict_set(d, *key, getattr(report, *key));
    }
    Ref rows = new_list();
    Ref results = getattr(report, names::results);
    for_each(results, [&](Borrowed row) { list_append(rows, call_method(row, names::to_dict)); });
    dict_set(d, names::results, rows);
    dict_set(d, names::status, getattr(report, names::status));
    Ref threshold = getattr(report, names::threshold);
    if (!threshold.is(Py_None)) {
        Ref t = new_dict();
        dict_set(t, names::pass_min_gbps, getattr(threshold, names::pass_min_gbps));
        dict_set(t, names::warn_min_gbps, getattr(threshold, names::warn_min_gbps));
        dict_set(d, names::threshold, t);
    }
    Ref error = getattr(report, names::error);
    if (PyUnicode_Check(error.get()) && PyUnicode_GET_LENGTH(error.get()) > 0) dict_set(d, names::error, error);
    return d;
}

Ref report_headline(const Arguments<receiver>& a) {
    Ref results = getattr(a.get<"self">(), names::results);
    Ref best;
    for_each(results, [&](Borrowed row) {
        if (!compare(getattr(row, names::collective), names::all_reduce, Py_EQ)) return;
        Ref value = getattr(row, names::busbw_gbps);
        if (!best || compare(value, best, Py_GT)) best = std::move(value);
    });
    if (!best) return Ref::none();
    if (PyFloat_CheckExact(best.get())) return best;
    if (!PyNumber_Check(best.get())) {
        PyErr_Format(PyExc_TypeError, "Expected %.200s, got %.200s", "float", Py_TYPE(best.get())->tp_name);
        raise();
    }
    return Ref::steal(PyNumber_Float(best.get()));
}

const Signature result_to_dict_row = signature<receiver, result_to_dict>(
    "to_dict", "NcclResult", "dict[str, Any]", "The row as a plain dictionary, keys in field order.");
const Signature report_to_dict_row = signature<receiver, report_to_dict>(
    "to_dict", "NcclReport", "dict[str, Any]",
    "The report as a plain dictionary for persistence; 'threshold' and 'error'\n"
    "appear only when set.");
const Signature report_headline_row = signature<receiver, report_headline>(
    "headline_all_reduce_busbw", "NcclReport", "Optional[float]",
    "The largest all_reduce bus bandwidth (GB/s) over all message sizes, or None\n"
    "when the report has no all_reduce row.");

// ---- record construction -----------------------------------------------------

Ref real(double v) { return Ref::steal(PyFloat_FromDouble(v)); }

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

// The class namespace of type(name, bases, namespace).
Ref class_namespace(const char* name, const char* doc, std::initializer_list<const Signature*> methods) {
    Ref ns = new_dict();
    dict_set(ns, names::dunder_module, str(module_name));
    dict_set(ns, names::dunder_qualname, str(name));
    if (doc) dict_set(ns, names::dunder_doc, str(doc));
    for (const Signature* m : methods) dict_set(ns, str(m->name), make_function(*m, module_name));
    return ns;
}

// A class with string annotations, defaults and methods, then the module's
// own `dataclass` applied to it.
Ref make_record(const char* name, const char* doc, bool frozen, std::initializer_list<const Signature*> methods,
                std::initializer_list<FieldDecl> fields) {
    Ref ns = class_namespace(name, doc, methods);
    Ref annotations = new_dict();
    for (const FieldDecl& f : fields) {
        Ref key = str(f.name);
        dict_set(annotations, key, str(f.annotation));
        if (f.kind == FieldDecl::Value) {
            dict_set(ns, key, f.value);
        } else if (f.kind == FieldDecl::EmptyList) {
            Ref list_type = Ref::borrow(reinterpret_cast<PyObject*>(&PyList_Type));
            dict_set(ns, key, call_kw(lookup(names::field), {list_type}, tuple_of({names::default_factory})));
        }
    }
    dict_set(ns, names::dunder_annotations, annotations);
    Ref bases = tuple_of({reinterpret_cast<PyObject*>(&PyBaseObject_Type)});
    Ref cls = call(reinterpret_cast<PyObject*>(&PyType_Type), str(name), bases, ns);
    Ref dataclass = lookup(names::dataclass);
    if (frozen) return call(call_kw(dataclass, {Py_True}, tuple_of({names::frozen})), cls);
    return call(dataclass, cls);
}

Ref threshold_table(std::initializer_list<std::tuple<const char*, double, double>> rows) {
    Ref table = new_dict();
    for (const auto& [gpu_type, pass, warn] : rows) {
        Ref row = new_dict();
        dict_set(row, names::pass_min_gbps, real(pass));
        dict_set(row, names::warn_min_gbps, real(warn));
        dict_set(table, str(gpu_type), row);
    }
    return table;
}

}  // namespace

void set_attr(Borrowed module, const char* name, Borrowed value) {
    check(PyModule_AddObjectRef(module.get(), name, value.get()));
}

Ref make_class(const char* name, Borrowed base, const char* doc, std::initializer_list<const Signature*> methods) {
    Ref ns = class_namespace(name, doc, methods);
    return call(reinterpret_cast<PyObject*>(&PyType_Type), str(name), tuple_of({base}), ns);
}

// ---- import-time steps ----------------------------------------------------------

void define_constants(Borrowed m) {
    Ref executables = Ref::steal(PyTuple_New(std::size(collectives)));
    for (std::size_t i = 0; i < std::size(collectives); ++i) {
        PyTuple_SET_ITEM(executables.get(), static_cast<Py_ssize_t>(i), str(collectives[i].executable).release());
    }
    set_attr(m, "COLLECTIVES", executables);
    Ref small = integer(8192), mid = integer(1048576), large = integer(134217728);
    set_attr(m, "SIZE_SMALL", small);
    set_attr(m, "SIZE_MID", mid);
    set_attr(m, "SIZE_LARGE", large);
    set_attr(m, "SWEEP_SIZES", tuple_of({small, mid, large}));
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
             make_record("NcclResult", "One row from the nccl-tests output table.", true, {&result_to_dict_row},
                         {field("collective", "str"), field("size_bytes", "int"), field("busbw_gbps", "float"),
                          field("algbw_gbps", "float"), field("latency_us", "float"), field("wrong", "int")}));
    set_attr(m, "Threshold",
             make_record("Threshold", nullptr, true, {},
                         {field("pass_min_gbps", "float"), field("warn_min_gbps", "float")}));
    set_attr(m, "NcclReport",
             make_record("NcclReport", nullptr, false, {&report_to_dict_row, &report_headline_row},
                         {field("schema_version", "int", integer(1)), field("gpu_type", "str", str("")),
                          field("scope", "str", str("intra")), field("num_nodes", "int", integer(1)),
                          field("gpus_per_node", "int", integer(0)), field("interconnect", "str", str("")),
                          {FieldDecl::EmptyList, "results", "list[NcclResult]", Ref()},
                          field("threshold", "Optional[Threshold]", Ref::none()),
                          field("status", "str", str("unknown")), field("error", "Optional[str]", Ref::none())}));
}

void define_row_patterns(Borrowed m) {
    Ref re = lookup(names::re);
    set_attr(m, "_DATA_ROW", call_method(re, names::compile, str("^\\s*(\\d+)\\s+.*$")));
    set_attr(m, "_NUMERIC", call_method(re, names::compile, str("-?\\d+(?:\\.\\d+)?")));
    Ref labels = new_dict();
    for (const Collective& c : collectives) dict_set(labels, str(c.executable), str(c.label));
    set_attr(m, "_COLLECTIVE_NAME_FROM_BIN", labels);
}

void define_launcher_config(Borrowed m) {
    set_attr(m, "_LauncherConfig",
             make_record("_LauncherConfig", "Inputs the launcher needs that vary by deployment context.", true, {},
                         {field("binary_root", "str", str(default_binary_root)),
                          field("begin_bytes", "int", lookup(names::SIZE_SMALL)),
                          field("end_bytes", "int", lookup(names::SIZE_LARGE)),
                          field("step_factor", "int", integer(16)), field("iterations", "int", integer(50)),
                          field("warmup_iters", "int", integer(5))}));
}

void define_shell_result(Borrowed m) {
    set_attr(m, "ShellResult",
             make_record("ShellResult", nullptr, true, {},
                         {field("returncode", "int"), field("stdout", "str"), field("stderr", "str")}));
}

}  // namespace qv::records
