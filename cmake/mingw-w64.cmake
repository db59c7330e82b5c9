# Cross build for 64-bit Windows with Debian's MinGW-w64 (package g++-mingw-w64-x86-64), in its
# POSIX threads variant: std::thread and std::mutex need it. The programs are linked statically,
# so they run under Wine (or on Windows) without the compiler's DLLs beside them.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(QUARRY_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${QUARRY_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QUARRY_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${QUARRY_MINGW_PREFIX}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${QUARRY_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
# Tests and try_run go through Wine.
find_program(QUARRY_WINE NAMES wine64 wine PATHS /usr/lib/wine NO_DEFAULT_PATH)
if(NOT QUARRY_WINE)
  find_program(QUARRY_WINE NAMES wine64 wine)
endif()
set(CMAKE_CROSSCOMPILING_EMULATOR ${QUARRY_WINE})
