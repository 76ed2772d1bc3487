// SPDX-License-Identifier: MIT
// Cases both end-to-end suites, POSIX and Windows, run alike.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

#include "captured_log.h"
#include "container_builder.h"

namespace kvf::test {

// A container whose last frame starts past 4 GiB: zero frames, passed over in
// silence, then three bytes. Made sparse at `path`, so it costs no disk.
inline void make_container_past_4_gib(const std::filesystem::path& path) {
    { std::ofstream(path, std::ios::binary).put('\0'); }
    std::filesystem::resize_file(path, std::uintmax_t{0x100000018} + 3);
}

// Its log: the offset keeps counting past eight hex digits.
inline const std::string LOG_PAST_4_GIB =
    "0x100000018   : Unknown frame\n" + DUMP_HEAD + "  00000000  00 00 00" + std::string(13 * 3, ' ') + "  ...\n";

// The container that shows that an image which cannot or must not be created
// stops the run: its second run's image would be b_00000200.bin, the name the
// tests give a directory, a link, a FIFO, the input or the log.

inline build::Bytes clashing_container() {
    using namespace kvf::build;
    Bytes in;
    append(in, text("A"));
    append(in, flash(0x100, pattern(20, 1)));
    append(in, text("B"));
    append(in, flash(0x200, pattern(20, 2)));
    append(in, progress(9));  // never reached
    return in;
}

// The log up to the failure, which ends the run with status 1.
inline const std::string CLASHING_LOG =
    "0x00000000   : Display text (00000000, 00000000): 'A'\n"
    "0x00000038   : New Flashdata found, create new file for it: a_00000100.bin\n"
    "0x00000070   : Display text (00000000, 00000000): 'B'\n"
    "0x000000A8   : End of current Flash data found, closing flashfile\n"
    "0x000000A8   : ERROR creating outputfile: b_00000200.bin\n";

}  // namespace kvf::test
