"""Mutation check of quorvane.collsweep: realistic faults put into the C++
sources one at a time, each built and held against the tests that should see
it. A fault that no test notices is a gap in the suite.

  python3 bench/mutate.py [--repo DIR] [--only ID,...] [--list] [--keep]

--repo names the checkout whose sources and tests are used (default: this
one); an older revision can be checked as it was:

  mkdir -p /tmp/qvm && ln -sfn "$PWD/../shared" /tmp/qvm/shared
  git archive REV | (mkdir -p /tmp/qvm/old && tar -x -C /tmp/qvm/old)
  python3 bench/mutate.py --repo /tmp/qvm/old

The faults are written as text edits. Each names one or more places it may
sit (file, text, replacement), so the same fault can be found in an older and
a newer layout of the sources; the first place whose text occurs exactly once
is used. Only the extension is rebuilt (CMake target `collsweep`, in a
temporary folder); the tests import it from a temporary package folder placed
first on PYTHONPATH. The tests of the fault's area run with -x and a fixed
Hypothesis seed; a failure or a time-out counts as killed.
"""

import argparse
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
    "binding": ["test_binding.py", "test_surface.py", "test_fuzz.py", "test_safety.py"],
    "records": ["test_records.py", "test_surface.py"],  # the stub pins the records' fields and defaults
    "parser": ["test_parser.py", "test_fuzz.py"],
    "thresholds": ["test_thresholds.py"],
    "runner": ["test_runner.py"],
    "launch": ["test_launch_commands.py", "test_sweep.py", "test_multi_node.py"],
    "sweep": ["test_sweep.py", "test_multi_node.py"],
    "topology": ["test_topology.py", "test_fuzz.py", "test_surface.py"],
    "leaks": ["test_leaks.py"],
}


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


def find_place(repo, places):
    for path, old, new in places:
        file = repo / path
        if file.is_file() and file.read_text().count(old) == 1:
            return path, old, new
    return None


def run(cmd, **kw):
    return subprocess.run(cmd, capture_output=True, text=True, **kw)


class Builder:
    """A copy of the sources with the extension built in a temporary folder, and
    a package folder that imports it."""

    def __init__(self, repo, work):
        import nanobind

        self.repo, self.work = repo, work
        self.src = work / "src"
        shutil.copytree(repo / "src", self.src / "src")
        shutil.copy(repo / "CMakeLists.txt", self.src)
        self.build = work / "build"
        self.site = work / "site"
        shutil.copytree(repo / "python" / "quorvane", self.site / "quorvane",
                        ignore=shutil.ignore_patterns("*.so", "__pycache__"))
        done = run(["cmake", "-S", str(self.src), "-B", str(self.build), "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
                    f"-DPython_EXECUTABLE={sys.executable}", f"-Dnanobind_DIR={nanobind.cmake_dir()}"])
        if done.returncode:
            sys.exit("configure failed:\n" + done.stdout[-3000:] + done.stderr[-3000:])

    def build_module(self):
        done = run(["cmake", "--build", str(self.build), "--target", "collsweep"])
        if done.returncode:
            return done.stdout[-3000:] + done.stderr[-3000:]
        for old in (self.site / "quorvane").glob("collsweep*.so"):
            old.unlink()
        [so] = glob.glob(str(self.build / "collsweep*.so"))
        shutil.copy(so, self.site / "quorvane")
        return None

    def edit(self, path, old, new):
        file = self.src / path
        text = file.read_text()
        file.write_text(text.replace(old, new, 1))
        return lambda: file.write_text(text)


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


def run_tests(repo, site, area, storage, deselect=()):
    files = [str(repo / "tests" / f) for f in AREAS[area] if (repo / "tests" / f).is_file()]
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


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repo", type=Path, default=REPO)
    parser.add_argument("--only", help="comma-separated fault ids")
    parser.add_argument("--list", action="store_true", help="list the faults and where they apply")
    parser.add_argument("--keep", action="store_true", help="keep the temporary folder")
    parser.add_argument("--deselect", action="append", default=[],
                        help="a test (pytest node id) to leave out, e.g. one that fails here whatever the sources")
    args = parser.parse_args()
    repo = args.repo.resolve()
    faults = [f for f in FAULTS if not args.only or f["id"] in args.only.split(",")]

    if args.list:
        for f in faults:
            place = find_place(repo, f["places"])
            print(f"{f['id']:24} {f['area']:10} {place[0] if place else 'NOT FOUND':30} {f['what']}")
        return 0

    work = Path(tempfile.mkdtemp(prefix="quorvane-mutate."))
    try:
        builder = Builder(repo, work)
        error = builder.build_module()
        if error:
            sys.exit("the unchanged sources do not build:\n" + error)
        check = run([sys.executable, "-c", "import quorvane.collsweep as m; print(m.__file__)"],
                    env=test_env(builder.site), cwd=repo)
        if not check.stdout.startswith(str(builder.site)):
            sys.exit(f"the tests would not import the built module: {check.stdout}{check.stderr}")
        for area in sorted({f["area"] for f in faults}):
            status, last = run_tests(repo, builder.site, area, work, args.deselect)
            if status != "survived":
                sys.exit(f"the tests of area {area} fail on the unchanged sources: {last}")

        results = []
        for f in faults:
            started = time.monotonic()
            place = find_place(repo, f["places"])
            if place is None:
                results.append((f, "not found", ""))
            else:
                restore = builder.edit(*place)
                try:
                    error = builder.build_module()
                    status, last = ("no build", error.strip().splitlines()[-1]) if error else run_tests(
                        repo, builder.site, f["area"], work, args.deselect)
                finally:
                    restore()
                results.append((f, status, last))
            f_status = results[-1][1]
            print(f"{f['id']:24} {f_status:9} {time.monotonic() - started:5.0f}s  {f['what']}", flush=True)
        builder.build_module()

        counted = [r for r in results if r[1] in ("killed", "survived")]
        killed = sum(1 for r in counted if r[1] == "killed")
        print(f"\n{killed} killed of {len(counted)} ({len(results) - len(counted)} not applied)")
        for f, status, last in results:
            if status != "killed":
                print(f"  {status}: {f['id']} - {f['what']}" + (f" [{last}]" if status == "no build" else ""))
        return 0
    finally:
        if args.keep:
            print(f"kept {work}")
        else:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
