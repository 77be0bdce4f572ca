#include "transport.hpp"

#include <algorithm>
#include <cctype>
#include <set>
#include <tuple>
#include <unordered_map>

namespace quorvane::analysis::transport {

namespace {

using std::string;
using std::string_view;
constexpr auto npos = string_view::npos;

// A line kept as evidence: trimmed, and cut where a torn line runs on.
constexpr std::size_t kEvidenceWidth = 300;
constexpr std::size_t kErrorsKept = 20;
constexpr std::size_t kLineCap = 1 << 16;  // a "line" longer than this is cut (binary junk, no newline)

bool starts(string_view s, string_view p) { return s.substr(0, p.size()) == p; }
bool has(string_view s, string_view p) { return s.find(p) != npos; }
bool digit(char c) { return c >= '0' && c <= '9'; }

string_view trim(string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
    return s;
}

std::optional<std::int64_t> number_at(string_view s, std::size_t& i) {
    if (i >= s.size() || !digit(s[i])) return std::nullopt;
    std::int64_t v = 0;
    while (i < s.size() && digit(s[i])) {
        if (v < (std::int64_t(1) << 50)) v = v * 10 + (s[i] - '0');
        ++i;
    }
    return v;
}

// The number right after `key` ("nRanks 16" with key "nRanks ").
std::optional<std::int64_t> number_after(string_view s, string_view key) {
    std::size_t k = s.find(key);
    if (k == npos) return std::nullopt;
    std::size_t i = k + key.size();
    return number_at(s, i);
}

// The number right before `key` ("16 nvls channels" with key " nvls channels").
std::optional<std::int64_t> number_before(string_view s, string_view key) {
    std::size_t k = s.find(key);
    if (k == npos || k == 0) return std::nullopt;
    std::size_t i = k;
    while (i > 0 && digit(s[i - 1])) --i;
    if (i == k) return std::nullopt;
    return number_at(s, i);
}

string evidence_of(string_view line) {
    line = trim(line);
    if (line.size() > kEvidenceWidth) return string(line.substr(0, kEvidenceWidth)) + "...";
    return string(line);
}

// Natural order: mlx5_2 before mlx5_11.
bool natural_less(const string& a, const string& b) {
    std::size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (digit(a[i]) && digit(b[j])) {
            std::size_t i2 = i, j2 = j;
            while (i2 < a.size() && digit(a[i2])) ++i2;
            while (j2 < b.size() && digit(b[j2])) ++j2;
            string_view x(a.data() + i, i2 - i), y(b.data() + j, j2 - j);
            while (x.size() > 1 && x.front() == '0') x.remove_prefix(1);
            while (y.size() > 1 && y.front() == '0') y.remove_prefix(1);
            if (x.size() != y.size()) return x.size() < y.size();
            if (x != y) return x < y;
            i = i2;
            j = j2;
        } else {
            if (a[i] != b[j]) return a[i] < b[j];
            ++i;
            ++j;
        }
    }
    return a.size() - i < b.size() - j;
}

// Keeps the first few lines of one kind of evidence.
struct Lines {
    std::vector<string> kept;
    std::size_t count = 0;
    void add(string_view line, std::size_t cap = kEvidenceLines) {
        ++count;
        if (kept.size() < cap) kept.push_back(evidence_of(line));
    }
    bool any() const { return count > 0; }
};

// Names in first-seen order, each with its count and first lines (few names:
// a short list searched in place, no allocation for a name seen before).
struct Tally {
    struct Entry {
        string name;
        std::size_t count = 0;
        Lines lines;
    };
    std::vector<Entry> entries;
    std::vector<string> order;
    void add(string_view name, string_view line) {
        Entry* e = find(name);
        if (!e) {
            entries.push_back({string(name), 0, {}});
            order.emplace_back(name);
            e = &entries.back();
        }
        ++e->count;
        e->lines.add(line, 1);
    }
    Entry* find(string_view name) {
        for (Entry& e : entries)
            if (e.name == name) return &e;
        return nullptr;
    }
    const Entry* find(string_view name) const { return const_cast<Tally*>(this)->find(name); }
    bool empty() const { return entries.empty(); }
    bool contains(string_view name) const { return find(name) != nullptr; }
    // The most frequent; the first seen among equals.
    const string* top() const {
        const Entry* best = nullptr;
        for (const Entry& e : entries)
            if (!best || e.count > best->count) best = &e;
        return best ? &best->name : nullptr;
    }
    const Lines& lines(const string& name) const { return find(name)->lines; }
};

struct HostState {
    std::map<std::int64_t, string> rdma_devices;   // index -> NIC (merged devices too)
    std::map<std::int64_t, string> socket_devices; // index -> interface
    std::vector<string> legacy_interfaces;         // "NET : Using interface" (2.3)
};

struct NicKey {
    int host;
    int network;
    std::int64_t index;
    bool operator<(const NicKey& o) const {
        return std::tie(host, network, index) < std::tie(o.host, o.network, o.index);
    }
};

struct NicCount {
    std::int64_t channels = 0;
    bool gdr = false;
};

struct Edge {  // a channel over the network, seen from the rank that printed it
    int host;
    std::int64_t peer;
    int network;
    bool operator<(const Edge& o) const { return std::tie(host, peer, network) < std::tie(o.host, o.peer, o.network); }
};

}  // namespace

struct Reader::State {
    string carry;  // a line not yet ended
    std::size_t lines = 0, nccl_lines = 0;

    std::vector<string> hosts;
    std::vector<std::size_t> host_lines;
    std::unordered_map<string, int> host_ids;
    std::vector<HostState> host_state;
    std::vector<string> networks;  // interned network names of channel lines
    std::unordered_map<string, int> network_ids;

    std::unordered_map<std::int64_t, int> rank_host;
    std::set<std::int64_t> ranks_seen;
    std::map<NicKey, NicCount> nic_use;
    std::map<Edge, string> net_edges;  // with the first line that showed each

