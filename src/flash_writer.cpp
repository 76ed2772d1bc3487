#include "flash_writer.h"

#include <cstring>

namespace kvf {

namespace {

constexpr char IMAGE_NAME_CUT[] = "  ";

bool is_replaced_in_name(unsigned char c) {
    return c == ' ' || (c >= 0x01 && c <= 0x1F) || c >= 0x80 || c == '/' || c == '\\';
}

// Closes the open run's image; reports a failed write or close on `log`.
bool close_run(FlashWriter& writer, std::FILE* log, const char* tag) {
    std::FILE* file = writer.flash_file;
    writer.flash_file = nullptr;
    const bool written = !std::ferror(file);
    if (std::fclose(file) != 0 || !written) {
        std::fprintf(log, "%s : ERROR writing outputfile: %s\n", tag, writer.image_name);
        return false;
    }
    return true;
}

bool open_run(FlashWriter& writer, std::FILE* log, const char* tag, std::uint32_t address) {
    make_image_name(writer.image_name, writer.last_text, address);
    writer.flash_file = std::fopen(writer.image_name, "wb");
    if (writer.flash_file == nullptr) {
        std::fprintf(log, "%s : ERROR creating outputfile: %s\n", tag, writer.image_name);
        return false;
    }
    std::fprintf(log, "%s : New Flashdata found, create new file for it: %s\n", tag, writer.image_name);
    return true;
}

}  // namespace

void make_image_name(char (&name)[NAME_BUFFER_SIZE], const char* text, std::uint32_t address) {
    std::size_t length = 0;
    while (text[length] != '\0' && length < NAME_BUFFER_SIZE - 1 - NAME_SUFFIX_LENGTH) {
        name[length] = text[length];
        ++length;
    }
    name[length] = '\0';
    // The name ends where the text first holds two spaces in a row.
    if (const char* cut = std::strstr(name, IMAGE_NAME_CUT); cut != nullptr) {
        length = static_cast<std::size_t>(cut - name);
    }
    for (std::size_t i = 0; i < length; ++i) {
        auto c = static_cast<unsigned char>(name[i]);
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<unsigned char>(c - 'A' + 'a');
        }
        name[i] = is_replaced_in_name(c) ? '_' : static_cast<char>(c);
    }
    std::snprintf(name + length, NAME_BUFFER_SIZE - length, "_%08X.bin", address);
}

void set_display_text(FlashWriter& writer, const char* text, std::size_t length) {
    if (length >= TEXT_BUFFER_SIZE) {
        length = TEXT_BUFFER_SIZE - 1;
    }
    std::memcpy(writer.last_text, text, length);
    writer.last_text[length] = '\0';
}

bool on_flash_data(FlashWriter& writer, std::FILE* log, const char* tag, std::uint32_t length,
                   std::uint32_t address, const std::uint8_t* payload) {
    // A length beyond the payload would read past the frame; nothing of this frame is used.
    if (length > PAYLOAD_SIZE) {
        std::fprintf(log, "%s : ERROR: Flash data length %08X exceeds the frame payload\n", tag, length);
        return false;
    }
    if (writer.flash_file != nullptr && address != writer.next_address) {
        std::fprintf(log, "%s : End of current Flash data found, closing flashfile\n", tag);
        if (!close_run(writer, log, tag)) {
            return false;
        }
    }
    if (writer.flash_file == nullptr && !open_run(writer, log, tag, address)) {
        return false;
    }
    if (std::fwrite(payload, 1, length, writer.flash_file) != length) {
        std::fprintf(log, "%s : ERROR writing outputfile: %s\n", tag, writer.image_name);
        return false;
    }
    // Unsigned arithmetic: a run that passes 0xFFFFFFFF continues from 0.
    writer.next_address = address + length;
    return true;
}

bool finish_flash_runs(FlashWriter& writer, std::FILE* log, const char* tag) {
    return writer.flash_file == nullptr || close_run(writer, log, tag);
}

void abandon_flash_runs(FlashWriter& writer) {
    if (writer.flash_file != nullptr) {
        std::fclose(writer.flash_file);
        writer.flash_file = nullptr;
    }
}

}  // namespace kvf
