#!/usr/bin/env bash
# Runs examples/udp_pair as two processes on loopback in three scenarios:
#   1. a whole session: both sides must exit 0;
#   2. the server killed with SIGKILL mid-session: the client must report event 10001 and
#      DestroyClient within its frame bound, and exit 0;
#   3. the server leaving by itself (--die-after): the same, without a signal;
#   4. addresses typed wrong: refused with the reason before anything is sent.
# Both families without another run: the session is IPv4 alone; the killed server binds
# dual-stack ("[::]:0") and its client joins over ::1; the leaving one binds dual-stack and its
# client joins over IPv4, which the server must name as IPv4 (never ::ffff:a.b.c.d).
# The server binds port 0 and prints the port it got, so no port is guessed. Every process is
# bounded by its own frame count and deadline, by timeout, and by the clean-up trap.
set -u

BIN=${1:?usage: run_udp_pair.sh PATH/TO/udp_pair}
WORK=$(mktemp -d)
SERVER_PID=""
CLIENT_PID=""
PASSED=0
FAILED=0

cleanup() {
    # Only the processes this script started, by their ids.
    [ -n "$SERVER_PID" ] && kill -9 "$SERVER_PID" 2>/dev/null
    [ -n "$CLIENT_PID" ] && kill "$CLIENT_PID" 2>/dev/null
    wait 2>/dev/null
    rm -rf "$WORK"
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP

# Waits (at most $2 tenths of a second) for a line matching $1 in the server's output.
wait_for_server_line() {
    for _ in $(seq "$2"); do
        grep -q "$1" "$WORK/server.out" 2>/dev/null && return 0
        kill -0 "$SERVER_PID" 2>/dev/null || break
        sleep 0.1
    done
    grep -q "$1" "$WORK/server.out" 2>/dev/null
}

# Starts the server bound to $1 in the background (further arguments are passed on) and sets
# PORT from the address it prints (a dual-stack server prints 0.0.0.0:port).
start_server() {
    local bind=$1 want
    shift
    case "$bind" in
    "[::]:"*) want='0\.0\.0\.0' ;;
    *) want=$(printf '%s' "${bind%:*}" | sed 's/[].[]/\\&/g') ;;
    esac
    : >"$WORK/server.out"
    # Not under timeout: SIGKILL must reach the server itself. It stops by its own deadline,
    # and wait_server and the trap bound it as well.
    "$BIN" server --bind "$bind" --seconds 30 "$@" >"$WORK/server.out" 2>&1 &
    SERVER_PID=$!
    PORT=""
    if wait_for_server_line '^listening ' 100; then
        PORT=$(sed -n "s/^listening $want:\([0-9][0-9]*\)\$/\1/p" "$WORK/server.out")
    fi
    [ -n "$PORT" ]
}

# The server must have named its peer as the address it joined from ($1, a sed pattern).
accepted_from() {
    grep -q "^udp_pair server: accepted peer $1:[0-9][0-9]* in slot" "$WORK/server.out" &&
        ! grep -qi '::ffff:' "$WORK/server.out"
}

# Waits at most 40 s for the server to end and sets SERVER_RC (the shell's 128+N if a signal
# ended it).
wait_server() {
    for _ in $(seq 400); do
        kill -0 "$SERVER_PID" 2>/dev/null || break
        sleep 0.1
    done
    kill -9 "$SERVER_PID" 2>/dev/null
    { wait "$SERVER_PID"; } 2>/dev/null # no job notice for a server killed on purpose
    SERVER_RC=$?
    SERVER_PID=""
}

# Runs the client bound to $1, joining the server at host $2 (further arguments passed on).
run_client() {
    local bind=$1 host=$2
    shift 2
    timeout -s KILL 40 "$BIN" client --bind "$bind" --connect "$host:$PORT" \
        --seconds 30 "$@" >"$WORK/client.out" 2>&1
}

report() { # name, verdict (0 = pass), reason
    echo "---- $1: server output"
    cat "$WORK/server.out"
    echo "---- $1: client output"
    cat "$WORK/client.out" 2>/dev/null
    if [ "$2" -eq 0 ]; then
        echo "---- $1: PASS"
        PASSED=$((PASSED + 1))
    else
        echo "---- $1: FAIL ($3)"
        FAILED=$((FAILED + 1))
    fi
}

