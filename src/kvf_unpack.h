// SPDX-License-Identifier: MIT
// The tool's driver: command line, and the frame loop over one container.
#pragma once

#include <cstdio>

#include "log_output.h"

namespace kvf {

// How a container is taken apart.
struct UnpackOptions {
    LogFormat format = LogFormat::text;  // what standard output shows
    bool write_images = true;            // false for a listing: nothing is made
    bool strict = false;                 // a container cut short fails the run
};

// What a command line asks for.
struct Request {
    enum class Kind { unpack, help, version, usage_error } kind = Kind::unpack;
    const char* path = nullptr;       // FILE; "-" is standard input
    const char* directory = nullptr;  // the output folder; nullptr for the working directory
    UnpackOptions options;
    const char* what = nullptr;  // for a usage error: what is wrong, and why
    const char* why = nullptr;
};

// Reads the arguments of `main` as an extractor's users expect: options
// before or after FILE, "--" ending them, "-" standing for standard input.
Request parse_command_line(int argc, char** argv);

// Walks the container on `in` frame by frame, logging to `out` (shown as a
// terminal is shown it when `terminal`) and writing images into the output
// folder (the working directory unless open_output_folder named another), as
// `options` ask; `path` names the input in messages. Returns the exit status;
// each failure, a log that could not be written included, is also reported
// in a line on `errors`.
int unpack_container(std::FILE* in, const char* path, std::FILE* out, bool terminal, std::FILE* errors,
                     const UnpackOptions& options = {});

// The whole tool for the arguments of `main`, logging to `out` and reporting
// failures on standard error; returns the exit status.
int run_kvf_unpack(int argc, char** argv, std::FILE* out);

}  // namespace kvf
