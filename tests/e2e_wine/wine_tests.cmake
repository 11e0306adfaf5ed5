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

set(suites logging_to_file console serial_line unplugged errors)
set(classes LoggingToFile Console SerialLine Unplugged Errors)
foreach(suite class IN ZIP_LISTS suites classes)
  add_test(NAME wine_e2e_${suite}
    COMMAND ${TORVEX_WINE_SKIP} ${Python3_EXECUTABLE} -m unittest -v test_windows_program.${class}
    WORKING_DIRECTORY ${TORVEX_WINE_DIR})
  set_tests_properties(wine_e2e_${suite} PROPERTIES
    FIXTURES_REQUIRED wine_prefix
    RESOURCE_LOCK wine_com_port
    SKIP_RETURN_CODE ${TORVEX_SKIPPED_STATUS}
    ENVIRONMENT "${TORVEX_WINE_ENVIRONMENT};TORVEX_EXE=$<TARGET_FILE:torvex>;TORVEX_SIM=${TORVEX_HOST_SIM}"
    TIMEOUT 120)
endforeach()
