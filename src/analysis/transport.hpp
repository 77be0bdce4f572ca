// NCCL's own account of the path the bytes took, read from its debug output
// (NCCL_DEBUG=INFO): the network and its NICs, GPU Direct RDMA, the transports
// inside a host, NVLS/CollNet, versions and ranks. The reader takes whole debug
// files and debug lines mixed into a program's stdout/stderr (launcher prefixes,
// torn and interleaved lines), in the wording of NCCL 2.3 onwards, in one pass
// over the text. Plain values in, plain values out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "finding.hpp"

namespace quorvane::analysis::transport {

// What the caller knows about the hosts beside the logs: the topology (RDMA
// NICs, whether a GPU shares a PCIe switch with a NIC, NVLink/NVSwitch) and the
// NCCL_IB_HCA the run was given. Unknown stays unknown.
struct Context {
    std::string ib_hca;                      // as NCCL_IB_HCA is written; empty: not set
    std::vector<std::string> rdma_nics;      // RDMA NICs the topology lists
    std::optional<bool> gpu_nic_same_switch; // a GPU and a NIC share a PCIe switch
    std::optional<bool> nvlink;              // the host's GPUs share NVLink
    std::optional<bool> nvswitch;            // ... through NVSwitches
};

struct NicUse {
    std::string name;            // "mlx5_0", "mlx5_0+mlx5_1" (merged), "ens3", or "NET/IB/3" when unnamed
    std::int64_t channels = 0;   // channel lines through it
    std::optional<bool> gdr;     // a channel through it used GPU Direct RDMA
};

struct VersionSeen {
    std::string source;          // "host:pid", a launcher's rank prefix, or "" when the line has none
    std::string version;         // "2.27.5"
};

// A finding about the path: what, what to do about it, and the lines it rests on.
struct PathFinding {
    std::string code;            // "net-socket", "net-plugin-failed", "gdr-off", "p2p-off", "nic-unused", ...
    Severity severity = Severity::note;
    std::string message;
    std::string advice;
    std::vector<std::string> evidence;  // lines of the log, as printed
};

struct Account {
    std::string network;         // "IB", "Socket", a plugin's name ("AWS Libfabric"); "" when unsaid
    std::string network_basis;   // "channels", "stated", "plugin", "fallback"
    std::string link_layer;      // "IB", "RoCE", "IB/RoCE"; "" when unsaid
    std::optional<bool> gdr;     // GPU Direct RDMA on the network
    std::vector<NicUse> nics;    // NICs in use (channels), else those NCCL listed for the network
    std::vector<std::string> intra;  // "P2P/IPC", "P2P/CUMEM", "P2P/direct pointer", "SHM", "NET/IB" (loopback), ...
    std::string nvls;            // "used", "available", "unavailable"; "" when unsaid
    std::string collnet;         // "used", "unavailable"; "" when unsaid
    std::vector<std::string> nccl_versions;  // distinct, in order of appearance
    std::vector<VersionSeen> versions;       // per process (or launcher rank)
    std::vector<std::string> plugins_loaded; // network plugins that loaded
    std::vector<std::string> hosts;          // in order of appearance
    std::int64_t channels = 0;   // collective channels
    std::int64_t nvls_channels = -1, collnet_channels = -1;  // -1: unsaid
    std::int64_t ranks = 0, nodes = 0, local_ranks = 0;      // 0: unsaid
    std::int64_t channel_lines = 0, net_channel_lines = 0;
    std::size_t lines = 0, nccl_lines = 0;
    std::vector<std::pair<std::string, std::string>> environment;  // NCCL_* set by environment
    std::vector<std::string> errors;         // NCCL WARN lines and error-return traces (first few)
    std::size_t error_count = 0;
    std::vector<PathFinding> findings;
};

// Reads debug output a piece at a time (a file, a rank's file, a chunk of a
// stream cut anywhere) and gives the account of everything fed so far.
class Reader {
public:
    Reader();
    ~Reader();
    Reader(Reader&&) noexcept;
    Reader& operator=(Reader&&) noexcept;

    void feed(std::string_view text);
    // Ends the current piece: a line left without its newline is read now.
    void end_piece();
    Account account(const Context& context = {}) const;

private:
    struct State;
    std::unique_ptr<State> state_;
};

// One text read whole.
Account read(std::string_view text, const Context& context = {});

// Fewest lines of evidence kept per finding.
inline constexpr std::size_t kEvidenceLines = 3;

}  // namespace quorvane::analysis::transport
