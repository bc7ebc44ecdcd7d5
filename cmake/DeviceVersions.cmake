# The systems the device deliverables are built for, in one place: read by
# the toolchain (cmake/toolchains/iphoneos.cmake: the load command's minimum
# OS and SDK) and by the build (the toggle's Info.plist MinimumOSVersion, the
# package's firmware range, its architecture and where its files go), on the
# device build and this one alike. One flavour per build folder:
# - rootful: iOS 11 and 12, files under / (the jailbreaks of that
#   generation), package architecture iphoneos-arm;
# - rootless: iOS 15 and 16, files under /var/jb (palera1n, Dopamine),
#   package architecture iphoneos-arm64, the jailbreak's libraries loaded
#   through @rpath.
# The library serves both home screens; the flavour decides the package.
set(QUELLINE_JAILBREAK rootful CACHE STRING "The package's flavour: rootful or rootless")
set_property(CACHE QUELLINE_JAILBREAK PROPERTY STRINGS rootful rootless)
if(QUELLINE_JAILBREAK STREQUAL "rootful")
  set(minimum 11.0)
  # The hooked classes of iOS 11 and 12; 13 restructured them.
  set(unserved 13.0)
  set(sdk 12.2)
  set(QUELLINE_JAILBREAK_ROOT "")
  set(QUELLINE_PACKAGE_ARCHITECTURE iphoneos-arm)
elseif(QUELLINE_JAILBREAK STREQUAL "rootless")
  # The rootless jailbreaks start at iOS 15.0; the hooked classes are
  # those of iOS 15 and 16.
  set(minimum 15.0)
  set(unserved 17.0)
  set(sdk 16.0)
  set(QUELLINE_JAILBREAK_ROOT /var/jb)
  set(QUELLINE_PACKAGE_ARCHITECTURE iphoneos-arm64)
else()
  message(FATAL_ERROR "QUELLINE_JAILBREAK is '${QUELLINE_JAILBREAK}'; expected rootful or rootless")
endif()
set(QUELLINE_MINIMUM_OS ${minimum} CACHE STRING "Oldest iOS version the deliverables load on")
set(QUELLINE_FIRST_UNSERVED_OS ${unserved} CACHE STRING "First iOS version the package refuses")
set(QUELLINE_SDK_VERSION ${sdk} CACHE STRING "iOS version whose host classes are hooked")
# Where a rootless jailbreak keeps its libraries: the deliverables' LC_RPATH
# entries, through which @rpath/CydiaSubstrate.framework/CydiaSubstrate and
# @rpath/libsparkapplist.dylib are found.
set(QUELLINE_RPATHS "")
if(QUELLINE_JAILBREAK_ROOT)
  set(QUELLINE_RPATHS ${QUELLINE_JAILBREAK_ROOT}/Library/Frameworks ${QUELLINE_JAILBREAK_ROOT}/usr/lib)
endif()
