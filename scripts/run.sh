#!/usr/bin/env bash
# Installs what is missing, builds, and runs the main job on its built-in
# default (extra arguments are passed on to it). The demo also writes its
# HTML report: build/release/reports/demo.html (demo-vanilla.html with
# --vanilla, to put beside it).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUELLINE_BENCHMARKS=OFF >/dev/null
cmake --build build/release --target quelline-sim quelline-prefs

report=""
demo=true
name=demo
for argument in "$@"; do
  case "$argument" in
  run | live | serve | --html | --html=* | -h | --help) demo=false ;;
  --vanilla) name=demo-vanilla ;;
  esac
done
extra=()
if $demo; then
  mkdir -p build/release/reports
  report="build/release/reports/$name.html"
  rm -f "$report"
  extra=(--html "$report")
fi
status=0
build/release/bin/quelline-sim "${extra[@]}" "$@" || status=$?
if [ -n "$report" ] && [ -f "$report" ]; then
  echo "The demo's report: $PWD/$report" >&2
fi
exit "$status"
