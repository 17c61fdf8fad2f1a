# Linux: what an installation adds beside the two executables (desktop entry,
# icon, udev rule, AppStream metainfo, manual page) and the Debian package
# recipe (CPack DEB; scripts/package builds it, scripts/package-check tries it
# on a clean Debian 12 root). Paths below the install prefix, so a package
# (prefix /usr) puts the udev rule in /usr/lib/udev/rules.d.

set(TRENNIC_LINUX_SOURCE_DIR ${CMAKE_CURRENT_LIST_DIR})
set(TRENNIC_LINUX_BINARY_DIR ${PROJECT_BINARY_DIR}/packaging/linux)
# AppStream component id: the organisation domain reversed.
set(TRENNIC_APP_ID example.trennic.flasher)
set(TRENNIC_METAINFO_FILE ${TRENNIC_LINUX_BINARY_DIR}/${TRENNIC_APP_ID}.metainfo.xml)
set(TRENNIC_DESKTOP_FILE ${TRENNIC_LINUX_SOURCE_DIR}/trennic-flasher.desktop)

# The 256 px icon is rendered from the scalable one at build time, and the
# manual page compressed as Debian ships manual pages.
find_program(TRENNIC_RSVG_CONVERT rsvg-convert)
if(NOT TRENNIC_RSVG_CONVERT)
  message(FATAL_ERROR "rsvg-convert is missing: run scripts/setup-deps (librsvg2-bin)")
endif()
find_program(TRENNIC_GZIP gzip REQUIRED)
set(TRENNIC_ICON_SVG ${TRENNIC_LINUX_SOURCE_DIR}/trennic-flasher.svg)
set(TRENNIC_ICON_PNG ${TRENNIC_LINUX_BINARY_DIR}/256x256/trennic-flasher.png)
set(TRENNIC_ICON_PNG_SIZE 256)
add_custom_command(OUTPUT ${TRENNIC_ICON_PNG}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${TRENNIC_LINUX_BINARY_DIR}/256x256
  COMMAND ${TRENNIC_RSVG_CONVERT} -w ${TRENNIC_ICON_PNG_SIZE} -h ${TRENNIC_ICON_PNG_SIZE}
          -o ${TRENNIC_ICON_PNG} ${TRENNIC_ICON_SVG}
  DEPENDS ${TRENNIC_ICON_SVG}
  COMMENT "Rendering the 256 px icon"
  VERBATIM)

configure_file(${TRENNIC_LINUX_SOURCE_DIR}/trennic-flasher-cli.1.in
               ${TRENNIC_LINUX_BINARY_DIR}/trennic-flasher-cli.1 @ONLY)
set(TRENNIC_MANPAGE_GZ ${TRENNIC_LINUX_BINARY_DIR}/trennic-flasher-cli.1.gz)
add_custom_command(OUTPUT ${TRENNIC_MANPAGE_GZ}
  COMMAND ${TRENNIC_GZIP} -9nkf ${TRENNIC_LINUX_BINARY_DIR}/trennic-flasher-cli.1
  DEPENDS ${TRENNIC_LINUX_BINARY_DIR}/trennic-flasher-cli.1
  VERBATIM)
add_custom_target(linux-desktop-files ALL DEPENDS ${TRENNIC_ICON_PNG} ${TRENNIC_MANPAGE_GZ})

configure_file(${TRENNIC_LINUX_SOURCE_DIR}/${TRENNIC_APP_ID}.metainfo.xml.in
               ${TRENNIC_METAINFO_FILE} @ONLY)

install(FILES ${TRENNIC_DESKTOP_FILE} DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${TRENNIC_ICON_SVG}
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
install(FILES ${TRENNIC_ICON_PNG}
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/256x256/apps)
install(FILES ${TRENNIC_METAINFO_FILE} DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
install(FILES ${TRENNIC_MANPAGE_GZ} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
# udev reads rules from lib/udev/rules.d below /usr, never from a multiarch
# library folder.
install(FILES ${TRENNIC_LINUX_SOURCE_DIR}/60-trennic-flasher.rules DESTINATION lib/udev/rules.d)

# The Debian package: trennic-flasher_<version>_amd64.deb.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME trennic-flasher)
set(CPACK_PACKAGE_VENDOR Trennic)
set(CPACK_PACKAGE_CONTACT "Trennic <support@trennic.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "firmware updater for Korvo instrument devices")
# The summary above is the first line of the package's description.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
  "Trennic Flasher finds a Korvo device on a USB serial port, shows the firmware
it runs, restarts it into its boot loader, downloads the image the firmware
server offers for it and flashes it. The window trennic-flasher and the
command-line tool trennic-flasher-cli; a udev rule gives the logged-in user
access to the device's port.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE https://trennic.example/)
set(CPACK_STRIP_FILES ON)
# Libraries from the binaries (dpkg-shlibdeps); the QML modules the window
# imports at run time, which no binary links; a face with Cyrillic glyphs for
# the texts that do not use the display face compiled into the window.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS
  "qml-module-qtquick2, qml-module-qtquick-controls2, qml-module-qtquick-templates2, qml-module-qtquick-window2, qml-module-qt-labs-settings, qml-module-qt-labs-platform, fonts-dejavu-core")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${TRENNIC_LINUX_SOURCE_DIR}/postinst ${TRENNIC_LINUX_SOURCE_DIR}/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
include(CPack)
