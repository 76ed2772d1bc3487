// SPDX-License-Identifier: MIT
#include "log_output.h"

#include <algorithm>
#include <string>

#include <gtest/gtest.h>

#include "captured_log.h"
#include "hidden_code_points.h"
#include "utf8.h"

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

// `code` as UTF-8.
std::string utf8(std::uint32_t code) {
    char bytes[UTF8_MAX];
    return std::string(bytes, encode_utf8(code, bytes));
}

TEST(LogOutput, TerminalIsShownOnlyPrintableTextFromOutside) {
    const std::pair<std::string, std::string> cases[] = {
        {"Plain ~ text.", "Plain ~ text."},
        // The first and last well-formed sequence of each length that is shown.
        {"\x20\x7E\xC2\xA0\xDF\xBF\xE0\xA0\x80\xEF\xBF\xBD\xF0\x90\x80\x80\xF4\x8F\xBF\xBD",
         "\x20\x7E\xC2\xA0\xDF\xBF\xE0\xA0\x80\xEF\xBF\xBD\xF0\x90\x80\x80\xF4\x8F\xBF\xBD"},
        // Letters of several scripts, and combining marks that are not default ignorable.
        {"caf\xC3\xA9 \xD0\x96 \xE5\x9B\xBA \xF0\x9F\x98\x80 e\xCC\x81 \xE0\xA4\x95\xE0\xA4\xBF",
         "caf\xC3\xA9 \xD0\x96 \xE5\x9B\xBA \xF0\x9F\x98\x80 e\xCC\x81 \xE0\xA4\x95\xE0\xA4\xBF"},
        {"\x01\x1B[2J\x1F\x7F", "??[2J??"},  // C0 and DEL
        {"a\x9B"
         "31mb\xC2\x9B"
         "31mc\xC2\x80\xC2\x9F",
         "a?31mb?31mc??"},  // C1, raw and UTF-8
        // Invisible or reordering: U+034F, U+FE0F, U+180B, U+180F, U+2065,
        // U+E0100, U+FFF0, U+0600, U+110BD, U+13430, U+202E, U+2028, U+FEFF.
        {utf8(0x34F) + utf8(0xFE0F) + utf8(0x180B) + utf8(0x180F) + utf8(0x2065) + utf8(0xE0100) + utf8(0xFFF0) +
             utf8(0x600) + utf8(0x110BD) + utf8(0x13430) + utf8(0x202E) + utf8(0x2028) + utf8(0xFEFF),
         std::string(13, '?')},
        // Not well formed, one '?' a byte: overlong forms, surrogates (with
        // their neighbours), past U+10FFFF, continuation bytes above 0xBF.
        {"\xC0\x80\xC1\xBF\xE0\x80\x80\xE0\x9F\xBF\xF0\x80\x80\x80\xF0\x8F\xBF\xBF", std::string(18, '?')},
        {"\xED\x9F\xBB\xED\xA0\x80\xED\xBF\xBF\xEE\x80\x80", "\xED\x9F\xBB??????\xEE\x80\x80"},
        {"\xF4\x90\x80\x80\xF5\x80\x80\x80\xFF", std::string(9, '?')},
        {"\xC2\xC0\xE1\x80\xC0\xF1\x80\x80\xC0", std::string(9, '?')},
        // Cut short inside the text and at its end.
        {"\xE2\x82x\xF0\x9F\x98y\xFF\x80", "??x???y??"},
        {"a\xF0\x9F\x98", "a???"},
        // Both sides of a few edges of the Unicode data's lists: U+00AC, U+00AD,
        // U+200B, U+202F, U+2069, U+FFFC, U+EFFFF.
        {utf8(0xAC) + utf8(0xAD) + utf8(0x200B) + utf8(0x202F) + utf8(0x2069) + utf8(0xFFFC) + utf8(0xEFFFF),
         utf8(0xAC) + "??" + utf8(0x202F) + "?" + utf8(0xFFFC) + "?"},
    };
    for (const auto& [text, shown] : cases) {
        const auto add_text = [&from = text](LogOutput& log) { add_external(log, from); };
        EXPECT_EQ(logged(add_text, true), shown) << text;
        EXPECT_EQ(logged(add_text), text);
    }
    // Both edges of every hidden range, and the neighbours outside it, which
    // are shown unless they are surrogates or past U+10FFFF (ill-formed).
    std::string edges;
    std::string expected;
    for (const auto& [first, last] : HIDDEN_CODE_POINTS) {
        for (const std::uint32_t code : {first - 1, first, last, last + 1}) {
            if (code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
                continue;
            }
            edges += utf8(code);
            expected += code >= first && code <= last ? "?" : utf8(code);
        }
    }
    EXPECT_EQ(logged([&](LogOutput& log) { add_external(log, edges); }, true), expected);
}

TEST(LogOutput, JsonTextIsEscapedSoNoLineOrControlIsEverRaw) {
    const struct {
        std::string text;
        std::string json;  // the string's contents, without its quotes
        bool well_formed;
    } cases[] = {
        {"Boot Loader  V1.2", "Boot Loader  V1.2", true},
        {"a\"b\\c/d", "a\\\"b\\\\c/d", true},
        {"\n\r\t\x01\x1F\x7F", "\\n\\r\\t\\u0001\\u001F\\u007F", true},
        {"x\n0x00000038   : 'ADMINEND' keyword found", "x\\n0x00000038   : 'ADMINEND' keyword found", true},
        {"\xC2\x80\xC2\x9F\xC2\xA0", "\\u0080\\u009F\xC2\xA0", true},             // C1 escaped, NBSP kept
        {"\xE2\x80\xA8\xE2\x80\xA9\xE2\x80\xAE", "\\u2028\\u2029\\u202E", true},  // separators, RLO
        {"caf\xC3\xA9 \xE5\x9B\xBA \xF0\x9F\x98\x80", "caf\xC3\xA9 \xE5\x9B\xBA \xF0\x9F\x98\x80", true},
        {"\xF3\xA0\x80\x81", "\\uDB40\\uDC01", true},  // a tag, U+E0001: a surrogate pair
        {"\xFF"
         "a\xC3",
         "\\uFFFDa\\uFFFD", false},
        {"\xED\xA0\x80", "\\uFFFD\\uFFFD\\uFFFD", false},  // a surrogate's three bytes
    };
    for (const auto& [text, json, well_formed] : cases) {
        bool formed = false;
        EXPECT_EQ(logged([&, &from = text](LogOutput& log) { formed = add_json_text(log, from); }), json) << text;
        EXPECT_EQ(formed, well_formed) << text;
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
