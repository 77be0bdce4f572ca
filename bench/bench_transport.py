"""The path account's reader against a line split of the same bytes.

Generates NCCL debug logs of a 1,024-rank run (128 hosts x 8 GPUs, IB with GDR,
P2P inside hosts, the init, NET, channel and tuning lines NCCL prints, with
launcher prefixes on a quarter of the lines) to about 100 MB, then times, side
by side (samples alternate, medians shown):

  split      str.splitlines() of the text: the least any reader must do
  account    quorvane.analysis.read_path: the whole account and its findings
  stream     the same through PathReader.feed in 1 MiB pieces, as files are read

and prints each with its ratio to the split, and the account's time per MB at
a tenth and at the whole size (the reader must be linear). Target: account
within 2x the split. Run it with the modules importable:

  PYTHONPATH=<site> python3 bench/bench_transport.py [--mb 100] [--reps 3]
"""

import argparse
import statistics
import time

import quorvane.analysis as qa

TARGET = 2.0
HOSTS, GPUS = 128, 8


def rank_lines(host, gpu, channels=32):
    rank = host * GPUS + gpu
    name = f"gpu-node{host:03d}"
    p = f"{name}:{40000 + gpu}:{41000 + gpu} [{gpu}] NCCL INFO "
    nranks = HOSTS * GPUS
    out = [f"{p}Bootstrap : Using eth0:10.1.{host}.{gpu}<0>",
           f"{p}NCCL version 2.21.5+cuda12.4" if rank == 0 else f"{p}cudaDriverVersion 12040",
           f"{p}NET/Plugin: Could not find: libnccl-net.so. Using internal network plugin.",
           f"{p}NET/IB : Using [0]mlx5_0:1/IB [1]mlx5_1:1/IB [2]mlx5_2:1/IB [3]mlx5_3:1/IB [4]mlx5_4:1/IB "
           f"[5]mlx5_5:1/IB [6]mlx5_6:1/IB [7]mlx5_7:1/IB [RO]; OOB eth0:10.1.{host}.{gpu}<0>",
           f"{p}Using network IB",
           f"{p}comm 0x55d5f5ac09e0 rank {rank} nRanks {nranks} nNodes {HOSTS} localRanks {GPUS} localRank {gpu} "
           f"MNNVL 0",
           f"{p}Setting affinity for GPU {gpu} to ffff,0000ffff",
           f"{p}NVLS multicast support is available on dev {gpu}"]
    for c in range(channels):
        out.append(f"{p}Channel {c:02d}/{channels} :    " + " ".join(str((rank + k) % nranks) for k in range(24)))
        nxt = (rank + 1) % nranks
        if gpu == GPUS - 1:
            out.append(f"{p}Channel {c:02d}/0 : {rank}[{gpu}] -> {nxt}[0] [send] via NET/IB/{gpu}/GDRDMA")
            out.append(f"{p}Channel {c:02d}/0 : {rank - 1}[{gpu - 1}] -> {rank}[{gpu}] via P2P/CUMEM/read")
        else:
            out.append(f"{p}Channel {c:02d}/0 : {rank}[{gpu}] -> {nxt}[{gpu + 1}] via P2P/CUMEM/read")
            out.append(f"{p}Channel {c:02d}/0 : {(rank - 1) % nranks}[{(gpu - 1) % GPUS}] -> {rank}[{gpu}] "
                       f"[receive] via NET/IB/{gpu}/GDRDMA")
        out.append(f"{p}Trees [{c}] {rank + 1}/-1/-1->{rank}->{rank - 1}")
    out += [f"{p}Connected all rings, use ring PXN 0 GDR 1",
            f"{p}32 coll channels, 32 collnet channels, 16 nvls channels, 32 p2p channels, 32 p2p channels per peer",
            f"{p}comm 0x55d5f5ac09e0 rank {rank} nranks {nranks} cudaDev {gpu} nvmlDev {gpu} busId 18000 "
            f"commId 0x5ae77eb5ea4ec1ee - Init COMPLETE"]
    if rank % 4 == 1:  # mpirun --tag-output on some of them
        out = [f"[1,{rank}]<stdout>:{line}" for line in out]
    return out


def make_text(mb):
    pieces, size, i = [], 0, 0
    while size < mb * 1_000_000:
        block = "\n".join(rank_lines((i // GPUS) % HOSTS, i % GPUS)) + "\n"
        pieces.append(block)
        size += len(block)
        i += 1
    return "".join(pieces), i


def stream(text):
    r = qa.PathReader()
    step = 1 << 20
    for k in range(0, len(text), step):
        r.feed(text[k:k + step])
    r.end_piece()
    return r.account()


def medians(funcs, reps):
    times = [[] for _ in funcs]
    for _ in range(reps):
        for k, f in enumerate(funcs):
            t = time.perf_counter()
            f()
            times[k].append(time.perf_counter() - t)
    return [statistics.median(t) for t in times]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--mb", type=int, default=100)
    parser.add_argument("--reps", type=int, default=3)
    args = parser.parse_args()
    text, blocks = make_text(args.mb)
    small = text[: len(text) // 10]
    acc = qa.read_path(text).to_dict()
    assert acc["network"] == "IB" and acc["ranks"] == HOSTS * GPUS and acc["gdr"] is True, acc["network"]
    print(f"{len(text) / 1e6:.1f} MB, {text.count(chr(10)):,} lines, {blocks} rank logs, "
          f"{acc['nodes']} nodes, {len(acc['nics'])} NICs in use")
    split, account, streamed = medians([text.splitlines, lambda: qa.read_path(text), lambda: stream(text)],
                                       args.reps)
    small_split, small_account = medians([small.splitlines, lambda: qa.read_path(small)], args.reps)
    print(f"{'':<10} {'seconds':>8} {'ratio':>6}")
    for name, t in (("split", split), ("account", account), ("stream", streamed)):
        print(f"{name:<10} {t:>8.3f} {t / split:>6.2f}")
    print(f"account per MB: {small_account / (len(small) / 1e6) * 1e3:.2f} ms at {len(small) / 1e6:.0f} MB, "
          f"{account / (len(text) / 1e6) * 1e3:.2f} ms at {len(text) / 1e6:.0f} MB")
    ratio = account / split
    print(f"\naccount / split: {ratio:.2f} (target <= {TARGET:.1f}): {'met' if ratio <= TARGET else 'NOT met'}")


if __name__ == "__main__":
    main()
