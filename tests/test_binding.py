"""The Python surface of quorvane.collsweep: attributes, function objects,
argument binding and checking, late binding of module names, module life."""

import dataclasses
import functools
import importlib
import inspect
import os
import re
import shlex
import subprocess
import sys
import textwrap
import typing
import xml.etree.ElementTree
from decimal import Decimal
from fractions import Fraction
from pathlib import PurePosixPath
from types import ModuleType, SimpleNamespace

import pytest

MODULE = "quorvane.collsweep"
NOTE = ". Subclasses of built-in types are refused."

# Every attribute the module defines, in the order import defines them.
ATTRIBUTE_ORDER = """os re shlex subprocess ET asdict dataclass field Any Iterable Optional
    COLLECTIVES SIZE_SMALL SIZE_MID SIZE_LARGE SWEEP_SIZES _INTRA_NODE_THRESHOLDS
    _MULTI_NODE_THRESHOLDS NcclResult Threshold NcclReport threshold_for classify
    _load_threshold_overrides _DATA_ROW _NUMERIC _COLLECTIVE_NAME_FROM_BIN
    collective_name_for_binary parse_nccl_table _to_int _shared_prefix_len parse_nccl_topo_xml
    _LauncherConfig _build_binary_command launch_intra_node launch_multi_node
    _select_launcher_mode _build_multi_node_command _resolve_binary _finalize_status
    ShellResult ShellRunner LocalShellRunner""".split()
STDLIB = {"os": os, "re": re, "shlex": shlex, "subprocess": subprocess,
          "ET": xml.etree.ElementTree, "asdict": dataclasses.asdict,
          "dataclass": dataclasses.dataclass, "field": dataclasses.field, "Any": typing.Any,
          "Iterable": typing.Iterable, "Optional": typing.Optional}


MyStr, MyList, MyInt = (type("My" + t.__name__.title(), (t,), {}) for t in (str, list, int))
OnlyIndex = type("OnlyIndex", (), {"__index__": lambda self: 3})
OnlyInt = type("OnlyInt", (), {"__int__": lambda self: 7})
OnlyFloat = type("OnlyFloat", (), {"__float__": lambda self: 7.5})


class Recorder:
    """A cutoff that records the object the callee compared it with."""

    def __init__(self):
        self.seen = []

    def __le__(self, other):
        self.seen.append(other)
        return True


def refusal(param, expected, got, note=""):
    return f"Argument '{param}' has incorrect type (expected {expected}, got {got}){note}"


def run_child(code):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)],
                          capture_output=True, text=True, timeout=60)


# ---------------------------------------------------------------------------
# Module object and attributes


def test_module_object(cs):
    import builtins

    import quorvane

    assert (cs.__name__, cs.__package__) == (MODULE, "quorvane")
    assert sys.modules[MODULE] is cs and quorvane.collsweep is cs
    assert os.path.basename(cs.__file__).startswith("collsweep") and cs.__loader__ is not None
    assert vars(cs)["__builtins__"] in (builtins, vars(builtins))
    assert cs.__doc__.splitlines()[0] == "NCCL benchmark suite (single-node + multi-node)."
    assert "launch_multi_node" in cs.__doc__
    assert {name: getattr(cs, name) for name in STDLIB} == STDLIB


def test_attributes_defined_in_order_and_nothing_else():
    # A fresh process: replacing and restoring an attribute moves it to the end.
    # The topology parser's two functions come with their own part of the module.
    child = run_child("import quorvane.collsweep as m; print(*vars(m))")
    assert child.returncode == 0, child.stderr
    defined = [name for name in child.stdout.split() if not name.startswith("__")]
    later = {"_shared_prefix_len", "parse_nccl_topo_xml"}
    assert [n for n in defined if n not in later] == [n for n in ATTRIBUTE_ORDER if n not in later]
    assert defined == [n for n in ATTRIBUTE_ORDER if n in defined]


def test_shared_object_exports_only_its_init_function(cs):
    """Nothing but PyInit_collsweep is visible to the dynamic linker (no
    standard-library template statics either, which could clash with another
    extension's)."""
    import shutil

    if shutil.which("nm") is None:
        pytest.skip("nm is not installed")
    out = subprocess.run(["nm", "-D", "--defined-only", cs.__file__], capture_output=True, text=True, timeout=30)
    assert out.returncode == 0, out.stderr
    assert [line.split()[-1] for line in out.stdout.splitlines()] == ["PyInit_collsweep"]


