# The Linux program for 32-bit ARM boards with hardware floating point
# (Debian armhf).
set(CMAKE_SYSTEM_PROCESSOR armv7l)
set(TORVEX_LINUX_TRIPLET arm-linux-gnueabihf)
set(TORVEX_QEMU qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
