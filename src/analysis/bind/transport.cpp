// The transport account: NCCL's debug output read in C++, the account handed
// to Python as plain values.
#include "bind.hpp"

#include "../transport.hpp"

namespace quorvane::analysis::bind {
namespace {

namespace qa = quorvane::analysis;
namespace tr = quorvane::analysis::transport;

nb::object opt_bool(const std::optional<bool>& v) { return v ? nb::object(nb::bool_(*v)) : nb::none(); }
nb::object text_or_none(const std::string& s) { return s.empty() ? nb::none() : nb::cast(s); }  // the one text rule
nb::object count_or_none(std::int64_t v, std::int64_t unsaid) { return v == unsaid ? nb::none() : nb::object(nb::int_(v)); }

nb::dict finding_dict(const tr::PathFinding& f) {
    nb::dict d;
    d["code"] = f.code;
    d["severity"] = qa::severity_name(f.severity);
    d["message"] = f.message;
    d["advice"] = f.advice;
    d["evidence"] = nb::cast(f.evidence);
    return d;
}

nb::dict account_dict(const tr::Account& a) {
    nb::dict d;
    d["network"] = text_or_none(a.network);
    d["network_basis"] = text_or_none(a.network_basis);
    d["link_layer"] = text_or_none(a.link_layer);
    d["gdr"] = opt_bool(a.gdr);
    nb::list nics, nic_detail;
    for (const tr::NicUse& n : a.nics) {
        nics.append(n.name);
        nb::dict x;
        x["name"] = n.name;
        x["channels"] = n.channels;
        x["gdr"] = opt_bool(n.gdr);
        nic_detail.append(x);
    }
    d["nics"] = nics;
    d["nic_channels"] = nic_detail;
    d["intra"] = nb::cast(a.intra);
    d["nvls"] = text_or_none(a.nvls);
    d["collnet"] = text_or_none(a.collnet);
    d["nccl_versions"] = nb::cast(a.nccl_versions);
    nb::list versions;
    for (const tr::VersionSeen& v : a.versions) {
        nb::dict x;
        x["source"] = v.source;
        x["version"] = v.version;
        versions.append(x);
    }
    d["versions"] = versions;
    d["plugins_loaded"] = nb::cast(a.plugins_loaded);
    d["hosts"] = nb::cast(a.hosts);
    d["channels"] = count_or_none(a.channels, 0);
    d["nvls_channels"] = count_or_none(a.nvls_channels, -1);
    d["collnet_channels"] = count_or_none(a.collnet_channels, -1);
    d["ranks"] = count_or_none(a.ranks, 0);
    d["nodes"] = count_or_none(a.nodes, 0);
    d["local_ranks"] = count_or_none(a.local_ranks, 0);
    nb::dict env;
    for (const auto& [k, v] : a.environment) env[nb::cast(k)] = v;
    d["environment"] = env;
    d["errors"] = nb::cast(a.errors);
    d["error_count"] = a.error_count;
    d["lines"] = a.lines;
    d["nccl_lines"] = a.nccl_lines;
    nb::list findings;
    for (const tr::PathFinding& f : a.findings) findings.append(finding_dict(f));
    d["findings"] = findings;
    return d;
}

tr::Context make_context(std::string ib_hca, std::vector<std::string> rdma_nics,
                         std::optional<bool> gpu_nic_same_switch, std::optional<bool> nvlink,
                         std::optional<bool> nvswitch) {
    return tr::Context{std::move(ib_hca), std::move(rdma_nics), gpu_nic_same_switch, nvlink, nvswitch};
}

}  // namespace

void init_transport(nb::module_& m) {
    nb::class_<tr::Context>(m, "PathContext",
                            "What is known about the hosts beside the logs: the topology and NCCL_IB_HCA.")
        .def(nb::new_(&make_context), "ib_hca"_a = "", "rdma_nics"_a = std::vector<std::string>{},
             "gpu_nic_same_switch"_a = nb::none(), "nvlink"_a = nb::none(), "nvswitch"_a = nb::none())
        .def_ro("ib_hca", &tr::Context::ib_hca)
        .def_ro("rdma_nics", &tr::Context::rdma_nics)
        .def_ro("gpu_nic_same_switch", &tr::Context::gpu_nic_same_switch)
        .def_ro("nvlink", &tr::Context::nvlink)
        .def_ro("nvswitch", &tr::Context::nvswitch);

    nb::class_<tr::PathFinding>(m, "PathFinding", "A finding about the path: what, advice, and the log lines.")
        .def_ro("code", &tr::PathFinding::code)
        .def_ro("severity", &tr::PathFinding::severity)
        .def_ro("message", &tr::PathFinding::message)
        .def_ro("advice", &tr::PathFinding::advice)
        .def_ro("evidence", &tr::PathFinding::evidence)
        .def("to_dict", &finding_dict);

    nb::class_<tr::Account>(m, "PathAccount", "NCCL's own account of the path the bytes took.")
        .def_ro("network", &tr::Account::network)
        .def_ro("link_layer", &tr::Account::link_layer)
        .def_ro("gdr", &tr::Account::gdr)
        .def_ro("intra", &tr::Account::intra)
        .def_ro("nvls", &tr::Account::nvls)
        .def_ro("nccl_versions", &tr::Account::nccl_versions)
        .def_ro("hosts", &tr::Account::hosts)
        .def_ro("findings", &tr::Account::findings)
        .def_ro("lines", &tr::Account::lines)
        .def_ro("nccl_lines", &tr::Account::nccl_lines)
        .def_prop_ro("nics", [](const tr::Account& a) {
            std::vector<std::string> names;
            for (const tr::NicUse& n : a.nics) names.push_back(n.name);
            return names;
        })
        .def("to_dict", &account_dict,
             "The account as the records keep it: network, link_layer, gdr, nics, intra, nvls, nccl_versions, "
             "findings and the rest.");

    nb::class_<tr::Reader>(m, "PathReader",
                           "Reads NCCL debug output piece by piece (files of one run, chunks of a stream).")
        .def(nb::init<>())
        .def("feed", [](tr::Reader& r, std::string_view text) {
            r.feed(text);
        }, "text"_a, "Read more text; a line may be cut anywhere between two calls.")
        .def("end_piece", &tr::Reader::end_piece, "The current file ended: read a last line left without newline.")
        .def("account", &tr::Reader::account, "context"_a = tr::Context{},
             "The account of everything read so far, with its findings.");

    m.def("read_path", [](std::string_view text, const tr::Context& context) {
        return tr::read(text, context);
    }, "text"_a, "context"_a = tr::Context{},
          "Read one NCCL debug log (or output with debug lines mixed in) and give the path account.");
}

}  // namespace quorvane::analysis::bind
