#!/usr/bin/env python3
# An IPv6-only player reaches an IPv4-only server through NAT64, as a phone on an IPv6-only
# carrier does. Three network namespaces: the player's (2001:db8:1::/64, no IPv4), a router
# running Debian's tayga with the network-specific prefix 2001:db8:64::/96 (the well-known
# 64:ff9b::/96 refuses the test range 198.18.0.0/15), and the server's (198.18.1.0/24, no IPv6).
# The demo runs as real processes: the server bound to 198.18.1.2, the player connecting to
# [2001:db8:64::c612:102] (198.18.1.2 in the prefix's last 32 bits), plain, over DTLS with a
# shared key, and over DTLS with a connect token minted by portnet-token. The server must see
# the player from tayga's pool (198.18.3.0/24). Skipped (exit 77, told) without root, ip,
# network namespaces or tayga.
import os
import shutil
import socket
import subprocess
import sys
import tempfile

DEMO, TOKEN_TOOL = sys.argv[1], sys.argv[2]
TAG = str(os.getpid() % 100000)
NS_C, NS_R, NS_S = "n64c" + TAG, "n64r" + TAG, "n64s" + TAG
SERVER_V4 = "198.18.1.2"
SERVER_V6 = "2001:db8:64::c612:102"
PORT = 40000
KEY = "00112233445566778899aabbccddeeff"


def run(*args):
    subprocess.run(args, check=True, capture_output=True, timeout=20)


def skip(why):
    print("SKIPPED: " + why)
    sys.exit(77)


def netns(ns, *args):
    return ["ip", "netns", "exec", ns] + list(args)


def build(workdir):
    for ns in (NS_C, NS_R, NS_S):
        run("ip", "netns", "add", ns)
        run("ip", "-n", ns, "link", "set", "lo", "up")
    for a, b, na, nb in (("c", "rc", NS_C, NS_R), ("rs", "s", NS_R, NS_S)):
        da, db = "n64" + a + TAG, "n64" + b + TAG
        run("ip", "link", "add", da, "type", "veth", "peer", "name", db)
        run("ip", "link", "set", da, "netns", na)
        run("ip", "link", "set", db, "netns", nb)
    c_dev, rc_dev, rs_dev, s_dev = ("n64" + x + TAG for x in ("c", "rc", "rs", "s"))
    run("ip", "-n", NS_C, "-6", "addr", "add", "2001:db8:1::2/64", "dev", c_dev, "nodad")
    run("ip", "-n", NS_R, "-6", "addr", "add", "2001:db8:1::1/64", "dev", rc_dev, "nodad")
    run("ip", "-n", NS_R, "addr", "add", "198.18.1.1/24", "dev", rs_dev)
    run("ip", "-n", NS_S, "addr", "add", SERVER_V4 + "/24", "dev", s_dev)
    for ns, dev in ((NS_C, c_dev), (NS_R, rc_dev), (NS_R, rs_dev), (NS_S, s_dev)):
        run("ip", "-n", ns, "link", "set", dev, "up")
    run("ip", "-n", NS_C, "-6", "route", "add", "default", "via", "2001:db8:1::1")
    run("ip", "-n", NS_S, "route", "add", "default", "via", "198.18.1.1")
    # The server's side has no IPv6 at all: an IPv4-only host.
    run(*netns(NS_S, "sysctl", "-qw", "net.ipv6.conf.all.disable_ipv6=1"))
    run(*netns(NS_R, "sysctl", "-qw", "net.ipv4.ip_forward=1"))
    run(*netns(NS_R, "sysctl", "-qw", "net.ipv6.conf.all.forwarding=1"))
    conf = os.path.join(workdir, "tayga.conf")
    with open(conf, "w") as f:
        f.write("tun-device nat64\nipv4-addr 198.18.2.1\nipv6-addr 2001:db8:2::1\n"
                "prefix 2001:db8:64::/96\ndynamic-pool 198.18.3.0/24\ndata-dir %s\n" % workdir)
    run(*netns(NS_R, "tayga", "-c", conf, "--mktun"))
    run("ip", "-n", NS_R, "link", "set", "nat64", "up")
    run("ip", "-n", NS_R, "route", "add", "198.18.3.0/24", "dev", "nat64")
    run("ip", "-n", NS_R, "-6", "route", "add", "2001:db8:64::/96", "dev", "nat64")
    return subprocess.Popen(netns(NS_R, "tayga", "-c", conf, "-d"), stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)


