"""Property tests on random input: the parsers never raise where they must not
and agree with the plain-Python readers of bench/baseline.py, and every
callable given random objects either works or refuses them with the TypeError
that the argument checking specifies, and never brings the process down.

The example counts are small so the suite stays quick; bench/fuzz_long.py
runs these same properties with QUORVANE_FUZZ_SCALE raised, for minutes.
"""

import importlib.util
import math
import os
import re
import sys
import xml.etree.ElementTree as StdET
from decimal import Decimal
from fractions import Fraction
from pathlib import Path
from types import SimpleNamespace

import pytest
from hypothesis import HealthCheck, assume, given, settings
from hypothesis import strategies as st

import quorvane.collsweep as cs

SCALE = max(1, int(os.environ.get("QUORVANE_FUZZ_SCALE", "1")))
HEALTH = [HealthCheck.function_scoped_fixture, HealthCheck.too_slow, HealthCheck.data_too_large,
          HealthCheck.filter_too_much]


def examples(n):
    return settings(max_examples=n * SCALE, deadline=None, suppress_health_check=HEALTH)


def _load_baseline():
    path = Path(__file__).resolve().parents[1] / "bench" / "baseline.py"
    loader_spec = importlib.util.spec_from_file_location("quorvane_bench_baseline", path)
    module = importlib.util.module_from_spec(loader_spec)
    loader_spec.loader.exec_module(module)
    return module


baseline = _load_baseline()


def rows_of(rows):
    assert type(rows) is list
    out = []
    for r in rows:
        assert type(r) is cs.NcclResult
        out.append((r.collective, r.size_bytes, r.busbw_gbps, r.algbw_gbps, r.latency_us, r.wrong))
    return out


def expected_rows(text, collective, numeric=baseline.NUMERIC):
    return baseline.parse_nccl_table(text, collective, record=baseline.tuple_row, numeric=numeric)


# ---------------------------------------------------------------------------
# Table text

# Every line boundary of str.splitlines, and white space that is not one.
LINE_BREAKS = ["\n", "\r", "\r\n", "\x0b", "\x0c", "\x1c", "\x1d", "\x1e", "\x85", "\u2028", "\u2029"]
BLANKS = [" ", "  ", "\t", "\x1f", "\xa0", "\u1680", "\u2000", "\u2007", "\u200a", "\u202f", "\u205f", "\u3000"]
# Decimal digits of other scripts (\d and int()/float() take them), digits
# that are not decimal, and other look-alikes.
UNICODE_DIGITS = ["\u0660", "\u0669", "\u06f4", "\u0967", "\u09e6", "\u0e53", "\uff10", "\uff19",
                  "\U0001d7ce", "\U0001d7ff", "\U0001fbf5"]
NOT_DECIMAL = ["\u00b2", "\u2155", "\u2460", "\u216b", "\u0f33", "\U00010107"]
SIGNS_AND_POINTS = ["-", "+", ".", "\u2212", "\u00b7", "\u066b", ",", "e", "E", "_"]
WORDS = ["float", "sum", "none", "N/A", "#wrong", "#", "inf", "nan", "-nan", "0e+00", "1e3", "size", "\x00"]

DIGIT = st.sampled_from("0123456789")
NUMBER = st.builds(
    lambda sign, whole, frac: sign + whole + frac,
    st.sampled_from(["", "", "", "-", "+"]),
    st.text(DIGIT, min_size=1, max_size=8)
    | st.text(DIGIT, min_size=18, max_size=25),  # around the 64-bit limits
    st.sampled_from(["", "", "."]).flatmap(
        lambda p: st.just("") if not p else st.text(DIGIT, min_size=0, max_size=6).map(lambda d: "." + d)),
)


def is_ascii(items):
    return [x for x in items if x.isascii()]


