// Fleet statistics: where a fleet's own measurements put "normal", and which
// results fall so far below it that they call for a second look.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace quorvane::analysis {

// How far below the fleet a result must be to count as slow. The cut is the
// median less z robust spreads, but never closer to the median than min_drop
// (identical hosts have no spread, and a 2% dip is no fault) and never further
// than max_drop (in a small fleet one slow pair inflates the spread it is
// judged by). Results slower than fail_drop below the median weigh as "fail",
// slower results closer to the median only as "warn".
struct JudgeSettings {
    double z = 5.0;
    double min_drop = 0.10;
    double max_drop = 0.25;
    double fail_drop = 0.25;
};

// The fleet's normal, from one batch of comparable results (hosts alone, or pairs).
struct Reference {
    std::size_t count = 0;
    double median_gbps = 0.0;
    double spread_gbps = 0.0;      // 1.4826 x median absolute deviation: a standard deviation when normal
    double slow_below_gbps = 0.0;  // below this a result is slow
    double fail_below_gbps = 0.0;  // below this a slow result weighs as "fail"
};

// Median of finite values; std::invalid_argument when empty or not finite.
double median_of(std::vector<double> values);

// 1.4826 times the median absolute deviation from the median (0 for one value).
double robust_spread(const std::vector<double>& values);

// The reference of a batch; std::invalid_argument for an empty batch, a value
// that is not finite or negative, or settings out of range.
Reference reference_of(const std::vector<double>& values, const JudgeSettings& settings = {});

// "median 348.07 GB/s, spread 1.20, slow below 313.26, over 512 pairs"
std::string describe(const Reference& ref, const std::string& noun);

// Numbers in findings and evidence: two decimals.
std::string gbps(double value);

}  // namespace quorvane::analysis
