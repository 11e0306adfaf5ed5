# The Debian package of the Linux program, made by `cpack -G DEB` in the build
# folder of linux-amd64, linux-arm64 or linux-armhf: the static programs (the
# console program and the service's), the manual page, the service template
# torvex@.service with an example instance configuration and the service's
# user, an empty /var/log/torvex for the records, torvex-fleet and its
# program torvexfleet with their units and examples for copying them to a
# central host over SSH, and the records page with nginx examples that serve
# it.

# Static: the package depends on nothing at run time.
target_link_options(torvex PRIVATE -static)
target_link_options(torvexsvc PRIVATE -static)
target_link_options(torvexfleet PRIVATE -static)
target_link_options(torvex-metrics PRIVATE -static)

# Debian's name for the architecture being built for.
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64)$")
  set(TORVEX_DEB_ARCHITECTURE amd64)
elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^(aarch64|arm64)$")
  set(TORVEX_DEB_ARCHITECTURE arm64)
elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^arm")
  set(TORVEX_DEB_ARCHITECTURE armhf)
else()
  message(FATAL_ERROR "no Debian architecture known for ${CMAKE_SYSTEM_PROCESSOR}")
endif()
set(TORVEX_DEB_MAINTAINER "TORVEX developers <torvex@example.org>" CACHE STRING
  "Maintainer field of the Debian package")

set(TORVEX_DEB_DIR ${CMAKE_CURRENT_LIST_DIR}/debian)
set(TORVEX_DEB_STAGE ${CMAKE_BINARY_DIR}/deb)
# Debian wants the manual page and the change log compressed, reproducibly.
configure_file(${CMAKE_CURRENT_LIST_DIR}/torvex.1 ${TORVEX_DEB_STAGE}/torvex.1 @ONLY)
configure_file(${TORVEX_DEB_DIR}/changelog.in ${TORVEX_DEB_STAGE}/changelog @ONLY)
add_custom_command(
  OUTPUT ${TORVEX_DEB_STAGE}/torvex.1.gz ${TORVEX_DEB_STAGE}/changelog.gz
  COMMAND gzip -9nf -k torvex.1 changelog
  WORKING_DIRECTORY ${TORVEX_DEB_STAGE}
  DEPENDS ${TORVEX_DEB_STAGE}/torvex.1 ${TORVEX_DEB_STAGE}/changelog
  VERBATIM)
add_custom_target(deb_documents ALL
  DEPENDS ${TORVEX_DEB_STAGE}/torvex.1.gz ${TORVEX_DEB_STAGE}/changelog.gz)

install(TARGETS torvex RUNTIME DESTINATION bin)
install(TARGETS torvexsvc torvex-metrics RUNTIME DESTINATION sbin)
install(FILES ${TORVEX_DEB_STAGE}/torvex.1.gz DESTINATION share/man/man1)
install(FILES ${TORVEX_DEB_DIR}/copyright ${TORVEX_DEB_STAGE}/changelog.gz
  DESTINATION share/doc/torvex)
install(FILES ${TORVEX_DEB_DIR}/lintian-overrides DESTINATION share/lintian/overrides
  RENAME torvex)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/torvex@.service DESTINATION /lib/systemd/system)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/example.conf DESTINATION /etc/torvex)
install(FILES ${TORVEX_DEB_DIR}/torvex.sysusers DESTINATION lib/sysusers.d RENAME torvex.conf)
# A fleet of boards: torvex-fleet, the units that run it on a board and the
# central host's sshd (enabled by hand, on the hosts of a fleet only), and
# the ssh and sshd files as examples for /etc/torvex/fleet.
install(FILES ${CMAKE_CURRENT_LIST_DIR}/fleet/ssh_config ${CMAKE_CURRENT_LIST_DIR}/fleet/sshd_config
  DESTINATION share/doc/torvex/examples)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/fleet/torvex-fleet-send.service
  ${CMAKE_CURRENT_LIST_DIR}/fleet/torvex-fleet-central.service DESTINATION /lib/systemd/system)
