"""The Python surface of quorvane.collsweep: attributes, function objects,
argument binding and checking, late binding of module names, module life."""

import dataclasses
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
from types import SimpleNamespace

import pytest

MODULE = "quorvane.collsweep"
SUBCLASS_NOTE = ". Subclasses of built-in types are refused."

# Every attribute the module defines, in the order import defines them.
ATTRIBUTE_ORDER = [
    "os", "re", "shlex", "subprocess",
    "ET",
    "asdict", "dataclass", "field",
    "Any", "Iterable", "Optional",
    "COLLECTIVES", "SIZE_SMALL", "SIZE_MID", "SIZE_LARGE", "SWEEP_SIZES",
    "_INTRA_NODE_THRESHOLDS", "_MULTI_NODE_THRESHOLDS",
    "NcclResult", "Threshold", "NcclReport",
    "threshold_for", "classify", "_load_threshold_overrides",
    "_DATA_ROW", "_NUMERIC", "_COLLECTIVE_NAME_FROM_BIN",
    "collective_name_for_binary", "parse_nccl_table", "_to_int",
    "_shared_prefix_len", "parse_nccl_topo_xml",
    "_LauncherConfig",
    "_build_binary_command",
    "launch_intra_node", "launch_multi_node",
    "_select_launcher_mode", "_build_multi_node_command",
    "_resolve_binary",
    "_finalize_status",
    "ShellResult",
    "ShellRunner", "LocalShellRunner",
]

# What this version of the module must already define.
FOUNDATION = ATTRIBUTE_ORDER[:30] + [
    "_LauncherConfig", "_finalize_status", "ShellResult", "ShellRunner", "LocalShellRunner",
]

POK = inspect.Parameter.POSITIONAL_OR_KEYWORD
KWO = inspect.Parameter.KEYWORD_ONLY
EMPTY = inspect.Parameter.empty


class MyStr(str):
    pass


class MyList(list):
    pass


class MyInt(int):
    pass


class MyFloat(float):
    pass


class OnlyIndex:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class OnlyFloat:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class OnlyInt:
    def __int__(self):
        return 7


class Boom(Exception):
    pass


class ExplodingFloat:
    def __float__(self):
        raise Boom("no float today")


def refusal(param, expected, got, note=""):
    return f"Argument '{param}' has incorrect type (expected {expected}, got {got}){note}"


# (attribute path, qualname, [(name, kind, default, annotation)], return annotation, docstring line)
SIGNATURES = [
    ("threshold_for", "threshold_for",
     [("gpu_type", POK, EMPTY, "str"), ("scope", POK, EMPTY, "str")],
     "Optional[Threshold]",
     "threshold_for(str gpu_type: str, str scope: str) -> Optional[Threshold]"),
    ("classify", "classify",
     [("busbw_gbps", POK, EMPTY, "Optional[float]"), ("thr", POK, EMPTY, "Optional[Threshold]")],
     "str",
     "classify(float busbw_gbps: Optional[float], thr: Optional[Threshold]) -> str"),
    ("_load_threshold_overrides", "_load_threshold_overrides", [],
     "dict[str, dict[str, float]]",
     "_load_threshold_overrides() -> dict[str, dict[str, float]]"),
    ("collective_name_for_binary", "collective_name_for_binary",
     [("binary", POK, EMPTY, "str")], "str",
     "collective_name_for_binary(str binary: str) -> str"),
    ("parse_nccl_table", "parse_nccl_table",
     [("text", POK, EMPTY, "str"), ("collective", POK, EMPTY, "str")], "list[NcclResult]",
     "parse_nccl_table(str text: str, str collective: str) -> list[NcclResult]"),
    ("_to_int", "_to_int", [("raw", POK, EMPTY, "str | None")], "int | None",
     "_to_int(str raw: str | None) -> int | None"),
    ("_finalize_status", "_finalize_status", [("report", POK, EMPTY, "NcclReport")], "None",
     "_finalize_status(report: NcclReport) -> None"),
    ("NcclResult.to_dict", "NcclResult.to_dict", [("self", POK, EMPTY, EMPTY)], "dict[str, Any]",
     "NcclResult.to_dict(self) -> dict[str, Any]"),
    ("NcclReport.to_dict", "NcclReport.to_dict", [("self", POK, EMPTY, EMPTY)], "dict[str, Any]",
     "NcclReport.to_dict(self) -> dict[str, Any]"),
    ("NcclReport.headline_all_reduce_busbw", "NcclReport.headline_all_reduce_busbw",
     [("self", POK, EMPTY, EMPTY)], "Optional[float]",
     "NcclReport.headline_all_reduce_busbw(self) -> Optional[float]"),
    ("ShellRunner.run", "ShellRunner.run",
     [("self", POK, EMPTY, EMPTY), ("cmd", POK, EMPTY, "list[str]"),
      ("timeout", KWO, EMPTY, "int"), ("input_text", KWO, None, "Optional[str]")],
     "ShellResult",
     "ShellRunner.run(self, list cmd: list[str], *, int timeout: int, "
     "str input_text: Optional[str] = None) -> ShellResult"),
]
SIG_IDS = [s[0] for s in SIGNATURES]


