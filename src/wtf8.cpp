// SPDX-License-Identifier: MIT
#include "wtf8.h"

#include <cstdint>

#include "utf8.h"

namespace kvf {

namespace {

constexpr char16_t REPLACEMENT = 0xFFFD;

}  // namespace

std::string wtf8_from_utf16(std::u16string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        std::uint32_t code = text[i];
        if (is_high_surrogate(code) && i + 1 < text.size() && is_low_surrogate(text[i + 1])) {
            code = from_surrogates(code, text[++i]);
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
    const bool parts_a_pair = is_high_surrogate(text[most - 1]) && is_low_surrogate(text[most]);
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
            out += static_cast<char16_t>(high_surrogate(code));
            out += static_cast<char16_t>(low_surrogate(code));
        } else {
            out += static_cast<char16_t>(code);
        }
        text.remove_prefix(length);
    }
    return out;
}

}  // namespace kvf
