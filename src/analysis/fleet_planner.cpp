#include "fleet_planner.hpp"

#include <algorithm>
#include <cmath>
#include <set>
#include <stdexcept>

namespace quorvane::analysis {

const char* purpose_name(Purpose p) {
    switch (p) {
        case Purpose::alone: return "alone";
        case Purpose::pair: return "pair";
        case Purpose::alone_again: return "alone-again";
        case Purpose::re_pair: return "re-pair";
    }
    return "?";
}

const char* standing_name(Standing s) {
    switch (s) {
        case Standing::pending: return "pending";
        case Standing::ok: return "ok";
        case Standing::slow: return "slow";
        case Standing::failed: return "failed";
    }
    return "?";
}

namespace {

bool bad(Standing s) { return s == Standing::slow || s == Standing::failed; }

FleetRun planned_run(Purpose purpose, std::vector<std::string> hosts, bool partner_known_good = false) {
    FleetRun r;
    r.purpose = purpose;
    r.hosts = std::move(hosts);
    r.partner_known_good = partner_known_good;
    return r;
}

std::string percent_below(double value, double median) {
    if (median <= 0.0) return "below the fleet";
    return std::to_string(static_cast<int>(std::lround(100.0 * (1.0 - value / median)))) + "% below the fleet median";
}

}  // namespace

FleetPlanner::FleetPlanner(std::vector<std::string> hosts, JudgeSettings settings, int max_rounds)
    : hosts_(std::move(hosts)), settings_(settings), max_rounds_(max_rounds) {
    if (hosts_.size() < 2) throw std::invalid_argument("a fleet check needs at least two hosts");
    if (max_rounds_ < 3) throw std::invalid_argument("max_rounds must be at least 3");
    reference_of({1.0}, settings_);  // throws on settings out of range
    for (std::size_t i = 0; i < hosts_.size(); ++i) {
        if (hosts_[i].empty()) throw std::invalid_argument("empty host name");
        if (!index_.emplace(hosts_[i], i).second) throw std::invalid_argument("host listed twice: " + hosts_[i]);
    }
    alone_runs_.resize(hosts_.size());
    pair_runs_.resize(hosts_.size());
}

void FleetPlanner::record(int run_id, std::optional<double> busbw, const std::string& problem,
                          const std::string& grade) {
    if (run_id < 0 || static_cast<std::size_t>(run_id) >= runs_.size())
        throw std::invalid_argument("no run " + std::to_string(run_id));
    FleetRun& r = runs_[static_cast<std::size_t>(run_id)];
    if (r.round != round_ || finished_)
        throw std::invalid_argument("run " + std::to_string(run_id) + " is not of the current round");
    if (r.recorded) throw std::invalid_argument("run " + std::to_string(run_id) + " is recorded already");
    if (busbw && (!std::isfinite(*busbw) || *busbw < 0.0))
        throw std::invalid_argument("a bandwidth must be finite and >= 0");
    static const std::set<std::string> grades{"pass", "warn", "fail", "unknown"};
    if (!grades.count(grade)) throw std::invalid_argument("grade must be pass, warn, fail or unknown, not '" + grade + "'");
    r.recorded = true;
    r.busbw_gbps = busbw;
    r.problem = problem;
    r.grade = grade;
}

void FleetPlanner::stop(std::string reason) {
    finished_ = true;
    if (incomplete_.empty()) incomplete_ = std::move(reason);
}

std::vector<FleetRun> FleetPlanner::next_round() {
    if (finished_) return {};
    if (round_ > 0) {
        for (const FleetRun& r : runs_)
            if (r.round == round_ && !r.recorded)
                throw std::logic_error("run " + std::to_string(r.run) + " of round " + std::to_string(round_) +
                                       " is not recorded");
        judge_round();
        if (finished_) return {};
    }
    std::vector<FleetRun> planned = plan();
    if (finished_) return {};
    if (planned.empty()) {
        finished_ = true;
        explain();
        return {};
    }
    if (round_ + 1 > max_rounds_) {
        stop("gave up after " + std::to_string(max_rounds_) + " rounds with results still unexplained");
        explain();
        return {};
    }
    ++round_;
    for (FleetRun& r : planned) {
        r.run = static_cast<int>(runs_.size());
        r.round = round_;
        for (const std::string& h : r.hosts) {
            auto& list = pair_like(r) ? pair_runs_[index_.at(h)] : alone_runs_[index_.at(h)];
            list.push_back(r.run);
        }
        runs_.push_back(r);
    }
    return planned;
}

bool FleetPlanner::make_reference(bool pairs) {
    std::vector<double> values;
    std::size_t total = 0, below_cutoff = 0;
    for (const FleetRun& r : runs_) {
        if (r.round != round_ || pair_like(r) != pairs) continue;
        if (r.purpose != (pairs ? Purpose::pair : Purpose::alone)) continue;
        ++total;
        if (!r.problem.empty() || !r.busbw_gbps) continue;
        values.push_back(*r.busbw_gbps);
        if (r.grade == "fail") ++below_cutoff;
    }
    if (total == 0) return true;
    const char* noun = pairs ? "pairs" : "hosts alone";
    if (values.empty() || 2 * values.size() < total) {
        stop("only " + std::to_string(values.size()) + " of " + std::to_string(total) + " " + noun +
             " gave a trustworthy measurement: too few to tell normal from slow");
        return false;
    }
    Reference ref = reference_of(values, settings_);
    bool& apply = pairs ? cutoffs_pair_ : cutoffs_alone_;
    apply = 2 * below_cutoff < values.size();
    if (!apply)
        fleet_findings_.push_back(make_finding(
            pairs ? "fleet-pairs-below-cutoff" : "fleet-hosts-below-cutoff", Severity::fail,
            std::to_string(below_cutoff) + " of " + std::to_string(values.size()) + " " + noun +
                " grade fail against the fixed cutoffs: the whole fleet is slow, so no host stands out",
            describe(ref, noun)));
    (pairs ? pair_ref_ : alone_ref_) = ref;
    return true;
}

void FleetPlanner::judge(FleetRun& r) const {
    const bool pairs = pair_like(r);
    const std::optional<Reference>& ref = pairs ? pair_ref_ : alone_ref_;
    const bool cutoffs = pairs ? cutoffs_pair_ : cutoffs_alone_;
    if (!r.problem.empty()) {
        r.standing = Standing::failed;
        r.reason = r.problem;
    } else if (!r.busbw_gbps) {
        r.standing = Standing::failed;
        r.reason = "no measurement";
    } else if (ref && *r.busbw_gbps < ref->slow_below_gbps) {
        r.standing = Standing::slow;
        r.reason = gbps(*r.busbw_gbps) + " GB/s, " + percent_below(*r.busbw_gbps, ref->median_gbps);
    } else if (cutoffs && r.grade == "fail") {
        r.standing = Standing::slow;
        r.reason = gbps(*r.busbw_gbps) + " GB/s, below the fixed cutoffs";
    } else {
        r.standing = Standing::ok;
    }
}

void FleetPlanner::judge_round() {
    bool has_alone = false, has_pairs = false;
    for (const FleetRun& r : runs_) {
        if (r.round != round_) continue;
        has_alone |= r.purpose == Purpose::alone;
        has_pairs |= r.purpose == Purpose::pair;
    }
    // A batch too poor for a reference ends the check; its runs are judged all the same.
    if (has_alone && !alone_ref_) make_reference(false);
    if (has_pairs && !pair_ref_ && !finished_) make_reference(true);
    for (FleetRun& r : runs_)
        if (r.round == round_) judge(r);
}

Standing FleetPlanner::alone_state(std::size_t h) const {
    const auto& ids = alone_runs_[h];
    if (ids.empty()) return Standing::pending;
    const FleetRun& first = runs_[static_cast<std::size_t>(ids[0])];
    if (first.standing == Standing::pending || first.standing == Standing::ok) return first.standing;
    if (ids.size() < 2) return Standing::pending;  // bad once: not yet a result to act on
    const FleetRun& again = runs_[static_cast<std::size_t>(ids[1])];
    if (!bad(again.standing)) return again.standing;
    return (first.standing == Standing::failed || again.standing == Standing::failed) ? Standing::failed
                                                                                       : Standing::slow;
}

Standing FleetPlanner::net_state(std::size_t h) const {
    std::size_t bad_count = 0, failed_count = 0;
    bool with_good = false;
    for (int id : pair_runs_[h]) {
        const FleetRun& r = runs_[static_cast<std::size_t>(id)];
        if (r.standing == Standing::ok) return Standing::ok;
        if (!bad(r.standing)) continue;
        ++bad_count;
        failed_count += r.standing == Standing::failed;
        with_good |= r.purpose == Purpose::re_pair && r.partner_known_good && r.hosts[0] == hosts_[h];
    }
    if (bad_count >= 2 && with_good) return failed_count == bad_count ? Standing::failed : Standing::slow;
    return Standing::pending;
}

bool FleetPlanner::known_good(std::size_t h) const {
    return alone_state(h) == Standing::ok && net_state(h) == Standing::ok;
}

bool FleetPlanner::was_partner(std::size_t h, const std::string& other) const {
    for (int id : pair_runs_[h]) {
        const auto& hs = runs_[static_cast<std::size_t>(id)].hosts;
        if (std::find(hs.begin(), hs.end(), other) != hs.end()) return true;
    }
    return false;
}

std::vector<FleetRun> FleetPlanner::plan() {
    std::vector<FleetRun> planned;
    const std::size_t n = hosts_.size();
    if (round_ == 0) {
        for (const std::string& h : hosts_) planned.push_back(planned_run(Purpose::alone, {h}));
        return planned;
    }
    std::vector<bool> busy(n, false);
    if (!paired_) {
        // Disjoint pairs in the given order; a host whose run alone failed sits out.
        paired_ = true;
        std::vector<std::size_t> ready;
        for (std::size_t h = 0; h < n; ++h) {
            const FleetRun& first = runs_[static_cast<std::size_t>(alone_runs_[h][0])];
            if (first.standing != Standing::failed) ready.push_back(h);
        }
        for (std::size_t i = 0; i + 1 < ready.size(); i += 2) {
            planned.push_back(planned_run(Purpose::pair, {hosts_[ready[i]], hosts_[ready[i + 1]]}));
            busy[ready[i]] = busy[ready[i + 1]] = true;
        }
    }
    for (std::size_t h = 0; h < n; ++h) {
        if (busy[h] || alone_runs_[h].size() != 1) continue;
        if (bad(runs_[static_cast<std::size_t>(alone_runs_[h][0])].standing)) {
            planned.push_back(planned_run(Purpose::alone_again, {hosts_[h]}));
            busy[h] = true;
        }
    }
    if (round_ == 1) return planned;  // nobody is known good before the pairs ran
    std::vector<std::size_t> good;
    for (std::size_t h = 0; h < n; ++h)
        if (known_good(h)) good.push_back(h);
    std::vector<std::string> stranded;
    for (std::size_t h = 0; h < n; ++h) {
        if (busy[h] || alone_state(h) != Standing::ok || net_state(h) != Standing::pending) continue;
        bool exists = false;
        std::optional<std::size_t> partner;
        for (std::size_t g : good) {
            if (g == h || was_partner(h, hosts_[g])) continue;
            exists = true;
            if (!busy[g]) {
                partner = g;
                break;
            }
        }
        if (partner) {
            planned.push_back(planned_run(Purpose::re_pair, {hosts_[h], hosts_[*partner]}, true));
            busy[h] = busy[*partner] = true;
        } else if (!exists) {
            stranded.push_back(hosts_[h]);
        }
    }
    if (planned.empty() && !stranded.empty()) {
        std::string names;
        for (std::size_t i = 0; i < stranded.size() && i < 5; ++i) names += (i ? ", " : "") + stranded[i];
        if (stranded.size() > 5) names += ", ...";
        stop("no host known good to pair " + names + " with: " +
             (good.empty() ? "no pair ran clean" : "every known-good host was tried already"));
        explain();
    }
    return planned;
}

Suspect FleetPlanner::name_suspect(std::size_t h, const std::string& kind, const std::vector<int>& bad_ids) const {
    Suspect s;
    s.host = hosts_[h];
    s.kind = kind;
    s.runs = bad_ids;
    const bool pairs = kind == "net";
    const std::optional<Reference>& ref = pairs ? pair_ref_ : alone_ref_;
    const bool cutoffs = pairs ? cutoffs_pair_ : cutoffs_alone_;
    bool any_failed = false, all_below_cutoff = true;
    double best = 0.0;
    std::string parts;
    for (int id : bad_ids) {
        const FleetRun& r = runs_[static_cast<std::size_t>(id)];
        any_failed |= r.standing == Standing::failed;
        all_below_cutoff &= r.grade == "fail";
        if (r.busbw_gbps) best = std::max(best, *r.busbw_gbps);
        std::string what = pairs ? "with " + r.hosts[r.hosts[0] == s.host ? 1 : 0] : std::string(purpose_name(r.purpose));
        if (r.partner_known_good && r.hosts[0] == s.host) what += " (known good)";
        parts += (parts.empty() ? "" : "; ") + what + ": " +
                 (r.standing == Standing::failed ? "failed: " + r.reason : gbps(*r.busbw_gbps) + " GB/s");
    }
    const bool deep = ref && !any_failed && best < ref->fail_below_gbps;
    s.severity = (any_failed || deep || (cutoffs && all_below_cutoff)) ? Severity::fail : Severity::warn;
    s.evidence = parts;
    if (ref) s.evidence += std::string("; the fleet's ") + (pairs ? "pairs" : "hosts alone") + ": " +
                           describe(*ref, pairs ? "pairs" : "hosts");
    if (pairs) {
        const FleetRun& alone = runs_[static_cast<std::size_t>(alone_runs_[h].back())];
        if (alone.busbw_gbps) s.evidence += "; alone it is normal (" + gbps(*alone.busbw_gbps) + " GB/s)";
    }
    return s;
}

std::vector<Suspect> FleetPlanner::suspects() const {
    std::vector<Suspect> out;
    for (std::size_t h = 0; h < hosts_.size(); ++h) {
        if (bad(alone_state(h))) {
            out.push_back(name_suspect(h, "intra", alone_runs_[h]));
        } else if (alone_state(h) == Standing::ok && bad(net_state(h))) {
            std::vector<int> bad_ids;
            for (int id : pair_runs_[h])
                if (bad(runs_[static_cast<std::size_t>(id)].standing)) bad_ids.push_back(id);
            out.push_back(name_suspect(h, "net", bad_ids));
        }
    }
    return out;
}

void FleetPlanner::explain() {
    // A slow pair is explained by the suspect ports among its hosts, else by a
    // host that is slow on its own; with neither, both hosts did well elsewhere.
    std::map<std::string, std::string> kind_of;
    for (const Suspect& s : suspects()) kind_of[s.host] = s.kind;
    for (FleetRun& r : runs_) {
        if (!pair_like(r) || !bad(r.standing)) continue;
        r.explained_by.clear();
        bool all_fine = true;
        for (const char* kind : {"net", "intra"}) {
            for (const std::string& h : r.hosts) {
                auto it = kind_of.find(h);
                if (it != kind_of.end() && it->second == kind) r.explained_by.push_back(h);
            }
            if (!r.explained_by.empty()) break;
        }
        for (const std::string& h : r.hosts) all_fine &= net_state(index_.at(h)) == Standing::ok;
        r.not_reproduced = r.explained_by.empty() && all_fine;
    }
}

std::vector<HostSummary> FleetPlanner::host_summaries() const {
    std::vector<HostSummary> out;
    for (std::size_t h = 0; h < hosts_.size(); ++h) {
        HostSummary s;
        s.host = hosts_[h];
        s.alone = alone_state(h);
        s.network = net_state(h);
        s.known_good = known_good(h);
        s.runs = alone_runs_[h];
        s.runs.insert(s.runs.end(), pair_runs_[h].begin(), pair_runs_[h].end());
        std::sort(s.runs.begin(), s.runs.end());
        out.push_back(std::move(s));
    }
    return out;
}

std::vector<Finding> FleetPlanner::findings() const {
    std::vector<Finding> out = fleet_findings_;
    if (!incomplete_.empty())
        out.push_back(make_finding("fleet-incomplete", Severity::error, "the fleet check could not complete: " + incomplete_));
    for (std::size_t h = 0; h < hosts_.size(); ++h) {
        const auto& ids = alone_runs_[h];
        if (ids.size() == 2 && alone_state(h) == Standing::ok) {
            const FleetRun& first = runs_[static_cast<std::size_t>(ids[0])];
            out.push_back(make_finding("alone-not-reproduced", Severity::note,
                                       hosts_[h] + " was " + standing_name(first.standing) +
                                           " alone once and fine the second time",
                                       first.reason));
        }
    }
    for (const FleetRun& r : runs_)
        if (r.not_reproduced)
            out.push_back(make_finding("pair-not-reproduced", Severity::note,
                                       r.hosts[0] + " and " + r.hosts[1] + " were " + standing_name(r.standing) +
                                           " together once; both were fine with other hosts",
                                       r.reason));
    return out;
}

Severity FleetPlanner::worst() const {
    Severity w = Severity::note;
    for (const Suspect& s : suspects()) w = std::max(w, s.severity);
    for (const Finding& f : findings()) w = std::max(w, f.severity);
    return w;
}

}  // namespace quorvane::analysis