def resolve(cs, path):
    obj = cs
    for part in path.split("."):
        obj = getattr(obj, part)
    return obj


# ---------------------------------------------------------------------------
# Module object and its attributes


def test_module_identity_and_import_attributes(cs):
    assert cs.__name__ == MODULE
    assert sys.modules[MODULE] is cs
    assert cs.__package__ == "quorvane"
    assert cs.__file__ and os.path.basename(cs.__file__).startswith("collsweep")
    assert cs.__loader__ is not None
    import quorvane

    assert quorvane.collsweep is cs


def test_module_docstring_first_line(cs):
    lines = cs.__doc__.splitlines()
    assert lines[0] == "NCCL benchmark suite (single-node + multi-node)."
    rest = "\n".join(lines[1:])
    for word in ("NcclReport", "launch_intra_node", "launch_multi_node"):
        assert word in rest


def test_foundation_attributes_present(cs):
    missing = [name for name in FOUNDATION if not hasattr(cs, name)]
    assert missing == []


def test_attributes_defined_in_import_order():
    # A fresh process: tests here replace and restore attributes, which moves
    # them to the end of the module dict.
    child = _run_child("import quorvane.collsweep as m; print(*vars(m))")
    assert child.returncode == 0, child.stderr
    defined = child.stdout.split()
    present = [name for name in ATTRIBUTE_ORDER if name in defined]
    assert present == sorted(present, key=defined.index)
    unknown_public = [
        name for name in defined
        if not name.startswith("__") and name not in ATTRIBUTE_ORDER
    ]
    assert unknown_public == []


@pytest.mark.parametrize(
    "name, expected",
    [
        ("os", os), ("re", re), ("shlex", shlex), ("subprocess", subprocess),
        ("ET", xml.etree.ElementTree),
        ("asdict", dataclasses.asdict), ("dataclass", dataclasses.dataclass),
        ("field", dataclasses.field),
        ("Any", typing.Any), ("Iterable", typing.Iterable), ("Optional", typing.Optional),
    ],
)
def test_imported_names_are_the_standard_library_objects(cs, name, expected):
    assert getattr(cs, name) is expected


def test_module_builtins(cs):
    builtins_ = vars(cs)["__builtins__"]
    import builtins

    assert builtins_ is builtins or builtins_ is vars(builtins)


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
# Function objects: names, annotations, defaults, docstrings, signatures


@pytest.mark.parametrize("path, qualname, params, ret, docline", SIGNATURES, ids=SIG_IDS)
def test_function_metadata(cs, path, qualname, params, ret, docline):
    fn = resolve(cs, path)
    assert fn.__name__ == path.rsplit(".", 1)[-1]
    assert fn.__qualname__ == qualname
    assert fn.__module__ == MODULE
    assert fn.__defaults__ is None
    kwdefaults = {name: default for name, kind, default, _ in params
                  if kind is KWO and default is not EMPTY}
    assert fn.__kwdefaults__ == (kwdefaults or None)
    annotations = {name: ann for name, _, _, ann in params if ann is not EMPTY}
    annotations["return"] = ret
    assert list(fn.__annotations__.items()) == list(annotations.items())
    assert all(type(v) is str for v in fn.__annotations__.values())


@pytest.mark.parametrize("path, qualname, params, ret, docline", SIGNATURES, ids=SIG_IDS)
def test_docstring_starts_with_signature_line(cs, path, qualname, params, ret, docline):
    doc = resolve(cs, path).__doc__
    lines = doc.split("\n")
    assert lines[0] == docline
    if len(lines) > 1:
        assert lines[1] == ""
        assert lines[2].strip() != ""


def test_threshold_for_docstring_describes_overrides(cs):
    body = cs.threshold_for.__doc__.split("\n", 2)[2].lower()
    assert "override" in body


