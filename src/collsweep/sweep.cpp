#include "sweep.hpp"

#include "../binding/lookup.hpp"
#include "names.hpp"

namespace qv::sweep {

namespace {

using lookup::lookup;

// How much of a failed run's standard error goes into the report.
constexpr Py_ssize_t stderr_excerpt = 200;

// The runner given, or a new LocalShellRunner when none (or a false one) is.
Ref choose_runner(Borrowed runner) {
    if (truthy(runner)) return Ref::borrow(runner);
    return call(lookup(names::LocalShellRunner));
}

// The benchmark parameters shared by every collective of one sweep.
Ref launcher_config(Borrowed binary_root) {
    return call_kw(lookup(names::LauncherConfig), {binary_root}, tuple_of({names::binary_root}));
}

// What a sweep gathers: the rows of every collective that ran cleanly, and
// the message of the last failure (None when there was none).
struct Gathered {
    Ref rows = new_list();
    Ref error = Ref::none();
};

// The loop both drivers share. For each executable name in `collectives`, in
// order: find it, build its command with `build_command(path)`, run it, and
// either gather its rows or record why it failed; a failure never stops the
// sweep. `not_found` starts the message for an executable that is missing.
template <typename BuildCommand>
Gathered run_collectives(Borrowed runner, Borrowed collectives, Borrowed binary_root, Borrowed timeout_s,
                         const char* not_found, BuildCommand&& build_command) {
    Gathered gathered;
    Ref zero = integer(0);
    Ref timeout_kw = tuple_of({names::timeout});
    for_each(collectives, [&](Borrowed name) {
        Ref path = call(lookup(names::resolve_binary), name, binary_root);
        if (!truthy(path)) {
            gathered.error = Ref::steal(PyUnicode_FromFormat("%s%S", not_found, name.get()));
            return;
        }
        Ref command = build_command(Borrowed(path));
        Ref result = call_kw(getattr(runner, names::run), {command, timeout_s}, timeout_kw);
        Ref returncode = getattr(result, names::returncode);
        if (compare(returncode, zero, Py_NE)) {
            Ref err = getattr(result, names::stderr_);
            Ref excerpt = Ref::steal(PySequence_GetSlice(err.get(), 0, stderr_excerpt));
            gathered.error = Ref::steal(
                PyUnicode_FromFormat("%S exited %S: %S", name.get(), returncode.get(), excerpt.get()));
            return;
        }
        Ref label = call(lookup(names::collective_name_for_binary), path);
        Ref rows = call(lookup(names::parse_nccl_table), getattr(result, names::stdout_), label);
        for_each(rows, [&](Borrowed row) { list_append(gathered.rows, row); });
    });
    return gathered;
}

// The report of a finished sweep, graded by _finalize_status.
Ref graded_report(Borrowed gpu_type, Borrowed scope, Borrowed num_nodes, Borrowed gpus_per_node,
                  const Gathered& gathered) {
    Ref kwnames = tuple_of({names::gpu_type, names::scope, names::num_nodes, names::gpus_per_node, names::results,
                            names::error});
    Ref report = call_kw(lookup(names::NcclReport),
                         {gpu_type, scope, num_nodes, gpus_per_node, gathered.rows, gathered.error}, kwnames);
    call(lookup(names::finalize_status), report);
    return report;
}

constexpr Param intra_params[] = {
    positional("gpu_count", Check::Int, "int"),
    positional("gpu_type", Check::Text, "str"),
    keyword("binary_root", Check::Text, "str", default_text(default_binary_root)),
    keyword("timeout_s", Check::Int, "int", default_int(240)),
    keyword("collectives", Check::Any, "Iterable[str]", default_attribute("COLLECTIVES")),
    keyword("runner", Check::Any, "Optional['ShellRunner']", default_none),
};

Ref intra_node(const Arguments<intra_params>& a) {
    Borrowed gpu_count = a.get<"gpu_count">(), binary_root = a.get<"binary_root">();
    Ref runner = choose_runner(a.get<"runner">());
    Ref config = launcher_config(binary_root);
    Gathered gathered = run_collectives(
        runner, a.get<"collectives">(), binary_root, a.get<"timeout_s">(), "nccl-tests binary not found: ",
        [&](Borrowed path) { return call(lookup(names::build_binary_command), path, gpu_count, config); });
    return graded_report(a.get<"gpu_type">(), names::intra, integer(1), gpu_count, gathered);
}

constexpr Param multi_params[] = {
    positional("node_ips", Check::List, "list[str]"),
    positional("gpus_per_node", Check::Int, "int"),
    positional("gpu_type", Check::Text, "str"),
    keyword("binary_root", Check::Text, "str", default_text(default_binary_root)),
    keyword("timeout_s", Check::Int, "int", default_int(480)),
    keyword("collectives", Check::Any, "Iterable[str]", default_attribute("COLLECTIVES")),
    keyword("launcher_mode", Check::OptText, "Optional[str]", default_none),
    keyword("runner", Check::Any, "Optional['ShellRunner']", default_none),
};

Ref multi_node(const Arguments<multi_params>& a) {
    Borrowed node_ips = a.get<"node_ips">(), gpus_per_node = a.get<"gpus_per_node">();
    Borrowed binary_root = a.get<"binary_root">(), launcher_mode = a.get<"launcher_mode">();
    const Py_ssize_t hosts = PyList_GET_SIZE(node_ips.get());
    if (hosts < 2) {
        PyErr_Format(PyExc_ValueError, "multi-node launcher requires >=2 nodes; got %zd", hosts);
        raise();
    }
    Ref runner = choose_runner(a.get<"runner">());
    // The mode is fixed once for the whole sweep.
    Ref mode = (!launcher_mode.is_none() && PyUnicode_GET_LENGTH(launcher_mode.get()) > 0)
                   ? Ref::borrow(launcher_mode)
                   : call(lookup(names::select_launcher_mode));
    Ref config = launcher_config(binary_root);
    Ref num_nodes = Ref::steal(PyLong_FromSsize_t(hosts));
    Ref total_ranks = Ref::steal(PyNumber_Multiply(num_nodes.get(), gpus_per_node.get()));
    Ref kwnames = tuple_of({names::mode, names::binary, names::node_ips, names::gpus_per_node, names::total_ranks,
                            names::cfg});
    Gathered gathered = run_collectives(
        runner, a.get<"collectives">(), binary_root, a.get<"timeout_s">(), "nccl-tests binary not found on launcher: ",
        [&](Borrowed path) {
            return call_kw(lookup(names::build_multi_node_command),
                           {mode, path, node_ips, gpus_per_node, total_ranks, config}, kwnames);
        });
    return graded_report(a.get<"gpu_type">(), names::multi, num_nodes, gpus_per_node, gathered);
}

}  // namespace

const Signature launch_intra_node = signature<intra_params, intra_node>(
    "launch_intra_node", nullptr, "NcclReport",
    "Run the nccl-tests sweep on this host, one process per collective driving\n"
    "all `gpu_count` GPUs, and return the graded report. A missing executable,\n"
    "a failed run or a time-out is recorded in the report's `error` (the last\n"
    "one wins) and the sweep goes on with the next collective.");

const Signature launch_multi_node = signature<multi_params, multi_node>(
    "launch_multi_node", nullptr, "NcclReport",
    "Run the nccl-tests sweep across two or more hosts, one launcher process\n"
    "per collective starting `gpus_per_node` ranks on every host of `node_ips`\n"
    "(srun, mpirun, or mpirun over ssh; chosen from the environment when\n"
    "`launcher_mode` is None or empty), and return the graded report. Fewer\n"
    "than two hosts raise ValueError; launcher failures land in the report.");

}  // namespace qv::sweep
