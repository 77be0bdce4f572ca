// The reader of the text a run prints: header-driven, line by line, one pass.
#include <algorithm>
#include <climits>
#include <cstring>

#include "reader.hpp"
#include "reader_scan.hpp"
#include "reader_table.hpp"

namespace quorvane::analysis {
namespace {

using detail::FindingSink;
using detail::kNoTable;
using detail::TableBuild;
using scan::Num;

enum class Col : uint8_t {
    size, count, type, redop, root, time, algbw, busbw, wrong, error, bitdiff,
    i_min, i_max, i_p99, i_cv, timestamp, unknown
};

struct Column {
    Col kind;
    uint8_t block;  // 0 out-of-place, 1 in-place
};

// The columns of a table as its header names them.
struct Schema {
    std::vector<Column> cols;
    size_t tokens = 0;  // fields a row has: the time stamp of -S takes two
    bool ms = false;    // NCCL 1 tests printed milliseconds
    bool cputime = false;
    std::vector<std::string> unknown;
};

std::optional<Schema> schema_from_header(const std::vector<std::string_view>& names) {
    if (names.empty() || (names[0] != "size" && names[0] != "bytes")) return std::nullopt;
    Schema s;
    int times = 0;
    bool seen[2][3] = {};
    for (std::string_view n : names) {
        Col c = Col::unknown;
        if (n == "size" || n == "bytes") c = Col::size;
        else if (n == "count" || n == "N") c = Col::count;
        else if (n == "type") c = Col::type;
        else if (n == "redop" || n == "op") c = Col::redop;
        else if (n == "root") c = Col::root;
        else if (n == "time" || n == "cputime") c = Col::time, s.cputime = s.cputime || n == "cputime";
        else if (n == "algbw") c = Col::algbw;
        else if (n == "busbw") c = Col::busbw;
        else if (n == "#wrong" || n == "wrong") c = Col::wrong;
        else if (n == "error" || n == "res") c = Col::error;
        else if (n == "#bitdiff") c = Col::bitdiff;
        else if (n == "i_min") c = Col::i_min;
        else if (n == "i_max") c = Col::i_max;
        else if (n == "i_p99") c = Col::i_p99;
        else if (n == "i_cv%") c = Col::i_cv;
        else if (n == "timestamp") c = Col::timestamp;
        if (c == Col::time) ++times;
        uint8_t block = times >= 2 ? 1 : 0;
        if (c == Col::time || c == Col::algbw || c == Col::busbw)
            seen[block][c == Col::time ? 0 : c == Col::algbw ? 1 : 2] = true;
        if (c == Col::unknown) s.unknown.emplace_back(n);
        s.cols.push_back({c, block});
        s.tokens += c == Col::timestamp ? 2 : 1;
    }
    if (!(seen[0][0] && seen[0][1] && seen[0][2]) || times > 2) return std::nullopt;
    s.ms = names[0] == "bytes";
    return s;
}

enum class RunLine { running, version, start, nthread };

struct Run {
    int last = -1;  // the last RunLine kind seen
    std::string label;
    std::map<std::string, std::string> params;
    int64_t max_reduced = -1;
    std::vector<int64_t> rank_numbers;
    std::vector<RankLine> ranks;
    size_t table = kNoTable;
};

struct TextTable {
    TableBuild build;
    Schema schema;
    std::string source;
    std::string last_type, last_redop, last_root;
    bool new_series = true;
};

// "nThread 1 nGpus 8 minBytes 8 maxBytes 8589934592 step: 2(factor) warmup iters: 5 ...":
// words up to a value make its key ("warmup_iters"); older rccl-tests wrote
// "warmupIters:".
void read_params(const std::vector<std::string_view>& toks, std::map<std::string, std::string>& out) {
    std::string key;
    for (std::string_view t : toks) {
        bool value = !t.empty() && ((t[0] >= '0' && t[0] <= '9') || (t[0] == '-' && t.size() > 1));
        if (!value) {
            while (t.ends_with(":")) t.remove_suffix(1);
            if (t.empty()) continue;
            key += (key.empty() ? "" : "_") + std::string(t);
        } else if (!key.empty()) {
            out.emplace(key == "warmupIters" ? "warmup_iters" : key, std::string(t));
            key.clear();
        }
    }
}

std::string join(const std::vector<std::string_view>& toks, size_t from) {
    std::string out;
    for (size_t i = from; i < toks.size(); ++i) {
        if (!out.empty()) out += ' ';
        out += toks[i];
    }
    return out;
}

class TextReader {
public:
    TextReader(std::string_view text, std::string_view collective) : text_(text), collective_(collective) {}

