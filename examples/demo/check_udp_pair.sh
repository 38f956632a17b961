#!/bin/sh
# A UDP host and two UDP peers, three processes all on 127.0.0.1 with the default impairments:
# every one must pass its checks, so the host told the peers apart by port. The host picks a
# free port and prints it; the peers join it. Further arguments go to all three (--secure ...);
# with --secure the host must have completed a DTLS handshake with each peer. HOST_BIND, when
# set, is the host's --bind ("[::1]:0": the pair over IPv6; "[::]:0": a dual-stack host, the
# first peer joining over 127.0.0.1 and the second over ::1). HOST_ARGS,
# PEER_ARGS and PEER2_ARGS, when set, go to that process alone. With PEER3_ARGS a third peer,
# which the host is not expected to let in, runs beside them until the pair is done.
. "$(dirname "$0")/host_address.sh"
demo="$1"
# A cross-built demo runs through its emulator (Wine), named by PORTNET_RUN_UNDER.
run=${PORTNET_RUN_UNDER:-}
dir="$2"
shift 2
mkdir -p "$dir"
host_log="$dir/udp_host.txt"
peer_log="$dir/udp_peer.txt"
peer2_log="$dir/udp_peer2.txt"
rm -f "$host_log" "$peer_log" "$peer2_log"

host_bind=${HOST_BIND:-127.0.0.1:0}
timeout 30 $run "$demo" --udp server --bind "$host_bind" --peers 2 --frames 90 "$@" $HOST_ARGS >"$host_log" 2>&1 &
host_pid=$!
wait_for_host_address "$host_pid" "$host_log"

peer3_pid=""
if [ -n "${PEER3_ARGS:-}" ]; then
    timeout 30 $run "$demo" --udp client --connect "$(join_addr 3)" --frames 90 "$@" $PEER3_ARGS >"$dir/udp_peer3.txt" 2>&1 &
    peer3_pid=$!
fi
timeout 30 $run "$demo" --udp client --connect "$(join_addr 2)" --frames 90 "$@" $PEER2_ARGS >"$peer2_log" 2>&1 &
peer2_pid=$!
timeout 30 $run "$demo" --udp client --connect "$(join_addr 1)" --frames 90 "$@" $PEER_ARGS >"$peer_log" 2>&1
peer_status=$?
wait "$peer2_pid"
peer2_status=$?
wait "$host_pid"
host_status=$?
if [ -n "$peer3_pid" ]; then
    kill "$peer3_pid" 2>/dev/null
    wait "$peer3_pid"
fi
echo "--- host (exit $host_status)"
cat "$host_log"
echo "--- peer (exit $peer_status)"
cat "$peer_log"
echo "--- second peer (exit $peer2_status)"
cat "$peer2_log"
case " $* " in
*" --secure "*)
    if ! grep -q '^  dtls  *2 handshakes completed' "$host_log"; then
        echo "FAIL: the host did not complete a DTLS handshake with each peer"
        exit 1
    fi
    ;;
esac
case "$host_bind" in
"[::]:"*)
    joined_from_both "$host_log" || exit 1
    ;;
esac
[ "$host_status" -eq 0 ] && [ "$peer_status" -eq 0 ] && [ "$peer2_status" -eq 0 ]
