// SPDX-License-Identifier: MIT
// UTF-8 as the tool reads and writes it: one decoder behind the terminal filter, the
// JSON strings and the Windows path conversion, and which code points a
// terminal is not shown.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace kvf {

// UTF-16's surrogates: a high one and a low one in a row stand for one code
// point from SUPPLEMENTARY_FIRST up; UTF-8 writes that code point instead.
inline constexpr std::uint32_t HIGH_SURROGATE_FIRST = 0xD800;
inline constexpr std::uint32_t LOW_SURROGATE_FIRST = 0xDC00;
inline constexpr std::uint32_t SURROGATE_LAST = 0xDFFF;
inline constexpr std::uint32_t SUPPLEMENTARY_FIRST = 0x10000;
// Bits of a code point that each surrogate of its pair carries.
inline constexpr unsigned SURROGATE_BITS = 10;

// Whether `unit` is a high surrogate (U+D800 to U+DBFF).
constexpr bool is_high_surrogate(std::uint32_t unit) {
    return unit >= HIGH_SURROGATE_FIRST && unit < LOW_SURROGATE_FIRST;
}

// Whether `unit` is a low surrogate (U+DC00 to U+DFFF).
constexpr bool is_low_surrogate(std::uint32_t unit) {
    return unit >= LOW_SURROGATE_FIRST && unit <= SURROGATE_LAST;
}

// The high surrogate of the pair for `code` (from SUPPLEMENTARY_FIRST).
constexpr std::uint32_t high_surrogate(std::uint32_t code) {
    return HIGH_SURROGATE_FIRST + ((code - SUPPLEMENTARY_FIRST) >> SURROGATE_BITS);
}

// The low surrogate of the pair for `code` (from SUPPLEMENTARY_FIRST).
constexpr std::uint32_t low_surrogate(std::uint32_t code) {
    return LOW_SURROGATE_FIRST + ((code - SUPPLEMENTARY_FIRST) & ((1U << SURROGATE_BITS) - 1));
}

// The code point that the pair of `high` and `low` surrogates stands for.
constexpr std::uint32_t from_surrogates(std::uint32_t high, std::uint32_t low) {
    return SUPPLEMENTARY_FIRST + ((high - HIGH_SURROGATE_FIRST) << SURROGATE_BITS) + (low - LOW_SURROGATE_FIRST);
}
static_assert(from_surrogates(high_surrogate(0x10FFFF), low_surrogate(0x10FFFF)) == 0x10FFFF);

// Whether a decode takes a surrogate's three-byte form (U+D800 to U+DFFF),
// which well-formed UTF-8 never holds but WTF-8 writes for a lone one.
enum class Surrogates { refused, accepted };

// Decodes the sequence that starts the non-empty `text` into `code`; returns
// its length (1 to 4), or 0 when it is not well formed: a bad lead or
// continuation byte, cut short, overlong, past U+10FFFF, or a surrogate
// unless `surrogates` accepts it.
std::size_t decode_utf8(std::string_view text, std::uint32_t& code, Surrogates surrogates = Surrogates::refused);

// The most bytes a code point takes in UTF-8.
inline constexpr std::size_t UTF8_MAX = 4;

// Writes `code` (at most U+10FFFF; a surrogate too, as WTF-8 writes it) in
// its shortest UTF-8 form to `out`, which has room for UTF8_MAX bytes;
// returns how many bytes that took.
std::size_t encode_utf8(std::uint32_t code, char* out);

// Whether a terminal is shown '?' for `code`: a control, a format or
// unassigned code point, a line or paragraph separator, or a default
// ignorable one (the Unicode data's lists, in hidden_code_points.h).
bool is_hidden_code_point(std::uint32_t code);

}  // namespace kvf
