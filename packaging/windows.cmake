# The Windows package, built on a Windows machine with Qt (the windows-qt preset): the programs
# with the Qt libraries, plug-ins and compiler runtime they need beside them (windeployqt, through
# Qt's deployment script), as a ZIP made by CPack: `cpack --preset windows-qt`.
if(TARGET qmr7-tool)
  qt_generate_deploy_app_script(TARGET qmr7-tool OUTPUT_SCRIPT deploy_script
                                NO_UNSUPPORTED_PLATFORM_ERROR)
  install(SCRIPT ${deploy_script})
endif()
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION doc)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME qmr7-tool)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME qmr7-tool-${PROJECT_VERSION}-windows-x64)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/package)
include(CPack)
