# What goes beside the programs: manual pages, the telemetry service's init
# files, bash completion and the Wireshark dissector.
include(GNUInstallDirs)
set(UNITCTL_PATH ${CMAKE_INSTALL_FULL_BINDIR}/unitctl)
configure_file(${CMAKE_CURRENT_LIST_DIR}/init/unitctl.service.in
               ${CMAKE_BINARY_DIR}/dist/unitctl.service @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/dist/unitctl.service
        DESTINATION ${CMAKE_INSTALL_DATADIR}/unitboard/init)
install(PROGRAMS ${CMAKE_CURRENT_LIST_DIR}/init/unitctl.procd ${CMAKE_CURRENT_LIST_DIR}/init/unitctl.sysv
        DESTINATION ${CMAKE_INSTALL_DATADIR}/unitboard/init)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/man/unitctl.8 ${CMAKE_CURRENT_LIST_DIR}/man/mcuflash.8
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/man/unitmon.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/completion/unitctl ${CMAKE_CURRENT_LIST_DIR}/completion/mcuflash
              ${CMAKE_CURRENT_LIST_DIR}/completion/unitmon
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/wireshark/unitboard.lua
        DESTINATION ${CMAKE_INSTALL_DATADIR}/unitboard/wireshark)

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
