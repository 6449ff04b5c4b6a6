#!/usr/bin/env bash
# Figures for the tools' locks (not a test: it prints). `dac -u` and a 16 MiB
# `update` on the simulated camera, with the locks and without them: the
# unlocked camera has no locks/ folder, as a system without /run/lock, so
# the same binaries run unlocked (after their one line saying so). Runs
# alternate between the two cameras; the median of each is printed. Then
# how long biasset and regdump wait beside dac -u loops.
# usage: bench/lock_bench.sh [BUILD_DIR] [DAC_RUNS] [UPDATE_RUNS]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/default}
dac_runs=${2:-15}
update_runs=${3:-3}

source bench/common.sh
need "$qxsim" "$build/dac/dac" "$build/update/update"
scratch lock_bench

# run_timed CAMERA CMD...: wall and cpu (user + system) seconds of one run.
run_timed() {
    local cam=$1 TIMEFORMAT='%R %U %S' t
    shift
    t=$( { time "$qxsim" --state "$cam" run -- "$@" > "$work/out.txt" 2>&1 ; } 2>&1 ) ||
        { echo "failed: $*"; tail -5 "$work/out.txt"; exit 1; }
    read -r wall user sys <<< "$t"
    echo "$wall $(echo "$user + $sys" | bc -l)"
}
median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

make_camera() {
    "$qxsim" --state "$1" create --force > /dev/null
    [[ "$2" == unlocked ]] && rmdir "$1/locks"
    return 0
}

# bench LABEL RUNS CMD...: alternate locked and unlocked runs, print both.
bench() {
    local label=$1 runs=$2 i mode
    shift 2
    : > "$work/locked.times"; : > "$work/unlocked.times"
    for ((i = 0; i < runs; i++)); do
        for mode in locked unlocked; do
            [[ "$label" == update* ]] && make_camera "$work/$mode" "$mode"
            run_timed "$work/$mode" "$@" >> "$work/$mode.times"
        done
    done
    local lw lc uw uc
    lw=$(cut -d' ' -f1 "$work/locked.times" | median); lc=$(cut -d' ' -f2 "$work/locked.times" | median)
    uw=$(cut -d' ' -f1 "$work/unlocked.times" | median); uc=$(cut -d' ' -f2 "$work/unlocked.times" | median)
    printf '%-16s with locks %7.3f s wall %7.3f s cpu | without %7.3f s wall %7.3f s cpu | ratio %.3f wall %.3f cpu  (median of %d)\n' \
        "$label" "$lw" "$lc" "$uw" "$uc" "$(echo "$lw / $uw" | bc -l)" "$(echo "$lc / $uc" | bc -l)" "$runs"
}

make_camera "$work/locked" locked
make_camera "$work/unlocked" unlocked
bench "dac -u" "$dac_runs" dac -u
random_image $((16 << 20)) "$work/img16"
bench "update 16 MiB" "$update_runs" update "$work/img16"
grep -q "Verification complete" "$work/out.txt" || { echo "update failed:"; tail -5 "$work/out.txt"; exit 1; }

# Contention: dac -u, biasset and regdump -i in loops on one camera, as the
# camera's scripts may run them. Each biasset and regdump run is timed (its
# own work is about 16 ms); the longest run is the longest wait for the ISB
# master plus that work.
cam=$work/contended
make_camera "$cam" locked
cat > "$work/loops.sh" <<LOOPS
timed_loop() { n=\$1; out=\$2; shift 2; i=0; while [ \$i -lt \$n ]; do
    s=\$(date +%s%N); "\$@" > /dev/null || echo failed >> "$work/failed"; e=\$(date +%s%N)
    echo \$(( (e - s) / 1000000 )) >> "\$out"; i=\$((i + 1)); done; }
timed_loop 10 /dev/null '$build/dac/dac' -u & a=\$!
timed_loop 30 '$work/biasset.ms' '$build/biasset/biasset' VPIX 450 & b=\$!
timed_loop 30 '$work/regdump.ms' '$build/regdump/regdump' -i -d 0x50 -c 16 & c=\$!
wait \$a \$b \$c
LOOPS
"$qxsim" --state "$cam" run -- sh "$work/loops.sh"
[[ -e "$work/failed" ]] && { echo "a tool failed in the contention loops"; exit 1; }
for tool in biasset regdump; do
    printf '%-8s beside dac -u loops: median %4d ms, longest %4d ms per run (30 runs)\n' "$tool" \
        "$(median < "$work/$tool.ms")" "$(sort -n "$work/$tool.ms" | tail -1)"
done
