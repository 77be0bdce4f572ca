#include "finding.hpp"

namespace quorvane::analysis {

const char* severity_name(Severity s) {
    switch (s) {
        case Severity::note: return "note";
        case Severity::warn: return "warn";
        case Severity::fail: return "fail";
        case Severity::error: return "error";
    }
    return "note";
}

}  // namespace quorvane::analysis
