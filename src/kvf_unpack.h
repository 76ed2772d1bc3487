// SPDX-License-Identifier: MIT
// The tool's driver: command line, and the frame loop over one container.
#pragma once

#include <cstdio>

namespace kvf {

// Walks the container on `in` frame by frame, logging to `out` (shown as a
// terminal is shown it when `terminal`) and writing images into the working
// directory; `path` names the input in messages. Returns the exit status; each
// failure, a log that could not be written included, is also reported in a
// line on `errors`.
int unpack_container(std::FILE* in, const char* path, std::FILE* out, bool terminal, std::FILE* errors);

// The whole tool for the arguments of `main`, logging to `out` and reporting
// failures on standard error; returns the exit status.
int run_kvf_unpack(int argc, char** argv, std::FILE* out);

}  // namespace kvf
