#include "parsing.hpp"

#include <string_view>

#include "../binding/namespace.hpp"
#include "table_scan.hpp"

namespace qv::parsing {

namespace {

Name n_NUMERIC("_NUMERIC");
Name n_NcclResult("NcclResult");
Name n_COLLECTIVE_NAME_FROM_BIN("_COLLECTIVE_NAME_FROM_BIN");
Name n_os("os");
Name n_path("path");
Name n_basename("basename");
Name n_fullmatch("fullmatch");
Name n_strip("strip");
Name n_split("split");
Name n_splitlines("splitlines");
Name n_replace("replace");
Name n_collective("collective");
Name n_size_bytes("size_bytes");
Name n_busbw_gbps("busbw_gbps");
Name n_algbw_gbps("algbw_gbps");
Name n_latency_us("latency_us");
Name n_wrong("wrong");
Name n___init__("__init__");
Name s_perf("_perf");
Name s_empty("");

// The pattern object that import compiled: the ASCII scanner is identical to
// it, and to nothing else. Held for the life of the process.
PyObject* import_numeric = nullptr;

// The row record as import made it: the class, and the __init__ that
// dataclass generated for it (with that function's code). Held for the life
// of the process.
PyObject* import_row_type = nullptr;
PyObject* import_row_init = nullptr;
PyObject* import_row_code = nullptr;

// True while `cls` holds the import-time __init__ (same function, same code).
bool has_import_init(PyTypeObject* cls) {
    PyObject* init = PyDict_GetItemWithError(cls->tp_dict, n___init__.get());
    if (!init) {
        if (PyErr_Occurred()) raise();
        return false;
    }
    return init == import_row_init && PyFunction_Check(init) && PyFunction_GET_CODE(init) == import_row_code;
}

// True when calling `row_type` still means object.__new__ and then the
// import-time __init__: the import-time class, with no metaclass and no
// __new__ of its own.
bool plain_record(PyObject* row_type) {
    if (row_type != import_row_type || Py_TYPE(row_type) != &PyType_Type) return false;
    PyTypeObject* cls = reinterpret_cast<PyTypeObject*>(row_type);
    return cls->tp_new == PyBaseObject_Type.tp_new && has_import_init(cls);
}

struct RowSink {
    Ref row_type;
    Ref kwnames;
    Borrowed collective;
    Ref rows;
    Ref no_args;

    explicit RowSink(Borrowed collective_label)
        : row_type(ns::lookup(n_NcclResult)),
          kwnames(Ref::steal(PyTuple_Pack(6, n_collective.get(), n_size_bytes.get(), n_busbw_gbps.get(),
                                          n_algbw_gbps.get(), n_latency_us.get(), n_wrong.get()))),
          collective(collective_label),
          rows(new_list()),
          no_args(Ref::steal(PyTuple_New(0))) {}

    // NcclResult(collective=..., size_bytes=..., busbw_gbps=..., algbw_gbps=...,
    // latency_us=..., wrong=...); the keywords are in field order.
    void add(Borrowed size, Borrowed busbw, Borrowed algbw, Borrowed latency, Borrowed wrong) {
        // argv[0] is free for the instance, argv[1..6] are the fields.
        PyObject* argv[] = {nullptr, collective.get(), size.get(), busbw.get(), algbw.get(), latency.get(), wrong.get()};
        if (plain_record(row_type.get())) {
            list_append(rows, make_plain_record(argv));
        } else {
            list_append(rows, Ref::steal(PyObject_Vectorcall(row_type.get(), argv + 1, PY_VECTORCALL_ARGUMENTS_OFFSET,
                                                             kwnames.get())));
        }
    }

