#!/usr/bin/env bash
# A long campaign against one target, in the sanitizer build:
#
#   scripts/fuzz.sh TARGET SECONDS
#
# TARGET
#   actions   random user actions against the modeled home-screen process
#             (quelline-actions); SEED=N picks the seed (default: the time).
#             A failure is written to fuzz-out/actions-SEED.scn.
#
# The suite runs a seconds-bounded regression of each; docs/reliability.md
# says what each checks and records the campaigns run.
set -euo pipefail
cd "$(dirname "$0")/.."

usage() {
  echo "usage: scripts/fuzz.sh actions SECONDS" >&2
  exit 2
}
[ $# -eq 2 ] || usage
target=$1
seconds=$2
[[ $seconds =~ ^[0-9]+$ ]] || usage

build=build/sanitize
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQUELLINE_SANITIZE=ON \
  -DQUELLINE_BENCHMARKS=OFF >/dev/null
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:detect_stack_use_after_return=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
mkdir -p fuzz-out

case $target in
actions)
  cmake --build "$build" --target quelline-actions Quelline QuellineModule
  seed=${SEED:-$(date +%s)}
  "$build/bin/quelline-actions" --seed "$seed" --seconds "$seconds" \
    --out "fuzz-out/actions-$seed.scn"
  ;;
*)
  usage
  ;;
esac
