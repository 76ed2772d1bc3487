// SPDX-License-Identifier: MIT
#include "flash_writer.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>

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

// Logs `message` and the open run's image name about the frame at `frame_offset`.
void log_image_line(FlashWriter& writer, LogOutput& log, std::uint64_t frame_offset, std::string_view message) {
    add_frame_line(log, frame_offset, "");
    add_external_line(log, message, writer.image_name);
}

// Logs that the open run's image could not be written, and reports the error number `error`.
bool fail_writing(FlashWriter& writer, LogOutput& log, std::uint64_t frame_offset, int error) {
    log_image_line(writer, log, frame_offset, "ERROR writing outputfile: ");
    report_failure(*writer.errors, writer.image_name, std::strerror(error != 0 ? error : EIO));
    return false;
}

// Closes the open run's image; reports a failed write or close on `log`.
bool close_run(FlashWriter& writer, LogOutput& log, std::uint64_t frame_offset) {
    const bool written = flush_block(writer.image);
    int error = written ? 0 : errno;
    const bool closed = std::fclose(writer.image.file) == 0;
    if (!closed && error == 0) {
        error = errno;
    }
    writer.image.file = nullptr;
    return (written && closed) || fail_writing(writer, log, frame_offset, error);
}

bool open_run(FlashWriter& writer, LogOutput& log, std::uint64_t frame_offset, std::uint32_t address) {
    make_image_name(writer.image_name, writer.last_text, address);
    const char* why = nullptr;
    std::FILE* file = create_image(writer.image_name, writer.kept, &why);
    if (file == nullptr) {
        log_image_line(writer, log, frame_offset, "ERROR creating outputfile: ");
        report_failure(*writer.errors, writer.image_name, why);
        return false;
    }
    start_writing(writer.image, file);
    log_image_line(writer, log, frame_offset, "New Flashdata found, create new file for it: ");
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

void start_flash_writer(FlashWriter& writer, std::span<const KeptFile> kept, LogOutput& errors) {
    writer.kept = kept;
    writer.errors = &errors;
    writer.last_text[0] = '\0';
    writer.next_address = 0;
    writer.image_name[0] = '\0';
    writer.image.file = nullptr;
}

void set_display_text(FlashWriter& writer, const char* text, std::size_t length) {
    std::memcpy(writer.last_text, text, length);
    writer.last_text[length] = '\0';
}

bool on_flash_data(FlashWriter& writer, LogOutput& log, std::uint64_t frame_offset, std::uint32_t length,
                   std::uint32_t address, const std::uint8_t* payload) {
    if (writer.image.file != nullptr && address != writer.next_address) {
        add_frame_line(log, frame_offset, "End of current Flash data found, closing flashfile\n");
        if (!close_run(writer, log, frame_offset)) {
            return false;
        }
    }
    if (writer.image.file == nullptr && !open_run(writer, log, frame_offset, address)) {
        return false;
    }
    if (!put_from<PAYLOAD_SIZE>(writer.image, payload, length)) {
        return fail_writing(writer, log, frame_offset, errno);
    }
    // Unsigned arithmetic: a run that passes 0xFFFFFFFF continues from 0.
    writer.next_address = address + length;
    return true;
}

bool flush_flash_run(FlashWriter& writer, LogOutput& log, std::uint64_t frame_offset) {
    return writer.image.file == nullptr || flush_block(writer.image) || fail_writing(writer, log, frame_offset, errno);
}

bool finish_flash_runs(FlashWriter& writer, LogOutput& log, std::uint64_t frame_offset) {
    return writer.image.file == nullptr || close_run(writer, log, frame_offset);
}

void abandon_flash_runs(FlashWriter& writer) {
    if (writer.image.file != nullptr) {
        // What the run gathered still goes to disk, unchecked: the run has
        // failed already, and earlier runs are complete.
        (void)flush_block(writer.image);
        (void)std::fclose(writer.image.file);
        writer.image.file = nullptr;
    }
}

}  // namespace kvf
