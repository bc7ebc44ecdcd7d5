# Fails when any source under the project's own folders is not formatted
# as .clang-format says. Called with -DCLANG_FORMAT=... -DROOT=...
file(GLOB_RECURSE sources
     ${ROOT}/host/*.h ${ROOT}/host/*.cpp ${ROOT}/prefs/*.h ${ROOT}/prefs/*.cpp
     ${ROOT}/core/*.h ${ROOT}/core/*.cpp ${ROOT}/notifications/*.cpp
     ${ROOT}/homescreen/*.cpp ${ROOT}/module/*.cpp ${ROOT}/sim/*.h ${ROOT}/sim/*.cpp
     ${ROOT}/tools/*.h ${ROOT}/tools/*.cpp ${ROOT}/tests/*.h ${ROOT}/tests/*.cpp
     ${ROOT}/bench/*.h ${ROOT}/bench/*.cpp)
execute_process(COMMAND ${CLANG_FORMAT} --dry-run -Werror ${sources}
                RESULT_VARIABLE result ERROR_VARIABLE errors)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "not formatted (run clang-format -i on these):\n${errors}")
endif()
