#!/usr/bin/env python3
"""Runs the C# checks as processes on a dual-stack host, the players over 127.0.0.1 and ::1:
run_csharp.py CASE MONO EXE [DEMO]
  plain   a C# host and two C# players (chat both ways in order, the world converges)
  secure  the same over DTLS, each player with a connect token a C# backend minted
  demo    a C# player of portnet-demo's UDP host
Every process is bounded by a time-out; the host's address is read from its first line."""
import os
import re
import subprocess
import sys
import time

case, mono, exe = sys.argv[1], sys.argv[2], sys.argv[3]
run = [mono, exe]


def wait_address(proc, pattern):
    deadline = time.time() + 10
    while time.time() < deadline:
        line = proc.stdout.readline()
        if not line:
            break
        sys.stdout.write("  " + line)
        m = re.search(pattern, line)
        if m:
            return m.group(1)
    proc.kill()
    sys.exit("FAIL: the host printed no address")


def finish(procs, timeout=60, check=()):
    """Waits for each process; with check, its output must match each pattern (and never name an
    IPv4 player as ::ffff:)."""
    status = 0
    for name, p in procs:
        try:
            out, _ = p.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:
            p.kill()
            out, _ = p.communicate()
            print(f"FAIL: {name} did not finish")
            status = 1
        print(f"--- {name} (exit {p.returncode})")
        sys.stdout.write(out)
        status |= p.returncode != 0
        for pattern in check:
            if not re.search(pattern, out):
                print(f"FAIL: {name} printed nothing like {pattern}")
                status = 1
        if check and "::ffff:" in out:
            print(f"FAIL: {name} named a player by a v4-mapped address")
            status = 1
    return status


if case in ("plain", "secure"):
    sealing = os.urandom(32).hex()
    host_args = ["host", "[::]:0", "2", "3000"] + (["token", sealing] if case == "secure" else [])
    host = subprocess.Popen(run + host_args, stdout=subprocess.PIPE, text=True)
    port = wait_address(host, r"^host on \S+:(\d+)")
    players = []
    for k, where in enumerate(("127.0.0.1", "[::1]")):
        addr = "%s:%s" % (where, port)
        extra = []
        if case == "secure":
            minted = subprocess.run(run + ["mint", sealing, str(1001 + k)], capture_output=True,
                                    text=True, timeout=30, check=True).stdout.split()
            extra = ["token", minted[0], minted[1]]
        players.append((f"player {k + 1}", subprocess.Popen(
            run + ["player", addr, "2500"] + extra, stdout=subprocess.PIPE, text=True)))
    status = finish(players)
    status |= finish([("host", host)], check=(r"joined from 127\.0\.0\.1:", r"joined from \[::1\]:"))
    sys.exit(status)

if case == "demo":
    demo = sys.argv[4]
    host = subprocess.Popen([demo, "--udp", "server", "--bind", "[::]:0", "--peers", "1",
                             "--frames", "600"], stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                            text=True)
    addr = "[::1]:" + wait_address(host, r"UDP host on [0-9.]+:([0-9]+),")
    status = finish([("C# player", subprocess.Popen(run + ["demo", addr, "1200"],
                                                    stdout=subprocess.PIPE, text=True))])
    host.terminate()
    out, _ = host.communicate(timeout=30)
    print("--- demo host (its own checks are not this test's: the C# player sends no object)")
    sys.stdout.write(out)
    if not re.search(r"p1 joined from \[::1\]:", out):
        print("FAIL: the demo host never admitted the C# player")
        status = 1
    sys.exit(status)

sys.exit(f"unknown case {case}")
