# The installed form of the program: one relocatable tree
#   bin/talvo
#   share/applications/pro.talvo.recorder.desktop
#   share/icons/hicolor/scalable/apps/pro.talvo.recorder.svg
# laid out by `cmake --install`, and the release archive TALVO-<version>-linux-<arch>.tar.gz of
# that tree made by `cpack` (into <build>/packages/). scripts/install and the updater install it
# the same way (app/updates/install_tree.h).

# Base64 of the Ed25519 public key that signs release archives. A value that does not decode to
# exactly 32 bytes leaves the updater inert.
set(TALVO_UPDATE_PUBLIC_KEY "" CACHE STRING "Base64 Ed25519 public key of release archives (empty: no updates)")
if(TARGET talvo_app)
  # Only the file that reads it is rebuilt when the key changes.
  set_property(SOURCE ${CMAKE_SOURCE_DIR}/app/updates/updater_configuration.cpp TARGET_DIRECTORY talvo_app
               APPEND PROPERTY COMPILE_DEFINITIONS "TALVO_UPDATE_PUBLIC_KEY=\"${TALVO_UPDATE_PUBLIC_KEY}\"")
endif()

# `install` and `package` need only what they install, not every test and tool.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)
if(TARGET talvo)
  install(TARGETS talvo RUNTIME DESTINATION bin)
endif()
install(FILES ${CMAKE_SOURCE_DIR}/app/share/pro.talvo.recorder.desktop DESTINATION share/applications)
install(FILES ${CMAKE_SOURCE_DIR}/app/icons/talvo.svg DESTINATION share/icons/hicolor/scalable/apps
        RENAME pro.talvo.recorder.svg)
# The one-colour logo doubles as the symbolic icon tray hosts recolour for their bar.
install(FILES ${CMAKE_SOURCE_DIR}/app/icons/talvo.svg DESTINATION share/icons/hicolor/symbolic/apps
        RENAME pro.talvo.recorder-symbolic.svg)

# The architecture names of the release archives: x86_64, aarch64…
string(TOLOWER "${CMAKE_SYSTEM_PROCESSOR}" TALVO_ARCHITECTURE)
if(TALVO_ARCHITECTURE STREQUAL "amd64")
  set(TALVO_ARCHITECTURE x86_64)
elseif(TALVO_ARCHITECTURE STREQUAL "arm64")
  set(TALVO_ARCHITECTURE aarch64)
endif()
set(CPACK_GENERATOR TGZ)
set(CPACK_PACKAGE_NAME TALVO)
set(CPACK_PACKAGE_VENDOR TALVO)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME "TALVO-${PROJECT_VERSION}-linux-${TALVO_ARCHITECTURE}")
# The archive holds the tree itself (bin/, share/), not a folder around it.
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
set(CPACK_SOURCE_IGNORE_FILES "/build" "/\\\\.git/")
include(CPack)

# scripts/install run twice on a fresh data home: a production build installed, then upgraded
# in place (slow: it makes its own production build, so only in the plain build's run).
if(TARGET talvo AND TALVO_SANITIZE STREQUAL "")
  add_test(NAME install_script
           COMMAND ${CMAKE_SOURCE_DIR}/app/tests/install_script_test.sh ${CMAKE_BINARY_DIR}/install-script-production)
  set_tests_properties(install_script PROPERTIES LABELS install_script TIMEOUT 3600)
endif()
