# The installed form of the program: one relocatable, self-contained tree
#   bin/talvo, bin/qt.conf
#   lib/        every library the program needs beyond what every stock desktop has (below)
#   plugins/    the Qt plugins it loads: xcb, Wayland and offscreen platforms, xcb's GLX
#               integration, Wayland's xdg-shell and decorations, compose input, SVG image format
#               and icon engine
#   share/applications/pro.talvo.recorder.desktop
#   share/icons/hicolor/{scalable,symbolic}/apps/pro.talvo.recorder{,-symbolic}.svg
#   MANIFEST    every other file of the tree with its size and SHA-256 (written last)
# laid out by `cmake --install`, and the release archive TALVO-<version>-linux-<arch>.tar.gz made
# by `cpack` (into <build>/packages/), which holds the tree in one folder TALVO-<version>/.
# `talvo --install` installs exactly the manifest's files, and the updater installs the archive
# (app/updates/install_tree.h). Libraries are found through RUNPATH alone ($ORIGIN/../lib for
# the program, $ORIGIN for lib/, $ORIGIN/../../lib for plugins), plugins through qt.conf; no
# LD_LIBRARY_PATH, no wrapper.

# Base64 of the Ed25519 public key that signs release archives. A value that does not decode to
# exactly 32 bytes leaves the updater inert.
set(TALVO_UPDATE_PUBLIC_KEY "" CACHE STRING "Base64 Ed25519 public key of release archives (empty: no updates)")
if(TARGET talvo_app)
  # Only the files that read them are rebuilt when the key or the version changes.
  set_property(SOURCE ${CMAKE_SOURCE_DIR}/app/updates/updater_configuration.cpp TARGET_DIRECTORY talvo_app_updates
               APPEND PROPERTY COMPILE_DEFINITIONS "TALVO_UPDATE_PUBLIC_KEY=\"${TALVO_UPDATE_PUBLIC_KEY}\""
                                                   "TALVO_VERSION=\"${TALVO_RELEASE_VERSION}\"")
endif()
if(TARGET talvo)
  set_property(SOURCE ${CMAKE_SOURCE_DIR}/app/main.cpp TARGET_DIRECTORY talvo
               APPEND PROPERTY COMPILE_DEFINITIONS "TALVO_VERSION=\"${TALVO_RELEASE_VERSION}\"")
endif()

