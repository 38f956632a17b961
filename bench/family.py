#!/usr/bin/env python3
"""IPv6 against IPv4 on a shared, noisy machine: in each row the two families take turns every
few frames in one loop (BM_*FamilyPair), round after round, and the table gives the median of
the per-round ratios with their spread, beside the same system calls without the library and
the kernel's own pair.

    bench/family.py build/bench/bench/portnet_bench [rounds] > table.md

With valgrind, it also counts the instructions the 256-peer frame runs in user space per
family: a figure the machine's load does not move.
"""
import json
import os
import random
import re
import shutil
import statistics
import subprocess
import sys
import tempfile

PEERS = (1, 8, 64, 256)


def run(binary, pattern):
    out = subprocess.run(
        [binary, "--benchmark_filter=" + pattern, "--benchmark_min_time=0.3",
         "--benchmark_enable_random_interleaving=true", "--benchmark_format=json"],
        check=True, capture_output=True, text=True).stdout
    return {b["name"]: b for b in json.loads(out)["benchmarks"] if "error_message" not in b}


def instructions(binary, peers, family):
    """User-space instructions per peer-frame of BM_UdpFamily (callgrind), or None."""
    if not shutil.which("valgrind") or not shutil.which("callgrind_annotate"):
        return None
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "cg.out")
        subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=" + out, binary,
                        "--benchmark_filter=^BM_UdpFamily/peers:%d/family:%d$" % (peers, family),
                        "--benchmark_min_time=0.2"], check=True, capture_output=True)
        tree = subprocess.run(["callgrind_annotate", "--inclusive=yes", "--tree=caller", out],
                              check=True, capture_output=True, text=True).stdout
    # "N (p%)  < ...PortnetUdp(...) (Fx)" then "N (p%)  *  ...CStar<...>::Frame()": the frames'
    # inclusive instructions and how many frames ran.
    m = re.search(r"([\d,]+) \([^)]*\)\s+<[^\n]*PortnetUdp[^\n]*\((\d+)x\)[^\n]*\n"
                  r"\s*[\d,]+ \([^)]*\)\s+\*[^\n]*CStar<[^\n]*::Frame\(\)", tree)
    if not m:
        return None
    return int(m.group(1).replace(",", "")) / int(m.group(2)) / peers


def quartiles(values):
    v = sorted(values)
    if len(v) < 4:
        return v[0], v[-1]
    q = statistics.quantiles(v, n=4)
    return q[0], q[2]


def main():
    binary = sys.argv[1]
    rounds = int(sys.argv[2]) if len(sys.argv) > 2 else 15
    rows = ["BM_UdpFamilyPair/peers:%d" % p for p in PEERS]
    rows += ["BM_UdpRawFamilyPair/peers:%d" % p for p in PEERS]
    rows += ["BM_SyscallPairFamilyPair"]
    calls = ["BM_SyscallEmptyRecvfrom", "BM_SyscallSendto"]
    got = {r: {"v4_ns": [], "v6_ns": [], "ratio": []} for r in rows}
    syscalls = {c: [] for c in calls}
    with open("/proc/loadavg") as f:
        load_start = f.read().split()[:3]
    for r in range(rounds):
        # One process a round, its rows in random order; within a row the two families take
        # turns every few frames.
        res = run(binary, "^(%s)$" % "|".join(rows + calls))
        for row in rows:
            if row in res:
                for k in got[row]:
                    got[row][k].append(res[row][k])
        for c in calls:
            if c in res:
                syscalls[c].append(res[c]["cpu_time"])
        print("round %d of %d" % (r + 1, rounds), file=sys.stderr)
    with open("/proc/loadavg") as f:
        load_end = f.read().split()[:3]
    counted = {fam: instructions(binary, 256, fam) for fam in (4, 6)}

    med = statistics.median
    print("%d rounds; load average %s at the start, %s at the end." %
          (rounds, " ".join(load_start), " ".join(load_end)))
    print("An empty `recvfrom` %.0f ns, a `sendto` of 200 bytes %.0f ns (medians)." %
          (med(syscalls[calls[0]]), med(syscalls[calls[1]])))
    print()
    print("| peers | portnet IPv4 | portnet IPv6 | portnet IPv6 / IPv4 (quartiles; min..max) "
          "| calls alone IPv4 | calls alone IPv6 | calls alone IPv6 / IPv4 (quartiles) "
          "| library's own IPv4 / IPv6 |")
    print("|---|---|---|---|---|---|---|---|")
    for p in PEERS:
        lib, raw = got["BM_UdpFamilyPair/peers:%d" % p], got["BM_UdpRawFamilyPair/peers:%d" % p]
        if not lib["ratio"] or not raw["ratio"]:
            continue
        lq, rq = quartiles(lib["ratio"]), quartiles(raw["ratio"])
        print("| %d | %.0f | %.0f | **%.3f** (%.3f..%.3f; %.3f..%.3f) | %.0f | %.0f | %.3f "
              "(%.3f..%.3f) | %.0f / %.0f |" %
              (p, med(lib["v4_ns"]), med(lib["v6_ns"]), med(lib["ratio"]), lq[0], lq[1],
               min(lib["ratio"]), max(lib["ratio"]), med(raw["v4_ns"]), med(raw["v6_ns"]),
               med(raw["ratio"]), rq[0], rq[1], med(lib["v4_ns"]) - med(raw["v4_ns"]),
               med(lib["v6_ns"]) - med(raw["v6_ns"])))
    pair = got["BM_SyscallPairFamilyPair"]
    if pair["ratio"]:
        q = quartiles(pair["ratio"])
        print()
        print("Kernel pair (a `sendto` of 200 bytes and the `recv` that reads it): IPv4 %.0f ns, "
              "IPv6 %.0f ns, %.3f (quartiles %.3f..%.3f; %.3f..%.3f)." %
              (med(pair["v4_ns"]), med(pair["v6_ns"]), med(pair["ratio"]), q[0], q[1],
               min(pair["ratio"]), max(pair["ratio"])))
    if counted[4] and counted[6]:
        print()
        print("User-space instructions per peer-frame at 256 peers (callgrind): IPv4 %.0f, "
              "IPv6 %.0f (%.3fx)." % (counted[4], counted[6], counted[6] / counted[4]))


if __name__ == "__main__":
    main()
