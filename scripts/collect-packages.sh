#!/bin/bash
# Moves what dpkg-buildpackage left beside the source tree (the .deb files,
# .buildinfo and .changes of this version for ARCH) into
# build/packages/ARCH/, replacing an earlier build's, and lists them.
#
#   scripts/collect-packages.sh ARCH
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
arch=$1
version=$(cd "$here" && dpkg-parsechangelog -S Version)
out=$here/build/packages/$arch
rm -rf "$out" && mkdir -p "$out"
changes=$here/../qx-camera-tools_${version}_$arch.changes
[[ -f $changes ]] || { echo "no $changes: the package build did not finish" >&2; exit 1; }
# The files the .changes lists, and the .changes itself.
files=$(sed -n '/^Files:/,/^[^ ]/s/^ [0-9a-f]\{32\} [0-9]* [^ ]* [^ ]* //p' "$changes")
for f in $files; do
    mv "$here/../$f" "$out/"
done
mv "$changes" "$out/"
ls -l "$out"
