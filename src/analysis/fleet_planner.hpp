// The fleet planner: which runs to make, round by round, to find the slow host
// or the bad network port among many, and whom to name on what evidence.
//
// Round 1 runs every host alone. Round 2 pairs the hosts disjointly (those
// whose run alone failed sit it out) and runs every pair; a host that failed
// alone runs alone again meanwhile. Later rounds localise: a host that was
// slow alone runs alone again; each host of a slow pair that is fine alone is
// re-paired with a host already known good (fine alone and in a pair). A host
// is named only on two independent bad results: twice alone (kind "intra"), or
// in two pairs with different partners, one of them known good (kind "net").
// The planner measures nothing: the caller runs each round and records what
// every run gave.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "finding.hpp"
#include "fleet_stats.hpp"

namespace quorvane::analysis {

enum class Purpose { alone, pair, alone_again, re_pair };
enum class Standing { pending, ok, slow, failed };

const char* purpose_name(Purpose p);    // "alone", "pair", "alone-again", "re-pair"
const char* standing_name(Standing s);  // "pending", "ok", "slow", "failed"

struct FleetRun {
    int run = 0;  // its number, from 0 in the order planned
    int round = 0;
    Purpose purpose = Purpose::alone;
    std::vector<std::string> hosts;  // one host alone, two in a pair (a re-pair: the tested host first)
    bool partner_known_good = false; // re-pair: hosts[1] was known good when the run was planned
    // What the run gave (record) and how it was judged.
    bool recorded = false;
    std::optional<double> busbw_gbps;
    std::string problem;  // why the result cannot be trusted (run failed, wrong results); empty if it can
    std::string grade;    // against the fixed cutoffs: pass, warn, fail, unknown
    Standing standing = Standing::pending;
    std::string reason;   // for slow or failed: why
    std::vector<std::string> explained_by;  // slow or failed pairs: the suspects among its hosts
    bool not_reproduced = false;            // slow or failed pair whose hosts were both fine with others
};

struct Suspect {
    std::string host;
    std::string kind;  // "intra": slow on its own; "net": slow only with others
    Severity severity = Severity::warn;
    std::string evidence;
    std::vector<int> runs;  // the results it rests on
};

struct HostSummary {
    std::string host;
    Standing alone = Standing::pending;    // after a second run where the first was bad
    Standing network = Standing::pending;  // pending: never tested, or never settled
    bool known_good = false;
    std::vector<int> runs;
};

class FleetPlanner {
public:
    // std::invalid_argument for fewer than two hosts, an empty or repeated name, bad settings.
    explicit FleetPlanner(std::vector<std::string> hosts, JudgeSettings settings = {}, int max_rounds = 6);

    // Judges the round just recorded and plans the next; empty when the check is over.
    // std::logic_error while a run of the current round is unrecorded.
    std::vector<FleetRun> next_round();

    // What one run of the current round gave. busbw: the headline (GB/s), absent when
    // nothing was measured; problem: why it cannot be trusted ("" when it can);
    // grade: pass|warn|fail|unknown against the fixed cutoffs. std::invalid_argument
    // for an unknown run, one of another round, one recorded twice, or a bad value.
    void record(int run_id, std::optional<double> busbw_gbps, const std::string& problem, const std::string& grade);

    bool finished() const { return finished_; }
    bool complete() const { return finished_ && incomplete_.empty(); }
    const std::string& incomplete_reason() const { return incomplete_; }
    int rounds() const { return round_; }
    const std::vector<FleetRun>& runs() const { return runs_; }
    const std::vector<std::string>& hosts() const { return hosts_; }
    const std::optional<Reference>& alone_reference() const { return alone_ref_; }
    const std::optional<Reference>& pair_reference() const { return pair_ref_; }

    std::vector<Suspect> suspects() const;
    std::vector<HostSummary> host_summaries() const;
    std::vector<Finding> findings() const;  // about the fleet as a whole
    Severity worst() const;                 // of suspects and findings; note when there is nothing

private:
    bool pair_like(const FleetRun& r) const { return r.purpose == Purpose::pair || r.purpose == Purpose::re_pair; }
    void judge_round();
    bool make_reference(bool pairs);
    void judge(FleetRun& r) const;
    Standing alone_state(std::size_t h) const;
    Standing net_state(std::size_t h) const;
    bool known_good(std::size_t h) const;
    bool was_partner(std::size_t h, const std::string& other) const;
    std::vector<FleetRun> plan();
    void explain();
    void stop(std::string reason);
    Suspect name_suspect(std::size_t h, const std::string& kind, const std::vector<int>& bad) const;

    std::vector<std::string> hosts_;
    std::map<std::string, std::size_t> index_;
    JudgeSettings settings_;
    int max_rounds_;
    int round_ = 0;
    bool finished_ = false;
    bool paired_ = false;
    std::string incomplete_;
    std::vector<FleetRun> runs_;
    std::vector<std::vector<int>> alone_runs_;  // per host, run ids
    std::vector<std::vector<int>> pair_runs_;
    std::optional<Reference> alone_ref_, pair_ref_;
    bool cutoffs_alone_ = true, cutoffs_pair_ = true;  // the fixed cutoffs judge only a fleet mostly above them
    std::vector<Finding> fleet_findings_;
};

}  // namespace quorvane::analysis
