#!/usr/bin/env python3
"""Record and replay with portnet-demo, as a user runs them: real processes, files on disk.

- Replay: 10-second simulated sessions (loss, duplicates, and reordering by jitter) recorded
  with --record for 20 seeds, each replayed with --replay: every frame's hash equal, every
  datagram sent as recorded.
- Mutations: one received datagram altered, or dropped, in a copy of a recording: the replay
  reports the divergence at the frame that datagram belonged to. One sent datagram altered: the
  replay reports the frame that sent it.
- Dissector: a recording opened by tshark with tools/dissector: every datagram decoded as
  portnet, none malformed or warned about, as many as the demo recorded.

Usage: check_replay.py DEMO DISSECTOR_DIR WORK_DIR [replay|mutations|dissector]...
Exit 0 passed, 1 failed, 77 skipped (the dissector part without tshark)."""

import os
import re
import shutil
import struct
import subprocess
import sys

SKIP = 77
PEN = 32473
SEEDS = 20
COMMON = ["--frames", "600", "--fps", "60", "--loss", "10", "--dup", "5", "--latency", "40",
          "--jitter", "40"]


def fail(why):
    print("FAIL: " + why)
    sys.exit(1)


def run(cmd, timeout=60):
    r = subprocess.run(cmd, capture_output=True, text=True, timeout=timeout)
    return r.returncode, r.stdout + r.stderr


def record(demo, path, seed, peers=3):
    status, text = run([demo, "--record", path, "--seed", str(seed), "--peers", str(peers)] +
                       COMMON)
    m = re.search(r"^  record +(\d+) frames, (\d+) datagrams in, (\d+) out", text, re.M)
    if status != 0 or not m:
        fail("recording seed %d failed (%d):\n%s" % (seed, status, text))
    return [int(x) for x in m.groups()]


def replay(demo, path):
    status, text = run([demo, "--replay", path])
    m = re.search(r"replay DIVERGED at frame (\d+)", text)
    return status, (int(m.group(1)) if m else None), text


def blocks(data):
    """(offset, type, length, frame, direction, is_frame_block) of every block after the
    interface block; frame: the number of frame blocks before it (the frame it belongs to)."""
    out, at, frame = [], 0, 0
    while at + 12 <= len(data):
        btype, blen = struct.unpack_from("<II", data, at)
        if blen < 12 or at + blen > len(data):
            fail("malformed block at %d" % at)
        direction, is_frame = 0, False
        if btype == 6:
            cap = struct.unpack_from("<I", data, at + 20)[0]
            opt = at + 28 + (cap + 3) // 4 * 4
            while opt + 4 <= at + blen - 4:
                code, olen = struct.unpack_from("<HH", data, opt)
                if code == 0:
                    break
                if code == 2:
                    direction = struct.unpack_from("<I", data, opt + 4)[0] & 3
                opt += 4 + (olen + 3) // 4 * 4
        if btype == 0xBAD and struct.unpack_from("<IH", data, at + 8) == (PEN, 1):
            is_frame = True
        out.append((at, btype, blen, frame, direction, is_frame))
        if is_frame:
            frame += 1
        at += blen
    return out


def check_replay(demo, work):
    for seed in range(1, SEEDS + 1):
        path = os.path.join(work, "seed%d.pcapng" % seed)
        frames, got, sent = record(demo, path, seed)
        status, diverged, text = replay(demo, path)
        if status != 0 or diverged is not None or "replay passed" not in text:
            fail("seed %d: the replay of %d frames differs:\n%s" % (seed, frames, text))
        m = re.search(r"replay +(\d+) frames .* (\d+) datagrams in, (\d+) out", text)
        if not m or [int(x) for x in m.groups()] != [frames, got, sent]:
            fail("seed %d: recorded %d frames, %d in, %d out; replayed %s" %
                 (seed, frames, got, sent, m.groups() if m else text))
    print("replay: %d seeds, every frame's hash equal" % SEEDS)


def delivered(data, bl):
    """Indexes into bl of the datagrams a receiver takes: a packet on channel 0 whose check bits
    agree, newer than the newest its flow took, and not a repeat of reliable content already taken
    (the receiver's rules, as the dissector follows them). Altering one of the others changes
    nothing a replay can see."""
    flows, taken = {}, set()
    for i, (at, btype, _, _, _, _) in enumerate(bl):
        if btype != 6:
            continue
        cap = struct.unpack_from("<I", data, at + 20)[0]
        ip = at + 28
        if data[ip] >> 4 == 4:
            key, head = data[ip + 12:ip + 24], 28
        else:
            key, head = data[ip + 8:ip + 44], 48
        p = data[ip + head:ip + cap]
        if len(p) < 5 or p[0] != 0 or p[1] >= 0x80:
            continue
        bits, seq = p[1], p[2] | p[3] << 8 | p[4] << 16
        if seq & 7 != (bits >> 4) & 7:
            continue
        flow = flows.setdefault(key, [0, 1])  # newest sequence taken, reader's toggle
        if seq <= flow[0]:
            continue
        flow[0] = seq
        if bits & 0x01:
            toggle = 1 if bits & 0x02 else 0
            if toggle == flow[1]:
                continue
            flow[1] = toggle
        taken.add(i)
    return taken


