// What the hardware allows and what healthy hosts measure: a small table, each
// number with its public source, for checking cutoffs and for showing beside a
// headline.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace quorvane::analysis {

// The most all_reduce bus bandwidth (GB/s, per GPU, one direction) the links
// of one GPU type allow in a scope: NVLink generation x links, xGMI links x
// usable rate, PCIe lanes, or for several hosts the hosts' NIC line rates.
struct LinkBudget {
    std::string gpu_type;
    std::string scope;    // "intra" or "multi"
    double gbps = 0;
    std::string basis;    // how the number is made, e.g. "NVLink 4: 18 links x 25 GB/s per direction"
    std::string source;   // where the figures come from
};

// The all_reduce bus bandwidth healthy hosts of a GPU type published at one
// message size (out-of-place column).
struct TypicalBusbw {
    std::string gpu_type;
    std::string scope;
    long long size_bytes = 0;
    double low_gbps = 0;
    double high_gbps = 0;
    int gpus = 0;         // ranks in the published runs
    int nodes = 1;
    std::string source;
};

const std::vector<LinkBudget>& link_budgets();
const std::vector<TypicalBusbw>& typical_values();

std::optional<LinkBudget> link_budget(const std::string& gpu_type, const std::string& scope);
std::optional<TypicalBusbw> typical_busbw(const std::string& gpu_type, const std::string& scope, long long size_bytes);

// The published value at the largest size not above `size_bytes`: what a
// healthy host reaches by then (bus bandwidth only grows with the size until
// its plateau), or nothing where no value is published at or below it.
std::optional<TypicalBusbw> typical_up_to(const std::string& gpu_type, const std::string& scope, long long size_bytes);

// The largest size a sweep from `begin` multiplying by `factor` measures
// without passing `end` (8 KiB x 16^k up to 128 MiB stops at 32 MiB).
long long largest_measured_size(long long begin, long long end, long long factor);

}  // namespace quorvane::analysis
