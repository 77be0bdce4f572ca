// Trends across runs: how bus bandwidth moved between two runs, what a site's
// own runs look like at each message size, and the cutoffs those runs suggest.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace quorvane::analysis {

// One measured point of a run: a collective's bus bandwidth at one message size.
struct BusbwPoint {
    std::string collective;
    std::int64_t size_bytes = 0;
    double busbw_gbps = 0.0;
};

struct BusbwChange {
    std::string collective;
    std::int64_t size_bytes = 0;
    std::optional<double> before_gbps;  // absent: not measured in the first run
    std::optional<double> after_gbps;   // absent: not measured in the second run
    std::optional<double> change_pct;   // (after - before) / before x 100; absent without both, or before 0
    bool judged = false;                // measured in both runs and on the first run's bandwidth plateau
    bool regressed = false;             // judged, and after fell by more than the tolerance
};

// A value that is no bus bandwidth (not finite, or negative), and where it stood.
struct InvalidPoint {
    std::string run;  // "A" (the first run) or "B"
    std::string collective;
    std::int64_t size_bytes = 0;
    double busbw_gbps = 0.0;
};

struct Comparison {
    std::vector<BusbwChange> changes;       // collectives in order of first appearance, sizes ascending
    bool regressed = false;                 // any change regressed
    std::optional<double> worst_change_pct; // the lowest change_pct of the judged points
    std::size_t judged = 0;                 // how many points were judged
    std::vector<std::string> lost;          // collectives the first run measured and the second not at all
    std::vector<InvalidPoint> invalid;      // values that are no measurement, in either run
};

// Compares two runs point by point (matched on collective and size). A point is
// judged when both runs measured it and, unless plateau_share is 0, the first
// run's value there is at least plateau_share of that run's best for the
// collective: sizes on the bandwidth plateau, where a change means something,
// not the latency-bound small sizes whose bandwidth swings with any jitter. A
// judged point regresses when after < before x (1 - tolerance_pct / 100).
// Several points for one collective and size in a run: the best counts.
// Non-finite or negative values are listed as invalid and otherwise left out.
// Throws std::invalid_argument unless 0 <= tolerance_pct < 100 and
// 0 <= plateau_share <= 1.
Comparison compare_busbw(const std::vector<BusbwPoint>& before, const std::vector<BusbwPoint>& after,
                         double tolerance_pct, double plateau_share = 0.0);

// A site's runs at one collective and size: how many, the median, and the
// middle half (25th to 75th percentile, linear between ranks).
struct ProfilePoint {
    std::string collective;
    std::int64_t size_bytes = 0;
    std::size_t runs = 0;
    double median_gbps = 0.0;
    double p25_gbps = 0.0;
    double p75_gbps = 0.0;
};

// The profile of a set of runs, one point per collective and size that at
// least min_runs of them measured (the best value of a run counting once).
std::vector<ProfilePoint> site_profile(const std::vector<std::vector<BusbwPoint>>& runs,
                                       std::size_t min_runs);

// Cutoffs from a site's own headlines (best all_reduce bus bandwidth per run).
//
// The rule: M is the median of the headlines and s = 1.4826 x the median
// absolute deviation (a spread that one sick host cannot inflate).
//   pass_min = M - margin, margin = 5 % of M, widened to 3 s when the site's own
//              runs spread more than that, but never beyond 15 % of M;
//   warn_min = 80 % of M (a fifth below the usual is more than noise).
// Both are rounded down to 0.1 GB/s.
struct SiteCutoffs {
    std::size_t runs = 0;
    double median_gbps = 0.0;
    double spread_gbps = 0.0;  // s above
    double pass_min_gbps = 0.0;
    double warn_min_gbps = 0.0;
};

// Nothing when fewer than min_runs usable (finite, positive) headlines are given.
std::optional<SiteCutoffs> baseline_cutoffs(const std::vector<double>& headlines, std::size_t min_runs);

// Linear interpolation between closest ranks; q in [0, 1]; values non-empty.
double percentile(std::vector<double> values, double q);

}  // namespace quorvane::analysis
