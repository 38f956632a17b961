#!/bin/sh
# A UDP host for COUNT peers and one process running all COUNT of them, each on a socket of its
# own, on 127.0.0.1 (HOST_BIND, when set, is the host's --bind: "[::1]:0" over IPv6): both must
# pass, the host must have seen every peer join and timed its frames, and the peers' summary
# must count every one of them. Further arguments go to both (--secure ...).
. "$(dirname "$0")/host_address.sh"
demo="$1"
# A cross-built demo runs through its emulator (Wine), named by PORTNET_RUN_UNDER.
run=${PORTNET_RUN_UNDER:-}
dir="$2"
count="$3"
shift 3
mkdir -p "$dir"
host_log="$dir/count_host.txt"
peers_log="$dir/count_peers.txt"
rm -f "$host_log" "$peers_log"

bind=${HOST_BIND:-127.0.0.1:0}
# The host's address as the join lines print it, as a pattern: "127\.0\.0\.1", "\[::1\]".
host_pattern=$(printf '%s' "${bind%:*}" | sed 's/[].[]/\\&/g')
timeout 50 $run "$demo" --udp server --bind "$bind" --peers "$count" --frames 120 "$@" >"$host_log" 2>&1 &
host_pid=$!
wait_for_host_address "$host_pid" "$host_log"
timeout 50 $run "$demo" --udp client --connect "$addr" --count "$count" --frames 120 "$@" >"$peers_log" 2>&1
peers_status=$?
wait "$host_pid"
host_status=$?
echo "--- host (exit $host_status)"
cat "$host_log"
echo "--- $count peers (exit $peers_status)"
cat "$peers_log"
failed=0
check() { # file, pattern, what it means
    if ! grep -q "$2" "$1"; then
        echo "FAIL: $3"
        failed=1
    fi
}
check "$host_log" "^  p$count joined from $host_pattern:" "the host did not see peer $count join"
check "$host_log" "^  host cpu .* per peer-frame ($count peers" "the host did not time its frames"
check "$peers_log" "^summary: $count peers, $count joined, $count passed" "not every peer joined and passed"
case " $* " in
*" --secure "*)
    check "$host_log" "^  dtls  *$count handshakes completed" "the host did not complete $count handshakes"
    ;;
esac
[ "$failed" -eq 0 ] && [ "$host_status" -eq 0 ] && [ "$peers_status" -eq 0 ]
