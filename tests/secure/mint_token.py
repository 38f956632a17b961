#!/usr/bin/env python3
# A game backend's connect token, from docs/protocol.md and the cryptography package.
# mint_token.py SEALING_KEY_HEX PROTOCOL_ID PLAYER_ID VALID_FROM EXPIRES USER_DATA_HEX SERVER...
# prints the token, then the player key in hex. A SERVER in brackets ("[2001:db8::1]:40000",
# "[fe80::1%2]:40000") goes as an IPv6 address entry, and the token is then version 2.
import base64, ipaddress, os, struct, sys
from cryptography.hazmat.primitives.ciphers.aead import ChaCha20Poly1305


def server_entry(name):
    if not name.startswith("["):
        return bytes([len(name)]) + name.encode()
    host, port = name[1:].split("]:")
    host, _, scope = host.partition("%")
    address = ipaddress.IPv6Address(host)
    return b"\0" + address.packed + struct.pack("<HI", int(port), int(scope or 0))


key, protocol, player, start, end, user = sys.argv[1:7]
user = bytes.fromhex(user)
player_key = os.urandom(32)
plain = struct.pack("<Q", int(player)) + player_key + bytes([len(user)]) + user
plain += bytes([len(sys.argv) - 7])
for name in sys.argv[7:]:
    plain += server_entry(name)
version = 2 if any(name.startswith("[") for name in sys.argv[7:]) else 1
header = struct.pack("<BQQQ", version, int(protocol), int(start), int(end))
nonce = os.urandom(12)
body = ChaCha20Poly1305(bytes.fromhex(key)).encrypt(nonce, plain, header)
print(base64.urlsafe_b64encode(header + nonce + body).rstrip(b"=").decode())
print(player_key.hex())
