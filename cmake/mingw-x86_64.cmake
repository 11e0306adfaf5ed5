# The 64-bit Windows program: the same sources, and the Windows tests' home on
# machines whose kernel runs no 32-bit code.
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(TORVEX_MINGW_TRIPLET x86_64-w64-mingw32)
set(TORVEX_WINE_LOADER /usr/lib/wine/wine64)
set(TORVEX_WINEARCH win64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
