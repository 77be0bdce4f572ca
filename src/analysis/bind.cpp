// The Python binding of the analysis module: plain value types in and out.
// Each unit of the analysis adds its section here; nothing else includes nanobind.
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include "finding.hpp"

// ---- causes, caveats, hardware and the cutoff lint: includes ----------------------------
#include <nanobind/stl/map.h>
#include <nanobind/stl/optional.h>
#include <nanobind/operators.h>
#include <nanobind/stl/pair.h>
#include <nanobind/stl/string_view.h>
#include <nanobind/stl/tuple.h>

#include "causes.hpp"
#include "caveats.hpp"
#include "hardware.hpp"
#include "lint.hpp"
// ---- end causes, caveats, hardware and the cutoff lint: includes -------------------------

namespace nb = nanobind;
using namespace nb::literals;
namespace qa = quorvane::analysis;

NB_MODULE(analysis, m) {
    m.doc() = "quorvane's analysis of benchmark output, topology and fleets (C++).";

    // ---- findings ------------------------------------------------------------
    nb::enum_<qa::Severity>(m, "Severity", "How much a finding weighs, mildest first.")
        .value("note", qa::Severity::note)
        .value("warn", qa::Severity::warn)
        .value("fail", qa::Severity::fail)
        .value("error", qa::Severity::error);

    nb::class_<qa::Finding>(m, "Finding", "One thing the analysis noticed.")
        .def(nb::init<>())
        .def_rw("code", &qa::Finding::code)
        .def_rw("severity", &qa::Finding::severity)
        .def_rw("message", &qa::Finding::message)
        .def_rw("evidence", &qa::Finding::evidence)
        .def("to_dict", [](const qa::Finding& f) {
            nb::dict d;
            d["code"] = f.code;
            d["severity"] = qa::severity_name(f.severity);
            d["message"] = f.message;
            d["evidence"] = f.evidence;
            return d;
        }, "The finding as a plain dict (severity as its name).")
        .def("__repr__", [](const qa::Finding& f) {
            return "Finding(" + f.code + ", " + qa::severity_name(f.severity) + ", " + f.message + ")";
        });

    // ---- causes, caveats, hardware and the cutoff lint ----------------------------------
    nb::class_<qa::Cause>(m, "Cause", "Why a run failed: a cause code, one line of advice, the evidence.")
        .def(nb::init<std::string, std::string, std::string>(), "code"_a, "advice"_a, "evidence"_a = "")
        .def_ro("code", &qa::Cause::code)
        .def_ro("advice", &qa::Cause::advice)
        .def_ro("evidence", &qa::Cause::evidence)
        .def("to_dict", [](const qa::Cause& c) {
            nb::dict d;
            d["code"] = c.code;
            d["advice"] = c.advice;
            d["evidence"] = c.evidence;
            return d;
        }, "The cause as the record's dict: code, advice, evidence.")
        .def(nb::self == nb::self)
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

    nb::class_<qa::Caveat>(m, "Caveat", "What a reader must know about a result even when it passes.")
        .def_ro("code", &qa::Caveat::code)
        .def_ro("message", &qa::Caveat::message)
        .def("to_dict", [](const qa::Caveat& c) {
            nb::dict d;
            d["code"] = c.code;
            d["message"] = c.message;
            return d;
        }, "The caveat as the record's dict: code, message.")
        .def(nb::self == nb::self)
        .def("__repr__", [](const qa::Caveat& c) { return "Caveat(" + c.code + ": " + c.message + ")"; });

    m.def("caveats", [](std::string gpu_type, std::string scope, int num_nodes, int gpus_per_node,
                        std::string launcher, std::map<std::string, std::string> environment,
                        std::vector<std::string> forwarded, std::vector<std::pair<std::string, std::string>> ranks,
                        bool emulated) {
              qa::RunShape shape{std::move(gpu_type), std::move(scope), num_nodes, gpus_per_node,
                                 std::move(launcher), {environment.begin(), environment.end()},
                                 std::move(forwarded), std::move(ranks), emulated};
              return qa::caveats_for(shape);
          },
          "gpu_type"_a, "scope"_a, "num_nodes"_a, "gpus_per_node"_a, nb::kw_only(), "launcher"_a = "",
          "environment"_a = std::map<std::string, std::string>{}, "forwarded"_a = std::vector<std::string>{},
          "ranks"_a = std::vector<std::pair<std::string, std::string>>{}, "emulated"_a = false,
          "Caveats of a run: two hosts without NCCL_ALGO=RING, NCCL_* settings mpirun does not forward "
          "(environment: the caller's NCCL_* variables; forwarded: the names the launcher passes on), and "
          "the output's # Rank lines (ranks: (host, device) pairs) against the GPU type, ranks and hosts "
          "asked for.");
    m.def("gpu_type_of_device", &qa::gpu_type_of_device, "device"_a,
          "The GPU type a # Rank line's device name denotes ('NVIDIA H100 80GB HBM3' -> 'H100_SXM'), or None.");

    nb::class_<qa::LinkBudget>(m, "LinkBudget",
                               "The most all_reduce bus bandwidth (GB/s per GPU, one direction) the links allow.")
        .def_ro("gpu_type", &qa::LinkBudget::gpu_type)
        .def_ro("scope", &qa::LinkBudget::scope)
        .def_ro("gbps", &qa::LinkBudget::gbps)
        .def_ro("basis", &qa::LinkBudget::basis)
        .def_ro("source", &qa::LinkBudget::source)
        .def("to_dict", [](const qa::LinkBudget& b) {
            nb::dict d;
            d["gpu_type"] = b.gpu_type;
            d["scope"] = b.scope;
            d["gbps"] = b.gbps;
            d["basis"] = b.basis;
            d["source"] = b.source;
            return d;
        });
    nb::class_<qa::TypicalBusbw>(m, "TypicalBusbw",
                                 "The all_reduce bus bandwidth healthy hosts published at one message size.")
        .def_ro("gpu_type", &qa::TypicalBusbw::gpu_type)
        .def_ro("scope", &qa::TypicalBusbw::scope)
        .def_ro("size_bytes", &qa::TypicalBusbw::size_bytes)
        .def_ro("low_gbps", &qa::TypicalBusbw::low_gbps)
        .def_ro("high_gbps", &qa::TypicalBusbw::high_gbps)
        .def_ro("gpus", &qa::TypicalBusbw::gpus)
        .def_ro("nodes", &qa::TypicalBusbw::nodes)
        .def_ro("source", &qa::TypicalBusbw::source)
        .def("to_dict", [](const qa::TypicalBusbw& t) {
            nb::dict d;
            d["gpu_type"] = t.gpu_type;
            d["scope"] = t.scope;
            d["size_bytes"] = t.size_bytes;
            d["low_gbps"] = t.low_gbps;
            d["high_gbps"] = t.high_gbps;
            d["gpus"] = t.gpus;
            d["nodes"] = t.nodes;
            d["source"] = t.source;
            return d;
        });
    m.def("link_budgets", &qa::link_budgets, "Every link budget known, with its source.");
    m.def("typical_values", &qa::typical_values, "Every typical healthy all_reduce value known, with its source.");
    m.def("link_budget", &qa::link_budget, "gpu_type"_a, "scope"_a, "The link budget of a GPU type, or None.");
    m.def("typical_busbw", &qa::typical_busbw, "gpu_type"_a, "scope"_a, "size_bytes"_a,
          "What healthy hosts of a GPU type measure at one size (low, high, gpus, source), or None.");
    m.def("largest_measured_size", &qa::largest_measured_size, "begin"_a, "end"_a, "factor"_a,
          "The largest size a sweep from begin, multiplying by factor, measures without passing end.");

    nb::class_<qa::LintResult>(m, "LintResult", "What the cutoff lint found about one cutoff.")
        .def_ro("gpu_type", &qa::LintResult::gpu_type)
        .def_ro("scope", &qa::LintResult::scope)
        .def_ro("cutoff", &qa::LintResult::cutoff)
        .def_ro("value_gbps", &qa::LintResult::value_gbps)
        .def_ro("source", &qa::LintResult::source)
        .def_ro("finding", &qa::LintResult::finding)
        .def("to_dict", [](const qa::LintResult& r) {
            nb::dict d;
            d["gpu_type"] = r.gpu_type;
            d["scope"] = r.scope;
            d["cutoff"] = r.cutoff.empty() ? nb::none() : nb::cast(r.cutoff);
            d["value_gbps"] = r.cutoff.empty() ? nb::none() : nb::cast(r.value_gbps);
            d["source"] = r.source;
            d["code"] = r.finding.code;
            d["severity"] = qa::severity_name(r.finding.severity);
            d["message"] = r.finding.message;
            d["evidence"] = r.finding.evidence;
            return d;
        });
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
    // ---- end causes, caveats, hardware and the cutoff lint ------------------------------
}
