"""The type stub that ships beside the extension: it must describe what the module
really is (names, signatures, annotations, record fields), and type checkers must
find and use it."""
import ast
import dataclasses
import importlib
import importlib.util
import inspect
import re
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import quorvane.collsweep as cs

PACKAGE = Path(cs.__file__).parent
STUB = PACKAGE / "collsweep.pyi"
TREE = ast.parse(STUB.read_text(encoding="utf-8")) if STUB.is_file() else ast.Module(body=[], type_ignores=[])


def norm(annotation):
    """Annotation text without quotes and blanks: "Optional['ShellRunner']" == Optional[ShellRunner]."""
    return re.sub(r"[\s'\"]", "", annotation)


def stub_entries():
    entries = {}
    for node in TREE.body:
        if isinstance(node, (ast.Import, ast.ImportFrom)):
            for alias in node.names:
                entries[alias.asname or alias.name] = node
        elif isinstance(node, ast.AnnAssign):
            entries[node.target.id] = node
        elif isinstance(node, (ast.FunctionDef, ast.ClassDef)):
            entries[node.name] = node
    return entries


ENTRIES = stub_entries()
RUNTIME = sorted(n for n in vars(cs) if not (n.startswith("__") and n.endswith("__")))


def test_stub_and_marker_are_installed():
    assert STUB.is_file(), f"{STUB} is not installed"
    assert (PACKAGE / "py.typed").is_file()


def test_stub_names_every_attribute_and_nothing_else():
    assert sorted(ENTRIES) == RUNTIME


def _stub_functions():
    out = []
    for name, node in ENTRIES.items():
        if isinstance(node, ast.FunctionDef):
            out.append(pytest.param(name, node, id=name))
        elif isinstance(node, ast.ClassDef):
            out += [pytest.param(f"{name}.{m.name}", m, id=f"{name}.{m.name}")
                    for m in node.body if isinstance(m, ast.FunctionDef)]
    return out


def _stub_params(node):
    a = node.args
    params = []
    positional = a.posonlyargs + a.args
    first_default = len(positional) - len(a.defaults)
    for i, arg in enumerate(positional):
        default = a.defaults[i - first_default] if i >= first_default else None
        params.append((arg.arg, inspect.Parameter.POSITIONAL_OR_KEYWORD, arg.annotation, default))
    for arg, default in zip(a.kwonlyargs, a.kw_defaults):
        params.append((arg.arg, inspect.Parameter.KEYWORD_ONLY, arg.annotation, default))
    return params


@pytest.mark.parametrize("qualname,node", _stub_functions())
def test_function_signature_matches(qualname, node):
    obj = cs
    for part in qualname.split("."):
        obj = getattr(obj, part)
    sig = inspect.signature(obj)
    stub = _stub_params(node)
    assert [p.name for p in sig.parameters.values()] == [s[0] for s in stub]
    for param, (name, kind, annotation, default) in zip(sig.parameters.values(), stub):
        assert param.kind == kind, name
        if name == "self":
            continue
        assert norm(ast.unparse(annotation)) == norm(param.annotation), name
        assert (default is None) == (param.default is inspect.Parameter.empty), name
        if isinstance(default, ast.Constant) and default.value is not Ellipsis:
            assert param.default == default.value, name
    assert norm(ast.unparse(node.returns)) == norm(sig.return_annotation)


def _stub_classes():
    return [pytest.param(n, node, id=n) for n, node in ENTRIES.items() if isinstance(node, ast.ClassDef)]


@pytest.mark.parametrize("name,node", _stub_classes())
def test_class_matches(name, node):
    cls = getattr(cs, name)
    assert [ast.unparse(b) for b in node.bases] == [b.__name__ for b in cls.__bases__ if b is not object]
    decorators = [d for d in node.decorator_list if "dataclass" in ast.unparse(d)]
    assert bool(decorators) == dataclasses.is_dataclass(cls)
    if not decorators:
        return
    frozen = any(k.arg == "frozen" and k.value.value is True for d in decorators
                 if isinstance(d, ast.Call) for k in d.keywords)
    assert frozen == cls.__dataclass_params__.frozen
    fields = [n for n in node.body if isinstance(n, ast.AnnAssign)]
    runtime = dataclasses.fields(cls)
    assert [f.target.id for f in fields] == [f.name for f in runtime]
    for stub_field, field in zip(fields, runtime):
        assert norm(ast.unparse(stub_field.annotation)) == norm(field.type), field.name
        value = stub_field.value
        if value is None:
            assert field.default is dataclasses.MISSING and field.default_factory is dataclasses.MISSING
        elif isinstance(value, ast.Call):  # field(default_factory=...)
            factory = {k.arg: ast.unparse(k.value) for k in value.keywords}["default_factory"]
            assert field.default_factory.__name__ == factory, field.name
        else:
            assert field.default == ast.literal_eval(value), field.name


