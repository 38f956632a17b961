#!/usr/bin/env bash
# A host and three players, each its own process, on loopback (udp_players.cpp):
#   B joins, and is killed with SIGKILL (no goodbye) 1 s after it got in;
#   A joins 0.1 s after B (or before it: the slot order is the case's) and leaves after 4.5 s;
#   C joins 0.5 s after B was killed and leaves after 2 s, both with a goodbye and at once.
# The host must report B unreachable (reason 3) within 1 s of the kill (the ICMP refusal of
# the host's next datagram comes back at once on loopback), A and C as left (reason 1), each
# for its own address and slot, and every chat line of A and C (11 each) in order.
# Cases: B in slot 0 and in slot 1 with batched system calls (the driver's default), and B in
# slot 0 with one call per datagram. Every process is bounded by its own deadline, by the
# waits below and by the clean-up trap.
set -u

BIN=${1:?usage: run_udp_players.sh PATH/TO/udp_players}
WORK=$(mktemp -d)
PIDS=()
PASSED=0
FAILED=0

cleanup() {
    # Only the processes this script started, by their ids.
    for pid in "${PIDS[@]}"; do kill -9 "$pid" 2>/dev/null; done
    wait 2>/dev/null
    rm -rf "$WORK"
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP

now_ms() { date +%s%3N; }

# Waits (at most $3 twentieths of a second) for a line matching $2 in file $1.
wait_line() {
    for _ in $(seq "$3"); do
        grep -q "$2" "$1" 2>/dev/null && return 0
        sleep 0.05
    done
    grep -q "$2" "$1" 2>/dev/null
}

# Waits at most $2 twentieths of a second for process $1 to end; then kills it. Sets RC.
wait_end() {
    for _ in $(seq "$2"); do
        kill -0 "$1" 2>/dev/null || break
        sleep 0.05
    done
    kill -9 "$1" 2>/dev/null
    { wait "$1"; } 2>/dev/null
    RC=$?
}

# Starts player $1 (name) with the remaining arguments; sets PID_<name>.
start_player() {
    local name=$1
    shift
    "$BIN" player --connect "127.0.0.1:$PORT" --name "$name" "$@" $MODE >"$WORK/$name.out" 2>&1 &
    PIDS+=($!)
    printf -v "PID_$name" '%s' $!
}

address_of() { sed -n 's/^connected \([0-9.:]*\) at .*/\1/p' "$WORK/$1.out"; }

run_case() { # name, quitter's slot (0 or 1), extra driver flag
    local case_name=$1 quitter_slot=$2
    MODE=${3:-}
    local verdict=0 reason=""
    fail() { verdict=1; reason="$reason; $*"; }
    rm -f "$WORK"/*.out
    "$BIN" host --bind 127.0.0.1:0 --seconds 15 --departures 3 $MODE >"$WORK/host.out" 2>&1 &
    local host_pid=$!
    PIDS+=($host_pid)
    PORT=""
    wait_line "$WORK/host.out" '^listening ' 100 &&
        PORT=$(sed -n 's/^listening 127\.0\.0\.1:\([0-9][0-9]*\)$/\1/p' "$WORK/host.out")
    if [ -z "$PORT" ]; then
        fail "host did not start"
    else
        local first=B second=A
        [ "$quitter_slot" -eq 1 ] && first=A second=B
        start_player "$first" --seconds $([ $first = B ] && echo 30 || echo 4.5) --lines 11
        wait_line "$WORK/$first.out" '^connected ' 60 || fail "$first never got in"
        local t0
        t0=$(now_ms)
        sleep 0.1
        start_player "$second" --seconds $([ $second = B ] && echo 30 || echo 4.5) --lines 11
        wait_line "$WORK/$second.out" '^connected ' 60 || fail "$second never got in"
        wait_line "$WORK/B.out" '^connected ' 1 || true
        # B goes 1 s after the first player got in.
        local left_ms=$((t0 + 1000 - $(now_ms)))
        [ "$left_ms" -gt 0 ] && sleep "$(printf '0.%03d' "$left_ms")"
        local kill_ms
        kill_ms=$(now_ms)
        kill -9 "$PID_B"
        sleep 0.5
        start_player C --seconds 2 --lines 11
        wait_line "$WORK/C.out" '^connected ' 60 || fail "C never got in"
        wait_end "$PID_C" 100
        [ "$RC" -eq 0 ] || fail "C exit $RC"
        wait_end "$PID_A" 100
        [ "$RC" -eq 0 ] || fail "A exit $RC"
        wait_end "$host_pid" 100
        [ "$RC" -eq 0 ] || fail "host exit $RC"
        wait_end "$PID_B" 1

        local a b c
        a=$(address_of A)
        b=$(address_of B)
        c=$(address_of C)
        grep -q "^joined slot $quitter_slot $b " "$WORK/host.out" ||
            fail "B ($b) not in slot $quitter_slot"
        # B: unreachable, within 1 s of its kill.
        local b_line at
        b_line=$(grep "^left slot [0-9]* $b " "$WORK/host.out")
        at=$(sed -n 's/.* reason 3 at \([0-9]*\)$/\1/p' <<<"$b_line")
        if [ -z "$at" ]; then
            fail "B not reported unreachable: '${b_line:-nothing}'"
        else
            echo "---- $case_name: B reported unreachable $((at - kill_ms)) ms after its kill"
            [ $((at - kill_ms)) -lt 1000 ] || fail "B reported $((at - kill_ms)) ms after its kill"
        fi
        grep -q "^left slot [0-9]* $a reason 1 at " "$WORK/host.out" || fail "A not reported left"
        grep -q "^left slot [0-9]* $c reason 1 at " "$WORK/host.out" ||
            fail "C not reported left: '$(grep "$c" "$WORK/host.out" | tail -1)'"
        [ "$(grep -c '^left slot' "$WORK/host.out")" -eq 3 ] || fail "not exactly three departures"
        grep -q '^lines A 11$' "$WORK/host.out" || fail "A's chat lines not all heard"
        grep -q '^lines C 11$' "$WORK/host.out" || fail "C's chat lines not all heard"
        grep -q '^disorder 0$' "$WORK/host.out" || fail "chat lines lost or out of order"
    fi
    wait_end "$host_pid" 1
    for who in host B A C; do
        echo "---- $case_name: $who"
        cat "$WORK/$who.out" 2>/dev/null
    done
    if [ "$verdict" -eq 0 ]; then
        echo "---- $case_name: PASS"
        PASSED=$((PASSED + 1))
    else
        echo "---- $case_name: FAIL (${reason#; })"
        FAILED=$((FAILED + 1))
    fi
}

run_case quitter_in_slot_0 0
run_case quitter_in_slot_1 1
run_case quitter_in_slot_0_one_call_per_datagram 0 --one-at-a-time

echo "$PASSED passed, $FAILED failed"
[ "$FAILED" -eq 0 ]
