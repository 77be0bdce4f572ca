"""Mutation check of quorvane: realistic faults put into the sources one at a
time, each held against the tests that should see it. A fault that no test
notices is a gap in the suite.

  python3 bench/mutate.py [--repo DIR] [--layer L] [--area A] [--only ID,...] [--list] [--keep]

Three layers are mutated:
  library   src/collsweep, src/binding: the extension `collsweep` is rebuilt;
  analysis  src/analysis: the extension `analysis` is rebuilt;
  python    python/quorvane: the edited module is put into the temporary
            package folder (no rebuild).

--repo names the checkout whose sources and tests are used (default: this
one); an older revision can be checked as it was:

  mkdir -p /tmp/qvm && ln -sfn "$PWD/../shared" /tmp/qvm/shared
  git archive REV | (mkdir -p /tmp/qvm/old && tar -x -C /tmp/qvm/old)
  python3 bench/mutate.py --repo /tmp/qvm/old

The faults are written as text edits. Each names one or more places it may
sit (file, text, replacement), so the same fault can be found in an older and
a newer layout of the sources; the file may be a glob ("src/analysis/**/*.cpp")
so that a function moved to another file is still found. The first place whose
text occurs exactly once (over all the files its glob matches) is used; a fault
with no such place is reported "not applicable" and the run goes on. Both
extensions are built once in a temporary folder; the tests import them from a
temporary package folder placed first on PYTHONPATH. The tests of the fault's
area run with -x and a fixed Hypothesis seed; a failure or a time-out counts as
killed. A fault shown to change nothing a user can see is listed in EQUIVALENT
with the reason, and counted apart.

The builds and tests run at low priority (nice) and one at a time: the machine
is shared.
"""

import argparse
import filecmp
import glob
import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]
TEST_TIMEOUT = 600

# Area -> test files that should notice a fault there (whichever exist).
AREAS = {
    # the library
    "binding": ["test_surface.py"],
    "records": ["test_records.py", "test_surface.py"],  # the stub pins the records' fields and defaults
    "parser": ["test_parser.py"],
    "thresholds": ["test_thresholds.py"],
    "runner": ["test_runner.py"],
    "launch": ["test_sweep.py", "test_multi_node.py"],
    "sweep": ["test_sweep.py", "test_multi_node.py"],
    "topology": ["test_topology.py", "test_surface.py"],
    "leaks": ["test_leaks.py"],
    # the analysis module
    "reader": ["test_reader.py"],
    "topo-findings": ["test_topo_findings.py"],
    "causes": ["test_causes.py"],
    "caveats": ["test_lint.py", "test_causes.py"],
    "lint": ["test_lint.py"],
    "fleet-stats": ["test_fleet.py"],
    "planner": ["test_fleet.py"],
    "trends": ["test_history.py"],
    # the Python layers
    "verdict": ["test_record.py", "test_faults.py", "test_causes.py"],
    "command-runner": ["test_command_runner.py", "test_faults.py", "test_causes.py"],
    "fleet": ["test_fleet.py"],
    "history": ["test_history.py"],
    "reports": ["test_reports.py"],
    "cli": ["test_cli.py"],
}

# Which extension a source folder belongs to; files elsewhere are Python (no rebuild).
# src/common is built into both modules; its faults are held against the library's tests (the fast
# path of the topology reader is where it matters first).
TARGETS = {"src/collsweep/": "collsweep", "src/binding/": "collsweep", "src/common/": "collsweep",
           "src/analysis/": "analysis"}
LAYER_OF_TARGET = {"collsweep": "library", "analysis": "analysis", None: "python"}


def target_of(path):
    return next((t for prefix, t in TARGETS.items() if path.startswith(prefix)), None)


def fault(fid, area, what, *places):
    return {"id": fid, "area": area, "what": what, "places": places}


F = fault
# An iteration helper that forgets to look for an error when the iterator ends.
UNCHECKED_FOR_EACH = ("    auto for_each = [](Borrowed iterable, auto&& f) {\n"
                      "        Ref it = Ref::steal(PyObject_GetIter(iterable.get()));\n"
                      "        while (Ref item = Ref::steal_or_null(PyIter_Next(it.get()))) f(Borrowed(item));\n"
                      "    };\n")
# Forgets the rows gathered so far when a collective's label equals the last one's.
REPEAT_REPLACES = ("        { static PyObject* last_label = nullptr;\n"
                   "          if (PyList_GET_SIZE(gathered.rows.get()) && last_label &&\n"
                   "              PyObject_RichCompareBool(label.get(), last_label, Py_EQ) == 1) gathered.rows = new_list();\n"
                   "          Py_XSETREF(last_label, Py_NewRef(label.get())); }\n")
