#!/usr/bin/env bash
# Installs the Debian 12 packages the build, the tests and the demo need,
# skipping apt-get entirely when everything is already there.
set -euo pipefail

packages=(
  g++ cmake ninja-build pkg-config
  clang-14 libclang-rt-14-dev valgrind
  libfmt-dev
  qt6-base-dev qt6-qpa-plugins
  libgtest-dev googletest
  xvfb xauth xdotool
  man-db groff-base
  devscripts
  sigrok-cli gtkwave
)
packages+=("$@")

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "Installing: ${missing[*]}"
sudo=()
if [ "$(id -u)" -ne 0 ]; then
  sudo=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update
"${sudo[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
