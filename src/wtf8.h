// SPDX-License-Identifier: MIT
// Text as Windows hands it over (UTF-16, where a file name may hold a lone
// surrogate) and as the tool keeps it (UTF-8), converted so that every
// UTF-16 string comes back unchanged: WTF-8, which is UTF-8 with a lone
// surrogate written in the three-byte form of its code unit.
#pragma once

#include <string>
#include <string_view>

namespace kvf {

// `text` as WTF-8: pairs of surrogates as one four-byte sequence, lone ones as three bytes.
std::string wtf8_from_utf16(std::u16string_view text);

// WTF-8 `text` as UTF-16; each byte that is not part of a well-formed
// sequence (or of a surrogate's three-byte form) becomes U+FFFD.
std::u16string utf16_from_wtf8(std::string_view text);

// How much of `text` to take in a piece of at most `most` (at least 2) code
// units: `most`, or one less where that would part a surrogate pair.
std::size_t utf16_piece(std::u16string_view text, std::size_t most);

}  // namespace kvf
