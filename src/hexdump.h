// SPDX-License-Identifier: MIT
// Hex dump of raw bytes for the log, shown where the input lacks the expected shape.
#pragma once

#include <cstdint>

#include "log_output.h"

namespace kvf {

// Prints `count` bytes as rows of 16 (offset, hex cells, characters) to `log`,
// under an optional title (nullptr for none). A zero or negative count prints
// the header and rule lines and a line naming the length.
void hexdump(LogOutput& log, const char* title, const std::uint8_t* bytes, std::int32_t count);

}  // namespace kvf