FAULTS = [
    # ---- argument binding
    F("bind-count-keywords", "binding", "missing positional: '(N given)' counts positional arguments only",
      ("src/binding/function.cpp", "if (!bound[i]) count_error(f, npositional, static_cast<Py_ssize_t>(i));",
       "if (!bound[i]) count_error(f, npositional, nargs);"),
      ("src/binding/binder.cpp", "if (!slots[i]) count_error(name, npositional, static_cast<Py_ssize_t>(i));",
       "if (!slots[i]) count_error(name, npositional, nargs);")),
    F("bind-plural", "binding", "'argument' plural chosen for zero instead of one",
      ("src/binding/function.cpp", 'positional == 1 ? "" : "s"', 'positional == 0 ? "" : "s"'),
      ("src/binding/binder.cpp", 'positional == 1 ? "" : "s"', 'positional == 0 ? "" : "s"')),
    F("bind-no-double-check", "binding", "a keyword that repeats a positional argument overwrites it",
      ("src/binding/function.cpp", "        if (bound[j]) {", "        if (false && bound[j]) {"),
      ("src/binding/binder.cpp", "        if (slots[j]) {", "        if (false && slots[j]) {")),
    F("bind-keyword-identity", "binding", "keyword names matched by identity only (not interned: unknown)",
      ("src/binding/function.cpp", "if (pname == key || PyUnicode_Compare(pname, key) == 0) break;",
       "if (pname == key) break;"),
      ("src/binding/binder.cpp", "if (pname == key || PyUnicode_Compare(pname, key) == 0) break;",
       "if (pname == key) break;")),
    F("bind-int-index", "binding", "integer parameters converted with __index__ (floats refused)",
      ("src/binding/function.cpp", "converted[i] = Ref::steal(PyNumber_Long(v));",
       "converted[i] = Ref::steal(PyNumber_Index(v));"),
      ("src/binding/binder.cpp", "converted[i] = Ref::steal(PyNumber_Long(v));",
       "converted[i] = Ref::steal(PyNumber_Index(v));")),
    F("bind-optfloat-none", "binding", "optional float refuses None",
      ("src/binding/function.cpp", "if (v == Py_None || PyFloat_CheckExact(v)) continue;",
       "if (PyFloat_CheckExact(v)) continue;"),
      ("src/binding/binder.cpp", "if (v == Py_None || PyFloat_CheckExact(v)) continue;",
       "if (PyFloat_CheckExact(v)) continue;")),
    F("bind-text-subclass", "binding", "text parameters accept str subclasses",
      ("src/binding/function.cpp", "if (!PyUnicode_CheckExact(v)) refuse(p, v, true);",
       "if (!PyUnicode_Check(v)) refuse(p, v, true);"),
      ("src/binding/binder.cpp", "if (!PyUnicode_CheckExact(v)) refuse(p, v, true);",
       "if (!PyUnicode_Check(v)) refuse(p, v, true);")),
    F("bind-list-subclass", "binding", "list parameters accept list subclasses",
      ("src/binding/function.cpp", "if (!PyList_CheckExact(v)) refuse(p, v, true);",
       "if (!PyList_Check(v)) refuse(p, v, true);"),
      ("src/binding/binder.cpp", "if (!PyList_CheckExact(v)) refuse(p, v, true);",
       "if (!PyList_Check(v)) refuse(p, v, true);")),
    F("bind-no-note", "binding", "the subclass note is left out of the refusal",
      ("src/binding/function.cpp", 'subclass ? ". " : ""', '""'),
      ("src/binding/binder.cpp", 'subclass ? ". " : ""', '""')),
    F("bind-kwonly-name", "binding", "missing keyword-only argument: the first keyword-only one is named",
      ("src/binding/function.cpp", 'display_name(f), f->param_names[i]);', 'display_name(f), f->param_names[npositional]);'),
      ("src/binding/binder.cpp", "name, names[i]);", "name, names[npositional]);")),
    F("bind-method-unbound", "binding", "methods read through an instance are not bound",
      ("src/binding/function.cpp", "if (obj == nullptr || obj == Py_None) return Py_NewRef(self);",
       "if (true) return Py_NewRef(self);")),
    F("bind-signature-bare", "binding", "__signature__ leaves the parameters' annotations out",
      ("src/binding/function.cpp", "Ref annotation = p.annotation ? str(p.annotation) : empty;", "Ref annotation = empty;")),
    # ---- records
    F("records-empty-error", "records", "an empty error text is written into the report dictionary",
      ("src/collsweep/records.cpp", "PyUnicode_GET_LENGTH(error.get()) > 0", "PyUnicode_GET_LENGTH(error.get()) >= 0")),
    F("records-status-missing", "records", "the report dictionary leaves out 'status'",
      ("src/collsweep/records.cpp", "    dict_set(d, n_status, getattr(report, n_status));\n", "\n"),
      ("src/collsweep/records.cpp", "    dict_set(d, names::status, getattr(report, names::status));\n", "\n")),
    F("records-headline-ge", "records", "headline keeps the last of equal values",
      ("src/collsweep/records.cpp", "if (!best || compare(value, best, Py_GT))", "if (!best || compare(value, best, Py_GE))")),
    F("records-headline-any", "records", "headline counts every collective",
      ("src/collsweep/records.cpp", "        if (!compare(getattr(row, n_collective), s_all_reduce, Py_EQ)) continue;\n", "\n"),
      ("src/collsweep/records.cpp",
       "        if (!compare(getattr(row, names::collective), names::all_reduce, Py_EQ)) return;\n", "\n")),
    F("records-iter-error", "records", "an error raised by the results iterator in to_dict is dropped",
      ("src/collsweep/records.cpp",
       "list_append(rows, call_method(row, n_to_dict));\n    if (PyErr_Occurred()) raise();",
       "list_append(rows, call_method(row, n_to_dict));"),
      ("src/collsweep/records.cpp",
       "    for_each(results, [&](Borrowed row) { list_append(rows, call_method(row, names::to_dict)); });",
       UNCHECKED_FOR_EACH +
       "    for_each(results, [&](Borrowed row) { list_append(rows, call_method(row, names::to_dict)); });")),
    F("records-row-order", "records", "row dictionary: algbw before busbw",
      ("src/collsweep/records.cpp", "{&n_collective, &n_size_bytes, &n_busbw_gbps, &n_algbw_gbps,",
       "{&n_collective, &n_size_bytes, &n_algbw_gbps, &n_busbw_gbps,"),
      ("src/collsweep/records.cpp",
       "{&names::collective, &names::size_bytes, &names::busbw_gbps, &names::algbw_gbps,",
       "{&names::collective, &names::size_bytes, &names::algbw_gbps, &names::busbw_gbps,")),
    F("records-step-factor", "records", "default step factor 8",
      ("src/collsweep/records.cpp", 'field("step_factor", "int", integer(16))', 'field("step_factor", "int", integer(8))')),
    F("records-b200-multi", "thresholds", "B200 multi-host warn cutoff 170",
      ("src/collsweep/records.cpp", '{"B200", 320.0, 180.0}', '{"B200", 320.0, 170.0}')),
    # ---- table parser
    F("parser-offset-swapped", "parser", "compiled scanner: root offset taken for an even count",
      ("src/collsweep/table_scan.hpp", "const std::size_t offset = (count % 2 == 1) ? 3 : 2;",
       "const std::size_t offset = (count % 2 == 1) ? 2 : 3;")),
    F("parser-general-offset", "parser", "general path: root offset taken for an even count",
      ("src/collsweep/parsing.cpp", "const Py_ssize_t offset = (count % 2 == 1) ? 3 : 2;",
       "const Py_ssize_t offset = (count % 2 == 1) ? 2 : 3;"),
      ("src/collsweep/parsing.cpp", "const std::size_t offset = (count % 2 == 1) ? 3 : 2;",
       "const std::size_t offset = (count % 2 == 1) ? 2 : 3;")),
    F("parser-wrong-floor", "parser", "wrong count rounded down instead of toward zero",
      ("src/collsweep/table_scan.hpp", "double t = std::trunc(w);", "double t = std::floor(w);")),
    F("parser-unit-separator", "parser", "compiled scanner: \\x1f is not white space",
      ("src/collsweep/table_scan.hpp", "for (int c : {' ', '\\t', '\\x1f'}) t[c] = 1;", "for (int c : {' ', '\\t'}) t[c] = 1;")),
    F("parser-trailing-point", "parser", "compiled scanner: '5.' counts as numeric",
      ("src/collsweep/table_scan.hpp", "return i > fraction && i == n;", "return i >= fraction && i == n;")),
    F("parser-overflow-escapes", "parser", "general path: OverflowError of a huge wrong count escapes",
      ("src/collsweep/parsing.cpp", " || catch_error(PyExc_OverflowError);", ";")),
    F("parser-pattern-ignored", "parser", "a replaced _NUMERIC is ignored for ASCII text",
      ("src/collsweep/parsing.cpp", "if (pattern.is(import_numeric) && PyUnicode_IS_ASCII(text.get())) {",
       "if (PyUnicode_IS_ASCII(text.get())) {")),
    F("parser-keyword-order", "parser", "rows made by keyword get busbw and algbw swapped",
      ("src/collsweep/parsing.cpp", "PyTuple_Pack(6, n_collective.get(), n_size_bytes.get(), n_busbw_gbps.get(),\n"
       "                                          n_algbw_gbps.get(),",
       "PyTuple_Pack(6, n_collective.get(), n_size_bytes.get(), n_algbw_gbps.get(),\n"
       "                                          n_busbw_gbps.get(),"),
      ("src/collsweep/parsing.cpp", "kwnames(tuple_of({names::collective, names::size_bytes, names::busbw_gbps, names::algbw_gbps,",
       "kwnames(tuple_of({names::collective, names::size_bytes, names::algbw_gbps, names::busbw_gbps,")),
    F("parser-label-once", "parser", "only the first '_perf' is removed from a label",
      ("src/collsweep/parsing.cpp", "return call_method(name, n_replace, s_perf, s_empty);",
       "return call_method(name, n_replace, s_perf, s_empty, Ref::steal(PyLong_FromLong(1)));"),
      ("src/collsweep/parsing.cpp", "return call_method(name, names::replace, names::perf_suffix, names::empty);",
       "return call_method(name, names::replace, names::perf_suffix, names::empty, Ref::steal(PyLong_FromLong(1)));")),
    F("parser-to-int-base0", "parser", "_to_int reads any base ('0x10' is 16)",
      ("src/collsweep/parsing.cpp", "Ref value = Ref::steal_or_null(PyLong_FromUnicodeObject(raw.get(), 10));",
       "Ref value = Ref::steal_or_null(PyLong_FromUnicodeObject(raw.get(), 0));")),
    # ---- thresholds and verdicts
    F("verdict-pass-gt", "thresholds", "a measurement exactly on the pass cutoff warns",
      ("src/collsweep/verdicts.cpp", "if (compare(busbw, getattr(thr, n_pass_min_gbps), Py_GE))",
       "if (compare(busbw, getattr(thr, n_pass_min_gbps), Py_GT))"),
      ("src/collsweep/verdicts.cpp", "if (compare(busbw, getattr(thr, names::pass_min_gbps), Py_GE))",
       "if (compare(busbw, getattr(thr, names::pass_min_gbps), Py_GT))")),
    F("verdict-no-strip", "thresholds", "the override variable is not stripped",
      ("src/collsweep/verdicts.cpp", "Ref text = call_method(raw, n_strip);", "Ref text = raw;"),
      ("src/collsweep/verdicts.cpp", "Ref text = call_method(raw, names::strip);", "Ref text = raw;")),
    F("verdict-member-shape", "thresholds", "override members are not checked to be objects",
      ("src/collsweep/verdicts.cpp", "if (!PyUnicode_Check(key) || !PyDict_Check(value)) continue;",
       "if (!PyUnicode_Check(key)) continue;"),
      ("src/collsweep/verdicts.cpp", "if (!PyUnicode_Check(key.get()) || !PyDict_Check(value.get())) continue;",
       "if (!PyUnicode_Check(key.get())) continue;")),
    F("verdict-negative-wrong", "thresholds", "a negative wrong count fails the report",
      ("src/collsweep/verdicts.cpp", "if (compare(getattr(row, n_wrong), zero, Py_GT)) {",
       "if (compare(getattr(row, n_wrong), zero, Py_NE)) {"),
      ("src/collsweep/verdicts.cpp", "if (compare(getattr(row, names::wrong), zero, Py_GT)) {",
       "if (compare(getattr(row, names::wrong), zero, Py_NE)) {")),
    F("verdict-error-or", "thresholds", "an error alone (rows present) makes the report 'error'",
      ("src/collsweep/verdicts.cpp", "if (truthy(getattr(report, n_error)) && !truthy(getattr(report, n_results))) {",
       "if (truthy(getattr(report, n_error)) || !truthy(getattr(report, n_results))) {"),
      ("src/collsweep/verdicts.cpp",
       "if (truthy(getattr(report, names::error)) && !truthy(getattr(report, names::results))) {",
       "if (truthy(getattr(report, names::error)) || !truthy(getattr(report, names::results))) {")),
    # ---- launching
    F("launch-skypilot-first", "launch", "SkyPilot is checked before Slurm",
      ("src/collsweep/launching.cpp",
       "    if (env_set(environ, s_SLURM_JOB_ID)) return Ref::borrow(s_srun);\n"
       "    if (env_set(environ, s_SKYPILOT_NUM_NODES)) return Ref::borrow(s_mpirun);",
       "    if (env_set(environ, s_SKYPILOT_NUM_NODES)) return Ref::borrow(s_mpirun);\n"
       "    if (env_set(environ, s_SLURM_JOB_ID)) return Ref::borrow(s_srun);"),
      ("src/collsweep/launching.cpp",
       "    if (env_set(environ, names::SLURM_JOB_ID)) return Ref::borrow(names::srun);\n"
       "    if (env_set(environ, names::SKYPILOT_NUM_NODES)) return Ref::borrow(names::mpirun);",
       "    if (env_set(environ, names::SKYPILOT_NUM_NODES)) return Ref::borrow(names::mpirun);\n"
       "    if (env_set(environ, names::SLURM_JOB_ID)) return Ref::borrow(names::srun);")),
    F("launch-ntasks-per-node", "launch", "srun --ntasks= given the GPUs per node",
      ("src/collsweep/launching.cpp", 'PyUnicode_FromFormat("--ntasks=%S", total_ranks.get())',
       'PyUnicode_FromFormat("--ntasks=%S", gpus_per_node.get())'),
      ("src/collsweep/launching.cpp", 'PyUnicode_FromFormat("--ntasks=%S", a.total_ranks().get())',
       'PyUnicode_FromFormat("--ntasks=%S", a.gpus_per_node().get())')),
    F("launch-slots-ranks", "launch", "host list slots given the total ranks",
      ("src/collsweep/launching.cpp", "PyList_GET_ITEM(node_ips.get(), i),\n                                                             gpus_per_node.get())",
       "PyList_GET_ITEM(node_ips.get(), i),\n                                                             total_ranks.get())"),
      ("src/collsweep/launching.cpp", 'PyUnicode_FromFormat("%S:%S", host.get(), gpus_per_node.get())',
       'PyUnicode_FromFormat("%S:%S", host.get(), total_ranks.get())')),
    F("launch-workspace-typo", "launch", "second install prefix misspelt",
      ("src/collsweep/launching.cpp", '"/workspace/nccl-tests/build/",', '"/workspace/nccl-tests/bin/",')),
    F("launch-gpu-count-int", "launch", "single-host command carries the GPU count as an int",
      ("src/collsweep/launching.cpp", "text_of(gpu_count), Ref::borrow(s_flag_n)", "Ref::borrow(gpu_count), Ref::borrow(s_flag_n)"),
      ("src/collsweep/launching.cpp", "list_append(list_, Ref::steal(PyObject_Str(obj.get())));",
       "list_append(list_, PyLong_CheckExact(obj.get()) ? Ref::borrow(obj) : Ref::steal(PyObject_Str(obj.get())));")),
    F("launch-resolve-leak", "leaks", "_resolve_binary leaks each fixed-path candidate",
      ("src/collsweep/launching.cpp",
       "candidates[i + 1] = Ref::steal(PyUnicode_Concat(str(install_prefixes[i]).get(), name.get()));",
       "candidates[i + 1] = Ref::borrow(PyUnicode_Concat(str(install_prefixes[i]).get(), name.get()));"),
      ("src/collsweep/launching.cpp",
       "candidates[i + 1] = Ref::steal(PyUnicode_Concat(str(install_prefixes[i]).get(), a.name().get()));",
       "candidates[i + 1] = Ref::borrow(PyUnicode_Concat(str(install_prefixes[i]).get(), a.name().get()));")),
    F("launch-ntasks-leak", "leaks", "the srun command leaks its --ntasks= item",
      ("src/collsweep/launching.cpp", 'Ref ntasks = Ref::steal(PyUnicode_FromFormat("--ntasks=%S"',
       'Ref ntasks = Ref::borrow(PyUnicode_FromFormat("--ntasks=%S"')),
    # ---- runner
    F("runner-timeout-text", "runner", "time-out message with a blank before the unit",
      ("src/collsweep/launching.cpp", '"timeout after %Ss"', '"timeout after %S s"')),
    F("runner-not-found-126", "runner", "missing program reported as 126",
      ("src/collsweep/launching.cpp", "Ref code = Ref::steal(PyLong_FromLong(127));", "Ref code = Ref::steal(PyLong_FromLong(126));"),
      ("src/collsweep/launching.cpp", "return shell_result(integer(127),", "return shell_result(integer(126),")),
    F("runner-strict-decode", "runner", "partial output of a time-out decoded strictly",
      ("src/collsweep/launching.cpp", 'PyBytes_GET_SIZE(out.get()), "replace")', 'PyBytes_GET_SIZE(out.get()), "strict")')),
    # ---- sweeps
    F("sweep-one-host", "sweep", "launch_multi_node accepts a single host",
      ("src/collsweep/sweep.cpp", "if (hosts < 2) {", "if (hosts < 1) {")),
    F("sweep-ranks-sum", "sweep", "total ranks = hosts + GPUs per node",
      ("src/collsweep/sweep.cpp", "PyNumber_Multiply(num_nodes.get(), gpus_per_node.get())",
       "PyNumber_Add(num_nodes.get(), gpus_per_node.get())"),
      ("src/collsweep/sweep.cpp", "PyNumber_Multiply(num_nodes.get(), a.gpus_per_node().get())",
       "PyNumber_Add(num_nodes.get(), a.gpus_per_node().get())")),
    F("sweep-empty-mode", "sweep", "an empty launcher_mode is used as given (ssh form)",
      ("src/collsweep/sweep.cpp", "PyUnicode_GET_LENGTH(launcher_mode.get()) > 0", "PyUnicode_GET_LENGTH(launcher_mode.get()) >= 0"),
      ("src/collsweep/sweep.cpp", "PyUnicode_GET_LENGTH(a.launcher_mode().get()) > 0",
       "PyUnicode_GET_LENGTH(a.launcher_mode().get()) >= 0")),
    F("sweep-excerpt-100", "sweep", "standard error cut to 100 characters",
      ("src/collsweep/sweep.cpp", "constexpr Py_ssize_t stderr_excerpt = 200;", "constexpr Py_ssize_t stderr_excerpt = 100;")),
    F("sweep-false-runner", "sweep", "a runner that is false is used anyway",
      ("src/collsweep/sweep.cpp", "if (truthy(runner)) return Ref::borrow(runner);",
       "if (!runner.is_none()) return Ref::borrow(runner);")),
    F("sweep-iter-error", "sweep", "an error raised by the collectives iterator is dropped",
      ("src/collsweep/sweep.cpp", "        if (PyErr_Occurred()) raise();\n    }\n    if (PyErr_Occurred()) raise();\n    return gathered;",
       "        if (PyErr_Occurred()) raise();\n    }\n    return gathered;"),
      ("src/collsweep/sweep.cpp", "    for_each(collectives, [&](Borrowed name) {",
       UNCHECKED_FOR_EACH + "    for_each(collectives, [&](Borrowed name) {")),
    F("sweep-repeat-replaces", "sweep", "rows of a repeated collective replace the earlier ones",
      ("src/collsweep/sweep.cpp",
       "        Ref row_iter = Ref::steal(PyObject_GetIter(rows.get()));",
       REPEAT_REPLACES +
       "        Ref row_iter = Ref::steal(PyObject_GetIter(rows.get()));"),
      ("src/collsweep/sweep.cpp",
       "        for_each(rows, [&](Borrowed row) { list_append(gathered.rows, row); });",
       REPEAT_REPLACES +
       "        for_each(rows, [&](Borrowed row) { list_append(gathered.rows, row); });")),
    # ---- topology
    F("topo-outer-cpu", "topology", "NUMA id taken from the outermost cpu",
      ("src/collsweep/topology.cpp", "                inner_cpu = static_cast<std::int64_t>(tree.cpus.size());",
       "                if (cpu == none) inner_cpu = static_cast<std::int64_t>(tree.cpus.size());")),
    F("topo-unsorted-names", "topology", "closest NIC names not put back in document order",
      ("src/common/pci_tree.cpp", "            std::sort(firsts.begin(), firsts.end());\n", "\n"),
      ("src/collsweep/topology.cpp", "            std::sort(firsts.begin(), firsts.end());\n", "\n")),
    F("topo-deep-nvlink", "topology", "nvlink elements below a GPU's children are counted",
      ("src/collsweep/topology.cpp", "        std::int64_t gpu = none;\n        switch (kind_of(element)) {",
       "        std::int64_t gpu = parent_gpu;\n        switch (kind_of(element)) {")),
    F("topo-gdr-any", "topology", "any non-empty gdr attribute is true",
      ("src/collsweep/topology.cpp", "Ref is_one(Borrowed raw) { return Ref::steal(PyBool_FromLong(compare(raw, s_one, Py_EQ))); }",
       "Ref is_one(Borrowed raw) { return Ref::steal(PyBool_FromLong(truthy(raw))); }"),
      ("src/collsweep/topology.cpp",
       "Ref is_one(Borrowed raw) { return Ref::steal(PyBool_FromLong(compare(raw, names::one, Py_EQ))); }",
       "Ref is_one(Borrowed raw) { return Ref::steal(PyBool_FromLong(truthy(raw))); }")),
    F("topo-prefix-identity", "topology", "_shared_prefix_len compares bus ids by identity",
      ("src/collsweep/topology.cpp", "        if (holds(left, right, Py_NE)) break;", "        if (left.get() != right.get()) break;")),
    F("topo-chain-identity", "topology", "equal bus ids of different objects are different switches",
      ("src/collsweep/topology.cpp",
       "return a.parent == b.parent && (a.busid == b.busid || PyUnicode_Compare(a.busid, b.busid) == 0);",
       "return a.parent == b.parent && a.busid == b.busid;")),
    F("topo-walk-leak", "leaks", "the topology walk leaks each element's child iterator",
      ("src/collsweep/topology.cpp", "stack.push_back({Ref::steal(PyObject_GetIter(element.get())),",
       "stack.push_back({Ref::borrow(PyObject_GetIter(element.get())),")),
]


