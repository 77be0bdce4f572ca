#include "topology.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <functional>
#include <limits>
#include <map>
#include <set>
#include <stdexcept>
#include <tuple>
#include <unordered_map>

#include "../common/pci_tree.hpp"
#include "xml_reader.hpp"

namespace quorvane::analysis::topology {

namespace {

// Base-10 integer text as Python's int() reads it: blanks around, one sign,
// single underscores between digits. Anything else (or too large) is unknown.
OptInt to_int(std::string_view s) {
    auto blank = [](char c) { return c == ' ' || (c >= '\t' && c <= '\r') || (c >= 0x1c && c <= 0x1f); };
    while (!s.empty() && blank(s.front())) s.remove_prefix(1);
    while (!s.empty() && blank(s.back())) s.remove_suffix(1);
    bool negative = false;
    if (!s.empty() && (s[0] == '+' || s[0] == '-')) {
        negative = s[0] == '-';
        s.remove_prefix(1);
    }
    std::int64_t value = 0;
    bool after_digit = false;
    for (char c : s) {
        if (c == '_' && after_digit) {
            after_digit = false;
            continue;
        }
        if (c < '0' || c > '9') return std::nullopt;
        if (value > (std::numeric_limits<std::int64_t>::max() - (c - '0')) / 10) return std::nullopt;
        value = value * 10 + (c - '0');
        after_digit = true;
    }
    if (!after_digit) return std::nullopt;
    return negative ? -value : value;
}

// "32.0 GT/s PCIe" -> 32; unknown when it does not start with a positive number.
std::optional<double> gts(std::string_view s) {
    while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
    double value = 0;
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value, std::chars_format::fixed);
    if (ec != std::errc() || end == s.data() || !std::isfinite(value) || value <= 0) return std::nullopt;
    return value;
}

OptInt known_width(const PciNode& node) {
    if (node.link_width && *node.link_width > 0) return node.link_width;
    return std::nullopt;
}

std::string number(double value) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%g", value);
    return buf;
}

std::string link_text(std::optional<double> speed, OptInt width) {
    if (width && speed) return "x" + std::to_string(*width) + " at " + number(*speed) + " GT/s";
    if (width) return "x" + std::to_string(*width);
    if (speed) return number(*speed) + " GT/s";
    return "unknown";
}

std::string speed_text(std::int64_t mbps) {
    if (mbps >= 1000 && mbps % 1000 == 0) return std::to_string(mbps / 1000) + " Gb/s";
    return std::to_string(mbps) + " Mb/s";
}

std::string lower(std::string_view s) {
    std::string out(s);
    for (char& c : out) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
    return out;
}

// The first six characters of a class code: base class and subclass.
std::string class_of(const PciNode& node) { return lower(node.pci_class.substr(0, 6)); }

bool gpu_class(const std::string& cls) { return cls == "0x0302" || cls == "0x1200" || cls == "0x0380"; }
bool nic_class(const std::string& cls) { return cls == "0x0207" || cls == "0x0200"; }