    ReadResult read() {
        // A row is a line: reserving for every line (and no more rows than
        // the shortest row's length allows) spares the copies of a growing
        // vector at the cost of a count of line ends.
        size_t lines_in_text = 1;
        for (const char* p = text_.data(), *end = p + text_.size();
             (p = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(end - p)))) != nullptr; ++p)
            ++lines_in_text;
        result_.rows.reserve(std::min(lines_in_text, text_.size() / 24 + 1));
        scan::Lines lines(text_);
        std::string_view raw;
        while (lines.next(raw)) line(raw);
        return finish();
    }

    std::vector<ReadResult> read_parts() {
        keep_runs_ = true;
        ReadResult whole = read();
        std::vector<detail::RunOfTable> runs(tables_.size());
        for (Run& r : runs_)
            if (r.table != kNoTable && r.table < runs.size())
                runs[r.table] = detail::RunOfTable{std::move(r.params), std::move(r.ranks)};
        return detail::split_runs(std::move(whole), runs);
    }

private:
    Run& run() {
        if (runs_.empty()) runs_.emplace_back();
        return runs_.back();
    }

    TextTable* table() {
        if (runs_.empty() || runs_.back().table == kNoTable) return nullptr;
        return &tables_[runs_.back().table];
    }

    size_t table_index() const { return runs_.empty() ? kNoTable : runs_.back().table; }

    void duplicate(std::string message, std::string_view evidence) {
        sink_.add("duplicate-tables", Severity::error, table_index(), std::move(message), evidence);
    }

    // A line that opens a run; the lines of one run come in a fixed order, so
    // one that does not fit opens the next run. A second run header before
    // any table is a second process printing the same run.
    void begin(RunLine kind, std::string_view raw) {
        Run& r = run();
        int k = static_cast<int>(kind);
        if (r.last >= k || r.table != kNoTable) {
            if (r.table == kNoTable)
                duplicate("the run's header appears again before any table: more than one process printed "
                          "it (a build without MPI under a launcher runs one test per process)",
                          raw);
            runs_.emplace_back();
        }
        runs_.back().last = k;
    }

    void line(std::string_view raw) {
        scan::Stripped st = scan::strip_prefixes(raw);
        if (st.is_stderr) return;
        std::string_view body = scan::trim(st.body);
        if (body.empty()) return;
        if (body[0] == '#') {
            note_prefix(st, raw);
            comment(body.substr(1), raw, st);
            return;
        }
        // A row starts with two numbers (size and count); look at no more
        // than that before splitting the whole line.
        size_t gap = 0;
        while (gap < body.size() && !scan::is_blank(body[gap])) ++gap;
        std::string_view second = scan::trim(body.substr(gap));
        second = second.substr(0, std::min(second.size(), second.find_first_of(" \t\v\f\r")));
        if (!second.empty() && scan::digit_like(body.substr(0, gap)) && scan::digit_like(second)) {
            scan::split(body, toks_);
            note_prefix(st, raw);
            row(raw, st);
            return;
        }
        other(body, raw);
    }

