# What both mingw-w64 toolchains share; the including file sets ZEM_MINGW_PREFIX,
# CMAKE_SYSTEM_PROCESSOR and ZEM_WINE_LOADER.
set(CMAKE_SYSTEM_NAME Windows)
# The posix threading variant: googletest for the Windows test programs needs std::mutex.
set(CMAKE_C_COMPILER ${ZEM_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ZEM_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${ZEM_MINGW_PREFIX}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${ZEM_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# Tests built for Windows run under the Wine loader of their own word size
# (/usr/bin/wine always starts the 32-bit one).
set(CMAKE_CROSSCOMPILING_EMULATOR ${ZEM_WINE_LOADER})