    // What type.__call__ does with the keyword call, step for step, except
    // that the import-time __init__ gets the fields by position (the same
    // binding, without a keyword dict per row): object.__new__ makes the
    // instance, then its class's __init__ runs. Code run while allocating
    // (collector callbacks, finalizers) may have replaced that __init__; the
    // new one is then called through tp_init with the keywords.
    Ref make_plain_record(PyObject** argv) {
        PyTypeObject* cls = reinterpret_cast<PyTypeObject*>(row_type.get());
        Ref row = Ref::steal(PyBaseObject_Type.tp_new(cls, no_args.get(), nullptr));
        PyTypeObject* type = Py_TYPE(row.get());
        if (has_import_init(type)) {
            argv[0] = row.get();
            Ref result = Ref::steal(PyObject_Vectorcall(import_row_init, argv, 7, nullptr));
            if (!result.is(Py_None)) {
                PyErr_Format(PyExc_TypeError, "__init__() should return None, not '%.200s'",
                             Py_TYPE(result.get())->tp_name);
                raise();
            }
        } else if (type->tp_init) {
            Ref kwargs = new_dict();
            for (Py_ssize_t i = 0; i < 6; ++i) dict_set(kwargs, PyTuple_GET_ITEM(kwnames.get(), i), argv[1 + i]);
            check(type->tp_init(row.get(), no_args.get(), kwargs.get()));
        }
        return row;
    }
};

bool is_numeric(Borrowed pattern, Borrowed token) {
    return !call_method(pattern, n_fullmatch, token).is(Py_None);
}

// A conversion failure or a missing position skips the line.
bool conversion_failed() {
    return catch_error(PyExc_ValueError) || catch_error(PyExc_IndexError) || catch_error(PyExc_OverflowError);
}

// One line read with the host's own str, re and number operations.
void read_line(Borrowed line, Borrowed pattern, RowSink& sink) {
    Ref stripped = call_method(line, n_strip);
    if (PyUnicode_GET_LENGTH(stripped.get()) == 0 || PyUnicode_READ_CHAR(stripped.get(), 0) == '#') return;
    Ref tokens = call_method(stripped, n_split);
    const Py_ssize_t ntokens = PyList_GET_SIZE(tokens.get());
    if (ntokens == 0) return;
    Borrowed first = PyList_GET_ITEM(tokens.get(), 0);
    if (!is_numeric(pattern, first)) return;
    Ref size = Ref::steal_or_null(PyLong_FromUnicodeObject(first.get(), 10));
    if (!size) {
        if (catch_error(PyExc_ValueError)) return;
        raise();
    }
    Ref numerics = new_list();
    list_append(numerics, first);
    for (Py_ssize_t i = 1; i < ntokens; ++i) {
        Borrowed tok = PyList_GET_ITEM(tokens.get(), i);
        if (is_numeric(pattern, tok)) list_append(numerics, tok);
    }
    const Py_ssize_t count = PyList_GET_SIZE(numerics.get());
    if (count < 5) return;
    const Py_ssize_t offset = (count % 2 == 1) ? 3 : 2;

    auto as_float = [&](Py_ssize_t pos) -> Ref {
        if (pos >= count) {
            PyErr_SetString(PyExc_IndexError, "list index out of range");
            return Ref();
        }
        return Ref::steal_or_null(PyFloat_FromString(PyList_GET_ITEM(numerics.get(), pos)));
    };
    Ref time = as_float(offset);
    Ref algbw = time ? as_float(offset + 1) : Ref();
    Ref busbw = algbw ? as_float(offset + 2) : Ref();
    Ref wrong;
    if (busbw) {
        if (count > offset + 3) {
            Ref w = as_float(offset + 3);
            if (w) wrong = Ref::steal_or_null(PyNumber_Long(w.get()));
        } else {
            wrong = Ref::steal(PyLong_FromLong(0));
        }
    }
    if (!wrong) {
        if (conversion_failed()) return;
        raise();
    }
    sink.add(size, busbw, algbw, time, wrong);
}

void read_ascii(std::string_view text, Borrowed pattern, RowSink& sink) {
    table::for_each_line(text, [&](std::string_view line) {
        table::Row row;
        switch (table::scan_line(line, row)) {
            case table::Verdict::Skip: return;
            case table::Verdict::Defer: {
                Ref line_obj = Ref::steal(PyUnicode_FromStringAndSize(line.data(), line.size()));
                read_line(line_obj, pattern, sink);
                return;
            }
            case table::Verdict::Row:
                sink.add(Ref::steal(PyLong_FromLongLong(row.size_bytes)), Ref::steal(PyFloat_FromDouble(row.busbw_gbps)),
                         Ref::steal(PyFloat_FromDouble(row.algbw_gbps)), Ref::steal(PyFloat_FromDouble(row.latency_us)),
                         Ref::steal(PyLong_FromLongLong(row.wrong)));
                return;
        }
    });
}

}  // namespace

void remember_import_objects(Borrowed) {
    ns::keep_import_value(import_numeric, n_NUMERIC);
    ns::keep_import_value(import_row_type, n_NcclResult);
    PyObject* init = nullptr;
    if (PyType_Check(import_row_type)) {
        init = PyDict_GetItemWithError(reinterpret_cast<PyTypeObject*>(import_row_type)->tp_dict, n___init__.get());
        if (!init && PyErr_Occurred()) raise();
    }
    Py_XSETREF(import_row_init, Py_XNewRef(init));
    Py_XSETREF(import_row_code, init && PyFunction_Check(init) ? Py_NewRef(PyFunction_GET_CODE(init)) : nullptr);
}

Ref parse_nccl_table(Args args) {
    Borrowed text = args[0];
    RowSink sink(args[1]);
    Ref pattern = ns::lookup(n_NUMERIC);
    if (pattern.is(import_numeric) && PyUnicode_IS_ASCII(text.get())) {
        const char* data = static_cast<const char*>(PyUnicode_DATA(text.get()));
        read_ascii(std::string_view(data, PyUnicode_GET_LENGTH(text.get())), pattern, sink);
        return std::move(sink.rows);
    }
    Ref lines = call_method(text, n_splitlines);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(lines.get()); ++i) read_line(PyList_GET_ITEM(lines.get(), i), pattern, sink);
    return std::move(sink.rows);
}

Ref collective_name_for_binary(Args args) {
    Ref path = getattr(ns::lookup(n_os), n_path);
    Ref name = call_method(path, n_basename, args[0]);
    Ref labels = ns::lookup(n_COLLECTIVE_NAME_FROM_BIN);
    int known = PySequence_Contains(labels.get(), name.get());
    check(known);
    if (known) return Ref::steal(PyObject_GetItem(labels.get(), name.get()));
    return call_method(name, n_replace, s_perf, s_empty);
}

Ref to_int(Args args) {
    Borrowed raw = args[0];
    if (raw.is_none()) return Ref::none();
    Ref value = Ref::steal_or_null(PyLong_FromUnicodeObject(raw.get(), 10));
    if (value) return value;
    if (catch_error(PyExc_ValueError)) return Ref::none();
    raise();
}

}  // namespace qv::parsing
