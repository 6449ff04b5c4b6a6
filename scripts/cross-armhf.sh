#!/bin/bash
# Cross-build the Debian packages for the camera's 32-bit ARM computer
# (Debian armhf) with dpkg-buildpackage and Debian's cross compiler, then run
# the test suite of that build, every tool, test program and the interposer
# an armhf binary, under user-mode emulation, and print how long each took.
#
#   scripts/cross-armhf.sh [--install-deps] [--check] [--no-build|--no-test] [-- CTEST-ARGS...]
#
#   --install-deps  add the armhf architecture and install the cross compiler,
#                   the armhf libraries and qemu (needs root; Debian 12)
#   --check         only check that this machine can run the tests
#                   (binfmt_misc, mount namespaces), in one line
#   --no-build      run the tests of the last build again
#   --no-test       build the packages only
#
# The packages end up in build/packages/armhf/, the build tree with the tests
# in obj-arm-linux-gnueabihf/. QX_ARMHF_EXCLUDE is the ctest -E pattern of
# tests that cannot pass under emulation ("" runs them all; an -E among the
# CTEST-ARGS replaces it).
#
# Needs root for the test run: the emulator is registered with the kernel's
# binfmt_misc (so that armhf programs started by the tests run), and the
# tests run in a private mount namespace whose /bin/sh is Debian's armhf
# dash. The tools' shell children (biasset, chanmask write registers through
# /bin/sh) must be armhf programs to load the armhf interposer; outside that
# namespace nothing changes.
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
build=$here/obj-arm-linux-gnueabihf
install_deps=0 check_only=0 run_build=1 run_tests=1
ctest_args=()
while (($#)); do
    case $1 in
        --install-deps) install_deps=1 ;;
        --check) check_only=1 ;;
        --no-build) run_build=0 ;;
        --no-test) run_tests=0 ;;
        --) shift; ctest_args=("$@"); break ;;
        *) echo "usage: $0 [--install-deps] [--check] [--no-build|--no-test] [-- CTEST-ARGS...]" >&2; exit 2 ;;
    esac
    shift
done

say() { printf '== %s\n' "$*"; }
elapsed() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.1f", b - a }'; }

# The kernel features the emulated test run stands on, each failure one line.
binfmt=/proc/sys/fs/binfmt_misc
check_machine() {
    if [[ ! -e $binfmt/register ]] && ! mount -t binfmt_misc binfmt_misc "$binfmt" 2>/dev/null; then
        echo "cross-armhf: this machine has no binfmt_misc (cannot mount $binfmt): the armhf tests cannot run" >&2
        return 1
    fi
    if ! unshare --mount --propagation private true 2>/dev/null; then
        echo "cross-armhf: this machine gives no private mount namespace (unshare --mount failed): the armhf tests cannot run" >&2
        return 1
    fi
}
if ((check_only)); then
    check_machine
    echo "cross-armhf: binfmt_misc and mount namespaces available"
    exit 0
fi
if ((run_tests)); then
    check_machine
fi

if ((install_deps)); then
    say "installing the armhf cross toolchain, libraries and emulator"
    dpkg --add-architecture armhf
    apt-get update -q
    # The package's build dependencies for armhf (cross compiler aside), the
    # Qt platform plugins the dialog needs to open a window, and the emulator.
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends \
        crossbuild-essential-armhf qemu-user-static \
        libfmt-dev:armhf libgtest-dev:armhf qt6-base-dev:armhf qt6-qpa-plugins:armhf
    (cd "$here" && DEBIAN_FRONTEND=noninteractive apt-get build-dep -y -q -a armhf ./)
fi

for prog in arm-linux-gnueabihf-g++ qemu-arm-static dpkg-buildpackage; do
    command -v "$prog" >/dev/null || { echo "$prog missing (run with --install-deps)" >&2; exit 1; }
done

if ((run_build)); then
    say "building the armhf packages (dpkg-buildpackage -a armhf)"
    mkdir -p "$here/build"
    t0=$(date +%s.%N)
    (cd "$here" && DEB_BUILD_OPTIONS="parallel=$(nproc) ${DEB_BUILD_OPTIONS:-}" \
        dpkg-buildpackage -a armhf -us -uc -b >"$here/build/armhf-package.log" 2>&1) || {
        tail -n 40 "$here/build/armhf-package.log"
        echo "armhf package build failed (log: build/armhf-package.log)" >&2
        exit 1
    }
    t1=$(date +%s.%N)
    "$here/scripts/collect-packages.sh" armhf
    echo "armhf build: $(elapsed "$t0" "$t1") s"

    say "hardening-check --nocfprotection of the armhf binaries"
    unpacked=$(mktemp -d)
    for deb in "$here"/build/packages/armhf/qx-camera-{tools,sim}_*.deb; do
        dpkg-deb -x "$deb" "$unpacked"
    done
    (cd "$unpacked" && hardening-check --nocfprotection usr/bin/{update,regdump,dac,biasset,chanmask} usr/lib/qxsim/qxsim \
        usr/lib/qxsim/libqxsim_preload.so 2> >(grep -v -e "can.t disassemble" -e '^$' >&2)) || {
        rm -rf "$unpacked"; exit 1; }
    rm -rf "$unpacked"
