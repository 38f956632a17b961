#!/bin/sh
# Every kind of bad input must stop the demo at once with exit status 2 and a one-line error
# naming the problem; nothing may start (no "summary" line).
demo="$1"
# A cross-built demo runs through its emulator (Wine), named by PORTNET_RUN_UNDER.
run=${PORTNET_RUN_UNDER:-}
failed=0
expect_2() {
    out=$($run "$demo" "$@" 2>&1)
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
expect_2 --peers 251
expect_2 --peers 999
expect_2 --count 0
expect_2 --count 251
expect_2 --count 2
expect_2 --udp server --bind 127.0.0.1:0 --count 2
expect_2 --udp client --connect 127.0.0.1:9 --bind 127.0.0.1:4000 --count 2
expect_2 --udp client --connect 127.0.0.1:9 --count 2 --csv /tmp/portnet-demo-never.csv
expect_2 --peers three
expect_2 --peers
expect_2 --loss 101
expect_2 --loss abc
expect_2 --bandwidth -5
expect_2 --block 16777217
expect_2 --block -1
expect_2 --frames 5 extra-word
expect_2 --fps 0
expect_2 --udp sideways
expect_2 --udp server --bind 300.1.2.3:4000
expect_2 --udp client --connect 127.0.0.1
expect_2 --udp client --connect 127.0.0.1:0
expect_2 --udp server
expect_2 --csv /nonexistent-dir/stats.csv
expect_2 --plot /tmp/portnet-demo-never.png
expect_2 --plot .svg
expect_2 --frames 0
expect_2 --udp client --connect 127.0.0.1:9 --frames 0
expect_2 --udp server --bind 127.0.0.1:0 --frames 0 --plot /tmp/portnet-demo-never.svg
if [ -e /tmp/portnet-demo-never.png ] || [ -e /tmp/portnet-demo-never.svg ]; then
    echo "FAIL: a refused --plot left a file behind"
    failed=1
fi
if "$demo" --help | grep -q -- --secure; then
    expect_2 --secure
    expect_2 --secure --key zz
    expect_2 --secure --key abc
    expect_2 --secure --key "$(printf '%0130d' 0)"
    expect_2 --key 0011
    expect_2 --secure --key-file /nonexistent-dir/demo.key
    expect_2 --secure --key 0011 --key-file /nonexistent-dir/demo.key
    expect_2 --secure --token-key /nonexistent-dir/token.key
    expect_2 --token-key /nonexistent-dir/token.key
    expect_2 --secure --token abc --key "$(printf '%064d' 0)"
    expect_2 --secure --udp client --connect 127.0.0.1:9 --token abc --key 0011
fi

# The message names the option and the range it accepts.
for case in "--peers 999|--peers: '999' is not a whole number from 1 to 250" \
    "--count 2|--count belongs to --udp client" \
    "--loss abc|--loss: 'abc' is not a number from 0 to 100" \
    "--plot out.png|--plot: 'out.png' does not end in .svg" \
    "--frames 0|--frames 0 (serve until stopped) belongs to --udp server" \
    "--bogus|unknown option --bogus" \
    "--secure --key zz|--key: 'zz' is not a key" \
    "--secure|--secure needs --key HEX or --key-file PATH" \
    "--secure --key 00112233445566778899aabbccddee|--key: a key of 15 bytes is too short" \
    "--secure --key-file /nonexistent-dir/k|--key-file: cannot read /nonexistent-dir/k"; do
    args=${case%%|*}
    want=${case#*|}
    # shellcheck disable=SC2086
    if ! $run "$demo" $args 2>&1 | grep -qF -- "$want"; then
        echo "FAIL: portnet-demo $args does not say: $want"
        failed=1
    fi
done

# --help exits 0 and lists every option with its default.
help=$($run "$demo" --help)
status=$?
if [ "$status" -ne 0 ]; then
    echo "FAIL: --help -> status $status"
    failed=1
fi
for opt in peers:3 frames:600 fps:60 loss:10 latency:60 jitter:20 dup:2 seed:1 realtime:off \
    csv:none plot:none udp:none bind:none connect:none secure:off key:none key-file:none; do
    name=${opt%%:*}
    default=${opt#*:}
    if ! printf '%s\n' "$help" | grep -qE -- "--$name .*\(default: $default\)"; then
        echo "FAIL: --help does not list --$name with default $default"
        failed=1
    fi
done
exit $failed
