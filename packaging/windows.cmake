# The Windows package: a ZIP (CPack) that runs where it is unpacked. Beside the programs go the Qt
# libraries and plug-ins the window loads, the compiler's runtime they need, Qt's Japanese texts,
# the WinUSB driver package for the headset, README and the licences of what is shipped. The files
# are gathered here the same way from Qt's kit on a Windows machine (the windows-qt preset) and
# from the cross build of scripts/build-qt-windows (the windows preset), so both ZIPs hold exactly
# packaging/windows/expected-contents.txt (scripts/check-package-windows).
if(NOT TARGET qmr7-tool)
  return()
endif()

# Qt's libraries and plug-ins, from the imported targets of the Qt that was built against.
foreach(module Core Gui Widgets)
  install(FILES $<TARGET_FILE:Qt6::${module}> DESTINATION .)
endforeach()
install(FILES $<TARGET_FILE:Qt6::QWindowsIntegrationPlugin> DESTINATION platforms)
# The native look: Qt 6.7 and later ship it in a plug-in of another name.
if(TARGET Qt6::QWindowsVistaStylePlugin)
  install(FILES $<TARGET_FILE:Qt6::QWindowsVistaStylePlugin> DESTINATION styles)
elseif(TARGET Qt6::QModernWindowsStylePlugin)
  install(FILES $<TARGET_FILE:Qt6::QModernWindowsStylePlugin> DESTINATION styles)
else()
  message(FATAL_ERROR "Qt for Windows without its Windows style plug-in")
endif()

# The compiler's runtime, which the Qt libraries load: beside the compiler in Qt's kit, in the
# compiler's and the mingw-w64 sysroot's folders on Debian.
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-libgcc-file-name
                OUTPUT_VARIABLE _qmr7_libgcc OUTPUT_STRIP_TRAILING_WHITESPACE)
get_filename_component(_qmr7_gcc_dir "${_qmr7_libgcc}" DIRECTORY)
get_filename_component(_qmr7_compiler_dir "${CMAKE_CXX_COMPILER}" DIRECTORY)
foreach(dll libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
  find_file(QMR7_RUNTIME_${dll} ${dll}
            HINTS ${_qmr7_compiler_dir} ${_qmr7_gcc_dir} /usr/${QMR7_MINGW_PREFIX}/lib
            NO_CMAKE_FIND_ROOT_PATH NO_DEFAULT_PATH)
  if(NOT QMR7_RUNTIME_${dll})
    message(FATAL_ERROR "The compiler's runtime ${dll} was not found for the Windows package")
  endif()
  install(FILES ${QMR7_RUNTIME_${dll}} DESTINATION .)
endforeach()

# Qt's own texts in Japanese (the buttons of a question, the file dialog): the same file on every
# platform; from the Qt kit's translations, else from Debian's qt6-translations-l10n.
find_file(QMR7_QT_JA qtbase_ja.qm
          HINTS ${QT6_INSTALL_PREFIX}/${QT6_INSTALL_TRANSLATIONS} /usr/share/qt6/translations
          NO_CMAKE_FIND_ROOT_PATH NO_DEFAULT_PATH)
if(NOT QMR7_QT_JA)
  message(FATAL_ERROR "Qt's Japanese texts (qtbase_ja.qm) were not found for the Windows package")
endif()
install(FILES ${QMR7_QT_JA} DESTINATION translations)

install(FILES ${PROJECT_SOURCE_DIR}/README.md ${CMAKE_CURRENT_SOURCE_DIR}/windows/qmr7-dfu-winusb.inf
        DESTINATION .)
install(DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}/windows/licenses/ DESTINATION licenses)
install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/windows/NOTICES.txt DESTINATION licenses)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME qmr7-tool)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME qmr7-tool-${PROJECT_VERSION}-windows-x64)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/package)
set(CPACK_STRIP_FILES ON)
include(CPack)
