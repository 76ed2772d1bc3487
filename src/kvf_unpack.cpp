// SPDX-License-Identifier: MIT
#include "kvf_unpack.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "block_io.h"
#include "checksum.h"
#include "container.h"
#include "events.h"
#include "flash_writer.h"
#include "log_output.h"
#include "platform.h"
#include "verify.h"

namespace kvf {

namespace {

// Large buffers live in static storage rather than on the stack.
BlockReader input;
FlashWriter flash_writer;
LogOutput log_output;    // unpack_container's
LogOutput error_output;  // and its reasons

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
// On a failure, `failed_at` is where the events place it: the ADMINEND
// frame, or, once the trailer was told, the byte after it (the text log
// tags the failure with the ADMINEND frame either way).
int read_trailer(BlockReader& in, const char* path, LogOutput& log, FlashWriter& writer, std::uint64_t frame_offset,
                 std::uint64_t& failed_at, Verification& verification, std::uint8_t (&trailer_bytes)[TRAILER_SIZE]) {
    LogOutput& errors = *writer.errors;
    // The trailer, and one byte more, so that anything after it is seen.
    std::uint8_t bytes[TRAILER_SIZE + 1];
    const std::uint8_t* taken = nullptr;
    failed_at = frame_offset;
    if (!put_out_before_take(in, TRAILER_SIZE, log, writer, frame_offset)) {
        return STATUS_FAILED;
    }
    std::size_t count = take(in, TRAILER_SIZE, &taken);
    std::memcpy(bytes, taken, count);
    if (in.sum && count == TRAILER_SIZE) {
        verification.crc[COVER_BEFORE_CHECKSUM] =
            crc32_update(verification.crc[COVER_BEFORE_TRAILER], bytes, TRAILER_CHECKSUM_OFFSET);
    }
    // A stream that stalls after a whole trailer (a serial line left open)
    // sees its lines before the tool waits for its end; a byte that comes
    // later still fails the run.
    const bool logged = count == TRAILER_SIZE && may_wait(in, 1);
    if (logged) {
        log_trailer(log, frame_offset, bytes);
        failed_at = frame_offset + FRAME_SIZE + TRAILER_SIZE;
    }
    if (count == TRAILER_SIZE) {
        if (!put_out_before_take(in, 1, log, writer, failed_at)) {
            return STATUS_FAILED;
        }
        // Comes up short at the end of the input, which ends the frame loop.
        if (take(in, 1, &taken) == 1) {
            bytes[count++] = *taken;
        }
    }
    if (count != TRAILER_SIZE) {
        fail_trailer(log, errors, frame_offset, failed_at, path, bytes, count, in.error != 0);
        // A trailer cut short by a failed read is a read error as well.
        if (in.error != 0) {
            fail_read(log, errors, frame_offset, failed_at, path, in.error, std::span(bytes, count));
        }
        return STATUS_FAILED;
    }
    if (!logged) {
        log_trailer(log, frame_offset, bytes);
    }
    std::memcpy(trailer_bytes, bytes, TRAILER_SIZE);
    const Trailer trailer = decode_trailer(bytes);
    verification.has_trailer = true;
    verification.file_length = trailer.words[TRAILER_FILE_LENGTH_WORD - 1];
    verification.checksum = trailer.words[TRAILER_CHECKSUM_WORD - 1];
    return STATUS_OK;
}

// Where the frame loop left the input.
struct LoopEnd {
    std::uint64_t frame_offset = 0;  // the last frame's offset
    std::uint64_t end = 0;           // the input's end, once it was reached: the bytes read
    std::uint64_t frames = 0;        // whole frames read
    bool closed = false;             // the container ended with ADMINEND and its trailer
    Verification verification{};     // the trailer's words and the sums, for --verify
    std::uint8_t trailer[TRAILER_SIZE]{};
};

// Reads and acts on frames until the end of the input or a failure, and says where it stopped in `at`.
int frame_loop(BlockReader& in, const char* path, LogOutput& log, FlashWriter& writer, LoopEnd& at) {
    LogOutput& errors = *writer.errors;
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
            end_flash_stretch(writer, log);
            log_cut_short(log, frame_offset, bytes, count);
            break;  // a short take is the end of the input
        }
        ++at.frames;

