#!/bin/sh
# The plot draws at most eight peers and says which, on stdout and in the SVG; a run of three
# draws every one.
demo="$1"
run=${PORTNET_RUN_UNDER:-}
dir="$2"
mkdir -p "$dir"
rm -f "$dir/plot64.svg" "$dir/plot3.svg"
failed=0
check() { # file, text, what it means
    if ! grep -qF -- "$2" "$1"; then
        echo "FAIL: $3"
        failed=1
    fi
}
$run "$demo" --peers 64 --frames 30 --plot "$dir/plot64.svg" >"$dir/plot64.txt" 2>&1 || failed=1
$run "$demo" --peers 3 --frames 30 --plot "$dir/plot3.svg" >"$dir/plot3.txt" 2>&1 || failed=1
cat "$dir/plot64.txt" "$dir/plot3.txt"
check "$dir/plot64.txt" "plot       $dir/plot64.svg: peers p1-p8 of 64 (at most 8 are drawn)" "stdout does not say which 8 of 64 peers the plot draws"
check "$dir/plot64.svg" "drawn: peers p1-p8 of 64 (at most 8 are drawn)" "the SVG does not say which peers it draws"
check "$dir/plot3.txt" "plot       $dir/plot3.svg: every peer, p1-p3" "stdout does not say the plot draws every peer"
check "$dir/plot3.svg" "drawn: every peer, p1-p3" "the SVG of three peers does not say it draws every one"
# One line per drawn peer in each of the three charts' legends.
# (Carriage returns taken out: a Windows build writes its lines with them.)
legend=$(tr -d '\r' <"$dir/plot64.svg" | grep -c "^<text x='[0-9]*' y='[0-9]*'>p[0-9]*</text>$")
[ "$legend" -eq 24 ] || { echo "FAIL: the 64-peer plot has $legend legend entries, not 3 x 8"; failed=1; }
exit $failed
