# Cross build of the host's half for Windows x86-64: Debian's MinGW-w64
# (g++-mingw-w64-x86-64-posix, whose threads are winpthread's), with
# programs and tests run under Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# Packages also where CMAKE_PREFIX_PATH says: an unpacked zip, say.
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)

# tests/windows/wine runs each program in a Wine prefix of its own.
get_filename_component(board_source ${CMAKE_CURRENT_LIST_DIR} DIRECTORY)
set(CMAKE_CROSSCOMPILING_EMULATOR ${board_source}/tests/windows/wine)
