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

# qmr7_add_gtest(NAME SOURCES a.cpp ... LIBS lib ... [THREADED] [LABELS l ...] [LAUNCHER cmd ...])
# THREADED tests also build and run under the tsan preset; LAUNCHER runs the test through a
# command (a preload wrapper, for example).
function(qmr7_add_gtest name)
  cmake_parse_arguments(T "THREADED" "" "SOURCES;LIBS;LABELS;LAUNCHER" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  qmr7_strict(${name})
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