    void note_prefix(const scan::Stripped& st, std::string_view raw) {
        if (st.prefix == scan::Prefix::none || prefix_noted_) return;
        prefix_noted_ = true;
        static constexpr const char* kinds[] = {"", "Open MPI's rank tag", "the launcher's rank label",
                                                "a host name", "a time stamp"};
        sink_.add("launcher-prefix", Severity::note, kNoTable,
                  std::string("lines carry ") + kinds[static_cast<int>(st.prefix)] +
                      " in front; it was removed before reading",
                  raw);
    }

    void other(std::string_view body, std::string_view raw) {
        const char c = body[0];
        if (c != 'r' && c != 'R' && c != 'H' && c != 'N') return;
        scan::split(body, toks_);
        if (body.starts_with("rccl-tests: Version") && toks_.size() >= 3) {
            result_.versions.emplace("rccl_tests", std::string(toks_[2]));
            rccl_ = true;
        } else if (body.starts_with("RCCL version") || body.starts_with("HIP version") ||
                   body.starts_with("ROCm version")) {
            size_t colon = body.find(':');
            if (colon != std::string_view::npos) {
                std::string key = body.starts_with("RCCL") ? "rccl" : body.starts_with("HIP") ? "hip" : "rocm";
                result_.versions.emplace(key, std::string(scan::trim(body.substr(colon + 1))));
            }
            rccl_ = true;
        } else if (body.starts_with("NCCL version ") && toks_.size() >= 3) {
            result_.versions.emplace("nccl", std::string(toks_[2]));
        } else if (body.starts_with("Running:")) {
            begin(RunLine::running, raw);
            for (std::string_view t : toks_)
                if (t.find("_perf") != std::string_view::npos) {
                    std::string_view label = scan::label_from_program(t);
                    if (!label.empty()) run().label = std::string(label);
                }
        }
    }

    void comment(std::string_view text, std::string_view raw, const scan::Stripped& st) {
        scan::split(text, toks_);
        if (toks_.empty()) return;
        std::string_view first = toks_[0];
        if (first == "nccl-tests" && toks_.size() >= 3 && toks_[1] == "version") {
            begin(RunLine::version, raw);
            result_.versions.emplace("nccl_tests", std::string(toks_[2]));
            for (size_t i = 3; i < toks_.size(); ++i) {
                size_t eq = toks_[i].find('=');
                if (eq == std::string_view::npos) continue;
                std::string key(toks_[i].substr(0, eq));
                std::replace(key.begin(), key.end(), '-', '_');
                result_.versions.emplace(key, std::string(toks_[i].substr(eq + 1)));
            }
        } else if (first == "Collective" && toks_.size() >= 4 && toks_[1] == "test") {
            std::string_view label = scan::label_from_program(toks_[3]);
            if (toks_[2] == "starting:") {
                begin(RunLine::start, raw);
                if (!label.empty()) run().label = std::string(label);
            } else if (toks_[2] == "concluded:") {
                if (TextTable* t = table()) t->build.concluded = true;
                if (!label.empty() && run().label.empty()) run().label = std::string(label);
            }
        } else if (first == "nThread" || first == "nThread:") {
            begin(RunLine::nthread, raw);
            read_params(toks_, run().params);
            for (const auto& [k, v] : run().params) result_.params.emplace(k, v);
        } else if (first == "Rank" || first == "Device") {
            rank_line();
        } else if (first == "size" || first == "bytes") {
            header(st, raw);
        } else if (first == "(B)") {
            TextTable* t = table();
            if (t && t->build.end_row == t->build.first_row &&
                std::find(toks_.begin(), toks_.end(), "(ms)") != toks_.end())
                t->schema.ms = true;
        } else if (first == "Out" && text.find("Out of bounds values") != std::string_view::npos) {
            footer_count(raw, true);
        } else if (first == "Bitwise" && toks_.size() >= 2 && toks_[1] == "mismatches") {
            footer_count(raw, false);
        } else if (first == "Avg" && toks_.size() >= 5 && toks_[1] == "bus") {
            footer_avg(raw);
        } else if (first == "Reducing" && toks_.size() >= 4 && toks_[1] == "maxBytes") {
            scan::Integer v = scan::parse_integer(toks_[3]);
            if (v.status == Num::ok) {
                run().max_reduced = v.value;
                sink_.add("max-bytes-reduced", Severity::note, kNoTable,
                          "the benchmark lowered the largest size to " + std::to_string(v.value) +
                              " bytes for lack of GPU memory",
                          raw);
            }
        } else if (first == "Testing" && toks_.size() >= 3 && toks_[2].starts_with("cycle")) {
            if (TextTable* t = table()) t->new_series = true;
        } else if (first == "Errors" && toks_.size() >= 3 && toks_[2] == "asterisks") {
            rccl_ = true;
        } else if (first == "error:") {
            sink_.add("benchmark-error", Severity::warn, table_index(), "the benchmark reported an error", raw);
        }
    }

