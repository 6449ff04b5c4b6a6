#!/bin/bash
# Build the Debian packages from a build tree, run lintian on them, install
# both, run the demo with the installed programs against a simulated camera
# in a scratch folder, and remove the packages again.
#
#   scripts/package-check.sh [BUILD-DIR]     (default build/default; needs root)
#
# The demo names the installed tools by their full path (/usr/bin/...), so
# qxsim never falls back to binaries of a build tree.
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath "${1:-$here/build/default}")
say() { printf '== %s\n' "$*"; }

say "packaging $build"
(cd "$build" && rm -f qx-camera-*.deb && cpack -G DEB >/dev/null)
debs=("$build"/qx-camera-tools_*.deb "$build"/qx-camera-sim_*.deb)
for deb in "${debs[@]}"; do
    echo "$(basename "$deb"): $(dpkg-deb -f "$deb" Depends)"
done

if command -v lintian >/dev/null; then
    say "lintian"
    lintian --display-info "${debs[@]}" || true
else
    echo "lintian not installed: skipped"
fi

for pkg in qx-camera-tools qx-camera-sim; do
    if dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed'; then
        echo "$pkg is installed already: remove it first" >&2
        exit 1
    fi
done

say "installing"
apt-get install -y -q "${debs[@]}" >/dev/null
trap 'say "removing"; dpkg -r qx-camera-sim qx-camera-tools >/dev/null' EXIT

demo=$(mktemp -d)
cd "$demo"
say "demo in $demo"
set -x
/usr/bin/qxsim create --sensor LUX19HS-C
/usr/bin/qxsim run -- /usr/bin/regdump -i -d 0x50 -r 4 -c 4
/usr/bin/qxsim run -- /usr/bin/update -r -v | tail -n 4
/usr/bin/qxsim run -- /usr/bin/dac -u
/usr/bin/qxsim run -- /usr/bin/biasset VREF 300
/usr/bin/qxsim show
man -w update regdump dac biasset chanmask qxsim
set +x
cd / && rm -rf "$demo"
say "installed packages ran the demo"
