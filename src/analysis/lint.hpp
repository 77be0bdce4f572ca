// Cutoffs checked against the hardware: a cutoff above what the links allow
// can never pass; one above what healthy hosts measure at the largest size the
// sweep measures fails healthy hosts.
#pragma once

#include <string>
#include <vector>

#include "finding.hpp"

namespace quorvane::analysis {

struct CutoffsInForce {
    std::string gpu_type;
    std::string scope;
    double pass_min_gbps = 0;
    double warn_min_gbps = 0;
    std::string source;  // "built-in" or "override"
};

// One thing the lint found about one cutoff (or one GPU type and scope, where
// `cutoff` is ""). Codes: "unreachable" (fail), "missed-by-healthy"
// (warn), "no-link-budget" and "no-typical-value" (note).
struct LintResult {
    std::string gpu_type;
    std::string scope;
    std::string cutoff;   // "pass", "warn" or ""
    double value_gbps = 0;
    std::string source;   // of the cutoff: "built-in" or "override"
    Finding finding;
    // No healthy host of the type reaches it: above the link budget, or above
    // every healthy value published up to the size checked.
    bool beyond_healthy = false;
};

// `size_bytes` is the largest size the plan measures: each cutoff is checked
// against the healthy value published at the largest size up to it.
std::vector<LintResult> lint_cutoffs(const std::vector<CutoffsInForce>& cutoffs, long long size_bytes);

// Cutoffs a healthy host of the type can earn, for the GPU types and scopes
// whose cutoffs the lint finds a problem with: pass at 95% of the lowest
// healthy value up to `size_bytes` (or, with none published, at 80% of the
// link budget), warn at 80% of it; a cutoff without a problem is kept.
struct SuggestedCutoffs {
    std::string gpu_type;
    std::string scope;
    double pass_min_gbps = 0;
    double warn_min_gbps = 0;
    std::string basis;   // the value the suggestion is made from, and its source
};

std::vector<SuggestedCutoffs> suggest_cutoffs(const std::vector<CutoffsInForce>& cutoffs, long long size_bytes);

// True when any result is a problem (warn or worse): the lint's exit status 1.
bool lint_has_problems(const std::vector<LintResult>& results);

}  // namespace quorvane::analysis
