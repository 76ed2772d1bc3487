// SPDX-License-Identifier: MIT
#include "log_output.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>

#include "platform.h"

namespace kvf {

void start_log(LogOutput& log, std::FILE* out, bool terminal) {
    log.out = out;
    log.terminal = terminal;
    log.error = 0;
    log.used = 0;
}

void flush_log(LogOutput& log) {
    errno = 0;
    if (!write_out(log.out, log.block, log.used) && log.error == 0) {
        log.error = errno != 0 ? errno : EIO;
    }
    log.used = 0;
}

void add_long(LogOutput& log, std::string_view piece) {
    flush_log(log);
    errno = 0;
    if (!write_out(log.out, piece.data(), piece.size()) && log.error == 0) {
        log.error = errno != 0 ? errno : EIO;
    }
}

void report_failure(LogOutput& errors, std::string_view what, std::string_view why) {
    add(errors, "kvf_unpack: ");
    add_external(errors, what);
    add_external_line(errors, ": ", why);
}

namespace {

// Length of the UTF-8 sequence that starts `text` when it is well formed
// (shortest form, no surrogate, at most U+10FFFF); 0 when it is not.
std::size_t utf8_sequence_length(std::string_view text) {
    const auto byte = [&text](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(0);
    if (lead < 0x80) {
        return 1;
    }
    std::size_t length = 0;
    unsigned char low = 0x80;  // the second byte's range, narrower after some leads
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        low = lead == 0xE0 ? 0xA0 : low;    // else overlong
        high = lead == 0xED ? 0x9F : high;  // else a surrogate
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        low = lead == 0xF0 ? 0x90 : low;    // else overlong
        high = lead == 0xF4 ? 0x8F : high;  // else past U+10FFFF
    } else {
        return 0;
    }
    if (text.size() < length || byte(1) < low || byte(1) > high) {
        return 0;
    }
    for (std::size_t i = 2; i < length; ++i) {
        if (byte(i) < 0x80 || byte(i) > 0xBF) {
            return 0;
        }
    }
    return length;
}

// Code points a terminal is shown as '?': controls (C0, DEL, C1), and what
// reorders or hides what is read: direction marks, line and paragraph
// separators, bidirectional embeddings, overrides and isolates, zero-width
// and other invisible format characters (soft hyphen, fillers, invisible
// operators, interlinear annotation), the byte-order mark and tags.
constexpr struct {
    std::uint32_t first;
    std::uint32_t last;
} HIDDEN_FROM_TERMINALS[] = {
    {0x0000, 0x001F}, {0x007F, 0x009F}, {0x00AD, 0x00AD}, {0x061C, 0x061C},   {0x115F, 0x1160},   {0x17B4, 0x17B5},
    {0x180E, 0x180E}, {0x200B, 0x200F}, {0x2028, 0x202E}, {0x2060, 0x2064},   {0x2066, 0x206F},   {0x3164, 0x3164},
    {0xFEFF, 0xFEFF}, {0xFFA0, 0xFFA0}, {0xFFF9, 0xFFFB}, {0x1BCA0, 0x1BCA3}, {0x1D173, 0x1D17A}, {0xE0000, 0xE007F},
};

// The code point of the well-formed UTF-8 sequence `unit`.
std::uint32_t code_point(std::string_view unit) {
    static constexpr unsigned char LEAD_BITS[] = {0, 0x7F, 0x1F, 0x0F, 0x07};
    std::uint32_t code = static_cast<unsigned char>(unit[0]) & LEAD_BITS[unit.size()];
    for (std::size_t i = 1; i < unit.size(); ++i) {
        code = code << 6 | (static_cast<unsigned char>(unit[i]) & 0x3FU);
    }
    return code;
}

// Whether a terminal may be shown the well-formed UTF-8 sequence `unit` as it is.
bool is_printable(std::string_view unit) {
    const std::uint32_t code = code_point(unit);
    return std::ranges::none_of(HIDDEN_FROM_TERMINALS,
                                [code](const auto& range) { return code >= range.first && code <= range.last; });
}

void add_formatted(LogOutput& log, const char* format, std::va_list args) {
    char* at = reserve(log, LOG_PIECE_MAX);
    const int length = std::vsnprintf(at, LOG_PIECE_MAX, format, args);
    if (length > 0) {
        log.used +=
            static_cast<std::size_t>(length) < LOG_PIECE_MAX ? static_cast<std::size_t>(length) : LOG_PIECE_MAX - 1;
    }
}

}  // namespace

void add_external(LogOutput& log, std::string_view text) {
    if (!log.terminal) {
        add(log, text);
        return;
    }
    while (!text.empty()) {
        const std::size_t length = utf8_sequence_length(text);
        const std::string_view unit = text.substr(0, length == 0 ? 1 : length);
        add(log, length != 0 && is_printable(unit) ? unit : std::string_view("?"));
        text.remove_prefix(unit.size());
    }
}

// NOLINTNEXTLINE(cert-dcl50-cpp): printf-style, so the compiler checks every format and argument.
void report_printf(LogOutput& errors, std::string_view what, const char* format, ...) {
    char why[LOG_PIECE_MAX];
    std::va_list args;
    va_start(args, format);
    (void)std::vsnprintf(why, sizeof why, format, args);
    va_end(args);
    report_failure(errors, what, why);
}

// NOLINTNEXTLINE(cert-dcl50-cpp): printf-style, so the compiler checks every format and argument.
void log_printf(LogOutput& log, const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    add_formatted(log, format, args);
    va_end(args);
}

// NOLINTNEXTLINE(cert-dcl50-cpp): printf-style, so the compiler checks every format and argument.
void frame_printf(LogOutput& log, std::uint64_t offset, const char* format, ...) {
    add_frame_line(log, offset, "");
    std::va_list args;
    va_start(args, format);
    add_formatted(log, format, args);
    va_end(args);
}

}  // namespace kvf
