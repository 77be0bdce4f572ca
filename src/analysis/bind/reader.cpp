// The field reader of nccl-tests output: rows, device lists, tables, results.
#include "bind.hpp"

#include <algorithm>
#include <string_view>
#include <unordered_map>

#include "../hardware.hpp"
#include "../reader.hpp"
#include "../reader_table.hpp"

namespace quorvane::analysis::bind {
namespace {

namespace qa = quorvane::analysis;

// A reading: its rows stay packed in C++ (Python sees them through a view
// that makes a Row when one is read); findings, device list, versions,
// parameters and tables become Python objects once, on first use.
struct ReadResultObject {
    explicit ReadResultObject(qa::ReadResult&& r) : result(std::move(r)) {}
    qa::ReadResult result;
    nb::object findings, ranks, versions, params, tables;

    template <class T>
    static nb::object once(nb::object& slot, const T& value) {
        if (!slot.is_valid()) slot = nb::cast(value);
        return slot;
    }
};

// The rows of a reading as a read-only sequence; it keeps the reading alive.
struct RowsView {
    nb::object owner;
    const qa::ReadResult& result() const { return nb::cast<const ReadResultObject&>(owner).result; }
};

// A new reference, or the pending Python error thrown.
PyObject* checked(PyObject* made) {
    if (!made) throw nb::python_error();
    return made;
}

// d[key] = value, taking the reference to value.
void put(PyObject* d, PyObject* key, PyObject* value) {
    nb::object held = nb::steal(checked(value));
    if (PyDict_SetItem(d, key, held.ptr()) != 0) throw nb::python_error();
}

PyObject* none_or_float(bool present, double value) {
    if (!present) return Py_NewRef(Py_None);
    return PyFloat_FromDouble(value);
}

PyObject* none_or_int(bool present, int64_t value) {
    if (!present) return Py_NewRef(Py_None);
    return PyLong_FromLongLong(value);
}

// Every row as Row.to_dict writes it, in one pass over the packed rows: the
// keys are made once, each data type and operation text once per reading
// (a record of 100,000 rows holds each key and text once, not 100,000 times).
nb::list row_dicts(const qa::ReadResult& r) {
    enum { size_bytes, count, type, redop, root, time_us, algbw_gbps, busbw_gbps, wrong, in_place, n_keys };
    static PyObject* const* keys = [] {
        static PyObject* made[n_keys];
        const char* names[n_keys] = {"size_bytes", "count", "type", "redop", "root", "time_us",
                                     "algbw_gbps", "busbw_gbps", "wrong", "in_place"};
        for (int k = 0; k < n_keys; ++k) made[k] = checked(PyUnicode_InternFromString(names[k]));
        return made;
    }();
    std::vector<nb::object> texts;
    texts.reserve(r.names.size());
    for (const std::string& name : r.names) texts.push_back(nb::steal(checked(str_of(name))));
    using P = qa::PackedRow;
    nb::list rows = nb::steal<nb::list>(checked(PyList_New(static_cast<Py_ssize_t>(r.rows.size()))));
    for (size_t i = 0; i < r.rows.size(); ++i) {
        const P& p = r.rows[i];
        nb::object d = nb::steal(checked(PyDict_New()));
        put(d.ptr(), keys[size_bytes], PyLong_FromLongLong(p.size_bytes));
        put(d.ptr(), keys[count], PyLong_FromLongLong(p.count));
        put(d.ptr(), keys[type], Py_NewRef(texts.at(p.type).ptr()));
        put(d.ptr(), keys[redop], Py_NewRef(texts.at(p.redop).ptr()));
        put(d.ptr(), keys[root], PyLong_FromLongLong(p.root));
        put(d.ptr(), keys[time_us], PyFloat_FromDouble(p.time_us));
        put(d.ptr(), keys[algbw_gbps], PyFloat_FromDouble(p.algbw_gbps));
        put(d.ptr(), keys[busbw_gbps], PyFloat_FromDouble(p.busbw_gbps));
        put(d.ptr(), keys[wrong], none_or_int(p.has(P::has_wrong), p.wrong));
        if (p.has(P::in_place)) {
            nb::object ip = nb::steal(checked(PyDict_New()));
            put(ip.ptr(), keys[time_us], PyFloat_FromDouble(p.ip_time_us));
            put(ip.ptr(), keys[algbw_gbps], none_or_float(p.has(P::has_ip_algbw), p.ip_algbw_gbps));
            put(ip.ptr(), keys[busbw_gbps], none_or_float(p.has(P::has_ip_busbw), p.ip_busbw_gbps));
            put(ip.ptr(), keys[wrong], none_or_int(p.has(P::has_ip_wrong), p.ip_wrong));
            put(d.ptr(), keys[in_place], ip.release().ptr());
        } else {
            put(d.ptr(), keys[in_place], Py_NewRef(Py_None));
        }
        PyList_SET_ITEM(rows.ptr(), static_cast<Py_ssize_t>(i), d.release().ptr());
    }
    return rows;
}

// True when instances of `cls` can be made as its generated __init__ makes
// them without running any Python: a frozen dataclass of exactly `fields`
// fields, made by object.__new__, with no __post_init__ (its __init__ then
// does no more than object.__setattr__ of each field, in order). `names` gets
// the field names.
bool plain_dataclass(nb::handle cls, Py_ssize_t fields, nb::object& names) {
    if (!PyType_Check(cls.ptr())) return false;
    if (reinterpret_cast<PyTypeObject*>(cls.ptr())->tp_new != PyBaseObject_Type.tp_new) return false;
    if (PyObject_HasAttrString(cls.ptr(), "__post_init__")) return false;
    nb::object declared = nb::steal(PyObject_GetAttrString(cls.ptr(), "__dataclass_fields__"));
    nb::object params = nb::steal(PyObject_GetAttrString(cls.ptr(), "__dataclass_params__"));
    nb::object frozen = params.is_valid() ? nb::steal(PyObject_GetAttrString(params.ptr(), "frozen")) : nb::object();
    PyErr_Clear();
    if (!declared.is_valid() || !frozen.is_valid() || frozen.ptr() != Py_True) return false;
    if (!PyDict_Check(declared.ptr()) || PyDict_Size(declared.ptr()) != fields) return false;
    names = nb::steal(checked(PyDict_Keys(declared.ptr())));
    return true;
}

}  // namespace

void init_reader(nb::module_& m) {
    nb::class_<qa::IterStats>(m, "IterStats", "Per-iteration statistics of one block (-I).")
        .def(nb::init<>())
        .def_rw("min_us", &qa::IterStats::min_us)
        .def_rw("max_us", &qa::IterStats::max_us)
        .def_rw("p99_us", &qa::IterStats::p99_us)
        .def_rw("cv_pct", &qa::IterStats::cv_pct);

    nb::class_<qa::Row> row(m, "Row",
                            "One row of an nccl-tests table: the out-of-place block, and the in-place block "
                            "when printed (its fields None otherwise). wrong is None where the results were not "
                            "checked (N/A).");
    row.def(nb::init<>());
    // The record keeps the collective one level up and the in-place block as
    // one nested dict.
    Record(row)
        .rw_only("collective", &qa::Row::collective)
        .rw("size_bytes", &qa::Row::size_bytes)
        .rw("count", &qa::Row::count)
        .rw("type", &qa::Row::type)
        .rw("redop", &qa::Row::redop)
        .rw("root", &qa::Row::root, "The root rank; -1 when the collective has none.")
        .rw("time_us", &qa::Row::time_us)
        .rw("algbw_gbps", &qa::Row::algbw_gbps)
        .rw("busbw_gbps", &qa::Row::busbw_gbps)
        .rw("wrong", &qa::Row::wrong)
        .rw_only("ip_time_us", &qa::Row::ip_time_us)
        .rw_only("ip_algbw_gbps", &qa::Row::ip_algbw_gbps)
        .rw_only("ip_busbw_gbps", &qa::Row::ip_busbw_gbps)
        .rw_only("ip_wrong", &qa::Row::ip_wrong)
        .rw_only("error", &qa::Row::error, "The old layout's error column (largest deviation), else None.")
        .rw_only("ip_error", &qa::Row::ip_error)
        .rw_only("per_iter", &qa::Row::per_iter)
        .rw_only("ip_per_iter", &qa::Row::ip_per_iter)
        .rw_only("timestamp", &qa::Row::timestamp, "The time stamp of -S, else empty.")
        .key("in_place", [](const qa::Row& r) -> nb::object {
            if (!r.ip_time_us) return nb::none();
            nb::dict ip;
            ip["time_us"] = *r.ip_time_us;
            ip["algbw_gbps"] = plain(r.ip_algbw_gbps);
            ip["busbw_gbps"] = plain(r.ip_busbw_gbps);
            ip["wrong"] = plain(r.ip_wrong);
            return ip;
        })
        .to_dict("The row as the command's record stores it.");
    row.def("to_library", [](const qa::Row& r) {
           return nb::make_tuple(r.collective, r.size_bytes, r.busbw_gbps, r.algbw_gbps, r.time_us,
                                 r.wrong.value_or(0));
       }, "The fields of quorvane.collsweep.NcclResult, in order (unchecked counts as 0 wrong).")
        .def("__repr__", [](const qa::Row& r) {
            return "Row(" + r.collective + ", " + std::to_string(r.size_bytes) + " B, busbw " +
                   std::to_string(r.busbw_gbps) + ")";
        });

    nb::class_<qa::RankLine> rank(m, "RankLine", "One line of the device list.");
    Record(rank)
        .ro("rank", &qa::RankLine::rank)
        .ro("group", &qa::RankLine::group)
        .ro("pid", &qa::RankLine::pid)
        .ro("host", &qa::RankLine::host)
        .ro("local_device", &qa::RankLine::local_device)
        .ro("busid", &qa::RankLine::busid)
        .ro("device", &qa::RankLine::device)
        .to_dict();

    nb::class_<qa::TableInfo> table(m, "TableInfo", "One result table of the output.");
    Record(table)
        .ro("collective", &qa::TableInfo::collective)
        .ro("rows", &qa::TableInfo::rows, "How many rows were read.")
        .ro("complete", &qa::TableInfo::complete)
        .ro("concluded", &qa::TableInfo::concluded)
        .ro("avg_busbw", &qa::TableInfo::avg_busbw)
        .ro("out_of_bounds", &qa::TableInfo::out_of_bounds);

    nb::class_<RowsView>(m, "Rows", "The rows of a reading, in the order printed: a read-only sequence of Row.")
        .def("__len__", [](const RowsView& v) { return v.result().rows.size(); })
        .def("__getitem__", [](const RowsView& v, Py_ssize_t i) {
            const Py_ssize_t n = static_cast<Py_ssize_t>(v.result().rows.size());
            if (i < 0) i += n;
            if (i < 0 || i >= n) throw nb::index_error("row index out of range");
            return v.result().row(static_cast<size_t>(i));
        }, "index"_a);

    using O = ReadResultObject;
    nb::class_<O> result(m, "ReadResult", "What the reader found in one output.");
    Record(result)
        .prop("collective", [](const O& o) { return o.result.collective; })
        .prop("complete", [](const O& o) { return o.result.complete; },
              "A whole, clean table: header, rows up to the largest size asked for, footer, "
              "no error finding.")
        .prop("concluded", [](const O& o) { return o.result.concluded; })
        .prop("avg_busbw", [](const O& o) { return o.result.avg_busbw; })
        .prop("out_of_bounds", [](const O& o) { return o.result.out_of_bounds; })
        .prop_with("versions", [](O& o) { return nb::borrow<nb::typed<nb::dict, nb::str, nb::str>>(O::once(o.versions, o.result.versions)); },
                   [](const O& o) { return nb::cast(o.result.versions); })
        .prop_with("params", [](O& o) { return nb::borrow<nb::typed<nb::dict, nb::str, nb::str>>(O::once(o.params, o.result.params)); },
                   [](const O& o) { return nb::cast(o.result.params); })
        .prop_with("ranks", [](O& o) { return nb::borrow<nb::typed<nb::list, qa::RankLine>>(O::once(o.ranks, o.result.ranks)); },
                   [](const O& o) { return o.result.ranks; })
        .prop_with("tables", [](O& o) { return nb::borrow<nb::typed<nb::list, qa::TableInfo>>(O::once(o.tables, o.result.tables)); },
                   [](const O& o) { return o.result.tables; })
        .prop_with("rows", [](nb::handle self) { return RowsView{nb::borrow(self)}; },
                   [](const O& o) { return nb::object(row_dicts(o.result)); },
                   "The rows, in the order printed: a sequence that makes each Row when it is read.")
        .prop_with("findings", [](O& o) { return nb::borrow<nb::typed<nb::list, qa::Finding>>(O::once(o.findings, o.result.findings)); },
                   [](const O& o) { return o.result.findings; })
        .to_dict("Plain values only, fit for strict JSON: the whole reading in one conversion.");
    result
        .def("library_rows", [](const O& o) {
            nb::list rows;
            for (const qa::PackedRow& r : o.result.rows)
                rows.append(nb::make_tuple(o.result.collective_of(r), r.size_bytes, r.busbw_gbps, r.algbw_gbps,
                                           r.time_us, r.has(qa::PackedRow::has_wrong) ? r.wrong : 0));
            return rows;
        }, "Every row as the fields of quorvane.collsweep.NcclResult, in order (unchecked counts as 0 wrong).")
        .def("library_results", [](const O& o, nb::handle cls) {
            // What [cls(*fields) for fields in library_rows()] gives, made in one pass without
            // running cls's Python code.
            constexpr Py_ssize_t n_fields = 6;
            nb::object names;
            if (!plain_dataclass(cls, n_fields, names))
                throw nb::type_error("library_results: cls must be a frozen dataclass of the six fields of "
                                     "quorvane.collsweep.NcclResult, without __post_init__");
            nb::tuple empty;
            std::unordered_map<std::string_view, nb::object> labels;
            nb::list out = nb::steal<nb::list>(checked(PyList_New(static_cast<Py_ssize_t>(o.result.rows.size()))));
            for (size_t i = 0; i < o.result.rows.size(); ++i) {
                const qa::PackedRow& r = o.result.rows[i];
                const std::string& collective = o.result.collective_of(r);
                nb::object& label = labels[collective];
                if (!label.is_valid()) label = nb::steal(checked(str_of(collective)));
                PyObject* values[n_fields] = {
                    Py_NewRef(label.ptr()), checked(PyLong_FromLongLong(r.size_bytes)),
                    PyFloat_FromDouble(r.busbw_gbps), PyFloat_FromDouble(r.algbw_gbps), PyFloat_FromDouble(r.time_us),
                    PyLong_FromLongLong(r.has(qa::PackedRow::has_wrong) ? r.wrong : 0)};
                nb::object held[n_fields];
                for (Py_ssize_t k = 0; k < n_fields; ++k) held[k] = nb::steal(checked(values[k]));
                nb::object made = nb::steal(checked(
                    PyBaseObject_Type.tp_new(reinterpret_cast<PyTypeObject*>(cls.ptr()), empty.ptr(), nullptr)));
                for (Py_ssize_t k = 0; k < n_fields; ++k)
                    if (PyObject_GenericSetAttr(made.ptr(), PyList_GET_ITEM(names.ptr(), k), held[k].ptr()) != 0)
                        throw nb::python_error();
                PyList_SET_ITEM(out.ptr(), static_cast<Py_ssize_t>(i), made.release().ptr());
            }
            return out;
        }, "cls"_a,
           "Every row as an instance of cls (quorvane.collsweep.NcclResult, a frozen dataclass), equal to "
           "cls(*fields) for the fields of library_rows(), made in one pass; any other cls is a TypeError.")
        .def("headline", [](const O& o) { return qa::headline(o.result); },
             "The best out-of-place all_reduce bus bandwidth and its size, or None; rows found implausible "
             "never count.")
        .def("check_link_budget", [](O& o, const std::string& gpu_type, const std::string& scope) {
            std::vector<qa::Finding> found;
            if (auto budget = qa::link_budget(gpu_type, scope)) {
                found = qa::check_link_budget(o.result, 2 * budget->gbps,
                                              qa::detail::format_number(budget->gbps) + " GB/s, " + budget->basis);
            } else {
                // A type without a budget (a site's own, with its cutoffs in the
                // overrides) has no links ten times faster than the fastest known.
                double fastest = 0;
                for (const qa::LinkBudget& b : qa::link_budgets()) fastest = std::max(fastest, b.gbps);
                found = qa::check_link_budget(o.result, 10 * fastest,
                                              "five times the fastest link budget known (" +
                                                  qa::detail::format_number(fastest) + " GB/s)");
            }
            nb::list out;
            for (const qa::Finding& f : found) out.append(as_dict(f));
            return out;
        }, "gpu_type"_a, "scope"_a,
           "Marks the rows whose bus bandwidth is above twice the GPU type's link budget (no reduction in "
           "the switch gets a GPU past its links twice over; for a type without a budget, ten times the "
           "fastest budget known) and returns one finding dict per table.");

    // The reading itself holds no Python object: other threads run meanwhile
    // (the command loads what it needs next while a big output is read).
    m.def("read_output", [](std::string_view text, std::string_view collective) {
        qa::ReadResult read;
        {
            nb::gil_scoped_release unlocked;
            read = qa::read_output(text, collective);
        }
        return O(std::move(read));
    }, "text"_a, "collective"_a = "",
       "Read the standard output of one nccl-tests (or rccl-tests) run. collective labels the rows; "
       "empty takes the label from the output (or, failing that, from its columns).");
    m.def("read_output_parts", [](std::string_view text, std::string_view collective) {
        std::vector<qa::ReadResult> parts;
        {
            nb::gil_scoped_release unlocked;
            parts = qa::read_output_parts(text, collective);
        }
        nb::list out;
        for (qa::ReadResult& p : parts) out.append(nb::cast(O(std::move(p))));
        return nb::typed<nb::list, O>(out);
    }, "text"_a, "collective"_a = "",
       "Read an output that may hold several runs one after another: one ReadResult per table, each with "
       "its own run's findings, device list and parameters.");
    m.def("read_json", [](std::string_view text, std::string_view collective) {
        qa::ReadResult read;
        {
            nb::gil_scoped_release unlocked;
            read = qa::read_json(text, collective);
        }
        return O(std::move(read));
    }, "text"_a, "collective"_a = "",
       "Read an nccl-tests -J file (versions 1 to 3). Its environment dump is never read.");
    m.def("headline", nb::overload_cast<const std::vector<qa::Row>&>(&qa::headline), "rows"_a,
          "The best out-of-place all_reduce bus bandwidth and the size it was measured at, or None.");
}

}  // namespace quorvane::analysis::bind
