# Installing and the .deb. The program keeps its settings, its operator log
# and (by default) its spool files in its own directory, so it is installed
# as one directory, /opt/mcalld, and started with that as its working
# directory; only the menu entry and the icon go where the desktop looks.

if(NOT TARGET mcalld)
  return()
endif()

if(CMAKE_INSTALL_PREFIX_INITIALIZED_TO_DEFAULT)
  set(CMAKE_INSTALL_PREFIX /opt/mcalld CACHE PATH "Where the program's directory is installed" FORCE)
endif()

install(TARGETS mcalld RUNTIME DESTINATION .)
install(FILES app/mcalld.ini.example app/mcalld.svg DESTINATION .)

# The program will not start without mcalld.ini beside it; the example is a
# working start. An existing file holds the site's settings and is kept.
set(MCALLD_INI_EXAMPLE ${PROJECT_SOURCE_DIR}/app/mcalld.ini.example)
install(CODE "
  set(ini \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/mcalld.ini\")
  if(EXISTS \"\${ini}\")
    message(STATUS \"Kept: \${ini}\")
  else()
    file(INSTALL \"${MCALLD_INI_EXAMPLE}\" DESTINATION \"\${CMAKE_INSTALL_PREFIX}\" RENAME mcalld.ini)
  endif()
")

# The menu entry names the directory chosen at install time (--prefix), not
# the one known when the build was configured.
set(MCALLD_DESKTOP_TEMPLATE ${PROJECT_SOURCE_DIR}/packaging/mcalld.desktop.in)
set(MCALLD_DESKTOP_FILE ${CMAKE_BINARY_DIR}/packaging/mcalld.desktop)
install(CODE "
  set(MCALLD_DIR \"\${CMAKE_INSTALL_PREFIX}\")
  configure_file(\"${MCALLD_DESKTOP_TEMPLATE}\" \"${MCALLD_DESKTOP_FILE}\" @ONLY)
")
install(FILES ${MCALLD_DESKTOP_FILE} DESTINATION /usr/share/applications)
install(FILES app/mcalld.svg DESTINATION /usr/share/icons/hicolor/scalable/apps)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME mcalld)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "mcalld maintainers <mcalld@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "GSM modem driver for the alarm suite's message server")
set(CPACK_PACKAGING_INSTALL_PREFIX /opt/mcalld)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libqt6widgets6, libqt6gui6, libqt6core6, qt6-qpa-plugins, libqt6svg6, fonts-liberation")
# The settings file is the site's own: dpkg keeps an edited one on upgrade.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/packaging/conffiles
    ${PROJECT_SOURCE_DIR}/packaging/postinst)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