def table_text(ascii_only):
    """Table-like text; ASCII-only text is what the compiled scanner reads, the
    rest goes the general way."""
    pick = is_ascii if ascii_only else list
    others = [] if ascii_only else [st.lists(st.sampled_from(UNICODE_DIGITS + list("0123456789")), min_size=1,
                                             max_size=4).map("".join)]
    token = st.one_of(
        NUMBER, NUMBER, NUMBER, *others,
        st.sampled_from(pick(WORDS + NOT_DECIMAL + SIGNS_AND_POINTS)),
        st.text(st.sampled_from(pick(list("0123456789.-+eE") + UNICODE_DIGITS[:3])), min_size=1, max_size=6),
    )
    separator = st.lists(st.sampled_from(pick(BLANKS)), min_size=1, max_size=3).map("".join)
    line = st.builds(
        lambda lead, tokens, seps, end: lead + "".join(t + s for t, s in zip(tokens, seps)) + end,
        st.sampled_from(pick(["", "", " ", "   ", "\t", "#", " # ", "\xa0"])),
        st.lists(token, min_size=0, max_size=14),
        st.lists(separator, min_size=14, max_size=14),
        st.sampled_from(pick(LINE_BREAKS) + [""]),
    )
    return line


PLAIN_NUMBER = st.builds(lambda sign, whole, frac: sign + whole + frac, st.sampled_from(["", "", "-"]),
                         st.text(DIGIT, min_size=1, max_size=7), st.sampled_from(["", ".5", ".25", ".0", ".125"]))
ODD_TOKEN = st.sampled_from(["+5", "+0.5", "1e3", "N/A", ".5", "5.", "-", "--1", "1.2.3", "float", "sum", "-1",
                             "0e+00", "\x00", "\x1f"]) | NUMBER


@st.composite
def row_line(draw, ascii_only=True):
    """A data row (4 to 13 numeric columns) with a few odd tokens put in at
    random places: the shape of row whose every token counts."""
    size = draw(st.text(DIGIT, min_size=1, max_size=12))
    columns = [size, *draw(st.lists(PLAIN_NUMBER, min_size=3, max_size=12))]
    for at, token in draw(st.lists(st.tuples(st.integers(0, 13), ODD_TOKEN), max_size=3)):
        columns.insert(at, token)
    blanks = is_ascii(BLANKS) if ascii_only else BLANKS
    seps = draw(st.lists(st.sampled_from(blanks), min_size=len(columns), max_size=len(columns)))
    end = draw(st.sampled_from(is_ascii(LINE_BREAKS) if ascii_only else LINE_BREAKS))
    return draw(st.sampled_from(["", "  "])) + "".join(c + b for c, b in zip(columns, seps)) + end


ASCII_LINE = st.one_of(table_text(True), row_line())
ANY_LINE = st.one_of(table_text(False), row_line(ascii_only=False))
LINE = st.one_of(ASCII_LINE, ASCII_LINE, ANY_LINE)
TABLE_TEXT = st.one_of(st.lists(ASCII_LINE, max_size=8 * SCALE), st.lists(ASCII_LINE, max_size=8 * SCALE),
                       st.lists(ANY_LINE, max_size=8 * SCALE)).map("".join)


@examples(60)
@given(TABLE_TEXT)
def test_table_parser_agrees_with_the_baseline(text):
    assert rows_of(cs.parse_nccl_table(text, "c")) == expected_rows(text, "c")


@examples(50)
@given(st.lists(ASCII_LINE, max_size=6) | st.lists(LINE, max_size=6), st.sampled_from(LINE_BREAKS),
       st.integers(0, 9))
def test_every_line_break_at_every_offset(lines, brk, pad):
    """Line ends land at every position of the eight-byte blocks the ASCII
    scanner reads, joined by every kind of line boundary."""
    text = brk.join(line.rstrip("".join(LINE_BREAKS)) for line in lines)
    text = " " * pad + text
    assert rows_of(cs.parse_nccl_table(text, "c")) == expected_rows(text, "c")


SOUP = sorted(set("".join(["0123456789.- #\n\r\t\ud800\udfff\x00\U0010ffff", *LINE_BREAKS, *BLANKS, *UNICODE_DIGITS,
                           *NOT_DECIMAL, *SIGNS_AND_POINTS])))
