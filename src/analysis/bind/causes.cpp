// Failure causes: why a run failed, and the causes folded per collective.
#include "bind.hpp"

#include "../causes.hpp"

namespace quorvane::analysis::bind {

void init_causes(nb::module_& m) {
    namespace qa = quorvane::analysis;
    nb::class_<qa::Cause> cause(m, "Cause", "Why a run failed: a cause code, one line of advice, the evidence.");
    cause.def(nb::init<std::string, std::string, std::string>(), "code"_a, "advice"_a, "evidence"_a = "");
    Record(cause)
        .ro("code", &qa::Cause::code)
        .ro("advice", &qa::Cause::advice)
        .ro("evidence", &qa::Cause::evidence)
        .to_dict("The cause as the record's dict: code, advice, evidence.");
    cause.def(nb::self == nb::self)
        .def("__repr__", [](const qa::Cause& c) { return "Cause(" + c.code + ": " + c.advice + ")"; });

    m.attr("CAUSE_CODES") = [] {
        nb::list codes;
        for (const char* code : qa::kCauseCodes) codes.append(code);
        return nb::tuple(codes);
    }();

    m.def("classify_failure", &qa::classify_failure, "stdout"_a, "stderr"_a, "exit_status"_a,
          "The cause of a failed run, from its whole stdout and stderr and its exit status (124: the runner's "
          "time-out, 127: not started, -N: killed by signal N).");
    m.def("signal_name", &qa::signal_name, "number"_a, "A signal's name without SIG ('SEGV'), or ''.");

    nb::class_<qa::CauseGroup>(m, "CauseGroup", "One cause and every collective that failed that way.")
        .def_ro("cause", &qa::CauseGroup::cause)
        .def_ro("collectives", &qa::CauseGroup::collectives)
        .def("__repr__", [](const qa::CauseGroup& g) {
            std::string names;
            for (const auto& c : g.collectives) names += (names.empty() ? "" : ", ") + c;
            return "CauseGroup(" + g.cause.code + ": " + names + ")";
        });
    m.def("fold_causes", &qa::fold_causes, "causes"_a,
          "Group (collective, Cause) pairs whose code and advice are the same, in first-seen order, so "
          "that a cause shared by several collectives is said once.");
}

}  // namespace quorvane::analysis::bind
