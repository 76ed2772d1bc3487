// SPDX-License-Identifier: MIT
// Runs code against a LogOutput and returns what it printed, and the lines
// every hex dump starts with.
#pragma once

#include <cstdio>
#include <span>
#include <string>

#include "container.h"

#include "log_output.h"
#include "temp_files.h"

namespace kvf::test {

inline const std::string DUMP_HEAD =
    "  Offset(h) 00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F\n"
    "  ---------------------------------------------------------\n";

// The dump of no bytes at all, as an input that ends on a frame boundary gets.
inline const std::string ZERO_DUMP = DUMP_HEAD + "  ZERO LENGTH\n";

// The seven lines the log prints for the trailer that ends `container`.
inline std::string trailer_lines(std::span<const std::uint8_t> container) {
    const Trailer trailer = decode_trailer(container.data() + container.size() - TRAILER_SIZE);
    std::string lines;
    char line[64];
    for (std::size_t word = 1; word <= TRAILER_WORDS; ++word) {
        const char* name = word == TRAILER_FILE_LENGTH_WORD ? "KVF file length"
                           : word == TRAILER_CHECKSUM_WORD  ? "KVF checksum (CRC-32)"
                                                            : "DWORD %d";
        std::snprintf(line, sizeof line, name, static_cast<int>(word));
        lines += line;
        std::snprintf(line, sizeof line, " = %08X\n", trailer.words[word - 1]);
        lines += line;
    }
    return lines;
}

// `terminal`: as if the log were a terminal.
template <typename Write>
std::string logged(Write write, bool terminal = false) {
    TempStream out;
    static LogOutput log;
    start_log(log, out.file, terminal);
    write(log);
    flush_log(log);
    return out.contents();
}

}  // namespace kvf::test
