// Findings: what every unit of the analysis reports.
#include "bind.hpp"

namespace quorvane::analysis::bind {

void init_findings(nb::module_& m) {
    namespace qa = quorvane::analysis;
    nb::enum_<qa::Severity>(m, "Severity", "How much a finding weighs, mildest first.")
        .value("note", qa::Severity::note)
        .value("warn", qa::Severity::warn)
        .value("fail", qa::Severity::fail)
        .value("error", qa::Severity::error);

    nb::class_<qa::Finding> finding(m, "Finding", "One thing the analysis noticed.");
    finding.def(nb::init<>());
    Record(finding)
        .rw("code", &qa::Finding::code)
        .rw("severity", &qa::Finding::severity)
        .rw("message", &qa::Finding::message)
        .rw("evidence", &qa::Finding::evidence)
        .to_dict("The finding as a plain dict (severity as its name).");
    finding.def("__repr__", [](const qa::Finding& f) {
        return "Finding(" + f.code + ", " + qa::severity_name(f.severity) + ", " + f.message + ")";
    });
}

}  // namespace quorvane::analysis::bind
