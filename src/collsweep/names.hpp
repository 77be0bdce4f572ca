// The module's vocabulary in one place: the interned names it looks up, reads,
// writes and passes by keyword, the texts it hands out, and the constants that
// more than one unit shares.
#pragma once

#include "../binding/ref.hpp"

namespace qv {

inline constexpr const char* module_name = "quorvane.collsweep";
inline constexpr const char* default_binary_root = "/opt/nccl-tests/build";

// The nccl-tests executables a sweep runs by default, in this order, and the
// label of each one's rows. A new collective is one more row.
struct Collective {
    const char* executable;
    const char* label;
};
inline constexpr Collective collectives[] = {
    {"all_reduce_perf", "all_reduce"},
    {"all_gather_perf", "all_gather"},
    {"reduce_scatter_perf", "reduce_scatter"},
    {"broadcast_perf", "broadcast"},
};

namespace names {

// Module attributes, read at the moment of use.
inline const Name os("os");
inline const Name re("re");
inline const Name subprocess("subprocess");
inline const Name ET("ET");
inline const Name dataclass("dataclass");
inline const Name field("field");
inline const Name SIZE_SMALL("SIZE_SMALL");
inline const Name SIZE_LARGE("SIZE_LARGE");
inline const Name INTRA_NODE_THRESHOLDS("_INTRA_NODE_THRESHOLDS");
inline const Name MULTI_NODE_THRESHOLDS("_MULTI_NODE_THRESHOLDS");
inline const Name NUMERIC("_NUMERIC");
inline const Name COLLECTIVE_NAME_FROM_BIN("_COLLECTIVE_NAME_FROM_BIN");
inline const Name NcclResult("NcclResult");
inline const Name Threshold("Threshold");
inline const Name NcclReport("NcclReport");
inline const Name LauncherConfig("_LauncherConfig");
inline const Name ShellResult("ShellResult");
inline const Name LocalShellRunner("LocalShellRunner");
inline const Name threshold_for("threshold_for");
inline const Name classify("classify");
inline const Name load_threshold_overrides("_load_threshold_overrides");
inline const Name collective_name_for_binary("collective_name_for_binary");
inline const Name parse_nccl_table("parse_nccl_table");
inline const Name to_int("_to_int");
inline const Name shared_prefix_len("_shared_prefix_len");
inline const Name build_binary_command("_build_binary_command");
inline const Name select_launcher_mode("_select_launcher_mode");
inline const Name build_multi_node_command("_build_multi_node_command");
inline const Name resolve_binary("_resolve_binary");
inline const Name finalize_status("_finalize_status");

// Record fields (also the keys of their dictionaries).
inline const Name collective("collective");
inline const Name size_bytes("size_bytes");
inline const Name busbw_gbps("busbw_gbps");
inline const Name algbw_gbps("algbw_gbps");
inline const Name latency_us("latency_us");
inline const Name wrong("wrong");
inline const Name pass_min_gbps("pass_min_gbps");
inline const Name warn_min_gbps("warn_min_gbps");
inline const Name schema_version("schema_version");
inline const Name gpu_type("gpu_type");
inline const Name scope("scope");
inline const Name num_nodes("num_nodes");
inline const Name gpus_per_node("gpus_per_node");
inline const Name interconnect("interconnect");
inline const Name results("results");
inline const Name threshold("threshold");
inline const Name status("status");
inline const Name error("error");
inline const Name binary_root("binary_root");
inline const Name begin_bytes("begin_bytes");
inline const Name end_bytes("end_bytes");
inline const Name step_factor("step_factor");
inline const Name iterations("iterations");
inline const Name warmup_iters("warmup_iters");
inline const Name returncode("returncode");
inline const Name stdout_("stdout");
inline const Name stderr_("stderr");

// Methods and attributes of other objects, and keyword names.
inline const Name to_dict("to_dict");
inline const Name headline_all_reduce_busbw("headline_all_reduce_busbw");
inline const Name run("run");
inline const Name timeout("timeout");
inline const Name mode("mode");
inline const Name binary("binary");
inline const Name node_ips("node_ips");
inline const Name total_ranks("total_ranks");
inline const Name cfg("cfg");
inline const Name capture_output("capture_output");
inline const Name text("text");
inline const Name input("input");
inline const Name TimeoutExpired("TimeoutExpired");
inline const Name environ("environ");
inline const Name get("get");
inline const Name path("path");
inline const Name join("join");
inline const Name isfile("isfile");
inline const Name basename("basename");
inline const Name access("access");
inline const Name X_OK_("X_OK");
inline const Name shutil("shutil");
inline const Name which("which");
inline const Name json("json");
inline const Name loads("loads");
inline const Name compile("compile");
inline const Name fullmatch("fullmatch");
inline const Name strip("strip");
inline const Name split("split");
inline const Name splitlines("splitlines");
inline const Name replace("replace");
inline const Name fromstring("fromstring");
inline const Name ParseError("ParseError");
inline const Name tag("tag");
inline const Name frozen("frozen");
inline const Name default_factory("default_factory");
inline const Name dunder_module("__module__");
inline const Name dunder_qualname("__qualname__");
inline const Name dunder_doc("__doc__");
inline const Name dunder_annotations("__annotations__");
inline const Name dunder_init("__init__");

// Texts the module compares with or hands out.
inline const Name empty("");
inline const Name perf_suffix("_perf");
inline const Name all_reduce("all_reduce");
inline const Name intra("intra");
inline const Name multi("multi");
inline const Name pass("pass");
inline const Name warn("warn");
inline const Name fail("fail");
inline const Name unknown("unknown");
inline const Name OVERRIDES_VARIABLE("QUORVANE_NCCL_THRESHOLD_OVERRIDES");
inline const Name SLURM_JOB_ID("SLURM_JOB_ID");
inline const Name SKYPILOT_NUM_NODES("SKYPILOT_NUM_NODES");
inline const Name srun("srun");
inline const Name mpirun("mpirun");
inline const Name ssh("ssh");

// The topology dump: element tags, attributes and inventory keys.
inline const Name system_gate("<system");
inline const Name one("1");
inline const Name gpu("gpu");
inline const Name net("net");
inline const Name pci("pci");
inline const Name cpu("cpu");
inline const Name nvlink("nvlink");
inline const Name busid("busid");
inline const Name numaid("numaid");
inline const Name dev("dev");
inline const Name rank("rank");
inline const Name sm("sm");
inline const Name gdr("gdr");
inline const Name count("count");
inline const Name target("target");
inline const Name name("name");
inline const Name speed("speed");
inline const Name port("port");
inline const Name guid("guid");
inline const Name numa("numa");
inline const Name nvlink_count("nvlink_count");
inline const Name nvlink_peers("nvlink_peers");
inline const Name speed_mbps("speed_mbps");
inline const Name gpus("gpus");
inline const Name nics("nics");
inline const Name gpu_nic_affinity("gpu_nic_affinity");
inline const Name numa_domains("numa_domains");

}  // namespace names

}  // namespace qv