fi

((run_tests)) || exit 0

# The kernel starts armhf programs with the static emulator: a static
# emulator is not itself affected by the LD_PRELOAD meant for the armhf
# program it runs.
if [[ ! -e $binfmt/qemu-arm ]]; then
    say "registering qemu-arm-static with binfmt_misc"
    cat /usr/lib/binfmt.d/qemu-arm.conf > "$binfmt/register"
fi
interp=$(readlink -f "$(sed -n 's/^interpreter //p' "$binfmt/qemu-arm")")
if [[ $interp != *-static ]]; then
    echo "binfmt qemu-arm runs $interp, which is not statically linked;" \
         "install qemu-user-static" >&2
    exit 1
fi

# Debian's armhf dash, unpacked (not installed) into the build tree.
shell_root=$build/armhf-shell
if [[ ! -x $shell_root/bin/dash ]]; then
    say "fetching Debian's armhf dash for the tests' /bin/sh"
    rm -rf "$shell_root" && mkdir -p "$shell_root"
    (cd "$shell_root" && apt-get download -q dash:armhf 2>/dev/null && dpkg-deb -x dash_*_armhf.deb .)
fi

# Tests that cannot pass under user-mode emulation, with the reason:
# - qemu-user answers an ioctl request it does not know with ENOSYS before
#   the kernel looks at the descriptor, where the board's kernel says EBADF
#   for a descriptor that is not open (the register-device layer without a
#   device, an access after close). The simulated camera's own ioctls never
#   reach the emulator: the interposer answers them inside the process.
# - qemu-user has no robust futex list (set_robust_list fails with ENOSYS),
#   so a process killed while it holds the camera's lock leaves the lock
#   held and the next process waits for ever: the tests that kill a process
#   inside a register access (a power cut between accesses works).
# - only /bin/sh is an armhf program here; a test that has the shell run
#   other utilities (cat) with the interposer loaded gets the build
#   machine's, which cannot load an armhf library.
# - valgrind runs programs of the build machine only.
# - the sweep's agreement with 200 real power cuts of a 1 MiB update checks
#   the model's judgement against its own boot logic, which is the same on
#   every machine; under emulation its runs take longer than any time limit.
# - a trace file cut under its mapping: the reader's SIGBUS handler maps a
#   zero page over the lost one and the read is made again; under qemu-user
#   the read faults again for ever (the tests time out). The kernel's
#   behaviour is the same on every machine, and the native run checks it.
# The checks of installed files, man pages and hardening, and the fuzzers
# (built for the build machine) are not part of a cross build; the packages'
# binaries are checked with hardening-check above instead.
emulator_exclude=${QX_ARMHF_EXCLUDE-'^FpgaIoWithoutDevice\.(access_before_init|access_while_closed|missing_node|close_leaves)|ebadf_from_the_system|^State\.(owner_killed|processes_killed)_|power_cut_inside_the_offset_record|^PowerCut\.torn_|firmware_folder_maps_into_the_state_folder|^PowerCutSweep\.two_hundred_drawn|^TraceFile\.(a_mapping_outlives|decode_while_the_trace_is_cleared)|^valgrind'}

say "running the tests under qemu-arm${emulator_exclude:+ (not run: $emulator_exclude)}"
t0=$(date +%s.%N)
status=0
unshare --mount --propagation private bash -c '
    set -e
    mount --bind "$1/bin/dash" "$(readlink -f /bin/sh)"
    cd "$2"
    exclude=$3
    shift 3
    ctest --output-on-failure -j"$(nproc)" --timeout 300 ${exclude:+-E "$exclude"} "$@"
' _ "$shell_root" "$build" "$emulator_exclude" "${ctest_args[@]}" || status=$?
t1=$(date +%s.%N)
echo "armhf tests under qemu-arm: $(elapsed "$t0" "$t1") s (ctest exit status $status)"
exit $status