AN = "src/analysis/**/*.[ch]pp"   # any file of the analysis module, wherever a function moves
ANALYSIS_FAULTS = [
    # ---- fleet statistics
    F("stats-median-upper", "fleet-stats", "median of an even count is the upper middle value",
      (AN, "    if (values.size() % 2 == 1) return upper;\n", "    return upper;\n")),
    F("stats-spread-unscaled", "fleet-stats", "robust spread without the 1.4826 factor",
      (AN, "return 1.4826 * median_of(std::move(deviations));", "return median_of(std::move(deviations));")),
    F("stats-drop-uncapped", "fleet-stats", "the slow cut is not capped at max_drop",
      (AN, "std::clamp(s.z * ref.spread, s.min_drop * ref.median, s.max_drop * ref.median)",
       "std::max(s.z * ref.spread, s.min_drop * ref.median)"),
      (AN, "std::clamp(s.z * ref.spread_gbps, s.min_drop * ref.median_gbps, s.max_drop * ref.median_gbps)",
       "std::max(s.z * ref.spread_gbps, s.min_drop * ref.median_gbps)")),
    F("stats-fail-below", "fleet-stats", "fail_below taken as fail_drop of the median",
      (AN, "ref.fail_below = ref.median * (1.0 - s.fail_drop);", "ref.fail_below = ref.median * s.fail_drop;"),
      (AN, "ref.fail_below_gbps = ref.median_gbps * (1.0 - s.fail_drop);",
       "ref.fail_below_gbps = ref.median_gbps * s.fail_drop;")),
    # ---- fleet planner
    F("planner-cut-le", "planner", "a run exactly on the slow cut is slow",
      (AN, "} else if (ref && *r.busbw_gbps < ref->cut) {", "} else if (ref && *r.busbw_gbps <= ref->cut) {"),
      (AN, "} else if (ref && *r.busbw_gbps < ref->slow_below_gbps) {",
       "} else if (ref && *r.busbw_gbps <= ref->slow_below_gbps) {")),
    F("planner-last-pair", "planner", "off by one: the last pair of ready hosts is not planned",
      (AN, "for (std::size_t i = 0; i + 1 < ready.size(); i += 2) {", "for (std::size_t i = 0; i + 2 < ready.size(); i += 2) {")),
    F("planner-half-trustworthy", "planner", "half the runs trustworthy is too few",
      (AN, "if (values.empty() || 2 * values.size() < total) {", "if (values.empty() || 2 * values.size() <= total) {")),
    F("planner-cutoffs-half", "planner", "the fixed cutoffs still apply when half the fleet fails them",
      (AN, "apply = 2 * below_cutoff < values.size();", "apply = 2 * below_cutoff <= values.size();")),
    F("planner-failed-and", "planner", "slow once and failed once is slow",
      (AN, "return (first.standing == Standing::failed || again.standing == Standing::failed) ? Standing::failed",
       "return (first.standing == Standing::failed && again.standing == Standing::failed) ? Standing::failed")),
    F("planner-net-once", "planner", "one bad pair with a known-good host names a port",
      (AN, "if (bad_count >= 2 && with_good)", "if (bad_count >= 1 && with_good)")),
    F("planner-severity-swapped", "planner", "suspect severity swapped (fail <-> warn)",
      (AN, "? Severity::fail : Severity::warn;\n    s.evidence = parts;", "? Severity::warn : Severity::fail;\n    s.evidence = parts;")),
    F("planner-max-rounds", "planner", "off by one: gives up a round early",
      (AN, "if (round_ + 1 > max_rounds_) {", "if (round_ + 1 >= max_rounds_) {")),
    F("planner-percent", "planner", "percent below the median computed as the share of it",
      (AN, "std::lround(100.0 * (1.0 - value / median))", "std::lround(100.0 * (value / median))")),
    # ---- trends: compare, site profile, baseline
    F("trends-tolerance-sign", "trends", "tolerance added instead of taken off",
      (AN, "const double keep = 1.0 - tolerance_pct / 100.0;", "const double keep = 1.0 + tolerance_pct / 100.0;")),
    F("trends-worst-best", "trends", "worst change is the largest one",
      (AN, "*change.change_pct < *out.worst_change_pct", "*change.change_pct > *out.worst_change_pct")),
    F("trends-percentile-floor", "trends", "percentile without interpolation",
      (AN, "auto hi = std::min(lo + 1, values.size() - 1);", "auto hi = lo;")),
    F("trends-margin-uncapped", "trends", "baseline margin not capped at 15% of the median",
      (AN, "std::min(std::max(0.05 * median, 3.0 * spread), 0.15 * median)", "std::max(0.05 * median, 3.0 * spread)")),
    F("trends-warn-85", "trends", "baseline warn cutoff at 85% of the median",
      (AN, "floor_tenth(0.80 * median)", "floor_tenth(0.85 * median)")),
    F("trends-min-runs", "trends", "off by one: a point seen in exactly min_runs runs is left out",
      (AN, "if (values.size() < std::max<std::size_t>(min_runs, 1)) continue;",
       "if (values.size() <= std::max<std::size_t>(min_runs, 1)) continue;")),
    F("trends-best-min", "trends", "a run's repeated point keeps its lowest value",
      (AN, "if (!fresh) it->second = std::max(it->second, p.busbw_gbps);", "if (!fresh) it->second = std::min(it->second, p.busbw_gbps);")),
    # ---- threshold lint and caveats
    F("lint-unreachable-warn", "lint", "a cutoff above the link budget only warns",
      (AN, '"unreachable", Severity::fail,', '"unreachable", Severity::warn,')),
    F("lint-all-above", "lint", "a cutoff inside the healthy range is said to be above all of it",
      (AN, "const bool all = value > typical->high_gbps;", "const bool all = value > typical->low_gbps;")),
    F("lint-problems-gt", "lint", "warnings are not problems for --lint's exit status",
      (AN, "if (r.finding.severity >= Severity::warn) return true;", "if (r.finding.severity > Severity::warn) return true;")),
    F("caveats-ring-forwarded", "caveats", "NCCL_ALGO=RING set here counts even when not forwarded",
      (AN, 'if (ring && forwarded(shape, "NCCL_ALGO")) return;', "if (ring) return;")),
    F("caveats-standin-forwarded", "caveats", "every NCCL_* variable counts as forwarded",
      (AN, "if (!forwarded(shape, name)) stranded.push_back(name);", "if (false) stranded.push_back(name);")),
    F("caveats-rank-count", "caveats", "ranks asked for = hosts + GPUs per host",
      (AN, "static_cast<long>(shape.num_nodes) * shape.gpus_per_node;", "static_cast<long>(shape.num_nodes) + shape.gpus_per_node;")),
    # ---- topology findings
    F("topo-gdr-note", "topo-findings", "GPUDirect RDMA off is only a note",
      (AN, 'out.push_back(make_finding("gdr-off", Severity::warn,', 'out.push_back(make_finding("gdr-off", Severity::note,')),
    F("topo-nic-slow-ge", "topo-findings", "NICs at the fastest speed are reported slow",
      (AN, "|| *nic.speed_mbps >= fastest) continue;", "|| *nic.speed_mbps > fastest) continue;")),
    F("topo-nvlink-warn", "topo-findings", "a GPU with fewer NVLinks only warns",
      (AN, '"nvlink-degraded", Severity::fail,', '"nvlink-degraded", Severity::warn,')),
    F("topo-numa-imbalance-one", "topo-findings", "one NIC more on a NUMA node is an imbalance",
      (AN, "if (most < fewest + 2) return;", "if (most < fewest + 1) return;")),
    F("topo-local-nic-swapped", "topo-findings", "no NIC on the GPU's NUMA node: severity swapped",
      (AN, "gpu.numa && nic.numa ? Severity::fail : Severity::warn", "gpu.numa && nic.numa ? Severity::warn : Severity::fail")),
    F("topo-golden-fewer-warn", "topo-findings", "fewer links or a slower NIC than the golden file only warns",
      (AN, "now < golden ? Severity::fail : Severity::warn", "now > golden ? Severity::fail : Severity::warn")),
    F("topo-link-changed-swapped", "topo-findings", "a faster PCIe link than golden fails, a slower warns",
      (AN, "narrower || slower ? Severity::fail : Severity::warn", "wider || faster ? Severity::fail : Severity::warn")),
    F("topo-missing-warn", "topo-findings", "a device missing against the golden file only warns",
      (AN, '"-missing", Severity::fail,', '"-missing", Severity::warn,')),
    F("topo-downtrained-wider", "topo-findings", "a link wider than its peers' is reported downtrained",
      (AN, "return (width && best.width && *width < *best.width)", "return (width && best.width && *width > *best.width)")),
    # ---- failure causes
    F("causes-host-oom", "causes", "the kernel's 'Out of memory: Killed process' read as GPU memory",
      (AN, 'out.find_any("oom-kill", "oom_kill", "out of memory: killed process")', 'out.find_any("oom-kill", "oom_kill")')),
    F("causes-126", "causes", "status 126 not told apart",
      (AN, "        case 126:\n", "        case 125:\n")),
    F("causes-signal-status", "causes", "off by one: status 129 (SIGHUP) is not a signal",
      (AN, "if (exit_status > 128 && exit_status <= 128 + 64)", "if (exit_status > 129 && exit_status <= 128 + 64)")),
    F("causes-footer-zero", "causes", "a footer that counts 0 wrong values is corruption",
      (AN, '        return !(count == "0");', "        return true;")),
    F("causes-signal-name", "causes", "off by one in the signal names",
      (AN, "return kNames[static_cast<std::size_t>(number)];", "return kNames[static_cast<std::size_t>(number - 1)];")),
    F("causes-fold-code", "causes", "causes folded by code alone",
      (AN, "return g.cause.code == cause.code && g.cause.advice == cause.advice;", "return g.cause.code == cause.code;")),
    # ---- field reader
    F("reader-no-wrong-alias", "reader", "header mapping drops 'wrong' (older nccl-tests)",
      (AN, 'else if (n == "#wrong" || n == "wrong") c = Col::wrong;', 'else if (n == "#wrong") c = Col::wrong;'),
      (AN, '{"wrong", Col::wrong},', "")),
    F("reader-no-op-alias", "reader", "header mapping drops 'op' (older nccl-tests)",
      (AN, 'else if (n == "redop" || n == "op") c = Col::redop;', 'else if (n == "redop") c = Col::redop;'),
      (AN, '{"op", Col::redop},', "")),
    F("reader-no-bytes", "reader", "header mapping drops 'bytes' (NCCL 1 tests)",
      (AN, 'if (n == "size" || n == "bytes") c = Col::size;', 'if (n == "size") c = Col::size;'),
      (AN, '{"bytes", Col::size},', "")),
    F("reader-ms-ignored", "reader", "NCCL 1 times in milliseconds read as microseconds",
      (AN, 's.ms = names[0] == "bytes";', "s.ms = false;")),
    F("reader-half-tolerance", "reader", "half-precision tolerance ten times tighter",
      (AN, 'if (type == "half" || type == "float16" || type == "bfloat16" || type == "bf16") return 5e-2;',
       'if (type == "half" || type == "float16" || type == "bfloat16" || type == "bf16") return 5e-3;')),
    F("reader-ranks-factor", "reader", "error tolerance scaled by the ranks, not ranks - 1",
      (AN, "t.ranks > 1 ? static_cast<double>(t.ranks - 1) : 1.0", "t.ranks > 1 ? static_cast<double>(t.ranks) : 1.0")),
    F("reader-negative-wrong", "reader", "off by one: #wrong of -1 is not reported",
      (AN, "} else if (*b.wrong < 0) {", "} else if (*b.wrong < -1) {"),
      (AN, "} else if (b.wrong < 0) {", "} else if (b.wrong < -1) {")),
    F("reader-footer-severity", "reader", "error above tolerance: severity swapped against the footer",
      (AN, "footer_clean ? Severity::warn : Severity::fail, index,", "footer_clean ? Severity::fail : Severity::warn, index,")),
    F("reader-repeat-count", "reader", "off by one: a finding repeated twice does not say so",
      (AN, 'if (e.count > 1) f.message += " ("', 'if (e.count > 2) f.message += " ("')),
]


