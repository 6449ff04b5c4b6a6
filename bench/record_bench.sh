#!/usr/bin/env bash
# Figures for record and replay (not a test: it prints).
#   recorder overhead: an update on the simulated camera, run without and
#   with the recording interposer in front of the simulated one, several
#   times alternately; the best time of each (wall and CPU) and the
#   difference.
#   - Datasheet timing with 1 MiB (three times each: 16 sectors of 250 ms
#     and 4096 pages of 400 us make a run take about 7 s): the simulated
#     driver standing in for the camera's, whose flash takes that long. The
#     goal (at most +5%) is about this line's wall time.
#   - Instant timing with 16 MiB (RUNS times each): the flash never busy and
#     a register access costing some 30 ns instead of a driver call and a
#     bus transaction, so nearly all that remains is the recorder's own
#     cost per access, which the last figure gives in ns.
#   Skip the datasheet runs with --no-datasheet.
#   merge: the time `qxsim record` takes to write the trace after the tool.
#   replay: accesses per second replaying that trace against a fresh camera.
# usage: bench/record_bench.sh [BUILD_DIR] [--no-datasheet] [RUNS]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/default}
datasheet=1
[[ "${2:-}" == "--no-datasheet" ]] && datasheet=0
runs=${3:-5}

source bench/common.sh
preload=$build/qxsim/libqxsim_preload.so
recorder=$build/qxsim/libqxsim_record.so
need "$qxsim" "$update" "$preload" "$recorder"
scratch record_bench
random_image 16777216 "$work/image.bin"
head -c 1048576 "$work/image.bin" > "$work/image1.bin"
cam=$work/cam

# timed_update CMD...: timed, and the update must have verified its image.
timed_update() {
    timed "$@"
    grep -q "Verification complete" "$work/out.txt" || { echo "update failed: $*"; tail -3 "$work/out.txt"; exit 1; }
}
fresh() {
    "$qxsim" --state "$cam" create --force > /dev/null
    [[ "$1" == datasheet ]] && "$qxsim" --state "$cam" flash timing datasheet
    return 0
}
min() { if [[ -z "$1" ]] || (( $(echo "$2 < $1" | bc -l) )); then echo "$2"; else echo "$1"; fi; }

# The update as `qxsim run` and `qxsim record --sim` start it: the same
# process with the simulated interposer, once with the recorder in front.
overhead() {  # timing image label runs
    local pw="" pc="" rw="" rc="" i
    mkdir -p "$work/rec"
    for ((i = 0; i < $4; i++)); do
        fresh "$1"
        timed_update env LD_PRELOAD="$preload" QXSIM_STATE="$cam" "$update" "$2"
        pw=$(min "$pw" "$secs"); pc=$(min "$pc" "$cpu")
        fresh "$1"
        rm -f "$work/rec/"*
        python3 -c 'import sys,struct; sys.stdout.buffer.write(struct.pack("<IIII",0x5152444f,0,0,0))' > "$work/rec/order"
        timed_update env LD_PRELOAD="$recorder:$preload" QXSIM_STATE="$cam" QXSIM_RECORD_DIR="$work/rec" "$update" "$2"
        rw=$(min "$rw" "$secs"); rc=$(min "$rc" "$cpu")
    done
    printf 'recorder overhead, %s update, %-9s timing: %7.3f s -> %7.3f s wall (%+5.1f%%), %6.3f s -> %6.3f s cpu (%+5.1f%%), best of %d' \
        "$3" "$1" "$pw" "$rw" "$(echo "($rw - $pw) * 100 / $pw" | bc -l)" "$pc" "$rc" "$(echo "($rc - $pc) * 100 / $pc" | bc -l)" "$4"
    if [[ -n "${5:-}" ]]; then
        printf ', %.1f ns cpu per recorded access' "$(echo "($rc - $pc) * 1000000000 / $5" | bc -l)"
    fi
    printf '\n'
}

echo "record and replay ($(nproc) cores, load $(cut -d' ' -f1 /proc/loadavg)); goals: recorder at most +5% (datasheet timing, wall), replay at least 10 M accesses/s"

fresh instant
TIMEFORMAT='%R'
total=$( { time "$qxsim" --state "$cam" record --sim -o "$work/update.trace" -- "$update" "$work/image.bin" > /dev/null 2>&1 ; } 2>&1 )
lines=$(wc -l < "$work/update.trace")

[[ $datasheet == 1 ]] && overhead datasheet "$work/image1.bin" "1 MiB" 3
overhead instant "$work/image.bin" "16 MiB" "$runs" "$lines"
printf 'qxsim record --sim of the 16 MiB update: %.3f s in all, %d trace lines (%d MiB)\n' \
    "$total" "$lines" "$(( $(stat -c %s "$work/update.trace") / 1048576 ))"

TIMEFORMAT='%R %U %S'
t=$( { time "$qxsim" replay "$work/update.trace" > "$work/replay.txt" ; } 2>&1 ) || { cat "$work/replay.txt"; exit 1; }
read -r secs user sys <<< "$t"
cpu=$(echo "$user + $sys" | bc -l)
head -1 "$work/replay.txt"
printf 'replay of that trace against a fresh camera: %d lines in %.3f s wall, %.3f s cpu: %.1f M accesses/s wall, %.1f M/s cpu\n' \
    "$lines" "$secs" "$cpu" "$(echo "$lines / $secs / 1000000" | bc -l)" "$(echo "$lines / $cpu / 1000000" | bc -l)"
