// What differs between POSIX systems and Windows, behind one small interface:
// how files are opened, compared and read, how image names are cleaned, and
// how a terminal is told apart and written to.
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

// Whether reading `in` may wait for its bytes: it is not a regular file.
bool may_wait(std::FILE* in);

// Creates the image file `name` (a bare name, no separator) in the working
// directory for binary writing. Opening it never follows a link and never
// waits; what stands at the name is replaced only when it is a regular file
// known to be neither `input` nor `log`. nullptr, with nothing changed, when
// it cannot be created, is anything but a regular file (a link, a FIFO, a
// device, a directory, a reparse point), or may be one of the two.
std::FILE* create_image(const char* name, std::FILE* input, std::FILE* log);

// Whether `stream` is a terminal (on Windows a console; other character devices, such as NUL, are not).
bool is_terminal(std::FILE* stream);

// Writes the `count` bytes of UTF-8 text at `text` to `out` and on through its
// buffer; to a Windows console as Unicode, which it shows whatever its code
// page. False if any of it was not written.
bool write_out(std::FILE* out, const char* text, std::size_t count);

}  // namespace kvf
