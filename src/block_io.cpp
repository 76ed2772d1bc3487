// SPDX-License-Identifier: MIT
#include "block_io.h"

#include <cerrno>
#include <cstring>

#include "checksum.h"
#include "platform.h"

namespace kvf {

void start_reading(BlockReader& reader, std::FILE* in) {
    reader.in = in;
    reader.begin = 0;
    reader.end = 0;
    reader.state = BlockReader::State::reading;
    reader.error = 0;
    reader.live = is_live(in);
    reader.taken = 0;
    reader.sum = false;
    reader.crc = CRC32_START;
    reader.summed = 0;
}

std::uint32_t sum_taken(BlockReader& reader, std::size_t held_back) {
    const std::size_t to = reader.begin - held_back;
    reader.crc = crc32_update(reader.crc, reader.block + reader.summed, to - reader.summed);
    reader.summed = to;
    return reader.crc;
}

void refill(BlockReader& reader, std::size_t wanted) {
    if (reader.sum) {
        (void)sum_taken(reader, 0);  // before the bytes taken are gone
    }
    reader.summed = 0;
    const std::size_t left = reader.end - reader.begin;
    std::memmove(reader.block, reader.block + reader.begin, left);
    reader.begin = 0;
    reader.end = left;
    while (reader.end < wanted && reader.state == BlockReader::State::reading) {
        const std::ptrdiff_t got = read_ready(reader.in, reader.block + reader.end, READ_BLOCK_SIZE - reader.end);
        if (got > 0) {
            reader.end += static_cast<std::size_t>(got);
        } else {
            reader.state = BlockReader::State::input_ended;
            reader.error = got < 0 ? errno : 0;
        }
    }
}

void start_writing(BlockWriter& writer, std::FILE* file) {
    writer.file = file;
    writer.used = 0;
    // Only faster: a stream that keeps its own buffer writes the same bytes.
    if (file != nullptr) {
        (void)std::setvbuf(file, nullptr, _IONBF, 0);
    }
}

bool flush_block(BlockWriter& writer) {
    const std::size_t count = writer.used;
    writer.used = 0;
    if (writer.sum) {
        writer.crc = crc32_update(writer.crc, writer.block, count);
    }
    errno = 0;  // so that a failure leaves only its own reason
    return writer.file == nullptr || std::fwrite(writer.block, 1, count, writer.file) == count;
}

}  // namespace kvf
