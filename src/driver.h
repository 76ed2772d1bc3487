// SPDX-License-Identifier: MIT
// The tool from its arguments to its exit status.
#pragma once

#include <cstdio>

namespace kvf {

// The whole tool for the arguments of `main`, logging to `out` and reporting
// failures on standard error; returns the exit status.
int run_kvf_unpack(int argc, char** argv, std::FILE* out);

}  // namespace kvf
