#!/bin/sh
# The UDP pair with connect tokens: portnet-token mints players 11 and 12 their tokens, the host
# checks them with the same sealing key and names each peer's player. Player 13's token names
# another server: the host refuses it and says so (not a guess such as a wrong key). The host is
# dual-stack: player 11 joins over 127.0.0.1, player 12 over ::1, and their tokens list server
# addresses of both families beside the name (the host checks the name).
demo="$1" token_tool="$2" dir="$3"
mkdir -p "$dir"
echo 3f1c0b7e5a29d48816e2f0c4a7b95d3e2c8f10a6b4d7e9f2013c5a7b9d1e3f50 >"$dir/sealing.key"
for p in 11 12; do
    "$token_tool" --key-file "$dir/sealing.key" --player $p --server 127.0.0.1:40000 \
        --server '[::1]:40000' --server portnet-demo >"$dir/p$p" || exit 1
done
"$token_tool" --key-file "$dir/sealing.key" --player 13 --server eu-1 >"$dir/p13" || exit 1
# The host names a refused identity's reason when that handshake ends, at the host's handshake
# time-out (10 s): it runs past that.
HOST_ARGS="--token-key $dir/sealing.key --frames 720"
PEER_ARGS="--token $(sed -n 1p "$dir/p11") --key $(sed -n 2p "$dir/p11")"
PEER2_ARGS="--token $(sed -n 1p "$dir/p12") --key $(sed -n 2p "$dir/p12")"
PEER3_ARGS="--token $(sed -n 1p "$dir/p13") --key $(sed -n 2p "$dir/p13")"
HOST_BIND="[::]:0"
export HOST_ARGS PEER_ARGS PEER2_ARGS PEER3_ARGS HOST_BIND
sh "$(dirname "$0")/check_udp_pair.sh" "$demo" "$dir" --secure &&
    grep -q "joined from 127\.0\.0\.1:[0-9]*, slot [01] as player 11 (connect token)" "$dir/udp_host.txt" &&
    grep -q "joined from \[::1\]:[0-9]*, slot [01] as player 12 (connect token)" "$dir/udp_host.txt" &&
    grep -q "^  secure handshakes refused or failed: token for another server (1);" "$dir/udp_host.txt" &&
    ! grep -q "wrong key" "$dir/udp_host.txt"
