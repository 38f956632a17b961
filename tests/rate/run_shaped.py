#!/usr/bin/env python3
"""The demo over the kernel's own shaper: a host whose uplink tbf caps, its players behind it.

Two network namespaces joined by a veth pair (198.18.7.0/24); the host's side shaped with
`tbf rate R burst 4kb latency 200ms`. The demo host runs in one namespace, each player as a
process of its own in the other, impairments off but 20 ms of latency each way. The same row
runs once unshaped for its round trip, then shaped. It passes when the shaper dropped at most
2 % of the datagrams it was given, the host's median round trip is at most 1.5 times the
unshaped one, and every process passes (every chat line delivered, every position within the
demo's bound). The figures are printed whether or not it passes.

Usage: run_shaped.py DEMO ROW   (ROW: 256k20, 128k8, 64k6, 8k1). Needs root, ip and tc: without
them it says so and exits 77 (skipped).
"""
import os
import re
import shutil
import signal
import statistics
import subprocess
import sys
import time

ROWS = {  # kbit/s, players
    "256k20": (256, 20),
    "128k8": (128, 8),
    "64k6": (64, 6),
    "8k1": (8, 1),
}
FRAMES = 420  # 7 s at 60 frames a second
BASE_FRAMES = 150
DEMO_ARGS = ["--loss", "0", "--jitter", "0", "--dup", "0", "--latency", "20"]
MAX_DROPPED = 2.0
MAX_RTT_RATIO = 1.5


def run(*args, **kw):
    return subprocess.run(list(args), check=True, capture_output=True, text=True, **kw)


class Net:
    """The two namespaces; removed by remove(), also after a failure."""

    def __init__(self, tag):
        self.host, self.play = "pnrh" + tag, "pnrp" + tag
        self.dev_host, self.dev_play = "pnrh" + tag + "0", "pnrp" + tag + "0"
        self.made = []
        for ns in (self.host, self.play):
            run("ip", "netns", "add", ns)
            self.made.append(ns)
        run("ip", "link", "add", self.dev_host, "type", "veth", "peer", "name", self.dev_play)
        run("ip", "link", "set", self.dev_host, "netns", self.host)
        run("ip", "link", "set", self.dev_play, "netns", self.play)
        for ns, dev, addr in ((self.host, self.dev_host, "198.18.7.1/24"),
                              (self.play, self.dev_play, "198.18.7.2/24")):
            run("ip", "-n", ns, "addr", "add", addr, "dev", dev)
            run("ip", "-n", ns, "link", "set", dev, "up")
            run("ip", "-n", ns, "link", "set", "lo", "up")

    def shape(self, kbit):
        run("ip", "netns", "exec", self.host, "tc", "qdisc", "replace", "dev", self.dev_host, "root",
            "tbf", "rate", "%dkbit" % kbit, "burst", "4kb", "latency", "200ms")

    def unshape(self):
        subprocess.run(["ip", "netns", "exec", self.host, "tc", "qdisc", "del", "dev", self.dev_host,
                        "root"], capture_output=True)

    def shaper_counts(self):
        """(packets sent, packets dropped) of the host's root qdisc."""
        out = run("ip", "netns", "exec", self.host, "tc", "-s", "qdisc", "show", "dev",
                  self.dev_host).stdout
        m = re.search(r"Sent \d+ bytes (\d+) pkt \(dropped (\d+)", out)
        return (int(m.group(1)), int(m.group(2))) if m else (0, 0)

    def remove(self):
        for ns in self.made:
            subprocess.run(["ip", "netns", "del", ns], capture_output=True)


def session(demo, net, players, frames, logdir, name):
    """Runs the host and its players; returns (host log, player logs, exit codes)."""
    host_log = os.path.join(logdir, name + "_host.txt")
    procs = []
    with open(host_log, "w") as f:
        host = subprocess.Popen(["ip", "netns", "exec", net.host, demo, "--udp", "server", "--bind",
                                 "198.18.7.1:0", "--peers", str(players), "--frames", str(frames)]
                                + DEMO_ARGS, stdout=f, stderr=subprocess.STDOUT)
    procs.append(host)
    addr = None
    deadline = time.time() + 5
    while addr is None and time.time() < deadline and host.poll() is None:
        time.sleep(0.1)
        with open(host_log) as f:
            m = re.search(r"^portnet-demo: UDP host on ([0-9.]+:[0-9]+),", f.read(), re.M)
        addr = m.group(1) if m else None
    if addr is None:
        host.kill()
        host.wait()
        return None, [], []
    logs = []
    for i in range(players):
        log = os.path.join(logdir, "%s_p%d.txt" % (name, i + 1))
        logs.append(log)
        with open(log, "w") as f:
            procs.append(subprocess.Popen(["ip", "netns", "exec", net.play, demo, "--udp", "client",
                                           "--connect", addr, "--frames", str(frames)] + DEMO_ARGS,
                                          stdout=f, stderr=subprocess.STDOUT))
    codes = []
    limit = time.time() + frames / 60.0 + 40
    for p in procs:
        try:
            codes.append(p.wait(timeout=max(1, limit - time.time())))
        except subprocess.TimeoutExpired:
            p.kill()
            p.wait()
            codes.append(-9)
    return host_log, logs, codes


