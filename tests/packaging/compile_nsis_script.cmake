# Compiles the Windows installer script with makensis over a stand-in payload:
# empty files named as the installation folder names them. Proves the
# script's syntax and structure (defines, pages, sections, uninstaller), not
# the installer's behaviour on Windows.
#   cmake -DMAKENSIS=... -DSCRIPT=... -DWORK_DIR=... -DVERSION=... -P compile_nsis_script.cmake
foreach(variable MAKENSIS SCRIPT WORK_DIR VERSION)
  if(NOT DEFINED ${variable})
    message(FATAL_ERROR "${variable} is not set")
  endif()
endforeach()

set(payload ${WORK_DIR}/payload)
set(installer ${WORK_DIR}/trennic-flasher-standin-installer.exe)
file(REMOVE_RECURSE ${WORK_DIR})
foreach(file trennic-flasher.exe trennic-flasher-cli.exe Qt5Core.dll Qt5Quick.dll
             platforms/qwindows.dll qml/QtQuick.2/qmldir)
  get_filename_component(folder ${payload}/${file} DIRECTORY)
  file(MAKE_DIRECTORY ${folder})
  file(WRITE ${payload}/${file} "stand-in\n")
endforeach()

# -WX: a warning fails the check as an error would.
execute_process(
  COMMAND ${MAKENSIS} -V2 -WX -DVERSION=${VERSION} -DPAYLOAD=${payload} -DOUTFILE=${installer}
          ${SCRIPT}
  RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "makensis failed (${result})")
endif()
if(NOT EXISTS ${installer})
  message(FATAL_ERROR "makensis made no installer")
endif()
