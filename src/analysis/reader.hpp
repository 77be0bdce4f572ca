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

// One row of a result table. The out-of-place block is always there; the
// in-place block is absent when the layout has none. `wrong` is absent when the
// benchmark did not check the results (N/A). In the old layout with an `error`
// column (largest deviation from the expected values), `error` holds that value
// and `wrong` is 1 when it counts as wrong results, else 0.
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
    std::vector<Row> rows;
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
};

// The standard output of a run. `collective` labels every row; empty means
// "take it from the output" (the program name it prints).
ReadResult read_output(std::string_view text, std::string_view collective = {});

// A file written by nccl-tests -J (versions 1 to 3). Its environment dump is
// never read into the result.
ReadResult read_json(std::string_view text, std::string_view collective = {});

// The best out-of-place all_reduce bus bandwidth and the size it was measured
// at: the first row that no later row exceeds.
std::optional<std::pair<double, int64_t>> headline(const std::vector<Row>& rows);

}  // namespace quorvane::analysis
