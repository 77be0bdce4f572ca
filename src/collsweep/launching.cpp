#include "launching.hpp"

#include <iterator>

#include "../binding/lookup.hpp"
#include "names.hpp"
#include "records.hpp"

namespace qv::launching {

namespace {

using lookup::lookup;

// ---- the runners ---------------------------------------------------------------

Ref shell_result(Borrowed returncode, Borrowed out, Borrowed err) {
    return call_kw(lookup(names::ShellResult), {returncode, out, err},
                   tuple_of({names::returncode, names::stdout_, names::stderr_}));
}

// `value or ""`.
Ref text_or_empty(Ref value) { return truthy(value) ? value : Ref::borrow(names::empty); }

// What a time-out carries of the standard output: bytes are decoded as UTF-8
// with replacement characters, text is taken as it is.
Ref partial_output(Borrowed timeout_error) {
    Ref out = getattr(timeout_error, names::stdout_);
    if (!truthy(out)) return Ref::borrow(names::empty);
    if (PyBytes_Check(out.get())) {
        return Ref::steal(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(out.get()), PyBytes_GET_SIZE(out.get()), "replace"));
    }
    return out;
}

constexpr Param run_params[] = {self_param, positional("cmd", Check::List, "list[str]"),
                                keyword("timeout", Check::Int, "int"),
                                keyword("input_text", Check::OptText, "Optional[str]", default_none)};

// The protocol's own run: the arguments have been checked, then there is
// nothing to run.
Ref protocol_run(const Arguments<run_params>&) {
    PyErr_SetNone(PyExc_NotImplementedError);
    raise();
}

Ref local_run(const Arguments<run_params>& a) {
    Borrowed timeout = a.get<"timeout">();
    Ref run = getattr(lookup(names::subprocess), names::run);
    Ref kwnames = tuple_of({names::capture_output, names::text, names::timeout, names::input});
    PyObject* argv[] = {nullptr, a.get<"cmd">().get(), Py_True, Py_True, timeout.get(), a.get<"input_text">().get()};
    Ref completed =
        Ref::steal_or_null(PyObject_Vectorcall(run.get(), argv + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames.get()));
    if (completed) {
        return shell_result(getattr(completed, names::returncode), text_or_empty(getattr(completed, names::stdout_)),
                            text_or_empty(getattr(completed, names::stderr_)));
    }

    // except subprocess.TimeoutExpired / except FileNotFoundError
    HeldError exc;
    Ref module = lookup::find(names::subprocess);
    Ref timeout_expired = module ? Ref::steal_or_null(PyObject_GetAttr(module.get(), names::TimeoutExpired.get())) : Ref();
    if (!timeout_expired) exc.raise_in_handler();
    if (exc.matches(timeout_expired)) {
        // subprocess.run has killed the child and waited for it by now.
        Ref message = Ref::steal(PyUnicode_FromFormat("timeout after %Ss", timeout.get()));
        return shell_result(integer(124), partial_output(exc.value()), message);
    }
    if (exc.matches(PyExc_FileNotFoundError)) {
        return shell_result(integer(127), names::empty, Ref::steal(PyObject_Str(exc.value().get())));
    }
    exc.raise_again();
}

const Signature protocol_run_row = signature<run_params, protocol_run>(
    "run", "ShellRunner", "ShellResult",
    "Run `cmd` (program and arguments, no shell) with a time-out in seconds and\n"
    "return its exit status and captured output. Subclasses implement it.");

const Signature local_run_row = signature<run_params, local_run>(
    "run", "LocalShellRunner", "ShellResult",
    "Run `cmd` on this host without a shell, feeding it `input_text` when given,\n"
    "and capture its output as text. A run that outlasts `timeout` seconds is\n"
    "killed and gives returncode 124; a program that does not exist gives 127.\n"
    "Any other failure to start the program raises.");

// ---- finding the executables ----------------------------------------------------

// Fixed install locations searched after the configured root.
constexpr const char* install_prefixes[] = {
    "/opt/nccl-tests/build/",
    "/workspace/nccl-tests/build/",
    "/usr/local/bin/",
};

bool qualifies(Borrowed candidate) {
    Ref is_file = call_method(getattr(lookup(names::os), names::path), names::isfile, candidate);
    if (!truthy(is_file)) return false;
    Ref os = lookup(names::os);
    return truthy(call(getattr(os, names::access), candidate, getattr(os, names::X_OK_)));
}

// `from shutil import which`, done afresh at each use.
Ref import_which() {
    Ref shutil = Ref::steal(
        PyImport_ImportModuleLevelObject(names::shutil.get(), nullptr, nullptr, tuple_of({names::which}).get(), 0));
    Ref which = Ref::steal_or_null(PyObject_GetAttr(shutil.get(), names::which.get()));
    if (!which) {
        if (!catch_error(PyExc_AttributeError)) raise();
        PyErr_Format(PyExc_ImportError, "cannot import name 'which' from 'shutil'");
        raise();
    }
    return which;
}

constexpr Param resolve_params[] = {positional("name", Check::Text, "str"),
                                    positional("binary_root", Check::Text, "str")};

Ref resolve(const Arguments<resolve_params>& a) {
    Borrowed name = a.get<"name">();
    Ref candidates[1 + std::size(install_prefixes)];
    candidates[0] = call_method(getattr(lookup(names::os), names::path), names::join, a.get<"binary_root">(), name);
    for (std::size_t i = 0; i < std::size(install_prefixes); ++i) {
        candidates[i + 1] = Ref::steal(PyUnicode_Concat(str(install_prefixes[i]).get(), name.get()));
    }
    for (const Ref& candidate : candidates) {
        if (qualifies(candidate)) return candidate;
    }
    return call(import_which(), name);
}

// ---- command lines -----------------------------------------------------------

// A list of str built from C strings and Python objects (rendered by str()).
class ArgList {
public:
    ArgList() : list_(new_list()) {}
    ArgList& operator<<(const char* text) {
        list_append(list_, str(text));
        return *this;
    }
    ArgList& operator<<(Borrowed obj) {
        list_append(list_, Ref::steal(PyObject_Str(obj.get())));
        return *this;
    }
    Ref take() { return std::move(list_); }

private:
    Ref list_;
};

constexpr Param command_params[] = {positional("binary", Check::Text, "str"),
                                    positional("gpu_count", Check::Int, "int"),
                                    positional("cfg", Check::Any, "_LauncherConfig")};

// Each field is read and rendered in turn.
Ref single_node_command(const Arguments<command_params>& a) {
    Borrowed cfg = a.get<"cfg">();
    ArgList cmd;
    cmd << a.get<"binary">() << "-b" << getattr(cfg, names::begin_bytes) << "-e" << getattr(cfg, names::end_bytes)
        << "-f" << getattr(cfg, names::step_factor) << "-g" << a.get<"gpu_count">() << "-n"
        << getattr(cfg, names::iterations) << "-w" << getattr(cfg, names::warmup_iters);
    return cmd.take();
}

bool env_set(Borrowed environ, Borrowed variable) {
    Ref value = call_method(environ, names::get, variable);
    return !value.is(Py_None) && truthy(value);
}

Ref launcher_mode(const Arguments<no_params>&) {
    Ref environ = getattr(lookup(names::os), names::environ);
    if (env_set(environ, names::SLURM_JOB_ID)) return Ref::borrow(names::srun);
    if (env_set(environ, names::SKYPILOT_NUM_NODES)) return Ref::borrow(names::mpirun);
    return Ref::borrow(names::ssh);
}

constexpr Param multi_params[] = {
    keyword("mode", Check::Text, "str"),          keyword("binary", Check::Text, "str"),
    keyword("node_ips", Check::List, "list[str]"), keyword("gpus_per_node", Check::Int, "int"),
    keyword("total_ranks", Check::Int, "int"),    keyword("cfg", Check::Any, "_LauncherConfig"),
};

Ref multi_node_command(const Arguments<multi_params>& a) {
    Borrowed mode = a.get<"mode">(), binary = a.get<"binary">(), node_ips = a.get<"node_ips">();
    Borrowed gpus_per_node = a.get<"gpus_per_node">(), total_ranks = a.get<"total_ranks">(), cfg = a.get<"cfg">();
    // The benchmark's own flags, read before anything else: one GPU per process.
    Ref begin = getattr(cfg, names::begin_bytes), end = getattr(cfg, names::end_bytes),
        step = getattr(cfg, names::step_factor), iterations = getattr(cfg, names::iterations),
        warmup = getattr(cfg, names::warmup_iters);
    auto bench_args = [&](ArgList& out) {
        out << "-b" << begin << "-e" << end << "-f" << step << "-g" << "1" << "-n" << iterations << "-w" << warmup;
    };
    ArgList cmd;
    if (compare(mode, names::srun, Py_EQ)) {
        Ref ntasks = Ref::steal(PyUnicode_FromFormat("--ntasks=%S", total_ranks.get()));
        Ref per_node = Ref::steal(PyUnicode_FromFormat("--ntasks-per-node=%S", gpus_per_node.get()));
        cmd << "srun" << "--mpi=pmix" << ntasks << per_node << binary;
        bench_args(cmd);
        return cmd.take();
    }
    Ref entries = new_list();
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(node_ips.get()); ++i) {
        Ref host = Ref::borrow(PyList_GET_ITEM(node_ips.get(), i));  // str() of it may change the list
        list_append(entries, Ref::steal(PyUnicode_FromFormat("%S:%S", host.get(), gpus_per_node.get())));
    }
    Ref hosts = Ref::steal(PyUnicode_Join(str(",").get(), entries.get()));
    cmd << "mpirun";
    if (!compare(mode, names::mpirun, Py_EQ)) cmd << "--mca" << "plm_rsh_agent" << "ssh";
    cmd << "-H" << hosts << "-np" << total_ranks << "--allow-run-as-root" << "--bind-to" << "none" << "-x"
        << "NCCL_DEBUG=WARN" << binary;
    bench_args(cmd);
    return cmd.take();
}

}  // namespace

