# Cross build of the Linux program for a small ARM board with Debian's cross
# compilers, included by the toolchain file of each architecture after it has
# set TORVEX_LINUX_TRIPLET, CMAKE_SYSTEM_PROCESSOR and TORVEX_QEMU.
set(CMAKE_SYSTEM_NAME Linux)

set(CMAKE_C_COMPILER ${TORVEX_LINUX_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${TORVEX_LINUX_TRIPLET}-g++)

set(CMAKE_FIND_ROOT_PATH /usr/${TORVEX_LINUX_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Everything is linked statically: the program needs nothing on the board, and
# the emulator below runs the tests without a library tree of the target.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# Tests and programs built here run in qemu's user mode, started explicitly,
# so the machine needs no binfmt registration.
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/${TORVEX_QEMU})
