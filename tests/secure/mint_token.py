#!/usr/bin/env python3
"""A game backend's connect token, minted from docs/protocol.md with the cryptography package.

mint_token.py SEALING_KEY_HEX PROTOCOL_ID PLAYER_ID VALID_FROM EXPIRES USER_DATA_HEX SERVER...
prints the token, then the player key in hex.
"""
import base64
import os
import struct
import sys

from cryptography.hazmat.primitives.ciphers.aead import ChaCha20Poly1305


def mint(sealing_key, protocol_id, player_id, valid_from, expires, user_data, servers):
    player_key = os.urandom(32)
    plain = struct.pack("<Q", player_id) + player_key + bytes([len(user_data)]) + user_data
    plain += bytes([len(servers)])
    for name in servers:
        plain += bytes([len(name)]) + name
    header = struct.pack("<BQQQ", 1, protocol_id, valid_from, expires)
    nonce = os.urandom(12)
    body = ChaCha20Poly1305(sealing_key).encrypt(nonce, plain, header)
    token = base64.urlsafe_b64encode(header + nonce + body).rstrip(b"=")
    if len(token) > 256:
        raise SystemExit("token longer than 256 characters")
    return token.decode(), player_key.hex()


if __name__ == "__main__":
    key, protocol, player, start, end, user = sys.argv[1:7]
    servers = [s.encode() for s in sys.argv[7:]]
    token, player_key = mint(bytes.fromhex(key), int(protocol), int(player), int(start),
                             int(end), bytes.fromhex(user), servers)
    print(token)
    print(player_key)
