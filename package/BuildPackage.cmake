# Lays out the package's files with their modes in STAGE (under PREFIX, the
# jailbreak's root: empty, or /var/jb) and builds OUT
# with dpkg-deb, owned by root: the library and its filter, the toggle's
# bundle (BUNDLE), the settings pane's bundle (PANE) and its entry in
# Settings' list (ENTRY).
set(substrate ${STAGE}${PREFIX}/Library/MobileSubstrate/DynamicLibraries)
set(bundles ${STAGE}${PREFIX}/Library/ControlCenter/Bundles)
set(pane_bundles ${STAGE}${PREFIX}/Library/PreferenceBundles)
set(entries ${STAGE}${PREFIX}/Library/PreferenceLoader/Preferences)
file(REMOVE_RECURSE ${STAGE})
file(MAKE_DIRECTORY ${STAGE}/DEBIAN ${substrate} ${bundles} ${pane_bundles} ${entries})
file(COPY ${CONTROL} DESTINATION ${STAGE}/DEBIAN)
file(COPY ${LIBRARY} ${FILTER} DESTINATION ${substrate})
file(COPY ${BUNDLE} DESTINATION ${bundles})
file(COPY ${PANE} DESTINATION ${pane_bundles})
file(COPY ${ENTRY} DESTINATION ${entries})

# Executables 0755, everything else 0644, folders 0755, whatever the umask.
file(GLOB_RECURSE files LIST_DIRECTORIES true ${STAGE}/*)
foreach(path IN LISTS files)
  get_filename_component(name ${path} NAME)
  if(IS_DIRECTORY ${path} OR name MATCHES "^(Quelline\\.dylib|QuellineModule|QuellinePrefs)$")
    file(CHMOD ${path} PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
         GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
  else()
    file(CHMOD ${path} PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  endif()
endforeach()
file(CHMOD ${STAGE} ${STAGE}/DEBIAN PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
     GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

# gzip: the dpkg of the jailbreaks of that generation reads it.
execute_process(COMMAND ${DPKG_DEB} --root-owner-group -Zgzip --build ${STAGE} ${OUT}
                RESULT_VARIABLE result OUTPUT_QUIET ERROR_VARIABLE errors)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "dpkg-deb failed:\n${errors}")
endif()
