#!/usr/bin/env bash
# Cross-builds the device deliverables and their two packages:
#   scripts/build-device.sh [BUILD_FOLDER]     (default build/device)
# BUILD_FOLDER/com.veltrasse.quelline_VERSION_iphoneos-arm.deb (rootful, iOS
# 11 and 12) and BUILD_FOLDER-rootless/com.veltrasse.quelline_VERSION_
# iphoneos-arm64.deb (rootless, iOS 15 and 16, files under /var/jb).
# Its Maintainer field comes from $QUELLINE_MAINTAINER ("Name <address>"),
# kept in the build folder once given; unset, it names no mailbox.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build/device}
launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
if [[ -n ${QUELLINE_MAINTAINER:-} ]]; then
  launcher+=("-DQUELLINE_MAINTAINER=$QUELLINE_MAINTAINER")
fi
# The pane's Root.plist comes from prefs/domain.h through a host tool, which
# the cross build cannot run: built and run here first.
mkdir -p "$dir/host-tools"
# shellcheck disable=SC2046  # pkg-config's flags are words
c++ -std=c++20 -O1 -I. tools/pane_specifiers.cpp -o "$dir/host-tools/pane-specifiers" \
  $(pkg-config --cflags --libs libplist-2.0)
"$dir/host-tools/pane-specifiers" --write "$dir/host-tools/Root.plist"
for flavour in rootful rootless; do
  out=$dir
  [[ $flavour == rootless ]] && out=$dir-rootless
  cmake -S . -B "$out" -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/iphoneos.cmake \
    -DQUELLINE_JAILBREAK=$flavour \
    -DQUELLINE_PANE_SPECIFIERS="$(realpath "$dir/host-tools/Root.plist")" "${launcher[@]}" >/dev/null
  cmake --build "$out"
  ls "$out"/*.deb
done
