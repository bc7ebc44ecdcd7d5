# Cross build of the two deliverables and their package for iPhone: arm64,
# iOS 11.0 and later. No SDK: the Darwin side of the platform contract
# declares what it calls, and host/darwin/stubs names the libraries.
#
#   cmake -S . -B build/device -G Ninja \
#         -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/iphoneos.cmake
set(CMAKE_SYSTEM_NAME Darwin)
set(CMAKE_SYSTEM_PROCESSOR arm64)
include(${CMAKE_CURRENT_LIST_DIR}/../DeviceVersions.cmake)
# Nothing of the platform is on this machine: try-compiles stop at objects.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)

if(CMAKE_HOST_APPLE)
  # Apple's clang and ld64 also produce the arm64e slice (pointer
  # authentication), which the A12 and later home screens need.
  set(CMAKE_C_COMPILER clang)
  set(CMAKE_CXX_COMPILER clang++)
  set(CMAKE_OSX_ARCHITECTURES "arm64;arm64e" CACHE STRING "")
  set(target_flags "-miphoneos-version-min=${QUELLINE_MINIMUM_OS}")
  set(link_flags "")
else()
  # Debian: clang and ld64.lld of LLVM 14. arm64 only: this clang signs no
  # pointers, so it cannot make a usable arm64e slice.
  find_program(QUELLINE_DEVICE_CLANG NAMES clang-14 clang REQUIRED)
  find_program(QUELLINE_DEVICE_CLANGXX NAMES clang++-14 clang++ REQUIRED)
  find_program(QUELLINE_LD64 NAMES ld64.lld-14 ld64.lld
               PATHS /usr/lib/llvm-14/bin REQUIRED)
  set(CMAKE_C_COMPILER ${QUELLINE_DEVICE_CLANG})
  set(CMAKE_CXX_COMPILER ${QUELLINE_DEVICE_CLANGXX})
  set(CMAKE_C_COMPILER_TARGET arm64-apple-ios${QUELLINE_MINIMUM_OS})
  set(CMAKE_CXX_COMPILER_TARGET arm64-apple-ios${QUELLINE_MINIMUM_OS})
  set(target_flags "")
  # A linker version of today's ld64 makes clang state the platform with
  # -platform_version, which ld64.lld requires.
  set(link_flags "-fuse-ld=lld --ld-path=${QUELLINE_LD64} -mlinker-version=711 -Wl,-platform_version,ios,${QUELLINE_MINIMUM_OS},${QUELLINE_SDK_VERSION}")
endif()

set(CMAKE_C_FLAGS_INIT "${target_flags}")
set(CMAKE_CXX_FLAGS_INIT "${target_flags}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${link_flags}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${link_flags}")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${link_flags}")
