// SPDX-License-Identifier: MIT
// Turns runs of contiguous flash-data frames into image files in the output folder.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <span>
#include <string_view>

#include "block_io.h"
#include "container.h"
#include "log_output.h"
#include "platform.h"

namespace kvf {

// Room for a display text, and for an image name built from one.
inline constexpr std::size_t TEXT_BUFFER_SIZE = 255;
inline constexpr std::size_t NAME_BUFFER_SIZE = 255;
// "_", eight hex digits of the start address, ".bin".
inline constexpr std::size_t NAME_SUFFIX_LENGTH = 1 + 8 + 4;
// The '_' put before a name that Windows would take for a device.
inline constexpr std::size_t DEVICE_ESCAPE_LENGTH = 1;
// A frame carries at most PAYLOAD_SIZE characters of text; its name must fit whole.
static_assert(PAYLOAD_SIZE < TEXT_BUFFER_SIZE);
static_assert(DEVICE_ESCAPE_LENGTH + PAYLOAD_SIZE + NAME_SUFFIX_LENGTH < NAME_BUFFER_SIZE);

// The most image names whose images a run tells apart (end's images_standing);
// past them it cannot say how many images stand.
inline constexpr std::size_t NAMES_TOLD_MAX = 65536;
// Twice as many slots as names: an open-addressed table stays short to search.
inline constexpr std::size_t NAME_SLOTS = 2 * NAMES_TOLD_MAX;
static_assert((NAME_SLOTS & (NAME_SLOTS - 1)) == 0, "a power of two, masked into");

// The names this run's images stand at, each kept as a 64-bit hash of it.
struct NameSet {
    std::uint64_t slots[NAME_SLOTS];  // 0: free
    std::size_t count;                // names kept
    bool overflowed;                  // a name came past NAMES_TOLD_MAX
};

// Adds `name` to `names`; whether it was not there yet.
bool add_name(NameSet& names, std::string_view name);

// State carried from frame to frame for the whole run of the tool. While
// images are written, a run is open exactly while its image file is; every
// address, 0xFFFFFFFF included, can continue it. Holds a write block, so it
// is large: keep it in static storage.
struct FlashWriter {
    std::span<const KeptFile> kept;     // files no image may replace, under any name: the input, the log
    LogOutput* errors;                  // where failures are reported, a line each
    bool write_images;                  // false for a listing: runs are followed, no file is made
    bool gathers;                       // the data goes into the write block: images are written, or summed
    char last_text[TEXT_BUFFER_SIZE];   // names the next run
    bool run_open;                      // a run is open
    bool image_failed;                  // the open run's image could not be written
    std::uint32_t next_address;         // where the open run continues
    char image_name[NAME_BUFFER_SIZE];  // name of the open run's image
    std::uint32_t run_address;          // where the open run started
    std::uint64_t run_length;           // data bytes in the open run
    std::uint64_t run_frames;           // flash-data frames in the open run
    std::uint64_t images;               // runs opened so far: images made, or that would be
    NameSet standing;                   // the names images stand at, or would
    // The stretch of the open run's frames in a row that the log has yet to
    // tell of (logs_flash_stretches): where it starts, and the run's counts then.
    bool stretch_open;
    std::uint64_t stretch_offset;
    std::uint32_t stretch_address;
    std::uint64_t stretch_frames_before;
    std::uint64_t stretch_length_before;
    BlockWriter image;  // the open run's image file (image.file), or none
};

// Starts a writer with no display text and no open run that makes images
// when `write_images`; no image may replace any of the `kept` files, which
// must outlive the writer. Each failure is also reported on `errors`.
void start_flash_writer(FlashWriter& writer, bool write_images, std::span<const KeptFile> kept, LogOutput& errors);

// Keeps the CRC-32 of the flash data, in file order, from now on (flash_data_crc).
void sum_flash_data(FlashWriter& writer);

// The CRC-32 of every flash-data byte so far, once the open run's gathered
// bytes are written out (a write that fails is logged with the last frame
// at `frame_offset`): false when the tool must stop.
bool flash_data_crc(FlashWriter& writer, LogOutput& log, std::uint64_t frame_offset, std::uint32_t& crc);

// How many names this run's images stand at (or would, for a listing); -1
// when more names came than it tells apart.
std::int64_t images_standing(const FlashWriter& writer);

// Whether Windows takes a file name whose part before its first '.' is
// `base`, lower case, for a device (con, prn, aux, nul, com0 to com9, lpt0 to
// lpt9, conin$, conout$), whatever follows.
bool is_windows_device_name(std::string_view base);

// Builds the image name for a run starting at `address` after the display
// text `text`: the text cut at its first double space, lower-cased, with
// spaces, control bytes, bytes from 0x80, path separators and a leading '-',
// '+' or '@' made '_', then "_%08X.bin". Under Windows rules ':' '*' '?' '"' '<' '>' '|'
// become '_' too, and a name whose part before its first '.' is a device name
// gets a leading '_'. The name is a bare name: it never leaves the output folder.
void make_image_name(char (&name)[NAME_BUFFER_SIZE], const char* text, std::uint32_t address,
                     NameRules rules = HOST_NAME_RULES);

// Keeps the `length` (at most PAYLOAD_SIZE, as in a frame) bytes of `text` as
// the name giver of the next run; an open run is not touched.
void set_display_text(FlashWriter& writer, const char* text, std::size_t length);

// Handles one flash-data frame at file offset `frame_offset`, logging to
// `log`: breaks the open run if `address` does not continue it, opens a new
// image if none is open, and appends the first `length` (at most
// PAYLOAD_SIZE) payload bytes. Returns false after printing the failure line
// (and reporting why) when the tool must stop with status 1.
bool on_flash_data(FlashWriter& writer, LogOutput& log, std::uint64_t frame_offset, std::uint32_t length,
                   std::uint32_t address, const std::uint8_t* payload);

// Of the `count` bytes of whole frames at `frames`, the number of frames in a
// row that on_flash_data would only append to the open run: flash-data frames
// within the payload that continue it, as many as the image's write block
// takes without being written out. Appends their data as on_flash_data does;
// the log tells of them only in the stretch they join.
std::size_t continue_run(FlashWriter& writer, const std::uint8_t* frames, std::size_t count);

// Tells `log` of the stretch of flash-data frames in a row, if one is yet to
// be told: called before the log tells of anything else, and before the tool
// waits for its input.
void tell_flash_stretch(FlashWriter& writer, LogOutput& log);

inline void end_flash_stretch(FlashWriter& writer, LogOutput& log) {
    if (writer.stretch_open) {
        tell_flash_stretch(writer, log);
    }
}

// Writes out the image bytes the open run has gathered, so that they are on
// disk while the input pauses. Returns false after printing the failure line,
// tagged with the last frame's offset `frame_offset`, and reporting why, if
// they could not be written.
bool flush_flash_run(FlashWriter& writer, LogOutput& log, std::uint64_t frame_offset);

// Closes the open run's image at the normal end of the input, `end` bytes
// in, after the last frame at `frame_offset`. Returns false after printing
// the failure line and reporting why, if the image could not be written.
// The events place both at the end; the text log tags the line with the
// last frame, as it always has.
bool finish_flash_runs(FlashWriter& writer, LogOutput& log, std::uint64_t frame_offset, std::uint64_t end);

// Ends the open run after a failure at the frame at `frame_offset` has
// ended the tool: an image that was to replace a file is removed, the old
// file standing as it was; one made at a free name keeps what was read of
// its run, and is logged as closed. A failed write of it is reported too.
void abandon_flash_runs(FlashWriter& writer, LogOutput& log, std::uint64_t frame_offset);

}  // namespace kvf
