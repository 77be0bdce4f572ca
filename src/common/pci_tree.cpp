#include "pci_tree.hpp"

#include <algorithm>
#include <memory>
#include <unordered_map>
#include <utility>

namespace quorvane::pci {

// For a GPU, the best node is the deepest on its chain with a NIC below it,
// and its closest NICs are exactly the NICs below that node. The keys below
// each node are gathered bottom-up (children come after their parents, so a
// backward walk finishes every subtree before its root), merging the smaller
// map into the larger, so the cost stays near-linear however the devices are
// spread.
Affinity gpu_nic_affinity(std::span<const std::uint32_t> parent, std::span<const std::uint32_t> gpu_chain,
                          std::span<const char> listed, std::span<const std::uint32_t> nic_chain,
                          std::span<const std::uint32_t> nic_key) {
    const std::size_t nodes = parent.size();
    Affinity out;
    out.node.assign(gpu_chain.size(), 0);
    out.nics.resize(gpu_chain.size());
    if (nodes < 2) return out;

    std::vector<char> has_nic(nodes, 0);
    for (std::uint32_t chain : nic_chain) has_nic[chain] = 1;
    for (std::size_t v = nodes - 1; v > 0; --v) {
        if (has_nic[v]) has_nic[parent[v]] = 1;
    }
    std::vector<std::uint32_t> deepest(nodes, 0);
    for (std::size_t v = 1; v < nodes; ++v) deepest[v] = has_nic[v] ? static_cast<std::uint32_t>(v) : deepest[parent[v]];

    // How many listed GPUs take their list from each node.
    std::vector<std::size_t> takers(nodes, 0);
    for (std::size_t g = 0; g < gpu_chain.size(); ++g) {
        out.node[g] = deepest[gpu_chain[g]];
        if (listed[g]) ++takers[out.node[g]];
    }
    takers[0] = 0;

    using FirstSeen = std::unordered_map<std::uint32_t, std::uint32_t>;  // key -> first NIC index
    std::vector<std::unique_ptr<FirstSeen>> below(nodes);
    for (std::size_t n = 0; n < nic_chain.size(); ++n) {
        auto& seen = below[nic_chain[n]];
        if (!seen) seen = std::make_unique<FirstSeen>();
        seen->try_emplace(nic_key[n], static_cast<std::uint32_t>(n));
    }

    std::unordered_map<std::uint32_t, std::vector<std::uint32_t>> closest;
    std::size_t items = 0;
    for (std::size_t v = nodes - 1; v > 0; --v) {
        auto& seen = below[v];
        if (!seen) continue;
        if (takers[v]) {
            items += seen->size() * takers[v];
            if (items > max_affinity_items) {
                throw TooLarge("topology too large: the GPU-NIC affinity would hold more than " +
                               std::to_string(max_affinity_items) + " items");
            }
            std::vector<std::uint32_t> firsts;
            firsts.reserve(seen->size());
            for (const auto& [key, first] : *seen) firsts.push_back(first);
            std::sort(firsts.begin(), firsts.end());
            closest.emplace(static_cast<std::uint32_t>(v), std::move(firsts));
        }
        const std::uint32_t up = parent[v];
        if (up == 0) {
            seen.reset();
            continue;
        }
        auto& into = below[up];
        if (!into) {
            into = std::move(seen);
            continue;
        }
        if (into->size() < seen->size()) std::swap(into, seen);
        for (const auto& [key, first] : *seen) {
            auto [at, fresh] = into->try_emplace(key, first);
            if (!fresh && first < at->second) at->second = first;
        }
        seen.reset();
    }

    for (std::size_t g = 0; g < gpu_chain.size(); ++g) {
        if (listed[g] && out.node[g]) out.nics[g] = closest.at(out.node[g]);
    }
    return out;
}

}  // namespace quorvane::pci
