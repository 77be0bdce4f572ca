"""Crossings from Python into the C++ modules during one emulated sweep.

Every call of a quorvane.analysis (or quorvane.collsweep) function or method
and every read of an attribute of an analysis object (a property, a field, an
item of a row view) runs C++ code; this counts them (the library's records
are Python dataclasses, whose fields are read without C++). Each module is replaced, before the command
is imported, by a counting stand-in that hands out counting wrappers of
what the module returns; the sweep itself runs unchanged (`quorvane sweep
--emulate --gpus 8 --gpu-type H100_SXM`, its output thrown away), then the
counts are printed, most frequent first:

  PYTHONPATH=<site> python3 bench/bench_crossings.py [sweep options...]
"""

import collections
import contextlib
import enum
import io
import os
import sys

COUNTS: collections.Counter = collections.Counter()


def _unwrap(value):
    if isinstance(value, Counted):
        return object.__getattribute__(value, "_target")
    if isinstance(value, list):
        return [_unwrap(v) for v in value]
    if isinstance(value, tuple):
        return tuple(_unwrap(v) for v in value)
    return value


def _wrap(value):
    kind = type(value)
    if kind.__module__ in ("quorvane.analysis", "quorvane.collsweep") and not isinstance(value, (enum.Enum, type)):
        return Counted(value)
    if kind is list:
        return [_wrap(v) for v in value]
    return value


def _counted_call(name, fn):
    def call(*args, **kwargs):
        COUNTS[name] += 1
        return _wrap(fn(*_unwrap(args), **{k: _unwrap(v) for k, v in kwargs.items()}))
    return call


class Counted:
    """An object of the analysis module whose every use is counted."""

    __slots__ = ("_target",)

    def __init__(self, target):
        object.__setattr__(self, "_target", target)

    def _name(self, what):
        return f"{type(object.__getattribute__(self, '_target')).__name__}.{what}"

    def __getattr__(self, attr):
        target = object.__getattribute__(self, "_target")
        value = getattr(target, attr)
        if callable(value) and not isinstance(value, (enum.Enum, type)):
            return _counted_call(self._name(attr), value)
        # The library's records are Python dataclasses: reading a field runs no C++.
        if type(target).__module__ == "quorvane.analysis":
            COUNTS[self._name(attr)] += 1
        return _wrap(value)

    def __setattr__(self, attr, value):
        COUNTS[self._name(attr)] += 1
        setattr(object.__getattribute__(self, "_target"), attr, _unwrap(value))

    def __len__(self):
        COUNTS[self._name("__len__")] += 1
        return len(object.__getattribute__(self, "_target"))

    def __getitem__(self, index):
        COUNTS[self._name("__getitem__")] += 1
        return _wrap(object.__getattribute__(self, "_target")[index])

    def __iter__(self):
        for i in range(len(self)):
            yield self[i]

    def __bool__(self):
        return True


class CountedModule:
    """A module, each function call counted (and, where `classes` is set, each
    object made: the library's classes are left as they are, since the
    command subclasses them)."""

    def __init__(self, module, classes):
        self._module = module
        self._classes = classes

    def __getattr__(self, attr):
        value = getattr(self._module, attr)
        if callable(value) and not isinstance(value, type):
            return _counted_call(attr, value)
        if self._classes and isinstance(value, type) and not issubclass(value, enum.Enum):
            return _counted_call(attr, value)  # making an object is a crossing too
        return value


def main(argv):
    import quorvane
    import quorvane.analysis
    import quorvane.collsweep
    for name in ("analysis", "collsweep"):
        counted = CountedModule(getattr(quorvane, name), classes=name == "analysis")
        sys.modules[f"quorvane.{name}"] = counted
        setattr(quorvane, name, counted)
    from quorvane.cli import main as cli_main
    args = argv or ["sweep", "--emulate", "--gpus", "8", "--gpu-type", "H100_SXM"]
    with contextlib.redirect_stdout(io.StringIO()), contextlib.redirect_stderr(io.StringIO()):
        try:
            status = cli_main(args)
        except SystemExit as stop:
            status = stop.code
    print(f"quorvane {' '.join(args)}: exit {status}")
    for module in ("analysis", "collsweep"):
        mine = {name: n for name, n in COUNTS.items() if _module_of(name) == module}
        print(f"{sum(mine.values())} crossings into quorvane.{module}")
        for name, n in sorted(mine.items(), key=lambda item: -item[1]):
            print(f"  {n:6d}  {name}")
    sys.stdout.flush()
    os._exit(0)  # the counting wrappers still hold module objects; skip teardown


def _module_of(name):
    first = name.split(".")[0]
    for module in ("analysis", "collsweep"):
        if hasattr(sys.modules[f"quorvane.{module}"]._module, first):
            return module
    return "?"


if __name__ == "__main__":
    main(sys.argv[1:])
