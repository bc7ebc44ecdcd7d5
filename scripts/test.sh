#!/usr/bin/env bash
# Installs what is missing, then builds and runs the whole test suite twice:
# a debug build, and a build under AddressSanitizer and
# UndefinedBehaviorSanitizer; then builds the fuzz targets with clang and
# libFuzzer and runs each over its corpus.
#
# Expect about 15 minutes on an idle 2-core machine from a fresh clone
# (three builds, most of the time, and three test runs); a busy machine
# takes longer.
#
# It ends with one line that counts the tests of every suite that ran,
# "N passed, M failed", and names any suite that did not run (a build that
# failed, the script stopped early). The exit status is 0 only when every
# suite ran and nothing failed.
set -euo pipefail
cd "$(dirname "$0")/.."

suites=("debug" "sanitizer" "fuzz replay")
declare -A counted=()
passed=0
failed=0

# The last line, however the script ends.
summary() {
  local status=$? missing=()
  for suite in "${suites[@]}"; do
    [ -n "${counted[$suite]:-}" ] || missing+=("$suite")
  done
  local line="$passed passed, $failed failed"
  if [ ${#missing[@]} -gt 0 ]; then
    line+="; did not run: $(printf '%s, ' "${missing[@]}")"
    line=${line%, }
  fi
  echo "$line"
  if [ "$status" -eq 0 ] && { [ "$failed" -gt 0 ] || [ ${#missing[@]} -gt 0 ]; }; then status=1; fi
  exit "$status"
}
trap summary EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

echo "== the whole suite: about 15 minutes on an idle 2-core machine =="
scripts/install-deps.sh

jobs=$(nproc)

# Runs ctest in folder $2 (options after it) and adds its counts, from its
# JUnit report, to the totals under the suite's name $1.
count_tests() {
  local suite=$1 dir=$2
  shift 2
  local report=$PWD/$dir/suite.xml
  rm -f "$report"
  local status=0
  (cd "$dir" && ctest --output-on-failure -j "$jobs" --output-junit "$report" "$@") || status=$?
  [ -f "$report" ] || return 1
  # Each test's status: run (passed), fail, notrun (it could not start:
  # failed, as ctest counts it; but a test that skipped itself is neither),
  # disabled (not counted).
  local ok bad
  read -r ok bad < <(awk '
    function close_case() {
      if (status == "run") ok++
      else if (status == "fail" || (status == "notrun" && !skipped)) bad++
      status = ""
    }
    /<testcase / {
      close_case()
      match($0, /status="[a-z]*"/)
      status = substr($0, RSTART + 8, RLENGTH - 9)
      skipped = 0
    }
    /<skipped message="SKIP_/ { skipped = 1 }
    END { close_case(); print ok + 0, bad + 0 }' "$report")
  passed=$((passed + ok))
  failed=$((failed + bad))
  counted[$suite]=1
  echo "== $suite: $ok passed, $bad failed =="
  [ "$status" -eq 0 ] || [ "$bad" -gt 0 ]
}

run_suite() {
  local suite=$1 dir=$2
  shift 2
  cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
  count_tests "$suite" "$dir" || true
}

echo "== debug build =="
run_suite debug build/debug -DCMAKE_BUILD_TYPE=Debug
echo "== sanitizer build (address, undefined) =="
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:detect_stack_use_after_return=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
# The device build does not depend on the host's sanitizers: checked once.
run_suite sanitizer build/sanitize -DCMAKE_BUILD_TYPE=Debug -DQUELLINE_SANITIZE=ON \
  -DQUELLINE_BENCHMARKS=OFF -DQUELLINE_DEVICE=OFF
echo "== fuzz targets (clang, libFuzzer; address, undefined): each over its corpus =="
cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_C_COMPILER=clang \
  -DCMAKE_CXX_COMPILER=clang++ -DQUELLINE_FUZZ=ON -DQUELLINE_BENCHMARKS=OFF -DQUELLINE_DEVICE=OFF \
  >/dev/null
cmake --build build/fuzz -j "$jobs" --target fuzz-targets
count_tests "fuzz replay" build/fuzz -L fuzz || true
