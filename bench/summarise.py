#!/usr/bin/env python3
"""Turns one run of portnet_bench (JSON, median aggregates) into bench/results.md.

usage: summarise.py RESULTS.json MACHINE.txt [PROFILE_1.txt PROFILE_8.txt]
       summarise.py --section5 RESULTS.json MACHINE.txt RESULTS.md
       summarise.py --section6 RATEBENCH.md RESULTS.md
       summarise.py --section7 RESULTS.json MACHINE.txt RESULTS.md
       summarise.py --section8 RESULTS.json MACHINE.txt SIMULATED.md RESULTS.md
MACHINE.txt holds "key: value" lines; the profiles are `perf report --sort dso` outputs of
the in-process frame with 1 and 8 peers. With --section5, a run of the many-peer rows alone
replaces section 5 of RESULTS.md, which then says when and under what load it was measured.
With --section6, the output of portnet_ratebench (simulated time: the same on any machine)
replaces section 6 of RESULTS.md, so a change to the rate scenario needs no timed run.
With --section7, the server-under-churn rows of a run (of their own, or the whole run's) replace
section 7 of RESULTS.md, or are added at its end. With --section8, portnet_blockbench's table
(SIMULATED.md) and the 1 MiB rows over UDP of a run replace section 8 of RESULTS.md, or are added
at its end.
"""
import json
import re
import sys


def load(path):
    """Median rows by run name, and the coefficient of variation of each timed run."""
    with open(path) as f:
        data = json.load(f)
    runs, spread = {}, {}
    for b in data["benchmarks"]:
        if b.get("error_occurred"):
            continue
        name = b.get("run_name", b["name"])
        kind = b.get("aggregate_name", "median")
        if kind == "median":
            runs[name] = b
        elif kind == "cv" and "iterations:" not in name:
            spread[name] = b["cpu_time"] * 100
    return runs, spread


def ns(b):
    scale = {"ns": 1.0, "us": 1e3, "ms": 1e6, "s": 1e9}[b["time_unit"]]
    return b["cpu_time"] * scale


def library_share(path):
    """Percent of samples in libportnet.so, from a perf report sorted by module."""
    try:
        with open(path) as f:
            for line in f:
                m = re.match(r"\s*([\d.]+)%\s+libportnet\.so", line)
                if m:
                    return float(m.group(1))
    except OSError:
        pass
    return None


def read_machine(path):
    machine = {}
    with open(path) as f:
        for line in f:
            key, _, value = line.partition(":")
            machine[key.strip()] = value.strip()
    return machine


def section5_only(results, machine_path, md_path):
    """Section 5 of md_path replaced by the many-peer rows of a run of their own."""
    runs, spread = load(results)
    machine = read_machine(machine_path)
    out = []
    scale_section(out.append, runs.get)
    worst = max(spread, key=spread.get) if spread else None
    note = (f"These rows are from a run of their own ({machine.get('date', '?')}; repetitions: "
            f"{machine.get('repetitions', '?')}; load average {machine.get('load average at start', '?')} "
            f"at its start, {machine.get('load average at end', '?')} at its end")
    note += f"; largest spread {spread[worst]:.1f} % in {worst})." if worst else ")."
    out.insert(1, note + "\n")
    with open(md_path) as f:
        text = f.read()
    start = text.index("## 5. Many peers on one host")
    end = text.index("## 6.", start)
    with open(md_path, "w") as f:
        f.write(text[:start] + "\n".join(out) + "\n\n" + text[end:])


def section6(rate_path, md_path):
    """Section 6 of md_path replaced by a run of portnet_ratebench, priority shares included."""
    with open(rate_path) as f:
        rate = f.read().strip("\n")
    for heading in ("## 6. Rate adaptation", "### Priority shares"):
        if heading not in rate:
            sys.exit(f"{rate_path}: no '{heading}': not an output of portnet_ratebench")
    with open(md_path) as f:
        text = f.read()
    start = text.index("## 6.")
    end = text.find("## 7.", start)
    rest = text[end:] if end >= 0 else ""
    with open(md_path, "w") as f:
        f.write(text[:start] + rate + "\n\n" + rest)


