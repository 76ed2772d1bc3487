#include "flash_writer.h"

#include <string>

#include <gtest/gtest.h>

namespace kvf {
namespace {

std::string image_name(const char* text, std::uint32_t address = 0x10000) {
    char name[NAME_BUFFER_SIZE];
    make_image_name(name, text, address);
    return name;
}

TEST(ImageName, CutAtDoubleSpaceLowerCasedAndCleaned) {
    EXPECT_EQ(image_name("Boot Loader  V1.2"), "boot_loader_00010000.bin");
    EXPECT_EQ(image_name("MAIN APP"), "main_app_00010000.bin");
    EXPECT_EQ(image_name("APP "), "app__00010000.bin");
    EXPECT_EQ(image_name(""), "_00010000.bin");
    EXPECT_EQ(image_name("  ABC"), "_00010000.bin");
    EXPECT_EQ(image_name("x", 0xFFFFFFFF), "x_FFFFFFFF.bin");
}

TEST(ImageName, OnlyControlHighAndSpaceBytesAreReplaced) {
    EXPECT_EQ(image_name("a\x01"
                         "b\x1F"
                         "c\x7F"
                         "d\x80"
                         "e\xFF"),
              "a_b_c\x7F"
              "d_e__00010000.bin");
    EXPECT_EQ(image_name("v1.2-rc:3_[X]"), "v1.2-rc:3_[x]_00010000.bin");
}

TEST(ImageName, PathSeparatorsCannotLeaveTheWorkingDirectory) {
    EXPECT_EQ(image_name("../../home/user/.bashrc"), ".._.._home_user_.bashrc_00010000.bin");
    EXPECT_EQ(image_name("/etc/cron.d/x"), "_etc_cron.d_x_00010000.bin");
    EXPECT_EQ(image_name("..\\..\\Windows"), ".._.._windows_00010000.bin");
    EXPECT_EQ(image_name("C:\\boot"), "c:_boot_00010000.bin");
}

TEST(ImageName, LongestTextStillGetsItsSuffix) {
    const std::string text(TEXT_BUFFER_SIZE - 1, 'a');
    const std::string name = image_name(text.c_str());
    EXPECT_EQ(name.size(), NAME_BUFFER_SIZE - 1);
    EXPECT_EQ(name.substr(name.size() - NAME_SUFFIX_LENGTH), "_00010000.bin");
}

}  // namespace
}  // namespace kvf
