#!/bin/sh
# Register accesses per second through the simulated camera's interposer,
# from one process, trace off. Builds what it needs in build/default.
#   bench/sim_bench.sh [COUNT]
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
build=${QX_BUILD_DIR:-$top/build/default}
count=${1:-20000000}

[ -d "$build" ] || cmake --preset default -S "$top" >/dev/null
cmake --build "$build" --target qxsim qxsim_preload qxsim_access_bench -j2 >/dev/null

state=$(mktemp -d "${TMPDIR:-/tmp}/qxsim-bench.XXXXXX")
trap 'rm -rf "$state"' EXIT
"$build/qxsim/qxsim" --state "$state" create >/dev/null
"$build/qxsim/qxsim" --state "$state" trace off

echo "qxsim register accesses through LD_PRELOAD, one process, trace off ($(nproc) cores, load $(cut -d' ' -f1 /proc/loadavg)):"
"$build/qxsim/qxsim" --state "$state" run -- "$build/qxsim/qxsim_access_bench" "$count"
echo "goal: at least 40 M/s (cpu figure when the machine is shared)"