PY = "python/quorvane/**/*.py"   # any module of the package, wherever a function moves
PYTHON_FAULTS = [
    # ---- verdict policy (record.py, causes.py)
    F("verdict-worse-better", "verdict", "worse() keeps the better of two verdicts",
      (PY, "return a if VERDICTS.index(a) >= VERDICTS.index(b) else b", "return a if VERDICTS.index(a) <= VERDICTS.index(b) else b")),
    F("verdict-order", "verdict", "error ranked worse than fail",
      (PY, 'VERDICTS = ("pass", "warn", "unknown", "error", "fail")', 'VERDICTS = ("pass", "warn", "unknown", "fail", "error")')),
    F("verdict-exit-swapped", "verdict", "exit statuses of fail and error swapped",
      (PY, 'EXIT_FOR_VERDICT = {"pass": 0, "warn": 1, "fail": 2, "unknown": 3, "error": 4}',
       'EXIT_FOR_VERDICT = {"pass": 0, "warn": 1, "fail": 4, "unknown": 3, "error": 2}')),
    F("verdict-warn-ignored", "verdict", "a warning finding does not lower a pass",
      (PY, '_VERDICT_OF_SEVERITY = {"warn": "warn", "error": "error", "fail": "fail"}',
       '_VERDICT_OF_SEVERITY = {"error": "error", "fail": "fail"}')),
    F("verdict-library-misread", "verdict", "the library's grade is taken only where it misread",
      (PY, "if library_status in VERDICTS and not misread and worse(verdict, library_status) != verdict:",
       "if library_status in VERDICTS and misread and worse(verdict, library_status) != verdict:")),
    F("verdict-incomplete-warn", "verdict", "a missing result table only warns",
      (PY, 'finding("incomplete", "error", "no complete result table in the output")',
       'finding("incomplete", "warn", "no complete result table in the output")')),
    F("verdict-signal-clean", "verdict", "a benchmark ended by a signal counts as a clean run",
      (PY, "(m.outcome.started and m.outcome.returncode == 0", "(m.outcome.started and m.outcome.returncode <= 0")),
    F("verdict-timeout-warn", "verdict", "a timed-out collective only warns",
      (PY, 'found.append(finding("timeout", "error", f"no result: {o.reason}", evidence))',
       'found.append(finding("timeout", "warn", f"no result: {o.reason}", evidence))')),
    F("verdict-exit-one", "verdict", "exit status 1 is not a failure",
      (PY, "    elif o.returncode != 0:\n", "    elif o.returncode > 1:\n")),
    F("verdict-signal-negative", "verdict", "a signal is reported as an exit status",
      (PY, "    elif o.returncode < 0:\n", "    elif o.returncode < -64:\n")),
    F("verdict-cause-and", "verdict", "a cause only where the entry is incomplete and has an error",
      (PY, 'return not entry["complete"] or any(f["severity"] in ("fail", "error") for f in entry["findings"])',
       'return not entry["complete"] and any(f["severity"] in ("fail", "error") for f in entry["findings"])')),
    F("verdict-cause-not-run", "verdict", "collectives never started get a cause",
      (PY, 'if measured.not_run is None or measured.not_run.startswith("not run"):', "if measured.not_run is None:")),
    F("verdict-forwarded-value", "verdict", "mpirun -x NAME=VALUE counts as a variable named NAME=VALUE",
      (PY, 'names[value.split("=", 1)[0]] = None', "names[value] = None")),
    F("verdict-versions-last", "verdict", "the last collective's versions win",
      (PY, "versions.setdefault(k, v)", "versions[k] = v")),
    # ---- the command's runner (runner.py)
    F("crunner-timeout-dropped", "command-runner", "run() does not pass its time-out on",
      (PY, "return self.execute(cmd, timeout=timeout, input_text=input_text).shell_result()",
       "return self.execute(cmd, timeout=3600, input_text=input_text).shell_result()")),
    F("crunner-timeout-status", "command-runner", "a time-out keeps the child's own exit status",
      (PY, "returncode = TIMEOUT_STATUS if timed_out else proc.returncode", "returncode = proc.returncode")),
    F("crunner-timeout-text", "command-runner", "time-out reason worded otherwise",
      (PY, 'reason = f"timeout after {timeout}s" if timed_out else None', 'reason = f"timed out after {timeout}s" if timed_out else None')),
    F("crunner-cut-uncounted", "command-runner", "bytes dropped from the middle are not counted",
      (PY, "            self.cut += len(dropped)\n", "\n")),
    F("crunner-lone-cr", "command-runner", "a lone carriage return is kept",
      (PY, 'text = text.replace("\\r\\n", "\\n").replace("\\r", "\\n")', 'text = text.replace("\\r\\n", "\\n")')),
    F("crunner-not-found-126", "command-runner", "a missing program is reported as 126",
      (PY, "return self._failed(argv, start, NOT_FOUND_STATUS, str(exc), sinks, logs), None",
       "return self._failed(argv, start, CANNOT_EXECUTE_STATUS, str(exc), sinks, logs), None")),
    F("crunner-group-left", "command-runner", "what the child started is left running",
      (PY, "ended = max(0, end_group(proc.pid, self.grace_s) - running)", "ended = 0")),
    F("crunner-binary-first", "command-runner", "the benchmark of a launcher command is the launcher",
      (PY, '        if cmd[i] == "-b":\n            return cmd[i - 1]', '        if cmd[i] == "-b":\n            return cmd[0]')),
    F("crunner-interrupt-unmarked", "command-runner", "a run stopped by a signal to us is not marked interrupted",
      (PY, "interrupted=stopped_by is not None,", "interrupted=False,")),
    # ---- fleet driver (fleet.py)
    F("fleet-timeouts-swapped", "fleet", "pairs get the time-out of a host alone and the other way round",
      (PY, 'timeout = self.timeout_alone if scope == "intra" else self.timeout_pair\n        if self.deadline',
       'timeout = self.timeout_pair if scope == "intra" else self.timeout_alone\n        if self.deadline'),
      (PY, 'timeout = self.timeout_alone if scope == "intra" else self.timeout_pair',
       'timeout = self.timeout_pair if scope == "intra" else self.timeout_alone')),
    F("fleet-no-ring", "fleet", "emulated pairs run without NCCL_ALGO=RING",
      (PY, "return list(benchmark), ({**env, **RING} if len(hosts) > 1 else env)", "return list(benchmark), env")),
    F("fleet-fail-trusted", "fleet", "a run with wrong results is a number to compare",
      (PY, 'problems = [f for f in entry["findings"] if f["severity"] in ("fail", "error")]',
       'problems = [f for f in entry["findings"] if f["severity"] == "error"]')),
    F("fleet-warn-passes", "fleet", "a fleet with warnings passes",
      (PY, '{qa.Severity.fail: "fail", qa.Severity.warn: "warn"}.get(worst, "pass")', '{qa.Severity.fail: "fail"}.get(worst, "pass")')),
    F("fleet-dash-host", "fleet", "a host name may start with '-'",
      (PY, 'HOST_NAME = re.compile(r"[A-Za-z0-9_.:][A-Za-z0-9_.:-]*")', 'HOST_NAME = re.compile(r"[A-Za-z0-9_.:-]+")')),
    F("fleet-host-last-run", "fleet", "a host's result is its last run alone, not its first",
      (PY, "first = alone[0] if alone else {}", "first = alone[-1] if alone else {}")),
    F("fleet-interrupt-ends-nothing", "fleet", "a signal does not end the runs of the round",
      (PY, "            pool.shutdown(wait=False, cancel_futures=True)\n            stop_all()\n",
       "            pool.shutdown(wait=False, cancel_futures=True)\n")),
    # ---- history (history.py)
    F("history-first-host-lost", "history", "the first host of a run is not indexed",
      (PY, '[(h, run_id) for h in dict.fromkeys(json.loads(cols["hosts"]))]',
       '[(h, run_id) for h in dict.fromkeys(json.loads(cols["hosts"])[1:])]'),
      (PY, '[(h, run_id) for h in json.loads(cols["hosts"])])\n                    ids.append(run_id)',
       '[(h, run_id) for h in json.loads(cols["hosts"])[1:]])\n                    ids.append(run_id)'),
      (PY, '[(h, run_id) for h in json.loads(cols["hosts"])])\n                ids.append(run_id)',
       '[(h, run_id) for h in json.loads(cols["hosts"])[1:]])\n                ids.append(run_id)')),
    F("history-oldest-first", "history", "runs listed oldest first",
      (PY, 'order = " ORDER BY started_at DESC, id DESC"', 'order = " ORDER BY started_at, id"'),
      (PY, 'FROM runs{where} ORDER BY started_at DESC, id DESC"', 'FROM runs{where} ORDER BY started_at, id"')),
    F("history-since-exclusive", "history", "--since leaves out a run at that very time",
      (PY, 'clauses.append("started_at >= ?")', 'clauses.append("started_at > ?")')),
    F("history-nan-kept", "history", "NaN and infinities not turned into null before a record is stored",
      (PY, "return json.dumps(finite(record), allow_nan=False", "return json.dumps(record, allow_nan=False"),
      (PY, "text = json.dumps(_finite(record), allow_nan=False", "text = json.dumps(record, allow_nan=False"),
      (PY, "json.dumps(_finite(record), allow_nan=False", "json.dumps(record, allow_nan=False")),
    F("history-error-baseline", "history", "runs that ended in error count toward the baseline",
      (PY, "verdict IN ('pass', 'warn', 'unknown'))", "verdict IN ('pass', 'warn', 'unknown', 'error'))"),
      (PY, ' or cols["verdict"] == "error"', "")),
    F("history-age-units", "history", "--since 7d read as hours",
      (PY, 'delta = timedelta(days=amount) if text[-1] == "d" else timedelta(hours=amount)',
       'delta = timedelta(hours=amount) if text[-1] == "d" else timedelta(days=amount)')),
    F("history-nccl-headers", "history", "the NCCL version column takes the headers' version first",
      (PY, '"nccl_version": text(versions.get("nccl_library") or versions.get("nccl_headers"))',
       '"nccl_version": text(versions.get("nccl_headers") or versions.get("nccl_library"))'),
      (PY, '"nccl_version": versions.get("nccl_library") or versions.get("nccl_headers")',
       '"nccl_version": versions.get("nccl_headers") or versions.get("nccl_library")')),
    F("history-emulated-mixed", "history", "emulated runs are mixed into a real baseline",
      (PY, "scope IS NOT NULL AND scope <> '' AND emulated = ?\")", "scope IS NOT NULL AND scope <> '' AND ? IS NOT NULL\")"),
      (PY, ' or bool(cols["emulated"]) != emulated', "")),
    F("history-limit-ignored", "history", "--limit is ignored",
      (PY, '            params.append(min(int(limit), MAX_RUN_ID))\n        out = []', '            params.append(-1)\n        out = []'),
      (PY, '            sql += f" LIMIT {int(limit)}"\n', "            pass\n")),
    # ---- reports (html.py, prom.py)
    F("html-message-unescaped", "reports", "a finding's message is not escaped",
      (PY, """f'</td><td>{escape(str(f.get("message") or ""))}</td>'""", """f'</td><td>{str(f.get("message") or "")}</td>'"""),
      (PY, "f'</td><td>{escape(message)}</td><td>{escape(evidence)}</td></tr>'",
       "f'</td><td>{message}</td><td>{escape(evidence)}</td></tr>'")),
    F("html-title-unescaped", "reports", "the page heading is not escaped",
      (PY, "parts = [f'<h1>{escape(title)}</h1>',", "parts = [f'<h1>{title}</h1>',")),
    F("html-host-unescaped", "reports", "a host name in the heat map is not escaped",
      (PY, 'rows.append(f"<tr><th>{escape(host)}{mark}</th>', 'rows.append(f"<tr><th>{host}{mark}</th>')),
    F("html-evidence-unescaped", "reports", "a finding's evidence is not escaped",
      (PY, """f'<td>{escape(str(f.get("evidence") or ""))}</td></tr>'""", """f'<td>{str(f.get("evidence") or "")}</td></tr>'"""),
      (PY, "f'</td><td>{escape(message)}</td><td>{escape(evidence)}</td></tr>'",
       "f'</td><td>{escape(message)}</td><td>{evidence}</td></tr>'")),
    F("prom-quote-unescaped", "reports", "a double quote in a label is not escaped",
      (PY, """.replace("\\n", "\\\\n").replace('"', '\\\\"')""", """.replace("\\n", "\\\\n")""")),
    F("prom-backslash-order", "reports", "backslashes escaped after the newlines (\\n doubled)",
      (PY, """text = str(value).replace("\\\\", "\\\\\\\\").replace("\\n", "\\\\n")""",
       """text = str(value).replace("\\n", "\\\\n").replace("\\\\", "\\\\\\\\")""")),
    F("prom-last-sample", "reports", "a repeated label set keeps its last value, not its best",
      (PY, 'samples[key] = max(value, samples.get(key, float("-inf"))) if best else value', "samples[key] = value"),
      (PY, 'samples[key] = max(float(value), samples.get(key, float("-inf")))', "samples[key] = float(value)")),
    F("prom-verdict-inverted", "reports", "the verdict gauge is 0 for the verdict given",
      (PY, '{**where, "verdict": name}, 1 if name == verdict else 0)', '{**where, "verdict": name}, 0 if name == verdict else 1)'),
      (PY, "{1 if name == verdict else 0}", "{0 if name == verdict else 1}")),
    F("prom-first-host", "reports", "a multi-host run is labelled with its first host only",
      (PY, 'hosts = [""] if fleet else (names_of(record) or [str(record.get("host") or "")])',
       'hosts = [""] if fleet else (names_of(record)[:1] or [str(record.get("host") or "")])'),
      (PY, 'return ",".join(str(h) for h in hosts) if hosts else str(record.get("host") or "")',
       'return str(hosts[0]) if hosts else str(record.get("host") or "")')),
    # ---- the command line
    F("cli-no-color-ignored", "cli", "NO_COLOR is not honoured",
      (PY, '    if os.environ.get("NO_COLOR"):\n        return False\n', "")),
    F("cli-usage-status", "cli", "usage errors exit 2 (argparse's) instead of 64",
      (PY, "self.exit(EXIT_USAGE, f\"{self.prog}: error:", "self.exit(2, f\"{self.prog}: error:")),
]