@pytest.mark.parametrize("path, qualname, params, ret, docline", SIGNATURES, ids=SIG_IDS)
def test_inspect_signature_is_true(cs, path, qualname, params, ret, docline):
    sig = inspect.signature(resolve(cs, path))
    got = [(p.name, p.kind, p.default, p.annotation) for p in sig.parameters.values()]
    assert got == params
    assert sig.return_annotation == ret


def test_inspect_signature_of_bound_methods_drops_self(cs):
    report_sig = inspect.signature(cs.NcclReport().to_dict)
    assert list(report_sig.parameters) == []
    assert report_sig.return_annotation == "dict[str, Any]"
    run_sig = inspect.signature(cs.ShellRunner().run)
    assert [(p.name, p.kind) for p in run_sig.parameters.values()] == [
        ("cmd", POK), ("timeout", KWO), ("input_text", KWO)]
    assert run_sig.parameters["input_text"].default is None


# ---------------------------------------------------------------------------
# Functions behave as methods


def test_methods_bind_through_instances(cs):
    report = cs.NcclReport(gpu_type="H100_SXM")
    assert report.to_dict()["gpu_type"] == "H100_SXM"
    assert cs.NcclReport.to_dict(report) == report.to_dict()
    assert report.headline_all_reduce_busbw() is None
    row = cs.NcclResult("all_reduce", 8, 1.0, 2.0, 3.0, 0)
    assert row.to_dict()["size_bytes"] == 8
    bound = report.to_dict
    assert bound.__self__ is report
    assert bound.__func__ is cs.NcclReport.__dict__["to_dict"]


def test_shell_runner_run_checks_then_is_abstract(cs):
    runner = cs.ShellRunner()
    with pytest.raises(NotImplementedError):
        runner.run(["true"], timeout=1)
    with pytest.raises(NotImplementedError):
        cs.ShellRunner.run(runner, ["true"], timeout=1, input_text="data")


def test_python_subclass_overriding_run(cs):
    calls = []

    class Canned(cs.ShellRunner):
        def run(self, cmd, *, timeout, input_text=None):
            calls.append((cmd, timeout, input_text))
            return cs.ShellResult(0, "out", "")

    result = Canned().run(["x", "-b", "8"], timeout=5)
    assert result == cs.ShellResult(0, "out", "")
    assert calls == [(["x", "-b", "8"], 5, None)]
    assert isinstance(Canned(), cs.ShellRunner)


def test_python_subclass_calling_the_base_run(cs):
    class Delegating(cs.ShellRunner):
        def run(self, cmd, *, timeout, input_text=None):
            return super().run(cmd, timeout=timeout, input_text=input_text)

    with pytest.raises(NotImplementedError):
        Delegating().run(["x"], timeout=1)
    with pytest.raises(TypeError) as exc:
        Delegating().run(("x",), timeout=1)
    assert str(exc.value) == refusal("cmd", "list", "tuple")


def test_local_shell_runner_is_a_shell_runner(cs):
    assert issubclass(cs.LocalShellRunner, cs.ShellRunner)
    assert cs.ShellRunner.__bases__ == (object,)
    assert cs.LocalShellRunner.__bases__ == (cs.ShellRunner,)
    for cls in (cs.ShellRunner, cs.LocalShellRunner):
        assert cls.__module__ == MODULE
    assert cs.ShellRunner.__qualname__ == "ShellRunner"
    assert cs.LocalShellRunner.__qualname__ == "LocalShellRunner"
    assert cs.ShellRunner.__doc__
    assert vars(cs.LocalShellRunner).get("__doc__") is None


# ---------------------------------------------------------------------------
# Argument checking: accepted and refused types


TEXT_CALLS = [
    # (callable path, positional args with a marker where the bad value goes, param name)
    ("threshold_for", ["@", "intra"], "gpu_type"),
    ("threshold_for", ["H100_SXM", "@"], "scope"),
    ("collective_name_for_binary", ["@"], "binary"),
    ("parse_nccl_table", ["@", "all_reduce"], "text"),
    ("parse_nccl_table", ["", "@"], "collective"),
]


def _call_with(cs, path, args, bad):
    return resolve(cs, path)(*[bad if a == "@" else a for a in args])


@pytest.mark.parametrize("path, args, param", TEXT_CALLS,
                         ids=[f"{p}-{n}" for p, _, n in TEXT_CALLS])
@pytest.mark.parametrize(
    "bad, got",
    [(None, "NoneType"), (b"x", "bytes"), (1, "int"), (["x"], "list"),
     (bytearray(b"x"), "bytearray"), (object(), "object")],
    ids=["none", "bytes", "int", "list", "bytearray", "object"],
)
def test_text_parameters_refuse_other_types(cs, path, args, param, bad, got):
    with pytest.raises(TypeError) as exc:
        _call_with(cs, path, args, bad)
    assert str(exc.value) == refusal(param, "str", got)