# ---------------------------------------------------------------------------
# Function objects: names, annotations, docstrings, signatures

# The first docstring line names the checked kind before each checked parameter.
SIGNATURES = [
    ("threshold_for", "threshold_for(str gpu_type: str, str scope: str) -> Optional[Threshold]"),
    ("classify", "classify(float busbw_gbps: Optional[float], thr: Optional[Threshold]) -> str"),
    ("_load_threshold_overrides", "_load_threshold_overrides() -> dict[str, dict[str, float]]"),
    ("collective_name_for_binary", "collective_name_for_binary(str binary: str) -> str"),
    ("parse_nccl_table",
     "parse_nccl_table(str text: str, str collective: str) -> list[NcclResult]"),
    ("_to_int", "_to_int(str raw: str | None) -> int | None"),
    ("_finalize_status", "_finalize_status(report: NcclReport) -> None"),
    ("NcclResult.to_dict", "NcclResult.to_dict(self) -> dict[str, Any]"),
    ("NcclReport.to_dict", "NcclReport.to_dict(self) -> dict[str, Any]"),
    ("NcclReport.headline_all_reduce_busbw",
     "NcclReport.headline_all_reduce_busbw(self) -> Optional[float]"),
    ("ShellRunner.run", "ShellRunner.run(self, list cmd: list[str], *, int timeout: int, "
                        "str input_text: Optional[str] = None) -> ShellResult"),
]


@pytest.mark.parametrize("path, docline", SIGNATURES, ids=[s[0] for s in SIGNATURES])
def test_function_objects(cs, path, docline):
    fn = functools.reduce(getattr, path.split("."), cs)
    assert (fn.__qualname__, fn.__name__, fn.__module__) == (
        path, path.rsplit(".", 1)[-1], MODULE)
    lines = fn.__doc__.split("\n")
    assert lines[0] == docline
    assert len(lines) == 1 or (lines[1] == "" and lines[2].strip())
    assert fn.__annotations__ and all(type(v) is str for v in fn.__annotations__.values())
    plain = re.sub(r"\b(?:str|float|list|int) (?=\w+:)", "", docline)
    assert path + str(inspect.signature(fn)).replace("'", "") == plain


def test_methods_and_runner_classes(cs):
    report = cs.NcclReport(gpu_type="H100_SXM")
    assert report.to_dict.__self__ is report and str(inspect.signature(report.to_dict)) == (
        "() -> 'dict[str, Any]'")
    assert cs.LocalShellRunner.__mro__ == (cs.LocalShellRunner, cs.ShellRunner, object)
    assert cs.ShellRunner.__doc__ and vars(cs.LocalShellRunner).get("__doc__") is None
    assert "override" in cs.threshold_for.__doc__.split("\n", 2)[2].lower()

    class Canned(cs.ShellRunner):
        def run(self, cmd, *, timeout, input_text=None):
            if cmd:
                return cs.ShellResult(0, repr((cmd, timeout, input_text)), "")
            return super().run(cmd, timeout=timeout, input_text=input_text)

    assert Canned().run(["x"], timeout=5).stdout == "(['x'], 5, None)"
    with pytest.raises(NotImplementedError):     # the base run checks, then refuses to run
        Canned().run([], timeout=1, input_text="data")


# ---------------------------------------------------------------------------
# Argument checking and binding: the TypeError every wrong call meets first


def _run(cs, *args, **kwargs):
    return cs.ShellRunner().run(*args, **kwargs)


def takes(fn, n, given):
    return f"{fn}() takes exactly {n} positional argument{'s' * (n != 1)} ({given} given)"


