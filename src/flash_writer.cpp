// SPDX-License-Identifier: MIT
#include "flash_writer.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "checksum.h"
#include "events.h"

namespace kvf {

namespace {

constexpr std::string_view IMAGE_NAME_CUT = "  ";
// The most of a text that a name keeps, with room for the suffix and a device escape.
constexpr std::size_t NAME_TEXT_MAX = NAME_BUFFER_SIZE - 1 - NAME_SUFFIX_LENGTH - DEVICE_ESCAPE_LENGTH;
// Characters that Windows file names cannot hold; ':' would name a data stream or a drive.
constexpr std::string_view WINDOWS_RESERVED_CHARACTERS = ":*?\"<>|";
// Characters that other programs read as an option or a command at the start of an argument.
constexpr std::string_view LEADING_CHARACTERS_REPLACED = "-+@";

bool is_replaced_in_name(unsigned char c, NameRules rules) {
    // Spaces and control bytes (0x01 to 0x1F: a text holds no NUL).
    if (c <= ' ' || c >= 0x80 || c == '/' || c == '\\') {
        return true;
    }
    return rules == NameRules::windows &&
           WINDOWS_RESERVED_CHARACTERS.find(static_cast<char>(c)) != std::string_view::npos;
}

// The reason for the failure in errno, which a failed stream call may leave unset.
const char* system_reason() {
    return std::strerror(errno != 0 ? errno : EIO);
}

// FNV-1a, 64 bits.
std::uint64_t name_hash(std::string_view name) {
    constexpr std::uint64_t OFFSET_BASIS = 0xCBF29CE484222325;
    constexpr std::uint64_t PRIME = 0x100000001B3;
    std::uint64_t hash = OFFSET_BASIS;
    for (const char c : name) {
        hash = (hash ^ static_cast<unsigned char>(c)) * PRIME;
    }
    return hash != 0 ? hash : 1;  // 0 marks a free slot
}

// Logs that the open run's image could not be written, and reports `why`.
// The failure is told at the last frame whose data went to the writer, told
// in the stretch before it.
bool fail_writing(FlashWriter& writer, LogOutput& log, std::uint64_t frame_offset, const char* why) {
    end_flash_stretch(writer, log);
    writer.image_failed = true;
    fail_write(log, *writer.errors, frame_offset, writer.image_name, why);
    return false;
}

// Closes the open run's image, if images are written, complete at its name;
// false, with `why` set, if it could not be written out, closed or named.
bool close_image(FlashWriter& writer, const char** why) {
    if (!writer.write_images) {
        if (writer.gathers) {
            (void)flush_block(writer.image);  // to no file: only summed, which cannot fail
        }
        return true;
    }
    std::FILE* file = writer.image.file;
    const bool written = flush_block(writer.image);
    writer.image.file = nullptr;
    if (!written) {
        *why = system_reason();
        (void)discard_image(file, false);  // not whole: nothing of it is named
        return false;
    }
    return finish_image(file, writer.image_name, why);
}

// Ends the open run at the frame at `frame_offset`, its image closed; reports a failed write or close on `log`.
bool close_run(FlashWriter& writer, LogOutput& log, std::uint64_t frame_offset) {
    end_flash_stretch(writer, log);
    writer.run_open = false;
    const char* why = nullptr;
    if (!close_image(writer, &why)) {
        return fail_writing(writer, log, frame_offset, why);
    }
    (void)add_name(writer.standing, writer.image_name);
    log_run_close(log, frame_offset,
                  RunSummary{writer.image_name, writer.run_address, writer.run_length, writer.run_frames});
    return true;
}

// Opens the stretch of flash-data frames in a row that the frame at
// `frame_offset`, just appended with `length` bytes for `address`, starts,
// where the log tells of stretches and none is open.
void open_stretch(FlashWriter& writer, LogOutput& log, std::uint64_t frame_offset, std::uint32_t length,
                  std::uint32_t address) {
    if (!writer.stretch_open && logs_flash_stretches(log)) {
        writer.stretch_open = true;
        writer.stretch_offset = frame_offset;
        writer.stretch_address = address;
        writer.stretch_frames_before = writer.run_frames - 1;
        writer.stretch_length_before = writer.run_length - length;
    }
}

// Appends the first `length` bytes of `payload`, the data of the frame for
// `address`, to the open run; false, with errno set, on a failed write, the
// frame counted in the run all the same: it is the one the failure is told at.
bool append_data(FlashWriter& writer, std::uint32_t length, std::uint32_t address, const std::uint8_t* payload) {
    const bool put = !writer.gathers || put_from<PAYLOAD_SIZE>(writer.image, payload, length);
    // Unsigned arithmetic: a run that passes 0xFFFFFFFF continues from 0.
    writer.next_address = address + length;
    writer.run_length += length;
    ++writer.run_frames;
    return put;
}

bool open_run(FlashWriter& writer, LogOutput& log, std::uint64_t frame_offset, std::uint32_t address) {
    make_image_name(writer.image_name, writer.last_text, address);
    if (writer.write_images) {
        const char* why = nullptr;
        std::FILE* file = create_image(writer.image_name, writer.kept, &why);
        if (file == nullptr) {
            fail_create(log, *writer.errors, frame_offset, writer.image_name, why);
            return false;
        }
        start_writing(writer.image, file);
    }
    writer.run_open = true;
    writer.image_failed = false;
    writer.run_address = address;
    writer.run_length = 0;
    writer.run_frames = 0;
    ++writer.images;
    log_run_open(log, frame_offset, writer.image_name, address);
    return true;
}

}  // namespace

bool is_windows_device_name(std::string_view base) {
    // The console's input and output buffers are opened by name as well.
    if (base == "con" || base == "prn" || base == "aux" || base == "nul" || base == "conin$" || base == "conout$") {
        return true;
    }
    return base.size() == 4 && (base.starts_with("com") || base.starts_with("lpt")) && base[3] >= '0' && base[3] <= '9';
}

void make_image_name(char (&name)[NAME_BUFFER_SIZE], const char* text, std::uint32_t address, NameRules rules) {
    // The name ends where the text first holds two spaces in a row.
    std::string_view kept(text);
    kept = kept.substr(0, std::min(kept.find(IMAGE_NAME_CUT), NAME_TEXT_MAX));
    for (std::size_t i = 0; i < kept.size(); ++i) {
        auto c = static_cast<unsigned char>(kept[i]);
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<unsigned char>(c - 'A' + 'a');
        }
        // A leading '-' would make the name an option to the programs given
        // it next, as `tar cf backup.tar *` or `rm *` in this folder; '+' a
        // command to `vim *`, '@' a list of files to bsdtar and 7-Zip.
        const bool option_like =
            i == 0 && LEADING_CHARACTERS_REPLACED.find(static_cast<char>(c)) != std::string_view::npos;
        name[i] = is_replaced_in_name(c, rules) || option_like ? '_' : static_cast<char>(c);
    }
    // "_%08X.bin"
    char* suffix = name + kept.size();
    *suffix++ = '_';
    suffix += format_hex(suffix, address, 8);
    std::memcpy(suffix, ".bin", 5);
    if (rules == NameRules::windows) {
        const std::string_view whole(name);
        if (is_windows_device_name(whole.substr(0, whole.find('.')))) {
            std::memmove(name + DEVICE_ESCAPE_LENGTH, name, whole.size() + 1);
            name[0] = '_';
        }
    }
}