def check_mutations(demo, lua_dir, work):
    cases = 0
    for seed in (3, 11, 17):
        path = os.path.join(work, "mut%d.pcapng" % seed)
        record(demo, path, seed)
        data = open(path, "rb").read()
        shb = struct.unpack_from("<I", data, 4)[0]
        idb = struct.unpack_from("<I", data, shb + 4)[0]
        base = shb + idb  # the session's blocks follow these two
        bl = [(at + base,) + tuple(rest) for (at, *rest) in blocks(data[base:])]
        taken = delivered(data, bl)
        inbound = [(i, b) for i, b in enumerate(bl) if b[1] == 6 and b[4] == 1 and
                   100 <= b[3] <= 500 and i in taken]
        outbound = [(i, b) for i, b in enumerate(bl) if b[1] == 6 and b[4] == 2 and
                    100 <= b[3] <= 500]
        if not inbound or not outbound:
            fail("seed %d: no datagram to alter in frames 100-500" % seed)
        pick = inbound[(seed * 7919) % len(inbound)][1]
        out_pick = outbound[(seed * 104729) % len(outbound)][1]
        for name, frame, mutated in (
                ("altered", pick[3], alter(data, pick)),
                ("dropped", pick[3], data[:pick[0]] + data[pick[0] + pick[2]:]),
                ("sent altered", out_pick[3], alter(data, out_pick))):
            mpath = os.path.join(work, "mut%d_%s.pcapng" % (seed, name.replace(" ", "_")))
            with open(mpath, "wb") as fh:
                fh.write(mutated)
            status, diverged, text = replay(demo, mpath)
            if status != 1 or diverged != frame:
                fail("seed %d: a datagram %s in frame %d: the replay says %s (exit %d)\n%s" %
                     (seed, name, frame, diverged, status, text))
            cases += 1
    print("mutations: %d cases, each reported at its frame" % cases)


def alter(data, block):
    at, _, _, _, _, _ = block
    cap = struct.unpack_from("<I", data, at + 20)[0]
    head = 28 if data[at + 28] >> 4 == 4 else 48
    payload = cap - head
    pos = at + 28 + head + payload // 2
    return data[:pos] + bytes([data[pos] ^ 0x5A]) + data[pos + 1:]


def check_dissector(demo, lua_dir, work):
    if not shutil.which("tshark"):
        print("SKIP: tshark is not installed (Debian: apt-get install tshark)")
        sys.exit(SKIP)
    path = os.path.join(work, "dissect.pcapng")
    frames, got, sent = record(demo, path, 5, peers=4)
    fields = ["frame.protocols", "portnet.form", "_ws.expert.severity", "_ws.malformed"]
    cmd = ["tshark", "-r", path, "-n", "-X", "lua_script:" + os.path.join(lua_dir, "portnet.lua"),
           "-X", "lua_script:" + os.path.join(lua_dir, "portnet_demo.lua"), "-T", "fields",
           "-E", "occurrence=a", "-E", "aggregator=|"]
    for f in fields:
        cmd += ["-e", f]
    status, text = run(cmd, 120)
    if status != 0 or "Lua" in text:
        fail("tshark failed (%d): %s" % (status, text[:2000]))
    decoded = custom = 0
    problems = []
    for i, line in enumerate(text.splitlines(), 1):
        if line.startswith("Running as user"):
            continue
        cols = (line.split("\t") + [""] * 4)[:4]
        if cols[0] in ("", "data"):
            custom += 1  # a custom block (the session, a frame's end): no IP in it
            continue
        if "portnet" not in cols[0] or not cols[1]:
            problems.append("frame %d not decoded: %s" % (i, cols[0]))
        severe = [s for s in cols[2].split("|") if s and int(s, 0) >= 0x00600000]
        if severe or cols[3]:
            problems.append("frame %d has expert warnings or errors" % i)
        decoded += 1
    if decoded != got + sent:
        problems.append("tshark decoded %d datagrams, the demo recorded %d" % (decoded, got + sent))
    if custom != frames + 1:
        problems.append("%d custom blocks, %d frames and the session expected" % (custom, frames))
    if problems:
        fail("; ".join(problems[:10]))
    print("dissector: %d datagrams decoded, %d frame blocks" % (decoded, custom - 1))


def main():
    demo, lua_dir, work = sys.argv[1:4]
    parts = sys.argv[4:] or ["replay", "mutations", "dissector"]
    os.makedirs(work, exist_ok=True)
    if "replay" in parts:
        check_replay(demo, work)
    if "mutations" in parts:
        check_mutations(demo, lua_dir, work)
    if "dissector" in parts:
        check_dissector(demo, lua_dir, work)


if __name__ == "__main__":
    main()
