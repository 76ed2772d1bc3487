#include "flash_writer.h"

#include <cstring>

namespace kvf {

void set_display_text(FlashWriter& writer, const char* text, std::size_t length) {
    if (length >= TEXT_BUFFER_SIZE) {
        length = TEXT_BUFFER_SIZE - 1;
    }
    std::memcpy(writer.last_text, text, length);
    writer.last_text[length] = '\0';
}

bool on_flash_data(FlashWriter&, std::FILE*, const char*, std::uint32_t, std::uint32_t, const std::uint8_t*) {
    return true;
}

}  // namespace kvf
