# SPDX-License-Identifier: MIT
# 64-bit Arm Linux (arm64), little-endian like x86_64.
set(KVF_CROSS_ARCH aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
