"""The module's rules written out in plain Python, the way a user would write
them: the table reader, the tolerant integer, the topology inventory, and the
binding of a call's arguments. Tests hold quorvane.collsweep to these; the
benchmarks in bench/ time the readers against it."""

import re
import xml.etree.ElementTree as ET

NUMERIC = re.compile(r"-?\d+(?:\.\d+)?")
ROW_FIELDS = ("collective", "size_bytes", "busbw_gbps", "algbw_gbps", "latency_us", "wrong")


def tuple_row(**fields):
    return tuple(fields[f] for f in ROW_FIELDS)


def parse_nccl_table(text, collective, numeric=NUMERIC, record=tuple_row):
    rows = []
    for raw in text.splitlines():
        stripped = raw.strip()
        if not stripped or stripped.startswith("#"):
            continue
        tokens = stripped.split()
        if not numeric.fullmatch(tokens[0]):
            continue
        try:
            size_bytes = int(tokens[0])
        except ValueError:
            continue
        numerics = [t for t in tokens if numeric.fullmatch(t)]
        if len(numerics) < 5:
            continue
        offset = 3 if len(numerics) % 2 else 2
        try:
            time_us, algbw, busbw = (float(numerics[offset + i]) for i in range(3))
            wrong = int(float(numerics[offset + 3])) if len(numerics) > offset + 3 else 0
        except (ValueError, IndexError, OverflowError):  # a huge count is a conversion that fails
            continue
        rows.append(record(collective=collective, size_bytes=size_bytes, busbw_gbps=busbw, algbw_gbps=algbw,
                           latency_us=time_us, wrong=wrong))
    return rows


def to_int(raw):
    try:
        return int(raw)
    except (TypeError, ValueError):
        return None


def shared_prefix_len(a, b):
    count = 0
    for left, right in zip(a, b):
        if left != right:
            break
        count += 1
    return count


def parse_nccl_topo_xml(xml_text):
    text = xml_text.strip()
    if "<system" not in text:
        return {}
    try:
        root = ET.fromstring(text)
    except ET.ParseError:
        return {}
    parent = {child: par for par in root.iter() for child in par}

    def ancestors(elem):
        node = parent.get(elem)
        while node is not None:
            yield node
            node = parent.get(node)

    def chain(elem):
        return [n.get("busid") for n in ancestors(elem) if n.tag == "pci" and n.get("busid")][::-1]

    def numa_of(elem):
        return next((to_int(n.get("numaid")) for n in ancestors(elem) if n.tag == "cpu"), None)

    gpus, nics, gpu_chains, nic_chains = [], [], [], []
    for gpu in root.iter("gpu"):
        links = gpu.findall("nvlink")
        gpu_chains.append(chain(gpu))
        gpus.append({"dev": to_int(gpu.get("dev")), "rank": to_int(gpu.get("rank")), "sm": to_int(gpu.get("sm")),
                     "gdr": gpu.get("gdr") == "1", "busid": (gpu_chains[-1] or [""])[-1], "numa": numa_of(gpu),
                     "nvlink_count": sum(to_int(link.get("count")) or 0 for link in links),
                     "nvlink_peers": len({link.get("target") for link in links if link.get("target")})})
    for net in root.iter("net"):
        nic_chains.append(chain(net))
        nics.append({"name": net.get("name", ""), "speed_mbps": to_int(net.get("speed")),
                     "port": to_int(net.get("port")), "gdr": net.get("gdr") == "1", "guid": net.get("guid", ""),
                     "busid": (nic_chains[-1] or [""])[-1], "numa": numa_of(net)})
    affinity = {}
    for gpu, gpu_chain in zip(gpus, gpu_chains):
        best_depth, best = 0, []
        for nic, nic_chain in zip(nics, nic_chains):
            depth = shared_prefix_len(gpu_chain, nic_chain)
            if depth > best_depth:
                best_depth, best = depth, [nic["name"]]
            elif depth and depth == best_depth and nic["name"] not in best:
                best.append(nic["name"])
        if gpu["dev"] is not None and best:
            affinity[str(gpu["dev"])] = best
    numa_ids = {d["numa"] for d in gpus + nics} - {None}
    return {"gpus": gpus, "nics": nics, "gpu_nic_affinity": affinity, "numa_domains": len(numa_ids)}


# ---- binding: parameters as (name, kind, keyword_only, required), the kind
# being the word the docstring's signature line puts before a checked one.
TYPES = {"str": str, "str?": str, "list": list, "int": int, "float": float}


def _tp_name(obj):
    t = type(obj)
    return t.__name__ if t.__flags__ & (1 << 9) or t.__module__ == "builtins" else f"{t.__module__}.{t.__qualname__}"


def bind_error(fname, params, args, kwargs):
    """(exception type, message or None) of the first failure of this call,
    or None when the arguments bind and pass every check."""
    names, npos = [p[0] for p in params], sum(1 for p in params if not p[2])
    counted = f"{fname}() takes exactly {npos} positional argument{'' if npos == 1 else 's'}"
    if len(args) > npos:
        return TypeError, f"{counted} ({len(args)} given)"
    bound = dict(zip(names, args))
    for key, value in kwargs.items():
        if key not in names or key in bound:
            how = "an unexpected keyword argument" if key not in names else "multiple values for keyword argument"
            return TypeError, f"{fname}() got {how} '{key}'"
        bound[key] = value
    missing = [i for i, name in enumerate(names[:npos]) if name not in bound]
    if missing:
        return TypeError, f"{counted} ({missing[0]} given)"
    for name, _, keyword_only, required in params:
        if keyword_only and required and name not in bound:
            return TypeError, f"{fname}() needs keyword-only argument {name}"
    checked = [(name, kind, bound[name]) for name, kind, _, _ in params if kind and name in bound]
    for name, kind, value in checked:  # numbers first: int() and float() of any other number
        if kind in ("int", "float") and type(value) is not TYPES[kind] and not (kind == "float" and value is None):
            if not (isinstance(value, complex) or any(hasattr(type(value), m) for m in ("__index__", "__int__",
                                                                                          "__float__"))):
                return TypeError, f"Argument '{name}' has incorrect type (expected {kind}, got {_tp_name(value)})"
            try:
                TYPES[kind](value)
            except Exception as exc:  # noqa: BLE001 - the conversion's own error is the call's
                return type(exc), None
    for name, kind, value in checked:  # then the exact types
        if kind in ("str", "str?", "list") and type(value) is not TYPES[kind] and not (kind == "str?" and value is None):
            note = ". Subclasses of built-in types are refused." if isinstance(value, TYPES[kind]) else ""
            return TypeError, (f"Argument '{name}' has incorrect type (expected {kind.rstrip('?')}, "
                               f"got {_tp_name(value)}){note}")
    return None