def counter_spread(path):
    """Coefficient of variation of every run's counters, in percent, by run name."""
    with open(path) as f:
        data = json.load(f)
    out = {}
    for b in data["benchmarks"]:
        if b.get("aggregate_name") == "cv" and not b.get("error_occurred"):
            out[b.get("run_name", b["name"])] = b
    return out


def section7(results, machine_path, md_path):
    """Section 7: a server of 256 players with one leaving and one joining every frame."""
    runs, _ = load(results)
    cvs = counter_spread(results)
    machine = read_machine(machine_path)
    out = []
    w = out.append
    spreads = {n: c["host_cpu_ns_per_frame"] for n, c in cvs.items()
               if n.startswith("BM_Server") and "host_cpu_ns_per_frame" in c}
    worst = max(spreads, key=spreads.get) if spreads else None
    worst_text = (f"; largest spread of the host's CPU time {spreads[worst] * 100:.1f} % in {worst}"
                  if worst else "")
    w("## 7. A server under churn\n")
    w(f"Measured {machine.get('date', '?')}; repetitions: {machine.get('repetitions', '?')}; load "
      f"average {machine.get('load average at start', '?')} at the start, "
      f"{machine.get('load average at end', '?')} at the end{worst_text}. Run alone with "
      "`SECTION=7 bench/run.sh` (`--benchmark_filter='BM_Server(Sim|Udp)/|BM_Syscall'`).\n")
    w("A `CNetServer` (table of 257 slots) with 256 players, each a `CNetConnection` with an endpoint")
    w("of its own, over the simulator or UDP on 127.0.0.1 (players told apart by port); ports 1-3")
    w("`CBlobState<64>` from the host, 10 % changing per frame in 4-byte fields, acknowledged by")
    w("every player every frame. *Steady*: nobody comes or goes. *Churn*: every frame the oldest")
    w("player leaves (`Leave`: the host hears a goodbye and lets it go) and a new one joins (`Connect`")
    w("from an endpoint that rested 8 frames, its first packet sent at once: the host reads it in")
    w("the same drain as the goodbye, admits it, holding 257 peers until the goodbye's peer is let")
    w("go at the end of `Read`, and sends it whole states). Timed: the host's five steps alone,")
    w("inside each frame (events polled outside), as this thread's CPU time (`CLOCK_THREAD_CPUTIME_ID`,")
    w("system calls included), which other work on a shared machine does not stretch by taking the")
    w("CPU away, and as wall time like section 5. *Separate rows*: a rig of steady frames and a rig")
    w("of churn frames, interleaved with the other rows. *Paired*: one rig whose frames are churn")
    w("and steady in turn, each kind timed on its own, so both meet the same moments of the")
    w("machine's load; the ratio is taken within each repetition and its median shown, with its")
    w("spread (coefficient of variation over the repetitions). *Heap*: what the process's heap grew")
    w("by per timed churn frame (`mallinfo2`).\n")
    w("| transport | separate rows: steady / churn host CPU ns per frame | ratio | paired: steady / churn host CPU ns per frame | **paired ratio** | its spread | wall-time ratio, separate / paired | joins / leaves per churn frame | heap B / churn frame |")
    w("|---|---|---|---|---|---|---|---|---|")
    for transport, label in (("Sim", "simulator"), ("Udp", "UDP 127.0.0.1")):
        a = runs.get(f"BM_Server{transport}/peers:256/churn:0")
        b = runs.get(f"BM_Server{transport}/peers:256/churn:1")
        p = runs.get(f"BM_Server{transport}/peers:256/churn:2")
        if not (a and b and p and "cpu_churn_over_steady" in p):
            w(f"| {label} | (not run) ||||||||")
            continue
        sp = cvs.get(f"BM_Server{transport}/peers:256/churn:2", {}).get("cpu_churn_over_steady")
        spread = f"{sp * 100:.1f} %" if sp is not None else "-"
        ca, cb = a["host_cpu_ns_per_frame"], b["host_cpu_ns_per_frame"]
        ha, hb = a["host_ns_per_frame"], b["host_ns_per_frame"]
        w(f"| {label} | {ca:.0f} / {cb:.0f} | {cb / ca:.3f} | {p['cpu_ns_steady']:.0f} / "
          f"{p['cpu_ns_churn']:.0f} | **{p['cpu_churn_over_steady']:.3f}** | {spread} | "
          f"{hb / ha:.3f} / {p['wall_churn_over_steady']:.3f} | "
          f"{b['joins_per_frame']:.2f} / {b['leaves_per_frame']:.2f} | {b['heap_B_per_frame']:.1f} |")
    rf, st = runs.get("BM_SyscallEmptyRecvfrom"), runs.get("BM_SyscallSendto")
    if rf and st:
        w(f"\nThe system calls the UDP row rests on, in this run: an empty `recvfrom` {ns(rf):.0f} ns, "
          f"a `sendto` of 200 bytes {ns(st):.0f} ns.")
    w("\nTarget: the churn frame at most 1.2 x the steady frame (host's steps; the paired ratio).\n")
    w("Where a join and a leave go, in instructions: `valgrind --tool=callgrind "
      "--toggle-collect='*HostSteps*' --dump-before=mallinfo2 build/bench/bench/portnet_bench "
      "--benchmark_filter='BM_ServerSim/peers:256/churn:1$' --benchmark_min_time=0.05` (and "
      "`churn:0`); each dump that follows the one made at the first `mallinfo2` of a run holds "
      "that run's timed frames only.\n")
    try:
        with open(md_path) as f:
            text = f.read()
    except OSError:
        text = ""
    at = text.find("## 7. A server under churn")
    if at == -1:
        text = text.rstrip("\n") + "\n\n"
        at = len(text)
    end = text.find("\n## ", at + 1)
    rest = text[end + 1:] if end != -1 else ""
    with open(md_path, "w") as f:
        f.write(text[:at] + "\n".join(out) + ("\n" + rest if rest else ""))


