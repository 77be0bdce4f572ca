// The Python binding of the analysis module: plain value types in and out.
// Each unit of the analysis adds its section here; nothing else includes nanobind.
#include <nanobind/nanobind.h>
#include <nanobind/stl/pair.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/string_view.h>
#include <nanobind/stl/vector.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/tuple.h>

#include "finding.hpp"
#include "fleet_planner.hpp"
#include "fleet_stats.hpp"
#include "trends.hpp"
// ---- field reader: includes ---------------------------------------------
#include <nanobind/stl/map.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/pair.h>

#include "reader.hpp"
// ---- end field reader: includes -----------------------------------------

// ---- causes, caveats, hardware and the cutoff lint: includes ----------------------------
#include <nanobind/stl/map.h>
#include <nanobind/stl/optional.h>
#include <nanobind/operators.h>
#include <nanobind/stl/pair.h>
#include <nanobind/stl/string_view.h>
#include <nanobind/stl/tuple.h>

#include "causes.hpp"
#include "caveats.hpp"
#include "hardware.hpp"
#include "lint.hpp"
// ---- end causes, caveats, hardware and the cutoff lint: includes -------------------------
#include "topology.hpp"

namespace nb = nanobind;
using namespace nb::literals;
namespace qa = quorvane::analysis;

// ---- field reader: helpers ------------------------------------------------
namespace {

// The text of a str as UTF-8, without copying where CPython already holds it;
// text with lone surrogates (undecodable bytes kept by "surrogateescape") is
// read with replacement characters instead of failing.
struct Utf8 {
    explicit Utf8(nb::handle text) {
        Py_ssize_t n = 0;
        const char* p = PyUnicode_AsUTF8AndSize(text.ptr(), &n);
        if (!p) {
            PyErr_Clear();
            holder = nb::steal(PyUnicode_AsEncodedString(text.ptr(), "utf-8", "replace"));
            if (!holder.is_valid()) throw nb::python_error();
            p = PyBytes_AS_STRING(holder.ptr());
            n = PyBytes_GET_SIZE(holder.ptr());
        }
        view = std::string_view(p, static_cast<size_t>(n));
    }
    nb::object holder;
    std::string_view view;
};

nb::object optional_float(const std::optional<double>& v) { return v ? nb::cast(*v) : nb::none(); }
nb::object optional_int(const std::optional<int64_t>& v) { return v ? nb::cast(*v) : nb::none(); }
// ---- topology: helpers of its section below ---------------------------------------

namespace qt = quorvane::analysis::topology;

nb::object opt_int(const qt::OptInt& v) { return v ? nb::object(nb::int_(*v)) : nb::none(); }

nb::dict finding_dict(const qa::Finding& f) {
    nb::dict d;
    d["code"] = f.code;
    d["severity"] = qa::severity_name(f.severity);
    d["message"] = f.message;
    d["evidence"] = f.evidence;
    return d;
}

// The row as the command's record stores it (the collective is the record's
// key one level up).
nb::dict row_dict(const qa::Row& r) {
    nb::dict d;
    d["size_bytes"] = r.size_bytes;
    d["count"] = r.count;
    d["type"] = r.type;
    d["redop"] = r.redop;
    d["root"] = r.root;
    d["time_us"] = r.time_us;
    d["algbw_gbps"] = r.algbw_gbps;
    d["busbw_gbps"] = r.busbw_gbps;
    d["wrong"] = optional_int(r.wrong);
    if (r.ip_time_us) {
        nb::dict ip;
        ip["time_us"] = *r.ip_time_us;
        ip["algbw_gbps"] = optional_float(r.ip_algbw_gbps);
        ip["busbw_gbps"] = optional_float(r.ip_busbw_gbps);
        ip["wrong"] = optional_int(r.ip_wrong);
        d["in_place"] = ip;
    } else {
        d["in_place"] = nb::none();
    }
    return d;
}

nb::dict rank_dict(const qa::RankLine& r) {
    nb::dict d;
    d["rank"] = r.rank;
    d["group"] = r.group;
    d["pid"] = r.pid;
    d["host"] = r.host;
    d["local_device"] = r.local_device;
    d["busid"] = r.busid;
    d["device"] = r.device;
    return d;
}

// A result whose rows became Python objects once, when it was made.
struct ReadResultObject {
    explicit ReadResultObject(qa::ReadResult&& r) {
        for (qa::Row& row : r.rows) rows.append(nb::cast(std::move(row)));
        r.rows = {};
        result = std::move(r);
    }
    qa::ReadResult result;
    nb::list rows;
};

// ---- end field reader: helpers --------------------------------------------
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
        d["gcn"] = g.gcn.empty() ? nb::none() : nb::object(nb::str(g.gcn.c_str()));
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
    nb::dict affinity;
    for (std::size_t i = 0; i < r.gpus.size(); ++i) {
        const qt::Gpu& g = r.gpus[i];
        if (r.affinity.size() <= i || r.affinity[i].empty() || (dump && !g.dev)) continue;
        nb::list names;
        for (std::uint32_t k : r.affinity[i]) names.append(dump ? r.nics[k].name : r.pci[r.nics[k].chain].busid);
        if (dump) affinity[nb::str(std::to_string(*g.dev).c_str())] = names;
        else affinity[nb::str(r.pci[g.chain].busid.c_str())] = names;
    }
    nb::list findings;
    for (const qa::Finding& f : r.findings) findings.append(finding_dict(f));
    nb::dict d;
    d["gpus"] = gpus;
    d["nics"] = nics;
    d["gpu_nic_affinity"] = affinity;
    d["numa_domains"] = r.numa_domains;
    d["kind"] = qt::kind_name(r.kind);
    d["findings"] = findings;
    return d;
}

}  // namespace