    void rank_line() {
        RankLine r;
        bool nccl1 = toks_[0] == "Device";
        scan::Integer n = toks_.size() > 1 ? scan::parse_integer(toks_[1]) : scan::Integer{};
        if (n.status != Num::ok) return;
        r.rank = n.value;
        size_t i = 2;
        auto next_int = [&](int64_t& out) {
            if (i + 1 < toks_.size()) {
                scan::Integer v = scan::parse_integer(toks_[i + 1]);
                if (v.status == Num::ok) out = v.value;
            }
            i += 2;
        };
        while (i < toks_.size()) {
            std::string_view t = toks_[i];
            if (t == "Group") next_int(r.group);
            else if (t == "Pid") next_int(r.pid);
            else if (t == "device" || (nccl1 && t == "->")) next_int(r.local_device);
            else if (t == "on" && i + 1 < toks_.size()) r.host = std::string(toks_[i + 1]), i += 2;
            else if (t.starts_with("[")) {
                std::string_view bus = t.substr(1);
                if (bus.ends_with("]")) bus.remove_suffix(1);
                r.busid = std::string(bus);
                r.device = join(toks_, i + 1);
                break;
            } else {
                ++i;
            }
        }
        run().rank_numbers.push_back(r.rank);
        size_t index = runs_.size() - 1;
        if (ranks_run_ == kNoTable) ranks_run_ = index;
        if (ranks_run_ == index) result_.ranks.push_back(r);
        if (keep_runs_) run().ranks.push_back(std::move(r));
    }

    void header(const scan::Stripped& st, std::string_view raw) {
        std::optional<Schema> schema = schema_from_header(toks_);
        if (!schema) return;
        Run& r = run();
        if (r.table != kNoTable) {
            TextTable& open = tables_[r.table];
            if (!open.build.footer) {
                duplicate("a second table header appears before the first table's footer: more than one "
                          "process printed the table",
                          raw);
                return;
            }
            runs_.emplace_back();
        }
        Run& cur = run();
        TextTable t;
        t.schema = std::move(*schema);
        t.source = std::string(st.source);
        t.build.header = true;
        t.build.first_row = t.build.end_row = result_.rows.size();
        t.build.steps = detail::steps_from_params(cur.params);
        if (cur.max_reduced >= 0) t.build.steps.max = cur.max_reduced;
        cur.table = tables_.size();
        if (t.schema.cputime)
            sink_.add("cpu-time", Severity::note, cur.table, "times are CPU times (-C), not GPU times", raw);
        if (!t.schema.unknown.empty()) {
            std::string names;
            for (const std::string& n : t.schema.unknown) names += (names.empty() ? "" : ", ") + n;
            sink_.add("extra-columns", Severity::note, cur.table,
                      "columns this reader does not know were skipped: " + names, raw);
        }
        if (t.schema.ms)
            sink_.add("legacy-layout", Severity::note, cur.table,
                      "NCCL 1 test layout: times were printed in milliseconds and are converted", raw);
        tables_.push_back(std::move(t));
    }

