#!/usr/bin/env python3
"""Datagrams written byte by byte from docs/protocol.md, in a classic pcap (raw IPv4 + UDP on
127.0.0.1), decoded by tshark with tools/dissector/portnet.lua and testgame.lua (this folder):
every documented field must come out with its value, the registered decoders must be handed the
right bytes, and malformed or hostile datagrams must draw expert info, never a Lua error.

usage: check_fields.py TOOLS_DIR [WORK_DIR]     exit 77 (skip) without tshark
"""
import base64, os, shutil, struct, subprocess, sys, tempfile
import xml.etree.ElementTree as ET

PORT = 40000
EXPERTS = {"portnet.malformed", "portnet.bad_check", "portnet.unknown_port",
           "portnet.old_packet", "portnet.decoder", "portnet.not_handshake"}
H = bytes.fromhex


def pcap(frames):
    out = struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 65535, 101)  # LINKTYPE_RAW
    for i, (sport, dport, payload) in enumerate(frames):
        udp = struct.pack(">HHHH", sport, dport, 8 + len(payload), 0) + payload
        ip = struct.pack(">BBHHHBBH4s4s", 0x45, 0, 20 + len(udp), i & 0xFFFF, 0, 64, 17, 0,
                         bytes([127, 0, 0, 1]), bytes([127, 0, 0, 1]))
        s = sum(struct.unpack(">10H", ip))
        s = (s & 0xFFFF) + (s >> 16)
        ip = ip[:10] + struct.pack(">H", ~((s & 0xFFFF) + (s >> 16)) & 0xFFFF) + ip[12:]
        out += struct.pack("<IIII", 1000 + i, 0, len(ip + udp), len(ip + udp)) + ip + udp
    return out


def dtls(content, seq, body):  # a clear DTLS 1.2 record, epoch 0
    return bytes([content]) + H("fefd 0000") + seq.to_bytes(6, "big") + struct.pack(">H", len(body)) + body


def hs(kind, mseq, body):  # one unfragmented DTLS handshake message
    n = len(body).to_bytes(3, "big")
    return bytes([kind]) + n + struct.pack(">H", mseq) + b"\0\0\0" + n + body


# The worked token (docs/protocol.md), presented as a PSK identity in a DTLS ClientKeyExchange.
TOKEN = ("AQcAAAAAAAAAANJJawAAAAAs00lrAAAAAEBBQkNERUZHSElKS2pEfIFySu4BeO7UI5_KS-qc5UkzaNFvQM494GjeEgxdyIqj"
         "Sxp2XMkJHUoja1CL68xiMWp-zP6b_JN0paKOiPg3FA")
TOKEN_BYTES = base64.urlsafe_b64decode(TOKEN + "==")
assert len(TOKEN) == 138 and len(TOKEN_BYTES) == 103
CKE = hs(16, 1, struct.pack(">H", len(TOKEN)) + TOKEN.encode() + H("20") + bytes(range(32)))

