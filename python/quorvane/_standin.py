#!/usr/bin/env python3
"""Stand-in for the nccl-tests benchmark programs, for machines without GPUs.

Install it (symlink or copy) as all_reduce_perf, all_gather_perf,
reduce_scatter_perf or broadcast_perf: the collective comes from the program
name (basename of argv[0], minus any ".py", "_mpi" and "_perf" suffix).
NCCL_STANDIN_COLLECTIVE overrides the name, for running this file directly.
Any other name is refused with exit status 2.

Arguments: the flags -b -e -f -g -n -w, each followed by a decimal
integer (smallest size, largest size, size factor, GPUs per process,
iterations, warm-up iterations); -g must be at least 1.  The other value
flags of nccl-tests (-d -o -r -c -z -y -T -G -C -a -R -m -p -M -N) are taken
with their value and change nothing.  Anything else prints a message on
stderr and exits 2.

Output: the table of current nccl-tests ("#" header lines, one row per size
from -b up to -e, multiplied by -f, one row only when -f <= 1; columns size,
count, type, redop, root, then time/algbw/busbw/#wrong out-of-place and
in-place), then the "Out of bounds values" and "Avg bus bandwidth" footer.

Numbers come from a latency + bandwidth model over n = -g x world size ranks:
    time_us = latency + size * factor / (peak busbw * 1e3)
    algbw = size / time_us / 1e3 (GB/s),  busbw = algbw * factor
with the nccl-tests bus factors: all_reduce 2(n-1)/n, all_gather and
reduce_scatter (n-1)/n, broadcast 1 (with one rank the factor is 0 and the
time is taken as for a factor of 1).  So busbw approaches the peak for large
sizes, and equals it when the latency is 0.
The in-place block is 2% slower than the out-of-place block.

Launchers: the rank is the first of OMPI_COMM_WORLD_RANK, PMIX_RANK,
SLURM_PROCID, PMI_RANK that is set (else 0), the world size the first of
OMPI_COMM_WORLD_SIZE, SLURM_NTASKS, SLURM_NPROCS, PMI_SIZE (else the number
of QUORVANE_EMULATE_HOSTS, else 1).  Only
rank 0 prints; the other ranks print nothing and exit with the same status.
The one exception is the failure message of NCCL_STANDIN_FAIL_RANK (below).

The curve per GPU type.  QUORVANE_EMULATE_GPU_TYPE (set by `quorvane ...
--emulate`) picks a peak and a latency that put the curve through two
published all_reduce figures of healthy 8-GPU hosts, the one at 32 MiB and
the plateau, so each size shows what a healthy host really measures there:
  H100_SXM  321.10 GB/s at 32 MiB, 482.27 at 16 GiB: 8x H100 80GB HBM3,
            nccl-tests 2.17.8, NCCL 2.29.2 (git xxrjun/nccl-tests-cluster,
            example-cluster01 single-node log @455de4f)
  H200      300 GB/s at 32 MiB (published 8x H200 runs: 298-301), 476.96 at
            8 GiB: 8x H200, NCCL 2.19.3 (AzHPC H200 driver-update notes,
            all_reduce_perf -b 8G -e 8G on one host)
  A100_SXM  156.89 GB/s at 32 MiB, 235.26 at 8 GiB: 8x A100-SXM4-40GB
            (git microsoft/superbenchmark tests/data/nccl_allreduce.log @ff563b6)
  MI300X    238.45 GB/s at 32 MiB, 315.69 at 8 GiB: 8x MI300X, rccl-tests
            (git hisohara/ai-scripts training/01_rccl-smoketest @7b8b1ec)
A run spanning several hosts takes the two-host figures where they are known:
  H100_SXM  59.36 GB/s at 32 MiB, 338.82 at 8 GiB: 2 x 8 H100, GCP A3 Mega
            (git lessizzmore/create-a3mega-ztan-fork @02dd8f4)
  MI300X    106.58 GB/s at 32 MiB, 357.46 at 16 GiB: 2 x 8 MI300X, RCCL 2.22.3
            (git hisohara/ai-scripts @7b8b1ec)
and the one-host curve elsewhere.  With the 32 MiB figure b and the plateau P
of 8 ranks (bus factor f = 1.75 at 8 ranks, 1.875 at 16), the latency is
L = 32 MiB x f / 1e3 x (1/b - 1/P) us: 61 us for H100_SXM, so 1 GiB gives
470 GB/s and 8 GiB 481.  Without a known GPU type the curve is the generic
one below (peak 370 GB/s, latency 10 us).

Settings (environment variables):
  QUORVANE_EMULATE_GPU_TYPE the GPU type whose published curve to follow
  NCCL_STANDIN_BUSBW_GBPS   peak bus bandwidth of the model, GB/s (default: the
                            GPU type's plateau, else 370: 8-GPU all_reduce
                            gives ~348 at 32 MiB, ~364 at 128 MiB)
  NCCL_STANDIN_LATENCY_US   fixed latency per operation, us (default: the GPU
                            type's, else 10)
  NCCL_STANDIN_MODE         ok (default), or one of:
      fail     message on stderr, exit NCCL_STANDIN_EXIT (default 1); the
               message is NCCL_STANDIN_MESSAGE, by default an NCCL-like text
               longer than 200 characters
      sleep    sleep NCCL_STANDIN_SLEEP seconds (default 30), then run normally
      signal   print the header, then kill itself with NCCL_STANDIN_SIGNAL
               (SEGV by default, or KILL; a name or a number)
      partial  print the header and the first half of the rows, exit 0
      wrong    #wrong NCCL_STANDIN_WRONG (default 3) on the last row and every
               second row before it; footer says FAILED; exit 0 all the same
      garbage  print lines that are no table rows, exit 0
  NCCL_STANDIN_MODE_<collective>   e.g. NCCL_STANDIN_MODE_all_gather=fail:
                            wins over NCCL_STANDIN_MODE for that collective
                            ("ok" makes it behave normally)
  NCCL_STANDIN_FAIL_RANK    apply the mode on this rank only; the other ranks
                            run normally.  That rank prints its own failure
                            message, so a launcher's stderr shows it.

Emulated hosts, faults and noise (for fleet checks):
  QUORVANE_EMULATE_HOSTS    comma-separated names of the hosts this run spans;
                            without a launcher's world size the run has one
                            process per host, and the Rank lines show the names
  QUORVANE_EMULATE_FAULTS   JSON {"host": {"intra": f, "net": f}}: a run on one
                            host gets f_intra of the modelled bandwidth; a run on
                            several hosts runs at the slowest of their network
                            ports, min(f_net).  Two hosts without NCCL_ALGO=RING
                            feel only a tenth of that loss, as NCCL's tree and
                            NVLS algorithms keep most traffic off the network
  QUORVANE_EMULATE_NOISE    relative noise, e.g. 0.05: each row's bandwidth is
                            scaled by a fresh draw of 1 + N(0, noise)
  The hosts of a run: QUORVANE_EMULATE_HOSTS, else under srun the step's nodes
  (SLURM_STEP_NODELIST, expanded with ClusterShell when it is installed, else
  the node's own name SLURMD_NODENAME), else the address ssh reached
  (SSH_CONNECTION), else this machine's name.  Malformed values exit 2.

Settings file: "nccl_standin.env" next to the program as invoked (the
directory of argv[0], symlinks not resolved) may hold KEY=VALUE lines ("#"
comments allowed).  They apply where the environment does not set the key.
This is how ranks started over ssh get their settings: mpirun passes on only
the variables named with -x.
"""
import os
import sys