std::string plural(std::size_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

// ---- one pass over the document ----------------------------------------------

class Builder final : public xml::Handler {
public:
    explicit Builder(Report& report) : r_(report) { r_.pci.emplace_back(); }

    void start_element(std::string_view name, std::span<const xml::Attribute> attributes, std::size_t) override {
        Frame frame = stack_.empty() ? Frame{} : stack_.back();
        std::int64_t parent_gpu = frame.gpu;
        frame.gpu = -1;
        auto get = [&](std::string_view key) -> std::optional<std::string_view> {
            for (const xml::Attribute& a : attributes) {
                if (a.name == key) return a.value;
            }
            return std::nullopt;
        };
        auto text = [&](std::string_view key) { return std::string(get(key).value_or("")); };
        auto integer = [&](std::string_view key) -> OptInt {
            auto v = get(key);
            return v ? to_int(*v) : std::nullopt;
        };
        auto optional_text = [&](std::string_view key) -> std::optional<std::string> {
            auto v = get(key);
            return v ? std::optional<std::string>(std::string(*v)) : std::nullopt;
        };

        if (name == "pci") {
            std::string busid = text("busid");
            if (!busid.empty()) frame.chain = intern(frame.chain, std::move(busid), frame.numa, attributes);
        } else if (name == "gpu") {
            Gpu gpu;
            gpu.dev = integer("dev");
            gpu.rank = integer("rank");
            gpu.sm = integer("sm");
            gpu.gcn = text("gcn");
            gpu.gdr = optional_text("gdr");
            gpu.chain = frame.chain;
            gpu.numa = frame.numa;
            frame.gpu = static_cast<std::int64_t>(r_.gpus.size());
            r_.gpus.push_back(std::move(gpu));
        } else if (name == "net") {
            Nic nic;
            nic.name = text("name");
            nic.speed_mbps = integer("speed");
            nic.port = integer("port");
            nic.gdr = optional_text("gdr");
            nic.guid = text("guid");
            nic.chain = frame.chain;
            nic.numa = frame.numa;
            r_.nics.push_back(std::move(nic));
        } else if (name == "cpu") {
            frame.numa = integer("numaid");
        } else if ((name == "nvlink" || name == "xgmi") && parent_gpu >= 0) {
            Gpu& gpu = r_.gpus[static_cast<std::size_t>(parent_gpu)];
            std::int64_t count = integer("count").value_or(0);
            bool xgmi = name == "xgmi";
            (xgmi ? gpu.xgmi_count : gpu.nvlink_count) += count;
            std::string target = text("target");
            if (!target.empty()) targets_.push_back({static_cast<std::size_t>(parent_gpu), xgmi, std::move(target)});
        } else if (name == "system") {
            has_system_ = true;
        }
        stack_.push_back(frame);
    }

    void end_element(std::string_view) override { stack_.pop_back(); }

    bool has_system() const { return has_system_; }

    // Distinct link targets per GPU, and the devices of a static file.
    void finish() {
        std::sort(targets_.begin(), targets_.end());
        targets_.erase(std::unique(targets_.begin(), targets_.end()), targets_.end());
        for (const auto& [gpu, xgmi, target] : targets_) ++(xgmi ? r_.gpus[gpu].xgmi_peers : r_.gpus[gpu].nvlink_peers);
        if (!r_.gpus.empty() || !r_.nics.empty() || candidates_.empty()) return;
        r_.kind = Kind::static_file;
        for (std::uint32_t node : candidates_) {
            const PciNode& pci = r_.pci[node];
            if (gpu_class(class_of(pci))) {
                Gpu gpu;
                gpu.chain = node;
                gpu.numa = pci.numa;
                r_.gpus.push_back(std::move(gpu));
            } else {
                Nic nic;
                nic.chain = node;
                nic.numa = pci.numa;
                r_.nics.push_back(std::move(nic));
            }
        }
    }

private:
    struct Frame {
        std::uint32_t chain = 0;  // innermost PCI node around the element's children
        OptInt numa;              // of the nearest enclosing cpu
        std::int64_t gpu = -1;    // the element's index as a GPU
    };
    struct Key {
        std::uint32_t parent;
        std::string busid;
        bool operator==(const Key&) const = default;
    };
    struct KeyHash {
        std::size_t operator()(const Key& k) const noexcept {
            return std::hash<std::string>{}(k.busid) ^ (k.parent * 0x9e3779b97f4a7c15ULL);
        }
    };

    std::uint32_t intern(std::uint32_t parent, std::string busid, const OptInt& numa,
                         std::span<const xml::Attribute> attributes) {
        Key key{parent, std::move(busid)};
        auto found = index_.find(key);
        if (found != index_.end()) return found->second;
        PciNode node;
        node.parent = parent;
        node.busid = key.busid;
        node.numa = numa;
        for (const xml::Attribute& a : attributes) {
            if (a.name == "class") node.pci_class = a.value;
            else if (a.name == "vendor") node.vendor = a.value;
            else if (a.name == "device") node.device = a.value;
            else if (a.name == "link_speed") node.link_speed = a.value;
            else if (a.name == "link_width") node.link_width = to_int(a.value);
        }
        auto id = static_cast<std::uint32_t>(r_.pci.size());
        std::string cls = class_of(node);
        if (gpu_class(cls) || nic_class(cls)) candidates_.push_back(id);
        r_.pci.push_back(std::move(node));
        index_.emplace(std::move(key), id);
        return id;
    }

    Report& r_;
    std::vector<Frame> stack_;
    std::unordered_map<Key, std::uint32_t, KeyHash> index_;
    std::vector<std::tuple<std::size_t, bool, std::string>> targets_;
    std::vector<std::uint32_t> candidates_;
    bool has_system_ = false;
};

// Per GPU, the NICs below the deepest PCI node on its chain that has any NIC
// below it (the NICs whose chains share the longest prefix with the GPU's),
// from the PCI tree core the library's parser uses too: the same nodes, the
// same size limit. A dump lists the GPUs with a dev, as the inventory keys
// them, and names each port once; a static file lists every GPU and has no
// names.
void compute_affinity(Report& r) {
    const bool dump = r.kind == Kind::dump;
    std::vector<std::uint32_t> parent, gpu_chain, nic_chain, nic_key;
    std::vector<char> listed;
    parent.reserve(r.pci.size());
    for (const PciNode& node : r.pci) parent.push_back(node.parent);
    for (const Gpu& gpu : r.gpus) {
        gpu_chain.push_back(gpu.chain);
        listed.push_back(!dump || gpu.dev.has_value());
    }
    std::unordered_map<std::string_view, std::uint32_t> ids;
    for (std::size_t k = 0; k < r.nics.size(); ++k) {
        nic_chain.push_back(r.nics[k].chain);
        nic_key.push_back(dump ? ids.try_emplace(r.nics[k].name, static_cast<std::uint32_t>(ids.size())).first->second
                               : static_cast<std::uint32_t>(k));
    }
    pci::Affinity found = pci::gpu_nic_affinity(parent, gpu_chain, listed, nic_chain, nic_key);
    r.local_nic.assign(found.node.size(), false);
    for (std::size_t g = 0; g < found.node.size(); ++g) r.local_nic[g] = found.node[g] != 0;
    r.affinity = std::move(found.nics);
}

// ---- findings of one host ---------------------------------------------------------

struct LinkDevice {
    bool gpu;
    std::size_t index;  // into gpus or nics
    std::uint32_t node;
};

// GPUs and NICs with a PCI node of their own; ports of one NIC share it.
std::vector<LinkDevice> link_devices(const Report& r) {
    std::vector<LinkDevice> out;
    for (std::size_t i = 0; i < r.gpus.size(); ++i) {
        if (r.gpus[i].chain) out.push_back({true, i, r.gpus[i].chain});
    }
    std::set<std::uint32_t> seen;
    for (std::size_t i = 0; i < r.nics.size(); ++i) {
        if (r.nics[i].chain && seen.insert(r.nics[i].chain).second) out.push_back({false, i, r.nics[i].chain});
    }
    return out;
}

// Devices compare with those of the same kind, PCI class and model.
std::string peer_group(const Report& r, const LinkDevice& d) {
    const PciNode& node = r.pci[d.node];
    return std::string(d.gpu ? "GPU" : "NIC") + " " + class_of(node) + " " + lower(node.vendor) + ":" +
           lower(node.device);
}

std::string peer_group_text(const Report& r, const LinkDevice& d) {
    const PciNode& node = r.pci[d.node];
    std::string text = d.gpu ? "GPUs" : "NICs";
    if (!node.pci_class.empty()) text += " of class " + class_of(node);
    if (!node.vendor.empty() || !node.device.empty()) text += " (" + node.vendor + ":" + node.device + ")";
    return text;
}

struct Best {
    std::optional<double> speed;
    OptInt width;
    std::size_t count = 0;
    std::string where;  // the host that has it, in fleet comparisons
};

std::string device_label(const Report& r, const LinkDevice& d) {
    return d.gpu ? r.gpu_label(d.index) : r.nic_label(d.index);
}

std::string link_evidence(const PciNode& node) {
    std::string width = node.link_width ? std::to_string(*node.link_width) : "";
    return "link_width=\"" + width + "\" link_speed=\"" + node.link_speed + "\"";
}

bool below(const PciNode& node, const Best& best) {
    auto speed = gts(node.link_speed);
    auto width = known_width(node);
    return (width && best.width && *width < *best.width) || (speed && best.speed && *speed < *best.speed);
}

void raise_best(Best& best, const PciNode& node) {
    auto speed = gts(node.link_speed);
    auto width = known_width(node);
    if (speed && (!best.speed || *speed > *best.speed)) best.speed = speed;
    if (width && (!best.width || *width > *best.width)) best.width = width;
    ++best.count;
}

void pcie_findings(const Report& r, std::vector<Finding>& out) {
    auto devices = link_devices(r);
    std::map<std::string, Best> best;
    for (const LinkDevice& d : devices) raise_best(best[peer_group(r, d)], r.pci[d.node]);
    for (const LinkDevice& d : devices) {
        const PciNode& node = r.pci[d.node];
        const Best& b = best[peer_group(r, d)];
        if (!below(node, b)) continue;
        out.push_back(make_finding(
            "pcie-link-downtrained", Severity::fail,
            device_label(r, d) + ": PCIe link " + link_text(gts(node.link_speed), known_width(node)) +
                ", below its peers on this host (" + link_text(b.speed, b.width) + ")",
            link_evidence(node) + "; best of " + std::to_string(b.count) + " " + peer_group_text(r, d) + ": " +
                link_text(b.speed, b.width)));
    }
}

void gdr_findings(const Report& r, std::vector<Finding>& out) {
    auto check = [&](const std::optional<std::string>& gdr, const std::string& label) {
        if (!gdr || *gdr == "1") return;
        out.push_back(make_finding("gdr-off", Severity::warn, label + ": GPUDirect RDMA off",
                                   "gdr=\"" + *gdr + "\""));
    };
    for (std::size_t i = 0; i < r.gpus.size(); ++i) check(r.gpus[i].gdr, r.gpu_label(i));
    for (std::size_t i = 0; i < r.nics.size(); ++i) check(r.nics[i].gdr, r.nic_label(i));
}

void nic_speed_findings(const Report& r, std::vector<Finding>& out) {
    std::int64_t fastest = 0;
    std::size_t at_fastest = 0;
    for (const Nic& nic : r.nics) {
        if (!nic.speed_mbps || *nic.speed_mbps <= 0) continue;
        if (*nic.speed_mbps > fastest) fastest = *nic.speed_mbps, at_fastest = 0;
        if (*nic.speed_mbps == fastest) ++at_fastest;
    }
    for (std::size_t i = 0; i < r.nics.size(); ++i) {
        const Nic& nic = r.nics[i];
        if (!nic.speed_mbps || *nic.speed_mbps <= 0 || *nic.speed_mbps >= fastest) continue;
        out.push_back(make_finding(
            "nic-slow", Severity::fail,
            r.nic_label(i) + ": " + speed_text(*nic.speed_mbps) + ", slower than the host's other NICs (" +
                speed_text(fastest) + ")",
            "speed=\"" + std::to_string(*nic.speed_mbps) + "\"; " + plural(at_fastest, "NIC", "NICs") + " at " +
                std::to_string(fastest)));
    }
}

// "0000:a1:00.0 > 0000:a4:00.0", root first.
std::string pci_path(const Report& r, std::uint32_t chain) {
    if (!chain) return "no PCI element";
    std::string path;
    for (std::uint32_t node = chain; node; node = r.pci[node].parent) {
        path = r.pci[node].busid + (path.empty() ? "" : " > " + path);
    }
    return path;
}

std::string numa_text(const OptInt& numa) { return numa ? std::to_string(*numa) : "unknown"; }

void local_nic_findings(const Report& r, std::vector<Finding>& out) {
    if (r.nics.empty()) return;
    for (std::size_t g = 0; g < r.gpus.size(); ++g) {
        const Gpu& gpu = r.gpus[g];
        if (!gpu.chain || r.local_nic[g]) continue;
        std::optional<std::size_t> same, other;
        for (std::size_t k = 0; k < r.nics.size() && !same; ++k) {
            if (gpu.numa && r.nics[k].numa == gpu.numa) same = k;
            else if (!other) other = k;
        }
        std::size_t nearest = same ? *same : *other;
        std::string evidence = "GPU under " + pci_path(r, gpu.chain) + "; " + r.nic_label(nearest) + " under " +
                               pci_path(r, r.nics[nearest].chain);
        if (same) {
            out.push_back(make_finding(
                "gpu-no-local-nic", Severity::warn,
                r.gpu_label(g) + ": no NIC under a shared PCIe switch; nearest is " + r.nic_label(*same) +
                    ", on the same NUMA node " + numa_text(gpu.numa),
                evidence));
        } else {
            const Nic& nic = r.nics[*other];
            out.push_back(make_finding(
                "gpu-no-local-nic", gpu.numa && nic.numa ? Severity::fail : Severity::warn,
                r.gpu_label(g) + ": no NIC under a shared PCIe switch; nearest is " + r.nic_label(*other) +
                    ", on NUMA node " + numa_text(nic.numa) + " while the GPU is on " + numa_text(gpu.numa),
                evidence + "; no NIC on NUMA node " + numa_text(gpu.numa)));
        }
    }
}

const char* link_unit(const Gpu& gpu) { return gpu.xgmi_count > 0 && gpu.nvlink_count == 0 ? "xGMI links" : "NVLinks"; }

void gpu_link_findings(const Report& r, std::vector<Finding>& out) {
    if (r.gpus.size() < 2) return;
    std::int64_t most = 0;
    std::size_t at_most = 0;
    for (const Gpu& gpu : r.gpus) {
        std::int64_t total = gpu.nvlink_count + gpu.xgmi_count;
        if (total > most) most = total, at_most = 0;
        if (total == most) ++at_most;
    }
    if (most <= 0) return;
    for (std::size_t g = 0; g < r.gpus.size(); ++g) {
        const Gpu& gpu = r.gpus[g];
        std::int64_t total = gpu.nvlink_count + gpu.xgmi_count;
        if (total >= most) continue;
        out.push_back(make_finding(
            "nvlink-degraded", Severity::fail,
            r.gpu_label(g) + ": " + std::to_string(total) + " " + link_unit(gpu) + ", its peers have " +
                std::to_string(most),
            "nvlink count " + std::to_string(gpu.nvlink_count) + ", xgmi count " + std::to_string(gpu.xgmi_count) +
                "; " + plural(at_most, "GPU", "GPUs") + " with " + std::to_string(most)));
    }
}

void numa_spread_findings(const Report& r, std::vector<Finding>& out) {
    std::map<std::int64_t, std::pair<std::size_t, std::size_t>> per_node;  // NICs, GPUs
    for (const Gpu& gpu : r.gpus) {
        if (gpu.numa) ++per_node[*gpu.numa].second;
    }
    for (const Nic& nic : r.nics) {
        if (nic.numa) ++per_node[*nic.numa].first;
    }
    if (per_node.size() < 2) return;
    // One NIC more on some nodes is the best an odd count allows.
    std::size_t fewest = SIZE_MAX, most = 0;
    for (const auto& [node, counts] : per_node) {
        fewest = std::min(fewest, counts.first);
        most = std::max(most, counts.first);
    }
    if (most < fewest + 2) return;
    std::string nics, gpus;
    for (const auto& [node, counts] : per_node) {
        nics += (nics.empty() ? "" : ", ") + std::to_string(counts.first) + " on node " + std::to_string(node);
        gpus += (gpus.empty() ? "" : ", ") + std::to_string(counts.second) + " on node " + std::to_string(node);
    }
    out.push_back(make_finding("nic-numa-imbalance", Severity::warn,
                               "NICs unevenly spread over NUMA domains: " + nics, "GPUs: " + gpus));
}

}  // namespace

