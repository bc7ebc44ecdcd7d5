# Runs one scenario through quelline-sim and checks what its header comments
# declare. Called as:
#   cmake -DSIM=<quelline-sim> -DSCENARIO=<file.scn> -DROOT=<fresh folder> -P run_scenario.cmake
# with -DSIM_OPTIONS=<a;list> for options given before the file's own (the
# same scenario on another modeled system, say: --ios;16).
#
# Header comments (lines of the scenario; each may repeat unless noted):
#   # expect-exit: N               exit status (default 0; once)
#   # expect-stdout: REGEX         standard output matches REGEX
#   # expect-stdout-not: REGEX     standard output does not match REGEX
#   # expect-stderr: REGEX         standard error matches REGEX
#   # expect-stderr-not: REGEX     standard error does not match REGEX
#   # expect-file: PATH REGEX      the device file PATH exists and matches REGEX
#   # expect-file-not: PATH REGEX  the device file PATH does not match REGEX
#   # expect-no-file: PATH         the device file PATH does not exist
#   # make-folder: PATH            the device folder PATH is made before the run
#   # args: OPTIONS                options given before `run` (once)
#   # stdin: true                  the scenario is fed on standard input to `run -` (once)
#   # cli: ARGUMENTS               the command line instead of `run FILE` (once; with
#                                  `# stdin: true` the scenario is still fed on standard input)
#   # disabled: REASON             the test is registered but not run (see CMakeLists.txt)
# REGEX is a CMake regular expression, in which \n and \t stand for a newline
# and a tab: `.` matches any character, newlines included; `^` and `$` match
# at the ends of the whole text only, so `(^|\n)` starts a line. --root ROOT always comes first on the command line.
cmake_minimum_required(VERSION 3.25)

foreach(var SIM SCENARIO ROOT)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "run_scenario.cmake: -D${var}=... is required")
  endif()
endforeach()

file(READ "${SCENARIO}" text)
get_filename_component(folder "${SCENARIO}" DIRECTORY)

# The header lines, one at a time (not as a CMake list: a regex may hold
# brackets or semicolons).
set(exit_code 0)
set(args "")
set(cli "")
set(has_cli FALSE)
set(use_stdin FALSE)
set(checks_count 0)
set(folders "")
set(rest "${text}")
while(NOT rest STREQUAL "")
  string(FIND "${rest}" "\n" newline)
  if(newline EQUAL -1)
    set(line "${rest}")
    set(rest "")
  else()
    string(SUBSTRING "${rest}" 0 ${newline} line)
    math(EXPR next "${newline} + 1")
    string(SUBSTRING "${rest}" ${next} -1 rest)
  endif()
  if(NOT line MATCHES "^# ([a-z-]+): ?(.*)$")
    continue()
  endif()
  set(key "${CMAKE_MATCH_1}")
  set(value "${CMAKE_MATCH_2}")
  # CMake regular expressions know no escapes for control characters.
  string(REPLACE "\\n" "\n" value "${value}")
  string(REPLACE "\\t" "\t" value "${value}")
  if(key STREQUAL "expect-exit")
    set(exit_code "${value}")
  elseif(key STREQUAL "args")
    separate_arguments(args UNIX_COMMAND "${value}")
  elseif(key STREQUAL "cli")
    separate_arguments(cli UNIX_COMMAND "${value}")
    set(has_cli TRUE)
  elseif(key STREQUAL "stdin")
    set(use_stdin "${value}")
  elseif(key MATCHES "^expect-(stdout|stdout-not|stderr|stderr-not|file|file-not|no-file)$")
    math(EXPR checks_count "${checks_count} + 1")
    set(check_kind_${checks_count} "${key}")
    set(check_value_${checks_count} "${value}")
  elseif(key STREQUAL "make-folder")
    list(APPEND folders "${value}")
  elseif(key STREQUAL "disabled")
    # Honoured at registration.
  endif()
endwhile()

file(REMOVE_RECURSE "${ROOT}")
foreach(made IN LISTS folders)
  file(MAKE_DIRECTORY "${ROOT}${made}")
endforeach()
if(has_cli)
  set(command "${SIM}" --root "${ROOT}" ${SIM_OPTIONS} ${args} ${cli})
elseif(use_stdin)
  set(command "${SIM}" --root "${ROOT}" ${SIM_OPTIONS} ${args} run -)
else()
  set(command "${SIM}" --root "${ROOT}" ${SIM_OPTIONS} ${args} run "${SCENARIO}")
endif()

if(use_stdin)
  execute_process(COMMAND ${command} INPUT_FILE "${SCENARIO}" WORKING_DIRECTORY "${folder}"
                  RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
else()
  execute_process(COMMAND ${command} INPUT_FILE /dev/null WORKING_DIRECTORY "${folder}"
                  RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
endif()

set(failures "")
function(failure text)
  set(failures "${failures}  ${text}\n" PARENT_SCOPE)
endfunction()

if(NOT status STREQUAL exit_code)
  failure("exit status ${status}, expected ${exit_code}")
endif()

foreach(i RANGE 1 ${checks_count})
  if(checks_count EQUAL 0)
    break()
  endif()
  set(kind "${check_kind_${i}}")
  set(value "${check_value_${i}}")
  if(kind STREQUAL "expect-stdout")
    if(NOT out MATCHES "${value}")
      failure("standard output does not match: ${value}")
    endif()
  elseif(kind STREQUAL "expect-stdout-not")
    if(out MATCHES "${value}")
      failure("standard output matches: ${value}")
    endif()
  elseif(kind STREQUAL "expect-stderr")
    if(NOT err MATCHES "${value}")
      failure("standard error does not match: ${value}")
    endif()
  elseif(kind STREQUAL "expect-stderr-not")
    if(err MATCHES "${value}")
      failure("standard error matches: ${value}")
    endif()
  else()
    string(REGEX MATCH "^([^ ]+) ?(.*)$" _ "${value}")
    set(path "${ROOT}${CMAKE_MATCH_1}")
    set(pattern "${CMAKE_MATCH_2}")
    if(kind STREQUAL "expect-no-file")
      if(EXISTS "${path}")
        failure("${CMAKE_MATCH_1} exists")
      endif()
    elseif(NOT EXISTS "${path}")
      if(kind STREQUAL "expect-file")
        failure("${CMAKE_MATCH_1} does not exist")
      endif()
    else()
      file(READ "${path}" content)
      if(kind STREQUAL "expect-file" AND NOT content MATCHES "${pattern}")
        failure("${CMAKE_MATCH_1} does not match: ${pattern}\n--- ${CMAKE_MATCH_1}:\n${content}")
      elseif(kind STREQUAL "expect-file-not" AND content MATCHES "${pattern}")
        failure("${CMAKE_MATCH_1} matches: ${pattern}\n--- ${CMAKE_MATCH_1}:\n${content}")
      endif()
    endif()
  endif()
endforeach()

if(NOT failures STREQUAL "")
  list(JOIN command " " shown)
  message(FATAL_ERROR "${SCENARIO}:\n${failures}--- command: ${shown}\n"
                      "--- standard output:\n${out}--- standard error:\n${err}")
endif()