@pytest.mark.parametrize("path, args, param", TEXT_CALLS,
                         ids=[f"{p}-{n}" for p, _, n in TEXT_CALLS])
def test_text_parameters_refuse_subclasses_with_note(cs, path, args, param):
    with pytest.raises(TypeError) as exc:
        _call_with(cs, path, args, MyStr("all_reduce"))
    assert str(exc.value) == refusal(param, "str", "MyStr", SUBCLASS_NOTE)


def test_refusal_names_the_type_of_a_path_object(cs):
    import pathlib

    with pytest.raises(TypeError) as exc:
        cs.collective_name_for_binary(pathlib.PurePosixPath("/x/all_reduce_perf"))
    assert str(exc.value) == refusal("binary", "str", "PurePosixPath")


def test_optional_text_parameter(cs):
    assert cs._to_int(None) is None
    assert cs._to_int("5") == 5
    with pytest.raises(TypeError) as exc:
        cs._to_int(5)
    assert str(exc.value) == refusal("raw", "str", "int")
    with pytest.raises(TypeError) as exc:
        cs._to_int(MyStr("5"))
    assert str(exc.value) == refusal("raw", "str", "MyStr", SUBCLASS_NOTE)
    with pytest.raises(TypeError) as exc:
        cs._to_int(b"5")
    assert str(exc.value) == refusal("raw", "str", "bytes")


@pytest.mark.parametrize(
    "cmd, message",
    [
        (("x",), refusal("cmd", "list", "tuple")),
        (None, refusal("cmd", "list", "NoneType")),
        ("x", refusal("cmd", "list", "str")),
        (MyList(["x"]), refusal("cmd", "list", "MyList", SUBCLASS_NOTE)),
    ],
)
def test_list_parameter(cs, cmd, message):
    with pytest.raises(TypeError) as exc:
        cs.ShellRunner().run(cmd, timeout=1)
    assert str(exc.value) == message


def test_list_parameter_accepts_any_exact_list(cs):
    with pytest.raises(NotImplementedError):
        cs.ShellRunner().run([1, None, b"x"], timeout=1)
    with pytest.raises(NotImplementedError):
        cs.ShellRunner().run([], timeout=1)


@pytest.mark.parametrize(
    "input_text, message",
    [
        (b"x", refusal("input_text", "str", "bytes")),
        (0, refusal("input_text", "str", "int")),
        (MyStr("x"), refusal("input_text", "str", "MyStr", SUBCLASS_NOTE)),
    ],
)
def test_optional_text_keyword_parameter(cs, input_text, message):
    with pytest.raises(TypeError) as exc:
        cs.ShellRunner().run(["x"], timeout=1, input_text=input_text)
    assert str(exc.value) == message


@pytest.mark.parametrize(
    "timeout",
    [1, 0, -3, 2**80, True, MyInt(4), 8.9, MyFloat(2.5), Decimal("2.7"), Fraction(7, 2),
     OnlyIndex(3), OnlyInt()],
    ids=["int", "zero", "negative", "huge", "bool", "int-subclass", "float", "float-subclass",
         "decimal", "fraction", "index", "int-method"],
)
def test_integer_parameter_converts_numbers(cs, timeout):
    # The base runner has no behaviour of its own: reaching it means the
    # arguments were accepted.
    with pytest.raises(NotImplementedError):
        cs.ShellRunner().run(["x"], timeout=timeout)


@pytest.mark.parametrize(
    "timeout, got",
    [("8", "str"), (b"8", "bytes"), (None, "NoneType"), ([8], "list"), (MyStr("8"), "MyStr"),
     (object(), "object")],
    ids=["str", "bytes", "none", "list", "str-subclass", "object"],
)
def test_integer_parameter_refuses_non_numbers(cs, timeout, got):
    with pytest.raises(TypeError) as exc:
        cs.ShellRunner().run(["x"], timeout=timeout)
    # Non-numbers get the short refusal, without the subclass note.
    assert str(exc.value) == refusal("timeout", "int", got)


@pytest.mark.parametrize(
    "timeout",
    [float("nan"), float("inf"), OnlyFloat(3.0), 1j],
    ids=["nan", "inf", "float-only", "complex"],
)
def test_integer_conversion_errors_propagate(cs, timeout):
    with pytest.raises(Exception) as expected:
        int(timeout)
    with pytest.raises(Exception) as exc:
        cs.ShellRunner().run(["x"], timeout=timeout)
    assert type(exc.value) is type(expected.value)
    assert str(exc.value) == str(expected.value)


