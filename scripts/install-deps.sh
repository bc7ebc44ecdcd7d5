#!/usr/bin/env bash
# Installs the Debian packages that building and testing need, where missing.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config clang clang-format
  libclang-rt-14-dev                # libFuzzer, for the fuzz targets
  libplist-dev libplist++-dev       # property-list files, XML and binary
  libgtest-dev libgmock-dev         # unit tests
  libbenchmark-dev                  # benchmarks
  libcli11-dev                      # command lines of the programs
  nlohmann-json3-dev                # JSON output
  jq                                # the README's example; checks the --json records
  libcpp-httplib-dev                # the live phone's HTTP server
  chromium chromium-driver python3-selenium  # browser tests of the HTML pages
  fonts-dejavu-core                 # a font for the pages Chromium draws
  lld                               # ld64.lld: links the device's Mach-O files
  python3 python3-unicorn           # the device checks; runs their arm64 code
  tzdata                            # the modeled device's time zones
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
