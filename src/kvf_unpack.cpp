// SPDX-License-Identifier: MIT
#include "kvf_unpack.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "block_io.h"
#include "container.h"
#include "events.h"
#include "flash_writer.h"
#include "log_output.h"
#include "platform.h"

namespace kvf {

namespace {

constexpr int STATUS_OK = 0;
constexpr int STATUS_FAILED = 1;

// The line a wrong command line prints on the log, as it always has; the
// options are in the help and in the reason on standard error.
constexpr std::string_view USAGE = "Usage: kvf_unpack FILE";
constexpr std::string_view HELP =
    "Usage: kvf_unpack [OPTION]... FILE\n"
    "Takes apart the KVF firmware-download container FILE: logs its frames to\n"
    "standard output and writes each run of contiguous flash data into an image\n"
    "file. Exit status 0 when FILE was walked to its end, 1 on any error, whose\n"
    "reason is also written to standard error.\n"
    "\n"
    "  -C DIR, --directory=DIR  make the images in DIR (made if missing, one\n"
    "                           level) instead of the working directory;\n"
    "                           --directory DIR as well\n"
    "  -t, --list               list the images FILE holds (address, length in\n"
    "                           bytes, name), making no folder and no file\n"
    "  --json                   log JSON Lines events instead of text, for programs\n"
    "  --strict                 fail (status 1) on a container cut short, without\n"
    "                           its ADMINEND frame and trailer\n"
    "  -h, --help               show this help\n"
    "  --version                show the version and the licence\n"
    "  --                       end of options: a FILE named --help is -- --help\n"
    "  FILE as -                read the container from standard input\n"
    "\n"
    "The format: " KVF_FORMAT_DOC
    "\n"
    "Manual: " KVF_MANUAL "\n";
constexpr std::string_view VERSION = "kvf_unpack " KVF_VERSION
                                     "\n"
                                     "Copyright (C) 2026 the kvf_unpack authors.\n"
                                     "License MIT: <https://opensource.org/license/mit>.\n"
                                     "This is free software: you are free to change and redistribute it.\n"
                                     "There is NO WARRANTY, to the extent permitted by law.\n";

// Large buffers live in static storage rather than on the stack.
BlockReader input;
FlashWriter flash_writer;
LogOutput log_output;
LogOutput error_output;  // standard error: one line for each failure

// Every take from the reader, a frame or the trailer with one byte to spare, fits its block.
static_assert(FRAME_SIZE <= READ_BLOCK_SIZE && TRAILER_SIZE + 1 <= READ_BLOCK_SIZE);

// Before a take of `count` bytes, puts out what the frames so far made: the
// log on a terminal, which sees each frame's lines at once; and when the take
// may wait for the input, the log and the open run's image bytes, whose failed
// write is tagged with the last frame's offset `frame_offset`.
bool put_out_before_take(BlockReader& in, std::size_t count, LogOutput& log, FlashWriter& writer,
                         std::uint64_t frame_offset) {
    const bool waits = may_wait(in, count);
    const bool written = !waits || flush_flash_run(writer, log, frame_offset);
    if (waits || log.terminal) {
        flush_log(log);
    }
    return written;
}

// Reads and logs the trailer that follows the ADMINEND frame at `frame_offset`.
int read_trailer(BlockReader& in, const char* path, LogOutput& log, FlashWriter& writer, std::uint64_t frame_offset) {
    // The trailer, and one byte more, so that anything after it is seen.
    std::uint8_t bytes[TRAILER_SIZE + 1];
    const std::uint8_t* taken = nullptr;
    if (!put_out_before_take(in, TRAILER_SIZE, log, writer, frame_offset)) {
        return STATUS_FAILED;
    }
    std::size_t count = take(in, TRAILER_SIZE, &taken);
    std::memcpy(bytes, taken, count);
    // A stream that stalls after a whole trailer (a serial line left open)
    // sees its lines before the tool waits for its end; a byte that comes
    // later still fails the run.
    const bool logged = count == TRAILER_SIZE && may_wait(in, 1);
    if (logged) {
        log_trailer(log, frame_offset, bytes);
    }
    if (count == TRAILER_SIZE) {
        if (!put_out_before_take(in, 1, log, writer, frame_offset)) {
            return STATUS_FAILED;
        }
        // Comes up short at the end of the input, which ends the frame loop.
        if (take(in, 1, &taken) == 1) {
            bytes[count++] = *taken;
        }
    }
    if (count != TRAILER_SIZE) {
        fail_trailer(log, error_output, frame_offset, path, bytes, count, in.error != 0);
        // A trailer cut short by a failed read is a read error as well.
        if (in.error != 0) {
            fail_read(log, error_output, frame_offset, path, in.error);
        }
        return STATUS_FAILED;
    }
    if (!logged) {
        log_trailer(log, frame_offset, bytes);
    }
    return STATUS_OK;
}

// Where the frame loop left the input.
struct LoopEnd {
    std::uint64_t frame_offset = 0;  // the last frame's offset
    std::uint64_t end = 0;           // the input's end, once it was reached: the bytes read
    std::uint64_t frames = 0;        // whole frames read
    bool closed = false;             // the container ended with ADMINEND and its trailer
};

// Reads and acts on frames until the end of the input or a failure, and says where it stopped in `at`.
int frame_loop(BlockReader& in, const char* path, LogOutput& log, FlashWriter& writer, LoopEnd& at) {
    std::uint64_t& frame_offset = at.frame_offset;
    // Counted from the bytes consumed, so that pipes get the right offsets too.
    std::uint64_t offset = 0;

    // Like a stream's end-of-file indicator, the reader ends with the first short read.
    while (in.state != BlockReader::State::ended) {
        if (!put_out_before_take(in, FRAME_SIZE, log, writer, frame_offset)) {
            return STATUS_FAILED;
        }
        frame_offset = offset;
        const std::uint8_t* bytes = nullptr;
        const std::size_t count = take(in, FRAME_SIZE, &bytes);
        offset += count;
        if (count != FRAME_SIZE) {
            log_cut_short(log, frame_offset, bytes, count);
            break;  // a short take is the end of the input
        }
        ++at.frames;

        const Frame frame = decode_frame(bytes);
        switch (frame.type) {
        case FRAME_ERASE_FLASH:
            log_erase(log, frame_offset, frame);
            break;
        case FRAME_DISPLAY_TEXT: {
            const std::string_view text(reinterpret_cast<const char*>(frame.payload),
                                        display_text_length(frame.payload));
            log_display_text(log, frame_offset, frame, text);
            set_display_text(writer, text.data(), text.size());
            break;
        }
        case FRAME_DUMMY:
            if (const std::size_t bad = first_bad_dummy_byte(bytes); bad != 0) {
                fail_dummy(log, error_output, frame_offset, path, bad, bytes[bad]);
                return STATUS_FAILED;
            }
            log_dummy(log, frame_offset);
            break;
        case FRAME_FLASH_DATA:
            // A length beyond the payload would read past the frame; nothing of this frame is used.
            if (frame.param1 > PAYLOAD_SIZE) {
                fail_flash_length(log, error_output, frame_offset, path, frame.param1);
                return STATUS_FAILED;
            }
            if (logs_every_flash_frame(log)) {
                log_flash_data(log, frame_offset, frame.param1, frame.param2);
            }
            if (!on_flash_data(writer, log, frame_offset, frame.param1, frame.param2, frame.payload)) {
                return STATUS_FAILED;
            }
            // The frames that continue the run and log nothing, taken in a row
            // from what was read: the long runs of an image, at the speed of a copy.
            if (!logs_every_flash_frame(log)) {
                const std::size_t more = continue_run(writer, ready_bytes(in), ready(in) / FRAME_SIZE * FRAME_SIZE);
                skip_ready(in, more * FRAME_SIZE);
                offset += more * FRAME_SIZE;
                at.frames += more;
                frame_offset = more > 0 ? offset - FRAME_SIZE : frame_offset;
            }
            break;
        case FRAME_ADMINEND:
            log_adminend(log, frame_offset);
            if (read_trailer(in, path, log, writer, frame_offset) != STATUS_OK) {
                return STATUS_FAILED;
            }
            offset += TRAILER_SIZE;
            at.closed = true;
            break;
        case FRAME_PROGRESS:
            log_progress(log, frame_offset, frame);
            break;
        default:
            log_unknown_type(log, frame_offset, frame.type);
            break;
        }
    }

    if (in.error != 0) {
        fail_read(log, error_output, frame_offset, path, in.error);
        return STATUS_FAILED;
    }
    at.end = offset;
    return STATUS_OK;
}

// Writes out the log, with its last event (after `frames` whole frames and
// `images` images), then the failures' reasons; a log that could not be
// written fails the run whatever happened before.
int finish_output(LogOutput& log, int status, std::uint64_t frames = 0, std::uint64_t images = 0) {
    log_end(log, status, frames, images);
    flush_log(log);
    if (log.error != 0 || std::ferror(log.out) != 0) {
        report_failure(error_output, "error writing the log to standard output",
                       std::strerror(log.error != 0 ? log.error : EIO));
        status = STATUS_FAILED;
    }
    flush_log(error_output);  // if this fails too, the status still tells
    return status;
}

// The frame loop and the end of the run, logging to the started `log`.
int unpack(std::FILE* in, const char* path, LogOutput& log, const UnpackOptions& options) {
    static KeptFile kept[] = {{nullptr, "this is the input container"},
                              {nullptr, "the log is written to this file"},
                              {nullptr, "standard error is written to this file"}};
    kept[0].stream = in;
    kept[1].stream = log.out;
    kept[2].stream = error_output.out;
    start_reading(input, in);
    start_flash_writer(flash_writer, options.write_images, kept, error_output);
    LoopEnd at;
    int status = frame_loop(input, path, log, flash_writer, at);
    if (status != STATUS_OK) {
        abandon_flash_runs(flash_writer, log, at.frame_offset);
        return finish_output(log, status, at.frames, flash_writer.images);
    }
    if (!finish_flash_runs(flash_writer, log, at.frame_offset)) {
        status = STATUS_FAILED;
    } else if (!at.closed) {
        log_incomplete(log, error_output, at.end, path, options.strict);
        status = options.strict ? STATUS_FAILED : STATUS_OK;
    }
    return finish_output(log, status, at.frames, flash_writer.images);
}

// A request that the command line is wrong: `what` (an argument, or
// "command line") and why; the log's format asked for so far is kept.
Request usage_error(Request request, const char* what, const char* why) {
    request.kind = Request::Kind::usage_error;
    request.what = what;
    request.why = why;
    return request;
}

// A failure before the first frame, in the log's format: the text log shows
// `line` and `subject`, standard error `what` and `why`.
int fail_early(std::string_view kind, std::string_view line, std::string_view subject, std::string_view what,
               std::string_view why) {
    fail_before_frames(log_output, &error_output, kind, line, subject, what, why);
    return finish_output(log_output, STATUS_FAILED);
}

// Refuses a run whose log (`log_is_input`) or reasons (`errors_are_input`)
// would be written into the container `path`, overwriting it or read back
// as frames: nothing is written into it, and the reason goes where it may.
int refuse_output_into_input(const char* path, bool log_is_input, bool errors_are_input) {
    if (log_is_input) {
        if (!errors_are_input) {
            report_failure(error_output, path, "standard output is this container; the log would overwrite it");
            flush_log(error_output);
        }
        return STATUS_FAILED;
    }
    // The reason is the log's, in its words: a line, or an event.
    constexpr std::string_view WHY = "standard error is this container; the reasons would be written into it";
    if (log_output.format == LogFormat::json) {
        fail_before_frames(log_output, nullptr, "refused", "", "", path, WHY);
    } else {
        report_failure(log_output, path, WHY);
    }
    return finish_output(log_output, STATUS_FAILED);
}

}  // namespace

Request parse_command_line(int argc, char** argv) {
    Request request;
    int files = 0;
    bool options_ended = false;
    bool json = false;
    bool list = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument = argv[i];
        if (options_ended || argument == "-" || !argument.starts_with('-')) {
            request.path = argv[i];
            ++files;
        } else if (argument == "--") {
            options_ended = true;
        } else if (argument == "--help" || argument == "-h" || argument == "--version") {
            if (request.kind == Request::Kind::unpack) {
                request.kind = argument == "--version" ? Request::Kind::version : Request::Kind::help;
            }
        } else if (argument == "--json") {
            json = true;
        } else if (argument == "-t" || argument == "--list") {
            list = true;
        } else if (argument == "--strict") {
            request.options.strict = true;
        } else if (argument == "-C" || argument == "--directory") {
            if (i + 1 == argc || *argv[i + 1] == '\0') {
                return usage_error(request, argv[i], "needs a directory");
            }
            request.directory = argv[++i];
        } else if (argument.starts_with("--directory=") ||
                   (argument.starts_with("-C") && !argument.starts_with("--"))) {
            request.directory = argv[i] + (argument[1] == 'C' ? 2 : std::string_view("--directory=").size());
            if (*request.directory == '\0') {
                return usage_error(request, argv[i], "needs a directory");
            }
        } else {
            return usage_error(request, argv[i], "unknown option (a file of this name is given as ./NAME or after --)");
        }
        request.options.format = json ? LogFormat::json : list ? LogFormat::list : LogFormat::text;
        request.options.write_images = !list;
    }
    if (request.kind == Request::Kind::unpack && files != 1) {
        return usage_error(request, "command line",
                           files == 0 ? "no FILE given (kvf_unpack [OPTION]... FILE)"
                                      : "more than one FILE given (kvf_unpack [OPTION]... FILE)");
    }
    return request;
}

