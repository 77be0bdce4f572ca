// The Python binding of the analysis module: plain value types in and out.
// Each unit of the analysis adds its section here; nothing else includes nanobind.
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/tuple.h>

#include "finding.hpp"
#include "trends.hpp"
// ---- field reader: includes ---------------------------------------------
#include <nanobind/stl/map.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/pair.h>

#include "reader.hpp"
// ---- end field reader: includes -----------------------------------------

namespace nb = nanobind;
using namespace nb::literals;
namespace qa = quorvane::analysis;

// ---- field reader: helpers ------------------------------------------------
namespace {

// The text of a str as UTF-8, without copying where CPython already holds it;
// text with lone surrogates (undecodable bytes kept by "surrogateescape") is
// read with replacement characters instead of failing.
struct Utf8 {
    explicit Utf8(nb::handle text) {
        Py_ssize_t n = 0;
        const char* p = PyUnicode_AsUTF8AndSize(text.ptr(), &n);
        if (!p) {
            PyErr_Clear();
            holder = nb::steal(PyUnicode_AsEncodedString(text.ptr(), "utf-8", "replace"));
            if (!holder.is_valid()) throw nb::python_error();
            p = PyBytes_AS_STRING(holder.ptr());
            n = PyBytes_GET_SIZE(holder.ptr());
        }
        view = std::string_view(p, static_cast<size_t>(n));
    }
    nb::object holder;
    std::string_view view;
};

nb::object optional_float(const std::optional<double>& v) { return v ? nb::cast(*v) : nb::none(); }
nb::object optional_int(const std::optional<int64_t>& v) { return v ? nb::cast(*v) : nb::none(); }

nb::dict finding_dict(const qa::Finding& f) {
    nb::dict d;
    d["code"] = f.code;
    d["severity"] = qa::severity_name(f.severity);
    d["message"] = f.message;
    d["evidence"] = f.evidence;
    return d;
}

// The row as the command's record stores it (the collective is the record's
// key one level up).
nb::dict row_dict(const qa::Row& r) {
    nb::dict d;
    d["size_bytes"] = r.size_bytes;
    d["count"] = r.count;
    d["type"] = r.type;
    d["redop"] = r.redop;
    d["root"] = r.root;
    d["time_us"] = r.time_us;
    d["algbw_gbps"] = r.algbw_gbps;
    d["busbw_gbps"] = r.busbw_gbps;
    d["wrong"] = optional_int(r.wrong);
    if (r.ip_time_us) {
        nb::dict ip;
        ip["time_us"] = *r.ip_time_us;
        ip["algbw_gbps"] = optional_float(r.ip_algbw_gbps);
        ip["busbw_gbps"] = optional_float(r.ip_busbw_gbps);
        ip["wrong"] = optional_int(r.ip_wrong);
        d["in_place"] = ip;
    } else {
        d["in_place"] = nb::none();
    }
    return d;
}

nb::dict rank_dict(const qa::RankLine& r) {
    nb::dict d;
    d["rank"] = r.rank;
    d["group"] = r.group;
    d["pid"] = r.pid;
    d["host"] = r.host;
    d["local_device"] = r.local_device;
    d["busid"] = r.busid;
    d["device"] = r.device;
    return d;
}

}  // namespace
// ---- end field reader: helpers --------------------------------------------

