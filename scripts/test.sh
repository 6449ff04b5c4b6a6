#!/usr/bin/env bash
# Builds everything (warnings are errors) and runs every test against the
# simulated camera. Pass --sanitize to use the address+undefined sanitizer build.
set -euo pipefail
cd "$(dirname "$0")/.."

preset=default
if [ "${1:-}" = "--sanitize" ]; then
  preset=sanitize
fi

./scripts/install-deps.sh
cmake --preset "$preset"
cmake --build --preset "$preset" -j "$(nproc)"
ctest --preset "$preset"