scenario_session() {
    : >"$WORK/client.out"
    if ! start_server 127.0.0.1:0; then report session 1 "server did not start"; wait_server; return; fi
    run_client 127.0.0.2:0 127.0.0.1
    local client_rc=$?
    wait_server
    local verdict=0 reason=""
    [ "$client_rc" -eq 0 ] || { verdict=1; reason="client exit $client_rc"; }
    [ "$SERVER_RC" -eq 0 ] || { verdict=1; reason="$reason server exit $SERVER_RC"; }
    grep -q '^udp_pair client: OK$' "$WORK/client.out" || { verdict=1; reason="$reason no client OK"; }
    accepted_from '127\.0\.0\.2' || { verdict=1; reason="$reason peer not named 127.0.0.2"; }
    report session "$verdict" "$reason"
}

scenario_killed() {
    : >"$WORK/client.out"
    if ! start_server '[::]:0'; then report killed 1 "server did not start"; wait_server; return; fi
    run_client '[::1]:0' '[::1]' --expect-disconnect &
    CLIENT_PID=$!
    local verdict=0 reason=""
    if wait_for_server_line 'accepted peer' 100; then
        sleep 0.4 # mid-session: the position moves for 1.5 s after the accept
        kill -9 "$SERVER_PID"
    else
        verdict=1
        reason="server never accepted the client"
    fi
    wait_server
    wait "$CLIENT_PID"
    local client_rc=$?
    CLIENT_PID=""
    [ "$SERVER_RC" -eq 137 ] || { verdict=1; reason="$reason server exit $SERVER_RC, not SIGKILL"; }
    [ "$client_rc" -eq 0 ] || { verdict=1; reason="$reason client exit $client_rc"; }
    grep -q 'event 10001, DestroyClient' "$WORK/client.out" ||
        { verdict=1; reason="$reason no disconnect reported"; }
    accepted_from '\[::1\]' || { verdict=1; reason="$reason peer not named [::1]"; }
    report killed "$verdict" "$reason"
}

scenario_left() {
    : >"$WORK/client.out"
    if ! start_server '[::]:0' --die-after 40; then
        report left 1 "server did not start"
        wait_server
        return
    fi
    run_client 127.0.0.2:0 127.0.0.1 --expect-disconnect
    local client_rc=$?
    wait_server
    local verdict=0 reason=""
    [ "$SERVER_RC" -eq 3 ] || { verdict=1; reason="server exit $SERVER_RC, not the abrupt 3"; }
    [ "$client_rc" -eq 0 ] || { verdict=1; reason="$reason client exit $client_rc"; }
    grep -q 'event 10001, DestroyClient' "$WORK/client.out" ||
        { verdict=1; reason="$reason no disconnect reported"; }
    accepted_from '127\.0\.0\.2' || { verdict=1; reason="$reason peer not named 127.0.0.2"; }
    report left "$verdict" "$reason"
}

scenario_addresses() { # each refused with its exit status and reason; nothing is sent
    : >"$WORK/server.out"
    : >"$WORK/client.out"
    local verdict=0 reason="" rc
    while IFS='|' read -r want_rc want_text args; do
        # shellcheck disable=SC2086 # the arguments are split on purpose
        timeout -s KILL 10 "$BIN" $args --seconds 1 >>"$WORK/client.out" 2>&1
        rc=$?
        [ "$rc" -eq "$want_rc" ] || { verdict=1; reason="$reason [$args] exit $rc"; }
        grep -qF "$want_text" "$WORK/client.out" || { verdict=1; reason="$reason [$args] no reason"; }
    done <<'EOF_CASES'
2|udp_pair: --connect 300.1.2.3:40631: part 1 is above 255|client --bind 127.0.0.2:0 --connect 300.1.2.3:40631
2|udp_pair: --connect 0.0.0.0:4000: 0.0.0.0 means any address, not a destination|client --bind 127.0.0.2:0 --connect 0.0.0.0:4000
2|udp_pair: --connect 127.0.0.1:0: port 0 is no destination|client --bind 127.0.0.2:0 --connect 127.0.0.1:0
1|udp_pair: cannot bind: 127.0.0.1:99999: port 99999 is above 65535|server --bind 127.0.0.1:99999
2|udp_pair: --connect [::]:4000: :: means any address, not a destination|client --bind [::1]:0 --connect [::]:4000
2|udp_pair: --connect [1::2::3]:5: two '::'|client --bind [::1]:0 --connect [1::2::3]:5
EOF_CASES
    report addresses "$verdict" "$reason"
}

scenario_session
scenario_killed
scenario_left
scenario_addresses

echo "$PASSED passed, $FAILED failed"
[ "$FAILED" -eq 0 ]