NB_MODULE(analysis, m) {
    m.doc() = "quorvane's analysis of benchmark output, topology and fleets (C++).";

    // ---- findings ------------------------------------------------------------
    nb::enum_<qa::Severity>(m, "Severity", "How much a finding weighs, mildest first.")
        .value("note", qa::Severity::note)
        .value("warn", qa::Severity::warn)
        .value("fail", qa::Severity::fail)
        .value("error", qa::Severity::error);

    nb::class_<qa::Finding>(m, "Finding", "One thing the analysis noticed.")
        .def(nb::init<>())
        .def_rw("code", &qa::Finding::code)
        .def_rw("severity", &qa::Finding::severity)
        .def_rw("message", &qa::Finding::message)
        .def_rw("evidence", &qa::Finding::evidence)
        .def("to_dict", [](const qa::Finding& f) {
            nb::dict d;
            d["code"] = f.code;
            d["severity"] = qa::severity_name(f.severity);
            d["message"] = f.message;
            d["evidence"] = f.evidence;
            return d;
        }, "The finding as a plain dict (severity as its name).")
        .def("__repr__", [](const qa::Finding& f) {
            return "Finding(" + f.code + ", " + qa::severity_name(f.severity) + ", " + f.message + ")";
        });
    // ---- trends across runs (history, compare, baseline) ---------------------
    {
        using Point = std::tuple<std::string, std::int64_t, double>;
        auto points = [](const std::vector<Point>& in) {
            std::vector<qa::BusbwPoint> out;
            out.reserve(in.size());
            for (const auto& [c, s, v] : in) out.push_back(qa::BusbwPoint{c, s, v});
            return out;
        };
        nb::class_<qa::BusbwChange>(m, "BusbwChange", "How one collective at one size moved between two runs.")
            .def_ro("collective", &qa::BusbwChange::collective)
            .def_ro("size_bytes", &qa::BusbwChange::size_bytes)
            .def_ro("before_gbps", &qa::BusbwChange::before_gbps)
            .def_ro("after_gbps", &qa::BusbwChange::after_gbps)
            .def_ro("change_pct", &qa::BusbwChange::change_pct)
            .def_ro("regressed", &qa::BusbwChange::regressed);
        nb::class_<qa::Comparison>(m, "Comparison", "Two runs compared point by point.")
            .def_ro("changes", &qa::Comparison::changes)
            .def_ro("regressed", &qa::Comparison::regressed)
            .def_ro("worst_change_pct", &qa::Comparison::worst_change_pct);
        nb::class_<qa::ProfilePoint>(m, "ProfilePoint", "A site's runs at one collective and size.")
            .def_ro("collective", &qa::ProfilePoint::collective)
            .def_ro("size_bytes", &qa::ProfilePoint::size_bytes)
            .def_ro("runs", &qa::ProfilePoint::runs)
            .def_ro("median_gbps", &qa::ProfilePoint::median_gbps)
            .def_ro("p25_gbps", &qa::ProfilePoint::p25_gbps)
            .def_ro("p75_gbps", &qa::ProfilePoint::p75_gbps);
        nb::class_<qa::SiteCutoffs>(m, "SiteCutoffs", "Cutoffs derived from a site's own headlines.")
            .def_ro("runs", &qa::SiteCutoffs::runs)
            .def_ro("median_gbps", &qa::SiteCutoffs::median_gbps)
            .def_ro("spread_gbps", &qa::SiteCutoffs::spread_gbps)
            .def_ro("pass_min_gbps", &qa::SiteCutoffs::pass_min_gbps)
            .def_ro("warn_min_gbps", &qa::SiteCutoffs::warn_min_gbps);
        m.def("compare_busbw",
              [points](const std::vector<Point>& before, const std::vector<Point>& after, double tolerance_pct) {
                  return qa::compare_busbw(points(before), points(after), tolerance_pct);
              },
              "before"_a, "after"_a, "tolerance_pct"_a,
              "Compare two runs given as (collective, size_bytes, busbw_gbps) points; a point regresses "
              "when it fell by more than tolerance_pct percent.");
        m.def("site_profile",
              [points](const std::vector<std::vector<Point>>& runs, std::size_t min_runs) {
                  std::vector<std::vector<qa::BusbwPoint>> in;
                  in.reserve(runs.size());
                  for (const auto& r : runs) in.push_back(points(r));
                  return qa::site_profile(in, min_runs);
              },
              "runs"_a, "min_runs"_a = 3,
              "Median and middle half per collective and size over runs of (collective, size_bytes, "
              "busbw_gbps) points.");
        m.def("baseline_cutoffs", &qa::baseline_cutoffs, "headlines"_a, "min_runs"_a = 3,
              "Pass and warn cutoffs from a site's headline bus bandwidths: pass at the median less "
              "max(5 %, 3 robust spreads) capped at 15 %, warn at 80 % of the median; None with too few runs.");
    }
    // ---- end trends across runs ---------------------------------------------

    // ---- field reader of nccl-tests output ------------------------------------
    nb::class_<qa::IterStats>(m, "IterStats", "Per-iteration statistics of one block (-I).")
        .def(nb::init<>())
        .def_rw("min_us", &qa::IterStats::min_us)
        .def_rw("max_us", &qa::IterStats::max_us)
        .def_rw("p99_us", &qa::IterStats::p99_us)
        .def_rw("cv_pct", &qa::IterStats::cv_pct);

    nb::class_<qa::Row>(m, "Row",
                        "One row of an nccl-tests table: the out-of-place block, and the in-place block "
                        "when printed (its fields None otherwise). wrong is None where the results were not "
                        "checked (N/A).")
        .def(nb::init<>())
        .def_rw("collective", &qa::Row::collective)
        .def_rw("size_bytes", &qa::Row::size_bytes)
        .def_rw("count", &qa::Row::count)
        .def_rw("type", &qa::Row::type)
        .def_rw("redop", &qa::Row::redop)
        .def_rw("root", &qa::Row::root, "The root rank; -1 when the collective has none.")
        .def_rw("time_us", &qa::Row::time_us)
        .def_rw("algbw_gbps", &qa::Row::algbw_gbps)
        .def_rw("busbw_gbps", &qa::Row::busbw_gbps)
        .def_rw("wrong", &qa::Row::wrong)
        .def_rw("ip_time_us", &qa::Row::ip_time_us)
        .def_rw("ip_algbw_gbps", &qa::Row::ip_algbw_gbps)
        .def_rw("ip_busbw_gbps", &qa::Row::ip_busbw_gbps)
        .def_rw("ip_wrong", &qa::Row::ip_wrong)
        .def_rw("error", &qa::Row::error, "The old layout's error column (largest deviation), else None.")
        .def_rw("ip_error", &qa::Row::ip_error)
        .def_rw("per_iter", &qa::Row::per_iter)
        .def_rw("ip_per_iter", &qa::Row::ip_per_iter)
        .def_rw("timestamp", &qa::Row::timestamp, "The time stamp of -S, else empty.")
        .def("to_dict", &row_dict, "The row as the command's record stores it.")
        .def("to_library", [](const qa::Row& r) {
            return nb::make_tuple(r.collective, r.size_bytes, r.busbw_gbps, r.algbw_gbps, r.time_us,
                                  r.wrong.value_or(0));
        }, "The fields of quorvane.collsweep.NcclResult, in order (unchecked counts as 0 wrong).")
        .def("__repr__", [](const qa::Row& r) {
            return "Row(" + r.collective + ", " + std::to_string(r.size_bytes) + " B, busbw " +
                   std::to_string(r.busbw_gbps) + ")";
        });

    nb::class_<qa::RankLine>(m, "RankLine", "One line of the device list.")
        .def_ro("rank", &qa::RankLine::rank)
        .def_ro("group", &qa::RankLine::group)
        .def_ro("pid", &qa::RankLine::pid)
        .def_ro("host", &qa::RankLine::host)
        .def_ro("local_device", &qa::RankLine::local_device)
        .def_ro("busid", &qa::RankLine::busid)
        .def_ro("device", &qa::RankLine::device)
        .def("to_dict", &rank_dict);

    nb::class_<qa::TableInfo>(m, "TableInfo", "One result table of the output.")
        .def_ro("collective", &qa::TableInfo::collective)
        .def_ro("rows", &qa::TableInfo::rows, "How many rows were read.")
        .def_ro("complete", &qa::TableInfo::complete)
        .def_ro("concluded", &qa::TableInfo::concluded)
        .def_ro("avg_busbw", &qa::TableInfo::avg_busbw)
        .def_ro("out_of_bounds", &qa::TableInfo::out_of_bounds);

    nb::class_<qa::ReadResult>(m, "ReadResult", "What the reader found in one output.")
        .def_ro("rows", &qa::ReadResult::rows, "The rows (a new list on every access).")
        .def_ro("findings", &qa::ReadResult::findings)
        .def_ro("complete", &qa::ReadResult::complete,
                "A whole, clean table: header, rows up to the largest size asked for, footer, no error finding.")
        .def_ro("collective", &qa::ReadResult::collective)
        .def_ro("versions", &qa::ReadResult::versions)
        .def_ro("params", &qa::ReadResult::params)
        .def_ro("ranks", &qa::ReadResult::ranks)
        .def_ro("avg_busbw", &qa::ReadResult::avg_busbw)
        .def_ro("out_of_bounds", &qa::ReadResult::out_of_bounds)
        .def_ro("concluded", &qa::ReadResult::concluded)
        .def_ro("tables", &qa::ReadResult::tables)
        .def("to_dict", [](const qa::ReadResult& r) {
            nb::dict d;
            d["collective"] = r.collective;
            d["complete"] = r.complete;
            d["concluded"] = r.concluded;
            d["avg_busbw"] = optional_float(r.avg_busbw);
            d["out_of_bounds"] = optional_int(r.out_of_bounds);
            d["versions"] = nb::cast(r.versions);
            d["params"] = nb::cast(r.params);
            nb::list ranks, tables, rows, findings;
            for (const auto& x : r.ranks) ranks.append(rank_dict(x));
            for (const auto& t : r.tables) {
                nb::dict td;
                td["collective"] = t.collective;
                td["rows"] = t.rows;
                td["complete"] = t.complete;
                td["concluded"] = t.concluded;
                td["avg_busbw"] = optional_float(t.avg_busbw);
                td["out_of_bounds"] = optional_int(t.out_of_bounds);
                tables.append(td);
            }
            for (const auto& x : r.rows) rows.append(row_dict(x));
            for (const auto& f : r.findings) findings.append(finding_dict(f));
            d["ranks"] = ranks;
            d["tables"] = tables;
            d["rows"] = rows;
            d["findings"] = findings;
            return d;
        }, "Plain values only, fit for strict JSON.");

    m.def("read_output", [](nb::str text, const std::string& collective) {
        Utf8 utf8(text);
        return qa::read_output(utf8.view, collective);
    }, "text"_a, "collective"_a = "",
       "Read the standard output of one nccl-tests (or rccl-tests) run. collective labels the rows; "
       "empty takes the label from the output.");
    m.def("read_json", [](nb::str text, const std::string& collective) {
        Utf8 utf8(text);
        return qa::read_json(utf8.view, collective);
    }, "text"_a, "collective"_a = "",
       "Read an nccl-tests -J file (versions 1 to 3). Its environment dump is never read.");
    m.def("headline", &qa::headline, "rows"_a,
          "The best out-of-place all_reduce bus bandwidth and the size it was measured at, or None.");
    // ---- end field reader --------------------------------------------------
}
