// What is asked of a reading once it is made: rows with their texts, the
// headline, the split into runs and the check against the links' budget.
#include <algorithm>

#include "reader.hpp"
#include "reader_table.hpp"

namespace quorvane::analysis {

namespace {
const std::string kEmpty;
constexpr size_t kMaxNames = 4096;
}  // namespace

const std::string& ReadResult::name(uint16_t index) const { return index < names.size() ? names[index] : kEmpty; }

const std::string& ReadResult::collective_of(const PackedRow& r) const {
    return r.table < tables.size() ? tables[r.table].collective : collective;
}

uint16_t ReadResult::intern(std::string_view text) {
    // Few distinct texts: the last ones are the likeliest again.
    for (size_t i = names.size(); i-- > 0;)
        if (names[i] == text) return static_cast<uint16_t>(i);
    if (names.size() >= kMaxNames) return static_cast<uint16_t>(names.size() - 1);
    names.emplace_back(text);
    return static_cast<uint16_t>(names.size() - 1);
}

Row ReadResult::row(size_t index) const {
    const PackedRow& p = rows.at(index);
    Row r;
    r.collective = collective_of(p);
    r.size_bytes = p.size_bytes;
    r.count = p.count;
    r.type = name(p.type);
    r.redop = name(p.redop);
    r.root = p.root;
    r.time_us = p.time_us, r.algbw_gbps = p.algbw_gbps, r.busbw_gbps = p.busbw_gbps;
    if (p.has(PackedRow::has_wrong)) r.wrong = p.wrong;
    if (p.has(PackedRow::in_place)) {
        r.ip_time_us = p.ip_time_us;
        if (p.has(PackedRow::has_ip_algbw)) r.ip_algbw_gbps = p.ip_algbw_gbps;
        if (p.has(PackedRow::has_ip_busbw)) r.ip_busbw_gbps = p.ip_busbw_gbps;
    }
    if (p.has(PackedRow::has_ip_wrong)) r.ip_wrong = p.ip_wrong;
    if (p.has(PackedRow::has_error)) r.error = p.error;
    if (p.has(PackedRow::has_ip_error)) r.ip_error = p.ip_error;
    if (p.has(PackedRow::has_extra)) {
        auto it = std::lower_bound(extras.begin(), extras.end(), index,
                                   [](const RowExtra& e, size_t i) { return e.row < i; });
        if (it != extras.end() && it->row == index) {
            r.per_iter = it->per_iter, r.ip_per_iter = it->ip_per_iter;
            r.timestamp = it->timestamp;
        }
    }
    return r;
}

std::optional<double> busbw_factor(std::string_view collective, int64_t ranks) {
    if (ranks < 2) return std::nullopt;
    const double n = static_cast<double>(ranks);
    if (collective == "all_reduce") return 2 * (n - 1) / n;
    if (collective == "all_gather" || collective == "reduce_scatter" || collective == "alltoall" ||
        collective == "gather" || collective == "scatter")
        return (n - 1) / n;
    if (collective == "broadcast" || collective == "reduce" || collective == "sendrecv") return 1.0;
    return std::nullopt;
}

std::optional<std::pair<double, int64_t>> headline(const std::vector<Row>& rows) {
    std::optional<std::pair<double, int64_t>> best;
    for (const Row& r : rows)
        if (r.collective == "all_reduce" && (!best || r.busbw_gbps > best->first))
            best = std::make_pair(r.busbw_gbps, r.size_bytes);
    return best;
}

std::optional<std::pair<double, int64_t>> headline(const ReadResult& result) {
    std::vector<char> all_reduce(result.tables.size() + 1, 0);
    for (size_t i = 0; i < result.tables.size(); ++i) all_reduce[i] = result.tables[i].collective == "all_reduce";
    std::optional<std::pair<double, int64_t>> best;
    for (const PackedRow& r : result.rows) {
        bool counts = r.table < result.tables.size() ? all_reduce[r.table] : result.collective == "all_reduce";
        if (counts && !r.has(PackedRow::implausible) && (!best || r.busbw_gbps > best->first))
            best = std::make_pair(r.busbw_gbps, r.size_bytes);
    }
    return best;
}

std::vector<Finding> check_link_budget(ReadResult& result, double limit_gbps, std::string_view basis) {
    std::vector<Finding> out;
    std::vector<size_t> counted(result.tables.size() + 1, 0);
    std::vector<size_t> first(result.tables.size() + 1, static_cast<size_t>(-1));
    for (size_t i = 0; i < result.rows.size(); ++i) {
        PackedRow& r = result.rows[i];
        double top = r.busbw_gbps;
        if (r.has(PackedRow::has_ip_busbw)) top = std::max(top, r.ip_busbw_gbps);
        if (!(top > limit_gbps)) continue;
        r.set(PackedRow::implausible);
        size_t t = std::min<size_t>(r.table, result.tables.size());
        if (counted[t]++ == 0) first[t] = i;
    }
    for (size_t t = 0; t < counted.size(); ++t) {
        if (!counted[t]) continue;
        const PackedRow& r = result.rows[first[t]];
        const std::string& label = result.collective_of(r);
        double top = r.busbw_gbps;
        if (r.has(PackedRow::has_ip_busbw)) top = std::max(top, r.ip_busbw_gbps);
        std::string message = (label.empty() ? std::string() : label + ": ") + "the bus bandwidth " +
                              detail::format_number(top) + " GB/s at " + std::to_string(r.size_bytes) +
                              " B is above anything the links allow (" + detail::format_number(limit_gbps) +
                              " GB/s: twice " + std::string(basis) + "): the row is not a measurement";
        if (counted[t] > 1) message += " (" + std::to_string(counted[t]) + " rows)";
        out.push_back(make_finding("busbw-above-links", Severity::error, std::move(message),
                                   std::to_string(r.size_bytes) + " B busbw " + detail::format_number(top)));
    }
    return out;
}

namespace detail {

std::vector<ReadResult> split_runs(ReadResult&& whole, const std::vector<RunOfTable>& runs) {
    const size_t n = whole.tables.size();
    std::vector<ReadResult> out;
    if (n <= 1) {
        out.push_back(std::move(whole));
        return out;
    }
    out.resize(n);
    bool output_error = false;
    for (size_t i = 0; i < whole.findings.size(); ++i)
        if (whole.finding_tables[i] == kNoTable && whole.findings[i].severity == Severity::error)
            output_error = true;
    for (size_t t = 0; t < n; ++t) {
        ReadResult& p = out[t];
        const TableInfo& info = whole.tables[t];
        p.names = whole.names;
        p.versions = whole.versions;
        p.collective = info.collective;
        p.tables = {info};
        p.complete = info.complete && !output_error;
        p.concluded = info.concluded;
        p.avg_busbw = info.avg_busbw;
        p.out_of_bounds = info.out_of_bounds;
        p.rows.reserve(info.rows);
        if (t < runs.size()) {
            p.params = runs[t].params;
            p.ranks = runs[t].ranks;
        }
        if (p.ranks.empty()) p.ranks = whole.ranks;
        if (p.params.empty()) p.params = whole.params;
    }
    size_t extra = 0;
    for (size_t i = 0; i < whole.rows.size(); ++i) {
        PackedRow r = whole.rows[i];
        const size_t t = std::min<size_t>(r.table, n - 1);
        ReadResult& p = out[t];
        r.table = 0;
        if (r.has(PackedRow::has_extra)) {
            while (extra < whole.extras.size() && whole.extras[extra].row < i) ++extra;
            if (extra < whole.extras.size() && whole.extras[extra].row == i) {
                RowExtra e = std::move(whole.extras[extra]);
                e.row = static_cast<uint32_t>(p.rows.size());
                p.extras.push_back(std::move(e));
            }
        }
        p.rows.push_back(r);
    }
    whole.rows = {};
    for (size_t i = 0; i < whole.findings.size(); ++i) {
        const size_t t = whole.finding_tables[i];
        if (t == kNoTable || t >= n) {
            for (ReadResult& p : out) p.findings.push_back(whole.findings[i]), p.finding_tables.push_back(kNoTable);
        } else {
            out[t].findings.push_back(std::move(whole.findings[i]));
            out[t].finding_tables.push_back(0);
        }
    }
    return out;
}

}  // namespace detail

}  // namespace quorvane::analysis