    Tally network_stated, network_channels, plugins_loaded, plugins_initialized, intra;
    Lines plugin_load_errors, plugin_error_traces, ibverbs_errors, ib_absent, socket_listed, plugin_requested;
    bool named_plugin_error = false;  // a load error of a plugin other than the default libnccl-net.so
    Lines gdr_enabled, gdr_disabled, gdr_no_module, net_no_gdr, net_gdr;
    Lines nvls_used, nvls_available, nvls_unavailable, nvls_zero, collnet_used;
    Lines p2p_disabled_nvlink, nvlink_seen, nvswitch_seen;
    Lines rdma_listed;
    std::vector<string> link_layers;
    std::int64_t coll_channels = 0, nvls_channels = -1, collnet_channels = -1;
    std::int64_t nranks = 0, nnodes = 0, local_ranks = 0;
    std::int64_t channel_lines = 0, net_channel_lines = 0;
    std::vector<bool> channel_seen = std::vector<bool>(4096);
    std::int64_t channel_count = 0;
    std::vector<VersionSeen> versions;
    std::set<std::pair<string, string>> version_keys;
    std::vector<string> version_order;
    std::map<string, Lines> version_lines;
    std::vector<std::pair<string, string>> environment;
    std::vector<string> errors;
    std::size_t error_count = 0;

    int last_host = -1;
    int host_id(string_view name) {
        if (name.empty()) return -1;
        if (last_host >= 0 && hosts[static_cast<std::size_t>(last_host)] == name) return last_host;
        last_host = lookup_host(name);
        return last_host;
    }
    int lookup_host(string_view name) {
        auto it = host_ids.find(string(name));
        if (it != host_ids.end()) return it->second;
        int id = static_cast<int>(hosts.size());
        hosts.emplace_back(name);
        host_lines.push_back(0);
        host_state.emplace_back();
        host_ids.emplace(string(name), id);
        return id;
    }

    int network_id(string_view name) {
        for (std::size_t i = 0; i < networks.size(); ++i)
            if (networks[i] == name) return static_cast<int>(i);
        auto it = network_ids.find(string(name));
        if (it != network_ids.end()) return it->second;
        int id = static_cast<int>(networks.size());
        networks.emplace_back(name);
        network_ids.emplace(string(name), id);
        return id;
    }

    void feed(string_view text) {
        while (!text.empty()) {
            std::size_t nl = text.find('\n');
            if (nl == npos) {
                if (carry.size() < kLineCap) carry.append(text.substr(0, kLineCap - carry.size()));
                return;
            }
            if (carry.empty()) {
                line(text.substr(0, nl));
            } else {
                if (carry.size() < kLineCap) carry.append(text.substr(0, std::min(nl, kLineCap - carry.size())));
                line(carry);
                carry.clear();
            }
            text.remove_prefix(nl + 1);
        }
    }

    void end_piece() {
        if (!carry.empty()) {
            string rest;
            rest.swap(carry);
            line(rest);
        }
    }

    // Where an NCCL line's message starts after `at` ("NCCL INFO ", "NCCL WARN ",
    // "NCCL version "), with its kind; npos when there is none.
    static std::size_t marker(string_view l, std::size_t from, char& kind) {
        while (true) {
            std::size_t k = l.find("NCCL ", from);
            if (k == npos) return npos;
            string_view after = l.substr(k + 5);
            if (starts(after, "INFO ") || after == "INFO") { kind = 'I'; return k; }
            if (starts(after, "WARN ") || after == "WARN") { kind = 'W'; return k; }
            if (starts(after, "version ")) { kind = 'V'; return k; }
            from = k + 5;
        }
    }

    void line(string_view l) {
        ++lines;
        if (l.size() > kLineCap) l = l.substr(0, kLineCap);
        char kind = 0;
        std::size_t k = marker(l, 0, kind);
        bool counted = false;
        std::size_t prefix_from = 0;
        while (k != npos) {
            if (!counted) {
                ++nccl_lines;
                counted = true;
            }
            std::size_t start = kind == 'V' ? k : k + 10;
            if (start > l.size()) start = l.size();
            char next_kind = 0;
            std::size_t next = marker(l, start + (kind == 'V' ? 5 : 0), next_kind);
            // "NCCL INFO NCCL version ..." is one message, not two.
            if (kind != 'V' && next == start && next_kind == 'V') next = marker(l, start + 5, next_kind);
            std::size_t end = next == npos ? l.size() : cut_prefix(l, start, next);
            message(kind, l.substr(prefix_from, k - prefix_from), trim(l.substr(start, end - start)), l);
            prefix_from = end;
            k = next;
            kind = next_kind;
        }
    }

    // A message that runs into the next line's prefix (a torn line) ends where
    // that prefix begins: before "host:pid:tid [dev] ".
    static std::size_t cut_prefix(string_view l, std::size_t start, std::size_t next) {
        std::size_t i = next;
        while (i > start && l[i - 1] == ' ') --i;
        std::size_t keep = i;
        if (i > start && l[i - 1] == ']') {
            std::size_t j = i - 1;
            while (j > start && digit(l[j - 1])) --j;
            if (j > start && l[j - 1] == '[') {
                j -= 1;
                while (j > start && l[j - 1] == ' ') --j;
                std::size_t t = j;
                int colons = 0;
                while (t > start && digit(l[t - 1])) --t;
                if (t > start && l[t - 1] == ':') { --t; ++colons; }
                while (t > start && digit(l[t - 1])) --t;
                if (t > start && l[t - 1] == ':') { --t; ++colons; }
                if (colons == 2) {
                    while (t > start && l[t - 1] != ' ' && l[t - 1] != ':') --t;
                    return t;
                }
                return j;
            }
        }
        return keep;
    }

