# 32-bit big-endian PowerPC, the switch's management CPU, with Debian's cross
# compiler (g++-powerpc-linux-gnu). Target binaries run on the PC under
# qemu-user, which finds the target's C library (for a dynamically linked
# build) in Debian's cross root. This file alone knows these paths: a
# Buildroot or Yocto build brings its own toolchain file instead.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR powerpc)
set(CMAKE_C_COMPILER powerpc-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER powerpc-linux-gnu-g++)
set(CMAKE_FIND_ROOT_PATH /usr/powerpc-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-ppc-static -L /usr/powerpc-linux-gnu)
set(CMAKE_STRIP powerpc-linux-gnu-strip)
