#include "verdicts.hpp"

#include "../binding/namespace.hpp"

namespace qv::verdicts {

namespace {

Name n_os("os");
Name n_environ("environ");
Name n_get("get");
Name n_strip("strip");
Name n_json("json");
Name n_loads("loads");
Name n_Threshold("Threshold");
Name n_INTRA("_INTRA_NODE_THRESHOLDS");
Name n_MULTI("_MULTI_NODE_THRESHOLDS");
Name n_load_overrides("_load_threshold_overrides");
Name n_threshold_for("threshold_for");
Name n_classify("classify");
Name n_pass_min_gbps("pass_min_gbps");
Name n_warn_min_gbps("warn_min_gbps");
Name n_error("error");
Name n_results("results");
Name n_gpu_type("gpu_type");
Name n_scope("scope");
Name n_threshold("threshold");
Name n_status("status");
Name n_wrong("wrong");
Name n_headline("headline_all_reduce_busbw");
Name s_variable("QUORVANE_NCCL_THRESHOLD_OVERRIDES");
Name s_empty("");
Name s_intra("intra");
Name s_multi("multi");
Name s_pass("pass");
Name s_warn("warn");
Name s_fail("fail");
Name s_unknown("unknown");
Name s_error("error");

Ref make_threshold(Borrowed pass, Borrowed warn) {
    Ref threshold_type = ns::lookup(n_Threshold);
    return call(threshold_type, pass, warn);
}

Ref to_float(Borrowed v) { return Ref::steal(PyNumber_Float(v.get())); }

}  // namespace

Ref load_threshold_overrides(Args) {
    Ref environ = getattr(ns::lookup(n_os), n_environ);
    Ref raw = call_method(environ, n_get, s_variable, s_empty);
    Ref text = call_method(raw, n_strip);
    Ref result = new_dict();
    if (!truthy(text)) return result;

    Ref json = Ref::steal_or_null(PyImport_Import(n_json.get()));
    if (!json) {
        if (catch_error(PyExc_ImportError)) return result;
        raise();
    }
    Ref doc = Ref::steal_or_null(PyObject_CallMethodOneArg(json.get(), n_loads.get(), text.get()));
    if (!doc) {
        if (catch_error(PyExc_ValueError)) return result;
        raise();
    }
    if (!PyDict_Check(doc.get())) return result;

    PyObject* key;
    PyObject* value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(doc.get(), &pos, &key, &value)) {
        if (!PyUnicode_Check(key) || !PyDict_Check(value)) continue;
        PyObject* pass = PyDict_GetItemWithError(value, n_pass_min_gbps.get());
        if (!pass && PyErr_Occurred()) raise();
        PyObject* warn = PyDict_GetItemWithError(value, n_warn_min_gbps.get());
        if (!warn && PyErr_Occurred()) raise();
        if (!pass || !warn) continue;
        Ref entry = new_dict();
        dict_set(entry, n_pass_min_gbps, to_float(pass));
        dict_set(entry, n_warn_min_gbps, to_float(warn));
        dict_set(result, key, entry);
    }
    return result;
}

Ref threshold_for(Args args) {
    Borrowed gpu_type = args[0];
    Borrowed scope = args[1];
    Ref overrides = call(ns::lookup(n_load_overrides));
    Ref key = Ref::steal(PyUnicode_FromFormat("%U:%U", gpu_type.get(), scope.get()));
    int has = PySequence_Contains(overrides.get(), key.get());
    check(has);
    if (has) {
        Ref entry = Ref::steal(PyObject_GetItem(overrides.get(), key.get()));
        Ref pass = to_float(Ref::steal(PyObject_GetItem(entry.get(), n_pass_min_gbps.get())));
        Ref warn = to_float(Ref::steal(PyObject_GetItem(entry.get(), n_warn_min_gbps.get())));
        return make_threshold(pass, warn);
    }
    Ref table;
    if (compare(scope, s_intra, Py_EQ)) {
        table = ns::lookup(n_INTRA);
    } else if (compare(scope, s_multi, Py_EQ)) {
        table = ns::lookup(n_MULTI);
    } else {
        return Ref::none();
    }
    Ref entry = call_method(table, n_get, gpu_type);
    if (!truthy(entry)) return Ref::none();
    return make_threshold(Ref::steal(PyObject_GetItem(entry.get(), n_pass_min_gbps.get())),
                          Ref::steal(PyObject_GetItem(entry.get(), n_warn_min_gbps.get())));
}

Ref classify(Args args) {
    Borrowed busbw = args[0];
    Borrowed thr = args[1];
    if (busbw.is_none() || thr.is_none()) return Ref::borrow(s_unknown);
    if (compare(busbw, getattr(thr, n_pass_min_gbps), Py_GE)) return Ref::borrow(s_pass);
    if (compare(busbw, getattr(thr, n_warn_min_gbps), Py_GE)) return Ref::borrow(s_warn);
    return Ref::borrow(s_fail);
}

Ref finalize_status(Args args) {
    Borrowed report = args[0];
    if (truthy(getattr(report, n_error)) && !truthy(getattr(report, n_results))) {
        setattr(report, n_status, s_error);
        return Ref::none();
    }
    Ref threshold = call(ns::lookup(n_threshold_for), getattr(report, n_gpu_type), getattr(report, n_scope));
    setattr(report, n_threshold, threshold);
    Ref headline = call_method(report, n_headline);

    Ref zero = Ref::steal(PyLong_FromLong(0));
    Ref it = Ref::steal(PyObject_GetIter(getattr(report, n_results).get()));
    while (Ref row = Ref::steal_or_null(PyIter_Next(it.get()))) {
        if (compare(getattr(row, n_wrong), zero, Py_GT)) {
            setattr(report, n_status, s_fail);
            return Ref::none();
        }
    }
    if (PyErr_Occurred()) raise();
    Ref threshold_now = getattr(report, n_threshold);
    setattr(report, n_status, call(ns::lookup(n_classify), headline, threshold_now));
    return Ref::none();
}

}  // namespace qv::verdicts