void start_flash_writer(FlashWriter& writer, bool write_images, std::span<const KeptFile> kept, LogOutput& errors) {
    writer.kept = kept;
    writer.errors = &errors;
    writer.write_images = write_images;
    writer.gathers = write_images;
    writer.image.sum = false;
    writer.image.used = 0;
    if (writer.standing.count != 0) {  // static storage starts zeroed: only a second run clears it
        std::memset(writer.standing.slots, 0, sizeof writer.standing.slots);
    }
    writer.standing.count = 0;
    writer.standing.overflowed = false;
    writer.last_text[0] = '\0';
    writer.run_open = false;
    writer.image_failed = false;
    writer.next_address = 0;
    writer.image_name[0] = '\0';
    writer.images = 0;
    writer.stretch_open = false;
    writer.image.file = nullptr;
}

void set_display_text(FlashWriter& writer, const char* text, std::size_t length) {
    std::memcpy(writer.last_text, text, length);
    writer.last_text[length] = '\0';
}

bool on_flash_data(FlashWriter& writer, LogOutput& log, std::uint64_t frame_offset, std::uint32_t length,
                   std::uint32_t address, const std::uint8_t* payload) {
    if (writer.run_open && address != writer.next_address) {
        log_run_break(log, frame_offset);
        if (!close_run(writer, log, frame_offset)) {
            return false;
        }
    }
    if (!writer.run_open && !open_run(writer, log, frame_offset, address)) {
        return false;
    }
    // continue_run takes the frames that only append in a row: a check added here belongs there too.
    const bool appended = append_data(writer, length, address, payload);
    const char* why = appended ? nullptr : system_reason();
    open_stretch(writer, log, frame_offset, length, address);
    return appended || fail_writing(writer, log, frame_offset, why);
}