void init_transport(nb::module_& m);

NB_MODULE(analysis, m) {
    m.doc() = "quorvane's analysis of benchmark output, topology and fleets (C++).";

    // ---- findings ------------------------------------------------------------
    nb::enum_<qa::Severity>(m, "Severity", "How much a finding weighs, mildest first.")
        .value("note", qa::Severity::note)
        .value("warn", qa::Severity::warn)
        .value("fail", qa::Severity::fail)
        .value("error", qa::Severity::error);

    nb::class_<qa::Finding>(m, "Finding", "One thing the analysis noticed.")
        .def(nb::init<>())
        .def_rw("code", &qa::Finding::code)
        .def_rw("severity", &qa::Finding::severity)
        .def_rw("message", &qa::Finding::message)
        .def_rw("evidence", &qa::Finding::evidence)
        .def("to_dict", &finding_dict, "The finding as a plain dict (severity as its name).")
        .def("__repr__", [](const qa::Finding& f) {
            return "Finding(" + f.code + ", " + qa::severity_name(f.severity) + ", " + f.message + ")";
        });
    // ---- trends across runs (history, compare, baseline) ---------------------
    {
        using Point = std::tuple<std::string, std::int64_t, double>;
        auto points = [](const std::vector<Point>& in) {
            std::vector<qa::BusbwPoint> out;
            out.reserve(in.size());
            for (const auto& [c, s, v] : in) out.push_back(qa::BusbwPoint{c, s, v});
            return out;
        };
        nb::class_<qa::BusbwChange>(m, "BusbwChange", "How one collective at one size moved between two runs.")
            .def_ro("collective", &qa::BusbwChange::collective)
            .def_ro("size_bytes", &qa::BusbwChange::size_bytes)
            .def_ro("before_gbps", &qa::BusbwChange::before_gbps)
            .def_ro("after_gbps", &qa::BusbwChange::after_gbps)
            .def_ro("change_pct", &qa::BusbwChange::change_pct)
            .def_ro("regressed", &qa::BusbwChange::regressed);
        nb::class_<qa::Comparison>(m, "Comparison", "Two runs compared point by point.")
            .def_ro("changes", &qa::Comparison::changes)
            .def_ro("regressed", &qa::Comparison::regressed)
            .def_ro("worst_change_pct", &qa::Comparison::worst_change_pct);
        nb::class_<qa::ProfilePoint>(m, "ProfilePoint", "A site's runs at one collective and size.")
            .def_ro("collective", &qa::ProfilePoint::collective)
            .def_ro("size_bytes", &qa::ProfilePoint::size_bytes)
            .def_ro("runs", &qa::ProfilePoint::runs)
            .def_ro("median_gbps", &qa::ProfilePoint::median_gbps)
            .def_ro("p25_gbps", &qa::ProfilePoint::p25_gbps)
            .def_ro("p75_gbps", &qa::ProfilePoint::p75_gbps);
        nb::class_<qa::SiteCutoffs>(m, "SiteCutoffs", "Cutoffs derived from a site's own headlines.")
            .def_ro("runs", &qa::SiteCutoffs::runs)
            .def_ro("median_gbps", &qa::SiteCutoffs::median_gbps)
            .def_ro("spread_gbps", &qa::SiteCutoffs::spread_gbps)
            .def_ro("pass_min_gbps", &qa::SiteCutoffs::pass_min_gbps)
            .def_ro("warn_min_gbps", &qa::SiteCutoffs::warn_min_gbps);
        m.def("compare_busbw",
              [points](const std::vector<Point>& before, const std::vector<Point>& after, double tolerance_pct) {
                  return qa::compare_busbw(points(before), points(after), tolerance_pct);
              },
              "before"_a, "after"_a, "tolerance_pct"_a,
              "Compare two runs given as (collective, size_bytes, busbw_gbps) points; a point regresses "
              "when it fell by more than tolerance_pct percent.");
        m.def("site_profile",
              [points](const std::vector<std::vector<Point>>& runs, std::size_t min_runs) {
                  std::vector<std::vector<qa::BusbwPoint>> in;
                  in.reserve(runs.size());
                  for (const auto& r : runs) in.push_back(points(r));
                  return qa::site_profile(in, min_runs);
              },
              "runs"_a, "min_runs"_a = 3,
              "Median and middle half per collective and size over runs of (collective, size_bytes, "
              "busbw_gbps) points.");
        m.def("baseline_cutoffs", &qa::baseline_cutoffs, "headlines"_a, "min_runs"_a = 3,
              "Pass and warn cutoffs from a site's headline bus bandwidths: pass at the median less "
              "max(5 %, 3 robust spreads) capped at 15 %, warn at 80 % of the median; None with too few runs.");
    }
    // ---- end trends across runs ---------------------------------------------

    // ---- causes, caveats, hardware and the cutoff lint ----------------------------------
    nb::class_<qa::Cause>(m, "Cause", "Why a run failed: a cause code, one line of advice, the evidence.")
        .def(nb::init<std::string, std::string, std::string>(), "code"_a, "advice"_a, "evidence"_a = "")
        .def_ro("code", &qa::Cause::code)
        .def_ro("advice", &qa::Cause::advice)
        .def_ro("evidence", &qa::Cause::evidence)
        .def("to_dict", [](const qa::Cause& c) {
            nb::dict d;
            d["code"] = c.code;
            d["advice"] = c.advice;
            d["evidence"] = c.evidence;
            return d;
        }, "The cause as the record's dict: code, advice, evidence.")
        .def(nb::self == nb::self)
        .def("__repr__", [](const qa::Cause& c) { return "Cause(" + c.code + ": " + c.advice + ")"; });

    m.attr("CAUSE_CODES") = [] {
        nb::list codes;
        for (const char* code : qa::kCauseCodes) codes.append(code);
        return nb::tuple(codes);
    }();

    m.def("classify_failure", &qa::classify_failure, "stdout"_a, "stderr"_a, "exit_status"_a,
          "The cause of a failed run, from its whole stdout and stderr and its exit status (124: the runner's "
          "time-out, 127: not started, -N: killed by signal N).");
    m.def("signal_name", &qa::signal_name, "number"_a, "A signal's name without SIG ('SEGV'), or ''.");

    nb::class_<qa::CauseGroup>(m, "CauseGroup", "One cause and every collective that failed that way.")
        .def_ro("cause", &qa::CauseGroup::cause)
        .def_ro("collectives", &qa::CauseGroup::collectives)
        .def("__repr__", [](const qa::CauseGroup& g) {
            std::string names;
            for (const auto& c : g.collectives) names += (names.empty() ? "" : ", ") + c;
            return "CauseGroup(" + g.cause.code + ": " + names + ")";
        });
    m.def("fold_causes", &qa::fold_causes, "causes"_a,
          "Group (collective, Cause) pairs whose code and advice are the same, in first-seen order, so "
          "that a cause shared by several collectives is said once.");

    nb::class_<qa::Caveat>(m, "Caveat", "What a reader must know about a result even when it passes.")
        .def_ro("code", &qa::Caveat::code)
        .def_ro("message", &qa::Caveat::message)
        .def("to_dict", [](const qa::Caveat& c) {
            nb::dict d;
            d["code"] = c.code;
            d["message"] = c.message;
            return d;
        }, "The caveat as the record's dict: code, message.")
        .def(nb::self == nb::self)
        .def("__repr__", [](const qa::Caveat& c) { return "Caveat(" + c.code + ": " + c.message + ")"; });

    m.def("caveats", [](std::string gpu_type, std::string scope, int num_nodes, int gpus_per_node,
                        std::string launcher, std::optional<std::map<std::string, std::string>> environment,
                        std::vector<std::string> forwarded, std::vector<std::pair<std::string, std::string>> ranks,
                        bool emulated) {
              qa::RunShape shape;
              shape.gpu_type = std::move(gpu_type);
              shape.scope = std::move(scope);
              shape.num_nodes = num_nodes;
              shape.gpus_per_node = gpus_per_node;
              shape.launcher = std::move(launcher);
              shape.environment_known = environment.has_value();
              if (environment) shape.environment.assign(environment->begin(), environment->end());
              shape.forwarded = std::move(forwarded);
              shape.ranks = std::move(ranks);
              shape.emulated = emulated;
              return qa::caveats_for(shape);
          },
          "gpu_type"_a, "scope"_a, "num_nodes"_a, "gpus_per_node"_a, nb::kw_only(), "launcher"_a = "",
          "environment"_a = nb::none(), "forwarded"_a = std::vector<std::string>{},
          "ranks"_a = std::vector<std::pair<std::string, std::string>>{}, "emulated"_a = false,
          "Caveats of a run: two hosts without NCCL_ALGO=RING, NCCL_* settings mpirun does not forward "
          "(environment: the caller's NCCL_* variables, None when unknown as for a saved output; forwarded: "
          "the names the launcher passes on), and the output's # Rank lines (ranks: (host, device) pairs) "
          "against the GPU type, ranks and hosts asked for.");
    m.def("gpu_type_of_device", &qa::gpu_type_of_device, "device"_a,
          "The GPU type a # Rank line's device name denotes ('NVIDIA H100 80GB HBM3' -> 'H100_SXM'), or None.");

    nb::class_<qa::LinkBudget>(m, "LinkBudget",
                               "The most all_reduce bus bandwidth (GB/s per GPU, one direction) the links allow.")
        .def_ro("gpu_type", &qa::LinkBudget::gpu_type)
        .def_ro("scope", &qa::LinkBudget::scope)
        .def_ro("gbps", &qa::LinkBudget::gbps)
        .def_ro("basis", &qa::LinkBudget::basis)
        .def_ro("source", &qa::LinkBudget::source)
        .def("to_dict", [](const qa::LinkBudget& b) {
            nb::dict d;
            d["gpu_type"] = b.gpu_type;
            d["scope"] = b.scope;
            d["gbps"] = b.gbps;
            d["basis"] = b.basis;
            d["source"] = b.source;
            return d;
        });
    nb::class_<qa::TypicalBusbw>(m, "TypicalBusbw",
                                 "The all_reduce bus bandwidth healthy hosts published at one message size.")
        .def_ro("gpu_type", &qa::TypicalBusbw::gpu_type)
        .def_ro("scope", &qa::TypicalBusbw::scope)
        .def_ro("size_bytes", &qa::TypicalBusbw::size_bytes)
        .def_ro("low_gbps", &qa::TypicalBusbw::low_gbps)
        .def_ro("high_gbps", &qa::TypicalBusbw::high_gbps)
        .def_ro("gpus", &qa::TypicalBusbw::gpus)
        .def_ro("nodes", &qa::TypicalBusbw::nodes)
        .def_ro("source", &qa::TypicalBusbw::source)
        .def("to_dict", [](const qa::TypicalBusbw& t) {
            nb::dict d;
            d["gpu_type"] = t.gpu_type;
            d["scope"] = t.scope;
            d["size_bytes"] = t.size_bytes;
            d["low_gbps"] = t.low_gbps;
            d["high_gbps"] = t.high_gbps;
            d["gpus"] = t.gpus;
            d["nodes"] = t.nodes;
            d["source"] = t.source;
            return d;
        });
    m.def("link_budgets", &qa::link_budgets, "Every link budget known, with its source.");
    m.def("typical_values", &qa::typical_values, "Every typical healthy all_reduce value known, with its source.");
    m.def("link_budget", &qa::link_budget, "gpu_type"_a, "scope"_a, "The link budget of a GPU type, or None.");
    m.def("typical_busbw", &qa::typical_busbw, "gpu_type"_a, "scope"_a, "size_bytes"_a,
          "What healthy hosts of a GPU type measure at one size (low, high, gpus, source), or None.");
    m.def("largest_measured_size", &qa::largest_measured_size, "begin"_a, "end"_a, "factor"_a,
          "The largest size a sweep from begin, multiplying by factor, measures without passing end.");

    nb::class_<qa::LintResult>(m, "LintResult", "What the cutoff lint found about one cutoff.")
        .def_ro("gpu_type", &qa::LintResult::gpu_type)
        .def_ro("scope", &qa::LintResult::scope)
        .def_ro("cutoff", &qa::LintResult::cutoff)
        .def_ro("value_gbps", &qa::LintResult::value_gbps)
        .def_ro("source", &qa::LintResult::source)
        .def_ro("finding", &qa::LintResult::finding)
        .def("to_dict", [](const qa::LintResult& r) {
            nb::dict d;
            d["gpu_type"] = r.gpu_type;
            d["scope"] = r.scope;
            d["cutoff"] = r.cutoff.empty() ? nb::none() : nb::cast(r.cutoff);
            d["value_gbps"] = r.cutoff.empty() ? nb::none() : nb::cast(r.value_gbps);
            d["source"] = r.source;
            d["code"] = r.finding.code;
            d["severity"] = qa::severity_name(r.finding.severity);
            d["message"] = r.finding.message;
            d["evidence"] = r.finding.evidence;
            return d;
        });
    m.def("lint_cutoffs", [](const std::vector<std::tuple<std::string, std::string, double, double, std::string>>& rows,
                             long long size_bytes) {
              std::vector<qa::CutoffsInForce> cutoffs;
              for (const auto& [gpu, scope, pass, warn, source] : rows) cutoffs.push_back({gpu, scope, pass, warn, source});
              return qa::lint_cutoffs(cutoffs, size_bytes);
          },
          "cutoffs"_a, "size_bytes"_a,
          "Check (gpu_type, scope, pass_min_gbps, warn_min_gbps, source) cutoffs against the link budgets and "
          "the healthy values at size_bytes.");
    m.def("lint_has_problems", &qa::lint_has_problems, "results"_a,
          "True when any lint result is a warning or worse.");
    // ---- end causes, caveats, hardware and the cutoff lint ------------------------------
    // ---- fleet: statistics and the localisation planner ------------------------
    nb::class_<qa::JudgeSettings>(m, "JudgeSettings",
        "How far below the fleet's median a result must be to count as slow (see the C++ header).")
        .def("__init__", [](qa::JudgeSettings* self, double z, double min_drop, double max_drop, double fail_drop) {
            new (self) qa::JudgeSettings{z, min_drop, max_drop, fail_drop};
        }, "z"_a = 5.0, "min_drop"_a = 0.10, "max_drop"_a = 0.25, "fail_drop"_a = 0.25)
        .def_rw("z", &qa::JudgeSettings::z)
        .def_rw("min_drop", &qa::JudgeSettings::min_drop)
        .def_rw("max_drop", &qa::JudgeSettings::max_drop)
        .def_rw("fail_drop", &qa::JudgeSettings::fail_drop);

    nb::class_<qa::Reference>(m, "Reference", "The fleet's normal for one batch of comparable results.")
        .def_ro("count", &qa::Reference::count)
        .def_ro("median", &qa::Reference::median)
        .def_ro("spread", &qa::Reference::spread)
        .def_ro("cut", &qa::Reference::cut)
        .def_ro("fail_below", &qa::Reference::fail_below)
        .def("to_dict", [](const qa::Reference& r) {
            nb::dict d;
            d["count"] = r.count;
            d["median_gbps"] = r.median;
            d["spread_gbps"] = r.spread;
            d["slow_below_gbps"] = r.cut;
            d["fail_below_gbps"] = r.fail_below;
            return d;
        });

    m.def("median_of", &qa::median_of, "values"_a, "Median of finite values (ValueError when empty).");
    m.def("robust_spread", &qa::robust_spread, "values"_a,
          "1.4826 x the median absolute deviation: a standard deviation for normal data, unmoved by outliers.");
    m.def("reference_of", &qa::reference_of, "values"_a, "settings"_a = qa::JudgeSettings{},
          "Median, robust spread and the cut below which a result is slow, for one batch of results.");

    nb::class_<qa::FleetRun>(m, "FleetRun", "One planned run of a fleet check and, once recorded, its judgement.")
        .def_ro("id", &qa::FleetRun::id)
        .def_ro("round", &qa::FleetRun::round)
        .def_prop_ro("purpose", [](const qa::FleetRun& r) { return std::string(qa::purpose_name(r.purpose)); })
        .def_ro("hosts", &qa::FleetRun::hosts)
        .def_ro("partner_known_good", &qa::FleetRun::partner_known_good)
        .def_ro("recorded", &qa::FleetRun::recorded)
        .def_ro("busbw_gbps", &qa::FleetRun::busbw_gbps)
        .def_ro("problem", &qa::FleetRun::problem)
        .def_ro("grade", &qa::FleetRun::grade)
        .def_prop_ro("standing", [](const qa::FleetRun& r) { return std::string(qa::standing_name(r.standing)); })
        .def_ro("reason", &qa::FleetRun::reason)
        .def_ro("explained_by", &qa::FleetRun::explained_by)
        .def_ro("not_reproduced", &qa::FleetRun::not_reproduced)
        .def("to_dict", [](const qa::FleetRun& r) {
            nb::dict d;
            d["run"] = r.id;
            d["round"] = r.round;
            d["purpose"] = qa::purpose_name(r.purpose);
            d["hosts"] = r.hosts;
            d["busbw_gbps"] = r.busbw_gbps;
            d["grade"] = r.grade;
            d["standing"] = qa::standing_name(r.standing);
            d["reason"] = r.reason.empty() ? nb::none() : nb::cast(r.reason);
            if (r.purpose == qa::Purpose::pair || r.purpose == qa::Purpose::re_pair) {
                d["partner_known_good"] = r.partner_known_good;
                d["explained_by"] = r.explained_by;
                d["not_reproduced"] = r.not_reproduced;
            }
            return d;
        }, "The run as a plain dict for the record.");

    nb::class_<qa::Suspect>(m, "Suspect", "A host named on two independent bad results.")
        .def_ro("host", &qa::Suspect::host)
        .def_ro("kind", &qa::Suspect::kind)
        .def_ro("severity", &qa::Suspect::severity)
        .def_ro("evidence", &qa::Suspect::evidence)
        .def_ro("runs", &qa::Suspect::runs)
        .def("to_dict", [](const qa::Suspect& s) {
            nb::dict d;
            d["host"] = s.host;
            d["kind"] = s.kind;
            d["severity"] = qa::severity_name(s.severity);
            d["evidence"] = s.evidence;
            d["runs"] = s.runs;
            return d;
        });

    nb::class_<qa::HostSummary>(m, "HostSummary", "Where one host stands after the check.")
        .def_ro("host", &qa::HostSummary::host)
        .def_prop_ro("alone", [](const qa::HostSummary& h) { return std::string(qa::standing_name(h.alone)); })
        .def_prop_ro("network", [](const qa::HostSummary& h) { return std::string(qa::standing_name(h.network)); })
        .def_ro("known_good", &qa::HostSummary::known_good)
        .def_ro("runs", &qa::HostSummary::runs);

    nb::class_<qa::FleetPlanner>(m, "FleetPlanner",
        "Plans a fleet check round by round: every host alone, disjoint pairs, then re-pairing with "
        "known-good hosts until every slow result is explained. Names a host only on two bad results.")
        .def(nb::init<std::vector<std::string>, qa::JudgeSettings, int>(), "hosts"_a,
             "settings"_a = qa::JudgeSettings{}, "max_rounds"_a = 6)
        .def("next_round", &qa::FleetPlanner::next_round,
             "Judge the round just recorded and plan the next; an empty list when the check is over.")
        .def("record", &qa::FleetPlanner::record, "run_id"_a, "busbw_gbps"_a.none(), "problem"_a = "",
             "grade"_a = "unknown", "What one run of the current round gave.")
        .def_prop_ro("finished", &qa::FleetPlanner::finished)
        .def_prop_ro("complete", &qa::FleetPlanner::complete)
        .def_prop_ro("incomplete_reason", &qa::FleetPlanner::incomplete_reason)
        .def_prop_ro("rounds", &qa::FleetPlanner::rounds)
        .def_prop_ro("runs", &qa::FleetPlanner::runs)
        .def_prop_ro("hosts", &qa::FleetPlanner::hosts)
        .def_prop_ro("alone_reference", &qa::FleetPlanner::alone_reference)
        .def_prop_ro("pair_reference", &qa::FleetPlanner::pair_reference)
        .def("suspects", &qa::FleetPlanner::suspects)
        .def("host_summaries", &qa::FleetPlanner::host_summaries)
        .def("findings", &qa::FleetPlanner::findings)
        .def("worst", &qa::FleetPlanner::worst,
             "The heaviest severity among suspects and fleet findings (note when there is nothing).");
    // ---- end of fleet -----------------------------------------------------------

    // ---- field reader of nccl-tests output ------------------------------------
    nb::class_<qa::IterStats>(m, "IterStats", "Per-iteration statistics of one block (-I).")
        .def(nb::init<>())
        .def_rw("min_us", &qa::IterStats::min_us)
        .def_rw("max_us", &qa::IterStats::max_us)
        .def_rw("p99_us", &qa::IterStats::p99_us)
        .def_rw("cv_pct", &qa::IterStats::cv_pct);

    nb::class_<qa::Row>(m, "Row",
                        "One row of an nccl-tests table: the out-of-place block, and the in-place block "
                        "when printed (its fields None otherwise). wrong is None where the results were not "
                        "checked (N/A).")
        .def(nb::init<>())
        .def_rw("collective", &qa::Row::collective)
        .def_rw("size_bytes", &qa::Row::size_bytes)
        .def_rw("count", &qa::Row::count)
        .def_rw("type", &qa::Row::type)
        .def_rw("redop", &qa::Row::redop)
        .def_rw("root", &qa::Row::root, "The root rank; -1 when the collective has none.")
        .def_rw("time_us", &qa::Row::time_us)
        .def_rw("algbw_gbps", &qa::Row::algbw_gbps)
        .def_rw("busbw_gbps", &qa::Row::busbw_gbps)
        .def_rw("wrong", &qa::Row::wrong)
        .def_rw("ip_time_us", &qa::Row::ip_time_us)
        .def_rw("ip_algbw_gbps", &qa::Row::ip_algbw_gbps)
        .def_rw("ip_busbw_gbps", &qa::Row::ip_busbw_gbps)
        .def_rw("ip_wrong", &qa::Row::ip_wrong)
        .def_rw("error", &qa::Row::error, "The old layout's error column (largest deviation), else None.")
        .def_rw("ip_error", &qa::Row::ip_error)
        .def_rw("per_iter", &qa::Row::per_iter)
        .def_rw("ip_per_iter", &qa::Row::ip_per_iter)
        .def_rw("timestamp", &qa::Row::timestamp, "The time stamp of -S, else empty.")
        .def("to_dict", &row_dict, "The row as the command's record stores it.")
        .def("to_library", [](const qa::Row& r) {
            return nb::make_tuple(r.collective, r.size_bytes, r.busbw_gbps, r.algbw_gbps, r.time_us,
                                  r.wrong.value_or(0));
        }, "The fields of quorvane.collsweep.NcclResult, in order (unchecked counts as 0 wrong).")
        .def("__repr__", [](const qa::Row& r) {
            return "Row(" + r.collective + ", " + std::to_string(r.size_bytes) + " B, busbw " +
                   std::to_string(r.busbw_gbps) + ")";
        });

    nb::class_<qa::RankLine>(m, "RankLine", "One line of the device list.")
        .def_ro("rank", &qa::RankLine::rank)
        .def_ro("group", &qa::RankLine::group)
        .def_ro("pid", &qa::RankLine::pid)
        .def_ro("host", &qa::RankLine::host)
        .def_ro("local_device", &qa::RankLine::local_device)
        .def_ro("busid", &qa::RankLine::busid)
        .def_ro("device", &qa::RankLine::device)
        .def("to_dict", &rank_dict);

    nb::class_<qa::TableInfo>(m, "TableInfo", "One result table of the output.")
        .def_ro("collective", &qa::TableInfo::collective)
        .def_ro("rows", &qa::TableInfo::rows, "How many rows were read.")
        .def_ro("complete", &qa::TableInfo::complete)
        .def_ro("concluded", &qa::TableInfo::concluded)
        .def_ro("avg_busbw", &qa::TableInfo::avg_busbw)
        .def_ro("out_of_bounds", &qa::TableInfo::out_of_bounds);

    nb::class_<ReadResultObject>(m, "ReadResult", "What the reader found in one output.")
        .def_prop_ro("rows", [](const ReadResultObject& o) { return nb::borrow<nb::typed<nb::list, qa::Row>>(o.rows); },
                     "The rows, in the order printed (the same list on every access).")
        .def_prop_ro("findings", [](const ReadResultObject& o) { return o.result.findings; })
        .def_prop_ro("complete", [](const ReadResultObject& o) { return o.result.complete; },
                     "A whole, clean table: header, rows up to the largest size asked for, footer, "
                     "no error finding.")
        .def_prop_ro("collective", [](const ReadResultObject& o) { return o.result.collective; })
        .def_prop_ro("versions", [](const ReadResultObject& o) { return o.result.versions; })
        .def_prop_ro("params", [](const ReadResultObject& o) { return o.result.params; })
        .def_prop_ro("ranks", [](const ReadResultObject& o) { return o.result.ranks; })
        .def_prop_ro("avg_busbw", [](const ReadResultObject& o) { return o.result.avg_busbw; })
        .def_prop_ro("out_of_bounds", [](const ReadResultObject& o) { return o.result.out_of_bounds; })
        .def_prop_ro("concluded", [](const ReadResultObject& o) { return o.result.concluded; })
        .def_prop_ro("tables", [](const ReadResultObject& o) { return o.result.tables; })
        .def("to_dict", [](const ReadResultObject& o) {
            const qa::ReadResult& r = o.result;
            nb::dict d;
            d["collective"] = r.collective;
            d["complete"] = r.complete;
            d["concluded"] = r.concluded;
            d["avg_busbw"] = optional_float(r.avg_busbw);
            d["out_of_bounds"] = optional_int(r.out_of_bounds);
            d["versions"] = nb::cast(r.versions);
            d["params"] = nb::cast(r.params);
            nb::list ranks, tables, rows, findings;
            for (const auto& x : r.ranks) ranks.append(rank_dict(x));
            for (const auto& t : r.tables) {
                nb::dict td;
                td["collective"] = t.collective;
                td["rows"] = t.rows;
                td["complete"] = t.complete;
                td["concluded"] = t.concluded;
                td["avg_busbw"] = optional_float(t.avg_busbw);
                td["out_of_bounds"] = optional_int(t.out_of_bounds);
                tables.append(td);
            }
            for (nb::handle x : o.rows) rows.append(row_dict(nb::cast<const qa::Row&>(x)));
            for (const auto& f : r.findings) findings.append(finding_dict(f));
            d["ranks"] = ranks;
            d["tables"] = tables;
            d["rows"] = rows;
            d["findings"] = findings;
            return d;
        }, "Plain values only, fit for strict JSON.");

    m.def("read_output", [](nb::str text, const std::string& collective) {
        Utf8 utf8(text);
        return ReadResultObject(qa::read_output(utf8.view, collective));
    }, "text"_a, "collective"_a = "",
       "Read the standard output of one nccl-tests (or rccl-tests) run. collective labels the rows; "
       "empty takes the label from the output.");
    m.def("read_json", [](nb::str text, const std::string& collective) {
        Utf8 utf8(text);
        return ReadResultObject(qa::read_json(utf8.view, collective));
    }, "text"_a, "collective"_a = "",
       "Read an nccl-tests -J file (versions 1 to 3). Its environment dump is never read.");
    m.def("headline", &qa::headline, "rows"_a,
          "The best out-of-place all_reduce bus bandwidth and the size it was measured at, or None.");
    // ---- end field reader --------------------------------------------------
    // ---- topology ------------------------------------------------------------
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
    init_transport(m);
}