SETTINGS_FILE = "nccl_standin.env"
MODES = ("ok", "fail", "sleep", "signal", "partial", "wrong", "garbage")
FLAGS = ("-b", "-e", "-f", "-g", "-n", "-w")
# nccl-tests flags that change nothing the model shows (data type, operation,
# root, checking, blocking, graphs, ...): taken with their value and passed over.
PASSED_OVER = ("-d", "-o", "-r", "-c", "-z", "-y", "-T", "-G", "-C", "-a", "-R", "-m", "-p", "-M", "-N")
DEFAULTS = {"-b": 33554432, "-e": 33554432, "-f": 2, "-g": 1, "-n": 20, "-w": 5}
ELEMENT_BYTES = 4  # float

# collective -> (redop column, root column, bus factor for n ranks, count is per rank)
COLLECTIVES = {
    "all_reduce": ("sum", -1, lambda n: 2 * (n - 1) / n, False),
    "all_gather": ("none", -1, lambda n: (n - 1) / n, True),
    "reduce_scatter": ("sum", -1, lambda n: (n - 1) / n, True),
    "broadcast": ("none", 0, lambda n: 1.0, False),
}

BUS_IDS = ("1b", "43", "52", "61", "9d", "c3", "d1", "df")
GPU_NAME = "NVIDIA H100 80GB HBM3"

