// POSIX side of the platform interface: names are bytes, opened as they are.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform.h"

namespace kvf {

namespace {

// Whether the regular file `image` is the file open on `stream`.
bool same_file(const struct stat& image, std::FILE* stream) {
    struct stat other {};
    const int fd = fileno(stream);
    return fd >= 0 && fstat(fd, &other) == 0 && S_ISREG(other.st_mode) && other.st_dev == image.st_dev &&
           other.st_ino == image.st_ino;
}

}  // namespace

std::FILE* open_input(const char* path) {
    return std::fopen(path, "rb");
}

std::ptrdiff_t read_ready(std::FILE* in, std::uint8_t* buffer, std::size_t count) {
    const int fd = fileno(in);  // -1 for a stream without one: read fails then
    ssize_t got = 0;
    do {
        got = read(fd, buffer, count);
    } while (got < 0 && errno == EINTR);  // a signal, not a failure of the input
    return got;
}

std::FILE* create_image(const char* name, std::FILE* input, std::FILE* log) {
    // Opened without truncating, so that it can be compared with the input
    // and the log first; truncated only once it is known to be neither. An
    // empty file is left alone: truncating it anyway makes ext4 write the
    // whole image out at its close (its guard for files replaced by truncation).
    const int fd = open(name, O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) {
        return nullptr;
    }
    struct stat image {};
    bool usable = fstat(fd, &image) == 0;
    if (usable && S_ISREG(image.st_mode)) {
        usable = !same_file(image, input) && !same_file(image, log) && (image.st_size == 0 || ftruncate(fd, 0) == 0);
    }
    std::FILE* file = usable ? fdopen(fd, "wb") : nullptr;
    if (file == nullptr) {
        close(fd);
    }
    return file;
}

bool is_terminal(std::FILE* stream) {
    return isatty(fileno(stream)) != 0;
}

}  // namespace kvf