R = refusal
TYPE_ERRORS = [
    # text: exactly str
    (lambda cs: cs.threshold_for(None, "intra"), R("gpu_type", "str", "NoneType")),
    (lambda cs: cs.threshold_for("H100_SXM", b"x"), R("scope", "str", "bytes")),
    (lambda cs: cs.threshold_for(MyStr("H100_SXM"), "intra"), R("gpu_type", "str", "MyStr", NOTE)),
    (lambda cs: cs.collective_name_for_binary(PurePosixPath("/b/all_reduce_perf")),
     R("binary", "str", "PurePosixPath")),
    (lambda cs: cs.parse_nccl_table(1, "all_reduce"), R("text", "str", "int")),
    (lambda cs: cs.parse_nccl_table("", MyStr("x")), R("collective", "str", "MyStr", NOTE)),
    # optional text: None or exactly str
    (lambda cs: cs._to_int(5), R("raw", "str", "int")),
    (lambda cs: cs._to_int(MyStr("5")), R("raw", "str", "MyStr", NOTE)),
    (lambda cs: _run(cs, ["x"], timeout=1, input_text=b"x"), R("input_text", "str", "bytes")),
    (lambda cs: _run(cs, [], timeout=1, input_text=MyStr()), R("input_text", "str", "MyStr", NOTE)),
    # list: exactly list
    (lambda cs: _run(cs, ("x",), timeout=1), R("cmd", "list", "tuple")),
    (lambda cs: _run(cs, None, timeout=1), R("cmd", "list", "NoneType")),
    (lambda cs: _run(cs, MyList(["x"]), timeout=1), R("cmd", "list", "MyList", NOTE)),
    # integer and optional float: non-numbers get the short form, subclasses no note
    (lambda cs: _run(cs, ["x"], timeout="8"), R("timeout", "int", "str")),
    (lambda cs: _run(cs, ["x"], timeout=MyStr("8")), R("timeout", "int", "MyStr")),
    (lambda cs: _run(cs, ["x"], timeout=None), R("timeout", "int", "NoneType")),
    (lambda cs: cs.classify("300", None), R("busbw_gbps", "float", "str")),
    (lambda cs: cs.classify(MyStr("1"), None), R("busbw_gbps", "float", "MyStr")),
    # argument counts and keywords
    (lambda cs: cs.threshold_for("a", "b", "c"), takes("threshold_for", 2, 3)),
    (lambda cs: cs.threshold_for(scope="intra"), takes("threshold_for", 2, 0)),
    (lambda cs: cs.collective_name_for_binary(), takes("collective_name_for_binary", 1, 0)),
    (lambda cs: cs._load_threshold_overrides(1), takes("_load_threshold_overrides", 0, 1)),
    (lambda cs: cs._load_threshold_overrides(raw="x"),
     "_load_threshold_overrides() got an unexpected keyword argument 'raw'"),
    (lambda cs: cs.NcclReport().to_dict(1), takes("to_dict", 1, 2)),
    (lambda cs: cs.NcclReport.to_dict(), takes("to_dict", 1, 0)),
    (lambda cs: _run(cs, ["x"], 5), takes("run", 2, 3)),
    (lambda cs: _run(cs, ["x"], cmd=["y"], timeout=1),
     "run() got multiple values for keyword argument 'cmd'"),
    (lambda cs: _run(cs, ["x"], timeout=1, shell=True),
     "run() got an unexpected keyword argument 'shell'"),
    # order: too many positionals, then keywords in call order, then missing ones
    (lambda cs: cs.threshold_for(None, None, None, bogus=1), takes("threshold_for", 2, 3)),
    (lambda cs: cs.threshold_for("a", bogus=1, gpu_type="b"),
     "threshold_for() got an unexpected keyword argument 'bogus'"),
    (lambda cs: cs.threshold_for("a", gpu_type="b", bogus=1),
     "threshold_for() got multiple values for keyword argument 'gpu_type'"),
    (lambda cs: cs.parse_nccl_table(None), takes("parse_nccl_table", 2, 1)),
    (lambda cs: _run(cs), takes("run", 2, 1)),
    (lambda cs: _run(cs, None), "run() needs keyword-only argument timeout"),
    # then conversions in parameter order, then type tests in parameter order
    (lambda cs: _run(cs, None, timeout="x", input_text=5), R("timeout", "int", "str")),
    (lambda cs: _run(cs, None, timeout=1.5, input_text=5), R("cmd", "list", "NoneType")),
    (lambda cs: _run(cs, [], timeout=1, input_text=5), R("input_text", "str", "int")),
    (lambda cs: cs.parse_nccl_table(collective=1, text=2), R("text", "str", "int")),
    (lambda cs: cs.threshold_for(scope=None, gpu_type=MyStr()),
     R("gpu_type", "str", "MyStr", NOTE)),
]


@pytest.mark.parametrize("call, message", TYPE_ERRORS, ids=[m for _, m in TYPE_ERRORS])
def test_type_errors(cs, call, message):
    with pytest.raises(TypeError) as exc:
        call(cs)
    assert str(exc.value) == message


def test_refused_call_does_no_work(cs, monkeypatch):
    calls = []
    monkeypatch.setattr(cs, "threshold_for", lambda *a, **k: calls.append(a))
    report = cs.NcclReport()
    with pytest.raises(TypeError):
        cs._finalize_status(report, report)
    assert (calls, report.status) == ([], "unknown")


