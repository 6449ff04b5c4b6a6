#!/usr/bin/env bash
# Figures for the power-cut sweep (not a test: it prints). On a camera that
# runs an image of the same size: `qxsim sweep power-cut --torn` of a 1 MiB
# update (goal: within 60 s) and `qxsim sweep power-cut` of a 16 MiB update
# (goal: within 600 s): wall time, the uncut run's and the judgement's time,
# points judged and points per second (over the whole sweep and over the
# judgement alone), bricked points.
# usage: bench/sweep_bench.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/default}

qxsim=$build/qxsim/qxsim
update=$build/update/update
for f in "$qxsim" "$update"; do
    [[ -x "$f" ]] || { echo "missing $f (build it first)" >&2; exit 1; }
done
command -v openssl > /dev/null || { echo "openssl is needed for the test data" >&2; exit 1; }

work=$(mktemp -d /tmp/sweep_bench.XXXXXX)
trap 'rm -rf "$work"' EXIT

# Deterministic pseudo-random data of N bytes, one stream per key.
make_data() {
    head -c "$2" /dev/zero |
        openssl enc -aes-128-ctr -nosalt -K "$3" -iv 00000000000000000000000000000000 > "$1"
}

# sweep LABEL BYTES GOAL_S OPTIONS...: image A installed, then the sweep of an update to B.
sweep() {
    local label=$1 bytes=$2 goal=$3
    shift 3
    make_data "$work/a" "$bytes" 00112233445566778899aabbccddeeff
    make_data "$work/b" "$bytes" ffeeddccbbaa99887766554433221100
    "$qxsim" --state "$work/cam" create --force > /dev/null
    "$qxsim" --state "$work/cam" run -- "$update" "$work/a" > /dev/null
    local t0 t1 status=0
    t0=$(date +%s.%N)
    "$qxsim" --state "$work/cam" sweep power-cut "$@" -- "$update" "$work/b" > "$work/out.txt" || status=$?
    t1=$(date +%s.%N)
    [[ $status -le 1 ]] || { echo "sweep failed:"; cat "$work/out.txt"; exit 1; }
    local wall points bricked run judge
    wall=$(echo "$t1 - $t0" | bc -l)
    points=$(sed -n 's/^\([0-9]*\) cut points judged.*/\1/p' "$work/out.txt")
    bricked=$(sed -n 's/.*cut points judged.*, bricked \([0-9]*\)$/\1/p' "$work/out.txt")
    run=$(sed -n 's/^time: uncut run \([0-9.]*\) s.*/\1/p' "$work/out.txt")
    judge=$(sed -n 's/^time: .*judgement \([0-9.]*\) s.*/\1/p' "$work/out.txt")
    printf '%-28s %8.2f s wall (goal <= %d s)  uncut run %6.2f s  judgement %5.2f s  %9d points  %9.0f points/s  (%s M in the judgement)  bricked %s\n' \
        "$label" "$wall" "$goal" "$run" "$judge" "$points" "$(echo "$points / $wall" | bc -l)" \
        "$(grep -o '([0-9]* points/s)' "$work/out.txt" | tr -dc 0-9 | awk '{printf "%.1f", $1 / 1e6}')" "$bricked"
}

sweep "update 1 MiB, --torn" $((1 << 20)) 60 --torn
sweep "update 16 MiB" $((16 << 20)) 600
