#!/usr/bin/env bash
# Figures for `update` on the simulated camera (not a test: it prints).
#   instant timing: a 16 MiB and a maximum-size (0x5FF0000) image: wall time,
#   register accesses, accesses/s, MiB/s; flashrom's dummy programmer writing
#   and verifying the same 16 MiB, and the ratio of the two wall times.
#   datasheet timing: a 16 MiB update against the flash's own time for the
#   same work (sector erases plus page programs), as a ratio.
# usage: bench/update_bench.sh [BUILD_DIR] [--no-datasheet]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/default}
datasheet=1
[[ "${2:-}" == "--no-datasheet" ]] && datasheet=0

source bench/common.sh
need "$qxsim" "$update"
scratch update_bench

accesses() { "$qxsim" --state "$1" show | sed -n 's/^Accesses: \([0-9]*\).*/\1/p'; }
boot_crc() { "$qxsim" --state "$1" show | sed -n 's/.*boot [0-9]* (.*): application image at 0x2000000, [0-9]* bytes, CRC-32 \(0x[0-9A-F]*\).*/\1/p'; }

crc_of() { python3 -c 'import sys,zlib; print("0x%08X" % (zlib.crc32(open(sys.argv[1],"rb").read()) & 0xffffffff))' "$1"; }

# One quiet update of FILE on a fresh camera; sets secs and count.
run_update() {
    local cam=$1 file=$2
    "$qxsim" --state "$cam" create --force > /dev/null
    [[ -n "${3:-}" ]] && "$qxsim" --state "$cam" flash timing datasheet
    local before
    before=$(accesses "$cam")
    timed "$qxsim" --state "$cam" run -- "$update" "$file"
    count=$(( $(accesses "$cam") - before ))
    grep -q "Verification complete" "$work/out.txt" || { echo "update failed:"; tail -5 "$work/out.txt"; exit 1; }
    local want got
    want=$(crc_of "$file"); got=$(boot_crc "$cam")
    [[ "$want" == "$got" ]] || { echo "camera booted CRC $got, image has $want"; exit 1; }
}

report() {  # label bytes
    local mib
    mib=$(echo "$2 / 1048576" | bc -l)
    printf '%-24s %8.3f s wall %8.3f s cpu  %9d accesses  %6.2f M accesses/s  %7.2f MiB/s\n' \
        "$1" "$secs" "$cpu" "$count" "$(echo "$count / $secs / 1000000" | bc -l)" "$(echo "$mib / $secs" | bc -l)"
}

random_image $((16 << 20)) "$work/img16"
random_image $((0x5FF0000)) "$work/imgmax"

echo "instant timing"
run_update "$work/cam" "$work/img16"; ours16=$secs; ours16cpu=$cpu
report "update 16 MiB" $((16 << 20))
run_update "$work/cam" "$work/imgmax"
report "update 0x5FF0000 bytes" $((0x5FF0000))

if command -v flashrom > /dev/null; then
    timed flashrom -p "dummy:emulate=W25Q128FV,image=$work/flashrom.img" -w "$work/img16"
    grep -q VERIFIED "$work/out.txt" || { echo "flashrom did not verify"; exit 1; }
    printf '%-24s %8.3f s wall %8.3f s cpu\n' "flashrom dummy 16 MiB" "$secs" "$cpu"
    printf 'ratio update/flashrom    %8.3f wall %8.3f cpu  (goal <= 0.25)\n' \
        "$(echo "$ours16 / $secs" | bc -l)" "$(echo "$ours16cpu / $cpu" | bc -l)"
else
    echo "flashrom not installed: no comparison"
fi

if (( datasheet )); then
    echo "datasheet timing"
    run_update "$work/cam" "$work/img16" datasheet
    report "update 16 MiB" $((16 << 20))
    # The chip's own time: offset sector + 256 application sectors, 65536
    # pages, the unlock and the lock.
    read -r erase_us program_us status_us < <("$qxsim" --state "$work/cam" show |
        sed -n 's/.*timing datasheet (erase \([0-9]*\) us, page program \([0-9]*\) us, status write \([0-9]*\) us).*/\1 \2 \3/p')
    floor=$(echo "(257 * $erase_us + 65536 * $program_us + 2 * $status_us) / 1000000" | bc -l)
    printf '%-24s %8.3f s\n' "flash's own time" "$floor"
    printf 'ratio update/floor       %8.3f\n' "$(echo "$secs / $floor" | bc -l)"
fi
