# Whether Wine can run the Windows program on this machine. Its 32-bit loader
# needs a kernel that runs 32-bit x86 code, which some virtual machines lack.
# scripts/test asks the kernel once and passes the answer in the environment
# as TORVEX_RUNS_32BIT; a configure run on its own asks afresh.
#
# Where Wine cannot run it, every test that would run the exe is reported
# skipped by CTest (status 77) with the reason, instead of failing: the
# emulator becomes skipped.py, and the suites are started through it too.
find_package(Python3 REQUIRED COMPONENTS Interpreter)
set(TORVEX_WINE_SKIP "")
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  if(DEFINED ENV{TORVEX_RUNS_32BIT})
    set(runs_32bit "$ENV{TORVEX_RUNS_32BIT}")
  else()
    execute_process(COMMAND ${PROJECT_SOURCE_DIR}/scripts/runs-32bit-code
      OUTPUT_VARIABLE runs_32bit OUTPUT_STRIP_TRAILING_WHITESPACE)
  endif()
  if(NOT runs_32bit STREQUAL "yes")
    set(TORVEX_WINE_SKIP ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/skipped.py
      "this kernel runs no 32-bit x86 code, so Wine cannot start the 32-bit torvex.exe (the windows64 preset runs these tests on the 64-bit exe)")
    set(CMAKE_CROSSCOMPILING_EMULATOR ${TORVEX_WINE_SKIP})
  endif()
endif()
set(TORVEX_SKIPPED_STATUS 77)
