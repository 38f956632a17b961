# Sourced by the UDP checks: waits up to 5 s for the host started in the background (its pid in
# $1) to print the address it bound in its log ($2), and sets addr and port; fails the check
# without it.
wait_for_host_address() {
    addr=""
    tries=0
    while [ -z "$addr" ] && [ $tries -lt 50 ]; do
        sleep 0.1
        tries=$((tries + 1))
        addr=$(sed -n 's/^portnet-demo: UDP host on \([0-9.]*:[0-9]*\|\[[0-9a-f:%]*\]:[0-9]*\),.*/\1/p' "$2")
    done
    if [ -z "$addr" ]; then
        echo "FAIL: the host printed no address"
        cat "$2"
        kill "$1" 2>/dev/null
        exit 1
    fi
    port=${addr##*:}
}

# The address player N (1, 2, ...) joins at: a host the check bound dual-stack ($host_bind
# "[::]:0"; it prints itself as 0.0.0.0:port) takes odd players over 127.0.0.1 and even ones
# over ::1, so one run covers both families; any other host is joined where it said it is.
join_addr() {
    case "${host_bind:-}" in
    "[::]:"*) if [ $(($1 % 2)) -eq 1 ]; then echo "127.0.0.1:$port"; else echo "[::1]:$port"; fi ;;
    *) echo "$addr" ;;
    esac
}

# A dual-stack host's report ($1) must name players joining over each family, its IPv4 ones as
# IPv4, never as ::ffff:a.b.c.d.
joined_from_both() {
    for who in '127\.0\.0\.1' '\[::1\]'; do
        if ! grep -q "^  p[0-9]* joined from $who:[0-9]*, slot" "$1"; then
            echo "FAIL: the dual-stack host named no player joining from $who"
            return 1
        fi
    done
    if grep -qi "::ffff:" "$1"; then
        echo "FAIL: the host named a player by a v4-mapped address"
        return 1
    fi
}
