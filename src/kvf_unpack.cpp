#include "kvf_unpack.h"

#include <cstdint>

#include "container.h"
#include "flash_writer.h"
#include "hexdump.h"

namespace kvf {

namespace {

constexpr int STATUS_OK = 0;
constexpr int STATUS_FAILED = 1;

// "0x", at least eight hex digits (sixteen past 4 GiB), two spaces, NUL.
constexpr std::size_t TAG_SIZE = 2 + 16 + 2 + 1;

void make_offset_tag(char (&tag)[TAG_SIZE], std::uint64_t offset) {
    std::snprintf(tag, sizeof tag, "0x%08llX  ", static_cast<unsigned long long>(offset));
}

// Reads and prints the trailer that follows the ADMINEND frame tagged `tag`.
int read_trailer(std::FILE* in, std::FILE* out, const char* tag, std::uint8_t* buffer) {
    // One byte more than the trailer, so that anything after it is seen.
    // A full trailer leaves the end-of-file indicator set, which ends the frame loop.
    const std::size_t count = std::fread(buffer, 1, TRAILER_SIZE + 1, in);
    if (count != TRAILER_SIZE) {
        std::fprintf(out, "%s : Unexpected trailer bytes found after ADMINEND:\n", tag);
        hexdump(out, nullptr, buffer, static_cast<std::int32_t>(count));
        return STATUS_FAILED;
    }
    const Trailer trailer = decode_trailer(buffer);
    for (std::size_t word = 1; word < TRAILER_FILE_LENGTH_WORD; ++word) {
        std::fprintf(out, "DWORD %d = %08X\n", static_cast<int>(word), trailer.words[word - 1]);
    }
    std::fprintf(out, "KVF file length = %08X\n", trailer.words[TRAILER_FILE_LENGTH_WORD - 1]);
    std::fprintf(out, "KVF checksum (CRC-32) = %08X\n", trailer.words[TRAILER_CHECKSUM_WORD - 1]);
    return STATUS_OK;
}

// Flushes the log; a log that could not be written fails the run whatever happened before.
int finish_output(std::FILE* out, int status) {
    if (std::fflush(out) != 0 || std::ferror(out)) {
        std::fputs("kvf_unpack: error writing the log to standard output\n", stderr);
        return STATUS_FAILED;
    }
    return status;
}

// Reads and acts on frames until the end of the input or a failure; `tag`
// is left holding the last frame's offset tag.
int frame_loop(std::FILE* in, const char* path, std::FILE* out, FlashWriter& writer, char (&tag)[TAG_SIZE]) {
    std::uint8_t buffer[FRAME_SIZE];
    // Counted from the bytes consumed, so that pipes get the right offsets too.
    std::uint64_t offset = 0;

    while (!std::feof(in) && !std::ferror(in)) {
        make_offset_tag(tag, offset);
        const std::size_t count = std::fread(buffer, 1, FRAME_SIZE, in);
        offset += count;
        if (count != FRAME_SIZE) {
            std::fprintf(out, "%s : Unknown frame\n", tag);
            hexdump(out, nullptr, buffer, static_cast<std::int32_t>(count));
            continue;
        }

        const Frame frame = decode_frame(buffer);
        switch (frame.type) {
        case FRAME_ERASE_FLASH:
            std::fprintf(out, "%s : Erase Flash (%08X, %08X)\n", tag, frame.param1, frame.param2);
            break;
        case FRAME_DISPLAY_TEXT: {
            const std::size_t length = display_text_length(frame.payload);
            const char* text = reinterpret_cast<const char*>(frame.payload);
            std::fprintf(out, "%s : Display text (%08X, %08X): '%.*s'\n", tag, frame.param1, frame.param2,
                         static_cast<int>(length), text);
            set_display_text(writer, text, length);
            break;
        }
        case FRAME_DUMMY:
            if (const std::size_t bad = first_bad_dummy_byte(buffer); bad != 0) {
                // The message has no line break of its own.
                std::fprintf(out, "%s : ERROR: Expected all framedata to be 0xFF but #%d is %02X", tag,
                             static_cast<int>(bad), buffer[bad]);
                return STATUS_FAILED;
            }
            std::fprintf(out, "%s : Dummy frame found (payload is all 0xFF)\n", tag);
            break;
        case FRAME_FLASH_DATA:
            if (!on_flash_data(writer, out, tag, frame.param1, frame.param2, frame.payload)) {
                return STATUS_FAILED;
            }
            break;
        case FRAME_ADMINEND:
            std::fprintf(out, "%s : 'ADMINEND' keyword found\n", tag);
            if (read_trailer(in, out, tag, buffer) != STATUS_OK) {
                return STATUS_FAILED;
            }
            break;
        case FRAME_PROGRESS:
            std::fprintf(out, "%s : Update progress-bar to %d %%\n", tag, static_cast<std::int32_t>(frame.param1));
            break;
        default:
            // Unrecognised types are passed over in silence.
            break;
        }
    }

    if (std::ferror(in)) {
        std::fprintf(out, "%s : ERROR reading inputfile: %s\n", tag, path);
        return STATUS_FAILED;
    }
    return STATUS_OK;
}

}  // namespace

int unpack_container(std::FILE* in, const char* path, std::FILE* out) {
    FlashWriter writer;
    char tag[TAG_SIZE] = {};
    const int status = frame_loop(in, path, out, writer, tag);
    if (status != STATUS_OK) {
        abandon_flash_runs(writer);
        return status;
    }
    return finish_flash_runs(writer, out, tag) ? STATUS_OK : STATUS_FAILED;
}

int run_kvf_unpack(int argc, char** argv, std::FILE* out) {
    if (argc != 2) {
        std::fputs("Usage: kvf_unpack FILE\n", out);
        return finish_output(out, STATUS_FAILED);
    }
    const char* path = argv[1];
    std::FILE* in = std::fopen(path, "rb");
    if (in == nullptr) {
        std::fprintf(out, "File not found: %s\n", path);
        return finish_output(out, STATUS_FAILED);
    }
    const int status = unpack_container(in, path, out);
    std::fclose(in);
    return finish_output(out, status);
}

}  // namespace kvf
