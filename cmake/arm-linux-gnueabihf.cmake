# Cross build for the board: Zynq-7000, ARMv7-A Cortex-A9 with VFPv3-D16,
# hard-float calling convention. Debian's g++-arm-linux-gnueabihf.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR armv7l)

set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)

# Large-file and 64-bit time interfaces on the 32-bit target: a directory
# listing can otherwise fail with EOVERFLOW, and times break in 2038.
set(board_flags "-mcpu=cortex-a9 -mfpu=vfpv3-d16 -mfloat-abi=hard -D_FILE_OFFSET_BITS=64 -D_TIME_BITS=64")
set(CMAKE_C_FLAGS_INIT "${board_flags}")
set(CMAKE_CXX_FLAGS_INIT "${board_flags}")

# Programs and tests run under user-mode emulation on the build machine.
# The library prefix only matters to dynamically linked programs.
if(CMAKE_SYSROOT)
	set(board_libroot ${CMAKE_SYSROOT})
else()
	set(board_libroot /usr/arm-linux-gnueabihf)
endif()
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm -cpu cortex-a9 -L ${board_libroot})
set(CMAKE_FIND_ROOT_PATH ${board_libroot})

# A board sysroot, when given (-DCMAKE_SYSROOT=...), is the only place to
# look for libraries and headers.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
