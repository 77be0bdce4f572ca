#include "trends.hpp"

#include <algorithm>
#include <cmath>
#include <map>
#include <stdexcept>
#include <utility>

namespace quorvane::analysis {
namespace {

using Key = std::pair<std::size_t, std::int64_t>;  // (collective's order, size)

bool usable(double v) { return std::isfinite(v) && v >= 0.0; }

// Collective names in order of first appearance, shared by the runs read through it.
struct Names {
    std::vector<std::string> order;
    std::size_t index(const std::string& name) {
        auto it = std::find(order.begin(), order.end(), name);
        if (it != order.end()) return static_cast<std::size_t>(it - order.begin());
        order.push_back(name);
        return order.size() - 1;
    }
};

// The best value per (collective, size) of one run.
std::map<Key, double> best_points(const std::vector<BusbwPoint>& run, Names& names) {
    std::map<Key, double> best;
    for (const auto& p : run) {
        if (!usable(p.busbw_gbps)) continue;
        Key key{names.index(p.collective), p.size_bytes};
        auto [it, fresh] = best.emplace(key, p.busbw_gbps);
        if (!fresh) it->second = std::max(it->second, p.busbw_gbps);
    }
    return best;
}

double floor_tenth(double v) { return std::floor(v * 10.0 + 1e-9) / 10.0; }

}  // namespace

double percentile(std::vector<double> values, double q) {
    if (values.empty()) throw std::invalid_argument("percentile of no values");
    std::sort(values.begin(), values.end());
    double rank = q * static_cast<double>(values.size() - 1);
    auto lo = static_cast<std::size_t>(std::floor(rank));
    auto hi = std::min(lo + 1, values.size() - 1);
    return values[lo] + (values[hi] - values[lo]) * (rank - static_cast<double>(lo));
}

Comparison compare_busbw(const std::vector<BusbwPoint>& before, const std::vector<BusbwPoint>& after,
                         double tolerance_pct, double plateau_share) {
    if (!(tolerance_pct >= 0.0 && tolerance_pct < 100.0))
        throw std::invalid_argument("tolerance must be a percentage from 0 up to (not including) 100");
    if (!(plateau_share >= 0.0 && plateau_share <= 1.0))
        throw std::invalid_argument("the plateau share must be from 0 to 1");
    Comparison out;
    for (const auto* run : {&before, &after})
        for (const auto& p : *run)
            if (!usable(p.busbw_gbps))
                out.invalid.push_back(InvalidPoint{run == &before ? "A" : "B", p.collective, p.size_bytes,
                                                   p.busbw_gbps});
    Names names;
    auto a = best_points(before, names);
    auto b = best_points(after, names);
    std::map<Key, BusbwChange> merged;
    std::map<std::size_t, double> best_before;
    for (const auto& [key, v] : a) {
        merged[key].before_gbps = v;
        best_before[key.first] = std::max(best_before[key.first], v);
    }
    std::map<std::size_t, bool> measured_after;
    for (const auto& [key, v] : b) {
        merged[key].after_gbps = v;
        measured_after[key.first] = true;
    }

    const double keep = 1.0 - tolerance_pct / 100.0;
    for (auto& [key, change] : merged) {
        change.collective = names.order[key.first];
        change.size_bytes = key.second;
        if (change.before_gbps && change.after_gbps) {
            double was = *change.before_gbps, now = *change.after_gbps;
            if (was > 0.0) change.change_pct = (now - was) / was * 100.0;
            else if (now == 0.0) change.change_pct = 0.0;
            change.judged = was >= plateau_share * best_before[key.first];
            change.regressed = change.judged && now < was * keep;
        }
        if (change.judged) {
            ++out.judged;
            if (change.change_pct && (!out.worst_change_pct || *change.change_pct < *out.worst_change_pct))
                out.worst_change_pct = change.change_pct;
        }
        out.regressed = out.regressed || change.regressed;
        out.changes.push_back(std::move(change));
    }
    for (const auto& [coll, best] : best_before)
        if (!measured_after.count(coll)) out.lost.push_back(names.order[coll]);
    out.regressed = out.regressed || !out.lost.empty();
    return out;
}

std::vector<ProfilePoint> site_profile(const std::vector<std::vector<BusbwPoint>>& runs,
                                       std::size_t min_runs) {
    Names names;
    std::map<Key, std::vector<double>> seen;
    for (const auto& run : runs)
        for (const auto& [key, v] : best_points(run, names)) seen[key].push_back(v);
    std::vector<ProfilePoint> out;
    for (const auto& [key, values] : seen) {
        if (values.size() < std::max<std::size_t>(min_runs, 1)) continue;
        out.push_back(ProfilePoint{names.order[key.first], key.second, values.size(),
                                   percentile(values, 0.5), percentile(values, 0.25),
                                   percentile(values, 0.75)});
    }
    return out;
}

std::optional<SiteCutoffs> baseline_cutoffs(const std::vector<double>& headlines, std::size_t min_runs) {
    std::vector<double> values;
    for (double v : headlines)
        if (std::isfinite(v) && v > 0.0) values.push_back(v);
    if (values.empty() || values.size() < min_runs) return std::nullopt;
    const double median = percentile(values, 0.5);
    std::vector<double> deviations;
    for (double v : values) deviations.push_back(std::fabs(v - median));
    const double spread = 1.4826 * percentile(deviations, 0.5);
    const double margin = std::min(std::max(0.05 * median, 3.0 * spread), 0.15 * median);
    return SiteCutoffs{values.size(), median, spread, floor_tenth(median - margin),
                       floor_tenth(0.80 * median)};
}

}  // namespace quorvane::analysis
