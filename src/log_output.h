// The log: every line the tool prints on its output goes through one block,
// written out in large pieces. Frame lines are assembled in place without
// printf; rarer lines use log_printf. One sink keeps all lines in order.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string_view>

namespace kvf {

inline constexpr std::size_t LOG_BLOCK_SIZE = 64 * 1024;
// The most that one add or one log_printf may append.
inline constexpr std::size_t LOG_PIECE_MAX = 512;
static_assert(LOG_PIECE_MAX < LOG_BLOCK_SIZE);

struct LogOutput {
    std::FILE* out = nullptr;
    bool terminal = false;  // a terminal: flush after every frame, show no control bytes of texts
    bool failed = false;    // a write to `out` came up short
    std::size_t used = 0;
    char block[LOG_BLOCK_SIZE];
};

// Starts logging to `out`; on a `terminal` each frame's lines are written out at once.
void start_log(LogOutput& log, std::FILE* out, bool terminal);

// Writes out what the block holds; false if the output did not take it all.
bool flush_log(LogOutput& log);

// Appends printf-style text of at most LOG_PIECE_MAX - 1 bytes (longer text is
// cut): for lines whose arguments are bounded, such as tags and image names.
[[gnu::format(printf, 2, 3)]] void log_printf(LogOutput& log, const char* format, ...);

// Room for `count` (at most LOG_PIECE_MAX) more bytes, writing out the block if needed.
inline char* reserve(LogOutput& log, std::size_t count) {
    if (count > LOG_BLOCK_SIZE - log.used) {
        flush_log(log);
    }
    return log.block + log.used;
}

// Appends a display text from the container: byte for byte, but on a
// terminal with every control byte (0x01 to 0x1F, 0x7F) shown as '?', so
// that a crafted text cannot move the cursor, retitle the window or forge lines.
void add_display_text(LogOutput& log, std::string_view text);

// Appends text too long for the block's spare room, such as a path given by the user.
void add_long(LogOutput& log, std::string_view piece);

// Appends `piece`, of any length.
inline void add(LogOutput& log, std::string_view piece) {
    if (piece.size() > LOG_PIECE_MAX) {
        add_long(log, piece);
        return;
    }
    std::memcpy(reserve(log, piece.size()), piece.data(), piece.size());
    log.used += piece.size();
}

inline constexpr char HEX_DIGITS[] = "0123456789ABCDEF";

// Every byte value as two upper-case hex digits: one lookup per byte.
inline constexpr auto HEX_PAIRS = [] {
    std::array<char, 512> pairs{};
    for (std::size_t byte = 0; byte < 256; ++byte) {
        pairs[2 * byte] = HEX_DIGITS[byte >> 4];
        pairs[2 * byte + 1] = HEX_DIGITS[byte & 0xF];
    }
    return pairs;
}();

// Writes `value` as upper-case hex digits, at least `min_digits` (1 to 16) of
// them, to `out`, which has room for 16; returns the count written.
inline std::size_t format_hex(char* out, std::uint64_t value, int min_digits) {
    const int needed = (std::bit_width(value) + 3) / 4;
    const int count = needed > min_digits ? needed : min_digits;
    int end = count;
    for (; end >= 2; end -= 2) {
        std::memcpy(out + end - 2, &HEX_PAIRS[2 * (value & 0xFF)], 2);
        value >>= 8;
    }
    if (end == 1) {
        out[0] = HEX_DIGITS[value & 0xF];
    }
    return static_cast<std::size_t>(count);
}

// Appends `value` as upper-case hex digits, at least `min_digits` (1 to 16) of them.
inline void add_hex(LogOutput& log, std::uint64_t value, int min_digits) {
    log.used += format_hex(reserve(log, 16), value, min_digits);
}

// Appends `value` as eight upper-case hex digits, as "%08X" does.
inline void add_hex32(LogOutput& log, std::uint32_t value) {
    add_hex(log, value, 8);
}

// Appends `value` as a signed decimal, as "%d" does.
inline void add_decimal(LogOutput& log, std::int32_t value) {
    char digits[11];
    std::size_t first = sizeof digits;
    // Work in the unsigned domain so that INT32_MIN has a magnitude.
    std::uint32_t magnitude = value < 0 ? 0u - static_cast<std::uint32_t>(value) : static_cast<std::uint32_t>(value);
    do {
        digits[--first] = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    if (value < 0) {
        digits[--first] = '-';
    }
    add(log, std::string_view(digits + first, sizeof digits - first));
}

// "0x", at least eight hex digits (sixteen past 4 GiB), two spaces, NUL.
inline constexpr std::size_t TAG_SIZE = 2 + 16 + 2 + 1;

// The tag that opens every line about a frame: its offset as "0x%08llX  ".
struct OffsetTag {
    char text[TAG_SIZE];
};

// Makes the tag of the frame at `offset`, for log_printf lines.
inline OffsetTag offset_tag(std::uint64_t offset) {
    OffsetTag tag;
    std::memcpy(tag.text, "0x", 2);
    const std::size_t digits = format_hex(tag.text + 2, offset, 8);
    std::memcpy(tag.text + 2 + digits, "  ", 3);
    return tag;
}

// Starts a line about the frame at `offset`: its tag, " : ", then `message`.
inline void add_frame_line(LogOutput& log, std::uint64_t offset, std::string_view message) {
    add(log, "0x");
    add_hex(log, offset, 8);
    add(log, "   : ");
    add(log, message);
}

}  // namespace kvf
