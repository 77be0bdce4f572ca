#include "launching.hpp"

#include <iterator>

#include "../binding/namespace.hpp"

namespace qv::launching {

namespace {

Name n_os("os");
Name n_path("path");
Name n_join("join");
Name n_isfile("isfile");
Name n_access("access");
Name n_X_OK("X_OK");
Name n_shutil("shutil");
Name n_which("which");
Name n_subprocess("subprocess");
Name n_run("run");
Name n_TimeoutExpired("TimeoutExpired");
Name n_ShellResult("ShellResult");
Name n_capture_output("capture_output");
Name n_text("text");
Name n_timeout("timeout");
Name n_input("input");
Name n_returncode("returncode");
Name n_stdout("stdout");
Name n_stderr("stderr");
Name n_begin_bytes("begin_bytes");
Name n_end_bytes("end_bytes");
Name n_step_factor("step_factor");
Name n_iterations("iterations");
Name n_warmup_iters("warmup_iters");
Name s_empty("");
Name s_flag_b("-b");
Name s_flag_e("-e");
Name s_flag_f("-f");
Name s_flag_g("-g");
Name s_flag_n("-n");
Name s_flag_w("-w");

// Fixed install locations searched after the configured root.
constexpr const char* install_prefixes[] = {
    "/opt/nccl-tests/build/",
    "/workspace/nccl-tests/build/",
    "/usr/local/bin/",
};

// The pending exception as an object, with the error indicator cleared.
Ref take_exception() {
#if PY_VERSION_HEX >= 0x030C0000
    return Ref::steal_or_null(PyErr_GetRaisedException());
#else
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback) PyException_SetTraceback(value, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return Ref::steal_or_null(value);
#endif
}

// Sets `exc` as the pending exception again.
[[noreturn]] void reraise(Ref exc) {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exc.release());
#else
    PyObject* value = exc.release();
    PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(value))), value, PyException_GetTraceback(value));
#endif
    raise();
}

// `subprocess.TimeoutExpired`, looked up while `handling` is being handled:
// an error in the look-up carries `handling` as its context, as it would in
// an except clause.
Ref timeout_expired_class(const Ref& handling) {
    try {
        return getattr(ns::lookup(n_subprocess), n_TimeoutExpired);
    } catch (const PyError&) {
        Ref failure = take_exception();
        PyException_SetContext(failure.get(), Ref(handling).release());
        reraise(std::move(failure));
    }
}

Ref shell_result(Borrowed returncode, Borrowed out, Borrowed err) {
    Ref kwnames = Ref::steal(PyTuple_Pack(3, n_returncode.get(), n_stdout.get(), n_stderr.get()));
    return call_kw(ns::lookup(n_ShellResult), {returncode, out, err}, kwnames);
}

// `value or ""`.
Ref text_or_empty(Ref value) { return truthy(value) ? value : Ref::borrow(s_empty); }

// What a time-out carries of the standard output: bytes are decoded as UTF-8
// with replacement characters, text is taken as it is.
Ref partial_output(Borrowed timeout_error) {
    Ref out = getattr(timeout_error, n_stdout);
    if (!truthy(out)) return Ref::borrow(s_empty);
    if (PyBytes_Check(out.get())) {
        return Ref::steal(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(out.get()), PyBytes_GET_SIZE(out.get()), "replace"));
    }
    return out;
}

bool qualifies(Borrowed candidate) {
    Ref is_file = call_method(getattr(ns::lookup(n_os), n_path), n_isfile, candidate);
    if (!truthy(is_file)) return false;
    Ref os = ns::lookup(n_os);
    return truthy(call(getattr(os, n_access), candidate, getattr(os, n_X_OK)));
}

