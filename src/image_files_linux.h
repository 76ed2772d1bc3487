// SPDX-License-Identifier: MIT
// What the POSIX platform file asks of image_files_linux.cpp, besides the
// image functions of platform.h.
#pragma once

namespace kvf {

// Has every signal that ends a process by default and may be caught end the
// tool without leaving anything of its open run, and tell so on standard
// error (with control characters shown as '?' when it is a `terminal`); one
// that was ignored when the tool started (nohup) stays ignored. Under a
// sanitizer, the crash signals are its own.
void catch_ending_signals(bool terminal);

}  // namespace kvf
