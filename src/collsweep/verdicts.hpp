// Thresholds, their environment overrides, and the verdict of a report.
#pragma once

#include "../binding/function.hpp"

namespace qv::verdicts {

Ref load_threshold_overrides(Args args);
Ref threshold_for(Args args);
Ref classify(Args args);
Ref finalize_status(Args args);

}  // namespace qv::verdicts
