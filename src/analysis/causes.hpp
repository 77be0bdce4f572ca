// Why a benchmark run failed: one cause code, one line of advice and the
// evidence it rests on, read from the run's whole output and exit status.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace quorvane::analysis {

// The cause codes, in the order the classifier tries them where text decides.
inline constexpr const char* kCauseCodes[] = {
    "not-found",   "missing-library", "launcher-plugin", "ssh",       "bootstrap",
    "no-gpu",      "out-of-memory",   "invalid-usage",   "corruption", "bandwidth-gate",
    "timeout",     "signal",          "nccl-error",      "unknown"};

struct Cause {
    std::string code;      // one of kCauseCodes
    std::string advice;    // one line for the operator: what to do next
    std::string evidence;  // the line of output (or the exit status) it rests on

    bool operator==(const Cause&) const = default;
};

// Classify one finished run. `exit_status` is the process's status as the
// runner reports it: 0..255, 124 for the runner's own time-out, 127 when the
// program could not be started, or -N when a signal N ended it. Both texts are
// searched whole; nothing in them is trusted to be well-formed.
Cause classify_failure(std::string_view stdout_text, std::string_view stderr_text, int exit_status);

// A signal's short name without "SIG" ("SEGV"), or "" when unknown.
std::string signal_name(int number);

// Identical causes (same code and advice) across collectives, said once: the
// groups come in the order their first collective came, each naming every
// collective that failed that way.
struct CauseGroup {
    Cause cause;
    std::vector<std::string> collectives;
};
std::vector<CauseGroup> fold_causes(const std::vector<std::pair<std::string, Cause>>& causes);

}  // namespace quorvane::analysis
