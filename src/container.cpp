// SPDX-License-Identifier: MIT
#include "container.h"

#include <array>
#include <cstring>

namespace kvf {

Trailer decode_trailer(const std::uint8_t* bytes) {
    Trailer trailer{};
    for (std::size_t i = 0; i < TRAILER_WORDS; ++i) {
        trailer.words[i] = read_le32(bytes + i * WORD_SIZE);
    }
    return trailer;
}

std::size_t display_text_length(const std::uint8_t* payload) {
    // A text that fills the payload without a terminating NUL is taken whole.
    const void* nul = std::memchr(payload, 0, PAYLOAD_SIZE);
    return nul != nullptr ? static_cast<std::size_t>(static_cast<const std::uint8_t*>(nul) - payload) : PAYLOAD_SIZE;
}

std::size_t first_bad_dummy_byte(const std::uint8_t* frame) {
    static constexpr auto ALL_FILL = [] {
        std::array<std::uint8_t, FRAME_SIZE - 1> bytes{};
        bytes.fill(DUMMY_FILL);
        return bytes;
    }();
    // The header fields are part of the check: a dummy frame's parameters are fill too.
    // One comparison for the usual all-fill frame, which the log benchmark
    // shows to pay for itself over a byte-by-byte walk.
    if (std::memcmp(frame + TYPE_OFFSET + 1, ALL_FILL.data(), ALL_FILL.size()) == 0) {
        return 0;
    }
    // Some byte differs, so the search ends there, within the frame.
    std::size_t i = TYPE_OFFSET + 1;
    while (frame[i] == DUMMY_FILL) {
        ++i;
    }
    return i;
}

}  // namespace kvf