    struct Origin {
        string_view host;     // "" when the line has no host:pid:tid
        string_view process;  // "host:pid"
        string_view launcher; // the whole prefix, trimmed
    };

    static Origin origin(string_view prefix, char kind) {
        Origin o;
        o.launcher = trim(prefix);
        string_view p = o.launcher;
        if (kind == 'W') {  // "host:pid:tid [dev] file.cc:123 NCCL WARN"
            std::size_t sp = p.rfind(' ');
            if (sp != npos && p.back() != ']') p = trim(p.substr(0, sp));
        }
        if (p.empty() || p.back() != ']') return o;
        std::size_t open = p.rfind('[');
        if (open == npos) return o;
        p = trim(p.substr(0, open));
        std::size_t sp = p.rfind(' ');
        string_view token = sp == npos ? p : p.substr(sp + 1);
        std::size_t c2 = token.rfind(':');
        if (c2 == npos || c2 == 0) return o;
        std::size_t c1 = token.rfind(':', c2 - 1);
        if (c1 == npos) return o;
        for (std::size_t i = c1 + 1; i < token.size(); ++i)
            if (i != c2 && !digit(token[i])) return o;
        string_view host = token.substr(0, c1);
        std::size_t tag = host.rfind(">:");  // mpirun --tag-output: "[1,0]<stdout>:host"
        if (tag != npos) host = host.substr(tag + 2);
        o.host = host;
        o.process = token.substr(host.data() - token.data(), c2 - static_cast<std::size_t>(host.data() - token.data()));
        return o;
    }

    void message(char kind, string_view prefix, string_view m, string_view l) {
        Origin o = origin(prefix, kind);
        int host = host_id(o.host);
        if (host >= 0) ++host_lines[static_cast<std::size_t>(host)];
        if (kind == 'V') return version(m, o, l);
        if (kind == 'W') return error_line(l);
        if (m.empty()) return;
        // By the first character, so that a line is looked at for what it can be.
        switch (m.front()) {
            case 'C':
                if (starts(m, "Channel ")) return channel(m, host, l);
                if (starts(m, "Connected NVLS")) return nvls_used.add(l);
                if (starts(m, "Connected all CollNet") || starts(m, "Connected CollNet") ||
                    starts(m, "CollNet channel") || starts(m, "Connected COLLNET"))
                    return collnet_used.add(l);
                return;
            case 'R':
                if (starts(m, "Ring ")) return channel(m, host, l);
                return;
            case 'N':
                if (starts(m, "NET/") || starts(m, "Net/") || starts(m, "NET :")) return net(m, host, l);
                if (starts(m, "NCCL version ")) return version(m, o, l);
                if (starts(m, "NVLS multicast support is not available")) return nvls_unavailable.add(l);
                if (starts(m, "NVLS multicast support is available")) return nvls_available.add(l);
                if (starts(m, "NVLS comm ")) return nvls_used.add(l);
                if (starts(m, "NCCL_")) return setting(m);
                return;
            case 'U':
                if (starts(m, "Using network ")) return network_stated.add(trim(m.substr(14)), l);
                return;
            case 'A':
                if (starts(m, "Assigned NET plugin ")) {
                    string_view name = m.substr(20);
                    return network_stated.add(trim(name.substr(0, name.rfind(" to comm"))), l);
                }
                return;
            case 'I':
                if (starts(m, "Initialized NET plugin ")) return plugins_initialized.add(trim(m.substr(23)), l);
                return;
            case 'P':
                if (starts(m, "P2P is disabled between NVLINK connected GPUs")) return p2p_disabled_nvlink.add(l);
                return;
            case '+':
                if (has(m, "NVL[")) nvlink_seen.add(l);
                if (has(m, "NVS/")) nvswitch_seen.add(l);
                return;
            case 'c': case 'n': case 'r':
                if ((starts(m, "comm ") || starts(m, "ncclCommInit") || starts(m, "rank ")) &&
                    (has(m, "nranks ") || has(m, "nRanks ")))
                    return comm(m, host);
                break;
            default:
                if (digit(m.front())) {
                    if (has(m, " coll channels")) channel_summary(m, l);
                    return;
                }
        }
        if (has(m, "libibverbs") && (has(m, "ailed") || has(m, "nable"))) return ibverbs_errors.add(l);
        if (m.front() >= 'a' && m.front() <= 'z' && is_error_trace(m)) {
            error_line(l);
            if (has(m, "plugin")) plugin_error_traces.add(l);
        }
    }

    void setting(string_view m) {  // "NCCL_IB_HCA set by environment to mlx5_0,mlx5_1"
        std::size_t k = m.find(" set by environment to ");
        if (k == npos) return;
        string_view name = trim(m.substr(0, k)), value = trim(m.substr(k + 23));
        if (!value.empty() && value.back() == '.') value.remove_suffix(1);
        if (std::none_of(environment.begin(), environment.end(), [&](const auto& e) { return e.first == name; }))
            environment.emplace_back(string(name), string(value));
    }

    static bool is_error_trace(string_view m) {
        // "transport/net.cc:1227 -> 6", "plugin/net.cc:118 -> 2"
        std::size_t arrow = m.find(" -> ");
        if (arrow == npos || arrow == 0) return false;
        std::size_t colon = m.rfind(':', arrow);
        if (colon == npos) return false;
        for (std::size_t i = colon + 1; i < arrow; ++i)
            if (!digit(m[i])) return false;
        string_view file = m.substr(0, colon);
        if (file.find(' ') != npos) return false;
        return file.size() > 2 && (file.ends_with(".cc") || file.ends_with(".c") || file.ends_with(".h") ||
                                   file.ends_with(".cpp"));
    }

    void error_line(string_view l) {
        ++error_count;
        if (errors.size() < kErrorsKept) errors.push_back(evidence_of(l));
    }

