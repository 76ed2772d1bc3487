// SPDX-License-Identifier: MIT
// The frame loop: one container walked from its first byte to its last.
#pragma once

#include <cstdint>
#include <cstdio>

#include "events.h"
#include "log_output.h"

namespace kvf {

// How a container is taken apart.
struct UnpackOptions {
    LogFormat format = LogFormat::text;  // what standard output shows
    bool write_images = true;            // false for a listing: nothing is made
    bool strict = false;                 // a container cut short fails the run
    bool verify = false;                 // the trailer's length and checksum are checked
};

inline constexpr int STATUS_OK = 0;
inline constexpr int STATUS_FAILED = 1;

// Walks the container on `in` frame by frame, logging to `log` and reporting
// each failure also on `errors`, both started, and writing images into the
// output folder, as `options` ask; `path` names the input in messages. The
// log is then written out whole, with its last event (finish_output); its
// first (log_start) is the caller's. Returns the exit status.
int unpack(std::FILE* in, const char* path, LogOutput& log, LogOutput& errors, const UnpackOptions& options);

// Writes out `log`, with its last event (on `container`, nullptr for none,
// telling `end`), then the failures' reasons on `errors`; returns `status`,
// or STATUS_FAILED when the log could not be written.
int finish_output(LogOutput& log, LogOutput& errors, const char* container, int status, const RunEnd& end = {});

// Walks the container on `in` frame by frame, logging to `out` (shown as a
// terminal is shown it when `terminal`) and writing images into the output
// folder (the working directory unless open_output_folder named another), as
// `options` ask; `path` names the input in messages. Returns the exit status;
// each failure, a log that could not be written included, is also reported
// in a line on `errors`.
int unpack_container(std::FILE* in, const char* path, std::FILE* out, bool terminal, std::FILE* errors,
                     const UnpackOptions& options = {});

}  // namespace kvf
