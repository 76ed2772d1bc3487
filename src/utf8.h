// SPDX-License-Identifier: MIT
// UTF-8 as the tool reads and writes it: one decoder behind the terminal filter, the
// JSON strings and the Windows path conversion, and which code points a
// terminal is not shown.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace kvf {

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