def test_optional_float_parameter_converts(cs, recorder):
    thr_value = recorder()
    thr = SimpleNamespace(pass_min_gbps=thr_value, warn_min_gbps=0.0)
    inputs = [300, True, MyFloat(2.5), MyInt(9), Decimal("1.25"), Fraction(1, 4), OnlyFloat(7.5),
              OnlyIndex(11), 2**70, 3.5]
    for value in inputs:
        assert cs.classify(value, thr) == "pass"
    seen = thr_value.seen
    assert [type(v) for v in seen] == [float] * len(inputs)
    assert seen == [300.0, 1.0, 2.5, 9.0, 1.25, 0.25, 7.5, 11.0, float(2**70), 3.5]


def test_optional_float_keeps_the_exact_float_object(cs, recorder):
    value = 123.456
    cut = recorder()
    cs.classify(value, SimpleNamespace(pass_min_gbps=cut, warn_min_gbps=0.0))
    assert cut.seen[0] is value


@pytest.mark.parametrize(
    "value, got",
    [("300", "str"), (b"300", "bytes"), ([300], "list"), (MyStr("1"), "MyStr"),
     (object(), "object")],
    ids=["str", "bytes", "list", "str-subclass", "object"],
)
def test_optional_float_refuses_non_numbers(cs, value, got):
    thr = cs.Threshold(1.0, 0.5)
    with pytest.raises(TypeError) as exc:
        cs.classify(value, thr)
    assert str(exc.value) == refusal("busbw_gbps", "float", got)


@pytest.mark.parametrize("value", [1j, OnlyInt(), ExplodingFloat(), 10**400],
                         ids=["complex", "int-only", "raising", "huge-int"])
def test_optional_float_conversion_errors_propagate(cs, value):
    with pytest.raises(Exception) as expected:
        float(value)
    with pytest.raises(Exception) as exc:
        cs.classify(value, None)
    assert type(exc.value) is type(expected.value)
    assert str(exc.value) == str(expected.value)


# ---------------------------------------------------------------------------
# Argument binding: counts, keywords, order of errors


def _message(fn, *args, **kwargs):
    with pytest.raises(TypeError) as exc:
        fn(*args, **kwargs)
    return str(exc.value)


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda cs: cs.threshold_for("a", "b", "c"),
         "threshold_for() takes exactly 2 positional arguments (3 given)"),
        (lambda cs: cs.threshold_for("a"),
         "threshold_for() takes exactly 2 positional arguments (1 given)"),
        (lambda cs: cs.threshold_for(),
         "threshold_for() takes exactly 2 positional arguments (0 given)"),
        (lambda cs: cs.threshold_for(scope="intra"),
         "threshold_for() takes exactly 2 positional arguments (0 given)"),
        (lambda cs: cs.classify(1.0),
         "classify() takes exactly 2 positional arguments (1 given)"),
        (lambda cs: cs.classify(*range(300)),
         "classify() takes exactly 2 positional arguments (300 given)"),
        (lambda cs: cs.collective_name_for_binary(),
         "collective_name_for_binary() takes exactly 1 positional argument (0 given)"),
        (lambda cs: cs.collective_name_for_binary("a", "b"),
         "collective_name_for_binary() takes exactly 1 positional argument (2 given)"),
        (lambda cs: cs._to_int(),
         "_to_int() takes exactly 1 positional argument (0 given)"),
        (lambda cs: cs.parse_nccl_table(collective="all_reduce"),
         "parse_nccl_table() takes exactly 2 positional arguments (0 given)"),
        (lambda cs: cs.parse_nccl_table(text=""),
         "parse_nccl_table() takes exactly 2 positional arguments (1 given)"),
        (lambda cs: cs._finalize_status(),
         "_finalize_status() takes exactly 1 positional argument (0 given)"),
        (lambda cs: cs._load_threshold_overrides(1),
         "_load_threshold_overrides() takes exactly 0 positional arguments (1 given)"),
        (lambda cs: cs._load_threshold_overrides(raw="x"),
         "_load_threshold_overrides() got an unexpected keyword argument 'raw'"),
        (lambda cs: cs.NcclReport().to_dict(1),
         "to_dict() takes exactly 1 positional argument (2 given)"),
        (lambda cs: cs.NcclReport.to_dict(),
         "to_dict() takes exactly 1 positional argument (0 given)"),
        (lambda cs: cs.NcclResult("c", 1, 1.0, 1.0, 1.0, 0).to_dict(None),
         "to_dict() takes exactly 1 positional argument (2 given)"),
        (lambda cs: cs.NcclReport().headline_all_reduce_busbw(1, 2),
         "headline_all_reduce_busbw() takes exactly 1 positional argument (3 given)"),
        (lambda cs: cs.NcclReport().to_dict(deep=True),
         "to_dict() got an unexpected keyword argument 'deep'"),
        (lambda cs: cs.ShellRunner().run(["x"], 5),
         "run() takes exactly 2 positional arguments (3 given)"),
        (lambda cs: cs.ShellRunner().run(timeout=5),
         "run() takes exactly 2 positional arguments (1 given)"),
        (lambda cs: cs.ShellRunner().run(["x"]),
         "run() needs keyword-only argument timeout"),
        (lambda cs: cs.ShellRunner().run(["x"], input_text="y"),
         "run() needs keyword-only argument timeout"),
        (lambda cs: cs.ShellRunner().run(["x"], cmd=["y"], timeout=1),
         "run() got multiple values for keyword argument 'cmd'"),
        (lambda cs: cs.ShellRunner().run(["x"], timeout=1, shell=True),
         "run() got an unexpected keyword argument 'shell'"),
        (lambda cs: cs.threshold_for("a", gpu_type="b"),
         "threshold_for() got multiple values for keyword argument 'gpu_type'"),
        (lambda cs: cs.threshold_for("a", "b", gpu="c"),
         "threshold_for() got an unexpected keyword argument 'gpu'"),
    ],
    ids=lambda v: v if isinstance(v, str) else None,
)
def test_binding_messages(cs, call, message):
    assert _message(call, cs) == message


