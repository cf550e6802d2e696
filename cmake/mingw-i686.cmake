# Cross build for 32-bit Windows with mingw-w64 (Debian: g++-mingw-w64-i686-posix).
# The product: a PE32 program, run under Wine's 32-bit loader in the tests.
set(ZEM_MINGW_PREFIX i686-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(ZEM_WINE_LOADER /usr/lib/wine/wine)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
