# Where an installed program lies. Its own directory is root's alone, so no
# operator can put another program in its place; what the operators write
# (the Com key of the settings, mcall.log, the daily logs, the spool files)
# lies in a state directory that the dialout group writes. The program knows
# both at build time: running as <prefix>/bin/mcalld it keeps its settings in
# the state directory, anywhere else (a build tree, a test's copy, a second
# instance's copy) beside itself as before.

if(CMAKE_INSTALL_PREFIX_INITIALIZED_TO_DEFAULT)
  set(CMAKE_INSTALL_PREFIX /opt/mcalld CACHE PATH "Where the program is installed (bin/, share/)" FORCE)
endif()
set(MCALLD_PROGRAM_DIR /var/opt/mcalld CACHE PATH
    "State directory of the installed program (settings, logs, spool files); empty: beside the executable")

if(MCALLD_PROGRAM_DIR)
  if(NOT IS_ABSOLUTE "${MCALLD_PROGRAM_DIR}")
    message(FATAL_ERROR "MCALLD_PROGRAM_DIR must be an absolute path, not '${MCALLD_PROGRAM_DIR}'")
  endif()
  add_compile_definitions(MCALLD_PROGRAM_DIR="${MCALLD_PROGRAM_DIR}"
                          MCALLD_INSTALLED_BIN_DIR="${CMAKE_INSTALL_PREFIX}/bin")
endif()

# A second instance installed with another prefix gets files of its own name
# (menu entry, icon, rules): /opt/mcalld-2 gives mcalld-2.desktop.
get_filename_component(MCALLD_NAME "${CMAKE_INSTALL_PREFIX}" NAME)
