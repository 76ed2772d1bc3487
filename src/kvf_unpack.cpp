// SPDX-License-Identifier: MIT
#include "kvf_unpack.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "block_io.h"
#include "container.h"
#include "flash_writer.h"
#include "hexdump.h"
#include "log_output.h"
#include "platform.h"

namespace kvf {

namespace {

constexpr int STATUS_OK = 0;
constexpr int STATUS_FAILED = 1;

// The line a wrong command line prints on the log, as it always has; the
// options are in the help and in the reason on standard error.
constexpr std::string_view USAGE = "Usage: kvf_unpack FILE\n";
constexpr std::string_view HELP =
    "Usage: kvf_unpack [-C DIR] FILE\n"
    "Takes apart the KVF firmware-download container FILE: logs its frames to\n"
    "standard output and writes each run of contiguous flash data into an image\n"
    "file. Exit status 0 when FILE was walked to its end, 1 on any error, whose\n"
    "reason is also written to standard error.\n"
    "\n"
    "  -C DIR, --directory=DIR  make the images in DIR (made if missing, one\n"
    "                           level) instead of the working directory;\n"
    "                           --directory DIR as well\n"
    "  -h, --help               show this help\n"
    "  --version                show the version and the licence\n"
    "  --                       end of options: a FILE named --help is -- --help\n"
    "  FILE as -                read the container from standard input\n"
    "\n"
    "The format: doc/format.md. Manual: man kvf_unpack (on Windows, kvf_unpack.txt\n"
    "beside the program).\n";
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

// Prints the seven words of the TRAILER_SIZE bytes at `bytes`.
void print_trailer(LogOutput& log, const std::uint8_t* bytes) {
    const Trailer trailer = decode_trailer(bytes);
    for (std::size_t word = 1; word < TRAILER_FILE_LENGTH_WORD; ++word) {
        log_printf(log, "DWORD %d = %08X\n", static_cast<int>(word), trailer.words[word - 1]);
    }
    log_printf(log, "KVF file length = %08X\n", trailer.words[TRAILER_FILE_LENGTH_WORD - 1]);
    log_printf(log, "KVF checksum (CRC-32) = %08X\n", trailer.words[TRAILER_CHECKSUM_WORD - 1]);
}

// Reads and prints the trailer that follows the ADMINEND frame at `frame_offset`.
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
    const bool printed = count == TRAILER_SIZE && may_wait(in, 1);
    if (printed) {
        print_trailer(log, bytes);
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
        add_frame_line(log, frame_offset, "Unexpected trailer bytes found after ADMINEND:\n");
        hexdump(log, nullptr, bytes, static_cast<std::int32_t>(count));
        const auto at = static_cast<unsigned long long>(frame_offset);
        if (in.error == 0 && count > TRAILER_SIZE) {  // a read error is reported as such
            report_printf(error_output, path, "more bytes follow the trailer after the ADMINEND frame at 0x%08llX", at);
        } else if (in.error == 0) {
            report_printf(error_output, path, "the trailer after the ADMINEND frame at 0x%08llX holds %u bytes, not %u",
                          at, static_cast<unsigned>(count), static_cast<unsigned>(TRAILER_SIZE));
        }
        return STATUS_FAILED;
    }
    if (!printed) {
        print_trailer(log, bytes);
    }
    return STATUS_OK;
}

// Logs "(param1, param2)" as the erase and display-text lines show them.
void add_parameters(LogOutput& log, const Frame& frame) {
    add(log, "(");
    add_hex32(log, frame.param1);
    add(log, ", ");
    add_hex32(log, frame.param2);
    add(log, ")");
}

// Ends the run after a failed read, with the error number `error`, of the
// input at the frame at `frame_offset`.
int report_read_error(LogOutput& log, std::uint64_t frame_offset, const char* path, int error) {
    // The path is the user's and may be longer than a printf line.
    add_frame_line(log, frame_offset, "");
    add_external_line(log, "ERROR reading inputfile: ", path);
    report_failure(error_output, path, std::strerror(error));
    return STATUS_FAILED;
}

// Reads and acts on frames until the end of the input or a failure;
// `frame_offset` is left at the last frame's offset.
int frame_loop(BlockReader& in, const char* path, LogOutput& log, FlashWriter& writer, std::uint64_t& frame_offset) {
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
            add_frame_line(log, frame_offset, "Unknown frame\n");
            hexdump(log, nullptr, bytes, static_cast<std::int32_t>(count));
            break;  // a short take is the end of the input
        }

