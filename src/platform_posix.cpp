// POSIX side of the platform interface: names are bytes, opened as they are.
#include <unistd.h>

#include "platform.h"

namespace kvf {

std::FILE* open_input(const char* path) {
    return std::fopen(path, "rb");
}

std::FILE* create_image(const char* name) {
    return std::fopen(name, "wb");
}

bool is_terminal(std::FILE* stream) {
    return isatty(fileno(stream)) != 0;
}

}  // namespace kvf