def real_ms(b):
    scale = {"ns": 1e-6, "us": 1e-3, "ms": 1.0, "s": 1e3}[b["time_unit"]]
    return b["real_time"] * scale


def section8(results, machine_path, simulated_path, md_path):
    """Section 8: the simulated large-block table, then 1 MiB over UDP against ENet."""
    runs, spread = load(results)
    machine = read_machine(machine_path)
    with open(simulated_path) as f:
        out = [f.read().strip("\n") + "\n"]
    w = out.append
    w("### Over UDP on 127.0.0.1, one process\n")
    w(f"Measured {machine.get('date', '?')}; repetitions: {machine.get('repetitions', '?')}; load "
      f"average {machine.get('load average at start', '?')} at the start, "
      f"{machine.get('load average at end', '?')} at the end. Run alone with `SECTION=8 "
      "bench/run.sh` (`--benchmark_filter='BM_BlockUdp|BM_Syscall'`).\n")
    w("One sender and one receiver in one process, on 127.0.0.1 and 127.0.0.2, each servicing its")
    w("socket in turn without sleeping. *portnet*: a 1 MiB block (`CNetBlockStream::Send`) from a")
    w("client with `m_adapt_rate` and `m_priority_aging` on, until the receiver's `BlockReceived`;")
    w("every pass runs both managers' five steps (the library clock read each time). *ENet 1.3*:")
    w("one `ENET_PACKET_FLAG_RELIABLE` packet of 1 MiB (`enet_peer_send`, default MTU 1400, no")
    w("bandwidth limit), serviced with `enet_host_service(host, &event, 0)` until it is received.")
    w("Wall time per transfer, median over the repetitions; the sender's acknowledgement is awaited")
    w("untimed before the next. *Datagrams*: both ways, as each library counts them. *System calls*:")
    w("those datagrams at the cost of one `sendto` and one empty `recvfrom` each, as measured in the")
    w("same run (rows `BM_Syscall*`): what they would cost sent and read one call each. ENet makes")
    w("a call per datagram; portnet's UDP driver batches (`sendmmsg`, `recvmmsg`), so its transfer")
    w("can take less than this figure.\n")
    rf, st = runs.get("BM_SyscallEmptyRecvfrom"), runs.get("BM_SyscallSendto")
    call_ns = ns(rf) + ns(st) if rf and st else None
    w("| library | 1 MiB delivered, ms | MB/s | datagrams both ways | their system calls, ms | frames (portnet) | fragments resent |")
    w("|---|---|---|---|---|---|---|")
    rows = (("portnet", "BM_BlockUdpPortnet"), ("ENet 1.3", "BM_BlockUdpEnet"))
    times = {}
    for label, name in rows:
        b = runs.get(name + "/manual_time") or runs.get(name)
        if not b:
            w(f"| {label} | not run | | | | | |")
            continue
        ms = real_ms(b)
        times[label] = ms
        dg = b.get("datagrams", 0)
        calls = f"{dg * call_ns / 1e6:.1f}" if call_ns else "-"
        frames = f"{b['frames']:.0f}" if "frames" in b else "-"
        resent = f"{b['resent']:.0f}" if "resent" in b else "-"
        w(f"| {label} | {ms:.1f} | {1.048576 / (ms / 1000):.1f} | {dg:.0f} | {calls} | {frames} | {resent} |")
    if rf and st:
        w(f"\nIn this run: an empty `recvfrom` {ns(rf):.0f} ns, a `sendto` of 200 bytes {ns(st):.0f} ns.")
    if "portnet" in times and "ENet 1.3" in times:
        met = times["portnet"] <= times["ENet 1.3"]
        w(f"\nTarget: portnet delivers 1 MiB in at most the time ENet 1.3 takes: "
          f"{'**met**' if met else '**not met**'} ({times['portnet']:.1f} against "
          f"{times['ENet 1.3']:.1f} ms = {times['portnet'] / times['ENet 1.3']:.2f}x).\n")
    else:
        w("\nTarget: portnet delivers 1 MiB in at most the time ENet 1.3 takes: not measured "
          "(built without ENet: apt-get install libenet-dev pkg-config).\n")
    try:
        with open(md_path) as f:
            text = f.read()
    except OSError:
        text = ""
    at = text.find("## 8. Large blocks")
    if at == -1:
        text = text.rstrip("\n") + "\n\n"
        at = len(text)
    end = text.find("\n## ", at + 1)
    rest = text[end + 1:] if end != -1 else ""
    with open(md_path, "w") as f:
        f.write(text[:at] + "\n".join(out) + ("\n" + rest if rest else ""))


