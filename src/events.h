// SPDX-License-Identifier: MIT
// What the tool tells of a container, one function for each thing it tells,
// each writing what the log's format shows of it: the text log for people,
// JSON Lines events for programs, or a listing of the images. Failures also
// put their reason on the errors' output, in every format.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "container.h"
#include "log_output.h"
#include "verify.h"

namespace kvf {

// An image run as the log tells it when the run ends.
struct RunSummary {
    std::string_view image;  // the image's name
    std::uint32_t address;   // where the run starts
    std::uint64_t length;    // bytes written
    std::uint64_t frames;    // flash-data frames in it
};

// What the first event tells of a run of the tool: the container as the
// command line names it, and the options that shape what the tool tells.
struct RunStart {
    const char* container;  // nullptr when the command line names none
    bool list;              // -t: nothing is made
    bool strict;            // a container cut short fails
    const char* directory;  // -C DIR; nullptr for the working directory
};

// The first event of a run of the tool (the other formats show nothing of it).
void log_start(LogOutput& log, const RunStart& start);

// An erase-flash frame at `offset`.
void log_erase(LogOutput& log, std::uint64_t offset, const Frame& frame);

// A display-text frame at `offset` holding `text`.
void log_display_text(LogOutput& log, std::uint64_t offset, const Frame& frame, std::string_view text);

// A dummy frame at `offset` that holds nothing but fill.
void log_dummy(LogOutput& log, std::uint64_t offset);

// Whether the log tells of flash-data frames that only continue their run,
// in stretches (log_flash_stretch).
inline bool logs_flash_stretches(const LogOutput& log) {
    return log.format == LogFormat::json;
}

// A stretch of `frames` flash-data frames in a row in one run, the first at
// `offset` for `address`, with `length` data bytes in all (the text log and
// the listing show none).
void log_flash_stretch(LogOutput& log, std::uint64_t offset, std::uint64_t frames, std::uint64_t length,
                       std::uint32_t address);

// The ADMINEND frame at `offset`.
void log_adminend(LogOutput& log, std::uint64_t offset);

// A progress frame at `offset`.
void log_progress(LogOutput& log, std::uint64_t offset, const Frame& frame);

// A whole frame at `offset` of a type the tool does not know (the text log shows none).
void log_unknown_type(LogOutput& log, std::uint64_t offset, std::uint8_t type);

// The `count` (0 to FRAME_SIZE - 1) bytes at `bytes` with which the input ends, at `offset`.
void log_cut_short(LogOutput& log, std::uint64_t offset, const std::uint8_t* bytes, std::size_t count);

// The TRAILER_SIZE bytes at `bytes` that follow the ADMINEND frame at `adminend_offset`.
void log_trailer(LogOutput& log, std::uint64_t adminend_offset, const std::uint8_t* bytes);

// A run broken by the flash-data frame at `offset`, before its image is closed.
void log_run_break(LogOutput& log, std::uint64_t offset);

// A run started by the flash-data frame at `offset` in `image`.
void log_run_open(LogOutput& log, std::uint64_t offset, std::string_view image, std::uint32_t address);

// A run whose image is closed and complete, at `offset`: the breaking
// frame's, the failing frame's, or the end of the input.
void log_run_close(LogOutput& log, std::uint64_t offset, const RunSummary& run);

// A container that ends at `offset` without an ADMINEND frame and its
// trailer, read from `path`: a notice, or with `strict` a failure.
void log_incomplete(LogOutput& log, LogOutput& errors, std::uint64_t offset, std::string_view path, bool strict);

// What the last event tells of a run of the tool, besides its status.
struct RunEnd {
    std::uint64_t bytes = 0;           // of the container, read and walked
    std::uint64_t frames = 0;          // whole frames read
    std::uint64_t images = 0;          // runs opened: images made, or listed
    std::int64_t images_standing = 0;  // names those images stand at, at the end; -1: more than told apart
};

// The last event of a run of the tool on `container` (nullptr: none), with its exit status.
void log_end(LogOutput& log, const char* container, int status, const RunEnd& end);

// What --verify found, at the end of the input at `offset`.
void log_verify(LogOutput& log, std::uint64_t offset, const Verification& v);

// What a listing shows after its runs: the lines of the TRAILER_SIZE bytes
// at `trailer` (nullptr: none) and of `verification` (nullptr: no --verify),
// as the text log shows them (the other formats show them as they come).
void log_list_end(LogOutput& log, const std::uint8_t* trailer, const Verification* verification);

// A container that --verify does not find intact, at `offset`, read from `path`.
void fail_verify(LogOutput& log, LogOutput& errors, std::uint64_t offset, std::string_view path, const Verification& v);

// The failures that end a run, each with its line in the text log, its
// event, and its reason on `errors`.

// A dummy frame at `offset` of the input `path` whose byte `index` holds `value`.
void fail_dummy(LogOutput& log, LogOutput& errors, std::uint64_t offset, std::string_view path, std::size_t index,
                std::uint8_t value);

// A flash-data frame at `offset` of the input `path` whose `length` exceeds the payload.
void fail_flash_length(LogOutput& log, LogOutput& errors, std::uint64_t offset, std::string_view path,
                       std::uint32_t length);

// A trailer of `count` bytes (at `bytes`; TRAILER_SIZE + 1 when more
// follow) after the ADMINEND frame at `adminend_offset` of the input `path`,
// its event at `event_offset`. `read_failed`: the input failed while it was
// read, a reason of its own.
void fail_trailer(LogOutput& log, LogOutput& errors, std::uint64_t adminend_offset, std::uint64_t event_offset,
                  std::string_view path, const std::uint8_t* bytes, std::size_t count, bool read_failed);

// A read of the input `path` that failed with the error number `error`, at
// the frame at `offset`, its event at `event_offset`; `trailer`, when it
// points anywhere, the bytes of a trailer the failure cut short.
void fail_read(LogOutput& log, LogOutput& errors, std::uint64_t offset, std::uint64_t event_offset,
               std::string_view path, int error, std::span<const std::uint8_t> trailer = {});

// An image that could not be created, at the frame at `offset`, and `why`.
void fail_create(LogOutput& log, LogOutput& errors, std::uint64_t offset, std::string_view image, std::string_view why);

// An image that could not be written, closed or named, at the frame at `offset`, and `why`.
void fail_write(LogOutput& log, LogOutput& errors, std::uint64_t offset, std::string_view image, std::string_view why);

// A failure before the first frame.
struct EarlyFailure {
    std::string_view kind;     // "usage", "open", "directory", "confine", "refused"
    std::string_view line;     // what the text log shows, before `subject`; empty for nothing
    std::string_view subject;  // outside text that ends the line
    std::string_view what;     // what the reason is about, and why: "WHAT: WHY"
    std::string_view why;
    bool what_is_path = true;  // `what` is a path, which the event names apart (a usage error's is not)
};

// Tells of `failure` in the log's format: the text log's line, or an event
// with its reason; `errors`, when given, gets the reason.
void fail_before_frames(LogOutput& log, LogOutput* errors, const EarlyFailure& failure);

}  // namespace kvf
