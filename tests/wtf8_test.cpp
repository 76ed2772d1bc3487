// SPDX-License-Identifier: MIT
#include "wtf8.h"

#include <gtest/gtest.h>

namespace kvf {
namespace {

TEST(Wtf8, EveryUtf16NameComesBackUnchanged) {
    const struct {
        std::u16string utf16;
        std::string wtf8;
    } cases[] = {
        {u"fw.kvf", "fw.kvf"},
        {u"\u00E9\u0416\u56FA", "\xC3\xA9\xD0\x96\xE5\x9B\xBA"},
        {u"\U0001F600", "\xF0\x9F\x98\x80"},  // a surrogate pair: one four-byte sequence
        // Lone surrogates, as NTFS names may hold them: the three-byte form of each.
        {std::u16string{u'a', char16_t{0xD800}, u'b'},
         "a\xED\xA0\x80"
         "b"},
        {std::u16string{char16_t{0xDFFF}}, "\xED\xBF\xBF"},
        {std::u16string{char16_t{0xDC00}, char16_t{0xD800}}, "\xED\xB0\x80\xED\xA0\x80"},  // low before high
        {std::u16string{char16_t{0xD83D}}, "\xED\xA0\xBD"},  // a pair's first half at the end
    };
    for (const auto& [utf16, wtf8] : cases) {
        EXPECT_EQ(wtf8_from_utf16(utf16), wtf8);
        EXPECT_EQ(utf16_from_wtf8(wtf8), utf16);
    }
    // Both sides of every boundary: the last two-byte character and the first
    // three-byte one, the last three-byte character below the
    // surrogates, the surrogates' edges (a high one before U+DFFF stays two
    // lone ones, U+DC00 never starts a pair), the first above, the last of
    // the first plane, the first and last supplementary ones.
    const struct {
        std::u16string utf16;
        std::string wtf8;
    } boundaries[] = {
        {u"\u07FF", "\xDF\xBF"},
        {u"\u0800", "\xE0\xA0\x80"},
        {u"\uD7FF", "\xED\x9F\xBF"},
        {std::u16string{char16_t{0xD800}}, "\xED\xA0\x80"},
        {std::u16string{char16_t{0xDBFF}}, "\xED\xAF\xBF"},
        {std::u16string{char16_t{0xDC00}}, "\xED\xB0\x80"},
        {std::u16string{char16_t{0xDFFF}}, "\xED\xBF\xBF"},
        {std::u16string{char16_t{0xDBFF}, char16_t{0xDFFF}}, "\xF4\x8F\xBF\xBF"},
        {std::u16string{char16_t{0xD800}, char16_t{0xDC00}}, "\xF0\x90\x80\x80"},
        {std::u16string{char16_t{0xDC00}, char16_t{0xDC00}}, "\xED\xB0\x80\xED\xB0\x80"},
        {std::u16string{char16_t{0xDC00}, char16_t{0xDBFF}}, "\xED\xB0\x80\xED\xAF\xBF"},
        {u"\uE000", "\xEE\x80\x80"},
        {u"\uFFFF", "\xEF\xBF\xBF"},
    };
    for (const auto& [utf16, wtf8] : boundaries) {
        EXPECT_EQ(wtf8_from_utf16(utf16), wtf8) << wtf8;
        EXPECT_EQ(utf16_from_wtf8(wtf8), utf16) << wtf8;
    }
    // Bytes that are no sequence at all become U+FFFD, one for each.
    EXPECT_EQ(utf16_from_wtf8("\xFFx\xC0\xAF\xF4\x90\x80\x80\xE2\x82"),
              (std::u16string{0xFFFD, u'x', 0xFFFD, 0xFFFD, 0xFFFD, 0xFFFD, 0xFFFD, 0xFFFD, 0xFFFD, 0xFFFD}));
}

TEST(Wtf8, PiecesNeverPartASurrogatePair) {
    const char16_t high = 0xD83D;
    const char16_t low = 0xDE00;
    const struct {
        std::u16string text;
        std::size_t piece;  // of at most 4 units
    } cases[] = {
        {u"abc", 3},
        {u"abcd", 4},
        {u"abcde", 4},
        {std::u16string{u'a', u'b', u'c', high, low}, 3},   // the pair would be parted: it waits
        {std::u16string{u'a', u'b', high, low, u'e'}, 4},   // the pair fits whole
        {std::u16string{u'a', u'b', u'c', high, u'e'}, 4},  // a lone high surrogate parts nothing
        {std::u16string{u'a', u'b', u'c', low, low}, 4},    // nor does a low one
        {std::u16string{u'a', u'b', u'c', high}, 4},        // the text ends there
    };
    for (const auto& [text, piece] : cases) {
        EXPECT_EQ(utf16_piece(text, 4), piece) << text.size();
    }
}

}  // namespace
}  // namespace kvf
