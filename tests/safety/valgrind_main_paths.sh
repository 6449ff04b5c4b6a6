#!/bin/sh
# valgrind_main_paths.sh QXSIM UPDATE REGDUMP DAC BIASSET: each tool's main
# path once under valgrind's memcheck against a fresh simulated camera.
# Fails on any memcheck error or definite leak in the tool (the camera's
# interposer runs inside it and is checked too); shells the tools start are
# not followed.
set -eu
qxsim=$1 update=$2 regdump=$3 dac=$4 biasset=$5
dir=$(mktemp -d "${TMPDIR:-/tmp}/qxvalgrind.XXXXXX")
trap 'rm -rf "$dir"' EXIT
"$qxsim" --state "$dir/cam" create >/dev/null
head -c 20000 /dev/urandom > "$dir/app.rbf"
printf 'Z' >> "$dir/app.rbf"

failed=0
check() {
    name=$1
    shift
    if "$qxsim" --state "$dir/cam" run -- valgrind --tool=memcheck --error-exitcode=99 \
        --leak-check=full --errors-for-leak-kinds=definite --log-file="$dir/$name.vg" "$@" \
        >"$dir/$name.out" 2>&1; then
        status=0
    else
        status=$?
    fi
    summary=$(grep 'ERROR SUMMARY' "$dir/$name.vg" | tail -n 1 | sed 's/^==[0-9]*== //')
    echo "$name: exit $status; $summary"
    if [ "$status" -eq 99 ] || ! echo "$summary" | grep -q 'ERROR SUMMARY: 0 errors'; then
        cat "$dir/$name.vg"
        failed=1
    fi
}
check update-verbose "$update" -v "$dir/app.rbf"
grep -q 'Verification complete' "$dir/update-verbose.out" || { echo "update did not reach the camera"; failed=1; }
check update-erase "$update" -e "$dir/app.rbf"
check regdump "$regdump" -i -d 0x50 -r 4 -c 4 -v
check dac-up "$dac" -u -v
grep -q '10\[60\] <= 0x0000' "$dir/dac-up.out" || { echo "dac did not run its table"; failed=1; }
check dac-down "$dac" -d
check biasset "$biasset" -v VREF 300
check biasset-list "$biasset" -l
exit $failed
