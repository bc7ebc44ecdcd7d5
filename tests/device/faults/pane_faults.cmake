# Broken builds of the settings pane and of its place in the package, each
# for the device checks to catch (included by CMakeLists.txt here, built by
# the `faults` target into ${faults}/FAULT/):
#   pane-dylib              the pane linked as a library (MH_DYLIB), not a bundle
#   pane-strong-app-lists   libsparkapplist linked required, not weak
#   pane-dynamic-lookup     linked -undefined dynamic_lookup, CoreFoundation's
#                           stub left out
#   pane-dead-strip-dylibs  linked -dead_strip_dylibs: the libraries nothing is
#                           imported from (Preferences among them) dropped
#   pane-wrong-principal    Info.plist names a class the executable never makes
#   pane-reads-cfprefs      the file reader added under another selector, so
#                           Settings' own readPreferenceValue: (cfprefsd) answers
#   pane-open-not-variadic  open(2) declared with a fixed mode argument
#   pane-not-atomic         the file written in place, not atomically
#   pane-posts-domain       a change posts the domain's name, not ReloadPrefs
#   pane-writes-non-dictionary  a file that holds no dictionary is written over
#   entry-not-controller    Settings' entry without isController
#   package-without-pane    the package as it was before the pane
#   pane-title-value-switch the switches written as PSTitleValueCell (read-only)
#   pane-detail-unknown     the clock rows' detail naming no class
#   pane-no-valid-titles    the clock rows' validTitles dropped, validValues kept
#   pane-equal-times        the refusal of a quiet-hours start equal to the end removed
#   pane-specifiers-unretained  the loaded specifiers stored without a retain
#   pane-editor-released-twice  the app-list editor released once too often
get_target_property(pane_sources QuellinePrefs SOURCES)
set(pane_bundle_files ${CMAKE_LIBRARY_OUTPUT_DIRECTORY}/QuellinePrefs.bundle)

# The executable of target into ${faults}/FAULT/QuellinePrefs.bundle, with
# the bundle's other files as built (or INFO as its Info.plist, ROOT as its
# Root.plist).
function(pane_fault fault target)
  cmake_parse_arguments(arg "" "INFO;ROOT" "" ${ARGN})
  set(folder ${faults}/${fault}/QuellinePrefs.bundle)
  set_target_properties(${target} PROPERTIES OUTPUT_NAME QuellinePrefs PREFIX "" SUFFIX ""
                                             LIBRARY_OUTPUT_DIRECTORY ${folder})
  if(NOT arg_INFO)
    set(arg_INFO ${PROJECT_SOURCE_DIR}/pane/Info.plist.in)
  endif()
  configure_file(${arg_INFO} ${folder}/Info.plist @ONLY)
  if(NOT arg_ROOT)
    set(arg_ROOT ${QUELLINE_PANE_ROOT_PLIST})
  endif()
  configure_file(${arg_ROOT} ${folder}/Root.plist COPYONLY)
  foreach(icon icon.png icon@2x.png icon@3x.png)
    configure_file(${PROJECT_SOURCE_DIR}/pane/${icon} ${folder}/${icon} COPYONLY)
  endforeach()
endfunction()

# Sources of the pane with one of them replaced by a faulty copy.
function(pane_sources_with original copy out)
  set(sources ${pane_sources})
  list(FILTER sources EXCLUDE REGEX "/${original}$")
  set(${out} ${sources} ${copy} PARENT_SCOPE)
endfunction()

# The broken panes built with the fault's own broken copy of the pane's
# source `original` (a file name), one for each fault named after it.
function(pane_faults_with original)
  foreach(fault IN LISTS ARGN)
    pane_sources_with(${original} ${CMAKE_CURRENT_BINARY_DIR}/${fault}/${original} sources)
    add_library(QuellinePrefs.${fault} MODULE EXCLUDE_FROM_ALL ${sources})
    quelline_deliverable(QuellinePrefs.${fault} LIKE QuellinePrefs)
    pane_fault(${fault} QuellinePrefs.${fault})
  endforeach()
endfunction()