    void footer_count(std::string_view raw, bool out_of_bounds) {
        TextTable* t = table();
        size_t colon = raw.rfind(':');
        if (!t || colon == std::string_view::npos) return;
        std::vector<std::string_view> rest;
        scan::split(raw.substr(colon + 1), rest);
        if (rest.empty()) return;
        scan::Integer n = scan::parse_integer(rest[0]);
        if (n.status != Num::ok) {
            number_problem(n.status, raw, "the footer");
            return;
        }
        if (!out_of_bounds) {
            if (n.value != 0)
                sink_.add("bitwise-mismatch", Severity::warn, table_index(),
                          std::to_string(n.value) + " results differed bit for bit between repeats", raw);
            return;
        }
        if (t->build.out_of_bounds) {
            duplicate("the table's footer appears twice: more than one process printed the table", raw);
            return;
        }
        t->build.out_of_bounds = n.value;
        t->build.footer = true;
    }

    void footer_avg(std::string_view raw) {
        TextTable* t = table();
        size_t colon = raw.rfind(':');
        if (!t || colon == std::string_view::npos) return;
        std::vector<std::string_view> rest;
        scan::split(raw.substr(colon + 1), rest);
        if (rest.empty()) return;
        t->build.footer = true;
        scan::Real v = scan::parse_real(rest[0]);
        if (v.status != Num::ok) {
            number_problem(v.status, raw, "the footer");
            return;
        }
        if (t->build.avg_busbw) {
            duplicate("the table's footer appears twice: more than one process printed the table", raw);
            return;
        }
        t->build.avg_busbw = v.value;
        if (rest.size() > 1 && rest[1] == "FAILED")
            sink_.add("min-bw-not-met", Severity::warn, table_index(),
                      "the average bus bandwidth is below the minimum set in NCCL_TESTS_MIN_BW", raw);
    }

    void number_problem(Num status, std::string_view raw, const std::string& where) {
        if (status == Num::nonfinite)
            sink_.add("non-finite", Severity::error, table_index(),
                      "a number in " + where + " is not finite (inf, nan or beyond the range of a double)",
                      raw);
        else if (status == Num::negative)
            sink_.add("negative-value", Severity::error, table_index(),
                      "a time or bandwidth in " + where + " is negative: no run measures that", raw);
        else if (status == Num::nonascii)
            sink_.add("non-ascii-number", Severity::error, table_index(),
                      "a number in " + where + " is written with characters other than ASCII digits", raw);
        else
            sink_.add("bad-number", Severity::error, table_index(), "a cell of " + where + " is not a number",
                      raw);
    }