std::string pcie_link_text(const PciNode& node) { return link_text(gts(node.link_speed), known_width(node)); }

const char* kind_name(Kind kind) {
    switch (kind) {
        case Kind::dump: return "dump";
        case Kind::static_file: return "static";
        case Kind::none: return "none";
        case Kind::invalid: return "invalid";
    }
    return "none";
}

std::string Report::gpu_label(std::size_t i) const {
    const Gpu& gpu = gpus[i];
    const std::string& busid = pci[gpu.chain].busid;
    if (kind == Kind::static_file || !gpu.dev) return busid.empty() ? "GPU ?" : "GPU " + busid;
    return "GPU " + std::to_string(*gpu.dev) + (busid.empty() ? "" : " (" + busid + ")");
}

std::string Report::nic_label(std::size_t i) const {
    const Nic& nic = nics[i];
    const std::string& busid = pci[nic.chain].busid;
    if (nic.name.empty()) return busid.empty() ? "NIC ?" : "NIC " + busid;
    return "NIC " + nic.name + (busid.empty() ? "" : " (" + busid + ")");
}

Report analyze(std::string_view text) {
    Report r;
    if (text.find("<system") == std::string_view::npos) {
        r.error = "no <system> element";
        return r;
    }
    Builder builder(r);
    try {
        xml::read(text, builder);
    } catch (const xml::Error& e) {
        xml::Position at = xml::position_of(text, e.offset);
        Report bad;
        bad.kind = Kind::invalid;
        bad.line = at.line;
        bad.column = at.column;
        bad.error = "malformed XML at line " + std::to_string(at.line) + ", column " + std::to_string(at.column) +
                    ": " + e.what();
        return bad;
    }
    if (!builder.has_system()) {
        r = Report{};
        r.error = "no <system> element";
        return r;
    }
    r.kind = Kind::dump;
    builder.finish();
    try {
        compute_affinity(r);
    } catch (const pci::TooLarge& e) {
        Report bad;
        bad.kind = Kind::invalid;
        bad.error = e.what();
        return bad;
    }
    std::set<std::int64_t> numa;
    for (const Gpu& gpu : r.gpus) {
        if (gpu.numa) numa.insert(*gpu.numa);
    }
    for (const Nic& nic : r.nics) {
        if (nic.numa) numa.insert(*nic.numa);
    }
    r.numa_domains = static_cast<std::int64_t>(numa.size());
    pcie_findings(r, r.findings);
    gdr_findings(r, r.findings);
    nic_speed_findings(r, r.findings);
    local_nic_findings(r, r.findings);
    gpu_link_findings(r, r.findings);
    numa_spread_findings(r, r.findings);
    return r;
}