# (client UDP port, from client?, datagram, {field: expected values in order, or None: absent});
# a field named ".x" is portnet's "portnet.x".
LONG = bytes(range(256)) * 4
CASES = [
    # Worked examples, one conversation: a fresh client's state, then one against a base with age.
    (50001, 1, H("00 14 01 00 00 00 00 00 01 00 AA BB FF"),
     {".channel": ["0"], ".form": ["packet"], ".header": ["0x14"], ".header.reliable": ["0"],
      ".header.write_toggle": ["0"], ".header.read_toggle": ["1"], ".header.timing": ["0"],
      ".header.check": ["1"], ".header.instant": ["0"], ".seq": ["1"], ".ack": ["0"], ".timing_seq": None,
      ".port": ["1"], ".state.flags": ["0x00"], ".state.delta": ["0"], ".state.has_age": ["0"],
      ".state.base_slot": ["0"], ".state.age": None, "t2game.state": ["aabb"],
      "t2game.info": ["port=1 delta=false slot=0 age=nil"], ".terminator": ["0xff"]}),
    (50001, 1, H("00 3C 03 00 00 02 00 00 02 00 00 28 00 01 0B 05 CC FF"),
     {"cut": 1, ".header.timing": ["1"], ".header.check": ["3"], ".seq": ["3"], ".ack": ["2"],
      ".timing_seq": ["2"], ".timing_age": ["40"], ".state.flags": ["0x0b"], ".state.delta": ["1"],
      ".state.has_age": ["1"], ".state.base_slot": ["2"], ".state.age": ["5"], "t2game.state": ["cc"],
      "t2game.info": ["port=1 delta=true slot=2 age=5"]}),
    # Reliable content in two chunks (the reader gathers them), then a state on port 1.
    (50001, 1, H("00 45 04 00 00 02 00 00 00 03 00 61 62 63 00 02 80 64 65 01 00 DD EE FF"),
     {"cut": 1, ".header.reliable": ["1"], ".rel.word": ["0x0003", "0x8002"], ".rel.length": ["3", "2"],
      ".rel.last": ["0", "1"], ".rel.chunk": ["616263", "6465"], ".message": ["6162636465"],
      "t2game.msg": ["6162636465"], ".repeat": None, "t2game.state": ["ddee"]}),
    # The same content under a new sequence and the same write toggle: a repetition, skipped.
    (50001, 1, H("00 55 05 00 00 02 00 00 00 03 00 61 62 63 00 02 80 64 65 FF"),
     {".seq": ["5"], ".repeat": ["1"], ".message": None, "t2game.msg": None}),
    # The host took toggle 0, so its read toggle (bit 2) is now 0: that acknowledges the content.
    (50001, 0, H("00 10 01 00 00 05 00 00 FF"),
     {".acks_reliable": ["1"], ".keep_alive": ["1"], ".seq": ["1"], ".ack": ["5"],
      ".header.read_toggle": ["0"]}),
    # Next content under write toggle 1, on a reliable port without a decoder.
    (50001, 1, H("00 67 06 00 00 01 00 00 0A 03 80 78 79 7A FF"),
     {".header.write_toggle": ["1"], ".repeat": None, ".port": ["10"], ".message": ["78797a"],
      "t2game.msg": None}),
    # Dropped whole, so its chunk 'z' begins no message.
    (50001, 1, H("00 25 02 00 00 00 00 00 00 01 00 7A FF"), {".old": ["1"], "expert": {"portnet.old_packet"}}),
    (50001, 1, H("00 04 07 00 00 01 00 00 FF"), {"expert": {"portnet.bad_check"}}),
    # Neither of those two was accepted, so 7 with the right check bits is new.
    (50001, 1, H("00 74 07 00 00 01 00 00 FF"), {".seq": ["7"], ".old": None}),
    # A message gathered across packets: 'abc' under toggle 0, acknowledged, 'de' under toggle 1.
    (50001, 0, H("00 24 02 00 00 07 00 00 FF"), {".acks_reliable": ["1"]}),
    (50001, 1, H("00 01 08 00 00 02 00 00 00 03 00 61 62 63 FF"), {".message": None, "t2game.msg": None}),
    (50001, 0, H("00 30 03 00 00 08 00 00 FF"), {".acks_reliable": ["1"]}),
    (50001, 1, H("00 13 09 00 00 03 00 00 00 02 80 64 65 FF"),
     {".message": ["6162636465"], "t2game.msg": ["6162636465"]}),
    # The block example (on port 9), then every section at once with values that tell fields apart.
    (50002, 1, H("00 14 01 00 00 00 00 00 09 04 01 00 05 00 00 00 00 00 00 00 05 00 68 65 6C 6C 6F FF"),
     {"cut": 1, ".block.sections": ["0x04"], ".block.has_ack": ["0"], ".block.has_notice": ["0"],
      ".block.fragments": ["1"], ".block.frag.block": ["1"], ".block.frag.total": ["5"],
      ".block.frag.offset": ["0"], ".block.frag.length": ["5"], ".block.frag.bytes": ["68656c6c6f"],
      ".block.ack.block": None}),
    (50002, 1, H("00 24 02 00 00 01 00 00 09 07 02 00 10 00 00 00 82 20 00 00 00 30 00 00 00 40 00 00 00"
                 "50 00 00 00 03 00 03 04 00 00 01 00 00 10 00 00 00 10 00") + bytes(range(16)) + H("FF"),
     {"cut": 1, ".block.sections": ["0x07"], ".block.has_ack": ["1"], ".block.has_notice": ["1"],
      ".block.fragments": ["1"], ".block.ack.block": ["2"], ".block.ack.whole": ["16"],
      ".block.ack.ranges": ["2"], ".block.ack.more": ["1"], ".block.ack.range_start": ["32", "64"],
      ".block.ack.range_end": ["48", "80"], ".block.notice.block": ["3"], ".block.notice.reason": ["3"],
      ".block.frag.block": ["4"], ".block.frag.total": ["256"], ".block.frag.offset": ["16"],
      ".block.frag.length": ["16"], ".block.frag.bytes": [bytes(range(16)).hex()], ".terminator": ["0xff"]}),
    # The largest datagram, 999 bytes: one fragment of 976 bytes, the last of a 16 MiB block.
    (50006, 1, H("00 14 01 00 00 00 00 00 09 04 01 00 00 00 00 01 30 FC FF 00 D0 03") + LONG[:976] + H("FF"),
     {".block.frag.length": ["976"], ".terminator": ["0xff"], "expert": set()}),
    # Instant messages: the worked hello, a welcome whose fields all differ, refusals, goodbyes.
    (50004, 1, H("00 80 48 45 4C 4F 78 56 34 12") + bytes(16),
     {".instant.magic": ["HELO"], ".instant.first": ["0x80"], ".instant.attempt": ["0x12345678"], ".seq": None,
      "form": "hello"}),
    (50004, 0, H("00 80 57 45 4C 43 78 56 34 12 FF 0F 56 34 12 CD AB 00 08 07 06 05 04 03 02 01"),
     {".instant.magic": ["WELC"], ".instant.attempt": ["0x12345678"], ".instant.slot": ["4095"],
      ".instant.host_first": [str(0x123456)], ".instant.player_first": [str(0xABCD)],
      ".instant.player_id": [str(0x0102030405060708)], "form": "welcome"}),
    (50004, 0, H("00 80 4E 4F 01 78 56 34 12"),
     {".instant.reason": ["1"], ".instant.attempt": ["0x12345678"], ".instant.refused_seq": None,
      "form": "refus"}),
    (50004, 0, H("00 80 4E 4F 05 03 02 00"),
     {".instant.reason": ["5"], ".instant.refused_seq": ["515"], ".instant.attempt": None, "form": "refus"}),
    (50004, 1, H("00 80 42 59 45 21"), {".instant.attempt": None, "form": "goodbye"}),
    (50004, 1, H("00 80 42 59 45 21 78 56 34 12"), {".instant.attempt": ["0x12345678"], "form": "goodbye"}),
    (50004, 1, H("00 C5 01 02"), {".instant.first": ["0xc5"], ".instant.payload": ["0102"]}),
    # Out-of-band: a registered channel, and one without a decoder.
    (50005, 1, H("02 01 02 03"), {".channel": ["2"], "t2game.oob": ["010203"], ".seq": None}),
    (50005, 1, H("FF DE AD"), {".channel": ["255"], ".oob": ["dead"], ".seq": None}),
    # The connect token in the clear part of a handshake.
    (50050, 1, dtls(22, 1, CKE),
     {".dtls.identity": [TOKEN], ".token.version": ["1"], ".token.protocol_id": ["7"],
      "time:portnet.token.valid_from": 1800000000, "time:portnet.token.expires": 1800000300,
      ".token.nonce": [bytes(range(0x40, 0x4C)).hex()], ".token.sealed_length": ["50"],
      ".token.sealed": [TOKEN_BYTES[37:87].hex()], ".token.tag": [TOKEN_BYTES[87:].hex()]}),
]
# Not these forms, each one field off: a game's instant message, warned of when it has a
# handshake's tag and size but a zero attempt or packet number.
HELO, WELC, ZERO = "80 48 45 4C 4F ", "80 57 45 4C 43 ", {"portnet.not_handshake"}
for form, d, need in [("goodbye", "80 42 59 45 21 78 56 34 12 00", None), ("hello", HELO + "01" + "00" * 18, None),
                      ("hello", HELO + "00" * 20, ZERO), ("welcome", WELC + "00 00 00 00 03 00 01 00 00 01 00 00", ZERO),
                      ("welcome", WELC + "78 56 34 12 03 00 00 00 00 01 00 00", ZERO),
                      ("welcome", WELC + "78 56 34 12 03 00 01 00 00 00 00 00", ZERO)]:
    d = H("00 " + d) + bytes(26 - len(H("00 " + d)) if form == "welcome" else 0)
    want = {"noform": form, ".instant.payload": [d[2:].hex()], ".instant.attempt": None}
    CASES.append((50004, 1, d, dict(want, expert=need) if need else want))

