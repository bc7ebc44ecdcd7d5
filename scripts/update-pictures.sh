#!/usr/bin/env bash
# Remakes every picture in docs/ from the current build, in headless
# Chromium, and the hashes of the pages they are made from
# (docs/pictures.sha256, which the test pictures.current checks). Builds
# quelline-sim in build/release (QUELLINE_BUILD_DIR), as scripts/run.sh does.
# Usage: scripts/update-pictures.sh
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
build=${QUELLINE_BUILD_DIR:-$repo/build/release}
"$repo/scripts/install-deps.sh" >&2
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$repo" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUELLINE_BENCHMARKS=OFF >&2
fi
cmake --build "$build" --target quelline-sim >&2
# Debian's python3-selenium lives in the system's Python.
/usr/bin/python3 "$repo/tests/browser/pictures.py" make "$build/bin/quelline-sim" "$repo/docs"
echo "remade: $(cd "$repo/docs" && ls ./*.png | tr '\n' ' ')" >&2
