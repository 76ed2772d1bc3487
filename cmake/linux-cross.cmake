# SPDX-License-Identifier: MIT
# Cross-compiles for the Linux architecture KVF_CROSS_ARCH with Debian's cross
# compilers (g++-ARCH-linux-gnu) and runs the built programs, tests included,
# under qemu's user-mode emulator (qemu-user). Included by the toolchain file
# of each architecture.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${KVF_CROSS_ARCH})
set(KVF_CROSS_TRIPLE ${KVF_CROSS_ARCH}-linux-gnu)

set(CMAKE_C_COMPILER ${KVF_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${KVF_CROSS_TRIPLE}-g++)

set(CMAKE_FIND_ROOT_PATH /usr/${KVF_CROSS_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The target's C and C++ libraries are those of the cross compiler's root,
# before any the host's loader cache lists (such as libc6:arm64 installed
# for packaging): a loader of one build with a C library of another hangs.
find_program(KVF_QEMU qemu-${KVF_CROSS_ARCH})
if(KVF_QEMU)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${KVF_QEMU} -L /usr/${KVF_CROSS_TRIPLE} -E
                                    LD_LIBRARY_PATH=/usr/${KVF_CROSS_TRIPLE}/lib)
endif()
