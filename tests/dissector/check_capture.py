#!/usr/bin/env python3
"""A dual-stack UDP host and two peers of portnet-demo, one over 127.0.0.1 and one over ::1,
captured on lo and decoded by tshark with tools/dissector: every datagram decoded, none malformed, and the capture's counts of
packets, state records, chat lines and reliable acknowledgements equal to what the three
processes say they sent. With --secure the run uses connect tokens and a key log, and the same
counts come out of the decrypted records.

Usage: check_capture.py DEMO TOKEN_TOOL DISSECTOR_DIR WORK_DIR [--secure]
Exit 0 passed, 1 failed, 77 skipped (no tshark or dumpcap, or no capture on lo)."""

import os
import re
import shutil
import subprocess
import sys
import time

SKIP = 77


def skip(why):
    print("SKIP: " + why)
    sys.exit(SKIP)


def fail(why):
    print("FAIL: " + why)
    sys.exit(1)


def wait_for(path, pattern, proc, seconds):
    """The first match of pattern in the file, read again until it shows or time is up."""
    deadline = time.monotonic() + seconds
    for _ in range(int(seconds * 20)):
        if os.path.exists(path):
            with open(path, errors="replace") as fh:
                m = re.search(pattern, fh.read(), re.M)
            if m:
                return m
        if proc.poll() is not None or time.monotonic() > deadline:
            break
        time.sleep(0.05)
    return None


def summary_counts(text, name):
    m = re.search(r"^  wire +(\d+) packets sent, (\d+) state records in them, (\d+) chat lines "
                  r"delivered", text, re.M)
    if not m:
        fail(name + " printed no wire line")
    return [int(x) for x in m.groups()]


