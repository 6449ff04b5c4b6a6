#!/usr/bin/env bash
# Installs what is missing, builds the tools and the simulated camera, and runs
# the main job on it: a release firmware update (the image is chosen by the
# fitted sensor), the FPGA restarting from the new image, then the bias DACs
# powered up. Pass a sensor name (LUX13HS-C, LUX19HS-M, LINCE5M-C, ...) to fit
# another sensor; the camera lives in build/demo-camera.
set -euo pipefail
cd "$(dirname "$0")/.."
sensor=${1:-LUX19HS-C}

./scripts/install-deps.sh
cmake --preset default > /dev/null
cmake --build --preset default -j "$(nproc)"

bin=$PWD/build/default
cam=$PWD/build/demo-camera
qxsim() { "$bin/qxsim/qxsim" --state "$cam" "$@"; }

step() { printf '\n=== %s\n' "$*"; }

step "A fresh simulated camera with a $sensor sensor (it has booted its factory image)"
qxsim create --force --sensor "$sensor"

step "The sensor board's identification registers: regdump -i -d 0x50 -r 4 -c 4"
qxsim run -- "$bin/regdump/regdump" -i -d 0x50 -r 4 -c 4

step "Release update: update -r -v"
qxsim run -- "$bin/update/update" -r -v
echo

step "Bias DACs powered up: dac -u -v"
qxsim run -- "$bin/dac/dac" -u -v

step "The camera now (qxsim show)"
qxsim show
