#!/usr/bin/env bash
# Builds and runs every test. With "asan" it uses the AddressSanitizer + UndefinedBehaviorSanitizer
# build instead of the optimised one.
set -euo pipefail
cd "$(dirname "$0")/.."
preset="${1:-release}"
tools/install-deps.sh
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" -j2
ctest --preset "$preset"
