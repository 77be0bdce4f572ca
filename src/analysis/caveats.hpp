// Caveats: what a reader of a result must know even when it passes, because
// the measurement may not say what it seems to.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace quorvane::analysis {

struct Caveat {
    std::string code;     // "two-host-algorithms", "nccl-env-not-forwarded", "device-mismatch",
                          // "mixed-devices", "rank-count", "host-count"
    std::string message;  // one line

    bool operator==(const Caveat&) const = default;
};

// What the run asked for and what its output showed.
struct RunShape {
    std::string gpu_type;       // the --gpu-type the result is graded as
    std::string scope;          // "intra" or "multi"
    int num_nodes = 1;
    int gpus_per_node = 0;
    std::string launcher;       // "srun", "mpirun", "ssh" or "" (one host)
    // The caller's NCCL_* settings, and the names the launcher passes to remote
    // ranks (the mpirun command forwards NCCL_DEBUG only). A saved output says
    // nothing of the environment it ran in: then `environment_known` is false.
    std::vector<std::pair<std::string, std::string>> environment;
    bool environment_known = true;
    std::vector<std::string> forwarded;
    // (host, device) of each "# Rank" line of the output, in order.
    std::vector<std::pair<std::string, std::string>> ranks;
    bool emulated = false;      // the stand-in prints its own host and device names
};

std::vector<Caveat> caveats_for(const RunShape& shape);

// The GPU type a device name from a "# Rank" line denotes ("NVIDIA H100 80GB
// HBM3" -> "H100_SXM"), or nothing when the name is not one we know.
std::optional<std::string> gpu_type_of_device(const std::string& device);

}  // namespace quorvane::analysis
