#include "reader_table.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>

namespace quorvane::analysis::detail {

void FindingSink::add(std::string_view code, Severity severity, size_t table, std::string message,
                      std::string_view evidence) {
    auto worst = worst_.try_emplace(table, severity).first;
    if (severity > worst->second) worst->second = severity;
    auto [it, fresh] = index_.try_emplace({table, std::string(code)}, entries_.size());
    if (!fresh) {
        Entry& e = entries_[it->second];
        ++e.count;
        if (severity > e.finding.severity) e.finding.severity = severity;
        return;
    }
    entries_.push_back(
        Entry{make_finding(std::string(code), severity, std::move(message), evidence_text(evidence)),
              table, 1});
}

bool FindingSink::has(Severity severity, size_t table) const {
    auto it = worst_.find(table);
    return it != worst_.end() && it->second >= severity;
}

bool FindingSink::has_code(std::string_view code) const {
    for (const auto& [key, entry] : index_)
        if (key.second == code) return true;
    return false;
}

std::vector<Finding> FindingSink::take(const std::vector<std::string>& labels, std::vector<size_t>& tables) {
    std::vector<Finding> out;
    out.reserve(entries_.size());
    tables.clear();
    for (Entry& e : entries_) {
        tables.push_back(e.table);
        Finding f = std::move(e.finding);
        if (e.table < labels.size() && !labels[e.table].empty()) f.message = labels[e.table] + ": " + f.message;
        if (e.count > 1) f.message += " (" + std::to_string(e.count) + " times)";
        out.push_back(std::move(f));
    }
    entries_.clear();
    index_.clear();
    worst_.clear();
    return out;
}

std::string evidence_text(std::string_view text) {
    std::string out;
    for (char c : text) {
        if (out.size() >= 240) {
            out += "...";
            break;
        }
        out.push_back(c == '\n' || c == '\r' || c == '\t' ? ' ' : c);
    }
    return out;
}

std::string format_number(double value) {
    char buf[64];
    auto res = std::to_chars(buf, buf + sizeof buf, value);
    return std::string(buf, res.ptr);
}

namespace {

std::optional<int64_t> param_int(const std::map<std::string, std::string>& params, const char* key) {
    auto it = params.find(key);
    if (it == params.end()) return std::nullopt;
    int64_t v = 0;
    const std::string& s = it->second;
    auto res = std::from_chars(s.data(), s.data() + s.size(), v);
    if (res.ec != std::errc() || v < 0) return std::nullopt;
    return v;
}

// The deviation nccl-tests tolerated before counting a result wrong, by data
// type; the largest any version used, so that no version's run reads as wrong
// when it was not. Integers must match exactly.
std::optional<double> tolerance(std::string_view type) {
    if (type == "half" || type == "float16" || type == "bfloat16" || type == "bf16") return 5e-2;
    if (type == "float" || type == "float32") return 1e-5;
    if (type == "double" || type == "float64") return 1e-12;
    for (std::string_view t : {"char", "int", "int8", "uint8", "int32", "uint32", "int64", "uint64"})
        if (type == t) return 0.0;
    return std::nullopt;
}

std::string size_text(int64_t size) { return std::to_string(size) + " B"; }

void check_wrong(TableBuild& t, size_t index, ReadResult& result, FindingSink& sink) {
    const bool footer_clean = t.out_of_bounds && *t.out_of_bounds == 0;
    const double ranks_factor = t.ranks > 1 ? static_cast<double>(t.ranks - 1) : 1.0;
    std::vector<char> marked(t.end_row - t.first_row, 0);
    for (size_t i : t.marked_wrong)
        if (i >= t.first_row && i < t.end_row) marked[i - t.first_row] = 1;
    bool unchecked = false;
    for (size_t i = t.first_row; i < t.end_row; ++i) {
        PackedRow& r = result.rows[i];
        struct Block {
            int64_t& wrong;
            PackedRow::Flag has_wrong;
            double error;
            bool has_error;
            bool present;
            const char* name;
        } blocks[2] = {{r.wrong, PackedRow::has_wrong, r.error, r.has(PackedRow::has_error), true, "out-of-place"},
                       {r.ip_wrong, PackedRow::has_ip_wrong, r.ip_error, r.has(PackedRow::has_ip_error),
                        r.has(PackedRow::in_place), "in-place"}};
        for (Block& b : blocks) {
            if (!b.present) continue;
            if (b.has_error) {
                const std::string& type = result.name(r.type);
                auto tol = tolerance(type);
                bool above = marked[i - t.first_row] ||
                             (tol && b.error > *tol * (*tol > 0 ? ranks_factor : 1.0));
                b.wrong = above && !footer_clean ? 1 : 0;
                r.set(b.has_wrong);
                if (above) {
                    sink.add("error-above-tolerance", footer_clean ? Severity::warn : Severity::fail, index,
                             std::string("error ") + format_number(b.error) + " in the " + b.name +
                                 " block at " + size_text(r.size_bytes) + " is above the tolerance for " +
                                 type + (footer_clean ? ", though the footer counts no values out of bounds"
                                                      : ": wrong results"),
                             size_text(r.size_bytes) + " " + type + " error " + format_number(b.error));
                }
                continue;
            }
            if (!r.has(b.has_wrong)) {
                unchecked = true;
            } else if (b.wrong > 0) {
                sink.add("wrong-results", Severity::fail, index,
                         "#wrong " + std::to_string(b.wrong) + " in the " + b.name + " block at " +
                             size_text(r.size_bytes),
                         size_text(r.size_bytes) + " " + b.name + " #wrong " + std::to_string(b.wrong));
            } else if (b.wrong < 0) {
                sink.add("negative-wrong", Severity::fail, index,
                         "negative #wrong " + std::to_string(b.wrong) + " in the " + b.name + " block at " +
                             size_text(r.size_bytes) + ": the result check itself is broken",
                         size_text(r.size_bytes) + " " + b.name + " #wrong " + std::to_string(b.wrong));
            }
        }
    }
    if (unchecked)
        sink.add("not-checked", Severity::note, index,
                 "results were not checked (N/A) for some blocks; they count as unchecked, not wrong", "N/A");
    if (t.error_column)
        sink.add("error-column", Severity::note, index,
                 "old layout with an error column: each value was compared with the tolerance of its data type",
                 "error");
    if (t.out_of_bounds && *t.out_of_bounds > 0)
        sink.add("out-of-bounds", Severity::fail, index,
                 "the benchmark counted " + std::to_string(*t.out_of_bounds) + " results out of bounds",
                 "# Out of bounds values : " + std::to_string(*t.out_of_bounds) + " FAILED");
    else if (t.out_of_bounds && *t.out_of_bounds < 0)
        sink.add("negative-wrong", Severity::fail, index,
                 "negative count of out-of-bounds values: the result check itself is broken",
                 "# Out of bounds values : " + std::to_string(*t.out_of_bounds));
}

// Bus bandwidth is the algorithm bandwidth times a factor of the collective
// and the number of ranks; values are printed to two decimals (or six
// significant digits), so a row may differ by its rounding and no more.
bool agrees(double algbw, double busbw, double factor) {
    double expected = algbw * factor;
    return std::fabs(busbw - expected) <= 0.006 * (1 + factor) + 1e-3 * std::fabs(expected);
}

// Rows with enough bandwidth that rounding leaves the ratio meaningful.
std::vector<double> bus_ratios(const TableBuild& t, const ReadResult& result) {
    std::vector<double> ratios;
    for (size_t i = t.first_row; i < t.end_row; ++i) {
        const PackedRow& r = result.rows[i];
        if (r.algbw_gbps >= 1.0 && std::isfinite(r.busbw_gbps)) ratios.push_back(r.busbw_gbps / r.algbw_gbps);
    }
    return ratios;
}

std::optional<double> median(std::vector<double> v) {
    if (v.empty()) return std::nullopt;
    std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(v.size() / 2), v.end());
    return v[v.size() / 2];
}

// A row whose bus bandwidth is not its own algorithm bandwidth times the
// collective's factor was not printed by the benchmark as it measured: it is
// marked and never counts as a headline. Versions differ in the factor (older
// ones gave all_gather's algorithm bandwidth on (n-1)/n of the data, so a
// factor of 1), so the factor is the one the table's rows share where it lies
// in the range any version used, else the collective's own.
void check_bus_factor(TableBuild& t, size_t index, ReadResult& result, FindingSink& sink) {
    std::optional<double> factor = median(bus_ratios(t, result));
    std::string basis = "the factor the table's other rows share";
    if (!factor) return;
    // The rows' shared ratio carries their rounding (small rows print few digits):
    // where it is the collective's own factor for these ranks, that exact factor counts.
    if (std::optional<double> own = t.ranks_whole ? busbw_factor(t.label, t.ranks) : std::nullopt;
        own && std::fabs(*factor - *own) <= 0.02 * *own) {
        factor = own;
        basis = t.label + " on " + std::to_string(t.ranks) + " ranks";
    }
    if (*factor < 0.5 - 0.01 || *factor > 2.0 + 0.01) {
        factor = t.ranks_whole ? busbw_factor(t.label, t.ranks) : std::nullopt;
        if (!factor) factor = t.label == "all_reduce" ? 2.0 : 1.0;
        basis = t.ranks_whole ? t.label + " on " + std::to_string(t.ranks) + " ranks"
                              : "the most any collective uses";
    }
    for (size_t i = t.first_row; i < t.end_row; ++i) {
        PackedRow& r = result.rows[i];
        bool bad = !agrees(r.algbw_gbps, r.busbw_gbps, *factor);
        if (r.has(PackedRow::has_ip_algbw) && r.has(PackedRow::has_ip_busbw))
            bad = bad || !agrees(r.ip_algbw_gbps, r.ip_busbw_gbps, *factor);
        if (!bad) continue;
        r.set(PackedRow::implausible);
        sink.add("busbw-mismatch", Severity::error, index,
                 "the bus bandwidth at " + size_text(r.size_bytes) + " (" + format_number(r.busbw_gbps) +
                     " GB/s) is not its algorithm bandwidth (" + format_number(r.algbw_gbps) + " GB/s) times " +
                     format_number(std::round(*factor * 1e4) / 1e4) + " (" + basis +
                     "): the row is not a measurement",
                 size_text(r.size_bytes) + " algbw " + format_number(r.algbw_gbps) + " busbw " +
                     format_number(r.busbw_gbps));
    }
}

// Rows of one series must grow: with a size factor, every printed size is
// bigger than the one before (sizes round down to whole elements, so only
// zeros repeat); a smaller or repeated size means a second table's rows are
// mixed in. A gap of two factors or more means sizes were not printed.
void check_sizes(TableBuild& t, size_t index, FindingSink& sink) {
    const auto& s = t.sizes;
    if (s.empty()) return;
    const bool stepped_bytes = t.steps.factor <= 1 && t.steps.step_bytes > 0;
    for (size_t i = 1; i < s.size(); ++i) {
        if (s[i].second) continue;
        int64_t prev = s[i - 1].first, cur = s[i].first;
        if (cur < prev || (cur == prev && cur != 0 && !stepped_bytes)) {
            sink.add("duplicate-tables", Severity::error, index,
                     "rows of the same series go back from " + size_text(prev) + " to " + size_text(cur) +
                         ": two tables are interleaved (a build without MPI under a launcher runs one test "
                         "per process)",
                     size_text(prev) + " then " + size_text(cur));
            return;
        }
    }
    if (!t.footer) return;
    // Series boundaries.
    std::vector<std::pair<size_t, size_t>> series;
    for (size_t i = 0; i < s.size(); ++i) {
        if (i == 0 || s[i].second) series.push_back({i, i + 1});
        else series.back().second = i + 1;
    }
    for (auto [b, e] : series) {
        double factor = static_cast<double>(t.steps.factor);
        if (factor <= 1 && !stepped_bytes) {
            factor = 0;
            for (size_t i = b + 1; i < e; ++i)
                if (s[i - 1].first > 0 && s[i].first > s[i - 1].first) {
                    double ratio = static_cast<double>(s[i].first) / static_cast<double>(s[i - 1].first);
                    factor = factor == 0 ? ratio : std::min(factor, ratio);
                }
        }
        if (factor > 1) {
            for (size_t i = b + 1; i < e; ++i) {
                double prev = static_cast<double>(s[i - 1].first), cur = static_cast<double>(s[i].first);
                if (prev > 0 && cur >= prev * factor * factor) {
                    sink.add("sizes-missing", Severity::error, index,
                             "sizes between " + size_text(s[i - 1].first) + " and " + size_text(s[i].first) +
                                 " were not printed",
                             size_text(s[i - 1].first) + " then " + size_text(s[i].first));
                    break;
                }
            }
        }
        if (!t.steps.known()) continue;
        const int64_t first = s[b].first, last = s[e - 1].first;
        const int64_t min = t.steps.min, max = t.steps.max;
        const bool late_start = t.steps.factor > 1 ? (min > 0 && first / t.steps.factor >= min)
                                                   : first >= min + t.steps.step_bytes;
        if (late_start)
            sink.add("sizes-missing", Severity::error, index,
                     "the table starts at " + size_text(first) + " but the run asked for sizes from " +
                         size_text(min),
                     "minBytes " + std::to_string(min) + ", first row " + std::to_string(first));
        if (max < min) continue;
        // The largest size asked for.
        int64_t want = min;
        if (t.steps.factor > 1) {
            if (min <= 0) continue;
            while (want <= max / t.steps.factor) want *= t.steps.factor;
        } else {
            want = min + (max - min) / t.steps.step_bytes * t.steps.step_bytes;
        }
        const bool reached = t.steps.factor > 1
                                 ? static_cast<double>(last) * static_cast<double>(t.steps.factor) >
                                       static_cast<double>(want)
                                 : last + t.steps.step_bytes > want;
        // The footer says the run went through its sizes: older nccl-tests lower
        // the largest size without a word when GPU memory is short.
        if (!reached && !(last == 0 && want <= 65536))
            sink.add("sizes-not-reached", Severity::warn, index,
                     "the table ends at " + size_text(last) + " but the run asked for sizes up to " +
                         size_text(want) + " (the benchmark lowers the largest size when GPU memory is short)",
                     "maxBytes " + std::to_string(max) + ", last row " + std::to_string(last));
        if (last > max)
            sink.add("sizes-unexpected", Severity::warn, index,
                     "rows go up to " + size_text(last) + ", beyond the largest size asked for (" +
                         size_text(max) + ")",
                     "maxBytes " + std::to_string(max) + ", last row " + std::to_string(last));
    }
}

}  // namespace