HEADER = """\
#                                                              out-of-place                       in-place          
#       size         count      type   redop    root     time   algbw   busbw  #wrong     time   algbw   busbw  #wrong 
#        (B)    (elements)                               (us)  (GB/s)  (GB/s)             (us)  (GB/s)  (GB/s)         
"""

GARBAGE = """\
stand-in: this is not a result table
NCCL WARN Cuda failure 'out of memory'
size count type redop root time algbw busbw
1.5 2048 float sum -1 10.00 1.00 1.50 0 10.00 1.00 1.50 0
8192 2048 float sum
8192 2048 10.00 1.00 1.50
0x2000 2048 float sum -1 10.00 1.00 1.50 0 10.00 1.00 1.50 0
nan inf -inf
"""

FAIL_MESSAGE = (
    "{prog}: rank {rank}: Test NCCL failure common.cu:1279 'unhandled system error "
    "(run with NCCL_DEBUG=INFO for details)' / 'remote process exited or there was a "
    "network error'. This failure was injected by the stand-in (NCCL_STANDIN_MODE=fail); "
    "its text runs past two hundred characters on purpose."
)


class UsageError(Exception):
    pass


def run_hosts(settings):
    """The names of the hosts this run spans, by the rules in the docstring."""
    listed = [h.strip() for h in settings.get("QUORVANE_EMULATE_HOSTS", "").split(",") if h.strip()]
    if listed:
        return listed
    node = settings.get("SLURMD_NODENAME", "").strip()
    if node:
        step = settings.get("SLURM_STEP_NODELIST", "").strip()
        try:
            from ClusterShell.NodeSet import NodeSet  # type: ignore[import-untyped]
            return list(NodeSet(step)) if step else [node]
        except Exception:  # no ClusterShell, or a list it cannot read: the node itself
            return [node]
    ssh = settings.get("SSH_CONNECTION", "").split()
    return [ssh[2]] if len(ssh) == 4 else [os.uname().nodename]


FAULTS_SHAPE = ('{"host": {"intra": f, "net": f, "gpuN": f, "railN": f, '
                '"transport": "socket"|"no-gdr"|"shm"}, ...}')
TRANSPORT_FAULTS = ("socket", "no-gdr", "shm")
# What a wrong path costs: TCP sockets instead of RDMA, RDMA staged through
# host memory, shared memory instead of NVLink peer-to-peer.
TRANSPORT_COST = {"socket": 0.22, "no-gdr": 0.8, "shm": 0.35}
NICS = 8


