#!/bin/sh
# A UDP host of one slot serves players in turn for as long as it runs: A joins, plays and
# leaves; B then takes A's slot (welcomed, not told "full"); D, which comes while A holds the
# slot, is refused as full and says so. Every process must end with its own result: A, B and
# the host pass (the host's view of B starts afresh, not blended with A's last states), D fails.
# The host is dual-stack: A joins over 127.0.0.1, D and B over ::1, so B takes the slot an IPv4
# player left.
. "$(dirname "$0")/host_address.sh"
demo="$1"
# A cross-built demo runs through its emulator (Wine), named by PORTNET_RUN_UNDER.
run=${PORTNET_RUN_UNDER:-}
dir="$2"
mkdir -p "$dir"
host_log="$dir/serve_host.txt"
host_bind="[::]:0" # dual-stack: players join over both families
rm -f "$host_log" "$dir"/serve_[abd].txt

timeout 40 $run "$demo" --udp server --bind "$host_bind" --peers 1 --frames 300 >"$host_log" 2>&1 &
host_pid=$!
wait_for_host_address "$host_pid" "$host_log"

timeout 20 $run "$demo" --udp client --connect "$(join_addr 1)" --frames 30 >"$dir/serve_a.txt" 2>&1 &
a_pid=$!
# D only once A holds the slot (at most 5 s).
tries=0
while ! grep -q "^  p1 joined from" "$host_log" && [ $tries -lt 50 ]; do
    sleep 0.1
    tries=$((tries + 1))
done
timeout 20 $run "$demo" --udp client --connect "$(join_addr 2)" --frames 30 >"$dir/serve_d.txt" 2>&1
d_status=$?
wait "$a_pid"
a_status=$?
timeout 20 $run "$demo" --udp client --connect "$(join_addr 2)" --frames 30 >"$dir/serve_b.txt" 2>&1
b_status=$?
wait "$host_pid"
host_status=$?
for who in host a b d; do
    eval "status=\$${who}_status"
    echo "--- $who (exit $status)"
    if [ $who = host ]; then cat "$host_log"; else cat "$dir/serve_$who.txt"; fi
done

failed=0
check() { # file, pattern, what it means
    if ! grep -q "$2" "$1"; then
        echo "FAIL: $3"
        failed=1
    fi
}
check "$host_log" "^  refused \[::1\]:[0-9]*, no slot: full" "the host did not print D's refusal as full"
check "$dir/serve_d.txt" "could not join: the host refused us: full" "D did not say the host was full"
for who in '127\.0\.0\.1' '\[::1\]'; do # A, then B; Wine ends lines with CR
    if ! tr -d '\r' <"$host_log" | grep -q "^  p1 joined from $who:[0-9]*, slot 0\$"; then
        echo "FAIL: the host did not admit a player from $who into slot 0"
        failed=1
    fi
done
joined_from_both "$host_log" || failed=1
check "$host_log" "^  p1 left from 127\.0\.0\.1:[0-9]*, slot 0: left (it said goodbye)" "the host did not see A leave by goodbye"
check "$host_log" "^  players    2 joined, [12] left" "the host's summary does not count both players"
check "$dir/serve_b.txt" "joined as p1 of 1 peers, a run under way" "B was not welcomed into the run under way"
if grep -q "refused" "$dir/serve_b.txt"; then
    echo "FAIL: B, coming after A left, was refused"
    failed=1
fi
[ "$failed" -eq 0 ] && [ "$host_status" -eq 0 ] && [ "$a_status" -eq 0 ] &&
    [ "$b_status" -eq 0 ] && [ "$d_status" -eq 1 ]
