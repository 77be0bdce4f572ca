#include "lint.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <tuple>

#include "hardware.hpp"

namespace quorvane::analysis {

namespace {

std::string num(double value) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.6g", value);
    return buf;
}

std::string size_text(long long bytes) {
    static const char* units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    int unit = 0;
    while (unit < 4 && bytes >= 1024 && bytes % 1024 == 0) {
        bytes /= 1024;
        ++unit;
    }
    return std::to_string(bytes) + " " + units[unit];
}

std::string range(const TypicalBusbw& t) {
    std::string values = t.low_gbps == t.high_gbps ? num(t.low_gbps) : num(t.low_gbps) + "-" + num(t.high_gbps);
    std::string where = t.gpus <= 0   ? std::string("GPU count not stated")
                        : t.nodes > 1 ? std::to_string(t.nodes) + " hosts, " + std::to_string(t.gpus) + " GPUs"
                                      : std::to_string(t.gpus) + " GPUs";
    return values + " GB/s at " + size_text(t.size_bytes) + ", " + where;
}

double round_down(double gbps) { return std::floor(gbps * 10.0) / 10.0; }

LintResult result(const CutoffsInForce& c, const char* which, double value, const char* code, Severity severity,
                  std::string message, std::string evidence) {
    return LintResult{c.gpu_type, c.scope, which, value, c.source,
                      make_finding(code, severity, std::move(message), std::move(evidence))};
}

}  // namespace

std::vector<LintResult> lint_cutoffs(const std::vector<CutoffsInForce>& cutoffs, long long size_bytes) {
    std::vector<LintResult> out;
    const std::string at = size_text(size_bytes);
    for (const auto& c : cutoffs) {
        const std::string who = c.gpu_type + " " + c.scope;
        const auto budget = link_budget(c.gpu_type, c.scope);
        const auto typical = typical_up_to(c.gpu_type, c.scope, size_bytes);
        if (!budget) {
            out.push_back(result(c, "", 0, "no-link-budget", Severity::note,
                                 who + ": no link budget known, so the cutoffs are not checked against the hardware",
                                 ""));
        }
        if (!typical) {
            out.push_back(result(c, "", 0, "no-typical-value", Severity::note,
                                 who + ": no published healthy all_reduce value up to " + at +
                                     ", so the cutoffs are not checked against healthy hosts",
                                 ""));
        }
        for (auto [which, value, grade] : {std::tuple{"pass", c.pass_min_gbps, "warn"},
                                           std::tuple{"warn", c.warn_min_gbps, "fail"}}) {
            const std::string cutoff = who + " " + which + " cutoff " + num(value) + " GB/s";
            if (budget && value > budget->gbps) {
                out.push_back(result(c, which, value, "unreachable", Severity::fail,
                                     cutoff + " is above the link budget of " + num(budget->gbps) +
                                         " GB/s: no host of this type can reach it",
                                     budget->basis + " (" + budget->source + ")"));
                out.back().beyond_healthy = true;
            } else if (typical && value > typical->low_gbps) {
                const bool all = value > typical->high_gbps;
                out.push_back(result(
                    c, which, value, "missed-by-healthy", Severity::warn,
                    cutoff + (all ? " is above every healthy value up to " : " is inside the healthy range up to ") +
                        at + ", the largest size the plan measures (" + range(*typical) + "): " +
                        (all ? "a healthy host" : "healthy hosts at the low end") + " will grade " + grade,
                    typical->source));
                out.back().beyond_healthy = all;
            }
        }
    }
    return out;
}

std::vector<SuggestedCutoffs> suggest_cutoffs(const std::vector<CutoffsInForce>& cutoffs, long long size_bytes) {
    std::vector<SuggestedCutoffs> out;
    for (const auto& c : cutoffs) {
        bool pass_bad = false, warn_bad = false;
        for (const auto& r : lint_cutoffs({c}, size_bytes)) {
            if (r.finding.severity < Severity::warn) continue;
            (r.cutoff == "pass" ? pass_bad : warn_bad) = true;
        }
        if (!pass_bad && !warn_bad) continue;
        const auto budget = link_budget(c.gpu_type, c.scope);
        const auto typical = typical_up_to(c.gpu_type, c.scope, size_bytes);
        double ceiling = 0;
        std::string basis;
        if (typical) {
            ceiling = budget ? std::min(typical->low_gbps, budget->gbps) : typical->low_gbps;
            basis = "the lowest healthy value up to " + size_text(size_bytes) + ", " + range(*typical) + " (" +
                    typical->source + ")";
        } else if (budget) {
            ceiling = budget->gbps * 0.8;
            basis = "80% of the link budget of " + num(budget->gbps) + " GB/s, no healthy value being published (" +
                    budget->basis + ")";
        }
        if (ceiling <= 0) continue;
        double pass = pass_bad ? round_down(ceiling * 0.95) : c.pass_min_gbps;
        double warn = warn_bad ? round_down(ceiling * 0.8) : c.warn_min_gbps;
        if (warn > pass) warn = round_down(std::min(ceiling * 0.8, pass));
        out.push_back({c.gpu_type, c.scope, pass, warn, basis});
    }
    return out;
}

bool lint_has_problems(const std::vector<LintResult>& results) {
    for (const auto& r : results)
        if (r.finding.severity >= Severity::warn) return true;
    return false;
}

}  // namespace quorvane::analysis
