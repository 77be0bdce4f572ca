// The fleet: statistics of comparable results and the localisation planner.
#include "bind.hpp"

#include "../fleet_planner.hpp"
#include "../fleet_stats.hpp"

namespace quorvane::analysis::bind {

void init_fleet(nb::module_& m) {
    namespace qa = quorvane::analysis;
    nb::class_<qa::JudgeSettings>(m, "JudgeSettings",
        "How far below the fleet's median a result must be to count as slow (see the C++ header).")
        .def("__init__", [](qa::JudgeSettings* self, double z, double min_drop, double max_drop, double fail_drop) {
            new (self) qa::JudgeSettings{z, min_drop, max_drop, fail_drop};
        }, "z"_a = 5.0, "min_drop"_a = 0.10, "max_drop"_a = 0.25, "fail_drop"_a = 0.25)
        .def_rw("z", &qa::JudgeSettings::z)
        .def_rw("min_drop", &qa::JudgeSettings::min_drop)
        .def_rw("max_drop", &qa::JudgeSettings::max_drop)
        .def_rw("fail_drop", &qa::JudgeSettings::fail_drop);

    nb::class_<qa::Reference> reference(m, "Reference", "The fleet's normal for one batch of comparable results.");
    Record(reference)
        .ro("count", &qa::Reference::count)
        .ro_as("median", "median_gbps", &qa::Reference::median_gbps)
        .ro_as("spread", "spread_gbps", &qa::Reference::spread_gbps)
        .ro_as("cut", "slow_below_gbps", &qa::Reference::slow_below_gbps)
        .ro_as("fail_below", "fail_below_gbps", &qa::Reference::fail_below_gbps)
        .to_dict();

    m.def("median_of", &qa::median_of, "values"_a, "Median of finite values (ValueError when empty).");
    m.def("robust_spread", &qa::robust_spread, "values"_a,
          "1.4826 x the median absolute deviation: a standard deviation for normal data, unmoved by outliers.");
    m.def("reference_of", &qa::reference_of, "values"_a, "settings"_a = qa::JudgeSettings{},
          "Median, robust spread and the cut below which a result is slow, for one batch of results.");

    nb::class_<qa::FleetRun> run(m, "FleetRun", "One planned run of a fleet check and, once recorded, its judgement.");
    Record(run)
        .ro_as("id", "run", &qa::FleetRun::run)
        .ro("round", &qa::FleetRun::round)
        .prop("purpose", [](const qa::FleetRun& r) { return std::string(qa::purpose_name(r.purpose)); })
        .ro("hosts", &qa::FleetRun::hosts)
        .ro_only("recorded", &qa::FleetRun::recorded)
        .ro("busbw_gbps", &qa::FleetRun::busbw_gbps)
        .ro_only("problem", &qa::FleetRun::problem)
        .ro("grade", &qa::FleetRun::grade)
        .prop("standing", [](const qa::FleetRun& r) { return std::string(qa::standing_name(r.standing)); })
        .ro_with("reason", &qa::FleetRun::reason,
                 [](const qa::FleetRun& r) { return r.reason.empty() ? nb::none() : nb::cast(r.reason); })
        // Only a pair says who its partner was and what explains it.
        .keys_if([](const qa::FleetRun& r) { return r.purpose == qa::Purpose::pair || r.purpose == qa::Purpose::re_pair; },
                 [](auto& pair) {
                     pair.ro("partner_known_good", &qa::FleetRun::partner_known_good)
                         .ro("explained_by", &qa::FleetRun::explained_by)
                         .ro("not_reproduced", &qa::FleetRun::not_reproduced);
                 })
        .to_dict("The run as a plain dict for the record.");

    nb::class_<qa::Suspect> suspect(m, "Suspect", "A host named on two independent bad results.");
    Record(suspect)
        .ro("host", &qa::Suspect::host)
        .ro("kind", &qa::Suspect::kind)
        .ro("severity", &qa::Suspect::severity)
        .ro("evidence", &qa::Suspect::evidence)
        .ro("runs", &qa::Suspect::runs)
        .to_dict();

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
}

}  // namespace quorvane::analysis::bind
