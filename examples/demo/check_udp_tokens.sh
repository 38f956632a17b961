#!/bin/sh
# The UDP pair with connect tokens: portnet-token mints one token per peer (players 11 and 12)
# from a sealing key, the host checks them with the same key and names each peer's player.
demo="$1"
token_tool="$2"
dir="$3"
mkdir -p "$dir"
key="$dir/sealing.key"
printf '%s\n' 3f1c0b7e5a29d48816e2f0c4a7b95d3e2c8f10a6b4d7e9f2013c5a7b9d1e3f50 >"$key"
"$token_tool" --key-file "$key" --player 11 --server portnet-demo >"$dir/p11" || exit 1
"$token_tool" --key-file "$key" --player 12 --server portnet-demo >"$dir/p12" || exit 1
HOST_ARGS="--token-key $key"
PEER_ARGS="--token $(sed -n 1p "$dir/p11") --key $(sed -n 2p "$dir/p11")"
PEER2_ARGS="--token $(sed -n 1p "$dir/p12") --key $(sed -n 2p "$dir/p12")"
export HOST_ARGS PEER_ARGS PEER2_ARGS
sh "$(dirname "$0")/check_udp_pair.sh" "$demo" "$dir" --secure || exit 1
for player in 11 12; do
    if ! grep -q "as player $player (connect token)" "$dir/udp_host.txt"; then
        echo "FAIL: the host did not name player $player"
        exit 1
    fi
done
