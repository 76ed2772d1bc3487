// SPDX-License-Identifier: MIT
#include "log_output.h"

#include <algorithm>
#include <string>

#include <gtest/gtest.h>

#include "captured_log.h"

namespace kvf {
namespace {

using test::logged;

TEST(LogOutput, HexAndDecimalMatchPrintf) {
    for (const std::uint32_t value : {0u, 1u, 0xAu, 0x2Fu, 0x12345678u, 0x80000000u, 0xFFFFFFFFu}) {
        char expected[32];
        std::snprintf(expected, sizeof expected, "%08X|%d", value, static_cast<std::int32_t>(value));
        EXPECT_EQ(logged([&](LogOutput& log) {
                      add_hex32(log, value);
                      add(log, "|");
                      add_decimal(log, static_cast<std::int32_t>(value));
                  }),
                  expected);
    }
}

TEST(LogOutput, FrameTagWidensPastFourGiB) {
    EXPECT_EQ(logged([](LogOutput& log) {
                  add_frame_line(log, 0x38, "a\n");
                  add_frame_line(log, 0xFFFFFFC8, "b\n");
                  frame_printf(log, 0x100000000, "%s\n", "c");
                  frame_printf(log, 0xFFFFFFFFFFFFFFFF, "d%d\n", 4);
              }),
              "0x00000038   : a\n0xFFFFFFC8   : b\n0x100000000   : c\n0xFFFFFFFFFFFFFFFF   : d4\n");
}

TEST(LogOutput, ManyLinesCrossTheBlockInOrder) {
    std::string expected;
    for (int i = 0; i < 20000; ++i) {
        expected += "line " + std::to_string(i) + " " + std::string(static_cast<std::size_t>(i % 70), '.') + "\n";
    }
    EXPECT_EQ(logged([](LogOutput& log) {
                  for (int i = 0; i < 20000; ++i) {
                      const std::string dots(static_cast<std::size_t>(i % 70), '.');
                      if (i % 2 == 0) {
                          add(log, "line ");
                          add_decimal(log, i);
                          add(log, " ");
                          add(log, dots);
                          add(log, "\n");
                      } else {
                          log_printf(log, "line %d %s\n", i, dots.c_str());
                      }
                  }
              }),
              expected);
}

TEST(LogOutput, PrintfTextIsCutAtItsBound) {
    // One byte of a piece is the formatter's terminating NUL.
    for (const std::size_t length : {std::size_t{0}, LOG_PIECE_MAX - 1, LOG_PIECE_MAX, LOG_PIECE_MAX + 100}) {
        const std::string text(length, 'x');
        std::string expected(std::min(length, LOG_PIECE_MAX - 1) + 2, 'x');
        expected.front() = 'y';
        expected.back() = 'z';
        EXPECT_EQ(logged([&](LogOutput& log) {
                      log_printf(log, "%c", 'y');
                      log_printf(log, "%s", text.c_str());
                      log_printf(log, "%c", 'z');
                  }),
                  expected)
            << length;
    }
}

TEST(LogOutput, TerminalIsShownOnlyPrintableTextFromOutside) {
    const std::pair<std::string, std::string> cases[] = {
        {"Plain ~ text.", "Plain ~ text."},
        // The first and last well-formed sequence of each length, and both
        // neighbours of every range a terminal is not shown.
        {"\x20\x7E\xC2\xA0\xDF\xBF\xE0\xA0\x80\xEF\xBF\xBF\xF0\x90\x80\x80\xF4\x8F\xBF\xBF",
         "\x20\x7E\xC2\xA0\xDF\xBF\xE0\xA0\x80\xEF\xBF\xBF\xF0\x90\x80\x80\xF4\x8F\xBF\xBF"},
        {"caf\xC3\xA9 \xD0\x96 \xE5\x9B\xBA \xF0\x9F\x98\x80", "caf\xC3\xA9 \xD0\x96 \xE5\x9B\xBA \xF0\x9F\x98\x80"},
        {"\x01\x1B[2J\x1F\x7F", "??[2J??"},  // C0 and DEL
        {"a\x9B"
         "31mb\xC2\x9B"
         "31mc\xC2\x80\xC2\x9F",
         "a?31mb?31mc??"},                                                                   // C1, raw and UTF-8
        {"\xD8\x9B\xD8\x9C\xD8\x9D", "\xD8\x9B?\xD8\x9D"},                                   // U+061C
        {"\xE2\x80\x8A\xE2\x80\x8B\xE2\x80\x8F\xE2\x80\x90", "\xE2\x80\x8A??\xE2\x80\x90"},  // U+200B to U+200F
        {"\xE2\x80\xA7\xE2\x80\xA8\xE2\x80\xAE\xE2\x80\xAF", "\xE2\x80\xA7??\xE2\x80\xAF"},  // U+2028 to U+202E
        {"\xE2\x81\x9F\xE2\x81\xA0\xE2\x81\xA4\xE2\x81\xA5", "\xE2\x81\x9F??\xE2\x81\xA5"},  // U+2060 to U+2064
        {"\xE2\x81\xA5\xE2\x81\xA6\xE2\x81\xAF\xE2\x81\xB0", "\xE2\x81\xA5??\xE2\x81\xB0"},  // U+2066 to U+206F
        {"\xC2\xAC\xC2\xAD\xC2\xAE", "\xC2\xAC?\xC2\xAE"},                                   // U+00AD
        {"\xE1\x85\x9E\xE1\x85\x9F\xE1\x85\xA0\xE1\x85\xA1", "\xE1\x85\x9E??\xE1\x85\xA1"},  // U+115F, U+1160
        {"\xE1\x9E\xB3\xE1\x9E\xB4\xE1\x9E\xB5\xE1\x9E\xB6", "\xE1\x9E\xB3??\xE1\x9E\xB6"},  // U+17B4, U+17B5
        {"\xE1\xA0\x8D\xE1\xA0\x8E\xE1\xA0\x8F", "\xE1\xA0\x8D?\xE1\xA0\x8F"},               // U+180E
        {"\xE3\x85\xA3\xE3\x85\xA4\xE3\x85\xA5", "\xE3\x85\xA3?\xE3\x85\xA5"},               // U+3164
        {"\xEF\xBE\x9F\xEF\xBE\xA0\xEF\xBE\xA1", "\xEF\xBE\x9F?\xEF\xBE\xA1"},               // U+FFA0
        {"\xEF\xBF\xB8\xEF\xBF\xB9\xEF\xBF\xBB\xEF\xBF\xBC", "\xEF\xBF\xB8??\xEF\xBF\xBC"},  // U+FFF9 to U+FFFB
        {"\xF0\x9B\xB2\x9F\xF0\x9B\xB2\xA0\xF0\x9B\xB2\xA3\xF0\x9B\xB2\xA4",
         "\xF0\x9B\xB2\x9F??\xF0\x9B\xB2\xA4"},  // U+1BCA0 to U+1BCA3
        {"\xF0\x9D\x85\xB2\xF0\x9D\x85\xB3\xF0\x9D\x85\xBA\xF0\x9D\x85\xBB",
         "\xF0\x9D\x85\xB2??\xF0\x9D\x85\xBB"},                                 // U+1D173 to U+1D17A
        {"\xEF\xBB\xBE\xEF\xBB\xBF\xEF\xBC\x80", "\xEF\xBB\xBE?\xEF\xBC\x80"},  // U+FEFF
        {"\xF3\x9F\xBF\xBF\xF3\xA0\x80\x80\xF3\xA0\x81\xBF\xF3\xA0\x82\x80",
         "\xF3\x9F\xBF\xBF??\xF3\xA0\x82\x80"},  // tags, U+E0000 to U+E007F
        // Not well formed, one '?' a byte: overlong forms, surrogates (with
        // their neighbours), past U+10FFFF, continuation bytes above 0xBF.
        {"\xC0\x80\xC1\xBF\xE0\x80\x80\xE0\x9F\xBF\xF0\x80\x80\x80\xF0\x8F\xBF\xBF", std::string(18, '?')},
        {"\xED\x9F\xBF\xED\xA0\x80\xED\xBF\xBF\xEE\x80\x80", "\xED\x9F\xBF??????\xEE\x80\x80"},
        {"\xF4\x90\x80\x80\xF5\x80\x80\x80\xFF", std::string(9, '?')},
        {"\xC2\xC0\xE1\x80\xC0\xF1\x80\x80\xC0", std::string(9, '?')},
        // Cut short inside the text and at its end.
        {"\xE2\x82x\xF0\x9F\x98y\xFF\x80", "??x???y??"},
        {"a\xF0\x9F\x98", "a???"},
    };
    for (const auto& [text, shown] : cases) {
        const auto add_text = [&from = text](LogOutput& log) { add_external(log, from); };
        EXPECT_EQ(logged(add_text, true), shown) << text;
        EXPECT_EQ(logged(add_text), text);
    }
}

TEST(LogOutput, FailedWriteShowsOnTheStream) {
    // A stream open for reading only refuses every write, on every platform.
    test::TempStream file;
    std::FILE* read_only = std::fopen(file.path.string().c_str(), "rb");
    ASSERT_NE(read_only, nullptr);
    std::setvbuf(read_only, nullptr, _IONBF, 0);
    static LogOutput log;
    start_log(log, read_only, false);
    add(log, "lost\n");
    flush_log(log);
    EXPECT_NE(log.error, 0);
    std::fclose(read_only);
}

}  // namespace
}  // namespace kvf
