#!/usr/bin/env bash
# Installs what is missing, builds, and runs the main job on its built-in
# default (extra arguments are passed on to it).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUELLINE_BENCHMARKS=OFF >/dev/null
cmake --build build/release --target quelline-sim quelline-prefs
exec build/release/bin/quelline-sim "$@"