ALPHABET = st.sampled_from(is_ascii(SOUP)) | st.sampled_from(SOUP)


@examples(150)
@given(st.text(ALPHABET, max_size=300 * SCALE) | st.text(st.sampled_from(is_ascii(SOUP)), max_size=300 * SCALE))
def test_table_parser_on_character_soup(text):
    rows = cs.parse_nccl_table(text, "c")
    assert rows_of(rows) == expected_rows(text, "c")


PATTERNS = [
    re.compile(r"-?\d+(?:\.\d+)?"),                              # a copy: equal, but not import's object
    re.compile(r"[-+]?\d+(?:\.\d+)?(?:[eE][-+]?\d+)?"),
    re.compile(r"-?[0-9]+(?:\.[0-9]+)?"),
    re.compile(r"-?\d+(?:\.\d+)?", re.ASCII),
    re.compile(r"\S+"),
    re.compile(r"\d+"),
]


@examples(40)
@given(TABLE_TEXT, st.sampled_from(PATTERNS))
def test_table_parser_follows_a_replaced_pattern(monkeypatch, text, pattern):
    monkeypatch.setattr(cs, "_NUMERIC", pattern)
    try:
        got = cs.parse_nccl_table(text, "c")
    finally:
        monkeypatch.undo()
    want = expected_rows(text, "c", numeric=pattern)
    nan_safe = [tuple("nan" if isinstance(v, float) and math.isnan(v) else v for v in row)
                for row in rows_of(got)]
    assert nan_safe == [tuple("nan" if isinstance(v, float) and math.isnan(v) else v for v in row)
                        for row in want]


# ---------------------------------------------------------------------------
# Topology text

def attr_value():
    return st.one_of(
        st.sampled_from(["0", "1", "07", " 3 ", "-1", "+2", "1_0", "x", "", "\u0663", "1.0", "0x10", "&#49;", "&amp;",
                         "&lt;", "a&#10;b", "mlx5_0", "mlx5_1", "0000:01:00.0", "0000:02:00.0"]),
        st.text(st.sampled_from("0123456789abc :.-_"), max_size=6),
    )


ATTR_NAMES = ["busid", "numaid", "dev", "rank", "sm", "gdr", "count", "target", "name", "speed", "port", "guid",
              "xmlns", "xmlns:x", "x:dev", "DEV"]
TAGS = ["system", "cpu", "pci", "gpu", "net", "nic", "nvlink", "other", "x:gpu", "GPU", "pci "]


@st.composite
def element(draw, depth=0):
    tag = draw(st.sampled_from(TAGS[1:] if depth else ["system"] + TAGS))
    names = draw(st.lists(st.sampled_from(ATTR_NAMES), max_size=4, unique=True))
    attrs = "".join(f' {n}="{draw(attr_value())}"' for n in names)
    children = draw(st.lists(element(depth + 1), max_size=3)) if depth < 4 else []
    text = draw(st.sampled_from(["", "", "t", "<!-- c -->", "<![CDATA[<gpu/>]]>", "<?pi x?>", "&#x41;"]))
    if not children and not text and draw(st.booleans()):
        return f"<{tag.strip()}{attrs}/>"
    return f"<{tag.strip()}{attrs}>{text}{''.join(children)}</{tag.strip()}>"


DOCUMENT = st.builds(
    lambda lead, prolog, body, tail: lead + prolog + body + tail,
    st.sampled_from(["", "\n", "  \n\t", "\ufeff"]),
    st.sampled_from(["", '<?xml version="1.0"?>', '<?xml version="1.0" encoding="ISO-8859-1"?>',
                     "<!DOCTYPE system>", '<!DOCTYPE system [<!ENTITY e "1">]>', "<!-- <system -->",
                     '<?xml version="1.0"?>\n<!DOCTYPE s SYSTEM "x.dtd">']),
    element(),
    st.sampled_from(["", "\n", " junk", "<system/>", "<!-- end -->", "&e;", "\x00"]),
)

