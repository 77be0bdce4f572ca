// The analysis module: each unit binds itself (bind/<unit>.cpp), in this order.
#include "bind.hpp"

namespace qb = quorvane::analysis::bind;

NB_MODULE(analysis, m) {
    m.doc() = "quorvane's analysis of benchmark output, topology and fleets (C++).";
    qb::init_findings(m);
    qb::init_trends(m);
    qb::init_causes(m);
    qb::init_caveats(m);
    qb::init_hardware(m);
    qb::init_lint(m);
    qb::init_fleet(m);
    qb::init_reader(m);
    qb::init_topology(m);
}
