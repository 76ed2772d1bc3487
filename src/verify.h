// SPDX-License-Identifier: MIT
// What --verify checks of a container against its trailer: the file length
// word against the bytes read, and the checksum word against the CRC-32 of
// each of the stretches of bytes that containers are known to sum.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "container.h"

namespace kvf {

// The bytes a checksum word may be the CRC-32 of, in the order they are tried.
enum Coverage : std::size_t {
    COVER_BEFORE_TRAILER,   // every byte before the trailer: the frames, ADMINEND included
    COVER_BEFORE_CHECKSUM,  // every byte before the checksum word: the frames and words 1 to 6
    COVER_BEFORE_ADMINEND,  // every byte before the ADMINEND frame
    COVER_FLASH_DATA,       // the flash data bytes, in file order
    COVERAGES,
};

// Where the checksum word starts in the trailer.
inline constexpr std::size_t TRAILER_CHECKSUM_OFFSET = (TRAILER_CHECKSUM_WORD - 1) * 4;
static_assert(TRAILER_CHECKSUM_OFFSET + 4 == TRAILER_SIZE);

// A coverage as the events name it: "before_trailer", ...
std::string_view coverage_key(std::size_t coverage);

// A coverage as the log words it: "every byte before the trailer", ...
std::string_view coverage_words(std::size_t coverage);

// What was read and what the trailer states, and what matched.
struct Verification {
    bool has_trailer;          // the container ends with ADMINEND and a trailer
    std::uint64_t bytes_read;  // the container's bytes
    std::uint32_t file_length;
    std::uint32_t checksum;
    std::uint32_t crc[COVERAGES];  // the CRC-32 of each coverage
    bool length_matches;
    std::size_t matched;  // the first coverage whose CRC-32 is the checksum; COVERAGES for none
};

// Fills in what matched of `v`'s facts.
void judge(Verification& v);

// Whether the container is intact as far as its trailer tells: its length
// is the bytes read and one coverage's CRC-32 its checksum.
inline bool is_verified(const Verification& v) {
    return v.has_trailer && v.length_matches && v.matched < COVERAGES;
}

}  // namespace kvf