const Signature resolve_binary = signature<resolve_params, resolve>(
    "_resolve_binary", nullptr, "Optional[str]",
    "Find an nccl-tests executable: under `binary_root`, then in\n"
    "/opt/nccl-tests/build, /workspace/nccl-tests/build and /usr/local/bin,\n"
    "then on the PATH. Returns the first executable regular file found, as\n"
    "built (not made absolute), or None.");

const Signature build_binary_command = signature<command_params, single_node_command>(
    "_build_binary_command", nullptr, "list[str]",
    "The nccl-tests command line for one collective on one host: the executable,\n"
    "then -b -e -f -g -n -w with the sizes, step factor, GPU count, iterations\n"
    "and warm-up iterations, each as decimal text.");

const Signature select_launcher_mode = signature<no_params, launcher_mode>(
    "_select_launcher_mode", nullptr, "str",
    "Pick the launcher from the environment: 'srun' inside a Slurm job\n"
    "(SLURM_JOB_ID set), 'mpirun' inside a SkyPilot cluster (SKYPILOT_NUM_NODES\n"
    "set), otherwise 'ssh' (mpirun reaching the hosts over ssh).");

const Signature build_multi_node_command = signature<multi_params, multi_node_command>(
    "_build_multi_node_command", nullptr, "list[str]",
    "Argument list that starts `binary` on every rank through the launcher of\n"
    "`mode` ('srun', 'mpirun', anything else: mpirun over ssh), followed by the\n"
    "benchmark flags with one GPU per process.");

void define_runner_classes(Borrowed m) {
    Ref shell_runner = records::make_class(
        "ShellRunner", reinterpret_cast<PyObject*>(&PyBaseObject_Type),
        "Pluggable subprocess runner, so that tests can inject canned benchmark\n"
        "output without starting real executables. Production callers use\n"
        "LocalShellRunner. `input_text` feeds the process's standard input and\n"
        "defaults to None, so callers that do not pass it are unaffected.",
        {&protocol_run_row});
    records::set_attr(m, "ShellRunner", shell_runner);
    records::set_attr(m, "LocalShellRunner",
                      records::make_class("LocalShellRunner", shell_runner, nullptr, {&local_run_row}));
}

}  // namespace qv::launching
