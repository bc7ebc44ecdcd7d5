#!/usr/bin/env bash
# Rewrites the table of docs/settings.md and the key lists of the other
# documents from prefs/domain.h (the test docs.settings fails until it is
# run after a change of the domain).
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
build=${QUELLINE_BUILD_DIR:-$repo/build/debug}
[ -f "$build/CMakeCache.txt" ] || cmake -S "$repo" -B "$build" -G Ninja >&2
cmake --build "$build" --target settings-doc >&2
"$build/bin/settings-doc" --write "$repo/docs/settings.md" "$repo/docs/scenarios.md" \
  "$repo/docs/preference-editor.md"
