#!/usr/bin/env bash
# Installs what is missing, builds, and runs the main job on its built-in
# default (extra arguments are passed on to it). The demo also writes its
# HTML report: build/release/reports/demo.html (demo-vanilla.html with
# --vanilla, to put beside it).
#
# It runs where it is called from, so that file names in the arguments (a
# scenario, --root DIR) are taken from there. What the installation and the
# build say goes to standard error: standard output is quelline-sim's own
# (--json stays JSON). QUELLINE_BUILD_DIR names another build folder.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
build=${QUELLINE_BUILD_DIR:-$repo/build/release}
"$repo/scripts/install-deps.sh" >&2
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$repo" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUELLINE_BENCHMARKS=OFF >&2
fi
cmake --build "$build" --target quelline-sim quelline-prefs >&2

report=""
demo=true
name=demo
for argument in "$@"; do
  case "$argument" in
  run | live | serve | --html | --html=* | -h | --help | --version) demo=false ;;
  --vanilla) name=demo-vanilla ;;
  esac
done
extra=()
if $demo; then
  mkdir -p "$build/reports"
  report="$build/reports/$name.html"
  rm -f "$report"
  extra=(--html "$report")
fi
status=0
"$build/bin/quelline-sim" "${extra[@]}" "$@" || status=$?
if [ -n "$report" ] && [ -f "$report" ]; then
  echo "The demo's report: $report" >&2
fi
exit "$status"