P = "00 14 01 00 00 00 00 00 "  # a fresh client's first header
HOSTILE = [  # (what, datagram, expert required: a name, or True for any portnet expert)
    ("empty datagram", b"", True),
    ("channel byte alone", H("00"), True),
    ("1000 bytes, over the 999 limit", H(P + "09 04 01 00 D1 03 00 00 00 00 00 00 D1 03") + LONG[:977] + H("FF"), True),
    ("reliable message of 800 bytes", H(P + "00 20 83") + LONG[:800] + H("FF"), "portnet.malformed"),
    ("acknowledgement of 17 ranges", H(P + "09 01 01 00 00 00 00 00 11") + bytes(8 * 17) + H("FF"), True),
    ("state on a port of no kind", H(P + "07 00 AA BB FF"), "portnet.unknown_port"),
    ("decoder: not a state", H(P + "03 00 EE FF"), True),
    ("decoder raises", H(P + "03 00 EF FF"), "portnet.decoder"),
    ("decoder claims 200 bytes", H(P + "03 00 F0 FF"), True),
]
# A fragment of one byte of a block of 0 bytes, of 16 MiB + 1, or past its block's size 5.
for total, offset in [(0, 0), (16777217, 0), (5, 5), (5, 0xFFFFFFFF)]:
    HOSTILE.append(("fragment at %d of a block of %d" % (offset, total),
                    H(P + "09 04 01 00") + struct.pack("<IIH", total, offset, 1) + H("41 FF"), "portnet.malformed"))
