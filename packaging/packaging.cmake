# Installing and the .deb, in the layout of packaging/layout.cmake:
#   <prefix>/bin, <prefix>/share   the program, root's alone (0755)
#   <state>                        settings, logs, spool files: root:dialout 2770
# and what the desktop and the system look for: the menu entry, the icon,
# the log rotation and the age limit of the daily logs.

if(NOT TARGET mcalld)
  return()
endif()

set(MCALLD_PREFIX ${CMAKE_INSTALL_PREFIX})
set(MCALLD_BIN_DIR ${CMAKE_INSTALL_PREFIX}/bin)
set(generated ${CMAKE_BINARY_DIR}/packaging)
foreach(file mcalld.desktop logrotate tmpfiles.conf control/conffiles control/postinst control/postrm)
  get_filename_component(name ${file} NAME)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/${name}.in ${generated}/${file} @ONLY)
endforeach()

# The program has its state directory compiled in for exactly this prefix.
install(CODE "
  if(\"${MCALLD_PROGRAM_DIR}\" STREQUAL \"\")
    message(FATAL_ERROR \"This build keeps its settings beside the executable (MCALLD_PROGRAM_DIR is empty); configure with -DMCALLD_PROGRAM_DIR=/var/opt/mcalld to install it\")
  endif()
  if(NOT CMAKE_INSTALL_PREFIX STREQUAL \"${CMAKE_INSTALL_PREFIX}\")
    message(FATAL_ERROR \"This build finds its state directory only as ${MCALLD_BIN_DIR}/mcalld; configure a build with -DCMAKE_INSTALL_PREFIX=\${CMAKE_INSTALL_PREFIX} to install there\")
  endif()
")

# Whatever the umask of whoever installs or packages: no directory of the
# program is writable by anyone but its owner.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

install(TARGETS mcalld RUNTIME DESTINATION bin)
install(PROGRAMS scripts/udev-rule DESTINATION bin RENAME mcalld-udev-rule)
install(FILES app/mcalld.ini.example DESTINATION share)
install(FILES ${generated}/mcalld.desktop DESTINATION /usr/share/applications RENAME ${MCALLD_NAME}.desktop)
install(FILES app/mcalld.svg DESTINATION /usr/share/icons/hicolor/scalable/apps RENAME ${MCALLD_NAME}.svg)
install(FILES ${generated}/logrotate DESTINATION /etc/logrotate.d RENAME ${MCALLD_NAME})
install(FILES ${generated}/tmpfiles.conf DESTINATION /usr/lib/tmpfiles.d RENAME ${MCALLD_NAME}.conf)

# The state directory. While its entries are looked at, the group is kept
# out of it, so that no member can swap one for a link to a file of root's
# in between. The settings file is copied from the example on the first
# install only; an existing one holds the site's settings and is kept.
set(MCALLD_INI_EXAMPLE ${PROJECT_SOURCE_DIR}/app/mcalld.ini.example)
install(CODE "
  set(state \"\$ENV{DESTDIR}${MCALLD_PROGRAM_DIR}\")
  set(shut OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE SETGID)
  set(open OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_WRITE GROUP_EXECUTE SETGID)
  file(MAKE_DIRECTORY \"\${state}\")
  file(CHMOD \"\${state}\" PERMISSIONS \${shut})
  foreach(entry logs mcalld.ini)
    if(IS_SYMLINK \"\${state}/\${entry}\")
      message(FATAL_ERROR \"\${state}/\${entry} is a symbolic link; not installing over it (the directory stays closed to the group)\")
    endif()
  endforeach()
  file(MAKE_DIRECTORY \"\${state}/logs\")
  file(CHMOD \"\${state}/logs\" PERMISSIONS \${open})
  if(EXISTS \"\${state}/mcalld.ini\")
    message(STATUS \"Kept: \${state}/mcalld.ini\")
  else()
    message(STATUS \"Installing: \${state}/mcalld.ini\")
    file(COPY_FILE \"${MCALLD_INI_EXAMPLE}\" \"\${state}/mcalld.ini\")
  endif()
  file(CHMOD \"\${state}/mcalld.ini\" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ GROUP_WRITE)
  execute_process(COMMAND chgrp -h dialout \"\${state}\" \"\${state}/logs\" \"\${state}/mcalld.ini\"
                  RESULT_VARIABLE failed ERROR_VARIABLE why)
  if(failed AND \"\$ENV{DESTDIR}\" STREQUAL \"\")
    message(FATAL_ERROR \"Could not give \${state} to the dialout group: \${why}\")
  elseif(failed)
    message(STATUS \"Left to the package or the administrator: the dialout group of \${state} (\${why})\")
  endif()
  file(CHMOD \"\${state}\" PERMISSIONS \${open})
")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${MCALLD_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "mcalld maintainers <mcalld@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "GSM modem driver for the alarm suite's message server")
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libqt6widgets6, libqt6gui6, libqt6core6, qt6-qpa-plugins, libqt6svg6, fonts-liberation")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "logrotate")
# The settings file and the log rotation are the site's own: dpkg keeps
# edited ones on upgrade.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${generated}/control/conffiles
    ${generated}/control/postinst
    ${generated}/control/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
