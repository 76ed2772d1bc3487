// The tool's driver: command line, and the frame loop over one container.
#pragma once

#include <cstdio>

namespace kvf {

// Walks the container on `in` frame by frame, logging to `out` (shown as a
// terminal is shown it when `terminal`) and writing images into the working
// directory; `path` names the input in messages. Returns the exit status: 1
// also when the log could not be written, which is then reported on
// standard error.
int unpack_container(std::FILE* in, const char* path, std::FILE* out, bool terminal);

// The whole tool for the arguments of `main`, logging to `out`; returns the exit status.
int run_kvf_unpack(int argc, char** argv, std::FILE* out);

}  // namespace kvf
