# SPDX-License-Identifier: MIT
# Cross build for the device: 32-bit ARMv7-A tuned for Cortex-A7, hard-float
# calling convention, NEON, glibc. Programs built here run on this machine
# through qemu-arm (package qemu-user).
#
# The compilers and the target's root come from the environment, as a vendor
# SDK's environment script sets them, so that a build is pointed at another
# toolchain without editing the project:
#   CC, CXX           the cross compilers, flags allowed (a Yocto SDK's carry
#                     --sysroot and -mcpu), read when a build folder is first configured
#   CROSS_COMPILE     else the compilers are ${CROSS_COMPILE}gcc and
#                     ${CROSS_COMPILE}g++ (default arm-linux-gnueabihf-,
#                     Debian's g++-arm-linux-gnueabihf)
#   SDKTARGETSYSROOT  the target's root: headers, libraries, and the loader and
#   or KORVI_SYSROOT  libc that qemu-arm runs programs with. Default: Debian's
#                     /usr/arm-linux-gnueabihf, which its compilers know.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR armv7-a)

# What the environment says is kept in the cache: a later run of CMake (one
# that `cmake --build` starts, say) keeps the same toolchain without it.
set(default_root /usr/arm-linux-gnueabihf)
if(DEFINED ENV{KORVI_SYSROOT})
  set(root $ENV{KORVI_SYSROOT})
elseif(DEFINED ENV{SDKTARGETSYSROOT})
  set(root $ENV{SDKTARGETSYSROOT})
else()
  set(root ${default_root})
endif()
set(KORVI_TARGET_SYSROOT ${root} CACHE PATH "The target's root")
if(DEFINED ENV{CROSS_COMPILE})
  set(KORVI_CROSS_COMPILE $ENV{CROSS_COMPILE} CACHE STRING "Prefix of the cross compilers' names")
else()
  set(KORVI_CROSS_COMPILE arm-linux-gnueabihf- CACHE STRING "Prefix of the cross compilers' names")
endif()
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES KORVI_TARGET_SYSROOT KORVI_CROSS_COMPILE)

# CMake takes CC and CXX, flags and all, by itself when nothing is set here.
if(NOT DEFINED ENV{CC} AND NOT CMAKE_C_COMPILER)
  set(CMAKE_C_COMPILER ${KORVI_CROSS_COMPILE}gcc)
endif()
if(NOT DEFINED ENV{CXX} AND NOT CMAKE_CXX_COMPILER)
  set(CMAKE_CXX_COMPILER ${KORVI_CROSS_COMPILE}g++)
endif()
# Debian's cross compilers find their root without being told.
if(NOT KORVI_TARGET_SYSROOT STREQUAL "${default_root}")
  set(CMAKE_SYSROOT ${KORVI_TARGET_SYSROOT})
endif()

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
