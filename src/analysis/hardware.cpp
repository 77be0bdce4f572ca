#include "hardware.hpp"

#include <limits>

namespace quorvane::analysis {

namespace {

constexpr long long k32MiB = 32LL << 20;

// Several hosts: a ring all_reduce sends every byte through the hosts' NICs
// once, so its bus bandwidth stays under the NICs' summed line rate; a tree
// sends about half as much and can reach twice that. NCCL picks either unless
// NCCL_ALGO says otherwise, so the budget is the tree's, capped by NVLink.
constexpr const char* kMultiRule =
    "; ring all_reduce <= the NICs' sum, tree up to twice it, never above the GPU's NVLink";

}  // namespace

const std::vector<LinkBudget>& link_budgets() {
    static const std::vector<LinkBudget> table = {
        {"H100_SXM", "intra", 450, "NVLink 4: 18 links x 25 GB/s per direction",
         "NVIDIA H100 Tensor Core GPU datasheet (SXM5: NVLink 900 GB/s both ways); NVIDIA Hopper "
         "architecture whitepaper (18 NVLink 4 links)"},
        {"H200", "intra", 450, "NVLink 4: 18 links x 25 GB/s per direction",
         "NVIDIA H200 Tensor Core GPU datasheet (SXM: NVLink 900 GB/s both ways)"},
        {"GH200", "intra", 450, "NVLink 4: 18 links x 25 GB/s per direction to the other GH200s",
         "NVIDIA GH200 Grace Hopper Superchip datasheet (NVLink 900 GB/s both ways)"},
        {"B200", "intra", 900, "NVLink 5: 18 links x 50 GB/s per direction",
         "NVIDIA DGX B200 / HGX B200 specifications (NVLink 1.8 TB/s per GPU both ways)"},
        {"A100_SXM", "intra", 300, "NVLink 3: 12 links x 25 GB/s per direction",
         "NVIDIA A100 Tensor Core GPU datasheet (SXM4: NVLink 600 GB/s both ways)"},
        {"H100_PCIE", "intra", 64, "PCIe Gen5 x16: 64 GB/s per direction (hosts without NVLink bridges)",
         "NVIDIA H100 Tensor Core GPU datasheet (PCIe: PCIe Gen5 128 GB/s both ways)"},
        {"A100_PCIE", "intra", 32, "PCIe Gen4 x16: 32 GB/s per direction (hosts without NVLink bridges)",
         "NVIDIA A100 Tensor Core GPU datasheet (PCIe: PCIe Gen4 64 GB/s both ways)"},
        {"MI300X", "intra", 336, "xGMI: 7 links x about 48 GB/s usable per direction (64 GB/s peak each)",
         "AMD Instinct MI300X data sheet (7 AMD Infinity Fabric links, 896 GB/s aggregate peak both ways); "
         "usable rate about 75% of the per-link peak"},
        {"H100_SXM", "multi", 450, std::string("8 x 400 Gb/s NICs per host = 400 GB/s") + kMultiRule,
         "NVIDIA DGX H100 datasheet (8x ConnectX-7 400 Gb/s for the compute fabric)"},
        {"H200", "multi", 450, std::string("8 x 400 Gb/s NICs per host = 400 GB/s") + kMultiRule,
         "NVIDIA DGX H200 datasheet (8x ConnectX-7 400 Gb/s for the compute fabric)"},
        {"B200", "multi", 800, std::string("8 x 400 Gb/s NICs per host = 400 GB/s") + kMultiRule,
         "NVIDIA DGX B200 datasheet (8x ConnectX-7 400 Gb/s for the compute fabric)"},
        {"A100_SXM", "multi", 300, std::string("8 x 200 Gb/s NICs per host = 200 GB/s") + kMultiRule,
         "NVIDIA DGX A100 datasheet (8x ConnectX-6 200 Gb/s HDR for the compute fabric)"},
    };
    return table;
}

const std::vector<TypicalBusbw>& typical_values() {
    static const std::vector<TypicalBusbw> table = {
        {"H100_SXM", "intra", k32MiB, 276, 321, 8, 1,
         "8x H100 SXM: 276-296 GB/s in published runs; 321.10 GB/s with nccl-tests 2.17.8 / NCCL 2.29.2 "
         "(git xxrjun/nccl-tests-cluster, example-cluster01 single-node log @455de4f)"},
        {"H200", "intra", k32MiB, 298, 301, 8, 1, "8x H200 SXM: 298-301 GB/s in published runs"},
        {"A100_SXM", "intra", k32MiB, 156.89, 156.89, 8, 1,
         "8x A100-SXM4-40GB, nccl-tests 2.x: 156.89 GB/s (git microsoft/superbenchmark "
         "tests/data/nccl_allreduce.log @ff563b6)"},
        {"MI300X", "intra", k32MiB, 238.45, 238.45, 8, 1,
         "8x MI300X, rccl-tests develop:a7809b3: 238.45 GB/s (git hisohara/ai-scripts "
         "training/01_rccl-smoketest/README.md @7b8b1ec)"},
        {"H100_SXM", "multi", k32MiB, 59.36, 59.36, 16, 2,
         "2 x 8 H100 80GB HBM3, GCP A3 Mega (8 x 200 Gb/s NICs): 59.36 GB/s (git "
         "lessizzmore/create-a3mega-ztan-fork ztan-NCCL-test-result @02dd8f4)"},
        {"A100_SXM", "multi", k32MiB, 40.85, 40.85, 16, 2,
         "2 x p4de.24xlarge (8x A100, 4 x 100 Gb/s EFA), srun: 40.85 GB/s (git "
         "aws-samples/awsome-distributed-training micro-benchmarks/nccl-tests/README.md @7217859)"},
        {"MI300X", "multi", k32MiB, 106.58, 106.58, 16, 2,
         "2 x 8 MI300X, RCCL 2.22.3: 106.58 GB/s (git hisohara/ai-scripts "
         "training/01_rccl-smoketest/README.md @7b8b1ec)"},
    };
    return table;
}

std::optional<LinkBudget> link_budget(const std::string& gpu_type, const std::string& scope) {
    for (const auto& b : link_budgets())
        if (b.gpu_type == gpu_type && b.scope == scope) return b;
    return std::nullopt;
}

std::optional<TypicalBusbw> typical_busbw(const std::string& gpu_type, const std::string& scope, long long size_bytes) {
    for (const auto& t : typical_values())
        if (t.gpu_type == gpu_type && t.scope == scope && t.size_bytes == size_bytes) return t;
    return std::nullopt;
}

long long largest_measured_size(long long begin, long long end, long long factor) {
    if (begin <= 0 || end < begin) return 0;
    long long size = begin;
    if (factor <= 1) return size;
    while (size <= std::numeric_limits<long long>::max() / factor && size * factor <= end) size *= factor;
    return size;
}

}  // namespace quorvane::analysis