def main():
    demo, token_tool, lua_dir, work = sys.argv[1:5]
    secure = "--secure" in sys.argv[5:]
    for tool in ("tshark", "dumpcap"):
        if not shutil.which(tool):
            skip(tool + " is not installed (Debian: apt-get install tshark)")
    os.makedirs(work, exist_ok=True)
    cap = os.path.join(work, "capture.pcapng")
    keylog = os.path.join(work, "keylog.txt")
    for path in (cap, keylog):
        if os.path.exists(path):
            os.remove(path)

    # No loss, duplicates or jitter: every datagram a process counts as sent is on lo, and the
    # receivers take every packet, so the capture and the processes must agree exactly.
    common = ["--frames", "90", "--loss", "0", "--dup", "0", "--jitter", "0"]
    host_args, peer_args = [], [[], []]
    if secure:
        sealing = os.path.join(work, "sealing.key")
        with open(sealing, "w") as fh:
            fh.write("5b2e9c0d7a1f4386b0c2d9e8f7a6b5c4d3e2f1a0b9c8d7e6f5a4b3c2d1e0f9a8\n")
        # Debian's tshark 4.0 fails the tag check of every DTLS ChaCha20 record with the right
        # secrets (its tls.debug_file says "auth tag mismatch"); it decrypts AES-CBC.
        cipher = ["--cipher", "ECDHE-PSK-AES128-CBC-SHA256"]
        host_args = ["--secure", "--token-key", sealing, "--keylog", keylog] + cipher
        for i, player in enumerate((21, 22)):
            out = subprocess.run([token_tool, "--key-file", sealing, "--player", str(player),
                                  "--server", "portnet-demo"], capture_output=True, text=True,
                                 timeout=10)
            token, key = out.stdout.split()[:2]
            peer_args[i] = ["--secure", "--token", token, "--key", key, "--keylog", keylog] + cipher

    logs = [os.path.join(work, n) for n in ("host.txt", "peer1.txt", "peer2.txt")]
    procs = []
    try:
        with open(logs[0], "w") as out:
            host = subprocess.Popen([demo, "--udp", "server", "--bind", "[::]:0", "--peers",
                                     "2"] + common + host_args, stdout=out,
                                    stderr=subprocess.STDOUT)
        procs.append(host)
        # A dual-stack host names itself 0.0.0.0.
        m = wait_for(logs[0], r"^portnet-demo: UDP host on 0\.0\.0\.0:(\d+),", host, 5)
        if not m:
            fail("the host printed no address")
        port = int(m.group(1))

        dump_log = os.path.join(work, "dumpcap.txt")
        with open(dump_log, "w") as out:
            dump = subprocess.Popen(["dumpcap", "-q", "-i", "lo", "-f", "udp port %d" % port,
                                     "-w", cap], stdout=out, stderr=subprocess.STDOUT)
        procs.append(dump)
        if not wait_for(dump_log, r"^Capturing on", dump, 5):
            with open(dump_log) as fh:
                skip("no capture on lo here: " + fh.read().strip().replace("\n", "; "))

        peers = []
        for i, where in enumerate(("127.0.0.1", "[::1]")):
            with open(logs[1 + i], "w") as out:
                peers.append(subprocess.Popen(
                    [demo, "--udp", "client", "--connect", "%s:%d" % (where, port)] + common +
                    peer_args[i], stdout=out, stderr=subprocess.STDOUT))
        procs += peers
        statuses = [p.wait(timeout=40) for p in [host] + peers]
        time.sleep(0.3)  # the last datagrams into the capture file
        dump.terminate()
        dump.wait(timeout=10)
    finally:
        for p in procs:
            if p.poll() is None:
                p.kill()
                p.wait()

    texts = [open(p, errors="replace").read() for p in logs]
    if statuses != [0, 0, 0]:
        fail("the demo failed: exit %s\n%s" % (statuses, "\n".join(texts)))
    sent = [summary_counts(t, n) for t, n in zip(texts, ("host", "peer", "second peer"))]
    want_packets = sum(s[0] for s in sent)
    want_states = sum(s[1] for s in sent)
    want_lines = sum(s[2] for s in sent)

    tshark = ["tshark", "-r", cap, "-n",
              "-X", "lua_script:" + os.path.join(lua_dir, "portnet.lua"),
              "-X", "lua_script:" + os.path.join(lua_dir, "portnet_demo.lua"),
              "-o", "portnet.udp_port:%d" % port]
    if secure:
        tshark += ["-o", "tls.keylog_file:" + keylog]
    # One row per frame: which protocols it holds, then the fields counted below. Occurrences
    # of one field in a frame come out joined by commas.
    fields = ["frame.protocols", "portnet.form", "portnet.state.flags", "portnet.message",
              "portnet.acks_reliable", "portnet.old", "portnet.repeat", "_ws.expert.severity",
              "portnet.token.version", "portnet.token.protocol_id", "_ws.malformed",
              "portnet_demo.chat", "portnet_demo.mask", "dtls.record.content_type",
              "dtls.handshake.random"]
    cmd = tshark + ["-T", "fields", "-E", "occurrence=a", "-E", "aggregator=|"]
    for fld in fields:
        cmd += ["-e", fld]
    run = subprocess.run(cmd, capture_output=True, text=True, timeout=120)
    if run.returncode != 0 or "Lua" in run.stderr:
        fail("tshark failed (%d): %s" % (run.returncode, run.stderr))
    rows = [dict(zip(fields, line.split("\t"))) for line in run.stdout.splitlines()]

    def items(row, fld):
        return [x for x in row.get(fld, "").split("|") if x]

    problems = []
    forms = {}
    packets = states = lines = acks = masks = chat = tokens = undecrypted = 0
    families = set()
    randoms = set()
    for i, row in enumerate(rows, 1):
        for form in items(row, "portnet.form"):
            forms[form] = forms.get(form, 0) + 1
        if not items(row, "portnet.form") and not (secure and items(row, "dtls.record.content_type")):
            problems.append("frame %d not decoded: %s" % (i, row["frame.protocols"]))
        if secure and "23" in items(row, "dtls.record.content_type") and not items(row, "portnet.form"):
            undecrypted += 1
        randoms.update(items(row, "dtls.handshake.random"))
        families.update(f for f in row["frame.protocols"].split(":") if f in ("ip", "ipv6"))
        # Wireshark's severity values: 0x00800000 error, 0x00600000 warning.
        severe = [s for s in items(row, "_ws.expert.severity") if int(s, 0) >= 0x00600000]
        if severe or items(row, "_ws.malformed"):
            problems.append("frame %d has expert warnings or errors" % i)
        packets += items(row, "portnet.form").count("packet")
        states += len(items(row, "portnet.state.flags"))
        lines += len(items(row, "portnet.message"))
        acks += len(items(row, "portnet.acks_reliable"))
        masks += len(items(row, "portnet_demo.mask"))
        chat += len(items(row, "portnet_demo.chat"))
        tokens += len(items(row, "portnet.token.version"))
        if items(row, "portnet.old") or items(row, "portnet.repeat"):
            problems.append("frame %d: a packet the receiver would drop or skip, on lo" % i)

    print("capture: %d frames, forms %s; %d packets, %d states, %d new chat lines, %d reliable "
          "acknowledgements, %d tokens" % (len(rows), forms, packets, states, lines, acks, tokens))
    print("demo:    %d packets, %d states, %d chat lines delivered" %
          (want_packets, want_states, want_lines))
    counted = not undecrypted  # the counts need the decrypted records
    if counted and packets != want_packets:
        problems.append("packets: capture %d, demo %d" % (packets, want_packets))
    if counted and (states != want_states or masks != states):
        problems.append("states: capture %d (%d decoded), demo %d" % (states, masks, want_states))
    if counted and (lines != want_lines or chat != lines):
        problems.append("chat lines: capture %d (%d decoded), demo %d" % (lines, chat, want_lines))
    if counted and acks != want_lines:
        problems.append("acknowledgements: capture %d, demo %d lines delivered" % (acks, want_lines))
    if counted and (forms.get("instant", 0) < 4 or forms.get("out-of-band", 0) < 4):
        problems.append("too few joins: hellos, welcomes and the demo's channel 1 expected")
    if secure:
        if tokens < 2:
            problems.append("connect tokens decoded: %d of 2 players" % tokens)
        # Every session the capture shows is in the key log, by its ClientHello random.
        with open(keylog) as fh:
            logged = {line.split()[1] for line in fh if line.startswith("CLIENT_RANDOM ")}
        if len(logged) != 2 or not logged <= {r.replace(":", "") for r in randoms}:
            problems.append("key log: %d sessions, not the capture's 2" % len(logged))
        if undecrypted:
            problems.append("%d application-data datagrams stay encrypted with the key log"
                            % undecrypted)
    if families != {"ip", "ipv6"}:
        problems.append("datagrams of both families expected, the capture holds %s" % sorted(families))
    if packets < 100 or lines < 4:
        problems.append("too little traffic to count")
    for p in problems[:20]:
        print("FAIL: " + p)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
