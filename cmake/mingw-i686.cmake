# Cross build for 32-bit Windows with mingw-w64 (Debian: g++-mingw-w64-i686).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(ZEM_MINGW_PREFIX i686-w64-mingw32)
# The posix threading variant: googletest for the Windows test programs needs std::mutex.
set(CMAKE_C_COMPILER ${ZEM_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ZEM_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${ZEM_MINGW_PREFIX}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${ZEM_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# Tests built for Windows run under Wine.
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
