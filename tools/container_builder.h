// SPDX-License-Identifier: MIT
// Builds KVF containers byte by byte: for the generator and the tests.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "container.h"

namespace kvf::build {

using Bytes = std::vector<std::uint8_t>;
using FrameBytes = std::array<std::uint8_t, FRAME_SIZE>;
using TrailerBytes = std::array<std::uint8_t, TRAILER_SIZE>;

inline void write_le32(std::uint8_t* at, std::uint32_t value) {
    for (std::size_t i = 0; i < WORD_SIZE; ++i) {
        at[i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

// A frame of `type` with both parameters and a payload padded with `fill`.
inline FrameBytes frame(std::uint8_t type, std::uint32_t param1, std::uint32_t param2,
                        std::span<const std::uint8_t> payload = {}, std::uint8_t fill = 0) {
    FrameBytes bytes{};
    bytes.fill(fill);
    bytes[TYPE_OFFSET] = type;
    write_le32(&bytes[PARAM1_OFFSET], param1);
    write_le32(&bytes[PARAM2_OFFSET], param2);
    for (std::size_t i = 0; i < payload.size() && i < PAYLOAD_SIZE; ++i) {
        bytes[PAYLOAD_OFFSET + i] = payload[i];
    }
    return bytes;
}

inline FrameBytes erase(std::uint32_t param1, std::uint32_t param2) {
    return frame(FRAME_ERASE_FLASH, param1, param2);
}

// A display text; texts shorter than the payload are NUL-terminated.
inline FrameBytes text(std::string_view text, std::uint32_t param1 = 0, std::uint32_t param2 = 0) {
    const auto* data = reinterpret_cast<const std::uint8_t*>(text.data());
    return frame(FRAME_DISPLAY_TEXT, param1, param2, std::span(data, text.size()));
}

// A flash-data frame whose length field is the size of `data`.
inline FrameBytes flash(std::uint32_t address, std::span<const std::uint8_t> data) {
    return frame(FRAME_FLASH_DATA, static_cast<std::uint32_t>(data.size()), address, data);
}

inline FrameBytes dummy() {
    return frame(FRAME_DUMMY, 0xFFFFFFFF, 0xFFFFFFFF, {}, DUMMY_FILL);
}

inline FrameBytes progress(std::uint32_t percent) {
    return frame(FRAME_PROGRESS, percent, 0);
}

inline FrameBytes adminend() {
    FrameBytes bytes = frame(FRAME_ADMINEND, 0, 0);
    const std::string_view keyword = "ADMINEND";
    for (std::size_t i = 0; i < keyword.size(); ++i) {
        bytes[i] = static_cast<std::uint8_t>(keyword[i]);
    }
    return bytes;
}

inline TrailerBytes trailer(const std::array<std::uint32_t, TRAILER_WORDS>& words) {
    TrailerBytes bytes{};
    for (std::size_t i = 0; i < TRAILER_WORDS; ++i) {
        write_le32(&bytes[i * WORD_SIZE], words[i]);
    }
    return bytes;
}

// CRC-32 (reflected, polynomial 0xEDB88320) continued from `crc` over `data`.
inline std::uint32_t crc32(std::uint32_t crc, std::span<const std::uint8_t> data) {
    crc = ~crc;
    for (std::uint8_t byte : data) {
        crc ^= byte;
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc >> 1) ^ (0xEDB88320U & (0U - (crc & 1U)));
        }
    }
    return ~crc;
}

// Deterministic filler bytes: `length` bytes starting from `seed`.
inline Bytes pattern(std::size_t length, std::uint32_t seed) {
    Bytes bytes(length);
    std::uint32_t state = seed * 2654435761U + 1;
    for (auto& byte : bytes) {
        state = state * 1103515245U + 12345U;
        byte = static_cast<std::uint8_t>(state >> 24);
    }
    return bytes;
}

inline void append(Bytes& out, std::span<const std::uint8_t> bytes) {
    out.insert(out.end(), bytes.begin(), bytes.end());
}

// The bytes of `a`, then those of `b`.
inline Bytes cat(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b) {
    Bytes joined(a.begin(), a.end());
    append(joined, b);
    return joined;
}

// ADMINEND and a trailer whose length and checksum words describe `body` plus themselves.
inline void close_container(Bytes& body) {
    append(body, adminend());
    const auto length = static_cast<std::uint32_t>(body.size() + TRAILER_SIZE);
    append(body, trailer({0, 0, 0, 0, 0, length, crc32(0, body)}));
}

}  // namespace kvf::build