// `from shutil import which`, done afresh at each use.
Ref import_which() {
    Ref fromlist = Ref::steal(PyTuple_Pack(1, n_which.get()));
    Ref shutil = Ref::steal(PyImport_ImportModuleLevelObject(n_shutil.get(), nullptr, nullptr, fromlist.get(), 0));
    Ref which = Ref::steal_or_null(PyObject_GetAttr(shutil.get(), n_which.get()));
    if (!which) {
        if (!catch_error(PyExc_AttributeError)) raise();
        PyErr_Format(PyExc_ImportError, "cannot import name 'which' from 'shutil'");
        raise();
    }
    return which;
}

}  // namespace

// The protocol's own run: arguments are checked by the caller's binding, then
// there is nothing to run.
Ref shell_runner_run(Args) {
    PyErr_SetNone(PyExc_NotImplementedError);
    raise();
}

Ref local_shell_runner_run(Args args) {
    Borrowed cmd = args[1];
    Borrowed timeout = args[2];
    Borrowed input_text = args[3];

    Ref run = getattr(ns::lookup(n_subprocess), n_run);
    Ref kwnames = Ref::steal(PyTuple_Pack(4, n_capture_output.get(), n_text.get(), n_timeout.get(), n_input.get()));
    PyObject* argv[] = {nullptr, cmd.get(), Py_True, Py_True, timeout.get(), input_text.get()};
    Ref completed =
        Ref::steal_or_null(PyObject_Vectorcall(run.get(), argv + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames.get()));
    if (completed) {
        return shell_result(getattr(completed, n_returncode), text_or_empty(getattr(completed, n_stdout)),
                            text_or_empty(getattr(completed, n_stderr)));
    }

    Ref exc = take_exception();
    if (PyErr_GivenExceptionMatches(exc.get(), timeout_expired_class(exc).get())) {
        // subprocess.run has killed the child and waited for it by now.
        Ref message = Ref::steal(PyUnicode_FromFormat("timeout after %Ss", timeout.get()));
        Ref code = Ref::steal(PyLong_FromLong(124));
        return shell_result(code, partial_output(exc), message);
    }
    if (PyErr_GivenExceptionMatches(exc.get(), PyExc_FileNotFoundError)) {
        Ref code = Ref::steal(PyLong_FromLong(127));
        return shell_result(code, s_empty, Ref::steal(PyObject_Str(exc.get())));
    }
    reraise(std::move(exc));
}

Ref resolve_binary(Args args) {
    Borrowed name = args[0];
    Borrowed binary_root = args[1];

    Ref candidates[1 + std::size(install_prefixes)];
    candidates[0] = call_method(getattr(ns::lookup(n_os), n_path), n_join, binary_root, name);
    for (std::size_t i = 0; i < std::size(install_prefixes); ++i) {
        candidates[i + 1] = Ref::steal(PyUnicode_Concat(str(install_prefixes[i]).get(), name.get()));
    }
    for (const Ref& candidate : candidates) {
        if (qualifies(candidate)) return candidate;
    }
    return call(import_which(), name);
}

Ref build_binary_command(Args args) {
    Borrowed binary = args[0];
    Borrowed gpu_count = args[1];
    Borrowed cfg = args[2];
    auto text_of = [](Borrowed v) { return Ref::steal(PyObject_Str(v.get())); };
    auto field_text = [&](const Name& field) { return text_of(getattr(cfg, field)); };

    Ref items[] = {
        Ref::borrow(binary), Ref::borrow(s_flag_b), field_text(n_begin_bytes), Ref::borrow(s_flag_e),
        field_text(n_end_bytes), Ref::borrow(s_flag_f), field_text(n_step_factor), Ref::borrow(s_flag_g),
        text_of(gpu_count), Ref::borrow(s_flag_n), field_text(n_iterations), Ref::borrow(s_flag_w),
        field_text(n_warmup_iters),
    };
    Ref command = new_list(static_cast<Py_ssize_t>(std::size(items)));
    for (std::size_t i = 0; i < std::size(items); ++i) {
        PyList_SET_ITEM(command.get(), static_cast<Py_ssize_t>(i), items[i].release());
    }
    return command;
}

}  // namespace qv::launching

namespace qv::launching {

namespace {

Name n_environ("environ");
Name n_get("get");
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
