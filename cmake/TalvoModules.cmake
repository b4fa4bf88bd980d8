# talvo_test(NAME <target> SOURCES <files...> LIBRARIES <libs...>
#            [CONCURRENT] [SERIAL] [RESOURCE_LOCK <names...>] [TIMEOUT <seconds>])
#
# One GoogleTest program; each of its tests becomes a CTest test.
# CONCURRENT marks suites that exercise threads: the test script also builds and runs them under
# ThreadSanitizer (label "concurrent", build target "concurrent_tests").
# SERIAL runs each test with no other test beside it.
# RESOURCE_LOCK serialises suites that share a real component. One name only: gtest_discover_tests
# keeps just the first name of a list, so the suites of the shared desktop (sound server, keyring,
# display, session bus) all lock "desktop" (the end-to-end suite uses every one of them).
function(talvo_test)
  cmake_parse_arguments(T "CONCURRENT;SERIAL" "NAME;TIMEOUT" "SOURCES;LIBRARIES;RESOURCE_LOCK" ${ARGN})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBRARIES} GTest::gtest GTest::gmock GTest::gtest_main Threads::Threads)
  set(labels ${T_NAME})
  if(T_CONCURRENT)
    # One label text: gtest_discover_tests drops the separator of a label list. ctest -L takes a
    # regular expression, so both "-L concurrent" and "-L <suite>" still select these tests.
    set(labels "concurrent:${T_NAME}")
    set_property(GLOBAL APPEND PROPERTY TALVO_CONCURRENT_TEST_TARGETS ${T_NAME})
  endif()
  set(props LABELS "${labels}" TIMEOUT ${T_TIMEOUT})
  if(T_RESOURCE_LOCK)
    list(APPEND props RESOURCE_LOCK "${T_RESOURCE_LOCK}")
  endif()
  if(T_SERIAL)
    list(APPEND props RUN_SERIAL TRUE)
  endif()
  gtest_discover_tests(${T_NAME} DISCOVERY_TIMEOUT 120 PROPERTIES ${props})
endfunction()

# Called once at the end of the top-level CMakeLists: the aggregate target of the concurrent suites.
function(talvo_finish_test_targets)
  get_property(targets GLOBAL PROPERTY TALVO_CONCURRENT_TEST_TARGETS)
  add_custom_target(concurrent_tests)
  if(targets)
    add_dependencies(concurrent_tests ${targets})
  endif()
endfunction()

