// The sweep drivers: run every collective, gather the rows, grade the report.
#pragma once

#include "../binding/function.hpp"

namespace qv::sweep {

extern const Signature launch_intra_node;
extern const Signature launch_multi_node;

}  // namespace qv::sweep