        const Frame frame = decode_frame(bytes);
        switch (frame.type) {
        case FRAME_ERASE_FLASH:
            add_frame_line(log, frame_offset, "Erase Flash ");
            add_parameters(log, frame);
            add(log, "\n");
            break;
        case FRAME_DISPLAY_TEXT: {
            const std::string_view text(reinterpret_cast<const char*>(frame.payload),
                                        display_text_length(frame.payload));
            add_frame_line(log, frame_offset, "Display text ");
            add_parameters(log, frame);
            add(log, ": '");
            add_external(log, text);
            add(log, "'\n");
            set_display_text(writer, text.data(), text.size());
            break;
        }
        case FRAME_DUMMY:
            if (const std::size_t bad = first_bad_dummy_byte(bytes); bad != 0) {
                // The message has no line break of its own.
                frame_printf(log, frame_offset, "ERROR: Expected all framedata to be 0xFF but #%d is %02X",
                             static_cast<int>(bad), bytes[bad]);
                report_printf(error_output, path, "the dummy frame at 0x%08llX holds %02X at byte %d, not FF",
                              static_cast<unsigned long long>(frame_offset), bytes[bad], static_cast<int>(bad));
                return STATUS_FAILED;
            }
            add_frame_line(log, frame_offset, "Dummy frame found (payload is all 0xFF)\n");
            break;
        case FRAME_FLASH_DATA:
            // A length beyond the payload would read past the frame; nothing of this frame is used.
            if (frame.param1 > PAYLOAD_SIZE) {
                frame_printf(log, frame_offset, "ERROR: Flash data length %08X exceeds the frame payload\n",
                             frame.param1);
                report_printf(error_output, path,
                              "the flash-data frame at 0x%08llX holds %u bytes, more than its %u-byte payload",
                              static_cast<unsigned long long>(frame_offset), frame.param1,
                              static_cast<unsigned>(PAYLOAD_SIZE));
                return STATUS_FAILED;
            }
            if (!on_flash_data(writer, log, frame_offset, frame.param1, frame.param2, frame.payload)) {
                return STATUS_FAILED;
            }
            break;
        case FRAME_ADMINEND:
            add_frame_line(log, frame_offset, "'ADMINEND' keyword found\n");
            if (read_trailer(in, path, log, writer, frame_offset) != STATUS_OK) {
                // A trailer cut short by a failed read is a read error as well.
                return in.error != 0 ? report_read_error(log, frame_offset, path, in.error) : STATUS_FAILED;
            }
            break;
        case FRAME_PROGRESS:
            add_frame_line(log, frame_offset, "Update progress-bar to ");
            add_decimal(log, static_cast<std::int32_t>(frame.param1));
            add(log, " %\n");
            break;
        default:
            // Unrecognised types are passed over in silence.
            break;
        }
    }

    return in.error != 0 ? report_read_error(log, frame_offset, path, in.error) : STATUS_OK;
}

// Writes out the log, then the failures' reasons; a log that could not be
// written fails the run whatever happened before.
int finish_output(LogOutput& log, int status) {
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
int unpack(std::FILE* in, const char* path, LogOutput& log) {
    static KeptFile kept[] = {{nullptr, "this is the input container"},
                              {nullptr, "the log is written to this file"},
                              {nullptr, "standard error is written to this file"}};
    kept[0].stream = in;
    kept[1].stream = log.out;
    kept[2].stream = error_output.out;
    start_reading(input, in);
    start_flash_writer(flash_writer, kept, error_output);
    std::uint64_t last_frame_offset = 0;
    int status = frame_loop(input, path, log, flash_writer, last_frame_offset);
    if (status != STATUS_OK) {
        abandon_flash_runs(flash_writer);
    } else if (!finish_flash_runs(flash_writer, log, last_frame_offset)) {
        status = STATUS_FAILED;
    }
    return finish_output(log, status);
}

// A request that the command line is wrong: `what` (an argument, or "command line") and why.
Request usage_error(const char* what, const char* why) {
    Request request;
    request.kind = Request::Kind::usage_error;
    request.what = what;
    request.why = why;
    return request;
}

}  // namespace

