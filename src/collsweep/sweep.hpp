// The sweep drivers: run every collective, gather the rows, grade the report.
#pragma once

#include "../binding/function.hpp"

namespace qv::sweep {

Ref launch_intra_node(Args args);
Ref launch_multi_node(Args args);

}  // namespace qv::sweep