def parse_faults(text):
    """QUORVANE_EMULATE_FAULTS as {host: {kind: value}}; UsageError with one line when malformed."""
    import json
    import re
    text = (text or "").strip()
    if not text:
        return {}
    try:
        faults = json.loads(text)
    except ValueError as exc:
        raise UsageError(f"QUORVANE_EMULATE_FAULTS is not valid JSON ({exc})") from None
    if not isinstance(faults, dict) or not all(isinstance(v, dict) for v in faults.values()):
        raise UsageError(f"QUORVANE_EMULATE_FAULTS must be {FAULTS_SHAPE}")
    for host, kinds in faults.items():
        for kind, f in kinds.items():
            if kind == "transport":
                if f not in TRANSPORT_FAULTS:
                    raise UsageError(f"QUORVANE_EMULATE_FAULTS: {host}: 'transport': {f!r} is not one of "
                                     f"{', '.join(TRANSPORT_FAULTS)}")
                continue
            if not (kind in ("intra", "net") or re.fullmatch(r"(gpu|rail)(0|[1-9][0-9]{0,2})", kind)) \
                    or isinstance(f, bool) or not isinstance(f, (int, float)) or not 0 < f < float("inf"):
                raise UsageError(f"QUORVANE_EMULATE_FAULTS: {host}: {kind!r}: {f!r} is not a kind "
                                 f"(intra, net, gpuN, railN) with a factor above 0")
    return faults


def visible_gpus(settings, count):
    """The physical GPUs of a process with `count` GPUs: CUDA_VISIBLE_DEVICES, else 0..count-1."""
    text = settings.get("CUDA_VISIBLE_DEVICES", "").strip()
    if text:
        ids = [t.strip() for t in text.split(",")]
        if not all(t.isascii() and t.isdigit() for t in ids):
            raise UsageError(f"CUDA_VISIBLE_DEVICES: not a list of GPU indices: {text!r}")
        if len(ids) < count:
            raise UsageError(f"CUDA_VISIBLE_DEVICES={text} shows {len(ids)} GPUs; {count} needed")
        return [int(t) for t in ids[:count]]
    return list(range(count))


def emulated_scale(settings, hosts, gpus=(0,)):
    """Bandwidth factor of this run from QUORVANE_EMULATE_FAULTS, and the noise."""
    faults = parse_faults(settings.get("QUORVANE_EMULATE_FAULTS", ""))
    if len(hosts) == 1:
        fault = faults.get(hosts[0], {})
        scale = fault.get("intra", 1.0) * min(fault.get(f"gpu{g}", 1.0) for g in gpus)
        if fault.get("transport") == "shm":
            scale *= TRANSPORT_COST["shm"]
    else:
        def port(host):
            fault = faults.get(host, {})
            f = fault.get("net", 1.0) * min(fault.get(f"rail{nearest_nic(g)}", 1.0) for g in gpus)
            return f * TRANSPORT_COST.get(fault.get("transport"), 1.0) if fault.get("transport") != "shm" else f
        scale = min(port(h) for h in hosts)
        if len(hosts) == 2 and settings.get("NCCL_ALGO", "").strip().upper() != "RING":
            scale = 1.0 - (1.0 - scale) / 10
    text = settings.get("QUORVANE_EMULATE_NOISE", "").strip() or "0"
    try:
        noise = float(text)
    except ValueError:
        noise = -1.0
    if not 0 <= noise < float("inf"):
        raise UsageError(f"QUORVANE_EMULATE_NOISE must be a number >= 0, not {text!r}")
    return scale, noise


def nearest_nic(gpu):
    """Rail-aligned hosts: GPU i shares its PCIe switch with mlx5_i."""
    return gpu % NICS


# ---- NCCL's debug output ------------------------------------------------------------

NCCL_VERSION = "2.21.5+cuda12.4"


def ib_devices(settings):
    """The RDMA NICs NCCL would use, after NCCL_IB_HCA ("mlx5_0,mlx5_1", "=mlx5_0", "^mlx5_3")."""
    names = [f"mlx5_{i}" for i in range(NICS)]
    hca_list = settings.get("NCCL_IB_HCA", "").strip()
    if not hca_list:
        return names
    exclude = hca_list.startswith("^")
    hca_list = hca_list.lstrip("^")
    exact = hca_list.startswith("=")
    wanted = [w.split(":")[0].strip() for w in hca_list.lstrip("=").split(",") if w.strip()]

    def listed(name):
        return any(name == w or (not exact and name.startswith(w)) for w in wanted)
    return [n for n in names if listed(n) != exclude]


