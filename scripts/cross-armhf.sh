#!/bin/bash
# Cross-build the tools, the simulated camera and the tests for the camera's
# 32-bit ARM computer (Debian armhf), then run the command-line tests on the
# armhf binaries under user-mode emulation and print how long that took.
#
#   scripts/cross-armhf.sh [--install-deps] [--no-test] [--package] [-- CTEST-ARGS...]
#
#   --install-deps  add the armhf architecture and install the cross compiler,
#                   the armhf libraries and qemu (needs root; Debian 12)
#   --no-test       build only
#   --package       also build the armhf .deb packages (build/armhf/*.deb)
#
# QX_ARMHF_BUILD names the build folder (default build/armhf);
# QX_ARMHF_CMAKE_ARGS adds configure options; QX_ARMHF_EXCLUDE is the ctest
# -E pattern of tests that cannot pass under emulation ("" runs them all;
# an -E among the CTEST-ARGS replaces it).
#
# Needs root for the test run: the emulator is registered with the kernel's
# binfmt_misc (so that armhf programs started by the tests run), and the
# tests run in a private mount namespace whose /bin/sh is Debian's armhf
# dash. The tools' shell children (biasset, chanmask write registers through
# /bin/sh) must be armhf programs to load the armhf interposer; outside that
# namespace nothing changes.
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
build=${QX_ARMHF_BUILD:-$here/build/armhf}
install_deps=0 run_tests=1 package=0
ctest_args=()
while (($#)); do
    case $1 in
        --install-deps) install_deps=1 ;;
        --no-test) run_tests=0 ;;
        --package) package=1 ;;
        --) shift; ctest_args=("$@"); break ;;
        *) echo "usage: $0 [--install-deps] [--no-test] [--package] [-- CTEST-ARGS...]" >&2; exit 2 ;;
    esac
    shift
done

say() { printf '== %s\n' "$*"; }
elapsed() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.1f", b - a }'; }

if ((install_deps)); then
    say "installing the armhf cross toolchain, libraries and emulator"
    dpkg --add-architecture armhf
    apt-get update -q
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q \
        g++-arm-linux-gnueabihf qemu-user-static binutils-arm-linux-gnueabihf \
        libfmt-dev:armhf libgtest-dev:armhf
    # Qt's armhf development packages are co-installable with the amd64 ones;
    # without them the dialog is left out of the cross build.
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q qt6-base-dev:armhf ||
        echo "qt6-base-dev:armhf not installable: building without chanmask" >&2
fi

for prog in arm-linux-gnueabihf-g++ qemu-arm-static cmake ninja; do
    command -v "$prog" >/dev/null || { echo "$prog missing (run with --install-deps)" >&2; exit 1; }
done

chanmask=OFF
[[ -f /usr/lib/arm-linux-gnueabihf/cmake/Qt6Widgets/Qt6WidgetsConfig.cmake ]] && chanmask=ON

say "configuring $build (chanmask: $chanmask)"
t0=$(date +%s.%N)
cmake -S "$here" -B "$build" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$here/cmake/toolchain-armhf.cmake" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQX_WERROR=ON -DQX_BUILD_CHANMASK=$chanmask \
    ${QX_ARMHF_CMAKE_ARGS:-}
say "building"
cmake --build "$build" -j2
t1=$(date +%s.%N)
echo "armhf build: $(elapsed "$t0" "$t1") s"

if ((package)); then
    say "packaging"
    # dpkg-shlibdeps reads the armhf binaries with the cross objdump.
    (cd "$build" && DEB_HOST_ARCH=armhf DEB_HOST_MULTIARCH=arm-linux-gnueabihf \
        DEB_HOST_GNU_TYPE=arm-linux-gnueabihf cpack -G DEB)
    ls -l "$build"/*.deb
fi

((run_tests)) || exit 0

# The kernel starts armhf programs with the static emulator: a static
# emulator is not itself affected by the LD_PRELOAD meant for the armhf
# program it runs.
binfmt=/proc/sys/fs/binfmt_misc
if [[ ! -e $binfmt/register ]]; then
    mount -t binfmt_misc binfmt_misc "$binfmt"
fi
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
emulator_exclude=${QX_ARMHF_EXCLUDE-'^FpgaIoWithoutDevice\.(access_before_init|access_while_closed|missing_node|close_leaves)|ebadf_from_the_system|^State\.(owner_killed|processes_killed)_|power_cut_inside_the_offset_record|^PowerCut\.torn_|firmware_folder_maps_into_the_state_folder|^valgrind'}

say "running the tests under qemu-arm${emulator_exclude:+ (not run: $emulator_exclude)}"
t0=$(date +%s.%N)
status=0
unshare --mount --propagation private bash -c '
    set -e
    mount --bind "$1/bin/dash" "$(readlink -f /bin/sh)"
    cd "$2"
    exclude=$3
    shift 3
    ctest --output-on-failure -j2 --timeout 300 ${exclude:+-E "$exclude"} "$@"
' _ "$shell_root" "$build" "$emulator_exclude" "${ctest_args[@]}" || status=$?
t1=$(date +%s.%N)
echo "armhf tests under qemu-arm: $(elapsed "$t0" "$t1") s (ctest exit status $status)"
exit $status
