// SPDX-License-Identifier: MIT
#include "hexdump.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "captured_log.h"

namespace kvf {
namespace {

using test::DUMP_HEAD;

std::string dump(const std::vector<std::uint8_t>& bytes, std::int32_t count, const char* title = nullptr) {
    return test::logged([&](LogOutput& log) { hexdump(log, title, bytes.data(), count); });
}

std::vector<std::uint8_t> counting(std::size_t n) {
    std::vector<std::uint8_t> bytes(n);
    for (std::size_t i = 0; i < n; ++i) {
        bytes[i] = static_cast<std::uint8_t>('A' + i % 26);
    }
    return bytes;
}

TEST(Hexdump, ZeroAndNegativeLengthsStillPrintTheHeader) {
    EXPECT_EQ(dump({}, 0), DUMP_HEAD + "  ZERO LENGTH\n");
    EXPECT_EQ(dump({}, -1), DUMP_HEAD + "  NEGATIVE LENGTH: -1\n");
}

TEST(Hexdump, TitleComesFirst) {
    EXPECT_EQ(dump({}, 0, "Trailer"), "Trailer:\n" + DUMP_HEAD + "  ZERO LENGTH\n");
}

TEST(Hexdump, ShortRowIsPaddedToKeepCharactersAligned) {
    EXPECT_EQ(dump({0x41, 0x00, 0x7F}, 3), DUMP_HEAD + "  00000000  41 00 7F" + std::string(13 * 3, ' ') + "  A..\n");
}

TEST(Hexdump, FullRowsAndRowBoundaries) {
    const std::string row0 = "  00000000  41 42 43 44 45 46 47 48 49 4A 4B 4C 4D 4E 4F 50  ABCDEFGHIJKLMNOP\n";
    EXPECT_EQ(dump(counting(16), 16), DUMP_HEAD + row0);
    EXPECT_EQ(dump(counting(17), 17), DUMP_HEAD + row0 + "  00000010  51" + std::string(15 * 3, ' ') + "  Q\n");
    EXPECT_EQ(dump(counting(29), 29), DUMP_HEAD + row0 + "  00000010  51 52 53 54 55 56 57 58 59 5A 41 42 43" +
                                          std::string(3 * 3, ' ') + "  QRSTUVWXYZABC\n");
    // Row offsets past 9 are upper-case hex too.
    const std::string long_dump = dump(counting(177), 177);
    EXPECT_NE(long_dump.find("\n  000000A0  45 46 47"), std::string::npos) << long_dump;
    EXPECT_TRUE(long_dump.ends_with("\n  000000B0  55" + std::string(15 * 3, ' ') + "  U\n")) << long_dump;
}

TEST(Hexdump, OnlyPrintableAsciiShowsAsItself) {
    EXPECT_EQ(dump({0x1F, 0x20, 0x7E, 0x7F, 0x80, 0xFF}, 6),
              DUMP_HEAD + "  00000000  1F 20 7E 7F 80 FF" + std::string(10 * 3, ' ') + "  . ~...\n");
}

}  // namespace
}  // namespace kvf