    void version(string_view m, const Origin& o, string_view l) {
        std::size_t i = m.find("version ");
        if (i == npos) return;
        string_view v = m.substr(i + 8);
        std::size_t e = 0;
        while (e < v.size() && (digit(v[e]) || v[e] == '.')) ++e;
        v = v.substr(0, e);
        while (!v.empty() && v.back() == '.') v.remove_suffix(1);
        if (v.empty() || !digit(v.front())) return;
        string source(o.process.empty() ? o.launcher : o.process);
        if (version_keys.emplace(source, string(v)).second) versions.push_back({source, string(v)});
        auto [it, fresh] = version_lines.try_emplace(string(v));
        if (fresh) version_order.emplace_back(v);
        it->second.add(l, 1);
    }

    void comm(string_view m, int host) {
        std::optional<std::int64_t> rank;
        std::size_t k = m.find(" rank ");
        if (starts(m, "rank ")) {
            std::size_t i = 5;
            rank = number_at(m, i);
        } else if (k != npos) {
            std::size_t i = k + 6;
            rank = number_at(m, i);
        }
        auto n = number_after(m, "nranks ");
        if (!n) n = number_after(m, "nRanks ");
        if (n) nranks = std::max(nranks, *n);
        if (auto v = number_after(m, "nNodes ")) nnodes = std::max(nnodes, *v);
        if (auto v = number_after(m, "localRanks ")) local_ranks = std::max(local_ranks, *v);
        if (rank) {
            ranks_seen.insert(*rank);
            if (host >= 0) rank_host[*rank] = host;
        }
    }

    void channel_summary(string_view m, string_view l) {
        if (auto v = number_before(m, " coll channels")) coll_channels = std::max(coll_channels, *v);
        if (auto v = number_before(m, " nvls channels")) {
            nvls_channels = std::max(nvls_channels, *v);
            if (*v > 0) nvls_used.add(l); else nvls_zero.add(l);
        }
        if (auto v = number_before(m, " collnet channels")) collnet_channels = std::max(collnet_channels, *v);
    }

    // "Channel 00/0 : 0[0] -> 1[1] [send] via NET/IB/0/GDRDMA", "Ring 00 : 6 -> 2 [receive] via NET/IB/0",
    // "Channel 01 : 2[c7000] -> 0[87000] via P2P/IPC/read"
    void channel(string_view m, int host, string_view l) {
        std::size_t i = m.find(' ') + 1;
        auto id = number_at(m, i);
        if (!id) return;
        if (i < m.size() && m[i] == '/') {
            ++i;
            if (!number_at(m, i)) return;
        }
        while (i < m.size() && m[i] == ' ') ++i;
        if (i >= m.size() || m[i] != ':') return;
        ++i;
        while (i < m.size() && m[i] == ' ') ++i;
        auto src = number_at(m, i);
        if (!src) return;
        if (i < m.size() && m[i] == '[') {
            std::size_t close = m.find(']', i);
            if (close == npos) return;
            i = close + 1;
        }
        if (m.substr(i, 4) != " -> ") return;
        i += 4;
        auto dst = number_at(m, i);
        if (!dst) return;
        if (i < m.size() && m[i] == '[') {
            std::size_t close = m.find(']', i);
            if (close == npos) return;
            i = close + 1;
        }
        while (i < m.size() && m[i] == ' ') ++i;
        int side = 0;  // 1: send, 2: receive
        if (starts(m.substr(i), "[send]")) { side = 1; i += 6; }
        else if (starts(m.substr(i), "[receive]")) { side = 2; i += 9; }
        while (i < m.size() && m[i] == ' ') ++i;
        if (!starts(m.substr(i), "via ")) return;
        string_view via = trim(m.substr(i + 4));
        ++channel_lines;
        if (*id < static_cast<std::int64_t>(channel_seen.size()) && !channel_seen[static_cast<std::size_t>(*id)]) {
            channel_seen[static_cast<std::size_t>(*id)] = true;
            ++channel_count;
        }

        if (starts(via, "NET/")) {
            ++net_channel_lines;
            string_view rest = via.substr(4);
            std::size_t j = 0;
            while (j < rest.size() && !(rest[j] == '/' && j + 1 < rest.size() && digit(rest[j + 1]))) ++j;
            string_view name = rest.substr(0, j);
            std::int64_t index = -1;
            if (j < rest.size()) {
                std::size_t t = j + 1;
                index = number_at(rest, t).value_or(-1);
            }
            bool gdr = has(rest.substr(j), "GDRDMA");
            network_channels.add(name, l);
            int net = network_id(name);
            NicCount& use = nic_use[NicKey{host, net, index}];
            ++use.channels;
            use.gdr = use.gdr || gdr;
            if (name != "Socket") (gdr ? net_gdr : net_no_gdr).add(l);
            std::int64_t local = side == 1 ? *src : side == 2 ? *dst : -1;
            std::int64_t peer = side == 1 ? *dst : side == 2 ? *src : -1;
            if (local >= 0) {
                ranks_seen.insert(local);
                if (host >= 0) rank_host[local] = host;
                if (host >= 0) {
                    Edge edge{host, peer, net};
                    if (!net_edges.count(edge)) net_edges.emplace(edge, evidence_of(l));
                }
            }
            return;
        }
        if (starts(via, "COLLNET") || starts(via, "CollNet")) {
            collnet_used.add(l);
            return;
        }
        string_view kind;
        if (starts(via, "P2P/")) {
            string_view rest = via.substr(4);
            std::size_t slash = rest.find('/');
            kind = via.substr(0, 4 + (slash == npos ? rest.size() : slash));
        } else if (starts(via, "SHM") || starts(via, "direct shared memory")) {
            kind = "SHM";
        } else {
            kind = via.substr(0, std::min(via.find(' '), via.find('/')));
        }
        intra.add(kind, l);
        ranks_seen.insert(*src);
        ranks_seen.insert(*dst);
        if (host >= 0) {
            rank_host[*src] = host;
            rank_host[*dst] = host;
        }
    }

