# Whether Wine can run the Windows program on this machine. Its 32-bit loader
# needs a kernel that runs 32-bit x86 code, which some virtual machines lack,
# and must be installed (Debian package wine32:i386), which a mirror whose i386
# half lags can prevent. scripts/test asks the kernel once and passes the
# answer in the environment as TORVEX_RUNS_32BIT, and apt's reason when it
# could not install the loader as TORVEX_WINE32_MISSING; a configure run on
# its own asks the kernel afresh. The loader itself is tried here each time.
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
  set(cause "")
  if(NOT runs_32bit STREQUAL "yes")
    set(cause "this kernel runs no 32-bit x86 code")
  elseif(NOT EXISTS ${TORVEX_WINE_LOADER})
    set(cause "Wine's 32-bit loader ${TORVEX_WINE_LOADER} is not installed")
    if("$ENV{TORVEX_WINE32_MISSING}" STREQUAL "")
      string(APPEND cause " (Debian package wine32:i386)")
    else()
      string(APPEND cause ": $ENV{TORVEX_WINE32_MISSING}")
    endif()
  else()
    # --version makes no prefix: it only shows that the loader starts.
    execute_process(COMMAND ${TORVEX_WINE_LOADER} --version RESULT_VARIABLE status
      OUTPUT_QUIET ERROR_VARIABLE error ERROR_STRIP_TRAILING_WHITESPACE TIMEOUT 60)
    if(NOT status EQUAL 0)
      string(REGEX REPLACE "\n.*" "" error "${error}")
      if(NOT error STREQUAL "")
        string(APPEND status ": ${error}")
      endif()
      set(cause "Wine's 32-bit loader ${TORVEX_WINE_LOADER} does not start (${status})")
    endif()
  endif()
  if(NOT cause STREQUAL "")
    # A semicolon would split the reason into several arguments.
    string(REPLACE ";" "," cause "${cause}")
    set(TORVEX_WINE_SKIP ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/skipped.py
      "${cause}, so Wine cannot start the 32-bit torvex.exe (the windows64 preset runs these tests on the 64-bit exe)")
    set(CMAKE_CROSSCOMPILING_EMULATOR ${TORVEX_WINE_SKIP})
  endif()
endif()
set(TORVEX_SKIPPED_STATUS 77)
