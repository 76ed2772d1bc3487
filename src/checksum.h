// SPDX-License-Identifier: MIT
// The CRC-32 of zlib and the container's trailer (the reflected polynomial
// 0x04C11DB7), from a library.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kvf {

// The CRC-32 of no bytes, to start from.
inline constexpr std::uint32_t CRC32_START = 0;

// The CRC-32 of the bytes summed into `crc` followed by the `count` bytes at `bytes`.
std::uint32_t crc32_update(std::uint32_t crc, const std::uint8_t* bytes, std::size_t count);

}  // namespace kvf