    void row(std::string_view raw, const scan::Stripped& st) {
        TextTable* t = table();
        if (!t) {
            ++orphan_rows_;
            return;
        }
        const size_t index = table_index();
        if (!t->source.empty() && !st.source.empty() && t->source != st.source) {
            duplicate("rows come from more than one process (" + t->source + " and " + std::string(st.source) +
                          "): each printed its own table",
                      raw);
            return;
        }
        if (t->build.footer)
            duplicate("rows follow the table's footer: more than one process printed the table", raw);
        const Schema& s = t->schema;
        if (toks_.size() != s.tokens) {
            scan::Integer size = scan::parse_integer(toks_[0]);
            if (size.status == Num::ok) t->build.sizes.push_back({size.value, false});
            sink_.add("malformed-row", Severity::error, index,
                      "a row has " + std::to_string(toks_.size()) + " fields where the header names " +
                          std::to_string(s.tokens) + ": it is left out",
                      raw);
            return;
        }
        PackedRow r;
        Num problem = Num::ok;
        bool starred = false, sizes_ok = false;
        std::string_view root_text, type_text, redop_text;
        auto fail = [&](Num status) {
            if (problem == Num::ok) problem = status;
        };
        auto real = [&](std::string_view tok, bool measured) -> std::optional<double> {
            scan::Real v = scan::parse_real(tok);
            if (v.status != Num::ok) return fail(v.status), std::nullopt;
            if (measured && v.scientific && !sci_noted_) {
                sci_noted_ = true;
                sink_.add("scientific-notation", Severity::note, index,
                          "values too wide for their column are printed with an exponent (such as 1.0e+04) "
                          "and were read as such",
                          raw);
            }
            return v.value;
        };
        auto integer = [&](std::string_view tok) -> std::optional<int64_t> {
            scan::Integer v = scan::parse_integer(tok);
            if (v.status != Num::ok) return fail(v.status), std::nullopt;
            return v.value;
        };
        IterStats iter[2];
        bool has_iter[2] = {false, false};
        std::string_view stamp[2];
        size_t k = 0;
        for (const Column& c : s.cols) {
            std::string_view tok = toks_[k++];
            const bool ip = c.block == 1;
            auto measure = [&](double& out_of_place, double& in_place, PackedRow::Flag flag) {
                if (auto v = real(tok, true)) {
                    if (*v < 0) fail(Num::negative);
                    if (ip) in_place = *v, r.set(flag);
                    else out_of_place = *v;
                }
            };
            switch (c.kind) {
                case Col::size:
                    if (auto v = integer(tok)) r.size_bytes = *v, sizes_ok = true;
                    break;
                case Col::count:
                    if (auto v = integer(tok)) r.count = *v;
                    break;
                case Col::type: type_text = tok; break;
                case Col::redop: redop_text = tok; break;
                case Col::root:
                    root_text = tok;
                    if (auto v = integer(tok)) r.root = static_cast<int32_t>(std::clamp<int64_t>(*v, -1, INT32_MAX));
                    break;
                case Col::time: measure(r.time_us, r.ip_time_us, PackedRow::in_place); break;
                case Col::algbw: measure(r.algbw_gbps, r.ip_algbw_gbps, PackedRow::has_ip_algbw); break;
                case Col::busbw: measure(r.busbw_gbps, r.ip_busbw_gbps, PackedRow::has_ip_busbw); break;
                case Col::wrong:
                    if (tok == "N/A") break;
                    if (auto v = integer(tok)) {
                        (ip ? r.ip_wrong : r.wrong) = *v;
                        r.set(ip ? PackedRow::has_ip_wrong : PackedRow::has_wrong);
                    }
                    break;
                case Col::error:
                    if (tok == "N/A") break;
                    t->build.error_column = true;
                    if (tok.ends_with("*")) tok.remove_suffix(1), starred = true;
                    if (auto v = real(tok, false)) {
                        (ip ? r.ip_error : r.error) = *v;
                        r.set(ip ? PackedRow::has_ip_error : PackedRow::has_error);
                    }
                    break;
                case Col::bitdiff:
                    if (tok == "N/A") break;
                    if (auto v = integer(tok); v && *v != 0)
                        sink_.add("bitwise-mismatch", Severity::warn, index,
                                  "results differed bit for bit between repeats at " +
                                      std::to_string(r.size_bytes) + " B",
                                  raw);
                    break;
                case Col::i_min:
                case Col::i_max:
                case Col::i_p99:
                case Col::i_cv:
                    if (auto v = real(tok, true)) {
                        IterStats& it = iter[c.block];
                        has_iter[c.block] = true;
                        (c.kind == Col::i_min ? it.min_us : c.kind == Col::i_max ? it.max_us
                                                          : c.kind == Col::i_p99 ? it.p99_us : it.cv_pct) = *v;
                    }
                    break;
                case Col::timestamp:
                    stamp[0] = tok, stamp[1] = toks_[k++];
                    break;
                case Col::unknown: break;
            }
        }
        if (sizes_ok) {
            bool series = t->new_series || type_text != t->last_type || redop_text != t->last_redop ||
                          root_text != t->last_root;
            t->build.sizes.push_back({r.size_bytes, series});
            t->new_series = false;
            if (series) {
                t->last_type = std::string(type_text), t->last_redop = std::string(redop_text);
                t->last_root = std::string(root_text);
            }
        }
        if (problem != Num::ok) {
            number_problem(problem, raw,
                           sizes_ok ? "the row at " + std::to_string(r.size_bytes) + " B (left out)"
                                    : "a row (left out)");
            return;
        }
        if (s.ms) {
            r.time_us *= 1000;
            r.ip_time_us *= 1000;
        }
        r.type = result_.intern(type_text);
        r.redop = result_.intern(redop_text);
        r.table = static_cast<uint32_t>(index);
        if (has_iter[0] || has_iter[1] || !stamp[0].empty()) {
            RowExtra e;
            e.row = static_cast<uint32_t>(result_.rows.size());
            if (has_iter[0]) e.per_iter = iter[0];
            if (has_iter[1]) e.ip_per_iter = iter[1];
            if (!stamp[0].empty()) e.timestamp = std::string(stamp[0]) + " " + std::string(stamp[1]);
            result_.extras.push_back(std::move(e));
            r.set(PackedRow::has_extra);
        }
        if (starred) t->build.marked_wrong.push_back(result_.rows.size());
        result_.rows.push_back(r);
        t->build.end_row = result_.rows.size();
    }

