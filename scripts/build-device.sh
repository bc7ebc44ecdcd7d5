#!/usr/bin/env bash
# Cross-builds the device deliverables and their package:
#   scripts/build-device.sh [BUILD_FOLDER]     (default build/device)
# The package is BUILD_FOLDER/com.veltrasse.quelline_VERSION_iphoneos-arm.deb.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build/device}
launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
cmake -S . -B "$dir" -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/iphoneos.cmake \
  "${launcher[@]}" >/dev/null
cmake --build "$dir"
ls "$dir"/*.deb