Request parse_command_line(int argc, char** argv) {
    Request request;
    int files = 0;
    bool options_ended = false;
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
        } else if (argument == "-C" || argument == "--directory") {
            if (i + 1 == argc || *argv[i + 1] == '\0') {
                return usage_error(argv[i], "needs a directory");
            }
            request.directory = argv[++i];
        } else if (argument.starts_with("--directory=") ||
                   (argument.starts_with("-C") && !argument.starts_with("--"))) {
            request.directory = argv[i] + (argument[1] == 'C' ? 2 : std::string_view("--directory=").size());
            if (*request.directory == '\0') {
                return usage_error(argv[i], "needs a directory");
            }
        } else {
            return usage_error(argv[i], "unknown option (a file of this name is given as ./NAME or after --)");
        }
    }
    if (request.kind == Request::Kind::unpack && files != 1) {
        return usage_error("command line", files == 0 ? "no FILE given (kvf_unpack [-C DIR] FILE)"
                                                      : "more than one FILE given (kvf_unpack [-C DIR] FILE)");
    }
    return request;
}

int unpack_container(std::FILE* in, const char* path, std::FILE* out, bool terminal, std::FILE* errors) {
    start_log(log_output, out, terminal);
    start_log(error_output, errors, is_terminal(errors));
    return unpack(in, path, log_output);
}

int run_kvf_unpack(int argc, char** argv, std::FILE* out) {
    prepare_process();
    start_log(log_output, out, is_terminal(out));
    start_log(error_output, stderr, is_terminal(stderr));
    const Request request = parse_command_line(argc, argv);
    switch (request.kind) {
    case Request::Kind::usage_error:
        add(log_output, USAGE);
        report_failure(error_output, request.what, request.why);
        return finish_output(log_output, STATUS_FAILED);
    case Request::Kind::help:
        add(log_output, HELP);
        return finish_output(log_output, STATUS_OK);
    case Request::Kind::version:
        add(log_output, VERSION);
        return finish_output(log_output, STATUS_OK);
    case Request::Kind::unpack:
        break;
    }
    // The input first: a folder is not made for a container that cannot be read.
    const char* why = nullptr;
    const bool standard_input = std::string_view(request.path) == "-";
    std::FILE* in = standard_input ? open_standard_input(&why) : open_input(request.path, &why);
    if (in == nullptr) {
        add_external_line(log_output, "File not found: ", request.path);
        report_failure(error_output, request.path, why);
        return finish_output(log_output, STATUS_FAILED);
    }
    int status = STATUS_FAILED;
    const bool log_is_input = is_same_file(in, out);
    const bool errors_are_input = is_same_file(in, stderr);
    if (log_is_input || errors_are_input) {
        // The log or the reasons would overwrite the container, or be read
        // back as frames: nothing is written to it. The reason goes where it may.
        LogOutput& reasons = errors_are_input ? log_output : error_output;
        if (!(log_is_input && errors_are_input)) {
            report_failure(reasons, request.path,
                           log_is_input ? "standard output is this container; the log would overwrite it"
                                        : "standard error is this container; the reasons would be written into it");
        }
        status = finish_output(log_output, STATUS_FAILED);
    } else if (request.directory != nullptr && !open_output_folder(request.directory, &why)) {
        add_external_line(log_output, "ERROR creating output directory: ", request.directory);
        report_failure(error_output, request.directory, why);
        status = finish_output(log_output, STATUS_FAILED);
    } else if (!confine(Confinement::write_images, &why)) {
        // Nothing is read or written unconfined where the kernel could confine.
        report_printf(error_output, request.directory != nullptr ? request.directory : ".",
                      "cannot confine the tool to this folder: %s", why);
        status = finish_output(log_output, STATUS_FAILED);
    } else {
        status = unpack(in, request.path, log_output);
    }
    if (!standard_input) {
        (void)std::fclose(in);  // only read: nothing is lost at its close
    }
    return status;
}

}  // namespace kvf
