#!/usr/bin/env bash
# Figures for the trace (not a test: it prints): a 16 MiB update recorded
# with the trace on (lines, size, update time with the trace), then
# `qxsim trace show --decode` of that trace (wall and CPU time, lines/s,
# entries), the same with --collapse, and its export to a Value Change Dump
# (`qxsim trace export --vcd`). Goals: the decode within 5 s, the export
# within 60 s.
# usage: bench/trace_bench.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/default}

source bench/common.sh
need "$qxsim" "$update"
scratch trace_bench


random_image $((16 << 20)) "$work/img16"

cam=$work/cam
"$qxsim" --state "$cam" create > /dev/null
"$qxsim" --state "$cam" trace on
timed "$qxsim" --state "$cam" run -- "$update" "$work/img16"
grep -q "Verification complete" "$work/out.txt" || { echo "update failed:"; tail -5 "$work/out.txt"; exit 1; }
lines=$(wc -l < "$cam/trace.log")
bytes=$(stat -c %s "$cam/trace.log")
printf '%-30s %8.3f s wall %8.3f s cpu  %9d lines  %6.1f MiB\n' "update 16 MiB, trace on" "$secs" "$cpu" \
    "$lines" "$(echo "$bytes / 1048576" | bc -l)"

cat "$cam/trace.log" > /dev/null   # page cache warm, as after the recording
timed "$qxsim" --state "$cam" trace show --decode
entries=$(wc -l < "$work/out.txt")
printf '%-30s %8.3f s wall %8.3f s cpu  %6.2f M lines/s  %7d entries  (goal <= 5 s)\n' "trace show --decode" \
    "$secs" "$cpu" "$(echo "$lines / $secs / 1000000" | bc -l)" "$entries"
grep -q "program offset record at 0x07fffff0" "$work/out.txt" || { echo "decode misses the offset record"; exit 1; }

timed "$qxsim" --state "$cam" trace show --decode --collapse
printf '%-30s %8.3f s wall %8.3f s cpu  %7d lines\n' "trace show --decode --collapse" "$secs" "$cpu" \
    "$(wc -l < "$work/out.txt")"

timed "$qxsim" --state "$cam" trace export --vcd "$work/update.vcd"
printf '%-30s %8.3f s wall %8.3f s cpu  %6.1f MiB VCD  (goal <= 60 s)\n' "trace export --vcd" "$secs" "$cpu" \
    "$(echo "$(stat -c %s "$work/update.vcd") / 1048576" | bc -l)"
sed 's/^/    /' "$work/out.txt"
