// SPDX-License-Identifier: MIT
#include "checksum.h"

#include <algorithm>
#include <climits>

#if KVF_CRC_LIBDEFLATE
#include <libdeflate.h>
#else
#include <zlib.h>
#endif

namespace kvf {

std::uint32_t crc32_update(std::uint32_t crc, const std::uint8_t* bytes, std::size_t count) {
#if KVF_CRC_LIBDEFLATE
    return libdeflate_crc32(crc, bytes, count);
#else
    // zlib takes the count as an unsigned int.
    uLong sum = crc;
    while (count > 0) {
        const std::size_t part = std::min<std::size_t>(count, UINT_MAX);
        sum = crc32(sum, bytes, static_cast<uInt>(part));
        bytes += part;
        count -= part;
    }
    return static_cast<std::uint32_t>(sum);
#endif
}

}  // namespace kvf
