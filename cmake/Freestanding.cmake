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