// ---- against a golden file ------------------------------------------------------

namespace {

// Devices keyed by bus id (a NIC without one by its name); repeats of a key,
// such as the ports of one NIC, are told apart by their order.
template <class Entry, class KeyOf>
std::vector<std::string> keys_of(const std::vector<Entry>& entries, KeyOf key_of) {
    std::map<std::string, int> seen;
    std::vector<std::string> keys;
    for (const Entry& e : entries) {
        std::string key = key_of(e);
        int n = seen[key]++;
        keys.push_back(n ? key + "#" + std::to_string(n) : key);
    }
    return keys;
}

void compare_numbers(std::vector<Finding>& out, const char* code, const std::string& label, const char* what,
                     std::int64_t now, std::int64_t golden, const std::function<std::string(std::int64_t)>& show) {
    if (now == golden) return;
    out.push_back(make_finding(code, now < golden ? Severity::fail : Severity::warn,
                               label + ": " + what + " " + show(now) + ", golden " + show(golden),
                               std::string(what) + " " + std::to_string(now) + " (golden " + std::to_string(golden) +
                                   ")"));
}

void compare_device(std::vector<Finding>& out, const Report& golden, const Report& current, const std::string& label,
                    std::uint32_t golden_chain, std::uint32_t chain, const OptInt& golden_numa, const OptInt& numa) {
    if (golden_numa && numa && *golden_numa != *numa) {
        out.push_back(make_finding("numa-changed", Severity::warn,
                                   label + ": NUMA node " + std::to_string(*numa) + ", golden " +
                                       std::to_string(*golden_numa),
                                   "numa " + std::to_string(*numa) + " (golden " + std::to_string(*golden_numa) + ")"));
    }
    if (!chain || !golden_chain) return;
    const PciNode& a = golden.pci[golden_chain];
    const PciNode& b = current.pci[chain];
    auto wa = known_width(a), wb = known_width(b);
    auto sa = gts(a.link_speed), sb = gts(b.link_speed);
    bool narrower = wa && wb && *wb < *wa, slower = sa && sb && *sb < *sa;
    bool wider = wa && wb && *wb > *wa, faster = sa && sb && *sb > *sa;
    if (!(narrower || slower || wider || faster)) return;
    out.push_back(make_finding("pcie-link-changed", narrower || slower ? Severity::fail : Severity::warn,
                               label + ": PCIe link " + link_text(sb, wb) + ", golden " + link_text(sa, wa),
                               link_evidence(b) + " (golden " + link_evidence(a) + ")"));
}

}  // namespace