# A datagram through the translator and its answer back, before any demo runs: a failure here
# is the test bed's, not the library's.
ECHO = ("import socket,sys\ns=socket.socket(socket.AF_INET,socket.SOCK_DGRAM)\n"
        "s.bind(('%s',%d));s.settimeout(10)\nd,a=s.recvfrom(100);s.sendto(d+a[0].encode(),a)\n"
        % (SERVER_V4, PORT))


def path_works():
    echo = subprocess.Popen(netns(NS_S, sys.executable, "-c", ECHO))
    probe = ("import socket\ns=socket.socket(socket.AF_INET6,socket.SOCK_DGRAM);s.settimeout(1)\n"
             "for i in range(8):\n    s.sendto(b'ping ',('%s',%d))\n    try:\n"
             "        print(s.recvfrom(100)[0].decode());break\n    except OSError: pass\n"
             % (SERVER_V6, PORT))
    out = subprocess.run(netns(NS_C, sys.executable, "-c", probe), capture_output=True,
                         text=True, timeout=20).stdout.strip()
    echo.kill()
    echo.wait()
    print("NAT64 path: " + (out or "no answer"))
    return out.startswith("ping 198.18.3.")


def play(name, host_args, player_args):
    host = subprocess.Popen(netns(NS_S, DEMO, "--udp", "server", "--bind", "%s:%d" % (SERVER_V4, PORT),
                                  "--peers", "1", "--frames", "150") + host_args,
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    player = subprocess.run(netns(NS_C, DEMO, "--udp", "client", "--connect",
                                  "[%s]:%d" % (SERVER_V6, PORT), "--frames", "150") + player_args,
                            capture_output=True, text=True, timeout=40)
    host_out, _ = host.communicate(timeout=40)
    print("--- %s: host (exit %d)\n%s--- %s: player (exit %d)\n%s" %
          (name, host.returncode, host_out, name, player.returncode, player.stdout + player.stderr))
    failures = []
    if host.returncode != 0 or player.returncode != 0:
        failures.append(name + ": a process failed its checks")
    if "198.18.3." not in host_out:
        failures.append(name + ": the host did not name the player by a NAT64 pool address")
    if host_args and "1 handshakes completed" not in host_out:
        failures.append(name + ": no DTLS handshake completed")
    if "--token-key" in host_args and "(connect token)" not in host_out:
        failures.append(name + ": the player was not admitted by its token")
    return failures


def main():
    if os.geteuid() != 0 or shutil.which("ip") is None:
        skip("needs root and ip (network namespaces)")
    if shutil.which("tayga") is None:
        skip("no tayga (apt-get install tayga)")
    try:
        run("ip", "netns", "add", NS_C)
        run("ip", "netns", "del", NS_C)
    except (subprocess.CalledProcessError, OSError) as e:
        skip("network namespaces unavailable: %s" % e)
    workdir = tempfile.mkdtemp(prefix="nat64")
    tayga = None
    try:
        tayga = build(workdir)
        if not path_works():
            print("FAIL: no datagram crossed the NAT64 router")
            return 1
        sealing = os.path.join(workdir, "sealing.key")
        with open(sealing, "w") as f:
            f.write("5b1f0c3e7a29d48816e2f0c4a7b95d3e2c8f10a6b4d7e9f2013c5a7b9d1e3f50\n")
        minted = subprocess.run([TOKEN_TOOL, "--key-file", sealing, "--player", "64",
                                 "--server", "portnet-demo"], capture_output=True, text=True,
                                check=True).stdout.split()
        failures = play("plain", [], [])
        failures += play("secure", ["--secure", "--key", KEY], ["--secure", "--key", KEY])
        failures += play("token", ["--secure", "--token-key", sealing],
                         ["--secure", "--token", minted[0], "--key", minted[1]])
        for f in failures:
            print("FAIL: " + f)
        return 1 if failures else 0
    finally:
        if tayga is not None:
            tayga.kill()
            tayga.wait()
        for ns in (NS_C, NS_R, NS_S):
            subprocess.run(["ip", "netns", "del", ns], capture_output=True)
        shutil.rmtree(workdir, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