FAULTS = FAULTS + ANALYSIS_FAULTS + PYTHON_FAULTS

# Faults shown to change nothing a user can see: id -> why. They are still run
# (a test that kills one shows the reasoning wrong) but counted apart.
EQUIVALENT = {
    "verdict-incomplete-warn": "every incomplete reading of the field reader carries an error finding of its own "
                               "(no-table, truncated, ...), so the command's 'incomplete' finding is never added",
    "verdict-signal-clean": "a run that did not exit 0 always gets an error finding of its own (killed, "
                            "exit-status, timeout, ...), which already keeps its entry from being complete",
    "causes-footer-zero": "nccl-tests writes FAILED beside the out-of-bounds count only when it is above 0 "
                          "('0 OK' otherwise), so the count never decides what the word already did",
    "verdict-cause-and": "an entry is incomplete only together with an error finding (the reader's, the run's or "
                         "'not-run'), and never complete with one, so 'or' and 'and' agree on every entry",
}


def layer_of(f):
    """The layer a fault belongs to: that of its first place's folder."""
    return LAYER_OF_TARGET[target_of(f["places"][0][0])]


def files_of(root, pattern):
    if any(c in pattern for c in "*?["):
        return sorted(Path(p) for p in glob.glob(str(root / pattern), recursive=True) if Path(p).is_file())
    file = root / pattern
    return [file] if file.is_file() else []