std::size_t continue_run(FlashWriter& writer, const std::uint8_t* frames, std::size_t count) {
    if (!writer.run_open) {
        return 0;
    }
    // The run's state in locals while the frames go by: the copies into the
    // block cannot be taken for writes to it.
    std::uint32_t next = writer.next_address;
    std::uint64_t length = 0;
    std::size_t taken = 0;
    for (; (taken + 1) * FRAME_SIZE <= count; ++taken) {
        const Frame frame = decode_frame(frames + taken * FRAME_SIZE);
        // Only what on_flash_data would append without a word ...
        if (frame.type != FRAME_FLASH_DATA || frame.param1 > PAYLOAD_SIZE || frame.param2 != next) {
            break;
        }
        if (writer.gathers) {
            // ... and only while the block takes it: a write that fails is
            // reported by on_flash_data, at its frame; this put cannot fail.
            if (PAYLOAD_SIZE > WRITE_BLOCK_SIZE - writer.image.used) {
                break;
            }
            (void)put_from<PAYLOAD_SIZE>(writer.image, frame.payload, frame.param1);
        }
        next += frame.param1;  // modulo 2^32, as in append_data
        length += frame.param1;
    }
    writer.next_address = next;
    writer.run_length += length;
    writer.run_frames += taken;
    return taken;
}

void tell_flash_stretch(FlashWriter& writer, LogOutput& log) {
    writer.stretch_open = false;
    log_flash_stretch(log, writer.stretch_offset, writer.run_frames - writer.stretch_frames_before,
                      writer.run_length - writer.stretch_length_before, writer.stretch_address);
}

bool flush_flash_run(FlashWriter& writer, LogOutput& log, std::uint64_t frame_offset) {
    // Written out before the stretch is told, which a failure then ends with the frame it tags.
    const bool written = !writer.gathers || flush_block(writer.image);
    const char* why = written ? nullptr : system_reason();
    end_flash_stretch(writer, log);
    return written || fail_writing(writer, log, frame_offset, why);
}

void sum_flash_data(FlashWriter& writer) {
    writer.gathers = true;
    writer.image.sum = true;
    writer.image.crc = CRC32_START;
}

bool flash_data_crc(FlashWriter& writer, LogOutput& log, std::uint64_t frame_offset, std::uint32_t& crc) {
    const bool written = flush_flash_run(writer, log, frame_offset);
    crc = writer.image.crc;
    return written;
}

bool add_name(NameSet& names, std::string_view name) {
    const std::uint64_t hash = name_hash(name);
    for (std::size_t slot = hash & (NAME_SLOTS - 1);; slot = (slot + 1) & (NAME_SLOTS - 1)) {
        if (names.slots[slot] == hash) {
            return false;
        }
        if (names.slots[slot] == 0) {
            if (names.count == NAMES_TOLD_MAX) {
                names.overflowed = true;
                return true;
            }
            names.slots[slot] = hash;
            ++names.count;
            return true;
        }
    }
}

std::int64_t images_standing(const FlashWriter& writer) {
    return writer.standing.overflowed ? -1 : static_cast<std::int64_t>(writer.standing.count);
}

bool finish_flash_runs(FlashWriter& writer, LogOutput& log, std::uint64_t frame_offset, std::uint64_t end) {
    return !writer.run_open || close_run(writer, log, log.format == LogFormat::json ? end : frame_offset);
}

void abandon_flash_runs(FlashWriter& writer, LogOutput& log, std::uint64_t frame_offset) {
    if (!writer.run_open) {
        return;
    }
    end_flash_stretch(writer, log);
    writer.run_open = false;
    // The tool has failed: an image that was to replace a file is given up,
    // which stands as it was; one made at a free name keeps what its run
    // brought, written out, as images always have.
    bool stands = true;
    if (writer.write_images) {
        const bool written = writer.image_failed || flush_block(writer.image);
        const char* why = written ? nullptr : system_reason();
        stands = discard_image(writer.image.file, written && !writer.image_failed);
        writer.image.file = nullptr;
        if (!written) {
            (void)fail_writing(writer, log, frame_offset, why);
        }
    }
    if (stands) {
        (void)add_name(writer.standing, writer.image_name);
        log_run_close(log, frame_offset,
                      RunSummary{writer.image_name, writer.run_address, writer.run_length, writer.run_frames});
    }
}

}  // namespace kvf
