#include "block_io.h"

#include <cstring>

namespace kvf {

void start_reading(BlockReader& reader, std::FILE* in) {
    reader.in = in;
    reader.begin = 0;
    reader.end = 0;
    reader.stream_ended = false;
    reader.ended = false;
}

void refill(BlockReader& reader) {
    const std::size_t left = reader.end - reader.begin;
    std::memmove(reader.block, reader.block + reader.begin, left);
    reader.begin = 0;
    reader.end = left;
    // fread comes back short only at the end of the stream or on an error.
    const std::size_t wanted = READ_BLOCK_SIZE - left;
    const std::size_t got = std::fread(reader.block + left, 1, wanted, reader.in);
    reader.end += got;
    reader.stream_ended = got < wanted;
}

void start_writing(BlockWriter& writer, std::FILE* file) {
    writer.file = file;
    writer.used = 0;
    std::setvbuf(file, nullptr, _IONBF, 0);
}

bool flush_block(BlockWriter& writer) {
    const std::size_t count = writer.used;
    writer.used = 0;
    return std::fwrite(writer.block, 1, count, writer.file) == count;
}

}  // namespace kvf
