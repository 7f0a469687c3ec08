# Cross-building for 64-bit Windows with mingw-w64 (Debian: mingw-w64). The -posix compilers carry
# std::thread and std::mutex. Programs link the compiler's runtime statically, so qmr7ctl.exe and
# mkdfu.exe run without any mingw DLL; the Qt DLLs the window loads link it as DLLs, which the ZIP
# carries beside them. The window's own code then has a second copy of the C++ runtime: no C++
# exception or standard-library object crosses between it and Qt (Qt's API takes neither).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(QMR7_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${QMR7_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QMR7_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${QMR7_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${QMR7_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
# Windows 10 and later: the calls the backends use are all older than that.
set(CMAKE_C_FLAGS_INIT "-D_WIN32_WINNT=0x0A00 -DWINVER=0x0A00")
set(CMAKE_CXX_FLAGS_INIT "-D_WIN32_WINNT=0x0A00 -DWINVER=0x0A00")

# Qt for Windows, cross-built from Debian's source by scripts/build-qt-windows into a cache folder
# (QMR7_QT_WINDOWS names another). The folder is a find root as well as a prefix: the find modes
# above look for packages under the roots only.
if(NOT QMR7_QT_WINDOWS)
  if(DEFINED ENV{QMR7_QT_WINDOWS})
    set(QMR7_QT_WINDOWS $ENV{QMR7_QT_WINDOWS})
  else()
    execute_process(COMMAND ${CMAKE_CURRENT_LIST_DIR}/../scripts/build-qt-windows --prefix
                    OUTPUT_VARIABLE QMR7_QT_WINDOWS OUTPUT_STRIP_TRAILING_WHITESPACE
                    RESULT_VARIABLE _qmr7_qt_result)
    if(NOT _qmr7_qt_result EQUAL 0 OR NOT EXISTS ${QMR7_QT_WINDOWS}/.complete)
      set(QMR7_QT_WINDOWS "")
    endif()
  endif()
  set(QMR7_QT_WINDOWS "${QMR7_QT_WINDOWS}" CACHE PATH "Qt for Windows (scripts/build-qt-windows)")
endif()
if(QMR7_QT_WINDOWS)
  list(APPEND CMAKE_FIND_ROOT_PATH ${QMR7_QT_WINDOWS})
  list(APPEND CMAKE_PREFIX_PATH ${QMR7_QT_WINDOWS})
endif()
