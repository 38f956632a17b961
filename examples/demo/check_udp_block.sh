#!/bin/sh
# A dual-stack UDP host and two UDP players, one over 127.0.0.1 and one over ::1, with the
# default impairments and --block BYTES: the host sends each player a map of BYTES as it joins;
# every player must say its map arrived and matched, the host that each was acknowledged whole,
# and all three must pass. Further arguments go to all three.
. "$(dirname "$0")/host_address.sh"
demo="$1"
# A cross-built demo runs through its emulator (Wine), named by PORTNET_RUN_UNDER.
run=${PORTNET_RUN_UNDER:-}
dir="$2"
bytes="$3"
shift 3
mkdir -p "$dir"
# 8 s at 60 fps: 1 MiB at 10 % loss takes some 3 to 4 s, and a sanitiser build's slower
# frames stretch that.
host_log="$dir/block_host.txt"
host_bind="[::]:0" # dual-stack: players join over both families
rm -f "$host_log" "$dir"/block_peer*.txt

timeout 60 $run "$demo" --udp server --bind "$host_bind" --peers 2 --frames 480 --block "$bytes" "$@" >"$host_log" 2>&1 &
host_pid=$!
wait_for_host_address "$host_pid" "$host_log"

timeout 60 $run "$demo" --udp client --connect "$(join_addr 2)" --frames 480 --block "$bytes" "$@" >"$dir/block_peer2.txt" 2>&1 &
peer2_pid=$!
timeout 60 $run "$demo" --udp client --connect "$(join_addr 1)" --frames 480 --block "$bytes" "$@" >"$dir/block_peer1.txt" 2>&1
peer1_status=$?
wait "$peer2_pid"
peer2_status=$?
wait "$host_pid"
host_status=$?
echo "--- host (exit $host_status)"
cat "$host_log"
for k in 1 2; do
    echo "--- player $k"
    cat "$dir/block_peer$k.txt"
done
failed=0
for k in 1 2; do
    # Exactly one arrival, and it matched.
    if [ "$(grep -c "^  map received by p[12]: $bytes bytes in .*: ok\$" "$dir/block_peer$k.txt")" -ne 1 ] ||
        grep -q "MISMATCH" "$dir/block_peer$k.txt"; then
        echo "FAIL: player $k did not say once that its map of $bytes bytes arrived and matched"
        failed=1
    fi
done
for p in p1 p2; do
    if ! grep -q "^  map to $p delivered: $bytes bytes" "$host_log"; then
        echo "FAIL: the host did not see its map to $p acknowledged whole"
        failed=1
    fi
done
joined_from_both "$host_log" || failed=1
[ "$failed" -eq 0 ] && [ "$host_status" -eq 0 ] && [ "$peer1_status" -eq 0 ] && [ "$peer2_status" -eq 0 ]