Steps steps_from_params(const std::map<std::string, std::string>& params) {
    Steps s;
    if (auto v = param_int(params, "minBytes")) s.min = *v;
    if (auto v = param_int(params, "maxBytes")) s.max = *v;
    auto it = params.find("step");
    if (it != params.end()) {
        const std::string& text = it->second;
        int64_t v = 0;
        auto res = std::from_chars(text.data(), text.data() + text.size(), v);
        if (res.ec == std::errc() && v > 0) {
            std::string_view unit(res.ptr, text.data() + text.size() - res.ptr);
            if (unit == "(factor)") s.factor = v;
            else if (unit == "(bytes)") s.step_bytes = v;
        }
    }
    return s;
}

TableInfo finish_table(TableBuild& t, size_t index, ReadResult& result, FindingSink& sink) {
    for (size_t i = t.first_row; i < t.end_row; ++i) result.rows[i].table = static_cast<uint32_t>(index);
    check_wrong(t, index, result, sink);
    check_bus_factor(t, index, result, sink);
    if (!t.footer) {
        if (t.end_row > t.first_row)
            sink.add("truncated", Severity::error, index,
                     "the table stops after " + std::to_string(t.end_row - t.first_row) +
                         " rows without its footer: the run did not finish",
                     "last row " + size_text(result.rows[t.end_row - 1].size_bytes));
        else
            sink.add("truncated", Severity::error, index, "the table has a header but no rows", "");
    } else if (t.end_row == t.first_row) {
        sink.add("no-rows", Severity::error, index, "the table has no rows that could be read", "");
    }
    check_sizes(t, index, sink);
    TableInfo info;
    info.collective = t.label;
    info.rows = t.end_row - t.first_row;
    info.concluded = t.concluded;
    info.avg_busbw = t.avg_busbw;
    info.out_of_bounds = t.out_of_bounds;
    info.complete = t.footer && info.rows > 0 && !sink.has(Severity::error, index);
    return info;
}

