// SPDX-License-Identifier: MIT
#include "log_output.h"

#include <cerrno>
#include <cstdarg>

#include "platform.h"
#include "utf8.h"

namespace kvf {

void start_log(LogOutput& log, std::FILE* out, bool terminal, LogFormat format) {
    log.out = out;
    log.terminal = terminal;
    log.format = format;
    log.error = 0;
    log.used = 0;
}

namespace {

// Writes `count` bytes at `bytes` out, unless a write has failed already:
// after a failure nothing more is written, so that what the reader got is
// the log up to a point, never one with a hole.
void write_log(LogOutput& log, const char* bytes, std::size_t count) {
    errno = 0;
    if (log.error == 0 && count > 0 && !write_out(log.out, bytes, count)) {
        log.error = errno != 0 ? errno : EIO;
    }
}

}  // namespace

void flush_log(LogOutput& log) {
    write_log(log, log.block, log.used);
    log.used = 0;
}

void add_long(LogOutput& log, std::string_view piece) {
    flush_log(log);
    write_log(log, piece.data(), piece.size());
}

void report_failure(LogOutput& errors, std::string_view what, std::string_view why) {
    add(errors, "kvf_unpack: ");
    add_external(errors, what);
    add_external_line(errors, ": ", why);
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

void add_external(LogOutput& log, std::string_view text) {
    if (!log.terminal) {
        add(log, text);
        return;
    }
    while (!text.empty()) {
        std::uint32_t code = 0;
        const std::size_t length = decode_utf8(text, code);
        const std::string_view unit = text.substr(0, length == 0 ? 1 : length);
        add(log, length != 0 && !is_hidden_code_point(code) ? unit : std::string_view("?"));
        text.remove_prefix(unit.size());
    }
}

bool add_json_text(LogOutput& log, std::string_view text) {
    // "\uXXXX" with four upper-case hex digits.
    const auto escape = [&log](std::uint32_t unit) {
        add(log, "\\u");
        add_hex(log, unit, 4);
    };
    bool well_formed = true;
    while (!text.empty()) {
        std::uint32_t code = 0;
        const std::size_t length = decode_utf8(text, code);
        if (length == 0) {
            add(log, "\\uFFFD");
            well_formed = false;
            text.remove_prefix(1);
            continue;
        }
        if (code == '"' || code == '\\') {
            add(log, code == '"' ? "\\\"" : "\\\\");
        } else if (code == '\n') {
            add(log, "\\n");
        } else if (code == '\t') {
            add(log, "\\t");
        } else if (code == '\r') {
            add(log, "\\r");
        } else if (!is_hidden_code_point(code)) {
            add(log, text.substr(0, length));
        } else if (code < SUPPLEMENTARY_FIRST) {
            escape(code);
        } else {
            escape(high_surrogate(code));
            escape(low_surrogate(code));
        }
        text.remove_prefix(length);
    }
    return well_formed;
}

void add_hex_bytes(LogOutput& log, const std::uint8_t* bytes, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        add_hex(log, bytes[i], 2);
    }
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
