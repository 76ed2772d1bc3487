// SPDX-License-Identifier: MIT
#include "wtf8.h"

#include <cstdint>

#include "utf8.h"

namespace kvf {

namespace {

constexpr std::uint32_t SURROGATE_FIRST = 0xD800;
constexpr std::uint32_t LOW_SURROGATE_FIRST = 0xDC00;
constexpr std::uint32_t SURROGATE_LAST = 0xDFFF;
constexpr std::uint32_t SUPPLEMENTARY_FIRST = 0x10000;
constexpr char16_t REPLACEMENT = 0xFFFD;

}  // namespace

std::string wtf8_from_utf16(std::u16string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        std::uint32_t code = text[i];
        const bool high = code >= SURROGATE_FIRST && code < LOW_SURROGATE_FIRST;
        if (high && i + 1 < text.size() && text[i + 1] >= LOW_SURROGATE_FIRST && text[i + 1] <= SURROGATE_LAST) {
            code = SUPPLEMENTARY_FIRST + ((code - SURROGATE_FIRST) << 10) + (text[++i] - LOW_SURROGATE_FIRST);
        }
        char bytes[UTF8_MAX];
        out.append(bytes, encode_utf8(code, bytes));
    }
    return out;
}

std::size_t utf16_piece(std::u16string_view text, std::size_t most) {
    if (text.size() <= most) {
        return text.size();
    }
    const char16_t last = text[most - 1];
    const char16_t next = text[most];
    const bool parts_a_pair =
        last >= SURROGATE_FIRST && last < LOW_SURROGATE_FIRST && next >= LOW_SURROGATE_FIRST && next <= SURROGATE_LAST;
    return parts_a_pair ? most - 1 : most;
}

std::u16string utf16_from_wtf8(std::string_view text) {
    std::u16string out;
    out.reserve(text.size());
    while (!text.empty()) {
        std::uint32_t code = 0;
        const std::size_t length = decode_utf8(text, code, Surrogates::accepted);
        if (length == 0) {
            out += REPLACEMENT;
            text.remove_prefix(1);
            continue;
        }
        if (code >= SUPPLEMENTARY_FIRST) {
            code -= SUPPLEMENTARY_FIRST;
            out += static_cast<char16_t>(SURROGATE_FIRST + (code >> 10));
            out += static_cast<char16_t>(LOW_SURROGATE_FIRST + (code & 0x3FF));
        } else {
            out += static_cast<char16_t>(code);
        }
        text.remove_prefix(length);
    }
    return out;
}

}  // namespace kvf
