# The portable logic and the platform contract must build without any
# library: clang, freestanding, no exceptions, no RTTI. Every source named
# here becomes part of one CTest test.
find_program(QUELLINE_CLANGXX NAMES clang++ clang++-14 REQUIRED)
set(QUELLINE_FREESTANDING_SOURCES "" CACHE INTERNAL "")

function(quelline_freestanding)
  foreach(source IN LISTS ARGN)
    get_filename_component(absolute "${source}" ABSOLUTE)
    set(QUELLINE_FREESTANDING_SOURCES "${QUELLINE_FREESTANDING_SOURCES};${absolute}" CACHE INTERNAL "")
  endforeach()
endfunction()

function(quelline_add_freestanding_test)
  set(flags -ffreestanding -nostdinc++ -nostdlibinc -fno-exceptions -fno-rtti -std=c++20
            -Wall -Wextra -Werror -I${PROJECT_SOURCE_DIR}/host/include -I${PROJECT_SOURCE_DIR})
  add_test(NAME freestanding.logic
           COMMAND ${CMAKE_COMMAND} -DCLANGXX=${QUELLINE_CLANGXX} "-DFLAGS=${flags}"
                   "-DSOURCES=${QUELLINE_FREESTANDING_SOURCES}"
                   -DOUT=${CMAKE_BINARY_DIR}/freestanding
                   -P ${PROJECT_SOURCE_DIR}/cmake/FreestandingCheck.cmake)
endfunction()

# A deliverable: portable logic only, no exceptions or RTTI, linked against
# the platform and nothing else: the stand-in here, the device's libraries
# in the device build (host/darwin), with the options of
# quelline_device_deliverable after the target.
function(quelline_deliverable target)
  target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR})
  target_compile_options(${target} PRIVATE -fno-exceptions -fno-rtti -fno-threadsafe-statics
                                           -fvisibility=hidden)
  if(APPLE)
    quelline_device_deliverable(${target} ${ARGN})
    return()
  endif()
  target_link_libraries(${target} PRIVATE quelline_host)
  # GCC's -fno-gnu-unique lets a restarted process load it afresh, with its
  # state back at zero (clang makes no unique symbols and knows no such
  # option).
  target_compile_options(${target} PRIVATE $<$<CXX_COMPILER_ID:GNU>:-fno-gnu-unique>)
  target_link_options(${target} PRIVATE LINKER:--no-undefined LINKER:--as-needed)
  set_target_properties(${target} PROPERTIES PREFIX "" SUFFIX ".so")
endfunction()
