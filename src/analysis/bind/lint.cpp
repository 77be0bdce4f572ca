// The cutoff lint: cutoffs in force against link budgets and healthy values.
#include "bind.hpp"

#include "../lint.hpp"

namespace quorvane::analysis::bind {

void init_lint(nb::module_& m) {
    namespace qa = quorvane::analysis;
    // Without a cutoff (a GPU type with none) the record has no cutoff and no value.
    auto when_cutoff = [](auto value) {
        return [value](const qa::LintResult& r) { return r.cutoff.empty() ? nb::none() : nb::cast(value(r)); };
    };
    nb::class_<qa::LintResult> lint(m, "LintResult", "What the cutoff lint found about one cutoff.");
    Record(lint)
        .ro("gpu_type", &qa::LintResult::gpu_type)
        .ro("scope", &qa::LintResult::scope)
        .ro_with("cutoff", &qa::LintResult::cutoff, when_cutoff([](const qa::LintResult& r) { return r.cutoff; }))
        .ro_with("value_gbps", &qa::LintResult::value_gbps,
                 when_cutoff([](const qa::LintResult& r) { return r.value_gbps; }))
        .ro("source", &qa::LintResult::source)
        .ro_only("finding", &qa::LintResult::finding)
        .flatten(&qa::LintResult::finding)
        .to_dict();
    m.def("lint_cutoffs", [](const std::vector<std::tuple<std::string, std::string, double, double, std::string>>& rows,
                             long long size_bytes) {
              std::vector<qa::CutoffsInForce> cutoffs;
              for (const auto& [gpu, scope, pass, warn, source] : rows) cutoffs.push_back({gpu, scope, pass, warn, source});
              return qa::lint_cutoffs(cutoffs, size_bytes);
          },
          "cutoffs"_a, "size_bytes"_a,
          "Check (gpu_type, scope, pass_min_gbps, warn_min_gbps, source) cutoffs against the link budgets and "
          "the healthy values at size_bytes.");
    m.def("lint_has_problems", &qa::lint_has_problems, "results"_a,
          "True when any lint result is a warning or worse.");
}

}  // namespace quorvane::analysis::bind
