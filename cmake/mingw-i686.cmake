# The 32-bit Windows program, the reference build for Windows users.
set(CMAKE_SYSTEM_PROCESSOR x86)
set(TORVEX_MINGW_TRIPLET i686-w64-mingw32)
set(TORVEX_WINE_LOADER /usr/lib/wine/wine)
set(TORVEX_WINEARCH win32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
