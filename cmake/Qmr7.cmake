# Project-wide compile settings and the helpers every folder uses.

set(QMR7_WARNINGS -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Wold-style-cast
    -Wcast-align -Woverloaded-virtual -Wnull-dereference -Wimplicit-fallthrough)
if(QMR7_WERROR)
  list(APPEND QMR7_WARNINGS -Werror)
endif()

if(QMR7_SANITIZE)
  list(JOIN QMR7_SANITIZE "," _qmr7_san)
  add_compile_options(-fsanitize=${_qmr7_san} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${_qmr7_san})
endif()

# lld links the sixty-odd test programs several times faster than the default linker.
option(QMR7_LLD "Link with lld when it is installed" ON)
if(QMR7_LLD AND NOT CMAKE_CROSSCOMPILING)
  find_program(QMR7_LLD_PROGRAM ld.lld)
  if(QMR7_LLD_PROGRAM)
    add_link_options(-fuse-ld=lld)
  endif()
endif()

# Our own targets get the strict warnings; third-party headers come in as system includes.
# qmr7_strict(target [MOC]): MOC for a target with Q_OBJECT classes, the only ones that need moc,
# which otherwise scans every source of every target at each build.
function(qmr7_strict target)
  cmake_parse_arguments(S "MOC" "" "" ${ARGN})
  target_compile_options(${target} PRIVATE ${QMR7_WARNINGS})
  if(S_MOC)
    set_target_properties(${target} PROPERTIES AUTOMOC ON)
  endif()
endfunction()

# Tests build faster without full debug information (line tables still name the place in a
# sanitizer's report); the debug preset keeps it whole for stepping through a test.
set(QMR7_TEST_DEBUG_INFO "" CACHE STRING "Debug-information flag for test code, for example -g1")
option(QMR7_TEST_PCH "Precompile the headers every test includes" ON)

# The one precompiled header the tests share: the test framework, the standard library and the
# Qt classes the window tests use. Parsing these was most of a test's compile time.
function(qmr7_test_pch_anchor)
  add_library(qmr7_test_pch OBJECT ${PROJECT_SOURCE_DIR}/tests/support/PchAnchor.cpp)
  qmr7_test_target_options(qmr7_test_pch)
  target_link_libraries(qmr7_test_pch PRIVATE GTest::gtest GTest::gmock)
  set(headers <gtest/gtest.h> <algorithm> <atomic> <chrono> <cstdint> <cstring> <filesystem>
      <functional> <map> <memory> <mutex> <optional> <set> <stdexcept> <string> <thread> <vector>)
  if(Qt6_FOUND)
    list(APPEND headers <QApplication> <QWidget> <QString>)
  endif()
  target_precompile_headers(qmr7_test_pch PRIVATE ${headers})
endfunction()

# What every test target shares, so that they can all use the one precompiled header.
function(qmr7_test_target_options target)
  qmr7_strict(${target})
  if(QMR7_TEST_DEBUG_INFO)
    target_compile_options(${target} PRIVATE ${QMR7_TEST_DEBUG_INFO})
  endif()
  # GCC 12 reports std::string concatenations in test bodies as out of bounds once inlined (a
  # known false positive); the sanitizer builds check the tests' memory for real.
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
    target_compile_options(${target} PRIVATE -Wno-array-bounds -Wno-restrict -Wno-stringop-overflow
                           -Wno-stringop-overread)
  endif()
  if(Qt6_FOUND)
    target_link_libraries(${target} PRIVATE Qt6::Widgets)
    # Qt's `signals` and `slots` macros would break GLib's headers, which the USB bus tests include
    # after the shared header.
    target_compile_definitions(${target} PRIVATE QT_NO_KEYWORDS)
  endif()
endfunction()

# qmr7_add_gtest(NAME SOURCES a.cpp ... LIBS lib ... [THREADED] [LABELS l ...] [LAUNCHER cmd ...])
# THREADED tests also build and run under the tsan preset; LAUNCHER runs the test through a
# command (a preload wrapper, for example).
function(qmr7_add_gtest name)
  cmake_parse_arguments(T "THREADED" "" "SOURCES;LIBS;LABELS;LAUNCHER" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  qmr7_test_target_options(${name})
  if(QMR7_TEST_PCH)
    target_precompile_headers(${name} REUSE_FROM qmr7_test_pch)
  endif()
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gmock GTest::gtest_main)
  set(labels ${T_LABELS})
  if(T_THREADED)
    list(APPEND labels threaded)
    add_dependencies(threaded-tests ${name})
  endif()
  # A cross build runs its tests through the emulator (wine for Windows), inside any launcher.
  add_test(NAME ${name} COMMAND ${T_LAUNCHER} ${CMAKE_CROSSCOMPILING_EMULATOR} $<TARGET_FILE:${name}>)
  set_tests_properties(${name} PROPERTIES LABELS "${labels}" ENVIRONMENT "QT_QPA_PLATFORM=offscreen")
endfunction()