def find_place(root, places):
    """(file relative to root, old, new) of the first place whose text occurs
    exactly once over the files it names; None when none does."""
    for pattern, old, new in places:
        hits = []
        for file in files_of(root, pattern):
            try:
                n = file.read_text().count(old)
            except (OSError, UnicodeDecodeError):
                continue
            hits += [file] * n
        if len(hits) == 1:
            return str(hits[0].relative_to(root)), old, new
    return None


def run(cmd, **kw):
    return subprocess.run(["nice", "-n", "10", *cmd], capture_output=True, text=True, **kw)


def sync(source, target):
    """Make target a copy of source, rewriting only the files that differ (so
    that a kept build folder rebuilds only what changed)."""
    if source.is_file():
        if not (target.is_file() and filecmp.cmp(source, target, shallow=False)):
            target.parent.mkdir(parents=True, exist_ok=True)
            shutil.copy(source, target)
        return
    target.mkdir(parents=True, exist_ok=True)
    names = {p.name for p in source.iterdir()}
    for old in target.iterdir():
        if old.name not in names:
            shutil.rmtree(old) if old.is_dir() and not old.is_symlink() else old.unlink()
    for item in source.iterdir():
        sync(item, target / item.name)


class Builder:
    """A copy of the sources with both extensions built in a temporary folder,
    and a package folder (a copy of python/quorvane) that imports them."""

    def __init__(self, repo, work):
        import nanobind

        self.repo, self.work = repo, work
        self.root = work / "tree"            # the copy that faults are put into
        sync(repo / "src", self.root / "src")
        sync(repo / "CMakeLists.txt", self.root / "CMakeLists.txt")
        self.site = work / "site"
        shutil.rmtree(self.site, ignore_errors=True)
        shutil.copytree(repo / "python" / "quorvane", self.site / "quorvane",
                        ignore=shutil.ignore_patterns("*.so", "__pycache__"))
        # The package is edited where the tests import it; faults name it as python/quorvane/...
        (self.root / "python").mkdir(exist_ok=True)
        if not (self.root / "python" / "quorvane").is_symlink():
            (self.root / "python" / "quorvane").symlink_to(self.site / "quorvane")
        self.build = work / "build"
        # -O1: a mutant's file compiles in a fraction of the time, and the tests check behaviour, not speed.
        done = run(["cmake", "-S", str(self.root), "-B", str(self.build), "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
                    "-DCMAKE_CXX_FLAGS_RELEASE=-O1 -DNDEBUG",
                    f"-DPython_EXECUTABLE={sys.executable}", f"-Dnanobind_DIR={nanobind.cmake_dir()}"])
        if done.returncode:
            sys.exit("configure failed:\n" + done.stdout[-3000:] + done.stderr[-3000:])
        self.pristine = {}  # target -> the unchanged extension, put back after each fault

    def use_prebuilt(self):
        """Take the unchanged extensions from the installed package (built from the
        same sources) instead of building them first; returns what is missing."""
        found = run([sys.executable, "-c", "import quorvane.collsweep as c, quorvane.analysis as a; "
                     "print(c.__file__); print(a.__file__)"], cwd="/",
                    env={k: v for k, v in os.environ.items() if k != "PYTHONPATH"})
        if found.returncode:
            return found.stderr.strip().splitlines()[-1:]
        for so in found.stdout.split():
            target = Path(so).name.split(".")[0]
            self.pristine[target] = self.work / Path(so).name
            shutil.copy(so, self.pristine[target])
            shutil.copy(so, self.site / "quorvane")
        return []

    def build_module(self, target):
        done = run(["cmake", "--build", str(self.build), "--target", target, "-j", "1"])
        if done.returncode:
            return done.stdout[-3000:] + done.stderr[-3000:]
        for old in (self.site / "quorvane").glob(f"{target}*.so"):
            old.unlink()
        [so] = glob.glob(str(self.build / f"{target}*.so"))
        shutil.copy(so, self.site / "quorvane")
        if target not in self.pristine:
            self.pristine[target] = self.work / Path(so).name
            shutil.copy(so, self.pristine[target])
        return None

    def put_back(self, target):
        for old in (self.site / "quorvane").glob(f"{target}*.so"):
            old.unlink()
        shutil.copy(self.pristine[target], self.site / "quorvane")

    def edit(self, path, old, new):
        file = self.root / path
        text = file.read_text()
        # The unchanged object file is put back with the source, so the next build
        # compiles only the next fault's file instead of this one again.
        # The source gets its old time stamp back too: ninja compares it with the time it built
        # the object at (that of the fault's build, later) as well as with the object file's.
        objects = [(o, o.read_bytes()) for o in self.build.glob(f"CMakeFiles/*/{path}.o")]
        stamp = file.stat()
        file.write_text(text.replace(old, new, 1))

        def restore():
            file.write_text(text)
            os.utime(file, ns=(stamp.st_atime_ns, stamp.st_mtime_ns))
            for o, data in objects:
                o.write_bytes(data)
            for cache in (self.site / "quorvane").rglob("__pycache__"):
                shutil.rmtree(cache, ignore_errors=True)
        return restore


