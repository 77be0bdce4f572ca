// What the text and the -J readers share: findings gathered per table, the
// sizes a run asked for, and the checks made once a table has been read.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "reader.hpp"

namespace quorvane::analysis::detail {

inline constexpr size_t kNoTable = static_cast<size_t>(-1);

// Findings of one kind are gathered per table: the first occurrence gives the
// message and evidence, later ones only count. So a 10,000-row table with a
// bad column gives one finding, not 10,000.
class FindingSink {
public:
    void add(std::string_view code, Severity severity, size_t table, std::string message,
             std::string_view evidence = {});
    bool has(Severity severity, size_t table) const;
    bool has_code(std::string_view code) const;
    // The findings in first-seen order, each message led by its table's label;
    // `tables` receives each one's table (kNoTable for the whole output).
    std::vector<Finding> take(const std::vector<std::string>& labels, std::vector<size_t>& tables);

private:
    struct Entry {
        Finding finding;
        size_t table;
        size_t count;
    };
    std::vector<Entry> entries_;
    std::map<std::pair<size_t, std::string>, size_t, std::less<>> index_;  // (table, code) -> entry
    std::map<size_t, Severity> worst_;                                       // table -> worst severity
};

// The sizes a run asked for: -b, -e (or the smaller maximum the benchmark
// chose for lack of memory) and -f or -i.
struct Steps {
    int64_t min = -1, max = -1;
    int64_t factor = 0, step_bytes = 0;
    bool known() const { return min >= 0 && max >= 0 && (factor > 1 || step_bytes > 0); }
};

Steps steps_from_params(const std::map<std::string, std::string>& params);

// One table while it is read; the rows themselves go straight to the result.
struct TableBuild {
    std::string label;
    size_t first_row = 0, end_row = 0;
    bool header = false, footer = false, concluded = false;
    std::optional<double> avg_busbw;
    std::optional<int64_t> out_of_bounds;
    Steps steps;
    int64_t ranks = 0;
    bool ranks_whole = false;  // the device list names ranks 0 to ranks-1, each once
    bool error_column = false;
    // Every row read, kept or not: its size and whether it starts a new series
    // (another type, operation or root, or an rccl stress cycle).
    std::vector<std::pair<int64_t, bool>> sizes;
    std::vector<size_t> marked_wrong;  // rows rccl-tests starred as over its threshold
};

// Shortens text for evidence: one line, at most 240 characters.
std::string evidence_text(std::string_view text);

// Makes the checks on wrong results, bus bandwidths, footers and sizes;
// returns the table's summary.
TableInfo finish_table(TableBuild& table, size_t index, ReadResult& result, FindingSink& sink);

// The collective a table's columns show, for output that does not name it:
// operation and root, and the ratio of bus to algorithm bandwidth against the
// factors of n ranks. Empty when they do not tell.
std::string collective_from_columns(const TableBuild& table, const ReadResult& result);

// Fills the result's collective, completeness and footer totals from the tables.
void finish_result(ReadResult& result, std::vector<TableBuild>& tables, FindingSink& sink,
                   std::string_view collective);

std::string format_number(double value);

// What the run that printed a table said besides the table.
struct RunOfTable {
    std::map<std::string, std::string> params;
    std::vector<RankLine> ranks;
};

// One result per table of `whole` (`runs` indexed by table).
std::vector<ReadResult> split_runs(ReadResult&& whole, const std::vector<RunOfTable>& runs);

}  // namespace quorvane::analysis::detail
