// SPDX-License-Identifier: MIT
// Runs code against a LogOutput and returns what it printed, and the lines
// every hex dump starts with.
#pragma once

#include <string>

#include "log_output.h"
#include "temp_files.h"

namespace kvf::test {

inline const std::string DUMP_HEAD =
    "  Offset(h) 00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F\n"
    "  ---------------------------------------------------------\n";

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