TOPOLOGY_EXCEPTIONS = (UnicodeEncodeError, MemoryError)


def outcome(fn, text):
    try:
        return "value", fn(text)
    except TOPOLOGY_EXCEPTIONS as exc:
        return "raised", type(exc)


@examples(40)
@given(DOCUMENT)
def test_topology_parser_agrees_with_the_baseline(text):
    got = outcome(cs.parse_nccl_topo_xml, text)
    assert got == outcome(baseline.parse_nccl_topo_xml, text)
    if got[0] == "value" and got[1]:
        assert list(got[1]) == ["gpus", "nics", "gpu_nic_affinity", "numa_domains"]


@examples(40)
@given(st.lists(st.one_of(DOCUMENT, st.text(st.sampled_from(list("<>/=\"' ?!-[]&;#xsystemgpunetpci") + ["\ud800"]),
                                            max_size=40)), max_size=3).map("".join))
def test_topology_parser_never_raises_except_as_allowed(text):
    """Malformed text gives {}; only a text that cannot be encoded as UTF-8
    (lone surrogates) fails, as it does in ElementTree itself."""
    try:
        result = cs.parse_nccl_topo_xml(text)
    except UnicodeEncodeError:
        with pytest.raises(UnicodeEncodeError):
            StdET.fromstring(text.strip())
        return
    assert type(result) is dict
    assert result == baseline.parse_nccl_topo_xml(text)


# ---------------------------------------------------------------------------
# Every callable, given objects of random types

class MyStr(str):
    pass


class MyList(list):
    pass


class MyInt(int):
    pass


class MyFloat(float):
    pass


class Raising:
    """An object whose every conversion and comparison raises."""

    def _boom(self, *args):
        raise ArithmeticError("boom")

    __index__ = __int__ = __float__ = __bool__ = __eq__ = __lt__ = __gt__ = __ge__ = __le__ = __ne__ = _boom
    __str__ = __len__ = __iter__ = _boom
    __hash__ = object.__hash__

    def __repr__(self):  # the test framework prints examples
        return "Raising()"


class IndexOnly:
    def __index__(self):
        return 7


class FloatOnly:
    def __float__(self):
        return 2.5


class WrongIndex:
    def __index__(self):
        return "seven"


ODD_OBJECTS = [object(), MyStr("H100_SXM"), MyList(["/bin/true"]), MyInt(3), MyFloat(1.5), Decimal("2.5"),
               Fraction(7, 2), complex(1, 2), Raising(), IndexOnly(), FloatOnly(), WrongIndex(), b"bytes",
               bytearray(b"x"), ("t",), {"k": "v"}, {1}, frozenset(), range(3), SimpleNamespace(a=1), len, cs,
               cs.NcclResult, Ellipsis, NotImplemented, float("nan"), float("inf"), -float("inf"), 10 ** 30,
               -(10 ** 30), True, False, 0, -1, "", "H100_SXM", "intra", "\ud800", [], ["a"], [1, 2], None]

ANY = st.one_of(
    st.sampled_from(ODD_OBJECTS),
    st.none(), st.booleans(), st.integers(), st.floats(), st.text(max_size=8), st.binary(max_size=4),
    st.lists(st.text(max_size=4), max_size=3), st.lists(st.integers(), max_size=3),
    st.tuples(st.text(max_size=3)), st.dictionaries(st.text(max_size=3), st.integers(), max_size=2),
)

# The checked kinds: exact type (and None where optional), numbers converted.
TEXT, OPT_TEXT, LIST, INT, OPT_FLOAT, UNCHECKED = "str", "str?", "list", "int", "float?", "any"
KIND_TYPE = {TEXT: str, OPT_TEXT: str, LIST: list, INT: int, OPT_FLOAT: float}
NOTE = ". Subclasses of built-in types are refused."

