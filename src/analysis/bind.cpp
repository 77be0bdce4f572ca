// The Python binding of the analysis module: plain value types in and out.
// Each unit of the analysis adds its section here; nothing else includes nanobind.
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>
#include <nanobind/stl/optional.h>

#include "finding.hpp"
#include "fleet_planner.hpp"
#include "fleet_stats.hpp"

namespace nb = nanobind;
using namespace nb::literals;
namespace qa = quorvane::analysis;

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
}