    // "NET/IB : Using [0]mlx5_0:1/RoCE [1]mlx5_1:1/RoCE [RO]; OOB eth0:10.0.0.1<0>"
    void device_list(string_view list, std::map<std::int64_t, string>& into, bool rdma) {
        std::size_t semi = list.find(';');
        list = list.substr(0, semi);
        std::size_t i = 0;
        while ((i = list.find('[', i)) != npos) {
            ++i;
            auto index = number_at(list, i);
            if (!index || i >= list.size() || list[i] != ']') continue;
            ++i;
            std::size_t e = i;
            while (e < list.size() && list[e] != ' ' && list[e] != ':' && list[e] != '[') ++e;
            if (e > i) into[*index] = string(list.substr(i, e - i));
            if (rdma) link_layer(list.substr(e, list.find(' ', e) - e));
            i = e;
        }
    }

    void link_layer(string_view port) {
        // ":1/RoCE" or ":1/IB"
        std::size_t slash = port.rfind('/');
        if (slash == npos) return;
        string_view layer = port.substr(slash + 1);
        if (layer != "RoCE" && layer != "IB") return;
        if (std::find(link_layers.begin(), link_layers.end(), layer) == link_layers.end())
            link_layers.emplace_back(layer);
    }

    void net(string_view m, int host, string_view l) {
        if (starts(m, "NET : Using interface ")) {  // 2.3: the socket interfaces
            string_view name = m.substr(22);
            name = name.substr(0, name.find(':'));
            if (host >= 0) {
                auto& v = host_state[static_cast<std::size_t>(host)].legacy_interfaces;
                if (std::find(v.begin(), v.end(), name) == v.end()) v.emplace_back(name);
            }
            return;
        }
        std::size_t sep = m.find(':');
        string_view name = trim(m.substr(4, sep == npos ? npos : sep - 4));
        std::size_t sp = name.find(' ');
        if (sp != npos) name = name.substr(0, sp);
        string_view rest = sep == npos ? string_view() : trim(m.substr(sep + 1));
        if (name == "Plugin") {
            plugin(rest, l);
            return;
        }
        if (starts(name, "IB") && (has(rest, "No device found") || has(rest, "returned 0 devices"))) {
            ib_absent.add(l);
            return;
        }
        if (name == "Socket") {
            if (starts(rest, "Using [") && host >= 0) {
                device_list(rest.substr(6), host_state[static_cast<std::size_t>(host)].socket_devices, false);
                socket_listed.add(l);
            } else if (has(rest, "interfaces found")) {
                socket_listed.add(l);
            }
            return;  // a socket device's "GPU Direct RDMA Disabled" says nothing about RDMA
        }
        if (starts(rest, "Using [")) {
            if (host >= 0) device_list(rest.substr(6), host_state[static_cast<std::size_t>(host)].rdma_devices, true);
            else {
                std::map<std::int64_t, string> ignored;
                device_list(rest.substr(6), ignored, true);
            }
            rdma_listed.add(l);
        } else if (starts(rest, "[")) {  // "NET/IB: [0] mlx5_0:uverbs0:1/RoCE provider=Mlx5 ..."
            std::size_t i = 1;
            auto index = number_at(rest, i);
            if (index && host >= 0) {
                string_view dev = trim(rest.substr(i + 1));
                dev = dev.substr(0, dev.find(' '));
                link_layer(dev);
                auto& devices = host_state[static_cast<std::size_t>(host)].rdma_devices;
                if (!devices.count(*index)) devices[*index] = string(dev.substr(0, dev.find(':')));
            }
        } else if (starts(rest, "Made virtual device [")) {
            std::size_t i = 21;
            auto index = number_at(rest, i);
            std::size_t nk = rest.find("name=");
            if (index && nk != npos && host >= 0) {
                string_view dev = rest.substr(nk + 5);
                host_state[static_cast<std::size_t>(host)].rdma_devices[*index] = string(dev.substr(0, dev.find(' ')));
            }
        } else if (has(rest, "GPU Direct RDMA Enabled")) {
            gdr_enabled.add(l);
        } else if (has(rest, "GPU Direct RDMA Disabled")) {
            gdr_disabled.add(l);
            if (has(rest, "no module")) gdr_no_module.add(l);
        } else if (has(rest, "libibverbs") || (starts(name, "IB") && has(rest, "Unable to open"))) {
            ibverbs_errors.add(l);
        }
    }

    void plugin(string_view rest, string_view l) {
        std::size_t k = rest.find("Loaded net plugin ");
        if (k != npos) {
            string_view name = rest.substr(k + 18);
            std::size_t paren = name.rfind(" (");
            plugins_loaded.add(trim(name.substr(0, paren)), l);
            return;
        }
        if (has(rest, "set by env") || has(rest, "name set")) {
            plugin_requested.add(l);
            return;
        }
        if (has(rest, "Failed to find") || has(rest, "No plugin found") || has(rest, "Could not find") ||
            has(rest, "CollNet"))
            return;
        if (has(rest, "returned") || has(rest, "ailed") || has(rest, "dlopen") || has(rest, "cannot open") ||
            has(rest, "rror")) {
            plugin_load_errors.add(l);
            if (!has(rest, "libnccl-net.so")) named_plugin_error = true;
        }
    }

    // ---- the account -----------------------------------------------------------

