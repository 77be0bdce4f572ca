#include "hardware.hpp"

#include <limits>

namespace quorvane::analysis {

namespace {

constexpr long long k32MiB = 32LL << 20;
constexpr long long kGiB = 1LL << 30;
constexpr long long k8GiB = 8 * kGiB;
constexpr long long k16GiB = 16 * kGiB;

// Several hosts: a ring all_reduce sends every byte through the hosts' NICs
// once, so its bus bandwidth stays under the NICs' summed line rate; a tree
// sends about half as much and can reach twice that. NCCL picks either unless
// NCCL_ALGO says otherwise, so the budget is the tree's, capped by NVLink.
constexpr const char* kMultiRule =
    "; ring all_reduce <= the NICs' sum, tree up to twice it, never above the GPU's NVLink";

}  // namespace

const std::vector<LinkBudget>& link_budgets() {
    static const std::vector<LinkBudget> table = {
        // NVSwitch hosts reduce inside the switch (NVLS): each GPU sends its data
        // once and gets the sum back once, so algbw reaches the link rate and
        // the bus bandwidth 2(n-1)/n times it (8 GPUs: 1.75 x 450).
        {"H100_SXM", "intra", 787.5,
         "NVLink 4: 18 links x 25 GB/s = 450 GB/s per direction; with NVLS in-switch reduction algbw up "
         "to 450, bus bandwidth up to 2(n-1)/n x 450 = 787.5 for 8 GPUs",
         "NVIDIA H100 Tensor Core GPU datasheet (SXM5: NVLink 900 GB/s both ways); NVIDIA Hopper "
         "architecture whitepaper (18 NVLink 4 links, NVLink SHARP)"},
        {"H200", "intra", 787.5,
         "NVLink 4: 18 links x 25 GB/s = 450 GB/s per direction; with NVLS in-switch reduction bus "
         "bandwidth up to 2(n-1)/n x 450 = 787.5 for 8 GPUs",
         "NVIDIA H200 Tensor Core GPU datasheet (SXM: NVLink 900 GB/s both ways)"},
        {"GH200", "intra", 450, "NVLink 4: 18 links x 25 GB/s per direction to the other GH200s",
         "NVIDIA GH200 Grace Hopper Superchip datasheet (NVLink 900 GB/s both ways)"},
        {"B200", "intra", 1575,
         "NVLink 5: 18 links x 50 GB/s = 900 GB/s per direction; with NVLS in-switch reduction bus "
         "bandwidth up to 2(n-1)/n x 900 = 1575 for 8 GPUs",
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
        // The plateau, 1 GiB and above (what the full plan measures).
        {"H100_SXM", "intra", k8GiB, 481.39, 481.39, 8, 1,
         "8x H100 80GB HBM3, nccl-tests 2.17.8 / NCCL 2.29.2: 481.39 GB/s at 8 GiB (git "
         "xxrjun/nccl-tests-cluster, example-cluster01 single-node log @455de4f)"},
        {"H100_SXM", "intra", k16GiB, 482.27, 482.27, 8, 1,
         "8x H100 80GB HBM3, nccl-tests 2.17.8 / NCCL 2.29.2: 482.27 GB/s at 16 GiB (git "
         "xxrjun/nccl-tests-cluster, example-cluster01 single-node log @455de4f)"},
        {"H200", "intra", k8GiB, 476.96, 476.96, 8, 1,
         "8x H200, NCCL 2.19.3: 476.96 GB/s at 8 GiB (AzHPC Debian 10.13 H200 driver-update notes, "
         "all_reduce_perf -b 8G -e 8G on one host)"},
        {"A100_SXM", "intra", k8GiB, 235.26, 235.26, 8, 1,
         "8x A100-SXM4-40GB, nccl-tests 2.x: 235.26 GB/s at 8 GiB (git microsoft/superbenchmark "
         "tests/data/nccl_allreduce.log @ff563b6)"},
        {"MI300X", "intra", k8GiB, 315.69, 315.69, 8, 1,
         "8x MI300X, rccl-tests develop:a7809b3: 315.69 GB/s at 8 GiB (git hisohara/ai-scripts "
         "training/01_rccl-smoketest/README.md @7b8b1ec)"},
        {"H100_SXM", "multi", k8GiB, 338.82, 338.82, 16, 2,
         "2 x 8 H100 80GB HBM3, GCP A3 Mega (8 x 200 Gb/s NICs): 338.82 GB/s at 8 GiB (git "
         "lessizzmore/create-a3mega-ztan-fork ztan-NCCL-test-result @02dd8f4)"},
        {"A100_SXM", "multi", 4 * kGiB, 190.02, 190.02, 16, 2,
         "2 x OCI BM.GPU4.8 (8x A100-SXM4-40GB, RDMA cluster network), NCCL 2.25.1: 190.02 GB/s at "
         "4 GiB (OCI OKE RDMA quick start README, all_reduce_perf -b 1G -e 4G)"},
        {"H200", "multi", k16GiB, 369.86, 369.86, 0, 0,
         "p5en.48xlarge (8x H200, EFA), several hosts (count not stated): 369.86 GB/s at 16 GiB (git "
         "aws-samples/awsome-distributed-training micro-benchmarks/nccl-tests/slurm/"
         "topology-aware-nccl-tests/README.md)"},
        {"MI300X", "multi", k16GiB, 357.46, 357.46, 16, 2,
         "2 x 8 MI300X, RCCL 2.22.3: 357.46 GB/s at 16 GiB (git hisohara/ai-scripts "
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

std::optional<TypicalBusbw> typical_up_to(const std::string& gpu_type, const std::string& scope, long long size_bytes) {
    std::optional<TypicalBusbw> best;
    for (const auto& t : typical_values())
        if (t.gpu_type == gpu_type && t.scope == scope && t.size_bytes <= size_bytes &&
            (!best || t.size_bytes > best->size_bytes))
            best = t;
    return best;
}

long long largest_measured_size(long long begin, long long end, long long factor) {
    if (begin <= 0 || end < begin) return 0;
    long long size = begin;
    if (factor <= 1) return size;
    while (size <= std::numeric_limits<long long>::max() / factor && size * factor <= end) size *= factor;
    return size;
}

}  // namespace quorvane::analysis