# `install` and `package` need only what they install, not every test and tool.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)
if(TARGET talvo)
  # No RUNPATH from CMake: it pads a build tree's path with colons to leave room for the install
  # path, and an empty entry makes the loader look for every library in the current directory
  # first. The bundle step gives the installed program its RUNPATH (cmake/TalvoBundle.cmake).
  install(TARGETS talvo RUNTIME DESTINATION bin)
  # What every stock desktop has, left out of lib/. The rule is evidence: a library is left to the
  # system only when its Debian package is in apt's fresh install of every Debian 12 desktop task
  # (GNOME, Xfce, KDE, MATE, Cinnamon, LXQt); scripts/check-desktop-libraries proves each release
  # archive against that, so a name here that some desktop lacks fails the test command. These are
  # the C and C++ runtimes, X11, the xcb extensions every X server's clients share (not xinput
  # nor the xcb-util helpers: Xfce, MATE and Cinnamon lack those), xkbcommon, libwayland's client
  # side, fontconfig and freetype, GL, D-Bus, GLib, libpulse, libsecret, GnuTLS, and what these
  # themselves need (zlib, libpng, brotli, bzip2, zstd, lz4, xz, libffi, libbsd/libmd, libuuid,
  # expat, PCRE2-8, libgcrypt, libsystemd, libcap, ICE/SM, GnuTLS's libidn2, libunistring, Nettle,
  # GMP, libtasn1, p11-kit). What the base needs is its own to bring, so it is left out before its
  # dependencies are looked at.
  set(TALVO_DESKTOP_BASE
      "^ld-linux" "^linux-vdso" "^lib(c|m|dl|rt|pthread|resolv|util|anl)\\.so"
      "^libstdc\\+\\+\\.so" "^libgcc_s\\.so"
      "^libX[A-Za-z0-9_-]*\\.so" "^libxcb\\.so"
      "^libxcb-(damage|dri2|dri3|glx|present|randr|render|shape|shm|sync|util|xfixes|xkb)\\.so"
      "^libxkbcommon" "^lib(ICE|SM)\\.so" "^libwayland-(client|cursor|egl)\\.so"
      "^libfontconfig\\.so" "^libfreetype\\.so"
      "^lib(GL|EGL|GLX|OpenGL|GLdispatch)\\.so"
      "^libdbus-1\\.so"
      "^lib(glib|gobject|gio|gmodule|gthread)-2\\.0\\.so"
      "^libpulse" "^libsecret-1\\.so" "^libgnutls\\.so\\.30"
      "^lib(z|png16|brotli[a-z]*|bz2|zstd|lz4|lzma|ffi|bsd|md|uuid|expat|pcre2-8|gcrypt|gpg-error|systemd|cap)\\.so"
      "^lib(idn2|unistring|nettle|hogweed|gmp|tasn1|p11-kit)\\.so")
  # The offscreen platform serves the self-check before an install (it needs no display). Wayland
  # through shared memory (no EGL): the xdg-shell windows every compositor offers, and drawn
  # decorations for compositors that draw none (Weston, GNOME).
  set(TALVO_QT_PLUGINS platforms/libqxcb.so platforms/libqoffscreen.so xcbglintegrations/libqxcb-glx-integration.so
      platforms/libqwayland-generic.so wayland-shell-integration/libxdg-shell.so
      wayland-decoration-client/libbradient.so
      platforminputcontexts/libcomposeplatforminputcontextplugin.so
      imageformats/libqsvg.so iconengines/libqsvgicon.so)
  # Qt's own plugin folder, as Qt6Core's package names it.
  set(qt_plugins "${QT6_INSTALL_PREFIX}/${QT6_INSTALL_PLUGINS}")
  foreach(plugin ${TALVO_QT_PLUGINS})
    set(source "${qt_plugins}/${plugin}")
    get_filename_component(directory ${plugin} DIRECTORY)
    install(FILES ${source} DESTINATION plugins/${directory})
  endforeach()
  install(FILES ${CMAKE_SOURCE_DIR}/cmake/qt.conf DESTINATION bin)
  find_program(TALVO_PATCHELF patchelf)
  install(CODE "
    set(TALVO_DESKTOP_BASE [=[${TALVO_DESKTOP_BASE}]=])
    set(TALVO_QT_PLUGINS [=[${TALVO_QT_PLUGINS}]=])
    set(TALVO_PATCHELF [=[${TALVO_PATCHELF}]=])
    include(\"${CMAKE_SOURCE_DIR}/cmake/TalvoBundle.cmake\")")
endif()
install(FILES ${CMAKE_SOURCE_DIR}/app/share/pro.talvo.recorder.desktop DESTINATION share/applications)
install(FILES ${CMAKE_SOURCE_DIR}/app/icons/talvo.svg DESTINATION share/icons/hicolor/scalable/apps
        RENAME pro.talvo.recorder.svg)
# The one-colour logo doubles as the symbolic icon tray hosts recolour for their bar.
install(FILES ${CMAKE_SOURCE_DIR}/app/icons/talvo.svg DESTINATION share/icons/hicolor/symbolic/apps
        RENAME pro.talvo.recorder-symbolic.svg)

# Last of all: the manifest of everything above, which --install and the updater hold the tree to.
install(CODE [=[
  set(tree "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}")
  file(GLOB_RECURSE files LIST_DIRECTORIES false RELATIVE "${tree}" "${tree}/*")
  list(REMOVE_ITEM files MANIFEST)
  list(SORT files)
  set(manifest "TALVO manifest 1\n")
  foreach(file ${files})
    file(SIZE "${tree}/${file}" size)
    file(SHA256 "${tree}/${file}" hash)
    string(APPEND manifest "${hash} ${size} ${file}\n")
  endforeach()
  file(WRITE "${tree}/MANIFEST" "${manifest}")
  list(LENGTH files count)
  message(STATUS "Manifest of ${count} files in ${tree}/MANIFEST")
]=])

set(CPACK_GENERATOR TGZ)
# No debugging symbols in what users download.
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_NAME TALVO)
set(CPACK_PACKAGE_VENDOR TALVO)
set(CPACK_PACKAGE_VERSION ${TALVO_RELEASE_VERSION})
set(CPACK_PACKAGE_FILE_NAME "TALVO-${TALVO_RELEASE_VERSION}-linux-${TALVO_ARCHITECTURE}")
# The archive holds one folder, TALVO-<version>/, with the tree in it: unpacked in a folder of
# other files (Downloads) it stays apart from them.
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
set(CPACK_PACKAGING_INSTALL_PREFIX "/TALVO-${TALVO_RELEASE_VERSION}")
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
set(CPACK_SOURCE_IGNORE_FILES "/build" "/\\\\.git/")
include(CPack)

# scripts/install run twice on a fresh data home: a production build installed, then upgraded
# in place (slow: it makes its own production build, so only in the plain build's run).
if(TARGET talvo AND TALVO_WITH_TESTS AND TALVO_SANITIZE STREQUAL "")
  add_test(NAME install_script
           COMMAND ${CMAKE_SOURCE_DIR}/app/tests/install_script_test.sh ${CMAKE_BINARY_DIR}/install-script-production)
  set_tests_properties(install_script PROPERTIES LABELS install_script TIMEOUT 3600)
endif()