# Every truncation point of valid packets is malformed (no terminator, a field or a count's
# items cut), or a state its decoder refuses.
for i, (_, _, d, want) in enumerate(CASES):
    if want.pop("cut", 0):
        HOSTILE += [("cut to %d of case %d" % (n, i), d[:n], "portnet.malformed|portnet.decoder")
                    for n in range(1, len(d))]
HOSTILE = [(52000 + k, 1, d, {"hostile": need, "what": what}) for k, (what, d, need) in enumerate(HOSTILE)]

BYTES = {"portnet.rel.chunk", "portnet.message", "portnet.block.frag.bytes", "portnet.oob",
         "portnet.instant.payload", "portnet.token.nonce", "portnet.token.sealed", "portnet.token.tag",
         "t2game.state", "t2game.msg", "t2game.oob"}

# The demo's decoders (portnet_demo.lua): its join on channel 1, a chat line, a position.
DEMO = [
    (50200, 1, H("01 70 64 48 00 00 00"), {"portnet_demo.peer": None}),
    (50200, 0, H("01 70 64 57 07 09 01"),
     {"portnet.channel": ["1"], "portnet_demo.peer": ["7"], "portnet_demo.peers": ["9"],
      "portnet_demo.late": ["1"]}),
    (50201, 0, H("01 70 64 46 02 00 00"), {"portnet_demo.refusal": ["2"]}),
    # A position against a base names only the components sent (a whole one names all three).
    (50202, 1, H("00 15 01 00 00 00 00 00 00 03 80 68 69 00 01 01 05") + struct.pack("<ff", 1.5, -2.0) + H("FF"),
     {"portnet_demo.chat": ["hi"], "portnet_demo.mask": ["0x05"], "portnet_demo.x": ["1.5"],
      "portnet_demo.z": ["-2"], "portnet_demo.y": None}),
]


def fields(pkt):
    got = {}
    for f in pkt.iter("field"):
        name = f.get("name", "")
        if name.startswith(("portnet.", "t2game.", "portnet_demo.")):
            got.setdefault(name, []).append(f.get("value") if name in BYTES else f.get("show"))
    return got