def debug_lines(settings, host, host_index, nhosts, pid, base, nranks, gpus, fault):
    """What NCCL_DEBUG=INFO prints for one process: its ranks base.. on `gpus` (physical indices)."""
    transport = fault.get("transport")
    socket = transport == "socket"
    devices = ib_devices(settings)
    g = len(gpus)
    lines = []

    def info(dev, text):
        lines.append(f"{host}:{pid}:{pid + 1 + dev} [{dev}] NCCL INFO {text}\n")

    oob = f"eth0:10.0.{host_index // 256}.{host_index % 256 + 1}<0>"
    info(0, f"Bootstrap : Using {oob}")
    if base == 0:
        info(0, f"NCCL version {NCCL_VERSION}")
    info(0, "NET/Plugin: Could not find: libnccl-net.so. Using internal network plugin.")
    if socket or not devices:
        info(0, "NET/IB : No device found.")
        info(0, f"NET/Socket : Using [0]{oob}")
        info(0, "Using network Socket")
    else:
        info(0, "NET/IB : Using " + " ".join(f"[{i}]{n}:1/IB" for i, n in enumerate(devices)) + f" [RO]; OOB {oob}")
        info(0, "Using network IB")
        if transport == "no-gdr":
            for i, n in enumerate(devices):
                info(0, f"NET/IB : GPU Direct RDMA Disabled for HCA {i} '{n}' (no module)")

    def net(dev):
        if socket or not devices:
            return "NET/Socket/0"
        want = f"mlx5_{nearest_nic(gpus[dev])}"
        index = devices.index(want) if want in devices else gpus[dev] % len(devices)
        return f"NET/IB/{index}" + ("" if transport == "no-gdr" else "/GDRDMA")

    intra = "SHM/direct/direct" if transport == "shm" else "P2P/CUMEM/read"
    for dev in range(g):
        rank = base + dev
        info(dev, f"comm 0x{0x55d5f5ac0000 + rank * 0x1000:x} rank {rank} nRanks {nranks} nNodes {nhosts} "
                  f"localRanks {g} localRank {dev} MNNVL 0")
        for c in range(2):
            if g > 1 and (dev < g - 1 or nhosts == 1):
                nxt = (dev + 1) % g
                info(dev, f"Channel {c:02d}/0 : {rank}[{dev}] -> {base + nxt}[{nxt}] via {intra}")
            if nhosts > 1 and dev == g - 1:
                peer = (base + g) % nranks
                info(dev, f"Channel {c:02d}/0 : {rank}[{dev}] -> {peer}[0] [send] via {net(dev)}")
            if nhosts > 1 and dev == 0:
                peer = (base - 1) % nranks
                info(dev, f"Channel {c:02d}/0 : {peer}[{g - 1}] -> {rank}[0] [receive] via {net(dev)}")
        info(dev, "Connected all rings")
        info(dev, "2 coll channels, 0 collnet channels, 0 nvls channels, 2 p2p channels, 2 p2p channels per peer")
        info(dev, f"comm 0x{0x55d5f5ac0000 + rank * 0x1000:x} rank {rank} nranks {nranks} cudaDev {dev} "
                  f"nvmlDev {gpus[dev]} busId {BUS_IDS[gpus[dev] % len(BUS_IDS)]}000 commId 0x5ae77eb5ea4ec1ee "
                  f"- Init COMPLETE")
    return lines


def write_debug(settings, names, nhosts, rank, world, gpus, emulating):
    """NCCL_DEBUG=INFO: each process's lines into NCCL_DEBUG_FILE (%h host, %p pid, as NCCL
    expands them), else onto stdout. A run that emulates several hosts in one process
    writes as each of them would."""
    if settings.get("NCCL_DEBUG", "").strip().upper() not in ("INFO", "TRACE"):
        return
    faults = parse_faults(settings.get("QUORVANE_EMULATE_FAULTS", ""))
    target = settings.get("NCCL_DEBUG_FILE", "").strip()
    g = len(gpus)
    for p in range(world) if emulating else [rank]:
        host_index = p * len(names) // world
        host = names[host_index]
        pid = os.getpid() + (p * 100 if emulating else 0)
        lines = debug_lines(settings, host, host_index, max(1, nhosts), pid, p * g, world * g, gpus,
                            faults.get(host, {}))
        if target:
            path = target.replace("%h", host).replace("%p", str(pid))
            try:
                with open(path, "w", encoding="utf-8") as f:
                    f.writelines(lines)
                continue
            except OSError:
                pass  # NCCL keeps printing to stdout when it cannot open the file
        sys.stdout.write("".join(lines))
    sys.stdout.flush()


