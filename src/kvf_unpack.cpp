#include "kvf_unpack.h"

#include <cstdint>
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

constexpr std::string_view USAGE = "Usage: kvf_unpack FILE\n";
constexpr std::string_view HELP =
    "Takes apart the KVF firmware-download container FILE: logs every frame to\n"
    "standard output and writes each run of contiguous flash data into an image\n"
    "file in the working directory. Exit status 0 when FILE was walked to its end,\n"
    "1 on any error. A container named --help is given as ./--help.\n"
    "\n"
    "  -h, --help  show this help\n"
    "  --version   show the version\n"
    "\n"
    "Manual: man kvf_unpack (on Windows, kvf_unpack.txt beside the program).\n";

// Large buffers live in static storage rather than on the stack.
BlockReader input;
FlashWriter flash_writer;
LogOutput log_output;

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
int read_trailer(BlockReader& in, LogOutput& log, FlashWriter& writer, std::uint64_t frame_offset) {
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

// Ends the run after a failed read of the input at the frame at `frame_offset`.
int report_read_error(LogOutput& log, std::uint64_t frame_offset, const char* path) {
    // The path is the user's and may be longer than a printf line.
    add_frame_line(log, frame_offset, "ERROR reading inputfile: ");
    add_external(log, path);
    add(log, "\n");
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
                return STATUS_FAILED;
            }
            add_frame_line(log, frame_offset, "Dummy frame found (payload is all 0xFF)\n");
            break;
        case FRAME_FLASH_DATA:
            if (!on_flash_data(writer, log, frame_offset, frame.param1, frame.param2, frame.payload)) {
                return STATUS_FAILED;
            }
            break;
        case FRAME_ADMINEND:
            add_frame_line(log, frame_offset, "'ADMINEND' keyword found\n");
            if (read_trailer(in, log, writer, frame_offset) != STATUS_OK) {
                // A trailer cut short by a failed read is a read error as well.
                return in.error != 0 ? report_read_error(log, frame_offset, path) : STATUS_FAILED;
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

    return in.error != 0 ? report_read_error(log, frame_offset, path) : STATUS_OK;
}

// Writes out the log; a log that could not be written fails the run whatever happened before.
int finish_output(LogOutput& log, int status) {
    flush_log(log);
    if (log.failed || std::ferror(log.out) != 0) {
        // The one message for standard error; if that fails too, the status still tells.
        (void)std::fputs("kvf_unpack: error writing the log to standard output\n", stderr);
        return STATUS_FAILED;
    }
    return status;
}

// The frame loop and the end of the run, logging to the started `log`.
int unpack(std::FILE* in, const char* path, LogOutput& log) {
    start_reading(input, in);
    start_flash_writer(flash_writer, in);
    std::uint64_t last_frame_offset = 0;
    int status = frame_loop(input, path, log, flash_writer, last_frame_offset);
    if (status != STATUS_OK) {
        abandon_flash_runs(flash_writer);
    } else if (!finish_flash_runs(flash_writer, log, last_frame_offset)) {
        status = STATUS_FAILED;
    }
    return finish_output(log, status);
}

}  // namespace

int unpack_container(std::FILE* in, const char* path, std::FILE* out, bool terminal) {
    start_log(log_output, out, terminal);
    return unpack(in, path, log_output);
}

int run_kvf_unpack(int argc, char** argv, std::FILE* out) {
    prepare_process();
    start_log(log_output, out, is_terminal(out));
    if (argc != 2) {
        add(log_output, USAGE);
        return finish_output(log_output, STATUS_FAILED);
    }
    const std::string_view argument = argv[1];
    // Only these exact words are options; a container of such a name is ./--help.
    if (argument == "--help" || argument == "-h") {
        add(log_output, USAGE);
        add(log_output, HELP);
        return finish_output(log_output, STATUS_OK);
    }
    if (argument == "--version") {
        add(log_output, "kvf_unpack " KVF_VERSION "\n");
        return finish_output(log_output, STATUS_OK);
    }
    const char* path = argv[1];
    std::FILE* in = open_input(path);
    if (in == nullptr) {
        add(log_output, "File not found: ");
        add_external(log_output, path);
        add(log_output, "\n");
        return finish_output(log_output, STATUS_FAILED);
    }
    confine_to_output_folder();
    const int status = unpack(in, path, log_output);
    (void)std::fclose(in);  // only read: nothing is lost at its close
    return status;
}

}  // namespace kvf