def test_env(site):
    env = dict(os.environ, PYTHONPATH=str(site), PYTHONDONTWRITEBYTECODE="1")
    env_file = Path("/var/lib/ci-launchers/launchers.env")
    if env_file.is_file():
        for line in env_file.read_text().splitlines():
            line = line.strip().removeprefix("export ")
            if "=" in line and not line.startswith("#"):
                key, _, value = line.partition("=")
                env[key] = value.strip('"')
    return env


def area_files(repo, area):
    return [str(repo / "tests" / f) for f in AREAS.get(area, ()) if (repo / "tests" / f).is_file()]


def run_tests(repo, site, area, storage, deselect=()):
    files = area_files(repo, area)
    env = test_env(site)
    env["HYPOTHESIS_STORAGE_DIRECTORY"] = tempfile.mkdtemp(dir=storage)
    cmd = [sys.executable, "-m", "pytest", "-x", "-q", "-p", "no:cacheprovider", "--hypothesis-seed=0", *files,
           *(f"--deselect={d}" for d in deselect)]
    try:
        done = run(cmd, cwd=repo, env=env, timeout=TEST_TIMEOUT)
    except subprocess.TimeoutExpired:
        return "killed", "time-out"
    last = (done.stdout.strip().splitlines() or [""])[-1]
    return ("survived" if done.returncode == 0 else "killed"), last


