// Topology findings: what is wrong with a host, read from NCCL's (or RCCL's)
// topology XML in one pass, and how hosts compare with a golden file and with
// each other. Plain values in, plain values out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "finding.hpp"

namespace quorvane::analysis::topology {

using OptInt = std::optional<std::int64_t>;

// A `pci` element with a bus id. Elements with the same bus id under the same
// chain of enclosing elements are one node, so that equal chains compare equal.
struct PciNode {
    std::uint32_t parent = 0;  // node 0 is the empty chain
    std::string busid;
    std::string pci_class;     // as written, e.g. "0x030200"
    std::string vendor;
    std::string device;
    std::string link_speed;    // as written, e.g. "32.0 GT/s PCIe"
    OptInt link_width;         // 0 means unknown (virtual machines)
    OptInt numa;               // of the nearest enclosing cpu
};

struct Gpu {
    OptInt dev, rank, sm;
    std::string gcn;                  // AMD architecture, as the dump gives it
    std::optional<std::string> gdr;   // the attribute as written; absent in static files
    std::uint32_t chain = 0;          // innermost PCI node: the GPU's own
    OptInt numa;
    std::int64_t nvlink_count = 0, nvlink_peers = 0;
    std::int64_t xgmi_count = 0, xgmi_peers = 0;
};

struct Nic {
    std::string name;
    OptInt speed_mbps, port;
    std::optional<std::string> gdr;
    std::string guid;
    std::uint32_t chain = 0;
    OptInt numa;
};

// dump: NCCL/RCCL wrote <gpu>/<net> elements; static_file: only <pci class=...>
// leaves, devices taken from their class codes; none: no <system>; invalid: the
// text is not well-formed XML, or too large to analyse.
enum class Kind { dump, static_file, none, invalid };

const char* kind_name(Kind kind);

struct Report {
    Kind kind = Kind::none;
    std::string error;         // none and invalid: one line
    std::size_t line = 0;      // invalid XML: where the reader stopped
    std::size_t column = 0;
    std::vector<PciNode> pci;  // pci[0] is the empty chain
    std::vector<Gpu> gpus;
    std::vector<Nic> nics;
    // Per GPU, the NICs under its deepest shared PCI node (indices into nics):
    // for a dump only the GPUs with a dev, whom the inventory lists.
    std::vector<std::vector<std::uint32_t>> affinity;
    // Per GPU, whether some NIC shares at least one PCI node with it.
    std::vector<bool> local_nic;
    std::int64_t numa_domains = 0;
    std::vector<Finding> findings;

    bool has_topology() const { return kind == Kind::dump || kind == Kind::static_file; }
    std::string gpu_label(std::size_t gpu) const;
    std::string nic_label(std::size_t nic) const;
};

// "x16 at 32 GT/s", "32 GT/s" (width unknown), or "unknown".
std::string pcie_link_text(const PciNode& node);

// Reads the text once and analyses the host it describes.
Report analyze(std::string_view text);

// What changed from a golden file to the current one.
std::vector<Finding> compare(const Report& golden, const Report& current);

// The inventory of a host as (what, value) pairs in a fixed order: what hosts
// of one fleet are expected to share.
std::vector<std::pair<std::string, std::string>> summary(const Report& report);

struct Difference {
    std::size_t host;      // index into the hosts compared
    std::string what;      // a key of summary()
    std::string value;
    std::string majority;  // the value most hosts share; empty when another value is as common
};

struct HostComparison {
    std::vector<std::vector<Finding>> findings;  // per host: links below the best of the fleet
    std::vector<Difference> differences;
};

// Hosts (with topologies) side by side; `names` label them in messages.
HostComparison compare_hosts(const std::vector<const Report*>& hosts, const std::vector<std::string>& names);

}  // namespace quorvane::analysis::topology
