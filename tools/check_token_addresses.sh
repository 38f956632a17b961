#!/bin/sh
# portnet-token with server addresses: IPv6 text is taken (the token then version 2, its second
# character 'g' with protocol 7), bracketed text that is no IPv6 destination is refused with
# exit 2 and the reason, and names alone still make a version 1 token ('Q').
tool="$1" dir="$2"
mkdir -p "$dir"
echo 0f1e2d3c4b5a69788796a5b4c3d2e1f00f1e2d3c4b5a69788796a5b4c3d2e1f0 >"$dir/sealing.key"
mint() { "$tool" --key-file "$dir/sealing.key" --player 3 --protocol 7 "$@"; }
fail=0
tok=$(mint --server '[2001:db8::1]:40000' --server 203.0.113.7:40000 --server eu-1 | head -n 1)
case "$tok" in A[g]*) ;; *) echo "FAIL: v6 server: $tok"; fail=1 ;; esac
tok=$(mint --server eu-1 --server 203.0.113.7:40000 | head -n 1)
case "$tok" in A[Q]*) ;; *) echo "FAIL: names alone: $tok"; fail=1 ;; esac
for bad in '[2001:db8::1]' '[2001:db8::1]:0' '[::]:40000' '[1::2::3]:5' '[2001:db8::g]:5' \
    '[fe80::1]:5' '[::ffff:1.2.3.4]:5' '[2001:db8::1]:65536' '[2001:db8::1%1]:5'; do
    mint --server "$bad" >/dev/null 2>"$dir/err"
    status=$?
    if [ "$status" -ne 2 ] || ! grep -q "^portnet-token: --server: ." "$dir/err"; then
        echo "FAIL: $bad: exit $status"
        cat "$dir/err"
        fail=1
    fi
done
exit $fail