    string nic_name(const NicKey& key) const {
        const string& net = networks[static_cast<std::size_t>(key.network)];
        auto lookup = [&](const std::map<std::int64_t, string> HostState::*devices) -> const string* {
            if (key.host >= 0) {
                const auto& d = host_state[static_cast<std::size_t>(key.host)].*devices;
                auto it = d.find(key.index);
                if (it != d.end()) return &it->second;
            }
            for (const HostState& h : host_state) {
                auto it = (h.*devices).find(key.index);
                if (it != (h.*devices).end()) return &it->second;
            }
            return nullptr;
        };
        const string* found = nullptr;
        if (net == "Socket") found = lookup(&HostState::socket_devices);
        else if (starts(net, "IB")) found = lookup(&HostState::rdma_devices);
        if (found) return *found;
        return "NET/" + net + "/" + (key.index >= 0 ? std::to_string(key.index) : string("?"));
    }

    // A torn line glues the end of one message to the next line's host
    // ("...via P2P/IPgpu-a:1:3 [1]"): a host whose name ends with the name of
    // a host seen at least as often is that host.
    std::vector<int> canonical_hosts() const {
        std::vector<int> canon(hosts.size());
        for (std::size_t h = 0; h < hosts.size(); ++h) {
            canon[h] = static_cast<int>(h);
            std::size_t best = 0;
            for (std::size_t g = 0; g < hosts.size(); ++g) {
                if (g == h || hosts[g].size() >= hosts[h].size() || hosts[g].size() <= best) continue;
                if (host_lines[g] >= host_lines[h] && string_view(hosts[h]).ends_with(hosts[g])) {
                    canon[h] = static_cast<int>(g);
                    best = hosts[g].size();
                }
            }
        }
        return canon;
    }

    Account account(const Context& ctx) const;
};

namespace {

std::vector<string> split_list(string_view s, char sep) {
    std::vector<string> out;
    while (!s.empty()) {
        std::size_t k = s.find(sep);
        string_view item = trim(s.substr(0, k));
        if (!item.empty()) out.emplace_back(item);
        if (k == npos) break;
        s.remove_prefix(k + 1);
    }
    return out;
}

// NCCL_IB_HCA: "mlx5_0,mlx5_1:1", "=mlx5_0" (exact names), "^mlx5_3" (all but).
struct HcaList {
    std::vector<string> names;
    bool exact = false;
    bool exclude = false;
};

HcaList parse_hca(string_view value) {
    HcaList h;
    value = trim(value);
    if (starts(value, "^")) { h.exclude = true; value.remove_prefix(1); }
    if (starts(value, "=")) { h.exact = true; value.remove_prefix(1); }
    for (string& item : split_list(value, ',')) h.names.push_back(item.substr(0, item.find(':')));
    return h;
}

void add_finding(Account& a, string code, Severity severity, string message, string advice,
                 std::initializer_list<const Lines*> evidence) {
    PathFinding f{std::move(code), severity, std::move(message), std::move(advice), {}};
    for (const Lines* lines : evidence)
        for (const string& line : lines->kept)
            if (std::find(f.evidence.begin(), f.evidence.end(), line) == f.evidence.end()) f.evidence.push_back(line);
    a.findings.push_back(std::move(f));
}

Lines one_line(string text) {
    Lines l;
    l.kept.push_back(std::move(text));
    l.count = 1;
    return l;
}

}  // namespace

