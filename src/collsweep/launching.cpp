#include "launching.hpp"

#include "../binding/namespace.hpp"

namespace qv::launching {

// The protocol's own run: arguments are checked by the caller's binding, then
// there is nothing to run.
Ref shell_runner_run(Args) {
    PyErr_SetNone(PyExc_NotImplementedError);
    raise();
}

}  // namespace qv::launching

namespace qv::launching {

namespace {

Name n_os("os");
Name n_environ("environ");
Name n_get("get");
Name n_begin_bytes("begin_bytes");
Name n_end_bytes("end_bytes");
Name n_step_factor("step_factor");
Name n_iterations("iterations");
Name n_warmup_iters("warmup_iters");
Name s_SLURM_JOB_ID("SLURM_JOB_ID");
Name s_SKYPILOT_NUM_NODES("SKYPILOT_NUM_NODES");
Name s_srun("srun");
Name s_mpirun("mpirun");
Name s_ssh("ssh");

bool env_set(Borrowed environ, Borrowed variable) {
    Ref value = call_method(environ, n_get, variable);
    return !value.is(Py_None) && truthy(value);
}

Ref text_of(Borrowed obj) { return Ref::steal(PyObject_Str(obj.get())); }

// A list of str built from C strings and Python objects (rendered by str()).
class ArgList {
public:
    ArgList() : list_(new_list()) {}
    ArgList& operator<<(const char* text) {
        list_append(list_, str(text));
        return *this;
    }
    ArgList& operator<<(Borrowed obj) {
        list_append(list_, text_of(obj));
        return *this;
    }
    Ref take() { return std::move(list_); }

private:
    Ref list_;
};

}  // namespace

Ref select_launcher_mode(Args) {
    Ref environ = getattr(ns::lookup(n_os), n_environ);
    if (env_set(environ, s_SLURM_JOB_ID)) return Ref::borrow(s_srun);
    if (env_set(environ, s_SKYPILOT_NUM_NODES)) return Ref::borrow(s_mpirun);
    return Ref::borrow(s_ssh);
}

Ref build_multi_node_command(Args a) {
    Borrowed mode = a[0], binary = a[1], node_ips = a[2], gpus_per_node = a[3], total_ranks = a[4], cfg = a[5];
    // The benchmark's own flags: one GPU per process under a launcher.
    Ref begin = getattr(cfg, n_begin_bytes), end = getattr(cfg, n_end_bytes), step = getattr(cfg, n_step_factor),
        iterations = getattr(cfg, n_iterations), warmup = getattr(cfg, n_warmup_iters);
    auto bench_args = [&](ArgList& out) {
        out << "-b" << begin << "-e" << end << "-f" << step << "-g" << "1" << "-n" << iterations << "-w" << warmup;
    };
    ArgList cmd;
    if (compare(mode, s_srun, Py_EQ)) {
        Ref ntasks = Ref::steal(PyUnicode_FromFormat("--ntasks=%S", total_ranks.get()));
        Ref per_node = Ref::steal(PyUnicode_FromFormat("--ntasks-per-node=%S", gpus_per_node.get()));
        cmd << "srun" << "--mpi=pmix" << ntasks << per_node << binary;
        bench_args(cmd);
        return cmd.take();
    }
    Ref entries = new_list();
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(node_ips.get()); ++i) {
        list_append(entries, Ref::steal(PyUnicode_FromFormat("%S:%S", PyList_GET_ITEM(node_ips.get(), i),
                                                             gpus_per_node.get())));
    }
    Ref hosts = Ref::steal(PyUnicode_Join(str(",").get(), entries.get()));
    cmd << "mpirun";
    if (!compare(mode, s_mpirun, Py_EQ)) cmd << "--mca" << "plm_rsh_agent" << "ssh";
    cmd << "-H" << hosts << "-np" << total_ranks << "--allow-run-as-root" << "--bind-to" << "none" << "-x"
        << "NCCL_DEBUG=WARN" << binary;
    bench_args(cmd);
    return cmd.take();
}

}  // namespace qv::launching