@pytest.mark.parametrize(
    "call, message",
    [
        # too many positionals beat everything else
        (lambda cs: cs.threshold_for(None, None, None, bogus=1),
         "threshold_for() takes exactly 2 positional arguments (3 given)"),
        # keywords are examined in call order
        (lambda cs: cs.threshold_for("a", bogus=1, gpu_type="b"),
         "threshold_for() got an unexpected keyword argument 'bogus'"),
        (lambda cs: cs.threshold_for("a", gpu_type="b", bogus=1),
         "threshold_for() got multiple values for keyword argument 'gpu_type'"),
        # keyword errors come before missing arguments
        (lambda cs: cs.threshold_for(bogus=1),
         "threshold_for() got an unexpected keyword argument 'bogus'"),
        (lambda cs: cs.ShellRunner().run(bogus=1),
         "run() got an unexpected keyword argument 'bogus'"),
        # a missing argument comes before a wrong type in an earlier one
        (lambda cs: cs.parse_nccl_table(None),
         "parse_nccl_table() takes exactly 2 positional arguments (1 given)"),
        (lambda cs: cs.threshold_for(gpu_type=None),
         "threshold_for() takes exactly 2 positional arguments (1 given)"),
        # missing positional before missing keyword-only
        (lambda cs: cs.ShellRunner().run(),
         "run() takes exactly 2 positional arguments (1 given)"),
        (lambda cs: cs.ShellRunner().run(None),
         "run() needs keyword-only argument timeout"),
        # conversions (in parameter order) before type tests
        (lambda cs: cs.ShellRunner().run(None, timeout="x", input_text=5),
         refusal("timeout", "int", "str")),
        (lambda cs: cs.ShellRunner().run(None, timeout=1.5, input_text=5),
         refusal("cmd", "list", "NoneType")),
        (lambda cs: cs.ShellRunner().run([], timeout=1, input_text=5),
         refusal("input_text", "str", "int")),
        # type tests in parameter order, whatever the keyword order
        (lambda cs: cs.parse_nccl_table(collective=1, text=2),
         refusal("text", "str", "int")),
        (lambda cs: cs.threshold_for(scope=None, gpu_type=MyStr("x")),
         refusal("gpu_type", "str", "MyStr", SUBCLASS_NOTE)),
        (lambda cs: cs.classify("300", None),
         refusal("busbw_gbps", "float", "str")),
    ],
    ids=lambda v: v if isinstance(v, str) else None,
)
def test_binding_order_of_errors(cs, call, message):
    assert _message(call, cs) == message


def test_conversion_error_comes_before_type_test(cs):
    with pytest.raises(ValueError):
        cs.ShellRunner().run(None, timeout=float("nan"))


