"""What Python sees of quorvane.collsweep: the shipped stub against the module,
argument binding and checking on random calls of every callable, late binding
of module names, module life, and calls that must raise instead of crashing."""

import inspect
import os
import re
import runpy
import subprocess
import sys
import textwrap
from decimal import Decimal
from fractions import Fraction
from types import SimpleNamespace

import pytest
from conftest import REPO, fuzz
from hypothesis import given
from hypothesis import strategies as st

import oracle

def child(code, *args, env=None):
    return subprocess.run([sys.executable, *args, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          timeout=120, env=env)


def test_stub_is_what_the_module_declares(cs):
    """The committed stub (names in import order, signatures, docstrings,
    record fields) is what src/collsweep/stubgen.py reads off the module."""
    render = runpy.run_path(str(REPO / "src" / "collsweep" / "stubgen.py"))["render"]
    stub = (REPO / "python" / "quorvane" / "collsweep.pyi").read_text()
    assert render(cs) == stub, "regenerate: python3 src/collsweep/stubgen.py > python/quorvane/collsweep.pyi"
    assert (REPO / "python" / "quorvane" / "py.typed").is_file()


def test_shared_object_exports_only_its_init_function(cs):
    out = subprocess.run(["nm", "-D", "--defined-only", cs.__file__], capture_output=True, text=True, timeout=30)
    assert [line.split()[-1] for line in out.stdout.splitlines()] == ["PyInit_collsweep"], out.stderr


# ---------------------------------------------------------------------------
# Binding and checking: random calls of every callable against tests/oracle.py


def params_of(fn):
    """(name, kind, keyword-only, required) per parameter; the kind is the type
    word that the docstring's signature line puts before a checked parameter."""
    line = fn.__doc__.split("\n", 1)[0]
    params = []
    for p in inspect.signature(fn).parameters.values():
        kind = re.search(rf"(?:\b(str|list|int|float) )?\b{p.name}\b(?=[:,)])", line).group(1)
        if kind == "str" and re.search(r"None|Optional", str(p.annotation)):
            kind = "str?"
        params.append((p.name, kind, p.kind is p.KEYWORD_ONLY, p.default is p.empty))
    return params


def callables(cs):
    ours = type(cs.parse_nccl_table)
    found = {name: f for name, f in vars(cs).items() if type(f) is ours}
    for cls in (cs.NcclResult, cs.NcclReport, cs.ShellRunner, cs.LocalShellRunner):
        found.update({f"{cls.__name__}.{name}": f for name, f in vars(cls).items() if type(f) is ours})
    return found


MyStr, MyList, MyInt = (type("My" + t.__name__.title(), (t,), {}) for t in (str, list, int))


class Raising:
    def _boom(self, *args):
        raise ArithmeticError("boom")

    __index__ = __int__ = __float__ = __bool__ = __eq__ = __lt__ = __str__ = __len__ = __iter__ = _boom
    __hash__ = object.__hash__


ODD = [object(), MyStr("H100_SXM"), MyList(["/bin/true"]), MyInt(3), Decimal("2.5"), Fraction(7, 2), 1j, Raising(),
       b"x", ("t",), float("nan"), 10 ** 400, True, "", "\ud800", ["a"], [1, None], None, len]
ANY = st.sampled_from(ODD) | st.integers() | st.floats() | st.text(max_size=6)
WELL = {"str": ["H100_SXM", "intra", "/x/y_perf", MyStr("intra")], "str?": [None, "srun", "", MyStr()],
        "list": [[], ["h1", "h2"], MyList()], "int": [0, 8, True, 2.9], "float": [None, 300.0, 300, Fraction(1, 3)],
        None: [None]}


def value_for(name, kind):
    if name == "cmd":  # only programs that do nothing, or none
        return st.sampled_from([["/bin/true"], ["/nonexistent/quorvane-fuzz"], ()])
    return st.one_of(st.sampled_from(WELL[kind]), st.sampled_from(WELL[kind]), ANY)


@st.composite
def calls(draw, table):
    """A call: some parameters by position, some by keyword (names as fresh
    strings, as a caller's ** gives them), some left out; now and then an
    argument too many, an unknown keyword or a doubled one."""
    name = draw(st.sampled_from(sorted(table)))
    params = table[name][1]
    npos = sum(1 for p in params if not p[2])
    args = [draw(value_for(*p[:2])) for p in params[:draw(st.integers(0, npos))]]
    kwargs = {"".join(list(p[0])): draw(value_for(*p[:2])) for p in params[len(args):]
              if draw(st.integers(0, 9)) < (9 if p[3] else 5)}
    extra = draw(st.sampled_from([None] * 8 + ["more", "zzz", "double"]))
    if extra == "more":
        args += [draw(ANY) for _ in range(npos - len(args) + 1)]
    elif extra and (extra == "zzz" or args):
        kwargs[extra if extra == "zzz" else params[0][0]] = draw(ANY)
    return name, args, {k: kwargs[k] for k in draw(st.permutations(list(kwargs)))}


@fuzz(300)
@given(data=st.data())
def test_every_callable_binds_and_checks_like_the_rules(cs, monkeypatch, data):
    monkeypatch.setattr(cs, "_resolve_binary", lambda name, root: None)  # no sweep starts anything
    table = {name: (fn, params_of(fn)) for name, fn in callables(cs).items()}
    name, args, kwargs = data.draw(calls(table))
    fn, params = table[name]
    expected = oracle.bind_error(fn.__name__, params, args, kwargs)
    try:
        fn(*args, **kwargs)
    except Exception as exc:  # noqa: BLE001 - a call that passed the checks may fail its own way
        assert not isinstance(exc, SystemError) and (expected or "incorrect type" not in str(exc)), exc
        assert expected is None or (type(exc), str(exc) if expected[1] else None) == expected, (exc, expected)
        return
    assert expected is None, expected


@pytest.mark.parametrize("call, expected", [
    (lambda cs: cs._build_binary_command("b", 8.9, cs._LauncherConfig())[8], "8"),
    (lambda cs: cs._build_multi_node_command(mode="srun", binary="b", node_ips=[], gpus_per_node=True,
                                             total_ranks=2 ** 70, cfg=cs._LauncherConfig())[2:4],
     ["--ntasks=1180591620717411303424", "--ntasks-per-node=1"]),
    (lambda cs: cs.classify(None, cs.Threshold(1.0, 0.0)), "unknown"),
    (lambda cs: getattr(cs.NcclReport(), "to_dict")()["status"], "unknown"),  # bound through the descriptor
    (lambda cs: cs._shared_prefix_len([], MyList()),
     "Argument 'b' has incorrect type (expected list, got MyList). Subclasses of built-in types are refused."),
    # the count of a missing positional: those filled, in order, before the first gap
    (lambda cs: cs.threshold_for(gpu_type="x"), "threshold_for() takes exactly 2 positional arguments (1 given)"),
    (lambda cs: cs._build_multi_node_command(**{"".join(["mo", "de"]): "srun"}),
     "_build_multi_node_command() needs keyword-only argument binary"),
])
def test_calls(cs, call, expected):
    try:
        result = call(cs)
    except TypeError as exc:
        result = str(exc)
    assert result == expected


# ---------------------------------------------------------------------------
# Late binding: every call reads module names afresh; defaults were fixed at import


LATE = [  # (name, replacement, call, what the call gives then)
    ("_load_threshold_overrides", lambda cs: lambda: {"X:intra": {"pass_min_gbps": 5, "warn_min_gbps": "2.5"}},
     lambda cs: cs.threshold_for("X", "intra"), lambda cs: cs.Threshold(5.0, 2.5)),
    ("_INTRA_NODE_THRESHOLDS", lambda cs: {"ZZ": {"pass_min_gbps": 9.0, "warn_min_gbps": 8.0}, "EMPTY": {}},
     lambda cs: [cs.threshold_for(g, "intra") for g in ("ZZ", "EMPTY")], lambda cs: [cs.Threshold(9.0, 8.0), None]),
    ("Threshold", lambda cs: lambda *a: a, lambda cs: cs.threshold_for("H100_SXM", "multi"), lambda cs: (150.0, 80.0)),
    ("_COLLECTIVE_NAME_FROM_BIN", lambda cs: {"x_perf": "X"}, lambda cs: cs.collective_name_for_binary("/b/x_perf"),
     lambda cs: "X"),
    ("os", lambda cs: SimpleNamespace(path=SimpleNamespace(basename=lambda p: "all_gather_perf"), environ={
        "QUORVANE_NCCL_THRESHOLD_OVERRIDES": '{"Q:intra": {"pass_min_gbps": 3, "warn_min_gbps": 2}}', "SLURM_JOB_ID": "7"}),
     lambda cs: (cs.collective_name_for_binary("x"), cs.threshold_for("Q", "intra"), cs._select_launcher_mode()),
     lambda cs: ("all_gather", cs.Threshold(3.0, 2.0), "srun")),
    ("COLLECTIVES", lambda cs: ("x_perf",), lambda cs: cs.launch_intra_node.__kwdefaults__["collectives"][0],
     lambda cs: "all_reduce_perf"),
]


@pytest.mark.parametrize("name, replacement, call, expected", LATE, ids=[e[0] for e in LATE])
def test_replaced_module_attribute_is_used_by_the_next_call(cs, monkeypatch, name, replacement, call, expected):
    before, want = call(cs), expected(cs)
    with monkeypatch.context() as patch:
        patch.setattr(cs, name, replacement(cs))
        assert call(cs) == want
    assert call(cs) == before


def test_names_fall_back_to_builtins_then_fail(cs, monkeypatch):
    import builtins

    monkeypatch.delattr(cs, "Threshold")
    with pytest.raises(NameError, match="'Threshold'"):
        cs.threshold_for("H100_SXM", "intra")
    monkeypatch.setattr(builtins, "Threshold", lambda *a: a, raising=False)
    assert cs.threshold_for("H100_SXM", "intra") == (320.0, 250.0)


# ---------------------------------------------------------------------------
# Module life


def test_module_life():
    done = child("""
        import ctypes, importlib, sys, types, _xxsubinterpreters as interpreters
        sys.modules["xml.etree.ElementTree"] = None
        try:
            import quorvane.collsweep
        except ImportError as exc:
            print("failed:", exc)
        del sys.modules["xml.etree.ElementTree"]
        import quorvane.collsweep as cs
        print(cs.classify(400, cs.threshold_for("H100_SXM", "intra")), cs.ET.__name__)
        cs.classify = len
        reloaded = importlib.reload(cs)
        del sys.modules["quorvane.collsweep"]
        print(reloaded is cs is importlib.import_module("quorvane.collsweep"), cs.classify is len)
        api = ctypes.pythonapi
        api.PyModule_GetDef.restype, api.PyModule_GetDef.argtypes = ctypes.c_void_p, [ctypes.py_object]
        api.PyModule_ExecDef.argtypes = [ctypes.py_object, ctypes.c_void_p]
        for module in (cs, types.ModuleType("other")):
            try:
                print(api.PyModule_ExecDef(module, api.PyModule_GetDef(cs)))
            except RuntimeError as exc:
                print(exc)
        try:
            interpreters.run_string(interpreters.create(), "import quorvane.collsweep")
        except Exception as exc:
            print(exc)
    """)
    assert done.stdout.splitlines()[1:] == [
        "pass xml.etree.ElementTree", "True True", "0",
        "Module 'collsweep' has already been imported. Re-initialisation is not supported.",
        "<class 'ImportError'>: Interpreter change detected - this module can only be loaded into one interpreter "
        "per process."], done.stderr
    assert done.stdout.startswith("failed: ") and "xml.etree.ElementTree" in done.stdout.splitlines()[0]


# ---------------------------------------------------------------------------
# Calls that run Python code while the module holds objects, under the debug
# allocator (freed memory is overwritten, so a use after free crashes)

HOSTILE_CALLS = {  # Python code run by the module while it holds objects
    "override-cutoff-clears-the-document": ("""
        import json, os, quorvane.collsweep as cs
        doc = {}
        class Cut:
            def __float__(self):
                return doc.clear() or 1.0
        json.loads = lambda text: doc.update({"A:" + text: {"pass_min_gbps": Cut(), "warn_min_gbps": float("2.5")}}) or doc
        os.environ["QUORVANE_NCCL_THRESHOLD_OVERRIDES"] = "intra"
        print(cs._load_threshold_overrides())
    """, "{'A:intra': {'pass_min_gbps': 1.0, 'warn_min_gbps': 2.5}}"),
    "numeric-pattern-empties-the-token-list": ("""
        import gc, re, quorvane.collsweep as cs
        class Emptying:
            def fullmatch(self, token):
                [holder.clear() for holder in gc.get_referrers(token) if type(holder) is list]
                return re.fullmatch(r"-?\\d+(?:\\.\\d+)?", token)
        cs._NUMERIC = Emptying()
        print([r.size_bytes for r in cs.parse_nccl_table(" 80 2 1.5 2.5 3.5 0\\n90 3 1.5 2.5 3.5 0", "c")])
    """, "[80, 90]"),
    "deeply-nested-dump": ("""
        import quorvane.collsweep as cs
        n = 200_000
        t = cs.parse_nccl_topo_xml('<system>' + '<pci busid="0">' * n + '<gpu dev="0"/><net name="a"/>' + '</pci>' * n
                                   + '</system>')
        print(t["gpu_nic_affinity"])
    """, "{'0': ['a']}"),
    "dump-of-quadratic-affinity": ("""
        import quorvane.collsweep as cs
        try:
            cs.parse_nccl_topo_xml('<system>' + ''.join(f'<pci busid="{i}"><gpu dev="{i}"/><net name="n{i}"/>'
                                                        for i in range(7000)) + '</pci>' * 7000 + '</system>')
        except MemoryError as exc:
            print(exc)
    """, "topology too large: the GPU-NIC affinity would hold more than 16777216 items"),
    "runaway-recursion": ("""
        import functools, quorvane.collsweep as cs
        cs._load_threshold_overrides = functools.partial(cs.threshold_for, "H100_SXM", "intra")
        try:
            cs.threshold_for("H100_SXM", "intra")
        except RecursionError:
            print("RecursionError")
    """, "RecursionError"),
}


@pytest.mark.parametrize("case", sorted(HOSTILE_CALLS))
def test_hostile_call_returns_or_raises_under_the_debug_allocator(case):
    code, expected = HOSTILE_CALLS[case]
    done = child(code, "-X", "dev", env={**os.environ, "PYTHONMALLOC": "debug"})
    assert (done.returncode, done.stdout.strip()) == (0, expected), done.stderr[-2000:]
