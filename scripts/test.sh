#!/usr/bin/env bash
# Installs what is missing, checks that every include between the folders of
# src/ points down the layers, builds everything and runs all tests twice: in
# the Release build, and in a checked build (address, undefined-behaviour and
# float-cast-overflow sanitizers, halting on the first finding) in its own
# build directory.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/install-deps.sh"
bash "$root/scripts/check-includes.sh"
build="$root/build"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DLINAC_BUILD_TESTS=ON -DLINAC_BUILD_BENCH=ON >/dev/null
cmake --build "$build" -j "$(nproc)"
(cd "$build" && ctest --output-on-failure -j "$(nproc)")

# The checked build: -O1 keeps the instrumented compile short while the
# checks stay exact; benchmarks are left out.
san="$root/build-sanitize"
cmake -S "$root" -B "$san" -DCMAKE_BUILD_TYPE=None -DCMAKE_CXX_FLAGS="-O1" -DLINAC_SANITIZE=ON \
  -DLINAC_BUILD_TESTS=ON -DLINAC_BUILD_BENCH=OFF >/dev/null
cmake --build "$san" -j "$(nproc)"
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}
export LSAN_OPTIONS=${LSAN_OPTIONS:-suppressions=$root/scripts/lsan.supp}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
(cd "$san" && ctest --output-on-failure -j "$(nproc)")
