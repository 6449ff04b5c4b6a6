#!/bin/bash
# Build the Debian packages (dpkg-buildpackage -us -uc -b, the test suite left
# to scripts/test.sh), check them with lintian and their binaries with
# hardening-check, install both with apt-get, run the demo with the installed
# programs against a simulated camera in a scratch folder, and remove the
# packages again. Fails on any lintian tag that is not overridden.
#
#   scripts/package-check.sh          (needs root; Debian 12)
#
# The packages end up in build/packages/<arch>/. The demo names the installed
# tools by their full path (/usr/bin/...), so qxsim never falls back to
# binaries of a build tree.
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
arch=$(dpkg --print-architecture)
out=$here/build/packages/$arch
say() { printf '== %s\n' "$*"; }

for pkg in qx-camera-tools qx-camera-sim; do
    if dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed'; then
        echo "$pkg is installed already: remove it first" >&2
        exit 1
    fi
done

"$here/scripts/install-deps.sh" debhelper lintian

say "dpkg-buildpackage -us -uc -b"
mkdir -p "$here/build"
t0=$(date +%s)
(cd "$here" && DEB_BUILD_OPTIONS="nocheck parallel=$(nproc)" \
    dpkg-buildpackage -us -uc -b -Pnocheck >"$here/build/package.log" 2>&1) || {
    tail -n 40 "$here/build/package.log"
    echo "package build failed (log: build/package.log)" >&2
    exit 1
}
"$here/scripts/collect-packages.sh" "$arch"
echo "package build: $(($(date +%s) - t0)) s"
debs=("$out"/qx-camera-tools_*.deb "$out"/qx-camera-sim_*.deb)
for deb in "${debs[@]}"; do
    echo "$(basename "$deb"): $(dpkg-deb -f "$deb" Depends)"
done

say "lintian --pedantic -I"
status=0
tags=$(lintian --pedantic -I --fail-on none "$out"/*.changes \
    2> >(grep -v 'running with root privileges' >&2)) || status=$?
((status == 0)) || { echo "lintian did not run through (exit status $status)" >&2; exit 1; }
if [[ -n $tags ]]; then
    echo "$tags"
    echo "lintian reports the packages (fix them, or override a tag with a reason)" >&2
    exit 1
fi
echo "lintian: no tags"

say "hardening-check --nocfprotection"
unpacked=$(mktemp -d)
trap 'rm -rf "$unpacked"' EXIT
for deb in "${debs[@]}"; do
    dpkg-deb -x "$deb" "$unpacked"
done
(cd "$unpacked" && hardening-check --nocfprotection usr/bin/update usr/bin/regdump usr/bin/dac \
    usr/bin/biasset usr/bin/chanmask usr/lib/qxsim/qxsim usr/lib/qxsim/libqxsim_preload.so)

say "installing"
apt-get install -y -q "${debs[@]}" >/dev/null
trap 'rm -rf "$unpacked"; say "removing"; dpkg -r qx-camera-sim qx-camera-tools >/dev/null' EXIT

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
