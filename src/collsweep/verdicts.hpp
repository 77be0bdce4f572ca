// Thresholds, their environment overrides, and the verdict of a report.
#pragma once

#include "../binding/function.hpp"

namespace qv::verdicts {

extern const Signature threshold_for;
extern const Signature classify;
extern const Signature load_threshold_overrides;
extern const Signature finalize_status;

}  // namespace qv::verdicts
