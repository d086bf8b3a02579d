#!/usr/bin/env bash
# Builds the fuzz targets with clang's libFuzzer and runs each one for a bounded time
# (seconds, 60 unless given). A target that finds a failing input stops there and leaves it
# in build/fuzz/findings; the script then exits non-zero.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
tools/install-deps.sh fuzz
cmake -S . -B build/fuzz -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DVSERVER_FUZZ=ON -DVSERVER_BUILD_TESTS=OFF >/dev/null
cmake --build build/fuzz -j2 --target framing_fuzz settings_files_fuzz
mkdir -p build/fuzz/findings
status=0
for target in framing_fuzz settings_files_fuzz; do
    corpus="build/fuzz/corpus/$target"
    mkdir -p "$corpus"
    echo "=== $target for $seconds s ==="
    if ! build/fuzz/tests/fuzz/$target -max_total_time="$seconds" -print_final_stats=1 \
            -artifact_prefix="build/fuzz/findings/$target-" "$corpus" 2>build/fuzz/$target.log; then
        tail -n 40 build/fuzz/$target.log
        status=1
    fi
    grep -E '^stat::(number_of_executed_units|new_units_added)' build/fuzz/$target.log || true
done
exit $status
