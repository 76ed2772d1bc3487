// SPDX-License-Identifier: MIT
#include "verify.h"

namespace kvf {

namespace {

struct CoverageNames {
    std::string_view key;
    std::string_view words;
};

constexpr CoverageNames COVERAGE_NAMES[COVERAGES] = {
    {"before_trailer", "every byte before the trailer"},
    {"before_checksum", "every byte before the checksum word"},
    {"before_adminend", "every byte before the ADMINEND frame"},
    {"flash_data", "the flash data bytes in file order"},
};

}  // namespace

std::string_view coverage_key(std::size_t coverage) {
    return COVERAGE_NAMES[coverage].key;
}

std::string_view coverage_words(std::size_t coverage) {
    return COVERAGE_NAMES[coverage].words;
}

void judge(Verification& v) {
    v.length_matches = v.has_trailer && v.file_length == v.bytes_read;
    v.matched = COVERAGES;
    for (std::size_t coverage = 0; v.has_trailer && v.matched == COVERAGES && coverage < COVERAGES; ++coverage) {
        if (v.crc[coverage] == v.checksum) {
            v.matched = coverage;
        }
    }
}

}  // namespace kvf