def main():
    if sys.argv[1] == "--section8":
        section8(*sys.argv[2:6])
        return
    if sys.argv[1] == "--section5":
        section5_only(*sys.argv[2:5])
        return
    if sys.argv[1] == "--section6":
        section6(*sys.argv[2:4])
        return
    if sys.argv[1] == "--section7":
        section7(*sys.argv[2:5])
        return
    runs, spread = load(sys.argv[1])
    machine = read_machine(sys.argv[2])
    shares = {}
    for peers, path in zip((1, 8), sys.argv[3:5]):
        shares[peers] = library_share(path)

    def get(name):
        return runs.get(name)

    out = []
    w = out.append
    w("# portnet benchmark results\n")
    w("Written by `bench/run.sh` from one run of `portnet_bench` (Release build); every figure is the")
    w("median of the repetitions, in CPU time of the benchmark thread (system calls included).")
    w("Ratios are taken between rows of that same run.\n")
    w("| | |\n|---|---|")
    for key in ("date", "cpu", "cores", "kernel", "compiler", "load average at start",
                "load average at end", "repetitions"):
        if key in machine:
            w(f"| {key} | {machine[key]} |")
    if spread:
        worst = max(spread, key=spread.get)
        w(f"| largest spread of a timed row | {spread[worst]:.1f} % ({worst}; coefficient of "
          "variation of the repetitions; time differences of that order can be noise) |")
    w("")

    w("## 1. Library cost per frame, no system calls\n")
    w("One host and 1 or 8 peers in one process; port 0 of every client a chat stream both ways")
    w("(a line whenever the stream has room), ports 1-3 `CBlobState<64>` from the host, 10 % of each")
    w("changing per frame in 4-byte fields; the five steps on the host and on every peer each frame.")
    w("Loopback: an endpoint holds one datagram, so the host gives each peer an endpoint of its own")
    w("and reads it through the client's own receive buffer (cheapest path, one copy per datagram).")
    w("Simulator: one host endpoint with a bounded queue, zero impairments; shown for comparison.\n")
    w("| transport | peers | ns / frame | ns / peer-frame | library share (perf) | library ns / peer-frame | wire B / frame | host B / peer | peer B / peer |")
    w("|---|---|---|---|---|---|---|---|---|")
    for transport, label in (("Loopback", "loopback"), ("Sim", "simulator")):
        for peers in (1, 8):
            b = get(f"BM_Frame{transport}/peers:{peers}/slots:0")
            if not b:
                w(f"| {label} | {peers} | (not run) |||||||")
                continue
            per_peer = ns(b) / peers
            share = shares.get(peers) if transport == "Loopback" else None
            share_text = f"{share:.0f} %" if share is not None else "-"
            lib_text = f"{per_peer * share / 100:.0f}" if share is not None else "-"
            w(f"| {label} | {peers} | {ns(b):.0f} | {per_peer:.0f} | {share_text} | {lib_text} | "
              f"{b['wire_B_per_frame']:.1f} | {b['host_B_per_peer']:.1f} | {b['peer_B']:.1f} |")
    w("\nTargets: at most 1000 ns per peer-frame; over loopback at 8 peers at most 600. The time")
    w("is the whole frame: the library, the host's own objects (the `CBlobState` encoder and")
    w("decoder, the chat stream) and the rig (which changes the states). *Library share* is the part of the loopback run's samples inside")
    w("`libportnet.so` (perf, user space; C library calls made by the library count outside it).")
    rf = get("BM_SyscallEmptyRecvfrom")
    if rf:
        w("No system call is made here, but on a shared virtual machine these times move with the")
        w(f"machine's speed as the system calls' do: in this run an empty `recvfrom` cost "
          f"{ns(rf):.0f} ns (section 2).")
    w("")

    w("## 2. UDP on 127.0.0.1, one process\n")
    rf, st = get("BM_SyscallEmptyRecvfrom"), get("BM_SyscallSendto")
    if rf and st:
        w(f"The system calls everything here rests on, on this machine: an empty `recvfrom` "
          f"{ns(rf):.0f} ns, a `sendto` of 200 bytes to a socket on 127.0.0.1 {ns(st):.0f} ns "
          "(delivery into the receiver included). Read every ratio below beside them: where "
          "a `sendto` costs ten empty receives, no batching can win much.\n")
    w("The host sends a 200-byte state to every peer every frame (10 % changing). portnet: one")
    w("`CBlobState<200>` port, all five steps on host and peers; the peers have nothing to send, so")
    w("no acknowledgement returns and each datagram carries the whole state (212 bytes), like the")
    w("other rows. Raw floor: per peer one `sendto` and one `recv` of 200 bytes, knowing the")
    w("datagram is there and not asking for the sender. Raw drain: the same, but every socket read")
    w("until it is empty, as a program that cannot know what is waiting does. Raw batched: the")
    w("host's datagrams in one `sendmmsg`, one `recvmmsg` on the host's socket and on every peer's,")
    w("the honest limit for a library that drains its sockets. portnet batches where it pays: one")
    w("`sendmmsg` per `Write` that sends two or more, `recvmmsg` on a socket where several datagrams")
    w("wait, plain calls where one does; *portnet, one call each* is the same with `m_batch_receive`")
    w("and `m_batch_send` off. ENet 1.3: `enet_peer_send` of an")
    w("unsequenced 200-byte packet per peer, then `enet_host_service(..., 0)` until no event, on")
    w("the host and on every client.\n")
    w("| peers | portnet | portnet, one call each | raw | raw drain | raw batched | ENet | portnet / raw | portnet / raw batched | portnet / ENet |")
    w("|---|---|---|---|---|---|---|---|---|---|")
    for peers in (1, 8):
        keys = ("Portnet", "PortnetUnbatched", "Raw", "RawDrain", "RawBatched", "Enet")
        rows = [get(f"BM_Udp{k}/peers:{peers}") for k in keys]
        if not all(rows[:5]):
            w(f"| {peers} | (incomplete) |||||||||")
            continue
        p, u, r, d, b = (ns(x) for x in rows[:5])
        # ENet is optional: a build without it leaves its columns empty.
        e_text = f"{ns(rows[5]):.0f}" if rows[5] else "(no ENet)"
        e_ratio = f"{p / ns(rows[5]):.2f}" if rows[5] else "-"
        w(f"| {peers} | {p:.0f} | {u:.0f} | {r:.0f} | {d:.0f} | {b:.0f} | {e_text} | "
          f"{p / r:.2f} | {p / b:.2f} | {e_ratio} |")
    w("\nTimes are ns per frame (all peers).")
    w("\nTargets: at 8 peers at most 1.0 x raw and 1.15 x raw batched; at 1 peer at most 1.25 x raw;")
    w("at most 0.6 x ENet at both.\n")
    ack = [get(f"BM_UdpPortnetAck/peers:{n}") for n in (1, 8)]
    plain = [get(f"BM_UdpPortnet/peers:{n}") for n in (1, 8)]
    if all(ack) and all(plain):
        w("The same one-way state with the peers acknowledging what they receive")
        w("(`CNetClient::m_ack_states`): each peer answers every frame with a bare header, and the")
        w("host sends differences. Bytes are the host's datagrams per peer and frame:\n")
        w("| peers | acks off B / peer | acks on B / peer | on / full state (200 B) | ns / frame, acks on |")
        w("|---|---|---|---|---|")
        for n, a, p in zip((1, 8), ack, plain):
            w(f"| {n} | {p['host_B_per_peer']:.1f} | {a['host_B_per_peer']:.1f} | "
              f"{a['host_B_per_peer'] / 200:.2f} | {ns(a):.0f} |")
        w("\nTarget: at most 0.3 x the full size with acknowledgements on.\n")
    echo = [get(f"BM_UdpPortnetEcho/peers:{n}") for n in (1, 8)]
    if all(echo):
        w("Beside it, a two-way session: each peer also returns a moving position every frame, so")
        w("acknowledgements flow and the host's states go as differences:\n")
        w("| peers | ns/frame | ns / peer-frame | host B / peer |")
        w("|---|---|---|---|")
        for n, b in zip((1, 8), echo):
            w(f"| {n} | {ns(b):.0f} | {ns(b) / n:.0f} | {b['host_B_per_peer']:.1f} |")
        w("")

    w("## 3. Bytes on the wire, delta on and off\n")
    w("A 200-byte `CBlobState` from host to one peer over loopback, 10 % changing per frame; the")
    w("peer returns a moving position every frame so acknowledgements flow. Delta off: the same")
    w("state class with an encoder that ignores the base it is offered (always the whole state);")
    w("the reader is unchanged. Delta on, the encoder sends a mask of the changed 8-byte groups and")
    w("per changed group a mask of its changed bytes and those bytes. Bytes are the host's")
    w("datagrams (channel byte, 12-byte packet header, port and flags bytes, record, terminator);")
    w("IP and UDP headers (28 bytes) are not counted.\n")
    w("| change pattern | delta on B/frame | delta off B/frame | on / off |")
    w("|---|---|---|---|")
    for arg, label in ((0, "4-byte fields"), (1, "scattered single bytes")):
        on = get(f"BM_DeltaOn/scattered:{arg}/iterations:20000")
        off = get(f"BM_DeltaOff/scattered:{arg}/iterations:20000")
        if on and off:
            w(f"| {label} | {on['wire_B_per_frame']:.1f} | {off['wire_B_per_frame']:.1f} | "
              f"{on['wire_B_per_frame'] / off['wire_B_per_frame']:.2f} |")
    w("\nTarget: delta at most 0.3 x full.\n")

    w("## 4. UDP through CNetDtls\n")
    w("The rows of section 2 (one-way) and its two-way session with every driver inside a")
    w("`CNetDtls` (libportnet-secure: DTLS 1.2, `ECDHE-PSK-CHACHA20-POLY1305`, OpenSSL), sessions")
    w("open before timing starts. Each datagram gains 29 bytes on the wire (record header 13, tag")
    w("16), not counted in *host B / peer* (the manager's datagrams).\n")
    w("| traffic | peers | plain ns/frame | secure ns/frame | secure ns / peer-frame | secure / plain |")
    w("|---|---|---|---|---|---|")
    for kind, label in (("", "one-way"), ("Echo", "two-way")):
        for peers in (1, 8):
            plain = get(f"BM_UdpPortnet{kind}/peers:{peers}")
            sec = get(f"BM_UdpPortnet{kind}Secure/peers:{peers}")
            if not (plain and sec):
                w(f"| {label} | {peers} | (not run) ||||")
                continue
            w(f"| {label} | {peers} | {ns(plain):.0f} | {ns(sec):.0f} | {ns(sec) / peers:.0f} | "
              f"{ns(sec) / ns(plain):.2f} |")
    w("")
    scale_section(w, get)
    print("\n".join(out))


