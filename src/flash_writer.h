// Turns runs of contiguous flash-data frames into image files in the working directory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "container.h"

namespace kvf {

// Room for a display text: a frame carries at most PAYLOAD_SIZE characters.
inline constexpr std::size_t TEXT_BUFFER_SIZE = 255;
static_assert(PAYLOAD_SIZE < TEXT_BUFFER_SIZE);

// State carried from frame to frame for the whole run of the tool.
struct FlashWriter {
    char last_text[TEXT_BUFFER_SIZE] = {};  // names the next run
};

// Keeps the `length` bytes of `text` as the name giver of the next run.
void set_display_text(FlashWriter& writer, const char* text, std::size_t length);

// Handles one flash-data frame tagged `tag`; logs to `log`. Returns false after
// printing the failure line when the tool must stop with status 1.
bool on_flash_data(FlashWriter& writer, std::FILE* log, const char* tag, std::uint32_t length,
                   std::uint32_t address, const std::uint8_t* payload);

}  // namespace kvf
