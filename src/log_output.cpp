#include "log_output.h"

#include <cstdarg>

namespace kvf {

void start_log(LogOutput& log, std::FILE* out, bool terminal) {
    log.out = out;
    log.terminal = terminal;
    log.failed = false;
    log.used = 0;
}

bool flush_log(LogOutput& log) {
    const std::size_t count = log.used;
    log.used = 0;
    if (count != 0 && std::fwrite(log.block, 1, count, log.out) != count) {
        log.failed = true;
    }
    return !log.failed;
}

void add_long(LogOutput& log, std::string_view piece) {
    flush_log(log);
    if (std::fwrite(piece.data(), 1, piece.size(), log.out) != piece.size()) {
        log.failed = true;
    }
}

void add_display_text(LogOutput& log, std::string_view text) {
    if (!log.terminal) {
        add(log, text);
        return;
    }
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        const bool control = (byte >= 0x01 && byte <= 0x1F) || byte == 0x7F;
        add(log, control ? std::string_view("?") : std::string_view(&c, 1));
    }
}

void log_printf(LogOutput& log, const char* format, ...) {
    char* at = reserve(log, LOG_PIECE_MAX);
    std::va_list args;
    va_start(args, format);
    const int length = std::vsnprintf(at, LOG_PIECE_MAX, format, args);
    va_end(args);
    if (length > 0) {
        log.used +=
            static_cast<std::size_t>(length) < LOG_PIECE_MAX ? static_cast<std::size_t>(length) : LOG_PIECE_MAX - 1;
    }
}

}  // namespace kvf