std::vector<Finding> compare(const Report& golden, const Report& current) {
    std::vector<Finding> out;
    auto gpu_key = [](const Report& r) {
        return [&r](const Gpu& g) {
            const std::string& busid = r.pci[g.chain].busid;
            return busid.empty() ? "dev " + (g.dev ? std::to_string(*g.dev) : std::string("?")) : busid;
        };
    };
    auto nic_key = [](const Report& r) {
        return [&r](const Nic& n) {
            const std::string& busid = r.pci[n.chain].busid;
            return busid.empty() ? "name " + n.name : busid;
        };
    };
    auto match = [&](const std::vector<std::string>& golden_keys,
                     const std::vector<std::string>& keys, const char* kind, auto label_golden, auto label,
                     auto compare_pair) {
        std::map<std::string, std::size_t> now;
        for (std::size_t i = 0; i < keys.size(); ++i) now.emplace(keys[i], i);
        std::set<std::string> in_golden(golden_keys.begin(), golden_keys.end());
        for (std::size_t i = 0; i < golden_keys.size(); ++i) {
            auto it = now.find(golden_keys[i]);
            if (it == now.end()) {
                out.push_back(make_finding(std::string(kind) + "-missing", Severity::fail,
                                           label_golden(i) + ": in the golden file, missing here",
                                           "no device at " + golden_keys[i]));
            } else {
                compare_pair(i, it->second);
            }
        }
        for (std::size_t i = 0; i < keys.size(); ++i) {
            if (!in_golden.count(keys[i])) {
                out.push_back(make_finding(std::string(kind) + "-added", Severity::warn,
                                           label(i) + ": not in the golden file", "new device at " + keys[i]));
            }
        }
    };

    match(keys_of(golden.gpus, gpu_key(golden)), keys_of(current.gpus, gpu_key(current)),
          "gpu", [&](std::size_t i) { return golden.gpu_label(i); },
          [&](std::size_t i) { return current.gpu_label(i); },
          [&](std::size_t gi, std::size_t ci) {
              const Gpu& a = golden.gpus[gi];
              const Gpu& b = current.gpus[ci];
              std::string label = current.gpu_label(ci);
              compare_device(out, golden, current, label, a.chain, b.chain, a.numa, b.numa);
              if (golden.kind == Kind::dump && current.kind == Kind::dump) {
                  compare_numbers(out, "nvlink-changed", label, link_unit(b), b.nvlink_count + b.xgmi_count,
                                  a.nvlink_count + a.xgmi_count, [](std::int64_t v) { return std::to_string(v); });
              }
          });
    match(keys_of(golden.nics, nic_key(golden)), keys_of(current.nics, nic_key(current)),
          "nic", [&](std::size_t i) { return golden.nic_label(i); },
          [&](std::size_t i) { return current.nic_label(i); },
          [&](std::size_t gi, std::size_t ci) {
              const Nic& a = golden.nics[gi];
              const Nic& b = current.nics[ci];
              std::string label = current.nic_label(ci);
              compare_device(out, golden, current, label, a.chain, b.chain, a.numa, b.numa);
              if (a.speed_mbps && b.speed_mbps && *a.speed_mbps > 0 && *b.speed_mbps > 0) {
                  compare_numbers(out, "nic-speed-changed", label, "speed", *b.speed_mbps, *a.speed_mbps, speed_text);
              }
          });
    return out;
}

