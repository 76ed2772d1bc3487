// SPDX-License-Identifier: MIT
#include "flash_writer.h"

#include <algorithm>
#include <string>

#include <gtest/gtest.h>

namespace kvf {
namespace {

std::string image_name(const char* text, std::uint32_t address = 0x10000, NameRules rules = NameRules::posix) {
    char name[NAME_BUFFER_SIZE];
    make_image_name(name, text, address, rules);
    return name;
}

std::string windows_name(const char* text) {
    return image_name(text, 0x10000, NameRules::windows);
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

TEST(ImageName, NeverStartsLikeAnOptionOrACommand) {
    // '-': an option to most programs; '+': a command to vim, view and ex;
    // '@': a list of files to bsdtar and 7-Zip. Inside a name they stay.
    const std::pair<const char*, const char*> cases[] = {
        {"--checkpoint-action=exec=sh", "_-checkpoint-action=exec=sh_00000100.bin"},
        {"-", "__00000100.bin"},
        {"+!sh<evil", "_!sh<evil_00000100.bin"},
        {"@list", "_list_00000100.bin"},
        {"a-b+c@d", "a-b+c@d_00000100.bin"},
        {"  -x", "_00000100.bin"},
    };
    for (const NameRules rules : {NameRules::posix, NameRules::windows}) {
        for (const auto& [text, name] : cases) {
            std::string expected = name;
            if (rules == NameRules::windows) {
                std::replace(expected.begin(), expected.end(), '<', '_');
            }
            EXPECT_EQ(image_name(text, 0x100, rules), expected) << text;
        }
    }
}

TEST(ImageName, EveryOtherPrintableCharacterStaysOnlyUpperCaseIsLowered) {
    for (const NameRules rules : {NameRules::posix, NameRules::windows}) {
        const std::string replaced = rules == NameRules::windows ? " /\\:*?\"<>|" : " /\\";
        for (char c = 0x20; c < 0x7F; ++c) {
            const char text[] = {'x', c, '\0'};
            const char expected = replaced.find(c) != std::string::npos ? '_'
                                  : (c >= 'A' && c <= 'Z')              ? static_cast<char>(c - 'A' + 'a')
                                                                        : c;
            const std::string name = std::string("x") + expected + "_00010000.bin";
            EXPECT_EQ(image_name(text, 0x10000, rules), name)
                << "character " << static_cast<int>(c) << (rules == NameRules::windows ? " (Windows)" : "");
        }
    }
}

TEST(ImageName, PathSeparatorsCannotLeaveTheWorkingDirectory) {
    EXPECT_EQ(image_name("../../home/user/.bashrc"), ".._.._home_user_.bashrc_00010000.bin");
    EXPECT_EQ(image_name("/etc/cron.d/x"), "_etc_cron.d_x_00010000.bin");
    EXPECT_EQ(image_name("..\\..\\Windows"), ".._.._windows_00010000.bin");
    EXPECT_EQ(image_name("C:\\boot"), "c:_boot_00010000.bin");
}

TEST(ImageName, WindowsRulesAlsoReplaceReservedCharactersAndEscapeDevices) {
    EXPECT_EQ(windows_name("C:\\boot"), "c__boot_00010000.bin");
    EXPECT_EQ(windows_name(":a*b?c\"d<e>f|g"), "_a_b_c_d_e_f_g_00010000.bin");
    EXPECT_EQ(windows_name("v1.2-rc:3_[X]"), "v1.2-rc_3_[x]_00010000.bin");
    // The part before the first '.' decides, whatever its case.
    EXPECT_EQ(windows_name("NUL.x"), "_nul.x_00010000.bin");
    EXPECT_EQ(windows_name("Com1.bin"), "_com1.bin_00010000.bin");
    EXPECT_EQ(windows_name("con."), "_con._00010000.bin");
    for (const char* device : {"aux.1", "prn.1", "com0.1", "com9.1", "lpt0.1", "lpt9.1", "conin$.1", "conout$.1"}) {
        EXPECT_EQ(windows_name(device), std::string("_") + device + "_00010000.bin");
    }
    // Near misses stay as they are: no '.' after the device name, or more than a device name before it.
    for (const char* text : {"nul", "con_x", "com10.x", "coma.x", "com-.x", "lpt.x", "xnul.x", "nu.x", "comx.1",
                             "conout.x", "conin$x.1"}) {
        EXPECT_EQ(windows_name(text), image_name(text));
    }
    EXPECT_EQ(windows_name("a.nul.x"), "a.nul.x_00010000.bin");
}

TEST(ImageName, LongestTextStillGetsItsSuffixAndDeviceEscape) {
    std::string text(TEXT_BUFFER_SIZE - 1, 'a');
    text.replace(0, 4, "nul.");
    const std::string name = windows_name(text.c_str());
    EXPECT_EQ(name.size(), NAME_BUFFER_SIZE - 1);
    EXPECT_EQ(name.substr(0, 5), "_nul.");
    EXPECT_EQ(name.substr(name.size() - NAME_SUFFIX_LENGTH), "_00010000.bin");
}

}  // namespace
}  // namespace kvf
