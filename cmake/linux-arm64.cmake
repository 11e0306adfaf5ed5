# The Linux program for 64-bit ARM boards (Debian arm64).
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(TORVEX_LINUX_TRIPLET aarch64-linux-gnu)
set(TORVEX_QEMU qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