        const Frame frame = decode_frame(bytes);
        // A stretch of flash data is told before anything else: any other
        // frame, or one whose length fails.
        if (frame.type != FRAME_FLASH_DATA || frame.param1 > PAYLOAD_SIZE) {
            end_flash_stretch(writer, log);
        }
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
                fail_dummy(log, errors, frame_offset, path, bad, bytes[bad]);
                return STATUS_FAILED;
            }
            log_dummy(log, frame_offset);
            break;
        case FRAME_FLASH_DATA:
            // A length beyond the payload would read past the frame; nothing of this frame is used.
            if (frame.param1 > PAYLOAD_SIZE) {
                fail_flash_length(log, errors, frame_offset, path, frame.param1);
                return STATUS_FAILED;
            }
            if (!on_flash_data(writer, log, frame_offset, frame.param1, frame.param2, frame.payload)) {
                return STATUS_FAILED;
            }
            // The frames that only continue the run, taken in a row from what
            // was read: the long runs of an image, at the speed of a copy.
            {
                const std::size_t more = continue_run(writer, ready_bytes(in), ready(in) / FRAME_SIZE * FRAME_SIZE);
                skip_ready(in, more * FRAME_SIZE);
                offset += more * FRAME_SIZE;
                at.frames += more;
                frame_offset = more > 0 ? offset - FRAME_SIZE : frame_offset;
            }
            break;
        case FRAME_ADMINEND:
            log_adminend(log, frame_offset);
            if (in.sum) {
                at.verification.crc[COVER_BEFORE_ADMINEND] = sum_taken(in, FRAME_SIZE);
                at.verification.crc[COVER_BEFORE_TRAILER] = sum_taken(in, 0);
            }
            if (std::uint64_t failed_at = 0; read_trailer(in, path, log, writer, frame_offset, failed_at,
                                                          at.verification, at.trailer) != STATUS_OK) {
                frame_offset = failed_at;  // where the events end the run
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
        // After a whole trailer, the events place it after the trailer's own.
        const std::uint64_t failed_at = at.closed ? offset : frame_offset;
        fail_read(log, errors, frame_offset, failed_at, path, in.error);
        frame_offset = failed_at;
        return STATUS_FAILED;
    }
    at.end = offset;
    return STATUS_OK;
}

}  // namespace

int finish_output(LogOutput& log, LogOutput& errors, const char* container, int status, const RunEnd& end) {
    log_end(log, container, status, end);
    flush_log(log);
    if (log.error != 0 || std::ferror(log.out) != 0) {
        report_failure(errors, "error writing the log to standard output",
                       std::strerror(log.error != 0 ? log.error : EIO));
        status = STATUS_FAILED;
    }
    flush_log(errors);  // if this fails too, the status still tells
    return status;
}

namespace {

// Checks the container's length and checksum against its trailer once the
// input has ended, as --verify asks: false, after telling why, when the
// container is not intact as far as its trailer tells, or the open run's
// bytes could not be written out to be summed.
bool verify_container(LoopEnd& at, const char* path, LogOutput& log, LogOutput& errors) {
    Verification& v = at.verification;
    v.bytes_read = at.end;
    if (!flash_data_crc(flash_writer, log, at.frame_offset, v.crc[COVER_FLASH_DATA])) {
        return false;
    }
    judge(v);
    log_verify(log, at.end, v);
    if (is_verified(v)) {
        return true;
    }
    fail_verify(log, errors, at.end, path, v);
    return false;
}

// What the last event tells of the run that stopped at `at`.
RunEnd run_end(const LoopEnd& at) {
    return {input.taken, at.frames, flash_writer.images, images_standing(flash_writer)};
}

}  // namespace

int unpack(std::FILE* in, const char* path, LogOutput& log, LogOutput& errors, const UnpackOptions& options) {
    static KeptFile kept[] = {{nullptr, "this is the input container"},
                              {nullptr, "the log is written to this file"},
                              {nullptr, "standard error is written to this file"}};
    kept[0].stream = in;
    kept[1].stream = log.out;
    kept[2].stream = errors.out;
    start_reading(input, in);
    input.sum = options.verify;
    start_flash_writer(flash_writer, options.write_images, kept, errors);
    if (options.verify) {
        sum_flash_data(flash_writer);
    }
    LoopEnd at;
    int status = frame_loop(input, path, log, flash_writer, at);
    if (status != STATUS_OK) {
        abandon_flash_runs(flash_writer, log, at.frame_offset);
        return finish_output(log, errors, path, status, run_end(at));
    }
    // Checked against its trailer, unless --strict failed it first.
    const bool verified = options.verify && (at.closed || !options.strict);
    if (!at.closed && options.strict) {
        // A failure like any other: the open run is given up after it.
        log_incomplete(log, errors, at.end, path, true);
        abandon_flash_runs(flash_writer, log, at.end);
        status = STATUS_FAILED;
    } else if (verified && !verify_container(at, path, log, errors)) {
        abandon_flash_runs(flash_writer, log, at.end);
        status = STATUS_FAILED;
    } else if (!finish_flash_runs(flash_writer, log, at.frame_offset, at.end)) {
        status = STATUS_FAILED;
    } else if (!at.closed) {
        log_incomplete(log, errors, at.end, path, false);
    }
    log_list_end(log, at.closed ? at.trailer : nullptr, verified ? &at.verification : nullptr);
    return finish_output(log, errors, path, status, run_end(at));
}

int unpack_container(std::FILE* in, const char* path, std::FILE* out, bool terminal, std::FILE* errors,
                     const UnpackOptions& options) {
    start_log(log_output, out, terminal, options.format);
    start_log(error_output, errors, is_terminal(errors));
    log_start(log_output, RunStart{path, !options.write_images, options.strict, nullptr});
    return unpack(in, path, log_output, error_output, options);
}

}  // namespace kvf
