// Topology: one host's NCCL/RCCL topology file read, compared, and hosts side by side.
#include "bind.hpp"

#include "../topology.hpp"

namespace quorvane::analysis::bind {
namespace {

namespace qa = quorvane::analysis;
namespace qt = quorvane::analysis::topology;

nb::object opt_int(const qt::OptInt& v) { return v ? nb::object(nb::int_(*v)) : nb::none(); }

// The inventory in the layout of parse_nccl_topo_xml (same keys, same order,
// same values for a dump), each entry followed by what only the analysis reads.
nb::dict topology_dict(const qt::Report& r) {
    const bool dump = r.kind == qt::Kind::dump;
    auto link = [&](nb::dict& d, std::uint32_t chain) {
        const qt::PciNode& pci = r.pci[chain];
        d["pci_class"] = pci.pci_class;
        d["pci_id"] = pci.vendor.empty() && pci.device.empty() ? std::string() : pci.vendor + ":" + pci.device;
        d["link_speed"] = pci.link_speed;
        d["link_width"] = opt_int(pci.link_width);
        d["pcie_link"] = chain ? qt::pcie_link_text(pci) : std::string("unknown");
    };
    nb::list gpus;
    for (const qt::Gpu& g : r.gpus) {
        nb::dict d;
        d["dev"] = opt_int(g.dev);
        d["rank"] = opt_int(g.rank);
        d["sm"] = opt_int(g.sm);
        d["gdr"] = dump ? nb::object(nb::bool_(g.gdr && *g.gdr == "1")) : nb::none();
        d["busid"] = r.pci[g.chain].busid;
        d["numa"] = opt_int(g.numa);
        d["nvlink_count"] = dump ? nb::object(nb::int_(g.nvlink_count)) : nb::none();
        d["nvlink_peers"] = dump ? nb::object(nb::int_(g.nvlink_peers)) : nb::none();
        d["gcn"] = g.gcn.empty() ? nb::none() : nb::cast(g.gcn);
        d["xgmi_count"] = dump ? nb::object(nb::int_(g.xgmi_count)) : nb::none();
        d["xgmi_peers"] = dump ? nb::object(nb::int_(g.xgmi_peers)) : nb::none();
        link(d, g.chain);
        gpus.append(d);
    }
    nb::list nics;
    for (const qt::Nic& n : r.nics) {
        nb::dict d;
        d["name"] = n.name;
        d["speed_mbps"] = opt_int(n.speed_mbps);
        d["port"] = opt_int(n.port);
        d["gdr"] = dump ? nb::object(nb::bool_(n.gdr && *n.gdr == "1")) : nb::none();
        d["guid"] = n.guid;
        d["busid"] = r.pci[n.chain].busid;
        d["numa"] = opt_int(n.numa);
        link(d, n.chain);
        nics.append(d);
    }
    // A dump keys the affinity by GPU dev and names the NICs; a static file
    // has neither, so there both sides are bus ids.
    // Each NIC's text made once, however many lists name it.
    std::vector<nb::object> nic_text;
    nic_text.reserve(r.nics.size());
    for (const qt::Nic& n : r.nics) nic_text.push_back(nb::cast(dump ? n.name : r.pci[n.chain].busid));
    nb::dict affinity;
    for (std::size_t i = 0; i < r.gpus.size(); ++i) {
        const qt::Gpu& g = r.gpus[i];
        if (r.affinity.size() <= i || r.affinity[i].empty() || (dump && !g.dev)) continue;
        nb::list names;
        for (std::uint32_t k : r.affinity[i]) names.append(nic_text[k]);
        if (dump) affinity[nb::cast(std::to_string(*g.dev))] = names;
        else affinity[nb::cast(r.pci[g.chain].busid)] = names;
    }
    nb::dict d;
    d["gpus"] = gpus;
    d["nics"] = nics;
    d["gpu_nic_affinity"] = affinity;
    d["numa_domains"] = r.numa_domains;
    d["kind"] = qt::kind_name(r.kind);
    d["findings"] = plain(r.findings);
    return d;
}

}  // namespace

void init_topology(nb::module_& m) {
    nb::class_<qt::Report>(m, "TopologyReport",
                           "A host read from one topology file: its inventory and what is wrong with it.")
        .def_prop_ro("kind", [](const qt::Report& r) { return qt::kind_name(r.kind); },
                     "\"dump\", \"static\" (only <pci class=...> leaves), \"none\" (no <system>) or "
                     "\"invalid\" (malformed or too large; see error).")
        .def_ro("error", &qt::Report::error, "For none and invalid: why, in one line.")
        .def_ro("line", &qt::Report::line, "Malformed XML: the line where reading stopped (from 1).")
        .def_ro("column", &qt::Report::column, "Malformed XML: the column where reading stopped (from 1).")
        .def_ro("findings", &qt::Report::findings,
                "What is wrong with the host: by kind (PCIe links, GPUDirect RDMA, NIC speeds, local NICs, GPU "
                "links, NUMA spread), devices in file order.")
        .def_prop_ro("gpu_count", [](const qt::Report& r) { return r.gpus.size(); })
        .def_prop_ro("nic_count", [](const qt::Report& r) { return r.nics.size(); })
        .def_ro("numa_domains", &qt::Report::numa_domains)
        .def("summary", &qt::summary, "The inventory as (what, value) pairs that hosts of one fleet share.")
        .def("to_dict", &topology_dict,
             "The inventory in the layout of parse_nccl_topo_xml, with link, xGMI and architecture fields, the "
             "kind and the findings.");

    nb::class_<qt::Difference>(m, "HostDifference", "Where one host's inventory differs from the majority.")
        .def_ro("host", &qt::Difference::host)
        .def_ro("what", &qt::Difference::what)
        .def_ro("value", &qt::Difference::value)
        .def_ro("majority", &qt::Difference::majority,
                "The value most hosts share; empty when another value is as common.");

    nb::class_<qt::HostComparison>(m, "HostComparison", "Hosts side by side.")
        .def_ro("findings", &qt::HostComparison::findings,
                "Per host: PCIe links below the best seen for that kind of device on any host.")
        .def_ro("differences", &qt::HostComparison::differences);

    m.def("analyze_topology", &qt::analyze, "text"_a,
          "Read an NCCL/RCCL topology XML dump (or a static topology file) once and find what is wrong with the "
          "host.");
    m.def("compare_topology", &qt::compare, "golden"_a, "current"_a,
          "Findings for the devices missing, added or changed since the golden file.");
    m.def("compare_hosts", &qt::compare_hosts, "hosts"_a, "names"_a,
          "Hosts (with topologies) side by side: links below the fleet's best, inventories against the majority.");
}

}  // namespace quorvane::analysis::bind
