#!/usr/bin/env python3
# Two network namespaces joined by a veth pair that carries IPv6 alone (the documentation prefix
# 2001:db8::/32 and link-local fe80:: addresses, no IPv4): a host bound to [::] admits a player
# that reaches it by its global address and one that reaches it by its link-local address with a
# scope named by interface ("[fe80::1%pn6b0]:port"); the host must name each player by the
# address it sent from. Skipped (exit 77, told) without root and ip.
import os
import shutil
import subprocess
import sys
import time

PEER = sys.argv[1]
TAG = str(os.getpid() % 100000)
NS_HOST, NS_PLAY = "pn6h" + TAG, "pn6p" + TAG
DEV_HOST, DEV_PLAY = "pn6h" + TAG + "0", "pn6p" + TAG + "0"


def run(*args):
    subprocess.run(args, check=True, capture_output=True, timeout=20)


def skip(why):
    print("SKIPPED: " + why)
    sys.exit(77)


def main():
    if os.geteuid() != 0 or shutil.which("ip") is None:
        skip("needs root and ip (network namespaces)")
    try:
        run("ip", "netns", "add", NS_HOST)
    except (subprocess.CalledProcessError, OSError) as e:
        skip("network namespaces unavailable: %s" % e)
    try:
        run("ip", "netns", "add", NS_PLAY)
        run("ip", "link", "add", DEV_HOST, "type", "veth", "peer", "name", DEV_PLAY)
        run("ip", "link", "set", DEV_HOST, "netns", NS_HOST)
        run("ip", "link", "set", DEV_PLAY, "netns", NS_PLAY)
        for ns, dev, n in ((NS_HOST, DEV_HOST, 1), (NS_PLAY, DEV_PLAY, 2)):
            # No kernel link-local address (it would wait for duplicate detection): our own.
            run("ip", "netns", "exec", ns, "sysctl", "-qw",
                "net.ipv6.conf.%s.addr_gen_mode=1" % dev.replace(".", "/"))
            run("ip", "-n", ns, "-6", "addr", "add", "2001:db8:6::%d/64" % n, "dev", dev, "nodad")
            run("ip", "-n", ns, "-6", "addr", "add", "fe80::%d/64" % n, "dev", dev, "nodad")
            run("ip", "-n", ns, "link", "set", dev, "up")
            run("ip", "-n", ns, "link", "set", "lo", "up")
        host = subprocess.Popen(["ip", "netns", "exec", NS_HOST, PEER, "host", "[::]:0", "2", "15000"],
                                stdout=subprocess.PIPE, text=True)
        line = host.stdout.readline().split()
        if len(line) != 2 or line[0] != "listening":
            print("host did not start:", line)
            return 1
        port = line[1]
        global_player = subprocess.run(
            ["ip", "netns", "exec", NS_PLAY, PEER, "player", "[2001:db8:6::2]:0",
             "[2001:db8:6::1]:" + port, "8000"], capture_output=True, text=True, timeout=30)
        link_player = subprocess.run(
            ["ip", "netns", "exec", NS_PLAY, PEER, "player", "[fe80::2%" + DEV_PLAY + "]:0",
             "[fe80::1%" + DEV_PLAY + "]:" + port, "8000"], capture_output=True, text=True,
            timeout=30)
        out, _ = host.communicate(timeout=30)
        print("global player:\n" + global_player.stdout)
        print("link-local player:\n" + link_player.stdout)
        print("host:\n" + out)
        failures = []
        if global_player.returncode != 0 or link_player.returncode != 0:
            failures.append("a player did not connect and leave")
        if host.returncode != 0:
            failures.append("the host did not see both players join and leave")
        joined = [l.split()[1] for l in out.splitlines() if l.startswith("joined ")]

        def bound(proc):
            found = [l.split()[1] for l in proc.stdout.splitlines() if l.startswith("bound ")]
            return found[0] if found else "?"

        # The host names the global player by its exact address and port, and the link-local one
        # by its address and port with the host's own interface number as the scope.
        mine = bound(global_player)
        if mine not in joined:
            failures.append("the global player %s is not among %s" % (mine, joined))
        mine = bound(link_player)
        address, _, port = mine.rpartition(":")
        if not any(j.startswith(address.split("%")[0] + "%") and j.endswith("]:" + port)
                   for j in joined):
            failures.append("the link-local player %s is not among %s" % (mine, joined))
        for f in failures:
            print("FAIL: " + f)
        return 1 if failures else 0
    finally:
        for ns in (NS_HOST, NS_PLAY):
            subprocess.run(["ip", "netns", "del", ns], capture_output=True)


if __name__ == "__main__":
    sys.exit(main())
