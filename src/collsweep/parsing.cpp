#include "parsing.hpp"

#include <string_view>
#include <vector>

#include "../binding/lookup.hpp"
#include "names.hpp"
#include "table_scan.hpp"

namespace qv::parsing {

namespace {

using lookup::lookup;

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
    PyObject* init = PyDict_GetItemWithError(cls->tp_dict, names::dunder_init.get());
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
    Borrowed collective;  // the caller's argument, held by the call
    Ref rows;
    Ref no_args;

    explicit RowSink(Borrowed collective_label)
        : row_type(lookup(names::NcclResult)),
          kwnames(tuple_of({names::collective, names::size_bytes, names::busbw_gbps, names::algbw_gbps,
                            names::latency_us, names::wrong})),
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
    return !call_method(pattern, names::fullmatch, token).is(Py_None);
}

// A conversion failure or a missing position skips the line.
bool conversion_failed() {
    return catch_error(PyExc_ValueError) || catch_error(PyExc_IndexError) || catch_error(PyExc_OverflowError);
}

// A list of str as a tuple: code that the pattern runs may find the tuple but
// cannot take its items away while they are read.
Ref frozen(Ref list) { return Ref::steal(PyList_AsTuple(list.get())); }

// One line read with the host's own str, re and number operations.
void read_line(Borrowed line, Borrowed pattern, RowSink& sink) {
    Ref stripped = call_method(line, names::strip);
    if (PyUnicode_GET_LENGTH(stripped.get()) == 0 || PyUnicode_READ_CHAR(stripped.get(), 0) == '#') return;
    Ref tokens = frozen(call_method(stripped, names::split));
    const Py_ssize_t ntokens = PyTuple_GET_SIZE(tokens.get());
    if (ntokens == 0) return;
    PyObject* first = PyTuple_GET_ITEM(tokens.get(), 0);
    if (!is_numeric(pattern, first)) return;
    Ref size = Ref::steal_or_null(PyLong_FromUnicodeObject(first, 10));
    if (!size) {
        if (catch_error(PyExc_ValueError)) return;
        raise();
    }
    std::vector<PyObject*> numerics{first};  // held by `tokens`
    for (Py_ssize_t i = 1; i < ntokens; ++i) {
        PyObject* tok = PyTuple_GET_ITEM(tokens.get(), i);
        if (is_numeric(pattern, tok)) numerics.push_back(tok);
    }
    const std::size_t count = numerics.size();
    if (count < 5) return;
    const std::size_t offset = (count % 2 == 1) ? 3 : 2;

    auto as_float = [&](std::size_t pos) -> Ref {
        if (pos >= count) {
            PyErr_SetString(PyExc_IndexError, "list index out of range");
            return Ref();
        }
        return Ref::steal_or_null(PyFloat_FromString(numerics[pos]));
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
            wrong = integer(0);
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
                sink.add(integer(row.size_bytes), Ref::steal(PyFloat_FromDouble(row.busbw_gbps)),
                         Ref::steal(PyFloat_FromDouble(row.algbw_gbps)), Ref::steal(PyFloat_FromDouble(row.latency_us)),
                         integer(row.wrong));
                return;
        }
    });
}

constexpr Param table_params[] = {positional("text", Check::Text, "str"),
                                  positional("collective", Check::Text, "str")};

Ref parse_table(const Arguments<table_params>& a) {
    Borrowed text = a.get<"text">();  // the caller's str: its data stays put for the call
    RowSink sink(a.get<"collective">());
    Ref pattern = lookup(names::NUMERIC);
    if (pattern.is(import_numeric) && PyUnicode_IS_ASCII(text.get())) {
        const char* data = static_cast<const char*>(PyUnicode_DATA(text.get()));
        read_ascii(std::string_view(data, PyUnicode_GET_LENGTH(text.get())), pattern, sink);
        return std::move(sink.rows);
    }
    Ref lines = frozen(call_method(text, names::splitlines));
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(lines.get()); ++i) read_line(PyTuple_GET_ITEM(lines.get(), i), pattern, sink);
    return std::move(sink.rows);
}

constexpr Param label_params[] = {positional("binary", Check::Text, "str")};

Ref label_for(const Arguments<label_params>& a) {
    Ref path = getattr(lookup(names::os), names::path);
    Ref name = call_method(path, names::basename, a.get<"binary">());
    Ref labels = lookup(names::COLLECTIVE_NAME_FROM_BIN);
    int known = PySequence_Contains(labels.get(), name.get());
    check(known);
    if (known) return item(labels, name);
    return call_method(name, names::replace, names::perf_suffix, names::empty);
}

constexpr Param to_int_params[] = {positional("raw", Check::OptText, "str | None")};

Ref text_to_int(const Arguments<to_int_params>& a) {
    Borrowed raw = a.get<"raw">();
    if (raw.is_none()) return Ref::none();
    Ref value = Ref::steal_or_null(PyLong_FromUnicodeObject(raw.get(), 10));
    if (value) return value;
    if (catch_error(PyExc_ValueError)) return Ref::none();
    raise();
}

}  // namespace

const Signature collective_name_for_binary = signature<label_params, label_for>(
    "collective_name_for_binary", nullptr, "str",
    "Map an nccl-tests executable name or path to its short collective label\n"
    "('all_reduce_perf' -> 'all_reduce').");

const Signature parse_nccl_table = signature<table_params, parse_table>(
    "parse_nccl_table", nullptr, "list[NcclResult]",
    "Parse the result table printed by one nccl-tests run into rows, one per\n"
    "data line, each taken from the out-of-place columns. Never raises for any\n"
    "text: lines that cannot be read are skipped, so partial output still\n"
    "yields the rows it has.");

const Signature to_int = signature<to_int_params, text_to_int>(
    "_to_int", nullptr, "int | None",
    "int() of a text, or None when the text is absent or not a base-10 integer.");

void remember_import_objects(Borrowed) {
    lookup::keep_import_value(import_numeric, names::NUMERIC);
    lookup::keep_import_value(import_row_type, names::NcclResult);
    PyObject* init = nullptr;
    if (PyType_Check(import_row_type)) {
        init = PyDict_GetItemWithError(reinterpret_cast<PyTypeObject*>(import_row_type)->tp_dict,
                                       names::dunder_init.get());
        if (!init && PyErr_Occurred()) raise();
    }
    Py_XSETREF(import_row_init, Py_XNewRef(init));
    Py_XSETREF(import_row_code, init && PyFunction_Check(init) ? Py_NewRef(PyFunction_GET_CODE(init)) : nullptr);
}

}  // namespace qv::parsing
