// SPDX-License-Identifier: MIT
#include "container.h"

#include <gtest/gtest.h>

#include "container_builder.h"

namespace kvf {
namespace {

TEST(DecodeFrame, ParametersAreLittleEndianWhateverTheHost) {
    build::FrameBytes bytes{};
    const std::uint8_t header[] = {0x16, 0x01, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00};
    std::copy(std::begin(header), std::end(header), bytes.begin());
    Frame frame = decode_frame(bytes.data());
    EXPECT_EQ(frame.type, FRAME_DISPLAY_TEXT);
    EXPECT_EQ(frame.param1, 1u);
    EXPECT_EQ(frame.param2, 2u);
    EXPECT_EQ(frame.payload, bytes.data() + 9);

    const std::uint8_t mixed[] = {0x78, 0x56, 0x34, 0x12, 0xFF, 0xFF, 0xFF, 0xFF};
    std::copy(std::begin(mixed), std::end(mixed), bytes.begin() + 1);
    frame = decode_frame(bytes.data());
    EXPECT_EQ(frame.param1, 0x12345678u);
    EXPECT_EQ(frame.param2, 0xFFFFFFFFu);
}

TEST(DecodeTrailer, SevenWordsInOrder) {
    const auto bytes = build::trailer({1, 0x80000000, 3, 4, 5, 0x1234, 0xCBF43926});
    const Trailer trailer = decode_trailer(bytes.data());
    const std::uint32_t expected[] = {1, 0x80000000, 3, 4, 5, 0x1234, 0xCBF43926};
    for (std::size_t i = 0; i < TRAILER_WORDS; ++i) {
        EXPECT_EQ(trailer.words[i], expected[i]) << "word " << i + 1;
    }
}

TEST(DisplayText, EndsAtFirstNulOrFillsThePayload) {
    EXPECT_EQ(display_text_length(build::text("MAIN APP").data() + PAYLOAD_OFFSET), 8u);
    EXPECT_EQ(display_text_length(build::text("").data() + PAYLOAD_OFFSET), 0u);
    EXPECT_EQ(display_text_length(build::text(std::string(46, 'a')).data() + PAYLOAD_OFFSET), 46u);
    EXPECT_EQ(display_text_length(build::text(std::string(47, 'a')).data() + PAYLOAD_OFFSET), 47u);
}

TEST(DummyCheck, ReportsFirstByteThatIsNotFill) {
    build::FrameBytes frame = build::dummy();
    EXPECT_EQ(first_bad_dummy_byte(frame.data()), 0u);
    frame[0] = 0x00;  // the type byte is not part of the check
    EXPECT_EQ(first_bad_dummy_byte(frame.data()), 0u);
    frame[7] = 0x00;
    frame[3] = 0x00;
    EXPECT_EQ(first_bad_dummy_byte(frame.data()), 3u);
    // The first and the last byte checked, and param2's first byte.
    for (const std::size_t bad : {std::size_t{1}, std::size_t{5}, FRAME_SIZE - 1}) {
        frame = build::dummy();
        frame[bad] = 0xFE;
        EXPECT_EQ(first_bad_dummy_byte(frame.data()), bad);
    }
}

}  // namespace
}  // namespace kvf
