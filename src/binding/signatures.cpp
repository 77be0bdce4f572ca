#include "signatures.hpp"

#include <cstring>

#include "../collsweep/launching.hpp"
#include "../collsweep/parsing.hpp"
#include "../collsweep/records.hpp"
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
