#include "verdicts.hpp"

#include "../binding/lookup.hpp"
#include "names.hpp"

namespace qv::verdicts {

namespace {

using lookup::lookup;

Ref to_float(Borrowed v) { return Ref::steal(PyNumber_Float(v.get())); }

// A new reference to the member `key` of the dict `d`, or null when absent.
Ref member(Borrowed d, Borrowed key) {
    PyObject* found = PyDict_GetItemWithError(d.get(), key.get());
    if (!found && PyErr_Occurred()) raise();
    return Ref::borrow(found);
}

Ref load_overrides(const Arguments<no_params>&) {
    Ref environ = getattr(lookup(names::os), names::environ);
    Ref raw = call_method(environ, names::get, names::OVERRIDES_VARIABLE, names::empty);
    Ref text = call_method(raw, names::strip);
    Ref result = new_dict();
    if (!truthy(text)) return result;

    Ref json = Ref::steal_or_null(PyImport_Import(names::json.get()));
    if (!json) {
        if (catch_error(PyExc_ImportError)) return result;
        raise();
    }
    Ref doc = Ref::steal_or_null(PyObject_CallMethodOneArg(json.get(), names::loads.get(), text.get()));
    if (!doc) {
        if (catch_error(PyExc_ValueError)) return result;
        raise();
    }
    if (!PyDict_Check(doc.get())) return result;

    // Converting a cutoff runs its __float__, which may change the document:
    // every object used across it is held here.
    PyObject* key_in_doc;
    PyObject* value_in_doc;
    Py_ssize_t pos = 0;
    while (PyDict_Next(doc.get(), &pos, &key_in_doc, &value_in_doc)) {
        Ref key = Ref::borrow(key_in_doc);
        Ref value = Ref::borrow(value_in_doc);
        if (!PyUnicode_Check(key.get()) || !PyDict_Check(value.get())) continue;
        Ref pass = member(value, names::pass_min_gbps);
        Ref warn = member(value, names::warn_min_gbps);
        if (!pass || !warn) continue;
        Ref entry = new_dict();
        dict_set(entry, names::pass_min_gbps, to_float(pass));
        dict_set(entry, names::warn_min_gbps, to_float(warn));
        dict_set(result, key, entry);
    }
    return result;
}

constexpr Param threshold_params[] = {positional("gpu_type", Check::Text, "str"),
                                      positional("scope", Check::Text, "str")};

Ref threshold_lookup(const Arguments<threshold_params>& a) {
    Borrowed gpu_type = a.get<"gpu_type">();
    Borrowed scope = a.get<"scope">();
    Ref overrides = call(lookup(names::load_threshold_overrides));
    Ref key = Ref::steal(PyUnicode_FromFormat("%U:%U", gpu_type.get(), scope.get()));
    int has = PySequence_Contains(overrides.get(), key.get());
    check(has);
    if (has) {
        Ref entry = item(overrides, key);
        Ref pass = to_float(item(entry, names::pass_min_gbps));
        Ref warn = to_float(item(entry, names::warn_min_gbps));
        return call(lookup(names::Threshold), pass, warn);
    }
    Ref table;
    if (compare(scope, names::intra, Py_EQ)) {
        table = lookup(names::INTRA_NODE_THRESHOLDS);
    } else if (compare(scope, names::multi, Py_EQ)) {
        table = lookup(names::MULTI_NODE_THRESHOLDS);
    } else {
        return Ref::none();
    }
    Ref entry = call_method(table, names::get, gpu_type);
    if (!truthy(entry)) return Ref::none();
    Ref pass = item(entry, names::pass_min_gbps);
    Ref warn = item(entry, names::warn_min_gbps);
    return call(lookup(names::Threshold), pass, warn);
}

constexpr Param classify_params[] = {positional("busbw_gbps", Check::OptFloat, "Optional[float]"),
                                     positional("thr", Check::Any, "Optional[Threshold]")};

Ref grade(const Arguments<classify_params>& a) {
    Borrowed busbw = a.get<"busbw_gbps">();
    Borrowed thr = a.get<"thr">();
    if (busbw.is_none() || thr.is_none()) return Ref::borrow(names::unknown);
    if (compare(busbw, getattr(thr, names::pass_min_gbps), Py_GE)) return Ref::borrow(names::pass);
    if (compare(busbw, getattr(thr, names::warn_min_gbps), Py_GE)) return Ref::borrow(names::warn);
    return Ref::borrow(names::fail);
}

constexpr Param finalize_params[] = {positional("report", Check::Any, "NcclReport")};

Ref finalize(const Arguments<finalize_params>& a) {
    Borrowed report = a.get<"report">();
    if (truthy(getattr(report, names::error)) && !truthy(getattr(report, names::results))) {
        setattr(report, names::status, names::error);
        return Ref::none();
    }
    Ref threshold =
        call(lookup(names::threshold_for), getattr(report, names::gpu_type), getattr(report, names::scope));
    setattr(report, names::threshold, threshold);
    Ref headline = call_method(report, names::headline_all_reduce_busbw);

    Ref zero = integer(0);
    bool wrong = false;
    Ref results = getattr(report, names::results);
    Ref it = Ref::steal(PyObject_GetIter(results.get()));
    while (Ref row = Ref::steal_or_null(PyIter_Next(it.get()))) {
        if (compare(getattr(row, names::wrong), zero, Py_GT)) {
            wrong = true;
            break;
        }
    }
    if (PyErr_Occurred()) raise();
    if (wrong) {
        setattr(report, names::status, names::fail);
        return Ref::none();
    }
    Ref threshold_now = getattr(report, names::threshold);
    setattr(report, names::status, call(lookup(names::classify), headline, threshold_now));
    return Ref::none();
}

}  // namespace

const Signature load_threshold_overrides = signature<no_params, load_overrides>(
    "_load_threshold_overrides", nullptr, "dict[str, dict[str, float]]",
    "Read QUORVANE_NCCL_THRESHOLD_OVERRIDES, a JSON object keyed 'GPU_TYPE:scope'\n"
    "whose values hold 'pass_min_gbps' and 'warn_min_gbps'. Unset, blank or\n"
    "malformed text and members of the wrong shape are ignored; a cutoff that\n"
    "float() cannot convert raises.");

const Signature threshold_for = signature<threshold_params, threshold_lookup>(
    "threshold_for", nullptr, "Optional[Threshold]",
    "Return the configured pass / warn cutoffs for a (GPU, scope) pair, or None\n"
    "when no threshold is defined. Honours the environment overrides in\n"
    "QUORVANE_NCCL_THRESHOLD_OVERRIDES, read afresh on every call.");

const Signature classify = signature<classify_params, grade>(
    "classify", nullptr, "str",
    "Grade one all_reduce bus bandwidth (GB/s) against a threshold: 'pass' at or\n"
    "above the pass cutoff, 'warn' at or above the warn cutoff, else 'fail';\n"
    "'unknown' when either the measurement or the threshold is None.");

const Signature finalize_status = signature<finalize_params, finalize>(
    "_finalize_status", nullptr, "None",
    "Look up the report's threshold, grade its headline and write 'threshold'\n"
    "and 'status' into the report in place. A report with an error and no rows\n"
    "is 'error'; any row with wrong results makes it 'fail'.");

}  // namespace qv::verdicts