add_library(QuellinePrefs.pane-dylib SHARED EXCLUDE_FROM_ALL ${pane_sources})
quelline_deliverable(QuellinePrefs.pane-dylib LIKE QuellinePrefs)
pane_fault(pane-dylib QuellinePrefs.pane-dylib)

add_library(QuellinePrefs.pane-strong-app-lists MODULE EXCLUDE_FROM_ALL ${pane_sources})
quelline_deliverable(QuellinePrefs.pane-strong-app-lists LIKE QuellinePrefs
                     LIBRARIES libsparkapplist ${QUELLINE_LIBS_QuellinePrefs} WEAK_LIBRARIES)
pane_fault(pane-strong-app-lists QuellinePrefs.pane-strong-app-lists)

set(libraries ${QUELLINE_LIBS_QuellinePrefs})
list(REMOVE_ITEM libraries CoreFoundation)
add_library(QuellinePrefs.pane-dynamic-lookup MODULE EXCLUDE_FROM_ALL ${pane_sources})
quelline_deliverable(QuellinePrefs.pane-dynamic-lookup LIKE QuellinePrefs LIBRARIES ${libraries}
                     OPTIONS LINKER:-undefined,dynamic_lookup)
pane_fault(pane-dynamic-lookup QuellinePrefs.pane-dynamic-lookup)

add_library(QuellinePrefs.pane-dead-strip-dylibs MODULE EXCLUDE_FROM_ALL ${pane_sources})
quelline_deliverable(QuellinePrefs.pane-dead-strip-dylibs LIKE QuellinePrefs
                     OPTIONS LINKER:-dead_strip_dylibs)
pane_fault(pane-dead-strip-dylibs QuellinePrefs.pane-dead-strip-dylibs)

faulty_copy(${PROJECT_SOURCE_DIR}/pane/Info.plist.in "<string>QuellinePrefsRootListController<"
            "<string>QuellinePrefsListController<"
            ${CMAKE_CURRENT_BINARY_DIR}/pane-wrong-principal/Info.plist.in)
add_library(QuellinePrefs.pane-wrong-principal MODULE EXCLUDE_FROM_ALL ${pane_sources})
quelline_deliverable(QuellinePrefs.pane-wrong-principal LIKE QuellinePrefs)
pane_fault(pane-wrong-principal QuellinePrefs.pane-wrong-principal
           INFO ${CMAKE_CURRENT_BINARY_DIR}/pane-wrong-principal/Info.plist.in)

set(controller ${PROJECT_SOURCE_DIR}/pane/root_list_controller.cpp)
faulty_copy(${controller} "sel(\"readPreferenceValue:\")" "sel(\"readPreferenceValueFromFile:\")"
            ${CMAKE_CURRENT_BINARY_DIR}/pane-reads-cfprefs/root_list_controller.cpp)
faulty_copy(${controller} "CFSTR(QUELLINE_RELOAD_PREFS)" "CFSTR(QUELLINE_DOMAIN)"
            ${CMAKE_CURRENT_BINARY_DIR}/pane-posts-domain/root_list_controller.cpp)
pane_faults_with(root_list_controller.cpp pane-reads-cfprefs pane-posts-domain)

set(change ${PROJECT_SOURCE_DIR}/prefs/preference_change.cpp)
faulty_copy(${change} "NSDataWritingAtomic," "0,"
            ${CMAKE_CURRENT_BINARY_DIR}/pane-not-atomic/preference_change.cpp)
faulty_copy(${change} "      state_ = State::NotDictionary;\n      return;\n" ""
            ${CMAKE_CURRENT_BINARY_DIR}/pane-writes-non-dictionary/preference_change.cpp)
pane_faults_with(preference_change.cpp pane-not-atomic pane-writes-non-dictionary)

add_library(QuellinePrefs.pane-open-not-variadic MODULE EXCLUDE_FROM_ALL ${pane_sources})
quelline_deliverable(QuellinePrefs.pane-open-not-variadic LIKE QuellinePrefs
                     SHIMS quelline_darwin.open-not-variadic)
pane_fault(pane-open-not-variadic QuellinePrefs.pane-open-not-variadic)

