#!/bin/sh
# A UDP host for COUNT peers and one process running all COUNT of them, each on a socket of its
# own, on 127.0.0.1 (HOST_BIND, when set, is the host's --bind: "[::1]:0" over IPv6; "[::]:0" a
# dual-stack host, and two processes of half the peers each, one over 127.0.0.1 and one over
# ::1): all must pass, the host must have seen every peer join and timed its frames, and the
# peers' summaries must count every one of them. Further arguments go to all (--secure ...).
. "$(dirname "$0")/host_address.sh"
demo="$1"
# A cross-built demo runs through its emulator (Wine), named by PORTNET_RUN_UNDER.
run=${PORTNET_RUN_UNDER:-}
dir="$2"
count="$3"
shift 3
mkdir -p "$dir"
host_log="$dir/count_host.txt"
rm -f "$host_log" "$dir"/count_peers*.txt

host_bind=${HOST_BIND:-127.0.0.1:0}
# The host's address as the join lines print it, as a pattern: "127\.0\.0\.1", "\[::1\]".
host_pattern=$(printf '%s' "${host_bind%:*}" | sed 's/[].[]/\\&/g')
timeout 50 $run "$demo" --udp server --bind "$host_bind" --peers "$count" --frames 120 "$@" >"$host_log" 2>&1 &
host_pid=$!
wait_for_host_address "$host_pid" "$host_log"
# A dual-stack host gets half its peers from a process joining over 127.0.0.1 and half from
# one joining over ::1; any other host one process of them all.
case "$host_bind" in
"[::]:"*) counts="$((count - count / 2)) $((count / 2))" ;;
*) counts="$count" ;;
esac
k=0
pids=""
for n in $counts; do
    k=$((k + 1))
    timeout 50 $run "$demo" --udp client --connect "$(join_addr $k)" --count "$n" --frames 120 "$@" >"$dir/count_peers$k.txt" 2>&1 &
    pids="$pids $!"
done
peers_status=0
for pid in $pids; do
    wait "$pid" || peers_status=$?
done
wait "$host_pid"
host_status=$?
echo "--- host (exit $host_status)"
cat "$host_log"
k=0
for n in $counts; do
    k=$((k + 1))
    echo "--- $n peers at $(join_addr $k)"
    cat "$dir/count_peers$k.txt"
done
failed=0
check() { # file, pattern, what it means
    if ! grep -q "$2" "$1"; then
        echo "FAIL: $3"
        failed=1
    fi
}
case "$host_bind" in
"[::]:"*)
    check "$host_log" "^  p$count joined from " "the host did not see peer $count join"
    joined_from_both "$host_log" || failed=1
    v4=$(grep -c "^  p[0-9]* joined from 127\.0\.0\.1:" "$host_log")
    v6=$(grep -c "^  p[0-9]* joined from \[::1\]:" "$host_log")
    if [ "$v4 $v6" != "$counts" ]; then
        echo "FAIL: the host saw $v4 peers join over 127.0.0.1 and $v6 over ::1, not $counts"
        failed=1
    fi
    ;;
*) check "$host_log" "^  p$count joined from $host_pattern:" "the host did not see peer $count join" ;;
esac
check "$host_log" "^  host cpu .* per peer-frame ($count peers" "the host did not time its frames"
k=0
for n in $counts; do
    k=$((k + 1))
    check "$dir/count_peers$k.txt" "^summary: $n peers, $n joined, $n passed" "not every peer of process $k joined and passed"
done
case " $* " in
*" --secure "*)
    check "$host_log" "^  dtls  *$count handshakes completed" "the host did not complete $count handshakes"
    ;;
esac
[ "$failed" -eq 0 ] && [ "$host_status" -eq 0 ] && [ "$peers_status" -eq 0 ]
