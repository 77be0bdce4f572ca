"""The table and topology parsers written in plain Python, as a user would.

They follow the same rules as `parse_nccl_table` and `parse_nccl_topo_xml`
of quorvane.collsweep and build the same results (NcclResult rows made by
keyword; the inventory dict), so the benchmarks can set the compiled module
beside them and the fuzz tests can hold the two to each other. Nothing here is
tuned: it is the straightforward code the extension replaces.
"""

import re
import xml.etree.ElementTree as ET

NUMERIC = re.compile(r"-?\d+(?:\.\d+)?")


def parse_nccl_table(text, collective, record=None, numeric=NUMERIC):
    """Rows of an nccl-tests table: `record(collective=..., ...)` per data row.

    `record` defaults to quorvane.collsweep.NcclResult; pass `tuple_row` to get
    plain tuples without the module."""
    if record is None:
        from quorvane.collsweep import NcclResult as record
    rows = []
    for raw in text.splitlines():
        stripped = raw.strip()
        if not stripped or stripped.startswith("#"):
            continue
        tokens = stripped.split()
        if not tokens or not numeric.fullmatch(tokens[0]):
            continue
        try:
            size_bytes = int(tokens[0])
        except ValueError:
            continue
        numerics = [t for t in tokens if numeric.fullmatch(t)]
        if len(numerics) < 5:
            continue
        offset = 3 if len(numerics) % 2 == 1 else 2
        try:
            time_us = float(numerics[offset])
            algbw = float(numerics[offset + 1])
            busbw = float(numerics[offset + 2])
            wrong = int(float(numerics[offset + 3])) if len(numerics) > offset + 3 else 0
        except (ValueError, IndexError):
            continue
        rows.append(record(collective=collective, size_bytes=size_bytes, busbw_gbps=busbw,
                           algbw_gbps=algbw, latency_us=time_us, wrong=wrong))
    return rows


def tuple_row(collective, size_bytes, busbw_gbps, algbw_gbps, latency_us, wrong):
    return (collective, size_bytes, busbw_gbps, algbw_gbps, latency_us, wrong)


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
    """GPU/NIC inventory of an NCCL topology dump; {} when it cannot be read."""
    text = xml_text.strip()
    if "<system" not in text:
        return {}
    try:
        root = ET.fromstring(text)
    except ET.ParseError:
        return {}

    parent = {child: par for par in root.iter() for child in par}

    def pci_ancestors(elem):
        chain = []
        node = parent.get(elem)
        while node is not None:
            if node.tag == "pci":
                busid = node.get("busid")
                if busid:
                    chain.append(busid)
            node = parent.get(node)
        chain.reverse()
        return chain

    def numa_of(elem):
        node = parent.get(elem)
        while node is not None:
            if node.tag == "cpu":
                return to_int(node.get("numaid"))
            node = parent.get(node)
        return None

    gpu_anc = {}
    gpus = []
    for index, gpu in enumerate(root.iter("gpu")):
        nvlinks = gpu.findall("nvlink")
        anc = pci_ancestors(gpu)
        gpu_anc[index] = anc
        gpus.append({
            "dev": to_int(gpu.get("dev")),
            "rank": to_int(gpu.get("rank")),
            "sm": to_int(gpu.get("sm")),
            "gdr": gpu.get("gdr") == "1",
            "busid": anc[-1] if anc else "",
            "numa": numa_of(gpu),
            "nvlink_count": sum(to_int(link.get("count")) or 0 for link in nvlinks),
            "nvlink_peers": len({link.get("target") for link in nvlinks if link.get("target")}),
        })

    nic_anc = []
    nics = []
    for net in root.iter("net"):
        anc = pci_ancestors(net)
        nic_anc.append(anc)
        nics.append({
            "name": net.get("name", ""),
            "speed_mbps": to_int(net.get("speed")),
            "port": to_int(net.get("port")),
            "gdr": net.get("gdr") == "1",
            "guid": net.get("guid", ""),
            "busid": anc[-1] if anc else "",
            "numa": numa_of(net),
        })

    affinity = {}
    for index, gpu in enumerate(gpus):
        best_depth = 0
        best = []
        for nic_index, nic in enumerate(nics):
            depth = shared_prefix_len(gpu_anc[index], nic_anc[nic_index])
            if depth > best_depth:
                best_depth = depth
                best = [nic["name"]]
            elif depth and depth == best_depth and nic["name"] not in best:
                best.append(nic["name"])
        if gpu["dev"] is not None and best:
            affinity[str(gpu["dev"])] = best

    numa_ids = {g["numa"] for g in gpus} | {n["numa"] for n in nics}
    numa_ids.discard(None)
    return {"gpus": gpus, "nics": nics, "gpu_nic_affinity": affinity, "numa_domains": len(numa_ids)}