std::string collective_from_columns(const TableBuild& t, const ReadResult& result) {
    if (t.end_row == t.first_row) return {};
    bool rooted = false, reduces = false;
    for (size_t i = t.first_row; i < t.end_row; ++i) {
        const PackedRow& r = result.rows[i];
        rooted = rooted || r.root >= 0;
        const std::string& op = result.name(r.redop);
        reduces = reduces || (!op.empty() && op != "none");
    }
    if (rooted) return reduces ? "reduce" : "broadcast";
    std::optional<double> ratio = median(bus_ratios(t, result));
    if (!ratio) return {};
    const double n = static_cast<double>(t.ranks);
    auto near = [&](double factor) { return std::fabs(*ratio - factor) <= 0.01 * factor + 0.005; };
    if (t.ranks_whole && t.ranks >= 2) {
        if (near(2 * (n - 1) / n) && reduces) return "all_reduce";
        if (near((n - 1) / n)) return reduces ? "reduce_scatter" : "all_gather";
        return {};
    }
    // No device list: the ratio alone, where only one collective can give it.
    if (*ratio > 1.0 + 0.005 && *ratio < 2.0 && reduces) return "all_reduce";
    if (*ratio >= 0.5 - 0.005 && *ratio < 1.0 - 0.005) return reduces ? "reduce_scatter" : "all_gather";
    return {};
}

