// The field reader of nccl-tests (and rccl-tests) output: what one run printed
// on its standard output, or the file it wrote with -J, turned into rows and
// findings. Plain values in, plain values out.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "finding.hpp"

namespace quorvane::analysis {

// The per-iteration statistics that -I adds to each block of a row.
struct IterStats {
    double min_us = 0, max_us = 0, p99_us = 0, cv_pct = 0;
};

// One row of a result table, as Python sees it: the out-of-place block is
// always there; the in-place block is absent when the layout has none. `wrong`
// is absent when the benchmark did not check the results (N/A). In the old
// layout with an `error` column (largest deviation from the expected values),
// `error` holds that value and `wrong` is 1 when it counts as wrong results,
// else 0.
struct Row {
    std::string collective;
    int64_t size_bytes = 0;
    int64_t count = 0;
    std::string type, redop;
    int64_t root = -1;
    double time_us = 0, algbw_gbps = 0, busbw_gbps = 0;
    std::optional<int64_t> wrong;
    std::optional<double> ip_time_us, ip_algbw_gbps, ip_busbw_gbps;
    std::optional<int64_t> ip_wrong;
    std::optional<double> error, ip_error;
    std::optional<IterStats> per_iter, ip_per_iter;
    std::string timestamp;  // -S: "2025-01-31 12:00:00"
};

// One row as the reader keeps it: numbers only, what is present as flag bits,
// the texts (data type, operation) as indexes into the result's name table and
// the collective as its table's index. Per-iteration statistics and time
// stamps, which few runs print, are kept beside the rows.
struct PackedRow {
    enum Flag : uint16_t {
        has_wrong = 1 << 0,
        in_place = 1 << 1,     // the in-place block was printed (its time at least)
        has_ip_algbw = 1 << 2,
        has_ip_busbw = 1 << 3,
        has_ip_wrong = 1 << 4,
        has_error = 1 << 5,
        has_ip_error = 1 << 6,
        has_extra = 1 << 7,    // per-iteration statistics or a time stamp beside the rows
        implausible = 1 << 8,  // its bus bandwidth cannot be a measurement: never a headline
    };
    int64_t size_bytes = 0;
    int64_t count = 0;
    double time_us = 0, algbw_gbps = 0, busbw_gbps = 0;
    double ip_time_us = 0, ip_algbw_gbps = 0, ip_busbw_gbps = 0;
    double error = 0, ip_error = 0;
    int64_t wrong = 0, ip_wrong = 0;
    int32_t root = -1;
    uint32_t table = 0;
    uint16_t flags = 0;
    uint16_t type = 0, redop = 0;  // indexes into ReadResult::names (0 is "")

    bool has(Flag f) const { return (flags & f) != 0; }
    void set(Flag f) { flags = static_cast<uint16_t>(flags | f); }
};

// What few rows carry, kept beside them (sorted by row).
struct RowExtra {
    uint32_t row = 0;
    std::optional<IterStats> per_iter, ip_per_iter;
    std::string timestamp;
};

// One "# Rank" (or NCCL 1 "# Device") line of the device list.
struct RankLine {
    int64_t rank = -1;
    int64_t group = -1;
    int64_t pid = -1;
    std::string host;
    int64_t local_device = -1;
    std::string busid;
    std::string device;  // the device name, e.g. "NVIDIA H100 80GB HBM3"
};

// One result table (one run of one collective) within the text.
struct TableInfo {
    std::string collective;
    size_t rows = 0;
    bool complete = false;
    bool concluded = false;
    std::optional<double> avg_busbw;
    std::optional<int64_t> out_of_bounds;
};

struct ReadResult {
    std::vector<PackedRow> rows;
    std::vector<std::string> names{std::string()};  // data types and operations of the rows
    std::vector<RowExtra> extras;
    std::vector<size_t> finding_tables;  // per finding: its table, or SIZE_MAX for the whole output
    std::vector<Finding> findings;
    bool complete = false;
    std::string collective;
    std::map<std::string, std::string> versions;
    std::map<std::string, std::string> params;
    std::vector<RankLine> ranks;
    std::optional<double> avg_busbw;
    std::optional<int64_t> out_of_bounds;
    bool concluded = false;
    std::vector<TableInfo> tables;

    // The text of a name index; the collective of a row.
    const std::string& name(uint16_t index) const;
    const std::string& collective_of(const PackedRow& r) const;
    // A row with its texts, as Python sees it.
    Row row(size_t index) const;
    // Index of a text in `names`, added when new (past the table's limit,
    // further texts share the last slot).
    uint16_t intern(std::string_view text);
};

// The standard output of a run. `collective` labels every row; empty means
// "take it from the output" (the program name it prints).
ReadResult read_output(std::string_view text, std::string_view collective = {});

// A file written by nccl-tests -J (versions 1 to 3). Its environment dump is
// never read into the result.
ReadResult read_json(std::string_view text, std::string_view collective = {});

// The runs of a text output, each read on its own: one result per table, with
// the findings, device list and parameters of its own run (findings about the
// whole output go to each). An output with no table gives one result.
std::vector<ReadResult> read_output_parts(std::string_view text, std::string_view collective = {});

// The best out-of-place all_reduce bus bandwidth and the size it was measured
// at: the first row that no later row exceeds. Rows marked implausible never
// count.
std::optional<std::pair<double, int64_t>> headline(const std::vector<Row>& rows);
std::optional<std::pair<double, int64_t>> headline(const ReadResult& result);

// The factor nccl-tests multiplies a collective's algorithm bandwidth by to get
// its bus bandwidth on n ranks (all_reduce 2(n-1)/n), or nullopt for a
// collective it does not know.
std::optional<double> busbw_factor(std::string_view collective, int64_t ranks);

// Rows whose bus bandwidth is above `limit_gbps` (twice the links' budget of
// the GPU type): each is marked implausible; one finding per table says so.
std::vector<Finding> check_link_budget(ReadResult& result, double limit_gbps, std::string_view basis);

}  // namespace quorvane::analysis