# Callables as (callable, [(name, kind, keyword-only, required)]); the
# receiver of a method comes first and is unchecked.
SELF = ("self", UNCHECKED, False, True)
CALLABLES = {
    "threshold_for": ("threshold_for", [("gpu_type", TEXT, False, True), ("scope", TEXT, False, True)]),
    "classify": ("classify", [("busbw_gbps", OPT_FLOAT, False, True), ("thr", UNCHECKED, False, True)]),
    "_load_threshold_overrides": ("_load_threshold_overrides", []),
    "collective_name_for_binary": ("collective_name_for_binary", [("binary", TEXT, False, True)]),
    "parse_nccl_table": ("parse_nccl_table", [("text", TEXT, False, True), ("collective", TEXT, False, True)]),
    "_to_int": ("_to_int", [("raw", OPT_TEXT, False, True)]),
    "_shared_prefix_len": ("_shared_prefix_len", [("a", LIST, False, True), ("b", LIST, False, True)]),
    "parse_nccl_topo_xml": ("parse_nccl_topo_xml", [("xml_text", TEXT, False, True)]),
    "_build_binary_command": ("_build_binary_command", [("binary", TEXT, False, True),
                                                        ("gpu_count", INT, False, True),
                                                        ("cfg", UNCHECKED, False, True)]),
    "launch_intra_node": ("launch_intra_node", [("gpu_count", INT, False, True), ("gpu_type", TEXT, False, True),
                                                ("binary_root", TEXT, True, False), ("timeout_s", INT, True, False),
                                                ("collectives", UNCHECKED, True, False),
                                                ("runner", UNCHECKED, True, False)]),
    "launch_multi_node": ("launch_multi_node", [("node_ips", LIST, False, True), ("gpus_per_node", INT, False, True),
                                                ("gpu_type", TEXT, False, True), ("binary_root", TEXT, True, False),
                                                ("timeout_s", INT, True, False),
                                                ("collectives", UNCHECKED, True, False),
                                                ("launcher_mode", OPT_TEXT, True, False),
                                                ("runner", UNCHECKED, True, False)]),
    "_select_launcher_mode": ("_select_launcher_mode", []),
    "_build_multi_node_command": ("_build_multi_node_command", [
        ("mode", TEXT, True, True), ("binary", TEXT, True, True), ("node_ips", LIST, True, True),
        ("gpus_per_node", INT, True, True), ("total_ranks", INT, True, True), ("cfg", UNCHECKED, True, True)]),
    "_resolve_binary": ("_resolve_binary", [("name", TEXT, False, True), ("binary_root", TEXT, False, True)]),
    "_finalize_status": ("_finalize_status", [("report", UNCHECKED, False, True)]),
    "NcclResult.to_dict": ("NcclResult.to_dict", [SELF]),
    "NcclReport.to_dict": ("NcclReport.to_dict", [SELF]),
    "NcclReport.headline_all_reduce_busbw": ("NcclReport.headline_all_reduce_busbw", [SELF]),
    "ShellRunner.run": ("ShellRunner.run", [SELF, ("cmd", LIST, False, True), ("timeout", INT, True, True),
                                            ("input_text", OPT_TEXT, True, False)]),
    "LocalShellRunner.run": ("LocalShellRunner.run", [SELF, ("cmd", LIST, False, True),
                                                      ("timeout", INT, True, True),
                                                      ("input_text", OPT_TEXT, True, False)]),
}


def resolve(path):
    obj = cs
    for part in path.split("."):
        obj = getattr(obj, part)
    return obj


# Taken now: a fixture below replaces _resolve_binary in the module.
FUNCTIONS = {name: resolve(path) for name, (path, _) in CALLABLES.items()}


def tp_name(obj):
    """The type name the refusal messages carry (the C type's tp_name)."""
    t = type(obj)
    if t.__flags__ & (1 << 9) or t.__module__ == "builtins":  # a heap type, or a built-in one
        return t.__name__
    return f"{t.__module__}.{t.__qualname__}"


