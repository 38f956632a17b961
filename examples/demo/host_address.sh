# Sourced by the UDP checks: waits up to 5 s for the host started in the background (its pid in
# $1) to print the address it bound in its log ($2), and sets addr; fails the check without it.
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
}
