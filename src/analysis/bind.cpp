// The Python binding of the analysis module: plain value types in and out.
// Each unit of the analysis adds its section here; nothing else includes nanobind.
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include "finding.hpp"

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
}
