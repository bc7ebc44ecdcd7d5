#!/usr/bin/env bash
# Runs a fuzzing campaign against one target for a number of seconds.
#
#   scripts/fuzz.sh TARGET SECONDS [OPTION...]
#
# TARGET
#   property-lists, scenario
#             fuzz targets of tests/fuzz, built with clang and libFuzzer under
#             AddressSanitizer and UndefinedBehaviorSanitizer in build/fuzz
#   actions   random user actions against the modeled home-screen process
#             (quelline-actions), in the sanitizer build; SEED=N picks the
#             seed (default: the time). A failure is written to
#             fuzz-out/actions-SEED.scn.
#
# A libFuzzer campaign starts from the
# target's corpus in the repository and keeps going after a finding; its
# new inputs go to build/fuzz-campaigns/TARGET/corpus, what it finds to
# build/fuzz-campaigns/TARGET/findings, its log to
# build/fuzz-campaigns/TARGET/log. OPTIONs go to libFuzzer as they are
# (e.g. -jobs=2 -workers=2 for two processes). docs/reliability.md says how
# to read the log and what to do with a finding.
set -euo pipefail
cd "$(dirname "$0")/.."

usage() {
  echo "usage: scripts/fuzz.sh TARGET SECONDS [OPTION...]; TARGET: property-lists, scenario," \
    "actions" >&2
  exit 2
}
[ $# -ge 2 ] || usage
target=$1
seconds=$2
shift 2
[[ $seconds =~ ^[0-9]+$ ]] && [ "$seconds" -gt 0 ] || usage

build=build/fuzz
work=build/fuzz-campaigns/$target

# The inputs each target starts from: the first folder is its own corpus,
# the others are inputs of the suite that it may learn from.
case "$target" in
property-lists)
  corpus=(tests/corpus/property-lists)
  max_len=16384
  ;;
scenario)
  corpus=(tests/corpus/scenarios tests/scenarios examples)
  max_len=8192
  ;;
# A driver that is no libFuzzer program runs its own campaign from here.
actions)
  build=build/sanitize
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQUELLINE_SANITIZE=ON \
    -DQUELLINE_BENCHMARKS=OFF >/dev/null
  export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:detect_stack_use_after_return=1
  export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
  mkdir -p fuzz-out
  cmake --build "$build" --target quelline-actions Quelline QuellineModule
  seed=${SEED:-$(date +%s)}
  exec "$build/bin/quelline-actions" --seed "$seed" --seconds "$seconds" \
    --out "fuzz-out/actions-$seed.scn"
  ;;
*)
  usage
  ;;
esac

scripts/install-deps.sh
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_C_COMPILER=clang \
  -DCMAKE_CXX_COMPILER=clang++ -DQUELLINE_FUZZ=ON -DQUELLINE_BENCHMARKS=OFF -DQUELLINE_DEVICE=OFF \
  >/dev/null
cmake --build "$build" --target "fuzz-$target"

mkdir -p "$work/corpus" "$work/findings"
# The campaign runs its own copy: a rebuild meanwhile does not change it.
cp "$build/bin/fuzz-$target" "$work/fuzz-$target"
echo "fuzzing $target for $seconds s; log: $work/log"
# Fork mode: a crash, a leak, a timeout or running out of memory is saved
# as a finding and the campaign goes on.
"$work/fuzz-$target" -fork=1 -ignore_crashes=1 -ignore_timeouts=1 -ignore_ooms=1 \
  -max_total_time="$seconds" -max_len="$max_len" -timeout=10 -rss_limit_mb=2048 \
  -artifact_prefix="$work/findings/" -print_final_stats=1 -print_funcs=0 "$@" \
  "$work/corpus" "${corpus[@]}" 2>&1 | tee "$work/log"
echo "findings: $(find "$work/findings" -type f | wc -l) in $work/findings"
