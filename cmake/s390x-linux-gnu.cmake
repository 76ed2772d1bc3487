# SPDX-License-Identifier: MIT
# IBM Z Linux (s390x): big-endian, to show that no decoding depends on the host's byte order.
set(KVF_CROSS_ARCH s390x)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