def _conforms(value, annotation):
    """Enough of a type check for the module's constants."""
    if isinstance(annotation, ast.Name):
        return type(value) is {"int": int, "str": str, "float": float}[annotation.id]
    if isinstance(annotation, ast.Attribute):  # re.Pattern
        return isinstance(value, re.Pattern)
    base, args = ast.unparse(annotation.value), annotation.slice
    items = args.elts if isinstance(args, ast.Tuple) else [args]
    if base == "tuple":
        if type(value) is not tuple:
            return False
        if len(items) == 2 and isinstance(items[1], ast.Constant) and items[1].value is Ellipsis:
            return all(_conforms(v, items[0]) for v in value)
        return len(value) == len(items) and all(_conforms(v, a) for v, a in zip(value, items))
    if base == "dict":
        return type(value) is dict and all(_conforms(k, items[0]) and _conforms(v, items[1])
                                           for k, v in value.items())
    if base == "re.Pattern":
        return isinstance(value, re.Pattern) and isinstance(value.pattern, str)
    raise AssertionError(f"no check for {ast.unparse(annotation)}")


@pytest.mark.parametrize("name", [n for n, node in ENTRIES.items() if isinstance(node, ast.AnnAssign)])
def test_constant_types(name):
    assert _conforms(getattr(cs, name), ENTRIES[name].annotation)


@pytest.mark.parametrize("name", [n for n, node in ENTRIES.items() if isinstance(node, (ast.Import, ast.ImportFrom))])
def test_reexported_imports(name):
    node = ENTRIES[name]
    alias = next(a for a in node.names if (a.asname or a.name) == name)
    if isinstance(node, ast.Import):
        assert getattr(cs, name) is importlib.import_module(alias.name)
    else:
        assert getattr(cs, name) is getattr(importlib.import_module(node.module), alias.name)


GOOD = '''\
from typing import Optional

import quorvane.collsweep as cs


class CannedRunner(cs.ShellRunner):
    def run(self, cmd: list[str], *, timeout: int, input_text: Optional[str] = None) -> cs.ShellResult:
        return cs.ShellResult(returncode=0, stdout="", stderr="")


def grade(rows: list[cs.NcclResult]) -> str:
    report = cs.NcclReport(gpu_type="H100_SXM", gpus_per_node=8, results=rows)
    cs._finalize_status(report)
    best: Optional[float] = report.headline_all_reduce_busbw()
    thr: Optional[cs.Threshold] = cs.threshold_for("H100_SXM", "intra")
    return cs.classify(best, thr) + report.status


def sweep() -> dict[str, object]:
    one = cs.launch_intra_node(8, "H100_SXM", timeout_s=60, runner=CannedRunner())
    many = cs.launch_multi_node(["10.0.0.1", "10.0.0.2"], 8, "H100_SXM", launcher_mode="srun")
    cmd: list[str] = cs._build_multi_node_command(
        mode="ssh", binary="/x/all_reduce_perf", node_ips=["a", "b"], gpus_per_node=8,
        total_ranks=16, cfg=cs._LauncherConfig())
    path: Optional[str] = cs._resolve_binary("all_reduce_perf", "/opt/nccl-tests/build")
    topo = cs.parse_nccl_topo_xml("<system/>")
    rows = cs.parse_nccl_table("", "all_reduce")
    return {"one": one.to_dict(), "many": many.to_dict(), "cmd": cmd, "path": path,
            "topo": topo, "rows": [r.to_dict() for r in rows], "sizes": cs.SWEEP_SIZES}
'''

# Each line is a mistake the stub must catch.
BAD = '''\
import quorvane.collsweep as cs

a: int = cs.threshold_for("H100_SXM", "intra")
b = cs.launch_intra_node("8", "H100_SXM")
c = cs.launch_multi_node(("h1", "h2"), 8, "H100_SXM")
d = cs._build_multi_node_command("srun")
e = cs.NcclResult("all_reduce", 8, 1.0, 1.0, 1.0, 0); e.wrong = 1
f: str = cs.NcclReport().headline_all_reduce_busbw()
'''


@pytest.mark.skipif(importlib.util.find_spec("mypy") is None, reason="mypy is not installed")
def test_mypy_strict_uses_the_stub(tmp_path):
    (tmp_path / "good.py").write_text(GOOD)
    (tmp_path / "bad.py").write_text(BAD)
    r = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-error-summary",
                        "--cache-dir", str(tmp_path / ".cache"), "good.py", "bad.py"],
                       cwd=tmp_path, capture_output=True, text=True, timeout=300)
    errors = [line for line in r.stdout.splitlines() if ": error:" in line]
    assert not [e for e in errors if not e.startswith("bad.py:")], r.stdout + r.stderr
    flagged = {int(e.split(":")[1]) for e in errors}
    assert flagged == set(range(3, 3 + len(BAD.splitlines()) - 2)), textwrap.indent(r.stdout, "  ")
