// The Python binding of the analysis module: plain value types in and out.
// Each unit of the analysis adds its section here; nothing else includes nanobind.
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>
#include <nanobind/stl/optional.h>

#include "finding.hpp"
#include "fleet_planner.hpp"
#include "fleet_stats.hpp"
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

    // ---- fleet: statistics and the localisation planner ------------------------
    nb::class_<qa::JudgeSettings>(m, "JudgeSettings",
        "How far below the fleet's median a result must be to count as slow (see the C++ header).")
        .def("__init__", [](qa::JudgeSettings* self, double z, double min_drop, double max_drop, double fail_drop) {
            new (self) qa::JudgeSettings{z, min_drop, max_drop, fail_drop};
        }, "z"_a = 5.0, "min_drop"_a = 0.10, "max_drop"_a = 0.25, "fail_drop"_a = 0.25)
        .def_rw("z", &qa::JudgeSettings::z)
        .def_rw("min_drop", &qa::JudgeSettings::min_drop)
        .def_rw("max_drop", &qa::JudgeSettings::max_drop)
        .def_rw("fail_drop", &qa::JudgeSettings::fail_drop);

    nb::class_<qa::Reference>(m, "Reference", "The fleet's normal for one batch of comparable results.")
        .def_ro("count", &qa::Reference::count)
        .def_ro("median", &qa::Reference::median)
        .def_ro("spread", &qa::Reference::spread)
        .def_ro("cut", &qa::Reference::cut)
        .def_ro("fail_below", &qa::Reference::fail_below)
        .def("to_dict", [](const qa::Reference& r) {
            nb::dict d;
            d["count"] = r.count;
            d["median_gbps"] = r.median;
            d["spread_gbps"] = r.spread;
            d["slow_below_gbps"] = r.cut;
            d["fail_below_gbps"] = r.fail_below;
            return d;
        });

    m.def("median_of", &qa::median_of, "values"_a, "Median of finite values (ValueError when empty).");
    m.def("robust_spread", &qa::robust_spread, "values"_a,
          "1.4826 x the median absolute deviation: a standard deviation for normal data, unmoved by outliers.");
    m.def("reference_of", &qa::reference_of, "values"_a, "settings"_a = qa::JudgeSettings{},
          "Median, robust spread and the cut below which a result is slow, for one batch of results.");

    nb::class_<qa::FleetRun>(m, "FleetRun", "One planned run of a fleet check and, once recorded, its judgement.")
        .def_ro("id", &qa::FleetRun::id)
        .def_ro("round", &qa::FleetRun::round)
        .def_prop_ro("purpose", [](const qa::FleetRun& r) { return std::string(qa::purpose_name(r.purpose)); })
        .def_ro("hosts", &qa::FleetRun::hosts)
        .def_ro("partner_known_good", &qa::FleetRun::partner_known_good)
        .def_ro("recorded", &qa::FleetRun::recorded)
        .def_ro("busbw_gbps", &qa::FleetRun::busbw_gbps)
        .def_ro("problem", &qa::FleetRun::problem)
        .def_ro("grade", &qa::FleetRun::grade)
        .def_prop_ro("standing", [](const qa::FleetRun& r) { return std::string(qa::standing_name(r.standing)); })
        .def_ro("reason", &qa::FleetRun::reason)
        .def_ro("explained_by", &qa::FleetRun::explained_by)
        .def_ro("not_reproduced", &qa::FleetRun::not_reproduced)
        .def("to_dict", [](const qa::FleetRun& r) {
            nb::dict d;
            d["run"] = r.id;
            d["round"] = r.round;
            d["purpose"] = qa::purpose_name(r.purpose);
            d["hosts"] = r.hosts;
            d["busbw_gbps"] = r.busbw_gbps;
            d["grade"] = r.grade;
            d["standing"] = qa::standing_name(r.standing);
            d["reason"] = r.reason.empty() ? nb::none() : nb::cast(r.reason);
            if (r.purpose == qa::Purpose::pair || r.purpose == qa::Purpose::re_pair) {
                d["partner_known_good"] = r.partner_known_good;
                d["explained_by"] = r.explained_by;
                d["not_reproduced"] = r.not_reproduced;
            }
            return d;
        }, "The run as a plain dict for the record.");

    nb::class_<qa::Suspect>(m, "Suspect", "A host named on two independent bad results.")
        .def_ro("host", &qa::Suspect::host)
        .def_ro("kind", &qa::Suspect::kind)
        .def_ro("severity", &qa::Suspect::severity)
        .def_ro("evidence", &qa::Suspect::evidence)
        .def_ro("runs", &qa::Suspect::runs)
        .def("to_dict", [](const qa::Suspect& s) {
            nb::dict d;
            d["host"] = s.host;
            d["kind"] = s.kind;
            d["severity"] = qa::severity_name(s.severity);
            d["evidence"] = s.evidence;
            d["runs"] = s.runs;
            return d;
        });

    nb::class_<qa::HostSummary>(m, "HostSummary", "Where one host stands after the check.")
        .def_ro("host", &qa::HostSummary::host)
        .def_prop_ro("alone", [](const qa::HostSummary& h) { return std::string(qa::standing_name(h.alone)); })
        .def_prop_ro("network", [](const qa::HostSummary& h) { return std::string(qa::standing_name(h.network)); })
        .def_ro("known_good", &qa::HostSummary::known_good)
        .def_ro("runs", &qa::HostSummary::runs);

    nb::class_<qa::FleetPlanner>(m, "FleetPlanner",
        "Plans a fleet check round by round: every host alone, disjoint pairs, then re-pairing with "
        "known-good hosts until every slow result is explained. Names a host only on two bad results.")
        .def(nb::init<std::vector<std::string>, qa::JudgeSettings, int>(), "hosts"_a,
             "settings"_a = qa::JudgeSettings{}, "max_rounds"_a = 6)
        .def("next_round", &qa::FleetPlanner::next_round,
             "Judge the round just recorded and plan the next; an empty list when the check is over.")
        .def("record", &qa::FleetPlanner::record, "run_id"_a, "busbw_gbps"_a.none(), "problem"_a = "",
             "grade"_a = "unknown", "What one run of the current round gave.")
        .def_prop_ro("finished", &qa::FleetPlanner::finished)
        .def_prop_ro("complete", &qa::FleetPlanner::complete)
        .def_prop_ro("incomplete_reason", &qa::FleetPlanner::incomplete_reason)
        .def_prop_ro("rounds", &qa::FleetPlanner::rounds)
        .def_prop_ro("runs", &qa::FleetPlanner::runs)
        .def_prop_ro("hosts", &qa::FleetPlanner::hosts)
        .def_prop_ro("alone_reference", &qa::FleetPlanner::alone_reference)
        .def_prop_ro("pair_reference", &qa::FleetPlanner::pair_reference)
        .def("suspects", &qa::FleetPlanner::suspects)
        .def("host_summaries", &qa::FleetPlanner::host_summaries)
        .def("findings", &qa::FleetPlanner::findings)
        .def("worst", &qa::FleetPlanner::worst,
             "The heaviest severity among suspects and fleet findings (note when there is nothing).");
    // ---- end of fleet -----------------------------------------------------------

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