def decode(scripts, frames, path, bad):
    with open(path, "wb") as f:
        f.write(pcap(frames))
    cmd = ["tshark"] + sum((["-X", "lua_script:" + s] for s in scripts), []) + [
        "-o", "portnet.udp_port:%d" % PORT, "-o", "udp.check_checksum:FALSE", "-2", "-r", path, "-T", "pdml"]
    r = subprocess.run(cmd, capture_output=True, text=True, timeout=120)
    err = [l for l in r.stderr.splitlines() if l.strip() and "Running as user" not in l]
    if r.returncode != 0 or err:
        bad.append("tshark exit %d, stderr: %s" % (r.returncode, " | ".join(err)[:2000]))
    pkts = ET.fromstring(r.stdout).findall("packet")
    if len(pkts) != len(frames):
        bad.append("%d packets decoded of %d" % (len(pkts), len(frames)))
    return pkts


def check(pkts, frames, cases, bad):
    for k, pkt in enumerate(pkts):
        want = {("portnet" + n if n[0] == "." else n): v for n, v in cases[k][3].items()}
        hostile, label = want.pop("hostile", None), "%s (%s...)" % (
            want.pop("what", "case %d" % k), frames[k][2][:12].hex(" "))
        text = ET.tostring(pkt, encoding="unicode")
        # A Lua error shows as such; an exception as _ws.malformed's own expert. The dissector's
        # own malformed-group expert info adds a bare _ws.malformed, right on hostile input only.
        if "Lua Error" in text or "_ws.malformed.expert" in text or "Malformed Packet:" in text:
            bad.append("%s: Lua error or exception" % label)
        if not hostile and '"_ws.malformed"' in text:
            bad.append("%s: marked malformed" % label)
        if not any(p.get("name") == "portnet" for p in pkt.findall("proto")):
            if len(frames[k][2]) != 0:  # Wireshark hands an empty UDP payload to no dissector
                bad.append("%s: not decoded as portnet" % label)
            continue
        got = fields(pkt)
        experts = EXPERTS & set(got)
        need = want.pop("expert", set())
        if (experts != need if not hostile else not experts if hostile is True
                else not experts & set(hostile.split("|"))):
            bad.append("%s: expert %s expected, got %s" % (label, hostile or sorted(need), sorted(experts)))
        forms = " ".join(got.get("portnet.form", []) + got.get("portnet.instant", [])).lower()
        if want.get("form", "") not in forms or want.pop("noform", "=") in forms:
            bad.append("%s: form '%s' taken for another" % (label, forms))
        want.pop("form", None)
        for name, exp in want.items():
            if name.startswith("time:"):  # PDML gives an absolute time's raw bytes: 8, little-endian
                vals = [f.get("value") for f in pkt.iter("field") if f.get("name") == name[5:]]
                if not vals or vals[0] is None or int.from_bytes(bytes.fromhex(vals[0]), "little") != exp:
                    bad.append("%s: %s = %s, expected %s" % (label, name[5:], vals, exp))
            elif got.get(name) != exp:
                bad.append("%s: %s = %s, expected %s" % (label, name, got.get(name), exp))


def main():
    if not shutil.which("tshark"):
        print("SKIP: no tshark")
        return 77
    tools = sys.argv[1]
    here = os.path.dirname(os.path.abspath(__file__))
    work = sys.argv[2] if len(sys.argv) > 2 else tempfile.mkdtemp()
    os.makedirs(work, exist_ok=True)
    base = os.path.join(tools, "portnet.lua")
    bad = []
    for game, cases in ((os.path.join(here, "testgame.lua"), CASES + HOSTILE),
                        (os.path.join(tools, "portnet_demo.lua"), DEMO)):
        frames = [(c, PORT, d) if up else (PORT, c, d) for c, up, d, _ in cases]
        pcap_path = os.path.join(work, os.path.basename(game) + ".pcap")
        check(decode([base, game], frames, pcap_path, bad), frames, cases, bad)
    for b in bad:
        print("FAIL", b)
    print("%d documented forms, %d hostile, %d of the demo: %d failures"
          % (len(CASES), len(HOSTILE), len(DEMO), len(bad)))
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