def host_pings(host_log):
    """The host's round trip to each player (m_ping) in its last report."""
    text = open(host_log).read()
    m = re.findall(r"links: ping p50 (\d+) ms", text)
    if m:
        return [int(m[-1])]
    rows = re.findall(r"^p\d+\s+(\d+)\s", text, re.M)
    players = len(set(re.findall(r"^(p\d+)\s+\d+\s", text, re.M)))
    return [int(x) for x in rows[-players:]] if players else []


def chat_figures(logs):
    """Lines the players said and how many are still pending, over all players."""
    said = pending = 0
    for log in logs:
        m = re.search(r"chat\s+(\d+) lines said, (\d+) pending", open(log).read())
        if m:
            said += int(m.group(1))
            pending += int(m.group(2))
    return said, pending


def main():
    if len(sys.argv) != 3 or sys.argv[2] not in ROWS:
        print(__doc__)
        return 2
    demo, row = os.path.abspath(sys.argv[1]), sys.argv[2]
    if os.geteuid() != 0 or not shutil.which("ip") or not shutil.which("tc"):
        print("skipped: needs root, ip and tc (network namespaces and tbf)")
        return 77
    kbit, players = ROWS[row]
    logdir = os.path.join(os.environ.get("TMPDIR", "/tmp"), "portnet_shaped_%s_%d" % (row, os.getpid()))
    os.makedirs(logdir, exist_ok=True)
    net = Net("%d" % (os.getpid() % 100000))
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
    try:
        base_log, base_logs, base_codes = session(demo, net, players, BASE_FRAMES, logdir, "unshaped")
        if base_log is None:
            print("FAIL: the unshaped host printed no address")
            return 1
        base_rtt = statistics.median(host_pings(base_log) or [0])
        net.shape(kbit)
        host_log, logs, codes = session(demo, net, players, FRAMES, logdir, "shaped")
        if host_log is None:
            print("FAIL: the shaped host printed no address")
            return 1
        sent, dropped = net.shaper_counts()
    finally:
        net.unshape()
        net.remove()
    pings = host_pings(host_log)
    rtt = statistics.median(pings) if pings else 0
    dropped_pct = 100.0 * dropped / (sent + dropped) if sent + dropped else 0.0
    said, pending = chat_figures(logs)
    host_text = open(host_log).read()
    host_chat = re.search(r"chat\s+(\d+) lines said, (\d+) pending", host_text)
    players_lost = re.search(r"players saw\s+(.*)", host_text)
    print("%s: %d kbit/s, %d players: shaper dropped %d of %d datagrams (%.1f %%); round trip "
          "p50 %d ms, unshaped %d ms (%.2fx); players' chat %d lines, %d undelivered; host's chat %s"
          % (row, kbit, players, dropped, sent + dropped, dropped_pct, rtt, base_rtt,
             rtt / base_rtt if base_rtt else 0.0, said, pending,
             "%s lines, %s undelivered" % host_chat.groups() if host_chat else "?"))
    if players_lost:
        print("  host's summary: players saw %s" % players_lost.group(1))
    failures = []
    if dropped_pct > MAX_DROPPED:
        failures.append("the shaper dropped %.1f %% (at most %.0f %%)" % (dropped_pct, MAX_DROPPED))
    if not base_rtt or rtt > MAX_RTT_RATIO * base_rtt:
        failures.append("round trip %d ms against %d unshaped (at most %.1fx)" % (rtt, base_rtt, MAX_RTT_RATIO))
    if any(c != 0 for c in base_codes):
        failures.append("the unshaped run failed: exit codes %s" % base_codes)
    names = ["host"] + ["p%d" % (i + 1) for i in range(players)]
    for name, code, log in zip(names, codes, [host_log] + logs):
        if code != 0:
            tail = [l for l in open(log).read().splitlines() if "FAILED" in l or "result" in l]
            failures.append("%s exited %d: %s" % (name, code, "; ".join(tail[-3:])))
    for f in failures:
        print("FAIL: " + f)
    print("logs in " + logdir)
    if not failures:
        shutil.rmtree(logdir, ignore_errors=True)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
