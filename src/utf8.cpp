// SPDX-License-Identifier: MIT
#include "utf8.h"

#include <algorithm>
#include <iterator>

#include "hidden_code_points.h"

namespace kvf {

namespace {

constexpr std::uint32_t CODE_POINT_LAST = 0x10FFFF;

}  // namespace

std::size_t decode_utf8(std::string_view text, std::uint32_t& code, Surrogates surrogates) {
    const auto byte = [&text](std::size_t i) -> std::uint32_t { return static_cast<unsigned char>(text[i]); };
    const std::uint32_t lead = byte(0);
    std::size_t length = 0;
    std::uint32_t least = 0;  // below it, the sequence is overlong
    if (lead < 0x80) {
        code = lead;
        return 1;
    }
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        code = lead & 0x1F;
        least = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        code = lead & 0x0F;
        least = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        code = lead & 0x07;
        least = SUPPLEMENTARY_FIRST;
    } else {
        return 0;
    }
    if (text.size() < length) {
        return 0;
    }
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(i) & 0xC0) != 0x80) {
            return 0;
        }
        code = code << 6 | (byte(i) & 0x3F);
    }
    const bool surrogate = code >= HIGH_SURROGATE_FIRST && code <= SURROGATE_LAST;
    if (code < least || code > CODE_POINT_LAST || (surrogate && surrogates == Surrogates::refused)) {
        return 0;
    }
    return length;
}

std::size_t encode_utf8(std::uint32_t code, char* out) {
    if (code < 0x80) {
        out[0] = static_cast<char>(code);
        return 1;
    }
    // Continuation bytes carry six bits each, the last ones first; the lead the rest.
    const std::size_t length = code < 0x800 ? 2 : code < SUPPLEMENTARY_FIRST ? 3 : UTF8_MAX;
    static constexpr unsigned LEAD_MARKS[] = {0, 0, 0xC0, 0xE0, 0xF0};
    for (std::size_t i = length - 1; i > 0; --i) {
        out[i] = static_cast<char>(0x80 | (code & 0x3F));
        code >>= 6;
    }
    out[0] = static_cast<char>(LEAD_MARKS[length] | code);
    return length;
}

bool is_hidden_code_point(std::uint32_t code) {
    // The first range that ends at or after `code` holds it, if any does.
    const auto* range = std::lower_bound(std::begin(HIDDEN_CODE_POINTS), std::end(HIDDEN_CODE_POINTS), code,
                                         [](const CodePointRange& r, std::uint32_t c) { return r.last < c; });
    return range != std::end(HIDDEN_CODE_POINTS) && range->first <= code;
}

}  // namespace kvf