def selected(args):
    faults = FAULTS
    if args.only:   # in the order given
        by_id = {f["id"]: f for f in faults}
        faults = [by_id[i] for i in args.only.split(",") if i in by_id]
    if args.layer:
        faults = [f for f in faults if layer_of(f) in args.layer.split(",")]
    if args.area:
        faults = [f for f in faults if f["area"] in args.area.split(",")]
    return faults


def summary(results):
    """Per layer and area: faults, killed, survived, equivalent, not applicable."""
    table = {}
    for f, status, _ in results:
        row = table.setdefault((layer_of(f), f["area"]), dict(faults=0, killed=0, survived=0, equivalent=0, na=0))
        row["faults"] += 1
        if status == "killed":
            row["killed"] += 1
        elif status == "survived" and f["id"] in EQUIVALENT:
            row["equivalent"] += 1
        elif status == "survived":
            row["survived"] += 1
        else:
            row["na"] += 1
    lines = [f"{'layer':9} {'area':14} {'faults':>6} {'killed':>6} {'survived':>8} {'equiv.':>6} {'n/a':>4}"]
    for (layer, area), row in sorted(table.items()):
        lines.append(f"{layer:9} {area:14} {row['faults']:6} {row['killed']:6} {row['survived']:8} "
                     f"{row['equivalent']:6} {row['na']:4}")
    return "\n".join(lines)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repo", type=Path, default=REPO)
    parser.add_argument("--only", help="comma-separated fault ids")
    parser.add_argument("--layer", help="comma-separated layers: library, analysis, python")
    parser.add_argument("--area", help="comma-separated areas (see AREAS)")
    parser.add_argument("--list", action="store_true", help="list the faults and where they apply")
    parser.add_argument("--keep", action="store_true", help="keep the temporary folder")
    parser.add_argument("--work", type=Path,
                        help="a folder kept between runs for the copy of the sources and the build (only what "
                             "changed is rebuilt); default: a new temporary folder")
    parser.add_argument("--prebuilt", action="store_true",
                        help="take the unchanged extensions from the installed package (built from these sources) "
                             "instead of building them first; a fault's build then starts from scratch once")
    parser.add_argument("--deselect", action="append", default=[],
                        help="a test (pytest node id) to leave out, e.g. one that fails here whatever the sources")
    args = parser.parse_args()
    repo = args.repo.resolve()
    faults = selected(args)

    if args.list:
        # The package is named python/quorvane/... here just as in the temporary tree.
        for f in faults:
            place = find_place(repo, f["places"])
            print(f"{f['id']:28} {layer_of(f):8} {f['area']:14} {place[0] if place else 'not applicable':34} "
                  f"{f['what']}")
        return 0

    if args.work:
        work = args.work.resolve()
        work.mkdir(parents=True, exist_ok=True)
    else:
        work = Path(tempfile.mkdtemp(prefix="quorvane-mutate."))
    try:
        builder = Builder(repo, work)
        missing = builder.use_prebuilt() if args.prebuilt else []
        if missing:
            sys.exit(f"--prebuilt: the installed package cannot be imported: {missing}")
        for target in ("collsweep", "analysis"):
            error = None if target in builder.pristine else builder.build_module(target)
            if error:
                sys.exit(f"the unchanged sources of {target} do not build:\n" + error)
        check = run([sys.executable, "-c", "import quorvane.collsweep as c, quorvane.analysis as a; "
                     "print(c.__file__); print(a.__file__)"], env=test_env(builder.site), cwd=repo)
        if not all(line.startswith(str(builder.site)) for line in check.stdout.split()) or check.returncode:
            sys.exit(f"the tests would not import the built modules: {check.stdout}{check.stderr}")
        # An area whose tests fail on the unchanged sources cannot judge a fault: its faults are not applicable.
        broken, checked = {}, {}   # areas that share their test files share one check
        for area in sorted({f["area"] for f in faults}):
            files = tuple(area_files(repo, area))
            if not files:
                broken[area] = "no test file of the area exists"
                continue
            if files not in checked:
                checked[files] = run_tests(repo, builder.site, area, work, args.deselect)
            status, last = checked[files]
            if status != "survived":
                broken[area] = f"its tests fail on the unchanged sources: {last}"
                print(f"area {area}: {broken[area]}", flush=True)

        results = []
        for f in faults:
            started = time.monotonic()
            place = find_place(builder.root, f["places"])
            if f["area"] in broken:
                results.append((f, "not applicable", broken[f["area"]]))
            elif place is None:
                results.append((f, "not applicable", "its text is not in the sources"))
            else:
                restore = builder.edit(*place)
                target = target_of(place[0])
                try:
                    error = builder.build_module(target) if target else None
                    status, last = ("no build", error.strip().splitlines()[-1]) if error else run_tests(
                        repo, builder.site, f["area"], work, args.deselect)
                finally:
                    restore()
                    if target:
                        builder.put_back(target)
                results.append((f, status, last))
            f_status = results[-1][1]
            if f_status == "survived" and f["id"] in EQUIVALENT:
                f_status = "equivalent"
            print(f"{f['id']:28} {f_status:14} {time.monotonic() - started:5.0f}s  {f['what']}", flush=True)

        counted = [r for r in results if r[1] in ("killed", "survived")]
        killed = sum(1 for r in counted if r[1] == "killed")
        equivalent = sum(1 for r in counted if r[1] == "survived" and r[0]["id"] in EQUIVALENT)
        print(f"\n{killed} killed of {len(counted)}, {equivalent} equivalent "
              f"({len(results) - len(counted)} not applied)\n")
        print(summary(results) + "\n")
        for f, status, last in results:
            if status != "killed" and not (status == "survived" and f["id"] in EQUIVALENT):
                print(f"  {status}: {f['id']} - {f['what']}" + (f" [{last}]" if status != "survived" else ""))
        return 0
    finally:
        if args.keep or args.work:
            print(f"kept {work}")
        else:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
