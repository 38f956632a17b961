#!/bin/sh
# Ctrl-C and SIGTERM end the demo with a goodbye. A dual-stack host serving until stopped
# (--frames 0) and two players, one over 127.0.0.1 and one over ::1: SIGTERM to each player makes
# the host report it left by goodbye from its own family's address (not timed out, which would
# take its 10 s idle limit), and the player ends with 128 + 15; then SIGINT to the host ends it
# with its checks (status 0, PASS) and its players' count. Signals go to the demo itself, so it
# runs without timeout(1): every wait below is bounded and kills what overran.
. "$(dirname "$0")/host_address.sh"
demo="$1"
dir="$2"
mkdir -p "$dir"
host_log="$dir/stop_host.txt"
host_bind="[::]:0" # dual-stack: players join over both families
rm -f "$host_log" "$dir"/stop_peer*.txt

"$demo" --udp server --bind "$host_bind" --peers 2 --frames 0 >"$host_log" 2>&1 &
host_pid=$!
peer_pids=""
trap 'kill -9 $host_pid $peer_pids 2>/dev/null' EXIT
wait_for_host_address "$host_pid" "$host_log"
for k in 1 2; do
    "$demo" --udp client --connect "$(join_addr $k)" --frames 100000 >"$dir/stop_peer$k.txt" 2>&1 &
    peer_pids="$peer_pids $!"
done

# until(pattern, file, tenths of a second): waits for a line, true when it came.
until_line() {
    tries=0
    while ! grep -q "$1" "$2"; do
        [ $tries -ge "$3" ] && return 1
        sleep 0.1
        tries=$((tries + 1))
    done
}
# finish(pid, tenths): the exit status of pid once it ended, killing it past the deadline.
finish() {
    tries=0
    while kill -0 "$1" 2>/dev/null && [ $tries -lt "$2" ]; do
        sleep 0.1
        tries=$((tries + 1))
    done
    kill -9 "$1" 2>/dev/null
    wait "$1"
}
failed=0
fail() {
    echo "FAIL: $1"
    failed=1
}
for k in 1 2; do
    until_line "^  joined as p" "$dir/stop_peer$k.txt" 50 || fail "player $k did not join"
done
sleep 0.5 # a few frames of play
k=1
for pid in $peer_pids; do
    kill -TERM "$pid"
    finish "$pid" 30
    eval "peer${k}_status=$?"
    k=$((k + 1))
done
for who in '127\.0\.0\.1' '\[::1\]'; do
    until_line "^  p[12] left from $who:" "$host_log" 20 ||
        fail "the host did not see the player from $who leave within 2 s"
done
kill -INT "$host_pid"
finish "$host_pid" 30
host_status=$?
trap - EXIT
echo "--- host (exit $host_status)"
cat "$host_log"
for k in 1 2; do
    eval "status=\$peer${k}_status"
    echo "--- player $k (exit $status)"
    cat "$dir/stop_peer$k.txt"
    grep -q "^  stopped by SIGTERM: saying goodbye" "$dir/stop_peer$k.txt" ||
        fail "player $k did not say it was stopped"
    grep -q "^result: STOPPED by SIGTERM" "$dir/stop_peer$k.txt" ||
        fail "player $k's result does not say it was stopped"
    [ "$status" -eq 143 ] || fail "player $k ended with $status, not 143"
done

for who in '127\.0\.0\.1' '\[::1\]'; do
    grep -q "^  p[12] left from $who:[0-9]*, slot [01]: left (it said goodbye)" "$host_log" ||
        fail "the host did not report the player from $who left by goodbye"
done
joined_from_both "$host_log" || failed=1
grep -q "^summary: .*; stopped by SIGINT" "$host_log" || fail "the host's summary does not say it was stopped"
grep -q "^  players    2 joined, 2 left (left 2)" "$host_log" || fail "the host does not count the players left by goodbye"
grep -q "^result: PASS" "$host_log" || fail "the host did not pass"
[ "$host_status" -eq 0 ] || fail "the host ended with $host_status, not 0"
exit $failed
