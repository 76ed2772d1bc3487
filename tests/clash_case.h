// The container both end-to-end suites use to show that an image which cannot
// or must not be created stops the run: its second run's image would be
// b_00000200.bin, the name the tests give a directory, the input or the log.
#pragma once

#include <string>

#include "container_builder.h"

namespace kvf::test {

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
