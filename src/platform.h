// What differs between POSIX systems and Windows, behind one small interface:
// how the input and image files are opened and how image names are cleaned.
// platform_posix.cpp and platform_windows.cpp implement it; nothing else in
// the tool branches on the platform.
#pragma once

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

// Creates the image file `name` (UTF-8, relative) in the working directory
// for binary writing, replacing a file of that name; nullptr on failure.
std::FILE* create_image(const char* name);

// Whether `stream` is a terminal (a console on Windows).
bool is_terminal(std::FILE* stream);

}  // namespace kvf
