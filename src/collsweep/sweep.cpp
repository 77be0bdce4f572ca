#include "sweep.hpp"

#include "../binding/namespace.hpp"

namespace qv::sweep {

namespace {

Name n_LocalShellRunner("LocalShellRunner");
Name n_LauncherConfig("_LauncherConfig");
Name n_resolve_binary("_resolve_binary");
Name n_build_binary_command("_build_binary_command");
Name n_collective_name_for_binary("collective_name_for_binary");
Name n_parse_nccl_table("parse_nccl_table");
Name n_NcclReport("NcclReport");
Name n_finalize_status("_finalize_status");
Name n_run("run");
Name n_timeout("timeout");
Name n_returncode("returncode");
Name n_stdout("stdout");
Name n_stderr("stderr");
Name n_binary_root("binary_root");
Name n_gpu_type("gpu_type");
Name n_scope("scope");
Name n_num_nodes("num_nodes");
Name n_gpus_per_node("gpus_per_node");
Name n_results("results");
Name n_error("error");
Name n_select_launcher_mode("_select_launcher_mode");
Name n_build_multi_node_command("_build_multi_node_command");
Name n_mode("mode");
Name n_binary("binary");
Name n_node_ips("node_ips");
Name n_total_ranks("total_ranks");
Name n_cfg("cfg");
Name s_intra("intra");
Name s_multi("multi");

// How much of a failed run's standard error goes into the report.
constexpr Py_ssize_t stderr_excerpt = 200;

// The runner given, or a new LocalShellRunner when none (or a false one) is.
Ref choose_runner(Borrowed runner) {
    if (truthy(runner)) return Ref::borrow(runner);
    return call(ns::lookup(n_LocalShellRunner));
}

// The benchmark parameters shared by every collective of one sweep.
Ref launcher_config(Borrowed binary_root) {
    Ref kwnames = Ref::steal(PyTuple_Pack(1, n_binary_root.get()));
    return call_kw(ns::lookup(n_LauncherConfig), {binary_root}, kwnames);
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
    Ref zero = Ref::steal(PyLong_FromLong(0));
    Ref timeout_kw = Ref::steal(PyTuple_Pack(1, n_timeout.get()));
    Ref names = Ref::steal(PyObject_GetIter(collectives.get()));
    while (Ref name = Ref::steal_or_null(PyIter_Next(names.get()))) {
        Ref path = call(ns::lookup(n_resolve_binary), name, binary_root);
        if (!truthy(path)) {
            gathered.error = Ref::steal(PyUnicode_FromFormat("%s%S", not_found, name.get()));
            continue;
        }
        Ref command = build_command(Borrowed(path));
        Ref result = call_kw(getattr(runner, n_run), {command, timeout_s}, timeout_kw);
        Ref returncode = getattr(result, n_returncode);
        if (compare(returncode, zero, Py_NE)) {
            Ref excerpt = Ref::steal(PySequence_GetSlice(getattr(result, n_stderr).get(), 0, stderr_excerpt));
            gathered.error = Ref::steal(
                PyUnicode_FromFormat("%S exited %S: %S", name.get(), returncode.get(), excerpt.get()));
            continue;
        }
        Ref label = call(ns::lookup(n_collective_name_for_binary), path);
        Ref rows = call(ns::lookup(n_parse_nccl_table), getattr(result, n_stdout), label);
        Ref row_iter = Ref::steal(PyObject_GetIter(rows.get()));
        while (Ref row = Ref::steal_or_null(PyIter_Next(row_iter.get()))) list_append(gathered.rows, row);
        if (PyErr_Occurred()) raise();
    }
    if (PyErr_Occurred()) raise();
    return gathered;
}

// The report of a finished sweep, graded by _finalize_status.
Ref graded_report(Borrowed gpu_type, Borrowed scope, Borrowed num_nodes, Borrowed gpus_per_node,
                  const Gathered& gathered) {
    Ref kwnames = Ref::steal(PyTuple_Pack(6, n_gpu_type.get(), n_scope.get(), n_num_nodes.get(),
                                          n_gpus_per_node.get(), n_results.get(), n_error.get()));
    Ref report = call_kw(ns::lookup(n_NcclReport),
                         {gpu_type, scope, num_nodes, gpus_per_node, gathered.rows, gathered.error}, kwnames);
    call(ns::lookup(n_finalize_status), report);
    return report;
}

}  // namespace

Ref launch_intra_node(Args args) {
    Borrowed gpu_count = args[0];
    Borrowed gpu_type = args[1];
    Borrowed binary_root = args[2];
    Borrowed timeout_s = args[3];
    Borrowed collectives = args[4];

    Ref runner = choose_runner(args[5]);
    Ref config = launcher_config(binary_root);
    Gathered gathered = run_collectives(runner, collectives, binary_root, timeout_s, "nccl-tests binary not found: ",
                                        [&](Borrowed path) {
                                            return call(ns::lookup(n_build_binary_command), path, gpu_count, config);
                                        });
    Ref one_node = Ref::steal(PyLong_FromLong(1));
    return graded_report(gpu_type, s_intra, one_node, gpu_count, gathered);
}

Ref launch_multi_node(Args args) {
    Borrowed node_ips = args[0];
    Borrowed gpus_per_node = args[1];
    Borrowed gpu_type = args[2];
    Borrowed binary_root = args[3];
    Borrowed timeout_s = args[4];
    Borrowed collectives = args[5];
    Borrowed launcher_mode = args[6];

    const Py_ssize_t hosts = PyList_GET_SIZE(node_ips.get());
    if (hosts < 2) {
        PyErr_Format(PyExc_ValueError, "multi-node launcher requires >=2 nodes; got %zd", hosts);
        raise();
    }
    Ref runner = choose_runner(args[7]);
    // The mode is fixed once for the whole sweep.
    Ref mode = (!launcher_mode.is_none() && PyUnicode_GET_LENGTH(launcher_mode.get()) > 0)
                   ? Ref::borrow(launcher_mode)
                   : call(ns::lookup(n_select_launcher_mode));
    Ref config = launcher_config(binary_root);
    Ref num_nodes = Ref::steal(PyLong_FromSsize_t(hosts));
    Ref total_ranks = Ref::steal(PyNumber_Multiply(num_nodes.get(), gpus_per_node.get()));
    Ref kwnames = Ref::steal(PyTuple_Pack(6, n_mode.get(), n_binary.get(), n_node_ips.get(), n_gpus_per_node.get(),
                                          n_total_ranks.get(), n_cfg.get()));
    Gathered gathered = run_collectives(
        runner, collectives, binary_root, timeout_s, "nccl-tests binary not found on launcher: ", [&](Borrowed path) {
            return call_kw(ns::lookup(n_build_multi_node_command),
                           {mode, path, node_ips, gpus_per_node, total_ranks, config}, kwnames);
        });
    return graded_report(gpu_type, s_multi, num_nodes, gpus_per_node, gathered);
}

}  // namespace qv::sweep
