# The platform knows nothing of the system it hosts: fails when a source
# under ROOT/host includes a header of the logic (prefs/, core/,
# notifications/, homescreen/, module/).
file(GLOB_RECURSE sources "${ROOT}/host/*.h" "${ROOT}/host/*.hpp" "${ROOT}/host/*.c"
     "${ROOT}/host/*.cpp" "${ROOT}/host/*.m" "${ROOT}/host/*.mm")
set(found "")
foreach(source IN LISTS sources)
  file(STRINGS "${source}" lines REGEX "^[ \t]*#[ \t]*(include|import)[ \t]*[\"<]")
  foreach(line IN LISTS lines)
    if(line MATCHES "[\"<](\\.\\./)*(prefs|core|notifications|homescreen|module)/")
      string(APPEND found "\n  ${source}: ${line}")
    endif()
  endforeach()
endforeach()
if(found)
  message(FATAL_ERROR "the platform includes headers of the system it hosts:${found}")
endif()
list(LENGTH sources count)
message(STATUS "${count} platform sources include nothing of the logic")
