#include "caveats.hpp"

#include <algorithm>
#include <cctype>

namespace quorvane::analysis {

namespace {

std::string lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

bool contains(const std::string& haystack, const char* needle) { return haystack.find(needle) != std::string::npos; }

const std::string* setting(const RunShape& shape, const std::string& name) {
    for (const auto& [key, value] : shape.environment)
        if (key == name) return &value;
    return nullptr;
}

bool forwarded(const RunShape& shape, const std::string& name) {
    // srun passes the whole environment; mpirun only what -x names.
    if (shape.launcher == "srun") return true;
    return std::find(shape.forwarded.begin(), shape.forwarded.end(), name) != shape.forwarded.end();
}

bool remote_launch(const RunShape& shape) {
    return shape.scope == "multi" && (shape.launcher == "mpirun" || shape.launcher == "ssh");
}

std::string join(const std::vector<std::string>& items) {
    std::string out;
    for (const auto& item : items) out += (out.empty() ? "" : ", ") + item;
    return out;
}

void algorithm_caveat(const RunShape& shape, std::vector<Caveat>& out) {
    if (!shape.environment_known || shape.scope != "multi" || shape.num_nodes != 2) return;
    const std::string* algo = setting(shape, "NCCL_ALGO");
    bool ring = algo && lower(*algo) == "ring";
    if (ring && forwarded(shape, "NCCL_ALGO")) return;
    std::string launcher = shape.launcher == "ssh" ? "mpirun over ssh" : shape.launcher;
    std::string why = ring ? "NCCL_ALGO=" + *algo + " is set here but " + launcher +
                                 " does not pass it to the remote ranks"
                           : "NCCL_ALGO is not RING";
    out.push_back({"two-host-algorithms",
                   "two hosts and " + why + ": NCCL may pick tree or NVLS algorithms that outrun one host's "
                   "links and hide a slow port; set NCCL_ALGO=RING on every rank to grade the fabric itself"});
}

void forwarding_caveat(const RunShape& shape, std::vector<Caveat>& out) {
    if (!shape.environment_known || !remote_launch(shape)) return;
    std::vector<std::string> stranded;
    for (const auto& [name, value] : shape.environment) {
        // The stand-in reads its NCCL_STANDIN_* settings from a file beside it.
        if (name.rfind("NCCL_", 0) != 0 || name.rfind("NCCL_STANDIN_", 0) == 0) continue;
        if (!forwarded(shape, name)) stranded.push_back(name);
    }
    if (stranded.empty()) return;
    std::string passed = shape.forwarded.empty() ? "no NCCL_* variable" : join(shape.forwarded);
    out.push_back({"nccl-env-not-forwarded",
                   "mpirun passes only " + passed + " to remote ranks: " + join(stranded) +
                       " set here reach only the ranks on this host; set them on every host or forward them "
                       "with -x"});
}

void device_caveats(const RunShape& shape, std::vector<Caveat>& out) {
    if (shape.emulated || shape.ranks.empty()) return;
    std::vector<std::pair<std::string, int>> models;  // device name, ranks, in order of appearance
    for (const auto& [host, device] : shape.ranks) {
        auto it = std::find_if(models.begin(), models.end(), [&](const auto& m) { return m.first == device; });
        if (it == models.end()) models.emplace_back(device, 1); else ++it->second;
    }
    if (models.size() > 1) {
        std::vector<std::string> parts;
        for (const auto& [device, count] : models)
            parts.push_back(device + " (" + std::to_string(count) + (count == 1 ? " rank)" : " ranks)"));
        out.push_back({"mixed-devices", "the output's # Rank lines show " + std::to_string(models.size()) +
                                            " device models: " + join(parts)});
    }
    for (const auto& [device, count] : models) {
        auto type = gpu_type_of_device(device);
        if (type && *type != shape.gpu_type)
            out.push_back({"device-mismatch", "the output's # Rank lines show " + device + " (" + *type +
                                                  "), graded as " + shape.gpu_type +
                                                  ": the cutoffs are those of another GPU"});
    }
}

void count_caveats(const RunShape& shape, std::vector<Caveat>& out) {
    if (shape.ranks.empty() || shape.gpus_per_node <= 0) return;
    const long asked = static_cast<long>(shape.num_nodes) * shape.gpus_per_node;
    const long seen = static_cast<long>(shape.ranks.size());
    if (seen != asked) {
        std::string layout = shape.num_nodes > 1 ? " (" + std::to_string(shape.num_nodes) + " hosts x " +
                                                       std::to_string(shape.gpus_per_node) + " GPUs)"
                                                 : "";
        out.push_back({"rank-count", "the output lists " + std::to_string(seen) + (seen == 1 ? " rank; " : " ranks; ") +
                                         std::to_string(asked) + " were asked for" + layout});
    }
    if (shape.emulated) return;
    std::vector<std::string> hosts;
    for (const auto& rank : shape.ranks)
        if (std::find(hosts.begin(), hosts.end(), rank.first) == hosts.end()) hosts.push_back(rank.first);
    if (static_cast<int>(hosts.size()) != shape.num_nodes) {
        out.push_back({"host-count", "the output's ranks ran on " + std::to_string(hosts.size()) +
                                         (hosts.size() == 1 ? " host (" : " hosts (") + join(hosts) + "); " +
                                         std::to_string(shape.num_nodes) + " were asked for"});
    }
}

}  // namespace

std::optional<std::string> gpu_type_of_device(const std::string& device) {
    const std::string name = lower(device);
    // Longer names first: "GH200" holds "H200", "GB200" holds "B200".
    if (contains(name, "gh200")) return "GH200";
    if (contains(name, "gb200")) return "GB200";
    if (contains(name, "h200")) return contains(name, "nvl") ? "H200_NVL" : "H200";
    if (contains(name, "h100")) {
        if (contains(name, "pcie")) return "H100_PCIE";
        return contains(name, "nvl") ? "H100_NVL" : "H100_SXM";
    }
    if (contains(name, "b200")) return "B200";
    if (contains(name, "a100")) return contains(name, "pcie") ? "A100_PCIE" : "A100_SXM";
    for (const char* amd : {"MI300X", "MI300A", "MI325X", "MI355X", "MI250X", "MI250"}) {
        if (contains(name, lower(amd).c_str())) return std::string(amd);
    }
    return std::nullopt;
}

std::vector<Caveat> caveats_for(const RunShape& shape) {
    std::vector<Caveat> out;
    algorithm_caveat(shape, out);
    forwarding_caveat(shape, out);
    device_caveats(shape, out);
    count_caveats(shape, out);
    return out;
}

}  // namespace quorvane::analysis