def is_number(obj):
    """PyNumber_Check: what the binder converts instead of refusing."""
    t = type(obj)
    return any(hasattr(t, m) for m in ("__index__", "__int__", "__float__")) or isinstance(obj, complex)


def binding_error(fname, params, args, kwargs):
    """The binder's error for this call shape (type, message), or the bound
    arguments as a dict."""
    npos = sum(1 for _, _, keyword_only, _ in params if not keyword_only)
    plural = "" if npos == 1 else "s"
    if len(args) > npos:
        return TypeError, f"{fname}() takes exactly {npos} positional argument{plural} ({len(args)} given)"
    names = [p[0] for p in params]
    bound = dict(zip(names, args))
    for key, value in kwargs.items():
        if key not in names:
            return TypeError, f"{fname}() got an unexpected keyword argument '{key}'"
        if key in bound:
            return TypeError, f"{fname}() got multiple values for keyword argument '{key}'"
        bound[key] = value
    for i, name in enumerate(names[:npos]):
        if name not in bound:
            return TypeError, f"{fname}() takes exactly {npos} positional argument{plural} ({i} given)"
    for name, _, keyword_only, required in params:
        if keyword_only and required and name not in bound:
            return TypeError, f"{fname}() needs keyword-only argument {name}"
    return bound


def checking_error(params, bound):
    """The first failure of the conversions, then of the type tests, in
    declaration order (defaults always pass); None when all pass."""
    for name, kind, _, _ in params:
        if name not in bound or kind not in (INT, OPT_FLOAT):
            continue
        value = bound[name]
        if type(value) is (int if kind == INT else float) or (kind == OPT_FLOAT and value is None):
            continue
        if not is_number(value):
            want = "int" if kind == INT else "float"
            return TypeError, f"Argument '{name}' has incorrect type (expected {want}, got {tp_name(value)})"
        try:
            (int if kind == INT else float)(value)
        except Exception as exc:  # noqa: BLE001 - the conversion's own error propagates
            return type(exc), None
    for name, kind, _, _ in params:
        if name not in bound or kind not in (TEXT, OPT_TEXT, LIST):
            continue
        value, expected = bound[name], KIND_TYPE[kind]
        if type(value) is expected or (kind == OPT_TEXT and value is None):
            continue
        note = NOTE if isinstance(value, expected) else ""
        return TypeError, (f"Argument '{name}' has incorrect type (expected {expected.__name__}, "
                           f"got {tp_name(value)}){note}")
    return None


def well_typed(kind):
    return {
        TEXT: st.sampled_from(["H100_SXM", "intra", "multi", "", "all_reduce_perf", "/x/y_perf", "\ud800"]),
        OPT_TEXT: st.sampled_from([None, "srun", "mpirun", "", "7", " 12 "]),
        LIST: st.sampled_from([[], ["a", "b"], ["0000:01", "0000:02"], [1, None], ["127.0.0.1", "127.0.0.2"]]),
        INT: st.sampled_from([0, 1, 8, -3, 2 ** 40, True, 2.9]),
        OPT_FLOAT: st.sampled_from([None, 0.0, 300.0, 300, float("nan"), Fraction(1, 3)]),
        UNCHECKED: ANY,
    }[kind]


# Programs the runner may start in the fuzz: /bin/true, or none at all.
SAFE_COMMANDS = [["/bin/true"], ["/bin/true", "x"], ["/nonexistent/quorvane-fuzz"], [], [1], [None], [b"/bin/true"]]


def value_for(name, kind):
    if name == "cmd":
        safe = st.sampled_from(SAFE_COMMANDS)
        return st.one_of(safe, safe, safe, ANY.filter(lambda v: type(v) is not list))
    if name == "timeout":
        return st.sampled_from([0, 1, 2.5, -1, True]) | ANY.filter(lambda v: not is_number(v))
    well = well_typed(kind)
    return st.one_of(well, well, well, ANY)  # mostly calls that pass the checks


