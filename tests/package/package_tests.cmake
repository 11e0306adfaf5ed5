# Tests of the Debian package, label "package": the deb_package fixture makes
# the .deb with CPack; deb_contents reads it without installing it, lintian
# included; deb_install installs, runs and removes it (as root only, else it
# is reported skipped); deb_service runs its service under systemd; fleet
# copies records from boards to a central host with torvex-fleet (on this
# machine's build only).
find_package(Python3 REQUIRED COMPONENTS Interpreter)
set(TORVEX_DEB_FILE
  ${CMAKE_BINARY_DIR}/${CPACK_PACKAGE_NAME}_${PROJECT_VERSION}_${TORVEX_DEB_ARCHITECTURE}.deb)
set(TORVEX_DEB_ENVIRONMENT
  "TORVEX_DEB=${TORVEX_DEB_FILE}"
  "TORVEX_DEB_ARCHITECTURE=${TORVEX_DEB_ARCHITECTURE}"
  "TORVEX_VERSION=${PROJECT_VERSION}"
  "TORVEX_EMULATOR=${CMAKE_CROSSCOMPILING_EMULATOR}"
  "PYTHONDONTWRITEBYTECODE=1")

add_test(NAME deb_package
  COMMAND ${CMAKE_CPACK_COMMAND} -G DEB --config ${CMAKE_BINARY_DIR}/CPackConfig.cmake
  WORKING_DIRECTORY ${CMAKE_BINARY_DIR})
set_tests_properties(deb_package PROPERTIES FIXTURES_SETUP deb LABELS package)

set(tests deb_contents deb_install)
set(classes Contents Install)
foreach(test class IN ZIP_LISTS tests classes)
  add_test(NAME ${test}
    COMMAND ${Python3_EXECUTABLE} test_deb.py ${class}
    WORKING_DIRECTORY ${CMAKE_CURRENT_LIST_DIR})
  set_tests_properties(${test} PROPERTIES
    FIXTURES_REQUIRED deb LABELS package ENVIRONMENT "${TORVEX_DEB_ENVIRONMENT}"
    SKIP_RETURN_CODE 77 RESOURCE_LOCK dpkg TIMEOUT 120)
endforeach()

# The fleet's files at work: this machine's unattended program and simulator
# as the boards' loggers, torvex-fleet and torvexfleet over Debian's OpenSSH,
# which must be installed (else the test is reported skipped), as root.
if(NOT CMAKE_CROSSCOMPILING)
  add_test(NAME fleet
    COMMAND ${Python3_EXECUTABLE} test_fleet.py
    WORKING_DIRECTORY ${CMAKE_CURRENT_LIST_DIR})
  set_tests_properties(fleet PROPERTIES
    LABELS package SKIP_RETURN_CODE 77 TIMEOUT 400
    ENVIRONMENT "TORVEXSVC=$<TARGET_FILE:torvexsvc>;TORVEXFLEET=$<TARGET_FILE:torvexfleet>;TORVEX_SIM=$<TARGET_FILE:torvex_sim>;PYTHONDONTWRITEBYTECODE=1")
endif()

# The service under a real systemd: a Debian root made once with mmdebstrap
# in the build folder and kept, booted with systemd-nspawn, the package and
# the static simulator inside (as root only, else it is reported skipped).
# The simulator is built for this machine only.
if(TARGET torvex_sim)
  add_test(NAME deb_service
    COMMAND ${Python3_EXECUTABLE} test_deb.py Service
    WORKING_DIRECTORY ${CMAKE_CURRENT_LIST_DIR})
  set_tests_properties(deb_service PROPERTIES
    FIXTURES_REQUIRED deb LABELS package SKIP_RETURN_CODE 77 TIMEOUT 900
    ENVIRONMENT "${TORVEX_DEB_ENVIRONMENT};TORVEX_SIM=$<TARGET_FILE:torvex_sim>;TORVEX_SYSTEMD_ROOT=${CMAKE_BINARY_DIR}/systemd-root")
endif()