# talvo_module_tests(<module> LIBRARIES <libs...>)
#
# Builds the suites of <module>/tests/ by file name, so adding a test file needs no CMake edit:
#   *_concurrency_test.cpp -> <module>_concurrency_tests (also run under ThreadSanitizer)
#   *_sound_test.cpp       -> <module>_sound_tests       (real sound server, one at a time)
#   *_keyring_test.cpp     -> <module>_keyring_tests     (real Secret Service, one at a time)
#   *_ui_test.cpp          -> <module>_ui_tests          (widgets on the test display, one at a time)
#   *_e2e_test.cpp         -> <module>_e2e_tests         (the real program with every real component,
#                                                         one at a time; not rebuilt under sanitizers)
#   every other *_test.cpp -> <module>_tests
# Other .cpp files in tests/ (shared fixtures) are linked into every suite of the module.
# Nothing without TALVO_WITH_TESTS.
function(talvo_module_tests module)
  if(NOT TALVO_WITH_TESTS)
    return()
  endif()
  cmake_parse_arguments(M "" "" "LIBRARIES" ${ARGN})
  set(dir ${CMAKE_CURRENT_SOURCE_DIR}/tests)
  file(GLOB all CONFIGURE_DEPENDS ${dir}/*.cpp)
  set(plain "")
  set(support "")
  foreach(kind concurrency sound keyring ui e2e)
    set(${kind} "")
  endforeach()
  foreach(file ${all})
    get_filename_component(name ${file} NAME)
    if(name MATCHES "_concurrency_test\\.cpp$")
      list(APPEND concurrency ${file})
    elseif(name MATCHES "_sound_test\\.cpp$")
      list(APPEND sound ${file})
    elseif(name MATCHES "_keyring_test\\.cpp$")
      list(APPEND keyring ${file})
    elseif(name MATCHES "_ui_test\\.cpp$")
      list(APPEND ui ${file})
    elseif(name MATCHES "_e2e_test\\.cpp$")
      list(APPEND e2e ${file})
    elseif(name MATCHES "_test\\.cpp$")
      list(APPEND plain ${file})
    else()
      list(APPEND support ${file})
    endif()
  endforeach()
  # The suites include their shared fixtures as "<module>/tests/<name>.h".
  add_library(${module}_test_headers INTERFACE)
  talvo_include_root(${module}_test_headers INTERFACE ${dir})
  list(APPEND M_LIBRARIES ${module}_test_headers)
  # The shared fixtures are compiled once and linked into every suite of the module.
  if(support)
    add_library(${module}_test_support OBJECT ${support})
    target_link_libraries(${module}_test_support PUBLIC ${M_LIBRARIES} GTest::gtest GTest::gmock)
    set(support $<TARGET_OBJECTS:${module}_test_support>)
  endif()
  if(plain)
    talvo_test(NAME ${module}_tests SOURCES ${plain} ${support} LIBRARIES ${M_LIBRARIES})
  endif()
  if(concurrency)
    talvo_test(NAME ${module}_concurrency_tests SOURCES ${concurrency} ${support}
               LIBRARIES ${M_LIBRARIES} CONCURRENT)
  endif()
  if(sound)
    # Alone on the machine: a capture that starves behind a parallel build drops blocks and
    # ends, and the sound measurements need the cores the sound server runs on.
    talvo_test(NAME ${module}_sound_tests SOURCES ${sound} ${support}
               LIBRARIES ${M_LIBRARIES} RESOURCE_LOCK desktop TIMEOUT 600 SERIAL)
  endif()
  if(keyring)
    talvo_test(NAME ${module}_keyring_tests SOURCES ${keyring} ${support}
               LIBRARIES ${M_LIBRARIES} RESOURCE_LOCK desktop)
  endif()
  if(ui)
    talvo_test(NAME ${module}_ui_tests SOURCES ${ui} ${support}
               LIBRARIES ${M_LIBRARIES} RESOURCE_LOCK desktop TIMEOUT 600)
  endif()
  if(e2e AND TALVO_SANITIZE STREQUAL "")
    talvo_test(NAME ${module}_e2e_tests SOURCES ${e2e} ${support}
               LIBRARIES ${M_LIBRARIES} RESOURCE_LOCK desktop TIMEOUT 900)
  endif()
endfunction()

# talvo_include_root(<target> <PUBLIC|PRIVATE|INTERFACE> <paths...>): lets <target> (and, unless
# PRIVATE, whatever links it) include the given folders or files of the source tree by their
# repository path ("core/recording/wave_journal.h") and nothing else. Each target gets its own include root
# in the build tree holding symbolic links to exactly those paths, so a folder sees only the
# headers of what it links: an include of a folder it does not link fails to compile.
function(talvo_include_root target scope)
  set(root ${CMAKE_BINARY_DIR}/include-roots/${target})
  foreach(path ${ARGN})
    file(RELATIVE_PATH relative ${CMAKE_SOURCE_DIR} ${path})
    get_filename_component(parent ${root}/${relative} DIRECTORY)
    file(MAKE_DIRECTORY ${parent})
    file(CREATE_LINK ${path} ${root}/${relative} SYMBOLIC)
  endforeach()
  target_include_directories(${target} ${scope} ${root})
endfunction()

# talvo_module_library(<target> <directory> [SUBFOLDERS <folders...>] LINK <libs...>): a static library of the *.cpp files
# directly in <directory>, using what LINK names (and nothing else of the project). Its headers
# are included as "<directory>/<name>.h" by itself and by what links it.
# SUBFOLDERS names folders of <directory> whose *.cpp files belong to the library too.
function(talvo_module_library target directory)
  cmake_parse_arguments(L "" "" "LINK;SUBFOLDERS" ${ARGN})
  set(patterns ${directory}/*.cpp)
  foreach(folder ${L_SUBFOLDERS})
    list(APPEND patterns ${directory}/${folder}/*.cpp)
  endforeach()
  file(GLOB sources CONFIGURE_DEPENDS ${patterns})
  add_library(${target} STATIC ${sources})
  target_link_libraries(${target} PUBLIC ${L_LINK})
  talvo_include_root(${target} PUBLIC ${directory})
endfunction()
