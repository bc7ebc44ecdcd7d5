# The systems the device deliverables are built for, in one place: read by
# the toolchain (cmake/toolchains/iphoneos.cmake: the load command's minimum
# OS and SDK) and by the build (the toggle's Info.plist MinimumOSVersion, the
# package's firmware range), on the device build and this one alike.
set(QUELLINE_MINIMUM_OS 11.0 CACHE STRING "Oldest iOS version the deliverables load on")
# The hooked classes are those of iOS 11 and 12; 13 restructured them.
set(QUELLINE_FIRST_UNSERVED_OS 13.0 CACHE STRING "First iOS version the package refuses")
set(QUELLINE_SDK_VERSION 12.2 CACHE STRING "iOS version whose host classes are hooked")
