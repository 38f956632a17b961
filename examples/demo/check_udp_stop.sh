#!/bin/sh
# Ctrl-C and SIGTERM end the demo with a goodbye. A host serving until stopped (--frames 0) and
# a player: SIGTERM to the player makes the host report it left by goodbye (not timed out, which
# would take its 10 s idle limit), and the player ends with 128 + 15; then SIGINT to the host ends
# it with its checks (status 0, PASS) and its players' count. Signals go to the demo itself,
# so it runs without timeout(1): every wait below is bounded and kills what overran.
. "$(dirname "$0")/host_address.sh"
demo="$1"
dir="$2"
mkdir -p "$dir"
host_log="$dir/stop_host.txt"
peer_log="$dir/stop_peer.txt"
rm -f "$host_log" "$peer_log"

"$demo" --udp server --bind 127.0.0.1:0 --peers 2 --frames 0 >"$host_log" 2>&1 &
host_pid=$!
peer_pid=""
trap 'kill -9 $host_pid $peer_pid 2>/dev/null' EXIT
wait_for_host_address "$host_pid" "$host_log"
"$demo" --udp client --connect "$addr" --frames 100000 >"$peer_log" 2>&1 &
peer_pid=$!

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
until_line "^  joined as p1" "$peer_log" 50 || fail "the player did not join"
sleep 0.5 # a few frames of play
kill -TERM "$peer_pid"
finish "$peer_pid" 30
peer_status=$?
until_line "^  p1 left from" "$host_log" 20 || fail "the host did not see the player leave within 2 s"
kill -INT "$host_pid"
finish "$host_pid" 30
host_status=$?
trap - EXIT
echo "--- host (exit $host_status)"
cat "$host_log"
echo "--- player (exit $peer_status)"
cat "$peer_log"

grep -q "^  p1 left from 127\.0\.0\.1:[0-9]*, slot 0: left (it said goodbye)" "$host_log" ||
    fail "the host did not report the player left by goodbye"
grep -q "^  stopped by SIGTERM: saying goodbye" "$peer_log" || fail "the player did not say it was stopped"
grep -q "^result: STOPPED by SIGTERM" "$peer_log" || fail "the player's result does not say it was stopped"
[ "$peer_status" -eq 143 ] || fail "the player ended with $peer_status, not 143"
grep -q "^summary: .*; stopped by SIGINT" "$host_log" || fail "the host's summary does not say it was stopped"
grep -q "^  players    1 joined, 1 left (left 1)" "$host_log" || fail "the host does not count the player left by goodbye"
grep -q "^result: PASS" "$host_log" || fail "the host did not pass"
[ "$host_status" -eq 0 ] || fail "the host ended with $host_status, not 0"
exit $failed
