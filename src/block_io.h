// SPDX-License-Identifier: MIT
// Large-block input and output for the per-frame hot path: frames are taken
// in place from a block read at once, and image data is gathered into a block
// before it is written, so that no stream call is made per frame.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace kvf {

// Sized by the benchmark (its figures are in doc/DEVELOPING.md): larger blocks
// were no faster, and these keep the tool's memory small.
inline constexpr std::size_t READ_BLOCK_SIZE = std::size_t{256} * 1024;
inline constexpr std::size_t WRITE_BLOCK_SIZE = std::size_t{256} * 1024;

// Reads an input in blocks and hands out its bytes a record at a time. A
// refill takes what the input has ready, up to a whole block: a regular file
// fills the block at once, while a pipe or device hands its records on as
// soon as they arrive.
struct BlockReader {
    // Where the reader stands; it only moves forward.
    enum class State {
        reading,      // the input may hold more bytes
        input_ended,  // the input reached its end or failed: no more refills, bytes may remain
        ended,        // a take came up short, as a read past the end of a stream does
    };
    std::FILE* in = nullptr;
    std::size_t begin = 0;  // first byte not yet taken
    std::size_t end = 0;    // one past the last byte read
    State state = State::reading;
    int error = 0;            // the system's error number of a failed read of the input, or 0
    bool live = false;        // the input is a stream (a pipe, a device) whose reads may wait
    std::uint64_t taken = 0;  // bytes taken since the reader started
    bool sum = false;         // the CRC-32 of the bytes taken is kept (sum_taken)
    std::uint32_t crc = 0;    // the CRC-32 of the bytes taken before block[summed]
    std::size_t summed = 0;
    std::uint8_t block[READ_BLOCK_SIZE];
};

// Starts reading `in` from its current position; `in` is read below its stdio buffer from now on.
void start_reading(BlockReader& reader, std::FILE* in);

// Moves the bytes not yet taken to the front of the block and reads behind
// them until `wanted` (at most READ_BLOCK_SIZE) bytes are there or the input ends.
void refill(BlockReader& reader, std::size_t wanted);

// The CRC-32 of every byte taken but the last `held_back` (at most those of
// the last take), when the reader keeps it; from then on it sums from there.
std::uint32_t sum_taken(BlockReader& reader, std::size_t held_back);

// Takes up to `count` (at most READ_BLOCK_SIZE) bytes, pointed to by `bytes`
// until the next take, and returns how many there were. A short take marks
// the reader ended, like the end-of-file indicator of a stream.
inline std::size_t take(BlockReader& reader, std::size_t count, const std::uint8_t** bytes) {
    if (reader.end - reader.begin < count && reader.state == BlockReader::State::reading) {
        refill(reader, count);
    }
    const std::size_t available = reader.end - reader.begin;
    const std::size_t taken = available < count ? available : count;
    *bytes = reader.block + reader.begin;
    reader.begin += taken;
    reader.taken += taken;
    if (taken < count) {
        reader.state = BlockReader::State::ended;
    }
    return taken;
}

// How many bytes were read and not yet taken: a take of up to that many reads nothing.
inline std::size_t ready(const BlockReader& reader) {
    return reader.end - reader.begin;
}

// The ready() bytes, valid until the next take.
inline const std::uint8_t* ready_bytes(const BlockReader& reader) {
    return reader.block + reader.begin;
}

// Takes `count` (at most ready()) bytes without reading.
inline void skip_ready(BlockReader& reader, std::size_t count) {
    reader.begin += count;
    reader.taken += count;
}

// Whether a take of `count` bytes may have to wait for a live input: fewer
// bytes than that are ready and the input has not ended.
inline bool may_wait(const BlockReader& reader, std::size_t count) {
    return reader.live && reader.state == BlockReader::State::reading && reader.end - reader.begin < count;
}

// Gathers small writes to a file into whole blocks.
struct BlockWriter {
    std::FILE* file = nullptr;  // none: the blocks are only summed
    std::size_t used = 0;
    bool sum = false;       // the CRC-32 of every byte written out is kept
    std::uint32_t crc = 0;  // of the bytes written out so far
    std::uint8_t block[WRITE_BLOCK_SIZE];
};

// Starts gathering writes for `file`, which is made unbuffered: the block is
// its buffer; for no file (nullptr) when the bytes are only summed.
void start_writing(BlockWriter& writer, std::FILE* file);

// Writes out the gathered bytes, summing them first when the writer keeps a
// CRC-32; false, with errno saying why, if the file did not take them all.
bool flush_block(BlockWriter& writer);

// Adds `count` (at most WRITE_BLOCK_SIZE) bytes, writing out the block first
// when they do not fit; false, with errno saying why, on a failed write.
inline bool put(BlockWriter& writer, const std::uint8_t* bytes, std::size_t count) {
    if (count > WRITE_BLOCK_SIZE - writer.used && !flush_block(writer)) {
        return false;
    }
    std::memcpy(writer.block + writer.used, bytes, count);
    writer.used += count;
    return true;
}

// Like put for `count` of the `readable` bytes at `bytes`, where `readable` is
// a small constant: copying all of them is one fixed-size move instead of a
// call to copy `count`; the bytes past `count` are overwritten by the next put.
// Kept because the flash benchmark pays for it: fewer instructions per frame.
template <std::size_t readable>
inline bool put_from(BlockWriter& writer, const std::uint8_t* bytes, std::size_t count) {
    static_assert(readable <= WRITE_BLOCK_SIZE);
    if (readable > WRITE_BLOCK_SIZE - writer.used) {
        return put(writer, bytes, count);
    }
    std::memcpy(writer.block + writer.used, bytes, readable);
    writer.used += count;
    return true;
}

}  // namespace kvf
