# Cross build for the device: 32-bit ARMv7-A tuned for Cortex-A7, hard-float
# calling convention, NEON, glibc. Debian's g++-arm-linux-gnueabihf provides
# the compilers and the target's libc under /usr/arm-linux-gnueabihf; programs
# built here run on this machine through qemu-arm (package qemu-user).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR armv7-a)

set(KORVI_TARGET_TRIPLE arm-linux-gnueabihf)
set(KORVI_TARGET_SYSROOT /usr/${KORVI_TARGET_TRIPLE})

set(CMAKE_C_COMPILER ${KORVI_TARGET_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${KORVI_TARGET_TRIPLE}-g++)
set(CMAKE_C_FLAGS_INIT "-mcpu=cortex-a7 -mfpu=neon-vfpv4 -mfloat-abi=hard")
set(CMAKE_CXX_FLAGS_INIT "${CMAKE_C_FLAGS_INIT}")

# Headers, libraries and packages of the target only; programs of this machine.
# Appended, so that a caller's own root (an installed tree) is searched too.
list(APPEND CMAKE_FIND_ROOT_PATH ${KORVI_TARGET_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Target programs (tests, test discovery) run under the user-mode emulator,
# which takes the target's loader and libc from the sysroot.
find_program(KORVI_QEMU_ARM qemu-arm)
if(KORVI_QEMU_ARM)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${KORVI_QEMU_ARM} -L ${KORVI_TARGET_SYSROOT})
endif()
