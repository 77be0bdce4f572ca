// The field reader of nccl-tests output: rows, device lists, tables, results.
#include "bind.hpp"

#include "../reader.hpp"

namespace quorvane::analysis::bind {
namespace {

namespace qa = quorvane::analysis;

// A result whose rows became Python objects once, when it was made.
struct ReadResultObject {
    explicit ReadResultObject(qa::ReadResult&& r) {
        for (qa::Row& row : r.rows) rows.append(nb::cast(std::move(row)));
        r.rows = {};
        result = std::move(r);
    }
    qa::ReadResult result;
    nb::list rows;
};

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
        .prop("versions", [](const O& o) { return o.result.versions; })
        .prop("params", [](const O& o) { return o.result.params; })
        .prop("ranks", [](const O& o) { return o.result.ranks; })
        .prop("tables", [](const O& o) { return o.result.tables; })
        .prop_with("rows", [](const O& o) { return nb::borrow<nb::typed<nb::list, qa::Row>>(o.rows); },
                   [](const O& o) {
                       nb::list rows;
                       for (nb::handle x : o.rows) rows.append(as_dict(nb::cast<const qa::Row&>(x)));
                       return nb::object(rows);
                   },
                   "The rows, in the order printed (the same list on every access).")
        .prop("findings", [](const O& o) { return o.result.findings; })
        .to_dict("Plain values only, fit for strict JSON.");

    m.def("read_output", [](nb::str text, const std::string& collective) {
        Utf8 utf8(text);
        return O(qa::read_output(utf8.view, collective));
    }, "text"_a, "collective"_a = "",
       "Read the standard output of one nccl-tests (or rccl-tests) run. collective labels the rows; "
       "empty takes the label from the output.");
    m.def("read_json", [](nb::str text, const std::string& collective) {
        Utf8 utf8(text);
        return O(qa::read_json(utf8.view, collective));
    }, "text"_a, "collective"_a = "",
       "Read an nccl-tests -J file (versions 1 to 3). Its environment dump is never read.");
    m.def("headline", &qa::headline, "rows"_a,
          "The best out-of-place all_reduce bus bandwidth and the size it was measured at, or None.");
}

}  // namespace quorvane::analysis::bind
