# Windows: an installation is a folder with both executables and, put there by
# windeployqt at install time, the Qt libraries, plugins and QML modules they
# need; the target "installer" wraps that folder into an NSIS installer
# (trennic-flasher.nsi): the window, the command-line tool, a Start menu entry
# and an uninstaller.

find_program(TRENNIC_WINDEPLOYQT windeployqt HINTS "${Qt5_DIR}/../../../bin")
if(NOT TRENNIC_WINDEPLOYQT)
  message(FATAL_ERROR "windeployqt not found: it comes with Qt 5.15 for MSVC (its bin folder)")
endif()

# After the executables are installed: Qt's run-time files beside them; the
# QML imports are found by scanning the window's documents.
install(CODE "
  execute_process(
    COMMAND \"${TRENNIC_WINDEPLOYQT}\" $<IF:$<CONFIG:Debug>,--debug,--release>
            --qmldir \"${PROJECT_SOURCE_DIR}/qml\" --no-translations --compiler-runtime
            \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/$<TARGET_FILE_NAME:trennic-flasher>\"
            \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/$<TARGET_FILE_NAME:trennic-flasher-cli>\"
    RESULT_VARIABLE windeployqt_result)
  if(NOT windeployqt_result EQUAL 0)
    message(FATAL_ERROR \"windeployqt failed: \${windeployqt_result}\")
  endif()
")

find_program(TRENNIC_MAKENSIS makensis
  HINTS "$ENV{ProgramFiles}/NSIS" "$ENV{ProgramFiles\(x86\)}/NSIS")
set(TRENNIC_INSTALLER_PAYLOAD ${PROJECT_BINARY_DIR}/installer-payload)
set(TRENNIC_INSTALLER_FILE ${PROJECT_BINARY_DIR}/trennic-flasher-${PROJECT_VERSION}-setup.exe)
if(TRENNIC_MAKENSIS)
  add_custom_target(installer
    COMMAND ${CMAKE_COMMAND} -E rm -rf ${TRENNIC_INSTALLER_PAYLOAD}
    COMMAND ${CMAKE_COMMAND} --install ${PROJECT_BINARY_DIR} --config $<CONFIG>
            --prefix ${TRENNIC_INSTALLER_PAYLOAD}
    COMMAND ${TRENNIC_MAKENSIS} -V2 -DVERSION=${PROJECT_VERSION}
            -DPAYLOAD=${TRENNIC_INSTALLER_PAYLOAD}/${CMAKE_INSTALL_BINDIR}
            -DOUTFILE=${TRENNIC_INSTALLER_FILE}
            ${CMAKE_CURRENT_LIST_DIR}/trennic-flasher.nsi
    DEPENDS trennic-flasher trennic-flasher-cli
    COMMENT "Building ${TRENNIC_INSTALLER_FILE}"
    VERBATIM)
else()
  message(STATUS "makensis not found: no installer target (install NSIS 3)")
endif()
