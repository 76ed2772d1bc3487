#include "log_output.h"

#include <cstdarg>

namespace kvf {

void start_log(LogOutput& log, std::FILE* out, bool terminal) {
    log.out = out;
    log.terminal = terminal;
    log.used = 0;
}

// A short write sets the stream's error indicator, which the end of the run checks.
void flush_log(LogOutput& log) {
    (void)std::fwrite(log.block, 1, log.used, log.out);
    log.used = 0;
}

void add_long(LogOutput& log, std::string_view piece) {
    flush_log(log);
    (void)std::fwrite(piece.data(), 1, piece.size(), log.out);
}

void add_display_text(LogOutput& log, std::string_view text) {
    if (!log.terminal) {
        add(log, text);
        return;
    }
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        const bool control = byte < 0x20 || byte == 0x7F;  // 0x01 to 0x1F: a text holds no NUL
        add(log, control ? std::string_view("?") : std::string_view(&c, 1));
    }
}

namespace {

void add_formatted(LogOutput& log, const char* format, std::va_list args) {
    char* at = reserve(log, LOG_PIECE_MAX);
    const int length = std::vsnprintf(at, LOG_PIECE_MAX, format, args);
    if (length > 0) {
        log.used +=
            static_cast<std::size_t>(length) < LOG_PIECE_MAX ? static_cast<std::size_t>(length) : LOG_PIECE_MAX - 1;
    }
}

}  // namespace

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
