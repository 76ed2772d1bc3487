#include "container.h"

#include <cstring>

namespace kvf {

Frame decode_frame(const std::uint8_t* frame) {
    return Frame{frame[TYPE_OFFSET], read_le32(frame + PARAM1_OFFSET), read_le32(frame + PARAM2_OFFSET),
                 frame + PAYLOAD_OFFSET};
}

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
    return nul ? static_cast<std::size_t>(static_cast<const std::uint8_t*>(nul) - payload) : PAYLOAD_SIZE;
}

std::size_t first_bad_dummy_byte(const std::uint8_t* frame) {
    // The header fields are part of the check: a dummy frame's parameters are fill too.
    for (std::size_t i = TYPE_OFFSET + 1; i < FRAME_SIZE; ++i) {
        if (frame[i] != DUMMY_FILL) {
            return i;
        }
    }
    return 0;
}

}  // namespace kvf
