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
