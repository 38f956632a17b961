#!/bin/sh
# Every kind of bad input must stop the demo at once with exit status 2 and a one-line error
# naming the problem; nothing may start (no "summary" line).
demo="$1"
failed=0
expect_2() {
    out=$("$demo" "$@" 2>&1)
    status=$?
    lines=$(printf '%s\n' "$out" | wc -l)
    if [ "$status" -ne 2 ] || [ "$lines" -ne 1 ] || printf '%s' "$out" | grep -q summary; then
        echo "FAIL: portnet-demo $* -> status $status, output:"
        printf '%s\n' "$out"
        failed=1
    else
        echo "ok: portnet-demo $* -> $out"
    fi
}
expect_2 --no-such-option
expect_2 --peers 0
expect_2 --peers 8
expect_2 --peers three
expect_2 --loss 101
expect_2 --fps 0
expect_2 --udp sideways
expect_2 --udp server --bind 300.1.2.3:4000
expect_2 --udp client --connect 127.0.0.1
expect_2 --udp client --connect 127.0.0.1:0
expect_2 --udp server
expect_2 --csv /nonexistent-dir/stats.csv
exit $failed