    ReadResult finish() {
        std::vector<TableBuild> builds;
        builds.reserve(tables_.size());
        for (size_t ri = 0; ri < runs_.size(); ++ri) {
            Run& r = runs_[ri];
            std::vector<int64_t> ranks = r.rank_numbers;
            std::sort(ranks.begin(), ranks.end());
            if (std::adjacent_find(ranks.begin(), ranks.end()) != ranks.end())
                sink_.add("duplicate-tables", Severity::error, r.table,
                          "the device list names the same rank twice: more than one process printed it",
                          "Rank " + std::to_string(*std::adjacent_find(ranks.begin(), ranks.end())));
            if (r.table == kNoTable) continue;
            TableBuild& b = tables_[r.table].build;
            b.label = r.label;
            b.ranks = static_cast<int64_t>(r.rank_numbers.size());
            b.ranks_whole = !ranks.empty() && ranks.front() == 0 &&
                            ranks.back() == static_cast<int64_t>(ranks.size()) - 1 &&
                            std::adjacent_find(ranks.begin(), ranks.end()) == ranks.end();
        }
        for (TextTable& t : tables_) builds.push_back(std::move(t.build));
        if (builds.empty())
            sink_.add("no-table", Severity::error, kNoTable,
                      orphan_rows_ ? "no result table in the output: " + std::to_string(orphan_rows_) +
                                         " lines look like rows but no column header precedes them"
                                   : std::string("no result table in the output"),
                      "");
        if (rccl_)
            sink_.add("rccl-layout", Severity::note, kNoTable, "rccl-tests output, read in the nccl-tests layout",
                      result_.versions.count("rccl_tests") ? "rccl-tests: Version " + result_.versions["rccl_tests"]
                                                           : std::string());
        detail::finish_result(result_, builds, sink_, collective_);
        return std::move(result_);
    }

    std::string_view text_, collective_;
    ReadResult result_;
    FindingSink sink_;
    std::vector<Run> runs_;
    std::vector<TextTable> tables_;
    std::vector<std::string_view> toks_;
    size_t orphan_rows_ = 0;
    size_t ranks_run_ = kNoTable;
    bool prefix_noted_ = false, rccl_ = false, sci_noted_ = false, keep_runs_ = false;
};

}  // namespace

ReadResult read_output(std::string_view text, std::string_view collective) {
    return TextReader(text, collective).read();
}

std::vector<ReadResult> read_output_parts(std::string_view text, std::string_view collective) {
    return TextReader(text, collective).read_parts();
}

}  // namespace quorvane::analysis