def test_arguments_by_position_or_name(cs):
    assert cs.threshold_for(scope="intra", gpu_type="H100_SXM") == cs.threshold_for(
        "H100_SXM", scope="intra") == cs.Threshold(320.0, 250.0)
    assert cs.parse_nccl_table(collective="c", text="8 2 1.0 2.0 3.0 0") == [
        cs.NcclResult("c", 8, 3.0, 2.0, 1.0, 0)]
    assert cs._to_int(raw="12") == 12 and cs._to_int(None) is None


@pytest.mark.parametrize(
    "value, flag",
    [(8, "8"), (8.9, "8"), (-2.7, "-2"), (True, "1"), (MyInt(4), "4"), (Decimal("2.7"), "2"),
     (Fraction(7, 2), "3"), (OnlyIndex(), "3"), (OnlyInt(), "7"), (2**80, str(2**80))],
)
def test_integer_parameter_converts_with_int(cs, value, flag):
    cmd = cs._build_binary_command("all_reduce_perf", value, cs._LauncherConfig())
    assert cmd[cmd.index("-g") + 1] == flag


@pytest.mark.parametrize(
    "value",
    [1, True, MyInt(9), Decimal("1.25"), Fraction(1, 4), OnlyFloat(), OnlyIndex(), 2**70, 3.5],
)
def test_optional_float_parameter_converts_with_float(cs, value):
    cut = Recorder()
    assert cs.classify(value, SimpleNamespace(pass_min_gbps=cut, warn_min_gbps=0.0)) == "pass"
    (seen,) = cut.seen
    assert type(seen) is float and seen == float(value)
    if type(value) is float:
        assert seen is value


@pytest.mark.parametrize("host, value", [
    (int, float("nan")), (int, float("inf")), (int, OnlyFloat()), (int, 1j), (float, OnlyInt()),
    (float, 1j), (float, 10**400)])
def test_conversion_errors_are_the_hosts(cs, host, value):
    with pytest.raises(Exception) as expected:
        host(value)
    with pytest.raises(type(expected.value)) as exc:   # conversion precedes the test of cmd
        _run(cs, None, timeout=value) if host is int else cs.classify(value, None)
    assert str(exc.value) == str(expected.value)


# ---------------------------------------------------------------------------
# Late binding: every call reads module names afresh


def _wrap(name, tag):
    def replacement(cs):
        real = getattr(cs, name)
        return lambda *a, **k: (tag, real(*a, **k))
    return replacement


def _fake_os(cs):
    env = {"QUORVANE_NCCL_THRESHOLD_OVERRIDES":
           '{"Q1:intra": {"pass_min_gbps": 3, "warn_min_gbps": 2}}'}
    return SimpleNamespace(path=SimpleNamespace(basename=lambda p: "all_gather_perf"),
                           environ=env, getenv=env.get)


def _finalized(cs):
    report = cs.NcclReport(gpu_type="G", scope="S",
                           results=[cs.NcclResult("all_reduce", 8, 42.0, 1.0, 1.0, 0)])
    cs._finalize_status(report)
    return report.threshold, report.status


ROW = "8 2 1.5 2.5 3.5 1"
LATE_BINDING = [
    ("_load_threshold_overrides",
     lambda cs: lambda: {"X9:intra": {"pass_min_gbps": 5, "warn_min_gbps": "2.5"}},
     lambda cs: cs.threshold_for("X9", "intra"), lambda cs: cs.Threshold(5.0, 2.5)),
    ("_INTRA_NODE_THRESHOLDS",
     lambda cs: {"ZZ": {"pass_min_gbps": 9.0, "warn_min_gbps": 8.0}, "EMPTY": {}},
     lambda cs: [cs.threshold_for(gpu, "intra") for gpu in ("ZZ", "EMPTY", "H100_SXM")],
     lambda cs: [cs.Threshold(9.0, 8.0), None, None]),
    ("_MULTI_NODE_THRESHOLDS", lambda cs: {}, lambda cs: cs.threshold_for("H100_SXM", "multi"),
     lambda cs: None),
    ("Threshold", _wrap("Threshold", "made"), lambda cs: cs.threshold_for("H100_SXM", "multi"),
     lambda cs: ("made", cs.Threshold(150.0, 80.0))),
    ("NcclResult", _wrap("NcclResult", "made"), lambda cs: cs.parse_nccl_table(ROW, "c"),
     lambda cs: [("made", cs.NcclResult("c", 8, 3.5, 2.5, 1.5, 1))]),
    ("threshold_for",
     lambda cs: lambda gpu_type, scope: (gpu_type, scope) == ("G", "S") and cs.Threshold(40.0, 0.0),
     _finalized, lambda cs: (cs.Threshold(40.0, 0.0), "pass")),
    ("classify", lambda cs: lambda busbw_gbps, thr: f"{busbw_gbps}/{thr}", _finalized,
     lambda cs: (None, "42.0/None")),
    ("_COLLECTIVE_NAME_FROM_BIN", lambda cs: {"broadcast_perf": "bcast"},
     lambda cs: [cs.collective_name_for_binary(b) for b in ("/b/broadcast_perf", "x_perf")],
     lambda cs: ["bcast", "x"]),
    ("os", _fake_os,
     lambda cs: (cs.collective_name_for_binary("whatever"), cs.threshold_for("Q1", "intra")),
     lambda cs: ("all_gather", cs.Threshold(3.0, 2.0))),
]


