// SPDX-License-Identifier: MIT
// The command line: what it asks for, read as an extractor's users expect,
// and the texts that answer --help and --version.
#pragma once

#include <string_view>

#include "kvf_unpack.h"

namespace kvf {

// The line a wrong command line prints on the log, as it always has; the
// options are in the help and in the reason on standard error.
inline constexpr std::string_view USAGE_LINE = "Usage: kvf_unpack FILE";

// What a command line asks for.
struct Request {
    enum class Kind { unpack, help, version, usage_error } kind = Kind::unpack;
    const char* path = nullptr;       // FILE; "-" is standard input
    const char* directory = nullptr;  // the output folder; nullptr for the working directory
    UnpackOptions options;
    const char* what = nullptr;  // for a usage error: what is wrong, and why
    const char* why = nullptr;
};

// Reads the arguments of `main`: options before or after FILE, "--" ending
// them, "-" standing for standard input.
Request parse_command_line(int argc, char** argv);

// The text that answers a request of `kind` help or version.
std::string_view answer_text(Request::Kind kind);

}  // namespace kvf