// ---- hosts side by side ---------------------------------------------------------

namespace {

// "8x sm 90" for eight equal labels; distinct labels sorted, so that the order
// of devices in the file does not matter.
std::string counted(std::vector<std::string> labels) {
    if (labels.empty()) return "none";
    std::map<std::string, std::size_t> counts;
    for (auto& label : labels) ++counts[label];
    std::string out;
    for (const auto& [label, n] : counts) out += (out.empty() ? "" : ", ") + std::to_string(n) + "x " + label;
    return out;
}

std::string gpu_type(const Report& r, const Gpu& gpu) {
    if (!gpu.gcn.empty()) return gpu.gcn;
    if (gpu.sm) return "sm " + std::to_string(*gpu.sm);
    const PciNode& node = r.pci[gpu.chain];
    if (!node.vendor.empty() || !node.device.empty()) return node.vendor + ":" + node.device;
    return node.pci_class.empty() ? "?" : "class " + class_of(node);
}

std::string nic_type(const Report& r, const Nic& nic) {
    if (nic.speed_mbps && *nic.speed_mbps > 0) return speed_text(*nic.speed_mbps);
    std::string cls = class_of(r.pci[nic.chain]);
    if (cls == "0x0207") return "InfiniBand";
    if (cls == "0x0200") return "Ethernet";
    return "?";
}

}  // namespace