@pytest.mark.parametrize("name, replacement, call, expected", LATE_BINDING,
                         ids=[entry[0] for entry in LATE_BINDING])
def test_replaced_module_attribute_is_used_by_the_next_call(cs, monkeypatch, name, replacement,
                                                            call, expected):
    want = expected(cs)
    before = call(cs)
    assert before != want
    with monkeypatch.context() as patch:
        patch.setattr(cs, name, replacement(cs))
        assert call(cs) == want
    assert call(cs) == before


def test_removed_module_attribute_raises_name_error(cs, monkeypatch):
    monkeypatch.delattr(cs, "Threshold")
    with pytest.raises(NameError):
        cs.threshold_for("H100_SXM", "intra")


# ---------------------------------------------------------------------------
# Module life: reload, re-import, re-initialisation, sub-interpreters


def test_reload_and_reimport_keep_the_module_and_replaced_attributes(cs, monkeypatch):
    originals = {name: getattr(cs, name) for name in ("NcclResult", "classify", "_NUMERIC")}
    marker = lambda binary: "replaced"  # noqa: E731
    monkeypatch.setattr(cs, "collective_name_for_binary", marker)
    assert importlib.reload(cs) is cs
    monkeypatch.delitem(sys.modules, MODULE)
    assert importlib.import_module(MODULE) is cs and sys.modules[MODULE] is cs
    assert cs.collective_name_for_binary is marker
    assert {name: getattr(cs, name) for name in originals} == originals


def test_initialisation_on_a_second_module_object_is_refused(cs):
    import ctypes

    api = ctypes.pythonapi
    api.PyModule_GetDef.restype = ctypes.c_void_p
    api.PyModule_GetDef.argtypes = [ctypes.py_object]
    api.PyModule_ExecDef.argtypes = [ctypes.py_object, ctypes.c_void_p]
    definition = api.PyModule_GetDef(cs)
    assert api.PyModule_ExecDef(cs, definition) == 0          # same object: nothing happens
    with pytest.raises(RuntimeError) as exc:
        api.PyModule_ExecDef(ModuleType("other"), definition)
    assert str(exc.value) == ("Module 'collsweep' has already been imported. "
                              "Re-initialisation is not supported.")


def test_fresh_process_failed_import_retry_and_subinterpreter_refusal():
    child = run_child(
        """
        import sys, _xxsubinterpreters as interpreters
        sys.modules["xml.etree.ElementTree"] = None
        try:
            import quorvane.collsweep
        except ImportError as exc:
            print("failed:", exc)
        del sys.modules["xml.etree.ElementTree"]
        sys.modules.pop("quorvane.collsweep", None)
        import quorvane.collsweep as cs
        print(cs.classify(400, cs.threshold_for("H100_SXM", "intra")), cs.ET.__name__)
        try:
            interpreters.run_string(interpreters.create(), "import quorvane.collsweep")
        except Exception as exc:
            print("refused:", exc)
        """
    )
    assert child.returncode == 0, child.stderr
    failed, imported, refused = child.stdout.splitlines()
    assert failed.startswith("failed:") and "xml.etree.ElementTree" in failed
    assert imported == "pass xml.etree.ElementTree"
    assert refused == ("refused: <class 'ImportError'>: Interpreter change detected - this "
                       "module can only be loaded into one interpreter per process.")