install(PROGRAMS ${CMAKE_CURRENT_LIST_DIR}/fleet/torvex-fleet DESTINATION sbin)
install(TARGETS torvexfleet RUNTIME DESTINATION lib/torvex)
install(FILES ${PROJECT_SOURCE_DIR}/docs/fleet.md DESTINATION share/doc/torvex)
# The records page, served by nginx as its examples say; its charts come from
# Debian's libjs-dygraphs.
install(FILES ${CMAKE_CURRENT_LIST_DIR}/view/index.html ${CMAKE_CURRENT_LIST_DIR}/view/view.css
  ${CMAKE_CURRENT_LIST_DIR}/view/records.js ${CMAKE_CURRENT_LIST_DIR}/view/charts.js
  ${CMAKE_CURRENT_LIST_DIR}/view/view.js ${CMAKE_CURRENT_LIST_DIR}/view/icon.svg
  DESTINATION share/torvex/view)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/nginx/torvex-view-board.conf
  ${CMAKE_CURRENT_LIST_DIR}/nginx/torvex-view-central.conf
  DESTINATION share/doc/torvex/examples)
# Its guide with the pictures it shows, the summary's and a phone's.
install(FILES ${PROJECT_SOURCE_DIR}/docs/view.md ${PROJECT_SOURCE_DIR}/docs/records-page.png
  ${PROJECT_SOURCE_DIR}/docs/records-page-phone.png DESTINATION share/doc/torvex)
# Alarms through Prometheus: the loggers' metrics folder, the fleet's
# metrics on a timer, the rules and the Alertmanager example.
install(FILES ${CMAKE_CURRENT_LIST_DIR}/alarms/torvex.tmpfiles DESTINATION lib/tmpfiles.d
  RENAME torvex.conf)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/alarms/torvex-metrics.service
  ${CMAKE_CURRENT_LIST_DIR}/alarms/torvex-metrics.timer DESTINATION /lib/systemd/system)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/alarms/torvex-alerts.yml
  ${CMAKE_CURRENT_LIST_DIR}/alarms/alertmanager.yml DESTINATION share/doc/torvex/examples)
install(FILES ${PROJECT_SOURCE_DIR}/docs/alarms.md DESTINATION share/doc/torvex)
install(DIRECTORY DESTINATION /var/log/torvex)
file(WRITE ${TORVEX_DEB_STAGE}/conffiles "/etc/torvex/example.conf\n")

# The service tests run the simulator inside a bare Debian system booted in a
# container: linked statically, it needs nothing from that system.
if(TARGET torvex_sim)
  target_link_options(torvex_sim PRIVATE -static)
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME torvex)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${TORVEX_DEB_ARCHITECTURE})
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${TORVEX_DEB_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "")
# The logger needs nothing. The records page needs dygraphs, and a web server
# only where someone enables it: dygraphs recommended (apt installs it by
# default, a minimal board may go without), nginx suggested. A fleet's hosts
# need openssh-client on a board and openssh-server on the central host:
# suggested.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS libjs-dygraphs)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS
  "nginx, openssh-client, openssh-server, prometheus-node-exporter")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "data logger for a measuring instrument on a serial line")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "\
TORVEX polls an instrument on a serial port once per sampling period and
writes each reply as one line of comma-separated values.
.
The package holds the program (statically linked), its manual page and a
systemd service template: torvex@NAME.service logs the instrument named in
/etc/torvex/NAME.conf into /var/log/torvex/NAME-YYYY-MM.csv, a file per
month, each record stamped with the time of its poll, as the unprivileged
user torvex in the dialout group, and waits for an adapter that is not
there yet.
.
torvex-fleet copies the records files of a fleet of boards to one central
host over SSH, byte for byte, whatever stops on the way; the central host
takes nothing but records from them. Examples
in /usr/share/doc/torvex/examples set up nginx to serve a page of every
instrument's readings over time, on a board or the central host.")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${TORVEX_DEB_STAGE}/conffiles ${TORVEX_DEB_DIR}/preinst ${TORVEX_DEB_DIR}/postinst
  ${TORVEX_DEB_DIR}/prerm ${TORVEX_DEB_DIR}/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
include(${PROJECT_SOURCE_DIR}/tests/package/package_tests.cmake)