Account Reader::State::account(const Context& ctx) const {
    Account a;
    a.lines = lines;
    a.nccl_lines = nccl_lines;
    const std::vector<int> canon = canonical_hosts();
    auto same_host = [&](int x, int y) { return x >= 0 && y >= 0 && canon[static_cast<std::size_t>(x)] == canon[static_cast<std::size_t>(y)]; };
    for (std::size_t h = 0; h < hosts.size(); ++h)
        if (canon[h] == static_cast<int>(h)) a.hosts.push_back(hosts[h]);
    a.channel_lines = channel_lines;
    a.net_channel_lines = net_channel_lines;
    a.environment = environment;
    a.errors = errors;
    a.error_count = error_count;
    a.versions = versions;
    a.nccl_versions = version_order;
    a.plugins_loaded = plugins_loaded.order;
    a.nvls_channels = nvls_channels;
    a.collnet_channels = collnet_channels;
    a.channels = coll_channels ? coll_channels : channel_count;
    a.ranks = nranks ? nranks : static_cast<std::int64_t>(ranks_seen.size());
    a.nodes = nnodes ? nnodes : static_cast<std::int64_t>(a.hosts.size());
    a.local_ranks = local_ranks;
    auto env = [&](string_view name) -> const string* {
        for (const auto& e : environment)
            if (e.first == name) return &e.second;
        return nullptr;
    };

    // The network: what the channels went over, else what NCCL said it uses,
    // else a plugin that loaded, else sockets where NET/IB found no device.
    Lines network_evidence;
    if (const string* n = network_channels.top()) {
        a.network = *n;
        a.network_basis = "channels";
        network_evidence = network_channels.lines(*n);
    } else if (const string* s = network_stated.top()) {
        a.network = *s;
        a.network_basis = "stated";
        network_evidence = network_stated.lines(*s);
    } else if (const string* p = plugins_loaded.top(); p && !plugin_error_traces.any()) {
        a.network = *p;
        a.network_basis = "plugin";
        network_evidence = plugins_loaded.lines(*p);
    } else if (ib_absent.any()) {
        a.network = "Socket";
        a.network_basis = "fallback";
        network_evidence = ib_absent;
    }
    const bool socket = a.network == "Socket";
    const bool ib_like = starts(a.network, "IB");
    if (ib_like || (a.network.empty() && rdma_listed.any())) {
        for (std::size_t i = 0; i < link_layers.size(); ++i) a.link_layer += (i ? "/" : "") + link_layers[i];
    }

    // NICs in use: those channels went through, else those NCCL listed for the network.
    std::map<string, NicUse> nics;
    for (const auto& [key, use] : nic_use) {
        if (networks[static_cast<std::size_t>(key.network)] != a.network) continue;
        string name = nic_name(key);
        NicUse& n = nics[name];
        n.name = name;
        n.channels += use.channels;
        if (!socket) n.gdr = n.gdr.value_or(false) || use.gdr;
    }
    if (nics.empty()) {
        for (const HostState& h : host_state) {
            if (socket) {
                for (const auto& [i, name] : h.socket_devices) nics[name].name = name;
                for (const string& name : h.legacy_interfaces) nics[name].name = name;
            } else if (ib_like || a.network.empty()) {
                for (const auto& [i, name] : h.rdma_devices)
                    if (name.find('+') == npos) nics[name].name = name;
            }
        }
    }
    for (auto& [name, use] : nics) a.nics.push_back(use);
    std::sort(a.nics.begin(), a.nics.end(), [](const NicUse& x, const NicUse& y) { return natural_less(x.name, y.name); });

    // GPU Direct RDMA: the channels say it, else NCCL's own Enabled/Disabled lines.
    if (!socket) {
        if (net_gdr.any()) a.gdr = true;
        else if (net_no_gdr.any()) a.gdr = false;
        else if (gdr_enabled.any()) a.gdr = true;
        else if (gdr_disabled.any()) a.gdr = false;
    }

    // Transports inside a host, with the network between GPUs of one host (loopback).
    for (const string& kind : intra.order) a.intra.push_back(kind);
    Tally loopback;
    for (const auto& [edge, line] : net_edges) {
        auto it = rank_host.find(edge.peer);
        if (it != rank_host.end() && same_host(it->second, edge.host))
            loopback.add("NET/" + networks[static_cast<std::size_t>(edge.network)], line);
    }
    for (const string& kind : loopback.order) a.intra.push_back(kind);

    if (nvls_used.any()) a.nvls = "used";
    else if (nvls_available.any()) a.nvls = "available";
    else if (nvls_unavailable.any() || nvls_zero.any()) a.nvls = "unavailable";
    if (collnet_used.any()) a.collnet = "used";
    else if (collnet_channels == 0) a.collnet = "unavailable";

    // ---- findings ----
    HcaList hca = parse_hca(!ctx.ib_hca.empty() ? string_view(ctx.ib_hca)
                                                : (env("NCCL_IB_HCA") ? string_view(*env("NCCL_IB_HCA")) : string_view()));
    Lines hca_line;
    if (!hca.names.empty())
        hca_line = one_line("NCCL_IB_HCA=" + (ctx.ib_hca.empty() ? *env("NCCL_IB_HCA") : ctx.ib_hca));
    const bool rdma_expected = !ctx.rdma_nics.empty() || (!hca.names.empty() && !hca.exclude) || rdma_listed.any();

    if (socket && !(nnodes == 1 && net_channel_lines == 0)) {
        string why;
        if (const string* off = env("NCCL_IB_DISABLE"); off && *off == "1") why = "NCCL_IB_DISABLE=1 is set";
        else if (ib_absent.any()) why = "NET/IB found no RDMA device";
        else if (ibverbs_errors.any()) why = "libibverbs did not load";
        string message = "host-to-host traffic goes over TCP sockets (NET/Socket), typically 4-5x slower than RDMA";
        if (!why.empty()) message += ": " + why;
        const bool fail = rdma_expected;
        string advice = fail ? "RDMA NICs are expected here: make them visible to NCCL (libibverbs and the "
                               "rdma-core provider installed, /dev/infiniband passed into the container, "
                               "NCCL_IB_DISABLE unset, NCCL_IB_HCA naming existing devices)"
                             : "if the hosts have InfiniBand/RoCE NICs, make them visible to NCCL (libibverbs, "
                               "/dev/infiniband in containers, NCCL_IB_DISABLE unset); on Ethernet-only hosts "
                               "this is expected";
        Lines channel_line = network_channels.contains("Socket") ? network_channels.lines("Socket") : Lines{};
        add_finding(a, "net-socket", fail ? Severity::fail : Severity::warn, message, advice,
                    {&channel_line, &network_evidence, &ib_absent, &ibverbs_errors, &hca_line});
    }

    {
        const string* loaded = plugins_loaded.top();
        const bool fell_back = loaded && !a.network.empty() && a.network != *loaded;
        // Not finding the default libnccl-net.so is how a run without a plugin
        // starts; a load error counts where a plugin was asked for or named.
        const bool asked = env("NCCL_NET_PLUGIN") != nullptr || plugin_requested.any();
        const bool load_failed = plugin_load_errors.any() && (asked || named_plugin_error);
        if (fell_back || load_failed || (ibverbs_errors.any() && !ib_like)) {
            string message;
            if (fell_back)
                message = "the network plugin " + *loaded + " loaded but NCCL fell back to its internal " + a.network +
                          " transport";
            else if (load_failed)
                message = "a network plugin did not load" + (a.network.empty() ? string() : "; NCCL uses " + a.network);
            else
                message = "libibverbs did not load; NCCL cannot use InfiniBand/RoCE";
            Lines loaded_lines = loaded ? plugins_loaded.lines(*loaded) : Lines{};
            add_finding(a, "net-plugin-failed", Severity::warn, message,
                        "check the plugin's own log lines and error-return traces (a PCI lookup, a provider, a "
                        "missing library); set NCCL_NET to the intended network to fail loudly instead of "
                        "falling back",
                        {&loaded_lines, &plugin_load_errors, &plugin_error_traces, &ibverbs_errors, &network_evidence});
        }
    }

    if (a.gdr == std::optional<bool>(false) && !socket && (net_channel_lines > 0 || gdr_no_module.any())) {
        const bool shared_switch = ctx.gpu_nic_same_switch == std::optional<bool>(true);
        const bool serious = shared_switch || gdr_no_module.any();
        string message = "network traffic without GPU Direct RDMA: the data is staged through host memory";
        if (gdr_no_module.any()) message += " (the peer-memory module is not loaded)";
        else if (shared_switch) message += " although a GPU and a NIC share a PCIe switch";
        add_finding(a, "gdr-off", serious ? Severity::warn : Severity::note, message,
                    "load nvidia-peermem (or use a kernel and NCCL with DMA-BUF), check NCCL_NET_GDR_LEVEL and that "
                    "PCIe ACS/IOMMU settings allow peer-to-peer between the GPU and the NIC",
                    {&gdr_no_module, &gdr_disabled, &net_no_gdr});
    }

    {
        const bool nvlink = ctx.nvlink == std::optional<bool>(true) || ctx.nvswitch == std::optional<bool>(true) ||
                            nvlink_seen.any() || nvswitch_seen.any() || p2p_disabled_nvlink.any();
        bool has_p2p = false;
        std::vector<const Lines*> slow;
        for (const string& kind : intra.order) {
            if (starts(kind, "P2P")) has_p2p = true;
            else if (kind == "SHM") slow.push_back(&intra.lines(kind));
        }
        for (const string& kind : loopback.order) slow.push_back(&loopback.lines(kind));
        if (!slow.empty() && (nvlink || !has_p2p)) {
            Lines env_line;
            if (const string* off = env("NCCL_P2P_DISABLE"); off && *off == "1") env_line = one_line("NCCL_P2P_DISABLE=1");
            string message = "traffic between GPUs of one host goes through ";
            message += loopback.empty() ? "shared memory (SHM)" : "the network (" + loopback.order.front() + ")";
            message += nvlink ? " although the GPUs share NVLink" : " rather than GPU peer-to-peer";
            PathFinding f{"p2p-off", nvlink ? Severity::fail : Severity::note, message,
                          "check NCCL_P2P_DISABLE and NCCL_P2P_LEVEL, that the ranks of a host see each other's GPUs "
                          "(one container per host, CUDA_VISIBLE_DEVICES), and the GPUs' peer access (nvidia-smi topo -p2p r)",
                          {}};
            for (const Lines* lines : std::initializer_list<const Lines*>{&env_line, &p2p_disabled_nvlink})
                for (const string& s : lines->kept) f.evidence.push_back(s);
            for (const Lines* lines : slow)
                for (const string& s : lines->kept) f.evidence.push_back(s);
            a.findings.push_back(std::move(f));
        }
    }

    if (net_channel_lines > 0 && !socket && !a.network.empty()) {
        std::vector<string> used;
        for (const NicUse& n : a.nics)
            for (string& part : split_list(n.name, '+')) used.push_back(part);
        std::vector<string> expected = ctx.rdma_nics;
        if (!hca.exclude)
            for (const string& name : hca.names)
                if (std::find(expected.begin(), expected.end(), name) == expected.end()) expected.push_back(name);
        std::vector<string> unused;
        for (const string& want : expected) {
            bool prefix = !hca.exact && std::find(hca.names.begin(), hca.names.end(), want) != hca.names.end();
            bool found = std::any_of(used.begin(), used.end(), [&](const string& u) {
                return u == want || (prefix && starts(u, want));
            });
            if (!found && std::find(unused.begin(), unused.end(), want) == unused.end()) unused.push_back(want);
        }
        if (!unused.empty()) {
            string list;
            for (const string& u : unused) list += (list.empty() ? "" : ", ") + u;
            string in_use;
            for (const string& u : used) in_use += (in_use.empty() ? "" : ", ") + u;
            Lines used_line = one_line("NICs carrying channels: " + (in_use.empty() ? string("none") : in_use));
            add_finding(a, "nic-unused", Severity::warn,
                        "RDMA NIC" + string(unused.size() == 1 ? " " : "s ") + list + " carr" +
                            (unused.size() == 1 ? "ies" : "y") + " no channel",
                        "check the NIC's port state (ibstat), NCCL_IB_HCA and the GPU-NIC affinity in the topology; "
                        "a NIC left out halves the bandwidth of the GPUs behind it",
                        {&hca_line, &used_line, &rdma_listed});
        }
    }

    if ((ctx.nvswitch == std::optional<bool>(true) || nvswitch_seen.any()) && a.nvls != "used") {
        Lines env_line;
        if (const string* v = env("NCCL_NVLS_ENABLE"); v && *v == "0") env_line = one_line("NCCL_NVLS_ENABLE=0");
        add_finding(a, "nvls-off", Severity::note,
                    "the host has NVSwitches but NVLS (NVLink SHARP) is " +
                        string(a.nvls.empty() ? "not reported" : a.nvls == "available" ? "available but unused" : "unavailable"),
                    "NVLS needs NVSwitch multicast (Hopper or later, fabric manager, CUDA driver 530+) and "
                    "NCCL_NVLS_ENABLE unset; it lifts all_reduce bandwidth on such hosts",
                    {&env_line, &nvls_unavailable, &nvls_zero, &nvswitch_seen});
    }

    if (version_order.size() > 1) {
        string list;
        for (const string& v : version_order) list += (list.empty() ? "" : ", ") + v;
        PathFinding f{"nccl-version-mismatch", Severity::warn, "ranks run different NCCL versions: " + list,
                      "install one NCCL version on every host (or ship it in the container); mixed versions can hang "
                      "or corrupt collectives",
                      {}};
        for (const string& v : version_order)
            for (const string& s : version_lines.at(v).kept) f.evidence.push_back(s);
        a.findings.push_back(std::move(f));
    }
    return a;
}

Reader::Reader() : state_(std::make_unique<State>()) {}
Reader::~Reader() = default;
Reader::Reader(Reader&&) noexcept = default;
Reader& Reader::operator=(Reader&&) noexcept = default;

void Reader::feed(std::string_view text) { state_->feed(text); }
void Reader::end_piece() { state_->end_piece(); }
Account Reader::account(const Context& context) const { return state_->account(context); }

Account read(std::string_view text, const Context& context) {
    Reader r;
    r.feed(text);
    r.end_piece();
    return r.account(context);
}

}  // namespace quorvane::analysis::transport
