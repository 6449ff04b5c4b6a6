#!/bin/sh
# run_fuzzer.sh FUZZER CORPUS WORKDIR: runs FUZZER on a copy of the committed
# CORPUS (new inputs stay in WORKDIR) for $QX_FUZZ_SECONDS seconds (default
# 5), prints its figures and fails on any crash, leak, sanitizer report or
# time-out.
set -eu
fuzzer=$1 corpus=$2 work=$3 seconds=${QX_FUZZ_SECONDS:-5}
case $seconds in
    '' | *[!0-9]*) echo "QX_FUZZ_SECONDS must be a number of seconds, not '$seconds'" >&2; exit 2 ;;
esac
rm -rf "$work" && mkdir -p "$work/corpus" "$work/artifacts"
cp "$corpus"/* "$work/corpus/" 2>/dev/null || true
status=0
"$fuzzer" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=1024 -print_final_stats=1 \
    -artifact_prefix="$work/artifacts/" "$work/corpus" >"$work/log" 2>&1 || status=$?
grep -E '^stat::number_of_executed_units|^stat::new_units_added|^#[0-9]+.*DONE' "$work/log" || true
if [ "$status" -ne 0 ]; then
    tail -n 60 "$work/log"
    echo "fuzzer $(basename "$fuzzer") failed with status $status; artifacts in $work/artifacts"
    exit 1
fi
echo "fuzzer $(basename "$fuzzer"): no finding in $seconds s"