def collective_of(prog, settings):
    name = settings.get("NCCL_STANDIN_COLLECTIVE") or os.path.basename(prog)
    for suffix in (".py", "_mpi", "_perf"):
        if name.endswith(suffix):
            name = name[: -len(suffix)]
    if name not in COLLECTIVES:
        raise UsageError(f"unknown collective {name!r} (from the program name {prog!r}); "
                         f"expected one of {', '.join(COLLECTIVES)}")
    return name


def parse_flags(args):
    values = dict(DEFAULTS)
    for i in range(0, len(args), 2):
        flag = args[i]
        if flag not in FLAGS and flag not in PASSED_OVER:
            raise UsageError(f"unknown argument {flag!r} (accepted: {' '.join(FLAGS + PASSED_OVER)})")
        if i + 1 == len(args):
            raise UsageError(f"{flag} needs a value")
        if flag in PASSED_OVER:
            continue
        text = args[i + 1]
        if not (text.isascii() and text.isdigit()):
            raise UsageError(f"{flag}: not a decimal integer: {text!r}")
        values[flag] = int(text)
    if values["-g"] < 1:
        raise UsageError("-g must be at least 1")
    return values


def read_settings(prog, environ):
    """The environment over the settings file beside the program."""
    settings = {}
    path = os.path.join(os.path.dirname(prog), SETTINGS_FILE)
    if os.path.dirname(prog) and os.path.isfile(path):
        with open(path, encoding="utf-8") as f:
            for line in f:
                key, sep, value = line.strip().partition("=")
                if sep and not key.startswith("#"):
                    settings[key.strip()] = value.strip()
    settings.update(environ)
    return settings


def first_int(settings, names, default):
    for name in names:
        text = settings.get(name, "").strip()
        if text.isascii() and text.isdigit():
            return int(text)
    return default


def sizes(begin, end, factor):
    size = begin
    while size <= end:
        yield size
        if factor <= 1 or size == 0:
            return
        size *= factor


def time_str(us):
    # nccl-tests keeps the column 7 wide by dropping decimals as times grow
    digits = 2 if us < 10000 else 1 if us < 100000 else 0
    return f"{us:7.{digits}f}"


def measure(size, factor, peak_gbps, latency_us, slowdown=1.0):
    time_us = (latency_us + size * (factor or 1.0) / (peak_gbps * 1e3)) * slowdown
    algbw = size / time_us / 1e3 if time_us > 0 else 0.0
    return time_us, algbw, algbw * factor


# GPU type -> (all_reduce busbw at 32 MiB, plateau), GB/s, of healthy 8-GPU hosts
# (one host; several hosts), as published: see the docstring for the sources.
CURVES_ONE_HOST = {
    "H100_SXM": (321.10, 482.27),
    "H200": (300.0, 476.96),
    "A100_SXM": (156.89, 235.26),
    "MI300X": (238.45, 315.69),
}
CURVES_HOSTS = {
    "H100_SXM": (59.36, 338.82),
    "MI300X": (106.58, 357.46),
}
GENERIC_CURVE = (10.0, 370.0)   # latency us, peak GB/s
CALIBRATION_BYTES = 32 << 20


