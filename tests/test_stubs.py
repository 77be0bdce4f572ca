"""The type stub that ships beside the extension: it must describe what the module
really is, and type checkers must find and use it."""
import __future__
import dataclasses
import importlib.util
import inspect
import re
import subprocess
import sys
import types
from pathlib import Path

import pytest

import quorvane.collsweep as cs

PACKAGE = Path(cs.__file__).parent


def norm(annotation):
    """Annotation text without quotes and blanks: "Optional['ShellRunner']" == Optional[ShellRunner]."""
    return re.sub(r"[\s'\"]", "", annotation if isinstance(annotation, str) else repr(annotation))


def same_signature(stub_fn, real_fn):
    """Names, kinds, annotations and defaults agree; a stub default of `...` stands for any default."""
    stub, real = inspect.signature(stub_fn), inspect.signature(real_fn)
    if norm(stub.return_annotation) != norm(real.return_annotation) or len(stub.parameters) != len(real.parameters):
        return False
    return all((s.name, s.kind, norm(s.annotation)) == (r.name, r.kind, norm(r.annotation))
               and (s.default == r.default or (s.default is ... and r.default is not r.empty))
               for s, r in zip(stub.parameters.values(), real.parameters.values()))


def record(cls):
    fields = [(f.name, norm(f.type), f.default, f.default_factory) for f in dataclasses.fields(cls)]
    return cls.__dataclass_params__.frozen, fields


def test_stub_describes_every_attribute(monkeypatch):
    assert (PACKAGE / "py.typed").is_file()
    # Run the stub as a module, annotations kept as text like the extension's own.
    code = compile((PACKAGE / "collsweep.pyi").read_text(encoding="utf-8"), "collsweep.pyi", "exec",
                   flags=__future__.annotations.compiler_flag, dont_inherit=True)
    module = types.ModuleType("stub")
    monkeypatch.setitem(sys.modules, "stub", module)  # dataclasses look their module up
    exec(code, module.__dict__)
    constants = module.__dict__.pop("__annotations__")
    stub = {n: v for n, v in vars(module).items() if not n.startswith("__")}
    assert sorted([*stub, *constants]) == sorted(n for n in vars(cs) if not (n.startswith("__") and n.endswith("__")))

    for name, annotation in constants.items():
        value, head = getattr(cs, name), norm(annotation).partition("[")[0]
        assert head in (type(value).__name__, f"re.{type(value).__name__}"), name
        if head == "tuple" and "..." not in annotation:
            assert len(value) == annotation.count(",") + 1, name
    for name, obj in stub.items():
        real = getattr(cs, name)
        if getattr(obj, "__module__", None) != "stub":  # imported: the very same object
            assert real is obj, name
        elif inspect.isfunction(obj):
            assert same_signature(obj, real), name
        else:
            assert [b.__name__ for b in obj.__bases__] == [b.__name__ for b in real.__bases__], name
            for method in (m for m, f in vars(obj).items() if inspect.isfunction(f) and not m.startswith("__")):
                assert same_signature(getattr(obj, method), getattr(real, method)), f"{name}.{method}"
            if dataclasses.is_dataclass(obj) or dataclasses.is_dataclass(real):  # fields() refuses a non-record
                assert record(obj) == record(real), name


GOOD = '''\
from typing import Optional
import quorvane.collsweep as cs

class Canned(cs.ShellRunner):
    def run(self, cmd: list[str], *, timeout: int, input_text: Optional[str] = None) -> cs.ShellResult:
        return cs.ShellResult(returncode=0, stdout="", stderr="")

report = cs.launch_intra_node(8, "H100_SXM", timeout_s=60, runner=Canned())
best: Optional[float] = report.headline_all_reduce_busbw()
verdict: str = cs.classify(best, cs.threshold_for("H100_SXM", "intra"))
rows: list[cs.NcclResult] = cs.parse_nccl_table("", "all_reduce")
cmd: list[str] = cs._build_binary_command("all_reduce_perf", 8, cs._LauncherConfig())
'''
BAD = '''\
import quorvane.collsweep as cs
a: int = cs.threshold_for("H100_SXM", "intra")
b = cs.launch_intra_node("8", "H100_SXM")
c = cs._build_multi_node_command("srun")
d = cs.NcclResult("all_reduce", 8, 1.0, 1.0, 1.0, 0); d.wrong = 1
'''


@pytest.mark.skipif(importlib.util.find_spec("mypy") is None, reason="mypy is not installed")
def test_mypy_strict_uses_the_stub(tmp_path):
    (tmp_path / "good.py").write_text(GOOD)
    (tmp_path / "bad.py").write_text(BAD)
    r = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-error-summary", "--cache-dir",
                        str(tmp_path / ".cache"), "good.py", "bad.py"], cwd=tmp_path, capture_output=True,
                       text=True, timeout=300)
    flagged = {tuple(line.split(":")[:2]) for line in r.stdout.splitlines() if ": error:" in line}
    assert flagged == {("bad.py", str(n)) for n in range(2, 6)}, r.stdout + r.stderr  # every bad line, no good one
