#include "fleet_stats.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <stdexcept>

namespace quorvane::analysis {

double median_of(std::vector<double> values) {
    if (values.empty()) throw std::invalid_argument("median of no values");
    for (double v : values)
        if (!std::isfinite(v)) throw std::invalid_argument("median of a value that is not finite");
    const std::size_t mid = values.size() / 2;
    std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(mid), values.end());
    const double upper = values[mid];
    if (values.size() % 2 == 1) return upper;
    const double lower = *std::max_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(mid));
    return (lower + upper) / 2.0;
}

double robust_spread(const std::vector<double>& values) {
    const double centre = median_of(values);
    std::vector<double> deviations;
    deviations.reserve(values.size());
    for (double v : values) deviations.push_back(std::fabs(v - centre));
    return 1.4826 * median_of(std::move(deviations));
}

Reference reference_of(const std::vector<double>& values, const JudgeSettings& s) {
    if (!(s.z >= 0.0) || !(s.min_drop >= 0.0) || !(s.max_drop >= s.min_drop) || s.max_drop > 1.0 ||
        !(s.fail_drop >= 0.0) || s.fail_drop > 1.0)
        throw std::invalid_argument("judge settings out of range: need z >= 0, 0 <= min_drop <= max_drop <= 1, "
                                    "0 <= fail_drop <= 1");
    for (double v : values)
        if (!std::isfinite(v) || v < 0.0) throw std::invalid_argument("a bandwidth must be finite and >= 0");
    Reference ref;
    ref.count = values.size();
    ref.median_gbps = median_of(values);
    ref.spread_gbps = robust_spread(values);
    const double drop = std::clamp(s.z * ref.spread_gbps, s.min_drop * ref.median_gbps, s.max_drop * ref.median_gbps);
    ref.slow_below_gbps = ref.median_gbps - drop;
    ref.fail_below_gbps = ref.median_gbps * (1.0 - s.fail_drop);
    return ref;
}

std::string gbps(double value) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.2f", value);
    return buf;
}

std::string describe(const Reference& ref, const std::string& noun) {
    return "median " + gbps(ref.median_gbps) + " GB/s, spread " + gbps(ref.spread_gbps) + ", slow below " +
           gbps(ref.slow_below_gbps) + ", over " + std::to_string(ref.count) + " " + noun;
}

}  // namespace quorvane::analysis
