#!/usr/bin/env bash
# Installs what is missing, then builds and runs the whole test suite twice:
# a debug build, and a build under AddressSanitizer and
# UndefinedBehaviorSanitizer; then builds the fuzz targets with clang and
# libFuzzer and runs each over its corpus.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

jobs=$(nproc)
run_suite() {
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
  (cd "$dir" && ctest --output-on-failure -j "$jobs")
}

echo "== debug build =="
run_suite build/debug -DCMAKE_BUILD_TYPE=Debug
echo "== sanitizer build (address, undefined) =="
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:detect_stack_use_after_return=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
# The device build does not depend on the host's sanitizers: checked once.
run_suite build/sanitize -DCMAKE_BUILD_TYPE=Debug -DQUELLINE_SANITIZE=ON -DQUELLINE_BENCHMARKS=OFF \
  -DQUELLINE_DEVICE=OFF
echo "== fuzz targets (clang, libFuzzer; address, undefined): each over its corpus =="
cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_C_COMPILER=clang \
  -DCMAKE_CXX_COMPILER=clang++ -DQUELLINE_FUZZ=ON -DQUELLINE_BENCHMARKS=OFF -DQUELLINE_DEVICE=OFF \
  >/dev/null
cmake --build build/fuzz -j "$jobs" --target fuzz-targets
(cd build/fuzz && ctest --output-on-failure -j "$jobs" -L fuzz)
