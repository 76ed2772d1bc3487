// SPDX-License-Identifier: MIT
#include "hexdump.h"

namespace kvf {

namespace {
constexpr std::int32_t BYTES_PER_ROW = 16;
constexpr std::uint8_t FIRST_PRINTABLE = 0x20;
constexpr std::uint8_t LAST_PRINTABLE = 0x7E;
}  // namespace

void hexdump(LogOutput& log, const char* title, const std::uint8_t* bytes, std::int32_t count) {
    if (title != nullptr) {
        log_printf(log, "%s:\n", title);
    }
    add(log, "  Offset(h) 00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F\n");
    add(log, "  ---------------------------------------------------------\n");
    if (count < 0) {
        log_printf(log, "  NEGATIVE LENGTH: %d\n", count);
        return;
    }
    if (count == 0) {
        add(log, "  ZERO LENGTH\n");
        return;
    }

    char column[BYTES_PER_ROW + 1] = {};
    std::int32_t i = 0;
    for (; i < count; ++i) {
        if (i % BYTES_PER_ROW == 0) {
            if (i > 0) {
                log_printf(log, "  %s\n", column);
            }
            log_printf(log, "  %08X ", static_cast<unsigned>(i));
        }
        const std::uint8_t byte = bytes[i];
        log_printf(log, " %02X", byte);
        const std::int32_t cell = i % BYTES_PER_ROW;
        column[cell] = (byte >= FIRST_PRINTABLE && byte <= LAST_PRINTABLE) ? static_cast<char>(byte) : '.';
        column[cell + 1] = '\0';
    }
    // Empty cells keep the last row's characters in line with full rows.
    for (; i % BYTES_PER_ROW != 0; ++i) {
        add(log, "   ");
    }
    log_printf(log, "  %s\n", column);
}

}  // namespace kvf
