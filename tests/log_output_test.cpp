#include "log_output.h"

#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

namespace kvf {
namespace {

// Runs `write` against a log and returns everything it printed.
template <typename Write>
std::string logged(Write write) {
    char* text = nullptr;
    std::size_t size = 0;
    std::FILE* out = open_memstream(&text, &size);
    static LogOutput log;
    start_log(log, out, false);
    write(log);
    flush_log(log);
    std::fclose(out);
    std::string result(text, size);
    std::free(text);
    return result;
}

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

TEST(LogOutput, OffsetTagWidensPastFourGiB) {
    EXPECT_STREQ(offset_tag(0x38).text, "0x00000038  ");
    EXPECT_STREQ(offset_tag(0xFFFFFFC8).text, "0xFFFFFFC8  ");
    EXPECT_STREQ(offset_tag(0x100000000).text, "0x100000000  ");
    EXPECT_STREQ(offset_tag(0xFFFFFFFFFFFFFFFF).text, "0xFFFFFFFFFFFFFFFF  ");
    EXPECT_EQ(logged([](LogOutput& log) { add_frame_line(log, 0x1234567890, "x\n"); }), "0x1234567890   : x\n");
}

TEST(LogOutput, ManyLinesCrossTheBlockInOrder) {
    std::string expected;
    for (int i = 0; i < 20000; ++i) {
        expected += "line " + std::to_string(i) + " " + std::string(static_cast<std::size_t>(i % 70), '.') + "\n";
    }
    EXPECT_EQ(logged([](LogOutput& log) {
                  for (int i = 0; i < 20000; ++i) {
                      if (i % 2 == 0) {
                          add(log, "line ");
                          add_decimal(log, i);
                          add(log, " " + std::string(static_cast<std::size_t>(i % 70), '.') + "\n");
                      } else {
                          log_printf(log, "line %d %s\n", i,
                                     std::string(static_cast<std::size_t>(i % 70), '.').c_str());
                      }
                  }
              }),
              expected);
}

TEST(LogOutput, FailedWriteIsRemembered) {
    std::FILE* full = std::fopen("/dev/full", "w");
    ASSERT_NE(full, nullptr);
    std::setvbuf(full, nullptr, _IONBF, 0);
    static LogOutput log;
    start_log(log, full, false);
    add(log, "lost\n");
    EXPECT_FALSE(flush_log(log));
    EXPECT_TRUE(log.failed);
    std::fclose(full);
}

}  // namespace
}  // namespace kvf
