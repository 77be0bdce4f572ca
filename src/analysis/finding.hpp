// A finding: one thing the analysis noticed, in plain values.
#pragma once

#include <string>
#include <utility>

namespace quorvane::analysis {

// Severities, mildest first. "note" is for what the reader adapted to (a format
// variant) and never changes a verdict; "warn" and "fail" grade like the
// verdicts of the same name; "error" means the measurement is incomplete.
enum class Severity { note, warn, fail, error };

const char* severity_name(Severity s);

struct Finding {
    std::string code;      // stable, kebab-case: "wrong-results", "nic-slow", ...
    Severity severity = Severity::note;
    std::string message;   // one line for people, naming the device or collective
    std::string evidence;  // the text or numbers it rests on
};

inline Finding make_finding(std::string code, Severity severity, std::string message,
                            std::string evidence = {}) {
    return Finding{std::move(code), severity, std::move(message), std::move(evidence)};
}

}  // namespace quorvane::analysis