@st.composite
def call_of(draw):
    """A callable and a call of it: some parameters by position, some by
    keyword, some left out; now and then one argument too many, an unknown
    keyword or a doubled one."""
    name = draw(st.sampled_from(sorted(CALLABLES)))
    _, params = CALLABLES[name]
    npos = sum(1 for p in params if not p[2])
    args = [draw(value_for(p[0], p[1])) for p in params[:draw(st.integers(0, npos))]]
    kwargs = {}
    for pname, kind, _, required in params[len(args):]:
        if draw(st.integers(0, 19)) < (19 if required else 10):
            kwargs[pname] = draw(value_for(pname, kind))
    extra = draw(st.sampled_from([None] * 12 + ["more", "zzz", "double"]))
    if extra == "more":
        args = [*args, *(draw(ANY) for _ in range(npos - len(args) + 1))]
    if extra == "zzz":
        kwargs["zzz"] = draw(ANY)
    elif extra == "double" and args and params:
        kwargs[params[0][0]] = draw(ANY)
    order = draw(st.permutations(list(kwargs)))
    return name, args, {k: kwargs[k] for k in order}


@pytest.fixture
def no_programs(monkeypatch):
    """The sweeps find no executable, so no random command line ever runs."""
    monkeypatch.setattr(cs, "_resolve_binary", lambda name, root: None)


@examples(400)
@given(call_of())
def test_every_callable_works_or_refuses_random_arguments(no_programs, call):
    name, args, kwargs = call
    fn = FUNCTIONS[name]
    _, params = CALLABLES[name]
    bound = binding_error(fn.__name__, params, args, kwargs)
    expected = bound if isinstance(bound, tuple) else checking_error(params, bound)
    try:
        fn(*args, **kwargs)
    except SystemError as exc:  # a C API call failed without setting an exception
        pytest.fail(f"{name}: SystemError {exc}")
    except Exception as exc:  # noqa: BLE001 - a call that passed the checks may fail its own way
        if expected is not None:
            assert type(exc) is expected[0], (name, args, kwargs, exc)
            if expected[1] is not None:
                assert str(exc) == expected[1]
        return
    assert expected is None, (name, args, kwargs, expected)


@examples(60)
@given(st.lists(st.sampled_from(ODD_OBJECTS), min_size=6, max_size=6), st.sampled_from(ODD_OBJECTS))
def test_records_hold_any_values_and_convert(values, other):
    """Records built with odd field values convert and grade without crashing."""
    row = cs.NcclResult(*values)
    assert list(row.to_dict()) == ["collective", "size_bytes", "busbw_gbps", "algbw_gbps", "latency_us", "wrong"]
    report = cs.NcclReport(results=[row, cs.NcclResult("all_reduce", 8, other, 0.0, 0.0, 0)])
    for step in (report.to_dict, report.headline_all_reduce_busbw, lambda: cs._finalize_status(report)):
        try:
            step()
        except SystemError as exc:
            pytest.fail(f"SystemError {exc}")
        except Exception:  # noqa: BLE001 - comparisons of odd values may raise
            pass


def test_fuzzed_callables_cover_the_module():
    """A new callable must be added to the fuzz table."""
    ours = type(cs.parse_nccl_table)
    functions = {n for n, v in vars(cs).items() if type(v) is ours}
    methods = {f"{c}.{m}" for c in ("NcclResult", "NcclReport", "ShellRunner", "LocalShellRunner")
               for m, v in vars(getattr(cs, c)).items() if type(v) is ours}
    assert functions | methods == set(CALLABLES)


def zombie_children():
    """Children of this process that ended and were never waited for."""
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as f:
                state, ppid = f.read().rsplit(")", 1)[1].split()[:2]
        except OSError:
            continue
        if int(ppid) == os.getpid() and state == "Z":
            found.append(int(entry))
    return found


@pytest.mark.skipif(not os.path.isdir("/proc/self"), reason="needs /proc")
def test_fuzz_children_are_reaped():
    """The runner fuzz starts /bin/true; none of them is left unreaped."""
    assert zombie_children() == []
