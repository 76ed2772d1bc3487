// SPDX-License-Identifier: MIT
// Layout of a KVF container: 56-byte frames, type codes, and the 28-byte
// trailer after the ADMINEND frame. Decoding only; no input or output here.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kvf {

inline constexpr std::size_t FRAME_SIZE = 56;
inline constexpr std::size_t PAYLOAD_SIZE = 47;
inline constexpr std::size_t TRAILER_SIZE = 28;

// Field offsets within a frame.
inline constexpr std::size_t TYPE_OFFSET = 0;
inline constexpr std::size_t PARAM1_OFFSET = 1;
inline constexpr std::size_t PARAM2_OFFSET = 5;
inline constexpr std::size_t PAYLOAD_OFFSET = 9;

inline constexpr std::size_t WORD_SIZE = 4;
inline constexpr std::size_t TRAILER_WORDS = 7;
// Trailer words are numbered from 1; these two carry meaning, the rest do not.
inline constexpr std::size_t TRAILER_FILE_LENGTH_WORD = 6;
inline constexpr std::size_t TRAILER_CHECKSUM_WORD = 7;

// The byte every position after the type byte of a dummy frame must hold.
inline constexpr std::uint8_t DUMMY_FILL = 0xFF;

static_assert(PARAM1_OFFSET == TYPE_OFFSET + 1);
static_assert(PARAM2_OFFSET == PARAM1_OFFSET + WORD_SIZE);
static_assert(PAYLOAD_OFFSET == PARAM2_OFFSET + WORD_SIZE);
static_assert(PAYLOAD_OFFSET + PAYLOAD_SIZE == FRAME_SIZE);
static_assert(TRAILER_WORDS * WORD_SIZE == TRAILER_SIZE);
static_assert(TRAILER_CHECKSUM_WORD == TRAILER_WORDS);

enum FrameType : std::uint8_t {
    FRAME_ERASE_FLASH = 0x12,
    FRAME_DISPLAY_TEXT = 0x16,
    FRAME_DUMMY = 0x22,
    FRAME_FLASH_DATA = 0x24,
    FRAME_ADMINEND = 0x41,  // ASCII 'A'
    FRAME_PROGRESS = 0x42,
};

// The decoded header of one frame; `payload` points into the decoded buffer.
struct Frame {
    std::uint8_t type;
    std::uint32_t param1;
    std::uint32_t param2;
    const std::uint8_t* payload;
};

// The seven trailer words; words[0] is word 1.
struct Trailer {
    std::uint32_t words[TRAILER_WORDS];
};

// Reads an unsigned 32-bit little-endian value from the four bytes at `bytes`.
constexpr std::uint32_t read_le32(const std::uint8_t* bytes) {
    return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
           static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

// Decodes the header of the FRAME_SIZE bytes at `frame`; the payload is not copied.
constexpr Frame decode_frame(const std::uint8_t* frame) {
    return Frame{frame[TYPE_OFFSET], read_le32(frame + PARAM1_OFFSET), read_le32(frame + PARAM2_OFFSET),
                 frame + PAYLOAD_OFFSET};
}

// Decodes the TRAILER_SIZE bytes at `bytes` into words 1 to 7.
Trailer decode_trailer(const std::uint8_t* bytes);

// Length of a display text in a payload: up to its first NUL, or all
// PAYLOAD_SIZE bytes when the payload holds none.
std::size_t display_text_length(const std::uint8_t* payload);

// Index (1 to FRAME_SIZE - 1) of the first byte of a dummy frame that is not
// DUMMY_FILL, or 0 when the whole frame after the type byte is fill.
std::size_t first_bad_dummy_byte(const std::uint8_t* frame);

}  // namespace kvf
