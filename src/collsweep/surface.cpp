// The module's surface: its documentation, and every attribute in the order
// in which import defines it.
#include <variant>

#include "../binding/function.hpp"
#include "../binding/module.hpp"
#include "launching.hpp"
#include "names.hpp"
#include "parsing.hpp"
#include "records.hpp"
#include "sweep.hpp"
#include "topology.hpp"
#include "verdicts.hpp"

namespace qv {

namespace {

Ref import(const char* name) { return Ref::steal(PyImport_ImportModule(name)); }

void define_stdlib_imports(Borrowed m) {
    records::set_attr(m, "os", import("os"));
    records::set_attr(m, "re", import("re"));
    records::set_attr(m, "shlex", import("shlex"));
    records::set_attr(m, "subprocess", import("subprocess"));
    records::set_attr(m, "ET", import("xml.etree.ElementTree"));
    Ref dataclasses = import("dataclasses");
    for (const char* name : {"asdict", "dataclass", "field"}) {
        records::set_attr(m, name, Ref::steal(PyObject_GetAttrString(dataclasses.get(), name)));
    }
    Ref typing = import("typing");
    for (const char* name : {"Any", "Iterable", "Optional"}) {
        records::set_attr(m, name, Ref::steal(PyObject_GetAttrString(typing.get(), name)));
    }
}

// One entry of the attribute order: a step that defines one or more
// attributes, or a function.
using Attribute = std::variant<void (*)(Borrowed), const Signature*>;

const Attribute attributes[] = {
    define_stdlib_imports,
    records::define_constants,
    records::define_threshold_tables,
    records::define_result_records,
    &verdicts::threshold_for,
    &verdicts::classify,
    &verdicts::load_threshold_overrides,
    records::define_row_patterns,
    parsing::remember_import_objects,
    &parsing::collective_name_for_binary,
    &parsing::parse_nccl_table,
    &parsing::to_int,
    &topology::shared_prefix_len,
    topology::remember_prefix_function,
    &topology::parse_nccl_topo_xml,
    records::define_launcher_config,
    &launching::build_binary_command,
    &sweep::launch_intra_node,
    &sweep::launch_multi_node,
    &launching::select_launcher_mode,
    &launching::build_multi_node_command,
    &launching::resolve_binary,
    &verdicts::finalize_status,
    records::define_shell_result,
    launching::define_runner_classes,
};

void define(Borrowed module) {
    ready_function_type("quorvane.collsweep.function");
    for (const Attribute& a : attributes) {
        if (auto* step = std::get_if<void (*)(Borrowed)>(&a)) {
            (*step)(module);
        } else {
            const Signature& sig = *std::get<const Signature*>(a);
            records::set_attr(module, sig.name, make_function(sig, module_name));
        }
    }
}

const ModuleSurface surface = {
    "collsweep",
    module_name,
    "NCCL benchmark suite (single-node + multi-node).\n"
    "\n"
    "Runs the nccl-tests executables all_reduce_perf, all_gather_perf,\n"
    "reduce_scatter_perf and broadcast_perf over a sweep of small, mid and large\n"
    "message sizes (8 KiB to 128 MiB, a factor of 16 apart), parses the tables\n"
    "they print and gathers the rows into a structured NcclReport that callers\n"
    "persist (to_dict()) or forward. The largest all_reduce bus bandwidth is the\n"
    "headline, graded pass / warn / fail against per-GPU-type thresholds that\n"
    "QUORVANE_NCCL_THRESHOLD_OVERRIDES can override.\n"
    "\n"
    "launch_intra_node sweeps the GPUs of one host; launch_multi_node sweeps two\n"
    "or more hosts through mpirun, Slurm srun or the SkyPilot launcher. The\n"
    "executables are looked up in /opt/nccl-tests/build by default.\n"
    "\n"
    "parse_nccl_topo_xml turns an NCCL topology dump into a GPU/NIC inventory.",
    define,
};

}  // namespace

}  // namespace qv

PyMODINIT_FUNC PyInit_collsweep(void) { return qv::module_init(qv::surface); }
