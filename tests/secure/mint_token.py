#!/usr/bin/env python3
# A game backend's connect token, from docs/protocol.md and the cryptography package.
# mint_token.py SEALING_KEY_HEX PROTOCOL_ID PLAYER_ID VALID_FROM EXPIRES USER_DATA_HEX SERVER...
# prints the token, then the player key in hex.
import base64, os, struct, sys
from cryptography.hazmat.primitives.ciphers.aead import ChaCha20Poly1305

key, protocol, player, start, end, user = sys.argv[1:7]
user = bytes.fromhex(user)
player_key = os.urandom(32)
plain = struct.pack("<Q", int(player)) + player_key + bytes([len(user)]) + user
plain += bytes([len(sys.argv) - 7])
for name in sys.argv[7:]:
    plain += bytes([len(name)]) + name.encode()
header = struct.pack("<BQQQ", 1, int(protocol), int(start), int(end))
nonce = os.urandom(12)
body = ChaCha20Poly1305(bytes.fromhex(key)).encrypt(nonce, plain, header)
print(base64.urlsafe_b64encode(header + nonce + body).rstrip(b"=").decode())
print(player_key.hex())