def test_functions_are_ordinary_callables(cs):
    import functools
    import pydoc

    expected = cs.Threshold(320.0, 250.0)
    assert callable(cs.threshold_for)
    assert cs.threshold_for.__call__("H100_SXM", "intra") == expected
    assert functools.partial(cs.threshold_for, "H100_SXM")("intra") == expected
    assert cs.threshold_for(*["H100_SXM"], **{"scope": "intra"}) == expected
    assert list(map(cs.collective_name_for_binary, cs.COLLECTIVES)) == [
        "all_reduce", "all_gather", "reduce_scatter", "broadcast"]
    assert "threshold_for(str gpu_type: str, str scope: str)" in pydoc.render_doc(
        cs.threshold_for, renderer=pydoc.plaintext)
    assert "parse_nccl_table" in pydoc.render_doc(cs, renderer=pydoc.plaintext)


def test_keywords_must_be_strings(cs):
    with pytest.raises(TypeError) as exc:
        cs.threshold_for("a", "b", **{1: 2})
    assert "keywords must be strings" in str(exc.value)


@pytest.mark.parametrize(
    "call",
    [
        lambda cs: cs.threshold_for(gpu_type="H100_SXM", scope="intra"),
        lambda cs: cs.threshold_for(scope="intra", gpu_type="H100_SXM"),
        lambda cs: cs.threshold_for("H100_SXM", scope="intra"),
    ],
)
def test_arguments_by_position_or_name(cs, call):
    assert call(cs) == cs.Threshold(320.0, 250.0)


def test_keywords_by_name_everywhere(cs):
    assert cs.parse_nccl_table(collective="c", text="8 2 1.0 2.0 3.0 0") == [
        cs.NcclResult("c", 8, 3.0, 2.0, 1.0, 0)]
    assert cs.collective_name_for_binary(binary="all_gather_perf") == "all_gather"
    assert cs._to_int(raw="12") == 12
    assert cs.classify(thr=None, busbw_gbps=None) == "unknown"
    report = cs.NcclReport(error="x")
    assert cs._finalize_status(report=report) is None
    assert report.status == "error"


def test_refused_call_has_no_effect(cs, monkeypatch):
    calls = []
    monkeypatch.setattr(cs, "threshold_for", lambda *a, **k: calls.append(a) or None)
    report = cs.NcclReport()
    with pytest.raises(TypeError):
        cs._finalize_status(report, report)
    assert calls == []
    assert report.status == "unknown"


# ---------------------------------------------------------------------------
# Late binding of module names


def test_late_binding_of_the_override_loader(cs, monkeypatch):
    monkeypatch.setattr(cs, "_load_threshold_overrides",
                        lambda: {"X9:intra": {"pass_min_gbps": 5, "warn_min_gbps": "2.5"}})
    thr = cs.threshold_for("X9", "intra")
    assert thr == cs.Threshold(5.0, 2.5)
    assert type(thr.pass_min_gbps) is float and type(thr.warn_min_gbps) is float


def test_late_binding_of_the_tables(cs, monkeypatch):
    monkeypatch.setattr(cs, "_INTRA_NODE_THRESHOLDS",
                        {"ZZ": {"pass_min_gbps": 9.0, "warn_min_gbps": 8.0}})
    monkeypatch.setattr(cs, "_MULTI_NODE_THRESHOLDS", {})
    assert cs.threshold_for("ZZ", "intra") == cs.Threshold(9.0, 8.0)
    assert cs.threshold_for("H100_SXM", "intra") is None
    assert cs.threshold_for("H100_SXM", "multi") is None


def _normalise(fields, args, kwargs):
    values = dict(zip(fields, args))
    values.update(kwargs)
    return values


def test_late_binding_of_threshold_type(cs, monkeypatch):
    made = []

    def fake_threshold(*args, **kwargs):
        made.append(_normalise(["pass_min_gbps", "warn_min_gbps"], args, kwargs))
        return "sentinel"

    monkeypatch.setattr(cs, "Threshold", fake_threshold)
    assert cs.threshold_for("H100_SXM", "multi") == "sentinel"
    assert made == [{"pass_min_gbps": 150.0, "warn_min_gbps": 80.0}]


def test_late_binding_of_result_type(cs, monkeypatch):
    fields = ["collective", "size_bytes", "busbw_gbps", "algbw_gbps", "latency_us", "wrong"]
    made = []

    def fake_result(*args, **kwargs):
        made.append(_normalise(fields, args, kwargs))
        return len(made)

    monkeypatch.setattr(cs, "NcclResult", fake_result)
    rows = cs.parse_nccl_table("8 2 1.5 2.5 3.5 0\n16 4 4.5 5.5 6.5 1\n", "all_reduce")
    assert rows == [1, 2]
    assert made[1] == {"collective": "all_reduce", "size_bytes": 16, "busbw_gbps": 6.5,
                       "algbw_gbps": 5.5, "latency_us": 4.5, "wrong": 1}


