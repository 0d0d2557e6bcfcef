# What goes beside the programs, in two install components:
#   board  unitctl and mcuflash, their manual pages, the telemetry service's
#          init file for the board's init system and its configuration file
#   host   unitmon and its page, bash completion, the Wireshark dissector and
#          whatever else the operator's side installs
# The init files are generated here with the installed paths, so the prefix
# chosen at configure time is the one they start the program from.
include(GNUInstallDirs)

set(BOARD_INIT_SYSTEM sysv CACHE STRING
    "Init system of the board: systemd, sysv (BusyBox or SysV init), procd (OpenWrt) or none")
set_property(CACHE BOARD_INIT_SYSTEM PROPERTY STRINGS systemd sysv procd none)
if(NOT BOARD_INIT_SYSTEM MATCHES "^(systemd|sysv|procd|none)$")
  message(FATAL_ERROR "BOARD_INIT_SYSTEM is ${BOARD_INIT_SYSTEM}: one of systemd, sysv, procd, none")
endif()
# systemd looks in /lib, /usr/lib and /usr/local/lib; a prefix of / puts the
# rest under /usr, and the unit goes there too. BOARD_SYSTEMD_UNIT_DIR
# (relative to the prefix, or absolute) names another place.
if(BOARD_SYSTEMD_UNIT_DIR)
  set(unit_dir ${BOARD_SYSTEMD_UNIT_DIR})
elseif(CMAKE_INSTALL_PREFIX STREQUAL "/")
  set(unit_dir usr/lib/systemd/system)
else()
  set(unit_dir lib/systemd/system)
endif()

set(UNITCTL_PATH ${CMAKE_INSTALL_FULL_BINDIR}/unitctl)
set(UNITCTL_DEFAULTS ${CMAKE_INSTALL_FULL_SYSCONFDIR}/default/unitctl)
# The configuration directory as GNUInstallDirs places it: /etc for the
# prefixes / and /usr.
set(sysconf ${CMAKE_INSTALL_FULL_SYSCONFDIR})
# All three are generated, so that the tests see each of them.
set(init ${CMAKE_BINARY_DIR}/dist/init)
file(READ ${CMAKE_CURRENT_LIST_DIR}/init/read-defaults.sh UNITCTL_READ_DEFAULTS)
string(REGEX REPLACE "^#[^\n]*\n#[^\n]*\n" "" UNITCTL_READ_DEFAULTS "${UNITCTL_READ_DEFAULTS}")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/init/read-defaults.sh)
configure_file(${CMAKE_CURRENT_LIST_DIR}/init/unitctl.service.in ${init}/unitctl.service @ONLY)
configure_file(${CMAKE_CURRENT_LIST_DIR}/init/unitctl.sysv.in ${init}/unitctl.sysv @ONLY)
configure_file(${CMAKE_CURRENT_LIST_DIR}/init/unitctl.procd.in ${init}/unitctl.procd @ONLY)

install(TARGETS unitctl mcuflash RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT board)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/man/unitctl.8 ${CMAKE_CURRENT_LIST_DIR}/man/mcuflash.8
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man8 COMPONENT board)
# (`cmake --install --prefix` elsewhere is refused before the first rule:
# see the top-level CMakeLists.txt.)
if(BOARD_INIT_SYSTEM STREQUAL "systemd")
  install(FILES ${init}/unitctl.service DESTINATION ${unit_dir} COMPONENT board)
elseif(BOARD_INIT_SYSTEM STREQUAL "sysv")
  install(PROGRAMS ${init}/unitctl.sysv DESTINATION ${sysconf}/init.d RENAME unitctl COMPONENT board)
elseif(BOARD_INIT_SYSTEM STREQUAL "procd")
  install(PROGRAMS ${init}/unitctl.procd DESTINATION ${sysconf}/init.d RENAME unitctl COMPONENT board)
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/init/unitctl.uci DESTINATION ${sysconf}/config
          RENAME unitctl COMPONENT board)
endif()
if(BOARD_INIT_SYSTEM MATCHES "^(systemd|sysv)$")
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/init/unitctl.default DESTINATION ${sysconf}/default
          RENAME unitctl COMPONENT board)
endif()

install(TARGETS unitmon RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT host)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/man/unitmon.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT host)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/completion/unitctl ${CMAKE_CURRENT_LIST_DIR}/completion/mcuflash
              ${CMAKE_CURRENT_LIST_DIR}/completion/unitmon
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions COMPONENT host)
# Wireshark loads Lua dissectors from its global Lua plugin directory, which
# `tshark -G folders` names; without Wireshark the dissector waits beside
# the other shared files.
if(NOT CMAKE_CROSSCOMPILING AND NOT DEFINED WIRESHARK_LUA_PLUGIN_DIR)
  find_program(TSHARK tshark)
  if(TSHARK)
    execute_process(COMMAND ${TSHARK} -G folders OUTPUT_VARIABLE folders ERROR_QUIET)
    string(REGEX MATCH "Global Lua Plugins:[ \t]*([^\n]*)" found "${folders}")
    if(found)
      set(WIRESHARK_LUA_PLUGIN_DIR ${CMAKE_MATCH_1} CACHE PATH "Wireshark's global Lua plugin directory")
    endif()
  endif()
endif()
if(WIRESHARK_LUA_PLUGIN_DIR)
  set(dissector_dir ${WIRESHARK_LUA_PLUGIN_DIR})
else()
  set(dissector_dir ${CMAKE_INSTALL_DATADIR}/unitboard/wireshark)
endif()
install(FILES ${CMAKE_CURRENT_LIST_DIR}/wireshark/unitboard.lua DESTINATION ${dissector_dir} COMPONENT host)

# unitmon as a Prometheus exporter on the operator's machine: its systemd
# unit, the alert rules with their tests and an example configuration.
set(UNITMON_PATH ${CMAKE_INSTALL_FULL_BINDIR}/unitmon)
configure_file(${CMAKE_CURRENT_LIST_DIR}/systemd/unitmon.service.in
               ${CMAKE_BINARY_DIR}/dist/unitmon.service @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/dist/unitmon.service
        DESTINATION ${CMAKE_INSTALL_DATADIR}/unitboard/systemd COMPONENT host)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/prometheus/unitmon-rules.yml
              ${CMAKE_CURRENT_LIST_DIR}/prometheus/unitmon-rules.test.yml
              ${CMAKE_CURRENT_LIST_DIR}/prometheus/prometheus.yml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/unitboard/prometheus COMPONENT host)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/../docs/fleet.md DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT host)
