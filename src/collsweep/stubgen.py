"""Writes the type stub of quorvane.collsweep from the module itself.

Every name, signature, annotation, default and record field in the stub is read
from the imported module (whose callables carry what their signature rows in
the C++ sources declare), in the order in which import defines them:

  python3 src/collsweep/stubgen.py > python/quorvane/collsweep.pyi

tests/test_surface.py fails when the committed stub differs from what this
prints.
"""

import dataclasses
import inspect
import re
import sys
import types

HEADER = '''"""Type information for the extension module quorvane.collsweep.

Generated from the module's own signatures by src/collsweep/stubgen.py; do not
edit by hand.
"""
'''
PLAIN = (type(None), bool, int, float, str)


def type_text(value):
    """The annotation of a constant, from its value."""
    if isinstance(value, re.Pattern):
        return f"re.Pattern[{type(value.pattern).__name__}]"
    if type(value) is tuple:
        return "tuple[" + ", ".join(type_text(v) for v in value) + "]"
    if type(value) is dict and value:
        keys = {type_text(k) for k in value}
        values = {type_text(v) for v in value.values()}
        if len(keys) == 1 and len(values) == 1:
            return f"dict[{keys.pop()}, {values.pop()}]"
    return type(value).__name__


def default_text(value):
    return repr(value) if type(value) in PLAIN else "..."


def def_line(name, fn, indent=""):
    sig = inspect.signature(fn)
    params, star = [], False
    for p in sig.parameters.values():
        if p.kind is p.KEYWORD_ONLY and not star:
            params.append("*")
            star = True
        text = p.name if p.annotation is p.empty else f"{p.name}: {p.annotation}"
        if p.default is not p.empty:
            text += f" = {default_text(p.default)}"
        params.append(text)
    head = f"{indent}def {name}("
    tail = f") -> {sig.return_annotation}:"
    if len(head) + len(tail) + sum(len(p) + 2 for p in params) <= 110:
        lines = [head + ", ".join(params) + tail]
    else:
        lines = [head, *(f"{indent}    {p}," for p in params), indent + tail.lstrip()]
    doc = [line.replace("\\", "\\\\") for line in fn.__doc__.split("\n")]
    pad = indent + "    "
    if len(doc) == 1:
        return lines + [f'{pad}"""{doc[0]}"""']
    return lines + [f'{pad}"""{doc[0]}', *(pad + line if line else "" for line in doc[1:]), f'{pad}"""']


def is_ours(obj, module):
    return getattr(obj, "__module__", None) == module.__name__


def class_lines(name, cls, module):
    lines = [""]
    if dataclasses.is_dataclass(cls):
        lines.append("@dataclass(frozen=True)" if cls.__dataclass_params__.frozen else "@dataclass")
    bases = [b.__name__ for b in cls.__bases__ if b is not object]
    lines.append(f"class {name}({', '.join(bases)}):" if bases else f"class {name}:")
    doc = vars(cls).get("__doc__")
    if doc and not doc.startswith(name + "("):  # not the one dataclass generates
        body = doc.replace("\n", "\n    ")
        lines += [f'    """{body}' + ('\n    """' if "\n" in doc else '"""'), ""]
    for f in dataclasses.fields(cls) if dataclasses.is_dataclass(cls) else ():
        text = f"    {f.name}: {f.type}"
        if f.default is not dataclasses.MISSING:
            text += f" = {default_text(f.default)}"
        elif f.default_factory is not dataclasses.MISSING:
            text += f" = field(default_factory={f.default_factory.__name__})"
        lines.append(text)
    for attr, fn in vars(cls).items():
        if callable(fn) and is_ours(fn, module) and not attr.startswith("__"):
            lines += def_line(attr, fn, "    ")
    return lines + [""]


def render(module):
    lines = [HEADER]
    for name, value in vars(module).items():
        if name.startswith("__") and name.endswith("__"):
            continue
        imported = isinstance(value, types.ModuleType) or (
            not is_ours(value, module) and getattr(sys.modules.get(getattr(value, "__module__", "")), name, None) is value)
        if lines[-1].startswith(("import", "from")) and not imported:
            lines.append("")
        if isinstance(value, types.ModuleType):
            lines.append(f"import {value.__name__} as {name}")
        elif isinstance(value, type) and is_ours(value, module):
            lines += class_lines(name, value, module)
        elif callable(value) and is_ours(value, module):
            lines += def_line(name, value)
        elif imported:
            lines.append(f"from {value.__module__} import {name} as {name}")
        else:
            lines.append(f"{name}: {type_text(value)}")
    text = "\n".join(lines) + "\n"
    return re.sub(r"\n{3,}", "\n\n", text)


if __name__ == "__main__":
    import quorvane.collsweep

    sys.stdout.write(render(quorvane.collsweep))
