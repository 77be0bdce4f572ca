#include "signatures.hpp"

#include <cstring>

#include "../collsweep/launching.hpp"
#include "../collsweep/parsing.hpp"
#include "../collsweep/records.hpp"
#include "../collsweep/sweep.hpp"
#include "../collsweep/topology.hpp"
#include "../collsweep/verdicts.hpp"

namespace qv {

namespace {

using P = Pass;
using C = Check;

const Param self{"self"};

// One row per callable: name, owning class, parameters (name, check, passing,
// default, annotation), return annotation, description, implementation.
const Callable table[] = {
    {"threshold_for", nullptr,
     {{"gpu_type", C::Text, P::PositionalOrKeyword, required, "str"},
      {"scope", C::Text, P::PositionalOrKeyword, required, "str"}},
     "Optional[Threshold]",
     "Return the configured pass / warn cutoffs for a (GPU, scope) pair, or None\n"
     "when no threshold is defined. Honours the environment overrides in\n"
     "QUORVANE_NCCL_THRESHOLD_OVERRIDES, read afresh on every call.",
     verdicts::threshold_for},
    {"classify", nullptr,
     {{"busbw_gbps", C::OptFloat, P::PositionalOrKeyword, required, "Optional[float]"},
      {"thr", C::Any, P::PositionalOrKeyword, required, "Optional[Threshold]"}},
     "str",
     "Grade one all_reduce bus bandwidth (GB/s) against a threshold: 'pass' at or\n"
     "above the pass cutoff, 'warn' at or above the warn cutoff, else 'fail';\n"
     "'unknown' when either the measurement or the threshold is None.",
     verdicts::classify},
    {"_load_threshold_overrides", nullptr, {}, "dict[str, dict[str, float]]",
     "Read QUORVANE_NCCL_THRESHOLD_OVERRIDES, a JSON object keyed 'GPU_TYPE:scope'\n"
     "whose values hold 'pass_min_gbps' and 'warn_min_gbps'. Unset, blank or\n"
     "malformed text and members of the wrong shape are ignored; a cutoff that\n"
     "float() cannot convert raises.",
     verdicts::load_threshold_overrides},
    {"collective_name_for_binary", nullptr,
     {{"binary", C::Text, P::PositionalOrKeyword, required, "str"}},
     "str",
     "Map an nccl-tests executable name or path to its short collective label\n"
     "('all_reduce_perf' -> 'all_reduce').",
     parsing::collective_name_for_binary},
    {"parse_nccl_table", nullptr,
     {{"text", C::Text, P::PositionalOrKeyword, required, "str"},
      {"collective", C::Text, P::PositionalOrKeyword, required, "str"}},
     "list[NcclResult]",
     "Parse the result table printed by one nccl-tests run into rows, one per\n"
     "data line, each taken from the out-of-place columns. Never raises for any\n"
     "text: lines that cannot be read are skipped, so partial output still\n"
     "yields the rows it has.",
     parsing::parse_nccl_table},
    {"_to_int", nullptr,
     {{"raw", C::OptText, P::PositionalOrKeyword, required, "str | None"}},
     "int | None",
     "int() of a text, or None when the text is absent or not a base-10 integer.",
     parsing::to_int},
    {"_shared_prefix_len", nullptr,
     {{"a", C::List, P::PositionalOrKeyword, required, "list[str]"},
      {"b", C::List, P::PositionalOrKeyword, required, "list[str]"}},
     "int",
     "Length of the common root-first prefix of two PCI ancestor chains.",
     topology::shared_prefix_len},
    {"parse_nccl_topo_xml", nullptr,
     {{"xml_text", C::Text, P::PositionalOrKeyword, required, "str"}},
     "dict[str, Any]",
     "Parse an ``NCCL_TOPO_DUMP_FILE`` XML dump into GPU/NIC inventory plus the\n"
     "GPU<->NIC PCI affinity that drives GPUDirect-RDMA rank placement.\n"
     "\n"
     "NCCL nests the hardware tree as ``system > cpu(numa) > pci... > {gpu,nic}``.\n"
     "A GPU and a NIC that share their nearest ``<pci>`` ancestor sit under the\n"
     "same PCIe switch -- the local NIC NCCL prefers for that GPU's GDR traffic.\n"
     "Works for NVIDIA and AMD (RCCL emits the same schema). Returns ``{}`` on\n"
     "unparseable input; partial trees yield partial results.",
     topology::parse_nccl_topo_xml},
    {"_build_binary_command", nullptr,
     {{"binary", C::Text, P::PositionalOrKeyword, required, "str"},
      {"gpu_count", C::Int, P::PositionalOrKeyword, required, "int"},
      {"cfg", C::Any, P::PositionalOrKeyword, required, "_LauncherConfig"}},
     "list[str]",
     "The nccl-tests command line for one collective on one host: the executable,\n"
     "then -b -e -f -g -n -w with the sizes, step factor, GPU count, iterations\n"
     "and warm-up iterations, each as decimal text.",
     launching::build_binary_command},
    {"launch_intra_node", nullptr,
     {{"gpu_count", C::Int, P::PositionalOrKeyword, required, "int"},
      {"gpu_type", C::Text, P::PositionalOrKeyword, required, "str"},
      {"binary_root", C::Text, P::KeywordOnly, default_text("/opt/nccl-tests/build"), "str"},
      {"timeout_s", C::Int, P::KeywordOnly, default_int(240), "int"},
      {"collectives", C::Any, P::KeywordOnly, default_attribute("COLLECTIVES"), "Iterable[str]"},
      {"runner", C::Any, P::KeywordOnly, default_none, "Optional['ShellRunner']"}},
     "NcclReport",
     "Run the nccl-tests sweep on this host, one process per collective driving\n"
     "all `gpu_count` GPUs, and return the graded report. A missing executable,\n"
     "a failed run or a time-out is recorded in the report's `error` (the last\n"
     "one wins) and the sweep goes on with the next collective.",
     sweep::launch_intra_node},
    {"launch_multi_node", nullptr,
     {{"node_ips", C::List, P::PositionalOrKeyword, required, "list[str]"},
      {"gpus_per_node", C::Int, P::PositionalOrKeyword, required, "int"},
      {"gpu_type", C::Text, P::PositionalOrKeyword, required, "str"},
      {"binary_root", C::Text, P::KeywordOnly, default_text("/opt/nccl-tests/build"), "str"},
      {"timeout_s", C::Int, P::KeywordOnly, default_int(480), "int"},
      {"collectives", C::Any, P::KeywordOnly, default_attribute("COLLECTIVES"), "Iterable[str]"},
      {"launcher_mode", C::OptText, P::KeywordOnly, default_none, "Optional[str]"},
      {"runner", C::Any, P::KeywordOnly, default_none, "Optional['ShellRunner']"}},
     "NcclReport",
     "Run the nccl-tests sweep across two or more hosts, one launcher process\n"
     "per collective starting `gpus_per_node` ranks on every host of `node_ips`\n"
     "(srun, mpirun, or mpirun over ssh; chosen from the environment when\n"
     "`launcher_mode` is None or empty), and return the graded report. Fewer\n"
     "than two hosts raise ValueError; launcher failures land in the report.",
     sweep::launch_multi_node},
    {"_select_launcher_mode", nullptr, {}, "str",
     "Pick the launcher from the environment: 'srun' inside a Slurm job\n"
     "(SLURM_JOB_ID set), 'mpirun' inside a SkyPilot cluster (SKYPILOT_NUM_NODES\n"
     "set), otherwise 'ssh' (mpirun reaching the hosts over ssh).",
     launching::select_launcher_mode},
    {"_build_multi_node_command", nullptr,
     {{"mode", C::Text, P::KeywordOnly, required, "str"},
      {"binary", C::Text, P::KeywordOnly, required, "str"},
      {"node_ips", C::List, P::KeywordOnly, required, "list[str]"},
      {"gpus_per_node", C::Int, P::KeywordOnly, required, "int"},
      {"total_ranks", C::Int, P::KeywordOnly, required, "int"},
      {"cfg", C::Any, P::KeywordOnly, required, "_LauncherConfig"}},
     "list[str]",
     "Argument list that starts `binary` on every rank through the launcher of\n"
     "`mode` ('srun', 'mpirun', anything else: mpirun over ssh), followed by the\n"
     "benchmark flags with one GPU per process.",
     launching::build_multi_node_command},
    {"_resolve_binary", nullptr,
     {{"name", C::Text, P::PositionalOrKeyword, required, "str"},
      {"binary_root", C::Text, P::PositionalOrKeyword, required, "str"}},
     "Optional[str]",
     "Find an nccl-tests executable: under `binary_root`, then in\n"
     "/opt/nccl-tests/build, /workspace/nccl-tests/build and /usr/local/bin,\n"
     "then on the PATH. Returns the first executable regular file found, as\n"
     "built (not made absolute), or None.",
     launching::resolve_binary},
    {"_finalize_status", nullptr,
     {{"report", C::Any, P::PositionalOrKeyword, required, "NcclReport"}},
     "None",
     "Look up the report's threshold, grade its headline and write 'threshold'\n"
     "and 'status' into the report in place. A report with an error and no rows\n"
     "is 'error'; any row with wrong results makes it 'fail'.",
     verdicts::finalize_status},
    {"to_dict", "NcclResult", {self}, "dict[str, Any]", "The row as a plain dictionary, keys in field order.",
     records::result_to_dict},
    {"to_dict", "NcclReport", {self}, "dict[str, Any]",
     "The report as a plain dictionary for persistence; 'threshold' and 'error'\n"
     "appear only when set.",
     records::report_to_dict},
    {"headline_all_reduce_busbw", "NcclReport", {self}, "Optional[float]",
     "The largest all_reduce bus bandwidth (GB/s) over all message sizes, or None\n"
     "when the report has no all_reduce row.",
     records::report_headline},
    {"run", "ShellRunner",
     {self,
      {"cmd", C::List, P::PositionalOrKeyword, required, "list[str]"},
      {"timeout", C::Int, P::KeywordOnly, required, "int"},
      {"input_text", C::OptText, P::KeywordOnly, default_none, "Optional[str]"}},
     "ShellResult",
     "Run `cmd` (program and arguments, no shell) with a time-out in seconds and\n"
     "return its exit status and captured output. Subclasses implement it.",
     launching::shell_runner_run},
    {"run", "LocalShellRunner",
     {self,
      {"cmd", C::List, P::PositionalOrKeyword, required, "list[str]"},
      {"timeout", C::Int, P::KeywordOnly, required, "int"},
      {"input_text", C::OptText, P::KeywordOnly, default_none, "Optional[str]"}},
     "ShellResult",
     "Run `cmd` on this host without a shell, feeding it `input_text` when given,\n"
     "and capture its output as text. A run that outlasts `timeout` seconds is\n"
     "killed and gives returncode 124; a program that does not exist gives 127.\n"
     "Any other failure to start the program raises.",
     launching::local_shell_runner_run},
};

}  // namespace

const Callable& callable(const char* qualname) {
    const char* dot = std::strchr(qualname, '.');
    for (const Callable& c : table) {
        bool match = dot ? (c.owner && std::strlen(c.owner) == static_cast<std::size_t>(dot - qualname) &&
                            std::strncmp(c.owner, qualname, dot - qualname) == 0 && std::strcmp(c.name, dot + 1) == 0)
                         : (!c.owner && std::strcmp(c.name, qualname) == 0);
        if (match) return c;
    }
    PyErr_Format(PyExc_SystemError, "no signature declared for %s", qualname);
    raise();
}

Ref function(const char* qualname) { return make_function(callable(qualname)); }

}  // namespace qv