void finish_result(ReadResult& result, std::vector<TableBuild>& tables, FindingSink& sink,
                   std::string_view collective) {
    std::vector<std::string> labels;
    for (size_t i = 0; i < tables.size(); ++i) {
        TableBuild& t = tables[i];
        if (!collective.empty()) {
            if (!t.label.empty() && t.label != collective)
                sink.add("collective-mismatch", Severity::warn, i,
                         "the output is of " + t.label + ", not of " + std::string(collective), t.label);
            t.label = std::string(collective);
        } else if (t.label.empty()) {
            t.label = collective_from_columns(t, result);
            if (!t.label.empty())
                sink.add("collective-from-columns", Severity::note, i,
                         "the output does not name its collective; its columns show " + t.label +
                             (t.ranks_whole && t.ranks >= 2 ? " on " + std::to_string(t.ranks) + " ranks" : std::string()),
                         t.label);
        }
        labels.push_back(t.label);
        result.tables.push_back(finish_table(t, i, result, sink));
    }
    if (tables.empty() && !sink.has_code("no-table"))
        sink.add("no-table", Severity::error, kNoTable, "no result table in the output", "");
    result.collective = std::string(collective);
    if (collective.empty() && !labels.empty() &&
        std::all_of(labels.begin(), labels.end(), [&](const std::string& l) { return l == labels[0]; }))
        result.collective = labels[0];
    result.concluded = !tables.empty();
    bool all_complete = !tables.empty();
    int64_t oob_total = 0;
    size_t oob_seen = 0, avg_seen = 0;
    for (const TableInfo& info : result.tables) {
        result.concluded = result.concluded && info.concluded;
        all_complete = all_complete && info.complete;
        if (info.out_of_bounds) oob_total += *info.out_of_bounds, ++oob_seen;
        if (info.avg_busbw) ++avg_seen, result.avg_busbw = info.avg_busbw;
    }
    if (oob_seen) result.out_of_bounds = oob_total;
    if (avg_seen != 1) result.avg_busbw.reset();
    result.findings = sink.take(labels, result.finding_tables);
    bool any_error = false;
    for (const Finding& f : result.findings) any_error = any_error || f.severity == Severity::error;
    result.complete = all_complete && !any_error;
}

}  // namespace quorvane::analysis::detail
