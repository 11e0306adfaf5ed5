# Cross build of the Windows program with mingw-w64 on Linux, included by the
# toolchain file of each word size after it has set TORVEX_MINGW_TRIPLET.
# The -posix compilers carry std::thread and std::mutex, which GoogleTest needs.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${TORVEX_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TORVEX_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${TORVEX_MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${TORVEX_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The runtime, libstdc++ and winpthread go into the exe, so that it runs on
# any Windows with nothing beside it but the system's own DLLs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# Tests and other programs built here run under Wine, through the loader of
# the exe's own word size: Debian's `wine` wrapper takes the 32-bit loader
# whenever it is installed, even on a kernel that cannot run it.
set(CMAKE_CROSSCOMPILING_EMULATOR ${TORVEX_WINE_LOADER})
