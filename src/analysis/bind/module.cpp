// The analysis module: each unit binds itself (bind/<unit>.cpp), in this order.
#include "bind.hpp"

#include "../../common/python_errors.hpp"

namespace nb = nanobind;
namespace qb = quorvane::analysis::bind;

NB_MODULE(analysis, m) {
    m.doc() = "quorvane's analysis of benchmark output, topology and fleets (C++).";
    // C++ exceptions read as they do from the library.
    nb::register_exception_translator(
        [](const std::exception_ptr& thrown, void*) { quorvane::common::set_python_error(thrown); });
    qb::init_findings(m);
    qb::init_trends(m);
    qb::init_causes(m);
    qb::init_caveats(m);
    qb::init_hardware(m);
    qb::init_lint(m);
    qb::init_fleet(m);
    qb::init_reader(m);
    qb::init_topology(m);
    qb::init_transport(m);
}