# Rows the Settings app would refuse to make or to change.
set(root_faults pane-title-value-switch pane-detail-unknown pane-no-valid-titles)
faulty_copy(${QUELLINE_PANE_ROOT_PLIST} "<string>PSSwitchCell</string>"
            "<string>PSTitleValueCell</string>"
            ${CMAKE_CURRENT_BINARY_DIR}/pane-title-value-switch/Root.plist)
faulty_copy(${QUELLINE_PANE_ROOT_PLIST} "<string>PSListItemsController</string>"
            "<string>QuellineTimeListController</string>"
            ${CMAKE_CURRENT_BINARY_DIR}/pane-detail-unknown/Root.plist)
faulty_copy(${QUELLINE_PANE_ROOT_PLIST} "<key>validTitles</key>" "<key>titlesOfValues</key>"
            ${CMAKE_CURRENT_BINARY_DIR}/pane-no-valid-titles/Root.plist)
foreach(fault IN LISTS root_faults)
  add_library(QuellinePrefs.${fault} MODULE EXCLUDE_FROM_ALL ${pane_sources})
  quelline_deliverable(QuellinePrefs.${fault} LIKE QuellinePrefs)
  pane_fault(${fault} QuellinePrefs.${fault} ROOT ${CMAKE_CURRENT_BINARY_DIR}/${fault}/Root.plist)
endforeach()

faulty_copy(${controller} "for (const DifferentKeys& pair : kDifferentKeys) {\n"
            "for (const DifferentKeys& pair : kDifferentKeys) {\n    break;\n"
            ${CMAKE_CURRENT_BINARY_DIR}/pane-equal-times/root_list_controller.cpp)
# Reference counting: what the pane keeps it must retain, and what it owns
# it releases once.
faulty_copy(${controller} "*slot = objc_retain(loaded);" "*slot = loaded;"
            ${CMAKE_CURRENT_BINARY_DIR}/pane-specifiers-unretained/root_list_controller.cpp)
faulty_copy(${controller} "  NSObject::release(editor);\n"
            "  NSObject::release(editor);\n  NSObject::release(editor);\n"
            ${CMAKE_CURRENT_BINARY_DIR}/pane-editor-released-twice/root_list_controller.cpp)
set(controller_faults pane-equal-times pane-specifiers-unretained pane-editor-released-twice)
pane_faults_with(root_list_controller.cpp ${controller_faults})

faulty_copy(${PROJECT_SOURCE_DIR}/pane/Quelline.plist "\t\t<key>isController</key>\n\t\t<true/>\n"
            "" ${faults}/entry-not-controller/Quelline.plist)

# The package as built, from the packaging script as it was before the pane.
set(script ${CMAKE_CURRENT_BINARY_DIR}/package-without-pane/BuildPackage.cmake)
set(copies "file(COPY \${PANE} DESTINATION \${pane_bundles})\n")
string(APPEND copies "file(COPY \${ENTRY} DESTINATION \${entries})\n")
faulty_copy(${PROJECT_SOURCE_DIR}/package/BuildPackage.cmake "${copies}" "" ${script})
set(without_pane ${faults}/package-without-pane/package.deb)
add_custom_command(
  OUTPUT ${without_pane}
  COMMAND ${CMAKE_COMMAND} -DDPKG_DEB=${QUELLINE_DPKG_DEB}
          -DSTAGE=${CMAKE_CURRENT_BINARY_DIR}/package-without-pane/root
          -DCONTROL=${PROJECT_BINARY_DIR}/package/control
          -DLIBRARY=$<TARGET_FILE:Quelline> -DFILTER=${PROJECT_SOURCE_DIR}/package/Quelline.plist
          -DBUNDLE=$<TARGET_FILE_DIR:QuellineModule> -DOUT=${without_pane} -P ${script}
  DEPENDS Quelline QuellineModule ${script})

set(pane_faults "")
foreach(fault pane-dylib pane-strong-app-lists pane-dynamic-lookup pane-dead-strip-dylibs
              pane-wrong-principal
              pane-reads-cfprefs pane-posts-domain pane-not-atomic pane-writes-non-dictionary
              pane-open-not-variadic ${root_faults} ${controller_faults})
  list(APPEND pane_faults QuellinePrefs.${fault})
endforeach()
list(APPEND pane_faults ${without_pane})
