#!/usr/bin/env python3
"""The demo as real processes over both families: a host on [::], two players at once, one over
::1 and one over 127.0.0.1; then a player over ::1 killed mid-session (the host lets it go) and a
new one that takes its slot. Each process is bounded by its frames and a deadline, and killed by
its id at the end.

usage: run_demo_dual.py PATH/TO/portnet-demo
"""
import os
import re
import signal
import subprocess
import sys
import tempfile
import time

DEMO = sys.argv[1]
WORK = tempfile.mkdtemp(prefix="addr_demo_")
QUIET = ["--loss", "2", "--latency", "10", "--jitter", "5", "--dup", "1"]
PROCS = []
FAILURES = []


def check(ok, what):
    if not ok:
        FAILURES.append(what)
        print("FAIL:", what, flush=True)
    return ok


class Proc:
    def __init__(self, name, args):
        self.name, self.path = name, os.path.join(WORK, name + ".txt")
        self.out = open(self.path, "w")
        self.p = subprocess.Popen([DEMO] + args + QUIET, stdout=self.out, stderr=subprocess.STDOUT)
        PROCS.append(self)

    def text(self):
        with open(self.path) as f:
            return f.read()

    def wait_for(self, pattern, seconds):
        end = time.time() + seconds
        while time.time() < end:
            m = re.search(pattern, self.text(), re.M)
            if m or self.p.poll() is not None:
                return m or re.search(pattern, self.text(), re.M)
            time.sleep(0.05)
        return None

    def wait(self, seconds):
        try:
            return self.p.wait(timeout=seconds)
        except subprocess.TimeoutExpired:
            self.p.kill()
            self.p.wait()
            check(False, "%s did not end within %d s" % (self.name, seconds))
            return None


def player(name, host, frames):
    return Proc(name, ["--udp", "client", "--connect", host, "--frames", str(frames)])


def passed(p, rc):
    text = p.text()
    check(rc == 0 and "result: PASS" in text, "%s: exit %s, PASS in output" % (p.name, rc))
    chat = re.search(r"chat\s+(\d+) lines said, (\d+) pending; (\d+) heard, (\d+) of them in order", text)
    if check(chat is not None, p.name + ": a chat summary"):
        said, pending, heard, in_order = map(int, chat.groups())
        check(said > 0 and pending == 0 and heard > 0 and heard == in_order,
              "%s: chat said %d, pending %d, heard %d, in order %d" % (p.name, said, pending, heard, in_order))
    views = re.search(r"positions\s+(\d+) of (\d+) views", text)
    return views and (int(views.group(1)), int(views.group(2)))


def main():
    # The host waits for both players, then runs 20 s, giving a slot that is left to the next
    # player (one who joins a run under way checks the host's object alone).
    host = Proc("host", ["--udp", "server", "--bind", "[::]:0", "--peers", "2", "--frames", "1200"])
    m = host.wait_for(r"UDP host on \S+:(\d+),", 10)
    if not check(m is not None, "the host printed its port"):
        return
    port = m.group(1)

    # Two players at once, one of each family; each sees the host's object and the other's.
    p6 = player("p6", "[::1]:" + port, 240)
    p4 = player("p4", "127.0.0.1:" + port, 240)
    for p in (p6, p4):
        views = passed(p, p.wait(40))
        check(views == (2, 2), "%s sees the host's object and the other player's: %s" % (p.name, views))
    text = host.text()
    check(re.search(r"joined from \[::1\]:\d+, slot", text), "the host names the IPv6 player [::1]")
    check(re.search(r"joined from 127\.0\.0\.1:\d+, slot", text), "the host names the IPv4 player 127.0.0.1")
    check("::ffff:" not in text, "no v4-mapped address in the host's output")

    # A player over ::1 killed mid-session: the host lets it go and a new one joins.
    k = player("killed", "[::1]:" + port, 100000)
    joined = k.wait_for(r"joined as p(\d+)", 15)
    check(joined is not None, "the player to be killed joined")
    time.sleep(1.0)
    k.p.send_signal(signal.SIGKILL)
    k.wait(5)
    gone = host.wait_for(r"left from \[::1\]:\d+, slot \d+: (timed out|unreachable)", 20)
    check(gone is not None, "the host let the killed IPv6 player go")
    n = player("next", "[::1]:" + port, 180)
    passed(n, n.wait(40))
    check(len(re.findall(r"joined from \[::1\]:\d+, slot", host.text())) == 3, "three IPv6 joins")

    rc = host.wait(40)
    check(rc == 0 and "result: PASS" in host.text(), "the host ended with PASS (exit %s)" % rc)
    check(re.search(r"players\s+4 joined, 4 left", host.text()), "the host's summary: 4 joined, 4 left")


if __name__ == "__main__":
    try:
        main()
    finally:
        for p in PROCS:
            if p.p.poll() is None:
                p.p.kill()
                p.p.wait()
        if FAILURES:
            for p in PROCS:
                print("---- %s (rc %s)" % (p.name, p.p.poll()))
                print("\n".join("  " + l for l in p.text().splitlines()[:60]))
    print("logs in " + WORK if FAILURES else "PASS")
    sys.exit(1 if FAILURES else 0)