def scale_section(w, get):
    """Section 5: the same rigs at 8 to 1024 peers, the 4096-slot table, the stranger flood."""
    rf, st = get("BM_SyscallEmptyRecvfrom"), get("BM_SyscallSendto")
    w("## 5. Many peers on one host\n")
    w("The rigs of sections 1, 2 and 4 with more peers; the host's table has as many slots as")
    w("peers (at least eight). Memory per peer is the heap the rig took while it was built (the")
    w("allocator's bytes in use, `mallinfo2`), over the peers; the resident size itself is not")
    w("used, as it keeps pages that earlier rigs of the run freed. Both sides of every link live")
    w("in this process: the host's client and buffers, and a whole peer manager with its ports,")
    w("histories and endpoint. *Host* is the wall time of the host's five steps alone, timed")
    w("inside each frame; its CPU share is that time over a 60 Hz frame of 16.7 ms. *Rig* is the")
    w("whole frame (host and every peer manager), per peer.\n")
    w("| transport | peers | host ns / peer-frame | host x at 8 | host's share of a 60 Hz frame | rig ns / peer-frame | rig x at 8 | host B / peer | heap KiB / peer (both sides) |")
    w("|---|---|---|---|---|---|---|---|---|")
    for transport, label in (("Loopback", "loopback"), ("Sim", "simulator")):
        base = get(f"BM_Frame{transport}/peers:8/slots:0")
        for peers in (8, 64, 256, 1024):
            b = get(f"BM_Frame{transport}/peers:{peers}/slots:0")
            if not b or not base:
                continue
            host, host8 = b.get("host_ns_per_peer", 0), base.get("host_ns_per_peer", 0)
            per, per8 = ns(b) / peers, ns(base) / 8
            w(f"| {label} | {peers} | {host:.0f} | {host / host8 if host8 else 0:.2f} | "
              f"{host * peers / 16.67e6 * 100:.2f} % | {per:.0f} | {per / per8:.2f} | "
              f"{b['host_B_per_peer']:.1f} | {b.get('heap_KiB_per_peer', 0):.1f} |")
    w("\nTarget: a peer-frame at 256 peers at most 1.15 x its cost at 8.\n")

    w("UDP on 127.0.0.0/8 (section 2's one-way rows), plain and through `CNetDtls`; ns per")
    w("peer-frame of the whole rig, and of the host's steps alone:\n")
    w("| peers | portnet | x at 8 | host alone | host alone x at 8 | raw drain | raw batched | portnet / raw batched | secure | secure x at 8 | secure host alone |")
    w("|---|---|---|---|---|---|---|---|---|---|---|")
    p8 = get("BM_UdpPortnet/peers:8")
    s8 = get("BM_UdpPortnetSecure/peers:8")
    for peers in (8, 64, 256):
        p = get(f"BM_UdpPortnet/peers:{peers}")
        d = get(f"BM_UdpRawDrain/peers:{peers}")
        b = get(f"BM_UdpRawBatched/peers:{peers}")
        sc = get(f"BM_UdpPortnetSecure/peers:{peers}")
        if not (p and p8 and b and d):
            w(f"| {peers} | (incomplete) ||||||||||")
            continue
        h, h8 = p.get("host_ns_per_peer", 0), p8.get("host_ns_per_peer", 0)
        sec = f"{ns(sc) / peers:.0f}" if sc else "(not run)"
        sec_x = f"{(ns(sc) / peers) / (ns(s8) / 8):.2f}" if sc and s8 else "-"
        sec_h = f"{sc.get('host_ns_per_peer', 0):.0f}" if sc else "-"
        w(f"| {peers} | {ns(p) / peers:.0f} | {(ns(p) / peers) / (ns(p8) / 8):.2f} | {h:.0f} | "
          f"{h / h8 if h8 else 0:.2f} | {ns(d) / peers:.0f} | {ns(b) / peers:.0f} | "
          f"{ns(p) / ns(b):.2f} | {sec} | {sec_x} | {sec_h} |")
    if rf and st:
        w(f"\nThe system calls these rows rest on, in this run: an empty `recvfrom` {ns(rf):.0f} ns, "
          f"a `sendto` of 200 bytes {ns(st):.0f} ns.")
    w("\nTargets: at 256 peers at most 1.15 x the cost per peer-frame at 8, plain and secure;")
    w("portnet at most 1.10 x raw batched.\n")

    w("A table of 4096 slots holding 8 peers against the default table of 8 (in-process rigs):\n")
    w("| transport | 8 slots ns / frame | 4096 slots ns / frame | 4096 / 8 |")
    w("|---|---|---|---|")
    for transport, label in (("Loopback", "loopback"), ("Sim", "simulator")):
        a = get(f"BM_Frame{transport}/peers:8/slots:0")
        b = get(f"BM_Frame{transport}/peers:8/slots:4096")
        if a and b:
            w(f"| {label} | {ns(a):.0f} | {ns(b):.0f} | {ns(b) / ns(a):.3f} |")
    w("\nTarget: at most 1.05.\n")

    w("Datagrams from 1024 senders the host does not know, 4096 per `Read`, handed to the manager")
    w("from memory (no system call), with 8 and with 4096 clients in the table (port matching on).")
    w("A `Read` also visits every client once, to read those with a buffer of their own: that")
    w("share is the `Read` with no datagram, and a datagram's cost is the difference over 4096")
    w("(at 4096 clients the visit varies by a fifth between runs, which over 256 datagrams")
    w("alone moved a datagram's figure by 10 ns and more).\n")
    w("| clients | ns / Read, no datagram | ns / Read, 4096 datagrams | ns / datagram |")
    w("|---|---|---|---|")
    per = {}
    for n in (8, 4096):
        e, f = get(f"BM_StrangerFlood/clients:{n}/datagrams:0"), get(f"BM_StrangerFlood/clients:{n}/datagrams:4096")
        if e and f:
            per[n] = (ns(f) - ns(e)) / 4096
            w(f"| {n} | {ns(e):.0f} | {ns(f):.0f} | {per[n]:.1f} |")
    if len(per) == 2:
        w(f"\n4096 / 8 per datagram: {per[4096] / per[8]:.3f}. Target: within 10 %.\n")


if __name__ == "__main__":
    main()
