#include "block_io.h"

#include <cstdlib>
#include <vector>

#include <gtest/gtest.h>

#include "container_builder.h"

namespace kvf {
namespace {

// A temporary file holding `bytes`, positioned at its start.
std::FILE* file_with(const build::Bytes& bytes) {
    std::FILE* file = std::tmpfile();
    std::fwrite(bytes.data(), 1, bytes.size(), file);
    std::rewind(file);
    return file;
}

build::Bytes contents(std::FILE* file) {
    std::fflush(file);
    std::rewind(file);
    build::Bytes bytes;
    for (int c; (c = std::fgetc(file)) != EOF;) {
        bytes.push_back(static_cast<std::uint8_t>(c));
    }
    return bytes;
}

TEST(BlockReader, TakesRecordsAcrossBlockBoundariesAndEndsOnTheFirstShortTake) {
    // Records of 56 bytes do not divide the block, so one straddles each refill.
    const std::size_t size = 2 * READ_BLOCK_SIZE + 56 * 3 + 20;
    const build::Bytes data = build::pattern(size, 9);
    std::FILE* file = file_with(data);
    static BlockReader reader;
    start_reading(reader, file);
    std::size_t position = 0;
    while (true) {
        const std::uint8_t* bytes = nullptr;
        const std::size_t count = take(reader, 56, &bytes);
        ASSERT_EQ(count, std::min<std::size_t>(56, size - position)) << "at " << position;
        ASSERT_TRUE(std::equal(bytes, bytes + count, data.begin() + static_cast<std::ptrdiff_t>(position)));
        position += count;
        if (count < 56) {
            break;
        }
        ASSERT_FALSE(reader.ended);
    }
    EXPECT_TRUE(reader.ended);
    EXPECT_EQ(position, size);
    std::fclose(file);
}

TEST(BlockReader, InputEndingOnARecordBoundaryGivesOneEmptyTake) {
    std::FILE* file = file_with(build::pattern(112, 1));
    static BlockReader reader;
    start_reading(reader, file);
    const std::uint8_t* bytes = nullptr;
    EXPECT_EQ(take(reader, 56, &bytes), 56u);
    EXPECT_EQ(take(reader, 56, &bytes), 56u);
    EXPECT_FALSE(reader.ended);
    EXPECT_EQ(take(reader, 56, &bytes), 0u);
    EXPECT_TRUE(reader.ended);
    std::fclose(file);
}

TEST(BlockWriter, GatheredPiecesReachTheFileInOrder) {
    std::FILE* file = std::tmpfile();
    static BlockWriter writer;
    start_writing(writer, file);
    const build::Bytes frame = build::pattern(47, 3);
    build::Bytes expected;
    // Enough pieces of varying length to fill the block several times over.
    for (std::size_t i = 0; i < 3 * WRITE_BLOCK_SIZE / 40; ++i) {
        const std::size_t count = i % 48;
        ASSERT_TRUE(put_from<47>(writer, frame.data(), count));
        expected.insert(expected.end(), frame.begin(), frame.begin() + static_cast<std::ptrdiff_t>(count));
    }
    ASSERT_TRUE(flush_block(writer));
    EXPECT_TRUE(contents(file) == expected);
    std::fclose(file);
}

}  // namespace
}  // namespace kvf
