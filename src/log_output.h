// SPDX-License-Identifier: MIT
// The log: every line the tool prints on its output goes through one block,
// written out in large pieces. Frame lines are assembled in place without
// printf; rarer lines use log_printf. One sink keeps all lines in order.
#pragma once

#include <bit>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string_view>

namespace kvf {

inline constexpr std::size_t LOG_BLOCK_SIZE = std::size_t{64} * 1024;
// The most that one add or one log_printf may append.
inline constexpr std::size_t LOG_PIECE_MAX = 512;
static_assert(LOG_PIECE_MAX < LOG_BLOCK_SIZE);

// What the log on standard output is.
enum class LogFormat {
    text,  // the log for people, line by line
    json,  // JSON Lines: one event object a line, for programs
    list,  // a listing: one line for each image, and nothing else
};

struct LogOutput {
    std::FILE* out = nullptr;
    bool terminal = false;  // a terminal: flush after every frame, show outside text safely
    LogFormat format = LogFormat::text;
    int error = 0;  // the error number (errno) of a write of the log that failed, or 0
    std::size_t used = 0;
    char block[LOG_BLOCK_SIZE];
};

// Starts logging to `out` in `format`; on a `terminal` each frame's lines are written out at once.
void start_log(LogOutput& log, std::FILE* out, bool terminal, LogFormat format = LogFormat::text);

// Writes out what the block holds, through the stream's buffer too; a failed write sets `error`.
void flush_log(LogOutput& log);

// Adds the line "kvf_unpack: WHAT: WHY" to `errors` (standard error), which
// the run writes out after the log, so that a terminal shows the reason
// after the line it explains: `what` is the path or name concerned, `why` the
// reason; both are shown to a terminal as outside text is.
void report_failure(LogOutput& errors, std::string_view what, std::string_view why);

// Appends printf-style text of at most LOG_PIECE_MAX - 1 bytes (longer text is
// cut): for lines whose arguments are bounded, such as tags and image names.
[[gnu::format(printf, 2, 3)]] void log_printf(LogOutput& log, const char* format, ...);

// Appends a line about the frame at file offset `offset`: its tag ("0x", at
// least eight hex digits, "   : "), then printf-style text as log_printf does.
[[gnu::format(printf, 3, 4)]] void frame_printf(LogOutput& log, std::uint64_t offset, const char* format, ...);

// Room for `count` (at most LOG_PIECE_MAX) more bytes, writing out the block if needed.
inline char* reserve(LogOutput& log, std::size_t count) {
    if (count > LOG_BLOCK_SIZE - log.used) {
        flush_log(log);
    }
    return log.block + log.used;
}

// Appends text that comes from outside the tool (a display text, a path, an
// image name): byte for byte, but on a terminal printable UTF-8 only, with
// '?' for each code point that is_hidden_code_point names (controls, format
// characters that reorder or hide what is read, line and paragraph
// separators, default ignorable and unassigned code points) and each byte
// that is not part of well-formed UTF-8, so that the text cannot drive the
// terminal, reorder or hide what is read, or forge lines.
void add_external(LogOutput& log, std::string_view text);

// Appends the contents of a JSON string (no quotes) holding `text`: every
// control character, '"', '\' and each code point that is_hidden_code_point
// names as an escape (so that no line break or terminal control is ever raw,
// and U+2028 and U+2029 cannot end a JavaScript line), each byte that is not
// part of well-formed UTF-8 as U+FFFD; printable UTF-8 as it is. Returns
// whether `text` was well-formed UTF-8, every byte kept.
bool add_json_text(LogOutput& log, std::string_view text);

// Appends `count` bytes as upper-case hex digits, two a byte, with nothing between.
void add_hex_bytes(LogOutput& log, const std::uint8_t* bytes, std::size_t count);

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

// Writes `value` as upper-case hex digits, at least `min_digits` (1 to 16) of
// them, to `out`, which has room for 16; returns the count written.
inline std::size_t format_hex(char* out, std::uint64_t value, int min_digits) {
    const int needed = (static_cast<int>(std::bit_width(value)) + 3) / 4;
    const int count = needed > min_digits ? needed : min_digits;
    for (int i = count - 1; i >= 0; --i) {
        out[i] = HEX_DIGITS[value & 0xF];
        value >>= 4;
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

// The most digits a 64-bit decimal has, with a sign.
inline constexpr std::size_t DECIMAL_MAX = 21;

// Appends the integer `value` as a decimal, as "%d" and "%llu" do.
template <typename Integer>
inline void add_integer(LogOutput& log, Integer value) {
    char* at = reserve(log, DECIMAL_MAX);
    log.used += static_cast<std::size_t>(std::to_chars(at, at + DECIMAL_MAX, value).ptr - at);
}

// Appends `value` as an unsigned decimal.
inline void add_unsigned(LogOutput& log, std::uint64_t value) {
    add_integer(log, value);
}

// Appends `value` as a signed decimal, as "%d" does.
inline void add_decimal(LogOutput& log, std::int32_t value) {
    add_integer(log, value);
}

// Starts a line about the frame at file offset `offset`: its tag ("0x", at
// least eight hex digits, "   : "), then `message`.
inline void add_frame_line(LogOutput& log, std::uint64_t offset, std::string_view message) {
    add(log, "0x");
    add_hex(log, offset, 8);
    add(log, "   : ");
    add(log, message);
}

// Appends `message`, the outside text `subject` (as add_external shows it) and a line break.
inline void add_external_line(LogOutput& log, std::string_view message, std::string_view subject) {
    add(log, message);
    add_external(log, subject);
    add(log, "\n");
}

}  // namespace kvf
