// SPDX-License-Identifier: MIT
#include "block_io.h"

#include <vector>

#include <gtest/gtest.h>

#include "container_builder.h"
#include "temp_files.h"

namespace kvf {
namespace {

// Writes `bytes` to `stream` and goes back to its start.
void fill(test::TempStream& stream, const build::Bytes& bytes) {
    std::fwrite(bytes.data(), 1, bytes.size(), stream.file);
    std::rewind(stream.file);
}

TEST(BlockReader, TakesRecordsAcrossBlockBoundariesAndEndsOnTheFirstShortTake) {
    // Records of 56 bytes do not divide the block, so one straddles each
    // refill; with the second size the last read brings a single byte.
    for (const std::size_t size : {2 * READ_BLOCK_SIZE + 56 * 3 + 20, READ_BLOCK_SIZE + 1}) {
        SCOPED_TRACE(size);
        const build::Bytes data = build::pattern(size, 9);
        test::TempStream file;
        fill(file, data);
        static BlockReader reader;
        start_reading(reader, file.file);
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
            ASSERT_NE(reader.state, BlockReader::State::ended);
        }
        EXPECT_EQ(reader.state, BlockReader::State::ended);
        EXPECT_EQ(position, size);
    }
}

TEST(BlockReader, EndsOnARecordBoundaryWithOneEmptyTakeAndNeverReadsPastTheEnd) {
    test::TempStream file;
    fill(file, build::pattern(112, 1));
    static BlockReader reader;
    start_reading(reader, file.file);
    const std::uint8_t* bytes = nullptr;
    EXPECT_EQ(take(reader, 56, &bytes), 56u);
    EXPECT_EQ(take(reader, 56, &bytes), 56u);
    EXPECT_NE(reader.state, BlockReader::State::ended);
    EXPECT_EQ(take(reader, 56, &bytes), 0u);
    EXPECT_EQ(reader.state, BlockReader::State::ended);
    // The end is final, as on a terminal after its end-of-file key: bytes
    // that arrive later are not read.
    std::FILE* appender = std::fopen(file.path.string().c_str(), "ab");
    ASSERT_NE(appender, nullptr);
    std::fputs("late", appender);
    std::fclose(appender);
    EXPECT_EQ(take(reader, 4, &bytes), 0u);
    EXPECT_EQ(reader.state, BlockReader::State::ended);
}

TEST(BlockWriter, GatheredPiecesReachTheFileInOrder) {
    test::TempStream file;
    static BlockWriter writer;
    start_writing(writer, file.file);
    const build::Bytes frame = build::pattern(47, 3);
    build::Bytes expected;
    // Enough pieces of varying length to fill the block several times over.
    for (std::size_t i = 0; i < 3 * WRITE_BLOCK_SIZE / 40; ++i) {
        const std::size_t count = i % 48;
        ASSERT_TRUE(put_from<47>(writer, frame.data(), count));
        expected.insert(expected.end(), frame.begin(), frame.begin() + static_cast<std::ptrdiff_t>(count));
    }
    ASSERT_TRUE(flush_block(writer));
    const std::string written = file.contents();
    EXPECT_TRUE(build::Bytes(written.begin(), written.end()) == expected);
}

}  // namespace
}  // namespace kvf
