# Runs at install time (cmake --install, cpack), after bin/talvo and the Qt plugins are in place:
# copies every library they need beyond the desktop's base into lib/ (under its soname, the file
# itself, not a link), and gives the program, the copies and the plugins a RUNPATH that finds lib/.
# Inputs: TALVO_DESKTOP_BASE (regular expressions of the base's library names), TALVO_QT_PLUGINS
# (paths under plugins/), TALVO_PATCHELF.
set(tree "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}")
if(NOT TALVO_PATCHELF)
  message(FATAL_ERROR "patchelf is needed to make the release tree (scripts/bootstrap installs it)")
endif()
set(modules "")
foreach(plugin ${TALVO_QT_PLUGINS})
  list(APPEND modules "${tree}/plugins/${plugin}")
endforeach()
file(GET_RUNTIME_DEPENDENCIES
     EXECUTABLES "${tree}/bin/talvo"
     MODULES ${modules}
     RESOLVED_DEPENDENCIES_VAR resolved
     UNRESOLVED_DEPENDENCIES_VAR unresolved
     PRE_EXCLUDE_REGEXES ${TALVO_DESKTOP_BASE})
if(unresolved)
  message(FATAL_ERROR "libraries not found: ${unresolved}")
endif()
file(MAKE_DIRECTORY "${tree}/lib")
foreach(library ${resolved})
  get_filename_component(name "${library}" NAME)
  get_filename_component(real "${library}" REALPATH)
  file(COPY_FILE "${real}" "${tree}/lib/${name}")
  file(CHMOD "${tree}/lib/${name}" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  execute_process(COMMAND "${TALVO_PATCHELF}" --set-rpath "$ORIGIN" "${tree}/lib/${name}"
                  COMMAND_ERROR_IS_FATAL ANY)
endforeach()
execute_process(COMMAND "${TALVO_PATCHELF}" --set-rpath "$ORIGIN/../lib" "${tree}/bin/talvo" COMMAND_ERROR_IS_FATAL ANY)
foreach(module ${modules})
  execute_process(COMMAND "${TALVO_PATCHELF}" --set-rpath "$ORIGIN/../../lib" "${module}" COMMAND_ERROR_IS_FATAL ANY)
endforeach()
list(LENGTH resolved count)
message(STATUS "Bundled ${count} libraries into ${tree}/lib")