def test_late_binding_in_finalize(cs, monkeypatch):
    looked_up = []

    def fake_threshold_for(*args, **kwargs):
        looked_up.append(_normalise(["gpu_type", "scope"], args, kwargs))
        return "THR"

    graded = []

    def fake_classify(*args, **kwargs):
        graded.append(_normalise(["busbw_gbps", "thr"], args, kwargs))
        return "graded"

    monkeypatch.setattr(cs, "threshold_for", fake_threshold_for)
    monkeypatch.setattr(cs, "classify", fake_classify)
    report = cs.NcclReport(gpu_type="G", scope="S",
                           results=[cs.NcclResult("all_reduce", 8, 42.0, 1.0, 1.0, 0)])
    cs._finalize_status(report)
    assert looked_up == [{"gpu_type": "G", "scope": "S"}]
    assert graded == [{"busbw_gbps": 42.0, "thr": "THR"}]
    assert (report.threshold, report.status) == ("THR", "graded")


def test_late_binding_of_label_map(cs, monkeypatch):
    monkeypatch.setattr(cs, "_COLLECTIVE_NAME_FROM_BIN", {"broadcast_perf": "bcast"})
    assert cs.collective_name_for_binary("/b/broadcast_perf") == "bcast"
    assert cs.collective_name_for_binary("all_reduce_perf") == "all_reduce"


def test_late_binding_of_os(cs, monkeypatch):
    fake_os = SimpleNamespace(
        path=SimpleNamespace(basename=lambda p: "all_gather_perf"),
        environ={"QUORVANE_NCCL_THRESHOLD_OVERRIDES":
                 '{"Q1:intra": {"pass_min_gbps": 3, "warn_min_gbps": 2}}'},
        sep="/",
    )
    fake_os.getenv = lambda key, default=None: fake_os.environ.get(key, default)
    monkeypatch.setattr(cs, "os", fake_os)
    assert cs.collective_name_for_binary("whatever") == "all_gather"
    assert cs.threshold_for("Q1", "intra") == cs.Threshold(3.0, 2.0)


def test_missing_module_name_raises_name_error(cs, monkeypatch):
    monkeypatch.delattr(cs, "Threshold")
    with pytest.raises(NameError):
        cs.threshold_for("H100_SXM", "intra")


# ---------------------------------------------------------------------------
# Module life: reload and re-import


def test_reload_keeps_the_module_and_replaced_attributes(cs, monkeypatch):
    originals = {name: getattr(cs, name) for name in ("NcclResult", "threshold_for", "_NUMERIC")}
    marker = lambda binary: "replaced"  # noqa: E731
    monkeypatch.setattr(cs, "collective_name_for_binary", marker)
    again = importlib.reload(cs)
    assert again is cs
    assert cs.collective_name_for_binary is marker
    for name, value in originals.items():
        assert getattr(cs, name) is value


def test_reimport_after_removal_gives_the_same_module(cs, monkeypatch):
    originals = {name: getattr(cs, name) for name in ("NcclReport", "classify", "COLLECTIVES")}
    marker = object()
    monkeypatch.setattr(cs, "_COLLECTIVE_NAME_FROM_BIN", marker)
    monkeypatch.delitem(sys.modules, MODULE)
    again = importlib.import_module(MODULE)
    assert again is cs
    assert sys.modules[MODULE] is cs
    assert cs._COLLECTIVE_NAME_FROM_BIN is marker
    for name, value in originals.items():
        assert getattr(cs, name) is value


def _run_child(code):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)],
                          capture_output=True, text=True, timeout=60)


def test_fresh_process_import_and_subinterpreter_refusal():
    child = _run_child(
        """
        import quorvane.collsweep as cs
        print(cs.classify(400, cs.threshold_for("H100_SXM", "intra")))
        try:
            import _xxsubinterpreters as interpreters
        except ImportError:
            print("no-subinterpreters")
            raise SystemExit(0)
        interp = interpreters.create()
        try:
            interpreters.run_string(interp, "import quorvane.collsweep")
        except Exception as exc:
            print("refused:", exc)
        else:
            print("imported")
        """
    )
    assert child.returncode == 0, child.stderr
    lines = child.stdout.splitlines()
    assert lines[0] == "pass"
    if lines[1] != "no-subinterpreters":
        assert lines[1].startswith("refused:")
        assert ("Interpreter change detected - this module can only be loaded into one "
                "interpreter per process.") in lines[1]