std::vector<std::pair<std::string, std::string>> summary(const Report& r) {
    std::vector<std::string> gpu_types, nic_types, links, gpu_pcie, nic_pcie;
    for (const Gpu& gpu : r.gpus) {
        gpu_types.push_back(gpu_type(r, gpu));
        if (r.kind == Kind::dump) {
            links.push_back(std::to_string(gpu.nvlink_count + gpu.xgmi_count) + " " + link_unit(gpu));
        }
    }
    for (const Nic& nic : r.nics) nic_types.push_back(nic_type(r, nic));
    for (const LinkDevice& d : link_devices(r)) {
        const PciNode& node = r.pci[d.node];
        (d.gpu ? gpu_pcie : nic_pcie).push_back(link_text(gts(node.link_speed), known_width(node)));
    }
    return {
        {"GPUs", std::to_string(r.gpus.size())},
        {"NICs", std::to_string(r.nics.size())},
        {"NUMA domains", std::to_string(r.numa_domains)},
        {"GPU types", counted(gpu_types)},
        {"NIC speeds", counted(nic_types)},
        {"GPU links", r.kind == Kind::dump ? counted(links) : "not in a static file"},
        {"GPU PCIe links", counted(gpu_pcie)},
        {"NIC PCIe links", counted(nic_pcie)},
    };
}

