// Trends across runs (history, compare, baseline).
#include "bind.hpp"

#include "../trends.hpp"

namespace quorvane::analysis::bind {

void init_trends(nb::module_& m) {
    namespace qa = quorvane::analysis;
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
        .def_ro("judged", &qa::BusbwChange::judged)
        .def_ro("regressed", &qa::BusbwChange::regressed);
    nb::class_<qa::InvalidPoint>(m, "InvalidPoint", "A value that is no bus bandwidth, and where it stood.")
        .def_ro("run", &qa::InvalidPoint::run)
        .def_ro("collective", &qa::InvalidPoint::collective)
        .def_ro("size_bytes", &qa::InvalidPoint::size_bytes)
        .def_ro("busbw_gbps", &qa::InvalidPoint::busbw_gbps);
    nb::class_<qa::Comparison>(m, "Comparison", "Two runs compared point by point.")
        .def_ro("changes", &qa::Comparison::changes)
        .def_ro("regressed", &qa::Comparison::regressed)
        .def_ro("worst_change_pct", &qa::Comparison::worst_change_pct)
        .def_ro("judged", &qa::Comparison::judged)
        .def_ro("lost", &qa::Comparison::lost)
        .def_ro("invalid", &qa::Comparison::invalid);
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
          [points](const std::vector<Point>& before, const std::vector<Point>& after, double tolerance_pct,
                   double plateau_share) {
              return qa::compare_busbw(points(before), points(after), tolerance_pct, plateau_share);
          },
          "before"_a, "after"_a, "tolerance_pct"_a, "plateau_share"_a = 0.0,
          "Compare two runs given as (collective, size_bytes, busbw_gbps) points; a point is judged where "
          "both runs measured it and the first run reached plateau_share of its best for the collective "
          "(0: every size), and regresses when it fell by more than tolerance_pct percent. A collective "
          "the second run lost counts as a regression; values that are no bandwidth are listed as invalid.");
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

}  // namespace quorvane::analysis::bind
