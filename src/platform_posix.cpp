// POSIX side of the platform interface: names are bytes, opened as they are.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform.h"

namespace kvf {

namespace {

// Whether the regular file `image` is, or may be, the file open on `stream`:
// a stream whose file cannot be told counts as the same.
bool may_be_same_file(const struct stat& image, std::FILE* stream) {
    struct stat other {};
    const int fd = fileno(stream);
    if (fd < 0 || fstat(fd, &other) != 0) {
        return true;
    }
    return S_ISREG(other.st_mode) && other.st_dev == image.st_dev && other.st_ino == image.st_ino;
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

bool may_wait(std::FILE* in) {
    struct stat input {};
    return fstat(fileno(in), &input) != 0 || !S_ISREG(input.st_mode);
}

std::FILE* create_image(const char* name, std::FILE* input, std::FILE* log) {
    // No link is followed, and a FIFO or device does not hold up the open;
    // either is refused below, as is anything else that is not a regular
    // file. Opened without truncating, so that it can be compared with the
    // input and the log first.
    const int fd = open(name, O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY, 0666);
    if (fd < 0) {
        return nullptr;
    }
    struct stat image {};
    // An empty file is left alone: truncating it anyway makes ext4 write the
    // whole image out at its close (its guard for files replaced by truncation).
    const bool usable = fstat(fd, &image) == 0 && S_ISREG(image.st_mode) && !may_be_same_file(image, input) &&
                        !may_be_same_file(image, log) && (image.st_size == 0 || ftruncate(fd, 0) == 0) &&
                        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) == 0;
    std::FILE* file = usable ? fdopen(fd, "wb") : nullptr;
    if (file == nullptr) {
        close(fd);
    }
    return file;
}

bool is_terminal(std::FILE* stream) {
    return isatty(fileno(stream)) != 0;
}

bool write_out(std::FILE* out, const char* text, std::size_t count) {
    return std::fwrite(text, 1, count, out) == count && std::fflush(out) == 0;
}

}  // namespace kvf