HostComparison compare_hosts(const std::vector<const Report*>& hosts, const std::vector<std::string>& names) {
    HostComparison result;
    result.findings.resize(hosts.size());
    auto name_of = [&](std::size_t h) { return h < names.size() ? names[h] : "host " + std::to_string(h + 1); };

    // Links below the best seen for the same kind of device anywhere; those
    // already below their own host's best have their finding.
    std::map<std::string, Best> fleet;
    std::vector<std::map<std::string, Best>> local(hosts.size());
    for (std::size_t h = 0; h < hosts.size(); ++h) {
        const Report& r = *hosts[h];
        for (const LinkDevice& d : link_devices(r)) {
            const PciNode& node = r.pci[d.node];
            std::string group = peer_group(r, d);
            raise_best(local[h][group], node);
            Best& best = fleet[group];
            auto speed = gts(node.link_speed);
            auto width = known_width(node);
            if ((speed && (!best.speed || *speed > *best.speed)) || (width && (!best.width || *width > *best.width))) {
                best.where = name_of(h);
            }
            raise_best(best, node);
        }
    }
    for (std::size_t h = 0; h < hosts.size(); ++h) {
        const Report& r = *hosts[h];
        for (const LinkDevice& d : link_devices(r)) {
            const PciNode& node = r.pci[d.node];
            std::string group = peer_group(r, d);
            const Best& best = fleet[group];
            if (below(node, local[h][group]) || !below(node, best)) continue;
            result.findings[h].push_back(make_finding(
                "pcie-link-downtrained", Severity::fail,
                device_label(r, d) + ": PCIe link " + link_text(gts(node.link_speed), known_width(node)) +
                    ", below the best seen on other hosts (" + link_text(best.speed, best.width) + " on " +
                    best.where + ")",
                link_evidence(node) + "; best of " + std::to_string(best.count) + " " + peer_group_text(r, d) +
                    " on " + plural(hosts.size(), "host", "hosts") + ": " + link_text(best.speed, best.width)));
        }
    }

    // Inventories against the majority.
    std::vector<std::vector<std::pair<std::string, std::string>>> summaries;
    for (const Report* r : hosts) summaries.push_back(summary(*r));
    if (hosts.size() < 2) return result;
    for (std::size_t k = 0; k < summaries[0].size(); ++k) {
        std::map<std::string, std::size_t> votes;
        for (const auto& s : summaries) ++votes[s[k].second];
        if (votes.size() == 1) continue;
        // The value most hosts share, when no other value is as common.
        std::string majority;
        std::size_t most = 0;
        bool tie = false;
        for (const auto& [value, n] : votes) {
            if (n > most) most = n, majority = value, tie = false;
            else if (n == most) tie = true;
        }
        if (tie) majority.clear();
        for (std::size_t h = 0; h < hosts.size(); ++h) {
            const std::string& value = summaries[h][k].second;
            if (value != majority) result.differences.push_back({h, summaries[h][k].first, value, majority});
        }
    }
    return result;
}

}  // namespace quorvane::analysis::topology