def curve(settings, several_hosts):
    """(latency us, peak GB/s) of the model: the GPU type's published curve, the
    generic one without a known type; NCCL_STANDIN_* settings win."""
    gpu_type = settings.get("QUORVANE_EMULATE_GPU_TYPE", "").strip()
    figures = (several_hosts and CURVES_HOSTS.get(gpu_type)) or CURVES_ONE_HOST.get(gpu_type)
    if figures:
        at_32, plateau = figures
        factor = 2 * ((16 if several_hosts and gpu_type in CURVES_HOSTS else 8) - 1) / \
            (16 if several_hosts and gpu_type in CURVES_HOSTS else 8)
        latency = CALIBRATION_BYTES * factor / 1e3 * (1 / at_32 - 1 / plateau)
    else:
        latency, plateau = GENERIC_CURVE
    peak = float(settings.get("NCCL_STANDIN_BUSBW_GBPS") or plateau)
    return float(settings.get("NCCL_STANDIN_LATENCY_US") or latency), peak


def table_rows(coll, flags, nranks, settings, wrong_rows=False, scale=1.0, noise=0.0, several_hosts=False):
    import random
    redop, root, bus_factor, per_rank = COLLECTIVES[coll]
    factor = bus_factor(nranks)
    latency, peak = curve(settings, several_hosts)
    peak *= scale
    wrong_count = int(settings.get("NCCL_STANDIN_WRONG") or 3)
    all_sizes = list(sizes(flags["-b"], flags["-e"], flags["-f"]))
    rows, busbws, total_wrong = [], [], 0
    for i, requested in enumerate(all_sizes):
        # like nccl-tests, round down to whole elements (per rank where data is split)
        count = requested // ELEMENT_BYTES // (nranks if per_rank else 1)
        size = count * ELEMENT_BYTES * (nranks if per_rank else 1)
        wrong = wrong_count if wrong_rows and (len(all_sizes) - 1 - i) % 2 == 0 else 0
        total_wrong += 2 * wrong
        line = f"{size:12d}  {count:12d}  {'float':>8}  {redop:>6}  {root:6d}"
        row_peak = peak * max(0.01, 1.0 + random.gauss(0.0, noise)) if noise else peak
        for slowdown in (1.0, 1.02):  # out-of-place, then in-place
            time_us, algbw, busbw = measure(size, factor, row_peak, latency, slowdown)
            busbws.append(busbw)
            line += f"  {time_str(time_us)}  {algbw:6.2f}  {busbw:6.2f}  {wrong:6d}"
        rows.append(line + "\n")
    avg = sum(busbws) / len(busbws) if busbws else 0.0
    bounds = f"{total_wrong} FAILED" if total_wrong else "0 OK"
    footer = f"# Out of bounds values : {bounds}\n# Avg bus bandwidth    : {avg:g} \n#\n"
    return rows, footer