int unpack_container(std::FILE* in, const char* path, std::FILE* out, bool terminal, std::FILE* errors,
                     const UnpackOptions& options) {
    start_log(log_output, out, terminal, options.format);
    start_log(error_output, errors, is_terminal(errors));
    return unpack(in, path, log_output, options);
}

int run_kvf_unpack(int argc, char** argv, std::FILE* out) {
    prepare_process();
    const Request request = parse_command_line(argc, argv);
    const bool answer = request.kind == Request::Kind::help || request.kind == Request::Kind::version;
    set_line_ends(out, answer || request.options.format != LogFormat::json);
    start_log(log_output, out, is_terminal(out), request.options.format);
    start_log(error_output, stderr, is_terminal(stderr));
    switch (request.kind) {
    case Request::Kind::usage_error:
        return fail_early("usage", USAGE, "", request.what, request.why);
    case Request::Kind::help:
    case Request::Kind::version:
        log_output.format = LogFormat::text;  // an answer for people, whatever the log would have been
        add(log_output, request.kind == Request::Kind::help ? HELP : VERSION);
        return finish_output(log_output, STATUS_OK);
    case Request::Kind::unpack:
        break;
    }
    // The input first: a folder is not made for a container that cannot be read.
    const char* why = nullptr;
    const bool standard_input = std::string_view(request.path) == "-";
    std::FILE* in = standard_input ? open_standard_input(&why) : open_input(request.path, &why);
    if (in == nullptr) {
        return fail_early("open", "File not found: ", request.path, request.path, why);
    }
    const bool listing = !request.options.write_images;
    const char* folder = request.directory != nullptr ? request.directory : ".";
    int status = STATUS_FAILED;
    const bool log_is_input = is_same_file(in, out);
    const bool errors_are_input = is_same_file(in, stderr);
    if (log_is_input || errors_are_input) {
        status = refuse_output_into_input(request.path, log_is_input, errors_are_input);
    } else if (!listing && request.directory != nullptr && !open_output_folder(request.directory, &why)) {
        status =
            fail_early("directory", "ERROR creating output directory: ", request.directory, request.directory, why);
    } else if (!confine(listing ? Confinement::nothing : Confinement::write_images, &why)) {
        // Nothing is read or written unconfined where the kernel could confine.
        char reason[LOG_PIECE_MAX];
        (void)std::snprintf(reason, sizeof reason, "cannot confine the tool to %s: %s",
                            listing ? "reading this container" : "this folder", why);
        status = fail_early("confine", "", "", listing ? request.path : folder, reason);
    } else {
        status = unpack(in, request.path, log_output, request.options);
    }
    if (!standard_input) {
        (void)std::fclose(in);  // only read: nothing is lost at its close
    }
    return status;
}

}  // namespace kvf
