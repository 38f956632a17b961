#!/usr/bin/env bash
# Builds the benchmarks in Release in a build directory of their own, runs them all once
# (with repetitions) and writes bench/results.md. Needs libbenchmark-dev and libenet-dev;
# uses perf, when it works, for the library's share of the in-process frame.
#   bench/run.sh            build dir build/bench
#   BUILD=/tmp/b bench/run.sh
#   SECTION=5 bench/run.sh  the many-peer rows alone; replaces section 5 of results.md
#   SECTION=7 bench/run.sh  the server under churn alone; replaces section 7 of results.md
#   SECTION=8 bench/run.sh  large blocks alone (simulated, and 1 MiB over UDP against ENet);
#                           replaces section 8 of results.md
#   SECTION=9 bench/run.sh  IPv6 against IPv4 (bench/family.py, ROUNDS rounds, 21 unless
#                           told): prints the table of section 9
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
build=${BUILD:-$root/build/bench}
reps=${REPETITIONS:-9}

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPORTNET_BENCH=ON \
    -DPORTNET_TESTS=OFF -DPORTNET_EXAMPLES=OFF >/dev/null
cmake --build "$build" --target portnet_bench portnet_ratebench portnet_blockbench -j2
bin=$build/bench/portnet_bench
work=$build/bench-run
mkdir -p "$work"

{
    echo "date: $(date -u '+%Y-%m-%d %H:%M UTC')"
    echo "cpu: $(lscpu | sed -n 's/^Model name: *//p' | head -1)"
    echo "cores: $(nproc) ($(lscpu | sed -n 's/^Thread(s) per core: *//p') thread(s) per core)"
    echo "kernel: $(uname -r)"
    echo "compiler: $(c++ --version | head -1)"
    echo "load average at start: $(cut -d' ' -f1-3 /proc/loadavg)"
    echo "repetitions: $reps, randomly interleaved (median shown)"
} >"$work/machine.txt"

if [ "${SECTION:-}" = 5 ]; then
    "$bin" --benchmark_filter='BM_Frame(Loopback|Sim)/peers:(8|64|256|1024)/|BM_UdpPortnet(Secure)?/peers:(8|64|256)$|BM_UdpRaw(Drain|Batched)/peers:(8|64|256)$|BM_StrangerFlood|BM_Syscall' \
        --benchmark_repetitions="$reps" --benchmark_enable_random_interleaving=true \
        --benchmark_report_aggregates_only=true --benchmark_min_time=0.2 \
        --benchmark_out="$work/results-5.json" --benchmark_out_format=json
    echo "load average at end: $(cut -d' ' -f1-3 /proc/loadavg)" >>"$work/machine.txt"
    python3 "$here/summarise.py" --section5 "$work/results-5.json" "$work/machine.txt" "$here/results.md"
    echo "replaced section 5 of $here/results.md"
    exit 0
fi

if [ "${SECTION:-}" = 7 ]; then
    # Half a second a repetition: the rows differ by a join and a leave in a frame of 256
    # players, less than what a busy shared machine moves a short run by.
    "$bin" --benchmark_filter='BM_Server(Sim|Udp)/|BM_Syscall' \
        --benchmark_repetitions="$reps" --benchmark_enable_random_interleaving=true \
        --benchmark_report_aggregates_only=true --benchmark_min_time=0.5 \
        --benchmark_out="$work/results-7.json" --benchmark_out_format=json
    echo "load average at end: $(cut -d' ' -f1-3 /proc/loadavg)" >>"$work/machine.txt"
    python3 "$here/summarise.py" --section7 "$work/results-7.json" "$work/machine.txt" "$here/results.md"
    echo "replaced section 7 of $here/results.md"
    exit 0
fi

if [ "${SECTION:-}" = 9 ]; then
    python3 "$here/family.py" "$bin" "${ROUNDS:-21}" | tee "$work/family.md"
    exit 0
fi

if [ "${SECTION:-}" = 8 ]; then
    "$build/bench/block/portnet_blockbench" >"$work/blocks-simulated.md"
    # A transfer an iteration; a few each repetition are enough for rows tens of ms long.
    "$bin" --benchmark_filter='BM_BlockUdp|BM_Syscall' \
        --benchmark_repetitions="$reps" --benchmark_enable_random_interleaving=true \
        --benchmark_report_aggregates_only=true --benchmark_min_time=0.5 \
        --benchmark_out="$work/results-8.json" --benchmark_out_format=json
    echo "load average at end: $(cut -d' ' -f1-3 /proc/loadavg)" >>"$work/machine.txt"
    python3 "$here/summarise.py" --section8 "$work/results-8.json" "$work/machine.txt" \
        "$work/blocks-simulated.md" "$here/results.md"
    echo "replaced section 8 of $here/results.md"
    exit 0
fi

# Repetitions run in random order, so that rows compared in a ratio share the machine's
# changing load alike instead of one row meeting a busy minute alone.
"$bin" --benchmark_repetitions="$reps" --benchmark_enable_random_interleaving=true \
    --benchmark_report_aggregates_only=true --benchmark_min_time=0.2 \
    --benchmark_out="$work/results.json" --benchmark_out_format=json
echo "load average at end: $(cut -d' ' -f1-3 /proc/loadavg)" >>"$work/machine.txt"

# Where the in-process frame's time goes: samples per module, user space only. Without a
# working perf the profile files stay empty and the share is left out.
for peers in 1 8; do
    out=$work/profile-$peers.txt
    : >"$out"
    perf record -q -o "$work/perf-$peers.data" "$bin" --benchmark_min_time=1 \
        --benchmark_filter="BM_FrameLoopback/peers:$peers/slots:0\$" >/dev/null 2>&1 &&
        perf report -q -i "$work/perf-$peers.data" --sort dso --stdio >"$out" 2>/dev/null || true
done

python3 "$here/summarise.py" "$work/results.json" "$work/machine.txt" \
    "$work/profile-1.txt" "$work/profile-8.txt" >"$here/results.md"
# The rate scenario runs on simulated time: its section is the same on any machine.
"$build/bench/rate/portnet_ratebench" >>"$here/results.md"
python3 "$here/summarise.py" --section7 "$work/results.json" "$work/machine.txt" "$here/results.md"
"$build/bench/block/portnet_blockbench" >"$work/blocks-simulated.md"
python3 "$here/summarise.py" --section8 "$work/results.json" "$work/machine.txt" \
    "$work/blocks-simulated.md" "$here/results.md"
echo "wrote $here/results.md"