def header(prog, coll, flags, nranks, settings, world=None, names=None, gpus=None):
    if world is None:
        world = first_int(settings, ("OMPI_COMM_WORLD_SIZE", "SLURM_NTASKS", "SLURM_NPROCS", "PMI_SIZE"), 1)
    local = first_int(settings, ("OMPI_COMM_WORLD_LOCAL_SIZE", "SLURM_NTASKS_PER_NODE"), world)
    host, pid, g = os.uname().nodename, os.getpid(), flags["-g"]
    lines = [
        "# nccl-tests version 2.18.0 nccl-headers=22907 nccl-library=22907 (stand-in, no GPU)\n",
        f"# Collective test starting: {os.path.basename(prog)}\n",
        f"# nThread 1 nGpus {g} minBytes {flags['-b']} maxBytes {flags['-e']} step: {flags['-f']}(factor)"
        f" warmup iters: {flags['-w']} iters: {flags['-n']} agg iters: 1 validation: 1 graph: 0\n",
        "#\n",
        "# Using devices\n",
    ]
    for r in range(nranks):
        dev = r % (g * local)
        if names:
            host = names[r * len(names) // nranks]
        phys = gpus[dev % len(gpus)] if gpus else dev
        lines.append(f"#  Rank {r:2d} Group  0 Pid {pid:6d} on {host:>10} device {dev:2d}"
                     f" [0000:{BUS_IDS[phys % len(BUS_IDS)]}:00] {GPU_NAME}\n")
    return "".join(lines) + "#\n" + HEADER


def kill_self(settings):
    import signal
    name = (settings.get("NCCL_STANDIN_SIGNAL") or "SEGV").upper()
    sig = int(name) if name.isdigit() else getattr(signal, name if name.startswith("SIG") else "SIG" + name)
    sys.stdout.flush()
    sys.stderr.flush()
    if sig != signal.SIGKILL:
        signal.signal(sig, signal.SIG_DFL)  # no Python or faulthandler handler in the way
    os.kill(os.getpid(), sig)


def main(argv=None, environ=None):
    argv = sys.argv if argv is None else argv
    prog = argv[0] if argv else "nccl_standin"
    settings = read_settings(prog, os.environ if environ is None else environ)
    rank = first_int(settings, ("OMPI_COMM_WORLD_RANK", "PMIX_RANK", "SLURM_PROCID", "PMI_RANK"), 0)
    listed = [h for h in settings.get("QUORVANE_EMULATE_HOSTS", "").split(",") if h.strip()]
    world = first_int(settings, ("OMPI_COMM_WORLD_SIZE", "SLURM_NTASKS", "SLURM_NPROCS", "PMI_SIZE"),
                      len(listed) or 1)
    out = sys.stdout if rank == 0 else None
    try:
        coll = collective_of(prog, settings)
        flags = parse_flags(argv[1:])
        hosts = run_hosts(settings)
        gpus = visible_gpus(settings, flags["-g"])
        scale, noise = emulated_scale(settings, hosts, gpus)
        mode = settings.get(f"NCCL_STANDIN_MODE_{coll}") or settings.get("NCCL_STANDIN_MODE") or "ok"
        if mode not in MODES:
            raise UsageError(f"unknown NCCL_STANDIN_MODE {mode!r} (one of {', '.join(MODES)})")
    except UsageError as exc:
        if out:
            print(f"{os.path.basename(prog)}: {exc}", file=sys.stderr)
        return 2

    fail_rank = settings.get("NCCL_STANDIN_FAIL_RANK", "").strip()
    if fail_rank:
        if fail_rank != str(rank):
            mode = "ok"
        speaks = True  # the chosen rank reports its own failure
    else:
        speaks = rank == 0

    if mode == "fail":
        if speaks:
            message = settings.get("NCCL_STANDIN_MESSAGE") or FAIL_MESSAGE.format(
                prog=os.path.basename(prog), rank=rank)
            print(message, file=sys.stderr)
        return int(settings.get("NCCL_STANDIN_EXIT") or 1)
    if mode == "sleep":
        import time
        time.sleep(float(settings.get("NCCL_STANDIN_SLEEP") or 30))
    if mode == "garbage":
        if out:
            out.write(GARBAGE)
        return 0

    nranks = flags["-g"] * world
    # One process emulating every listed host writes the debug output of each.
    launched = first_int(settings, ("OMPI_COMM_WORLD_SIZE", "SLURM_NTASKS", "SLURM_NPROCS", "PMI_SIZE"), 0) > 0
    own = settings.get("SLURMD_NODENAME", "").strip() or os.uname().nodename
    write_debug(settings, [h.strip() for h in listed] or [own], len(hosts), rank, world, gpus,
                emulating=bool(listed) and not launched)
    if out:
        out.write(header(prog, coll, flags, nranks, settings, world, listed, gpus))
    if mode == "signal":
        kill_self(settings)
    local = first_int(settings, ("OMPI_COMM_WORLD_LOCAL_SIZE", "SLURM_NTASKS_PER_NODE"), world)
    rows, footer = table_rows(coll, flags, nranks, settings, wrong_rows=mode == "wrong", scale=scale, noise=noise,
                              several_hosts=len(hosts) > 1 or local < world)
    if mode == "partial":
        rows, footer = rows[: (len(rows) + 1) // 2], ""
    if out:
        out.write("".join(rows) + footer)
        if footer:
            out.write(f"# Collective test concluded: {os.path.basename(prog)}\n#\n")
        out.flush()
    return 0


if __name__ == "__main__":
    sys.exit(main())
