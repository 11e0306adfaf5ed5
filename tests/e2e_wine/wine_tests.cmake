# The Windows build's tests, all under Wine: every test defined so far in
# this directory (they run through the emulator) and the end-to-end suites of
# torvex.exe. They share one private Wine prefix, made once per test run by
# the wine_prefix fixture and removed at its end. Where Wine cannot run the
# exe here (wine_availability.cmake), each of them is reported skipped.

# The simulator runs on this machine: TORVEX_HOST_SIM.
include(${CMAKE_CURRENT_LIST_DIR}/../host_tools.cmake)

set(TORVEX_WINE_DIR ${CMAKE_CURRENT_LIST_DIR})
# Wine's own programs (wineboot, cmd) and the ones they start run through the
# exe's loader too, in a prefix of the exe's word size.
set(TORVEX_WINE_ENVIRONMENT
  "WINEPREFIX=${CMAKE_BINARY_DIR}/wine-prefix"
  "WINEARCH=${TORVEX_WINEARCH}"
  "WINELOADER=${TORVEX_WINE_LOADER}"
  "WINEDEBUG=-all"
  "PYTHONDONTWRITEBYTECODE=1")

get_property(TORVEX_EMULATED_TESTS DIRECTORY PROPERTY TESTS)
foreach(test IN LISTS TORVEX_EMULATED_TESTS)
  set_tests_properties(${test} PROPERTIES
    FIXTURES_REQUIRED wine_prefix ENVIRONMENT "${TORVEX_WINE_ENVIRONMENT}"
    SKIP_RETURN_CODE ${TORVEX_SKIPPED_STATUS})
endforeach()

add_test(NAME wine_prefix_setup
  COMMAND ${TORVEX_WINE_SKIP} ${Python3_EXECUTABLE} wine_session.py start
  WORKING_DIRECTORY ${TORVEX_WINE_DIR})
add_test(NAME wine_prefix_cleanup
  COMMAND ${TORVEX_WINE_SKIP} ${Python3_EXECUTABLE} wine_session.py stop
  WORKING_DIRECTORY ${TORVEX_WINE_DIR})
set_tests_properties(wine_prefix_setup PROPERTIES
  FIXTURES_SETUP wine_prefix ENVIRONMENT "${TORVEX_WINE_ENVIRONMENT}" TIMEOUT 240
  SKIP_RETURN_CODE ${TORVEX_SKIPPED_STATUS})
set_tests_properties(wine_prefix_cleanup PROPERTIES
  FIXTURES_CLEANUP wine_prefix ENVIRONMENT "${TORVEX_WINE_ENVIRONMENT}" TIMEOUT 120
  SKIP_RETURN_CODE ${TORVEX_SKIPPED_STATUS})

# The service suite installs this build's MSI, then one of a later version
# over it, and reads the records file through a reader of its own.
set(TORVEX_SERVICE_ENVIRONMENT "")
if(TORVEX_MSI)
  set(TORVEX_NEXT_MSI ${CMAKE_CURRENT_BINARY_DIR}/torvex-next-version.msi)
  torvex_msi(${TORVEX_NEXT_MSI} ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.1)
  add_executable(torvex_file_reader ${TORVEX_WINE_DIR}/file_reader.cpp)
  add_custom_target(service_test_files ALL DEPENDS ${TORVEX_NEXT_MSI} torvex_file_reader)
  set(TORVEX_SERVICE_ENVIRONMENT
    "TORVEX_MSI=${TORVEX_MSI};TORVEX_NEXT_MSI=${TORVEX_NEXT_MSI};TORVEX_FILE_READER=$<TARGET_FILE:torvex_file_reader>")
endif()

set(suites logging_to_file console serial_line unplugged errors service)
set(classes LoggingToFile Console SerialLine Unplugged Errors WindowsService)
foreach(suite class IN ZIP_LISTS suites classes)
  set(run ${TORVEX_WINE_SKIP} ${Python3_EXECUTABLE} -m unittest -v test_windows_program.${class})
  if(suite STREQUAL "service" AND NOT TORVEX_MSI)
    set(run ${Python3_EXECUTABLE} ${TORVEX_WINE_DIR}/skipped.py
      "wixl is not installed (Debian package wixl), so there is no MSI to install")
  endif()
  add_test(NAME wine_e2e_${suite} COMMAND ${run} WORKING_DIRECTORY ${TORVEX_WINE_DIR})
  # The service suite installs, stops, reboots and upgrades: about a minute,
  # twice that on a machine busy with other work.
  set(timeout 120)
  if(suite STREQUAL "service")
    set(timeout 180)
  endif()
  set_tests_properties(wine_e2e_${suite} PROPERTIES
    FIXTURES_REQUIRED wine_prefix
    RESOURCE_LOCK wine_com_port
    SKIP_RETURN_CODE ${TORVEX_SKIPPED_STATUS}
    ENVIRONMENT "${TORVEX_WINE_ENVIRONMENT};TORVEX_EXE=$<TARGET_FILE:torvex>;TORVEX_SIM=${TORVEX_HOST_SIM};${TORVEX_SERVICE_ENVIRONMENT}"
    TIMEOUT ${timeout})
endforeach()
