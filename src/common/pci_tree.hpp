// The PCI tree of a host and which NICs are closest to each GPU on it, in
// plain C++ for both modules: the library's topology parser and the
// analysis's topology findings give the same answer because they ask this.
//
// The tree holds every distinct PCI ancestor chain as one node: node 0 is the
// empty chain, every other node is its parent's chain followed by one bus id,
// and parents are numbered before their children. A device hangs on the node
// of its own chain.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace quorvane::pci {

// The most NIC entries all affinity lists together may hold. A real host has
// a few dozen; a hostile document can ask for a number quadratic in its size,
// which is refused before any list is made.
inline constexpr std::size_t max_affinity_items = std::size_t{1} << 24;

// The refusal: what() is one line, "topology too large: ...".
class TooLarge : public std::length_error {
public:
    using std::length_error::length_error;
};

struct Affinity {
    // Per GPU, the deepest node of its chain (the empty chain excluded) with a
    // NIC below it, or 0: the NICs below that node share the longest chain
    // prefix with the GPU's. 0 means no NIC shares even one bus id with it.
    std::vector<std::uint32_t> node;
    // Per GPU whose list was asked for: those NICs, each port once (the first
    // NIC of each key), in document order. Empty for the others.
    std::vector<std::vector<std::uint32_t>> nics;
};

// parent: per node, its parent (parent[0] is unused). gpu_chain, nic_chain:
// per device, its node. nic_key: per NIC, equal for NICs that are one port
// (listed once). listed: per GPU, whether its list is wanted; only these
// count towards max_affinity_items. Throws TooLarge past that limit.
Affinity gpu_nic_affinity(std::span<const std::uint32_t> parent, std::span<const std::uint32_t> gpu_chain,
                          std::span<const char> listed, std::span<const std::uint32_t> nic_chain,
                          std::span<const std::uint32_t> nic_key);

}  // namespace quorvane::pci
