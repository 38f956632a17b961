#!/bin/sh
# Forty players through a ten-slot dual-stack portnet-demo host over UDP, plain or secure, odd
# ones over 127.0.0.1 and even ones over ::1 (twenty joins from each, none as ::ffff:):
# a third killed with kill -9, a third sent SIGTERM (they leave with a goodbye), the rest run
# to their end (goodbye too), started 0.3 s apart (about five at a time). The host's log must show 40
# joins, every goodbye as "left", every killed player as unreachable (ICMP comes back on
# loopback) or, where the kernel's ICMP rate limit kept the report back, timed out; nobody
# reported twice, no player that never got in.
#   check_udp_churn.sh DEMO DIR plain|secure
demo="$1"
dir="$2"
mode="$3"
mkdir -p "$dir"
rm -f "$dir"/churn_*.txt
. "$(dirname "$0")/host_address.sh"
quiet="--loss 0 --latency 0 --jitter 0 --dup 0"
secure=""
[ "$mode" = secure ] && secure="--secure --key 00112233445566778899aabbccddeeff"
host_log="$dir/churn_host.txt"
host_bind="[::]:0" # dual-stack: players join over both families

timeout 90 "$demo" --udp server --bind "$host_bind" --peers 10 --frames 0 $quiet $secure \
    >"$host_log" 2>&1 &
host_pid=$!
wait_for_host_address "$host_pid" "$host_log"

pids=""
killed=0
i=1
while [ $i -le 40 ]; do
    frames=$((60 + (i * 7) % 40))
    "$demo" --udp client --connect "$(join_addr $i)" --frames $frames $quiet $secure \
        >"$dir/churn_p$i.txt" 2>&1 &
    pid=$!
    case $((i % 3)) in
    0) (sleep 0.8 && kill -9 $pid) & killed=$((killed + 1)) ;;
    1) (sleep 0.8 && kill -TERM $pid) & ;;
    esac
    pids="$pids $pid"
    sleep 0.3
    i=$((i + 1))
done
for pid in $pids; do wait "$pid" 2>/dev/null; done
# Long enough for the idle limit (10 s) to end any killed player whose report the kernel held.
sleep 11
kill -INT $host_pid
wait $host_pid

joined=$(grep -c "joined from" "$host_log")
goodbye=$(grep -c "left (it said goodbye)" "$host_log")
unreachable=$(grep -c ": unreachable" "$host_log")
timed_out=$(grep -c ": timed out" "$host_log")
other=$(grep " left from " "$host_log" | grep -vc "said goodbye\|: unreachable\|: timed out")
v4=$(grep -c "joined from 127\.0\.0\.1:" "$host_log")
v6=$(grep -c "joined from \[::1\]:" "$host_log")
never=$(grep -l "could not join" "$dir"/churn_p*.txt 2>/dev/null | wc -l)
echo "$mode: joined $joined, left by goodbye $goodbye, unreachable $unreachable, timed out $timed_out, other $other; killed $killed; never got in $never; joined over IPv4 $v4, over IPv6 $v6"
joined_from_both "$host_log" && [ "$joined" -eq 40 ] && [ "$v4" -eq 20 ] && [ "$v6" -eq 20 ] &&
    [ "$goodbye" -eq $((40 - killed)) ] &&
    [ $((unreachable + timed_out)) -eq "$killed" ] && [ "$other" -eq 0 ] && [ "$never" -eq 0 ]
