// What differs between POSIX systems and Windows, behind one small interface:
// how files are opened, compared and read, and how image names are cleaned.
// platform_posix.cpp and platform_windows.cpp implement it; nothing else in
// the tool branches on the platform.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace kvf {

// Which file system's rules an image name must satisfy.
enum class NameRules {
    posix,    // the common cleaning only
    windows,  // also ':' '*' '?' '"' '<' '>' '|' made '_', and no device name such as NUL
};

#ifdef _WIN32
inline constexpr NameRules HOST_NAME_RULES = NameRules::windows;
#else
inline constexpr NameRules HOST_NAME_RULES = NameRules::posix;
#endif

// Opens the container at `path` (UTF-8) for binary reading; nullptr if it cannot be opened.
std::FILE* open_input(const char* path);

// Reads up to `count` bytes of `in` into `buffer`, as many as it has ready,
// waiting only while it has none. Returns the count, 0 at the end of the
// input, or -1 on a read error. Bypasses the stream's buffer: never mix with stdio reads.
std::ptrdiff_t read_ready(std::FILE* in, std::uint8_t* buffer, std::size_t count);

// Creates the image file `name` (UTF-8, relative) in the working directory
// for binary writing, replacing a file of that name, unless that file is
// `input` or `log` under any name or link; nullptr if it cannot be created
// or is one of them. Only regular files count as the same: devices, pipes
// and terminals never do.
std::FILE* create_image(const char* name, std::FILE* input, std::FILE* log);

// Whether `stream` is a terminal (a console on Windows).
bool is_terminal(std::FILE* stream);

}  // namespace kvf
