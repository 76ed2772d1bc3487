// SPDX-License-Identifier: MIT
// POSIX side of the platform interface: names are bytes, opened as they are.
// Image files are image_files_linux.cpp's.
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "image_files_linux.h"
#include "platform.h"

#ifdef __linux__
#include "landlock.h"
#endif

namespace kvf {

namespace {

// Whether standard input was closed when the tool started: then "-" is no input.
bool standard_input_closed = false;

// Puts the system's reason for the failure in errno in `why`; returns false,
// for the caller to return.
bool fail(const char** why) {
    *why = std::strerror(errno);
    return false;
}

// The length of the folder that holds the file whose path is the `end` bytes
// at `path`: up to its last '/', which is 0 for the root.
std::size_t folder_of(const char* path, std::size_t end) {
    while (end > 0 && path[--end] != '/') {
    }
    return end;
}

}  // namespace

void prepare_process() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF) {
            continue;
        }
        standard_input_closed = standard_input_closed || fd == STDIN_FILENO;
        // open() takes the lowest free descriptor: the closed one.
        if (open("/dev/null", O_RDONLY) < 0) {
            break;  // nothing to hold it with; the tool goes on as it can
        }
    }
    // A full disk or a closed log pipe fails a write (EFBIG, EPIPE), which is
    // reported, instead of killing the tool with its images cut short.
    (void)std::signal(SIGXFSZ, SIG_IGN);
    (void)std::signal(SIGPIPE, SIG_IGN);
    catch_ending_signals(isatty(STDERR_FILENO) != 0);
}

std::FILE* open_input(const char* path, const char** why) {
    std::FILE* in = std::fopen(path, "rb");
    if (in == nullptr) {
        fail(why);
    }
    return in;
}

std::FILE* open_standard_input(const char** why) {
    if (standard_input_closed) {
        *why = std::strerror(EBADF);
        return nullptr;
    }
    return stdin;
}

bool open_output_folder(const char* path, const char** why) {
    // A link the user names is followed, as `tar -C` does; what the folder
    // holds is another matter.
    return (mkdir(path, 0777) == 0 || errno == EEXIST) && chdir(path) == 0 ? true : fail(why);
}

std::ptrdiff_t read_ready(std::FILE* in, std::uint8_t* buffer, std::size_t count) {
    const int fd = fileno(in);  // -1 for a stream without one: read fails then
    ssize_t got = 0;
    while ((got = read(fd, buffer, count)) < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            // An input left non-blocking by whoever opened it: wait for its bytes all the same.
            pollfd ready{fd, POLLIN, 0};
            if (poll(&ready, 1, -1) < 0 && errno != EINTR) {
                break;  // the input cannot be waited for: a read error
            }
        } else if (errno != EINTR) {  // a signal, not a failure of the input
            break;
        }
    }
    return got;
}

bool is_live(std::FILE* in) {
    struct stat input {};
    return fstat(fileno(in), &input) != 0 || !S_ISREG(input.st_mode);
}

bool installed_file(const char* relative, char* path, std::size_t size) {
    const ssize_t length = readlink("/proc/self/exe", path, size);
    if (length <= 0 || static_cast<std::size_t>(length) >= size) {
        return false;
    }
    std::size_t end = folder_of(path, static_cast<std::size_t>(length));
    std::string_view rest = relative;
    for (; rest.starts_with("../"); rest.remove_prefix(3)) {
        end = folder_of(path, end);
    }
    const int written = std::snprintf(path + end, size - end, "/%.*s", static_cast<int>(rest.size()), rest.data());
    return written > 0 && static_cast<std::size_t>(written) < size - end && access(path, F_OK) == 0;
}

bool is_same_file(std::FILE* a, std::FILE* b) {
    struct stat file_a {};
    struct stat file_b {};
    return fstat(fileno(a), &file_a) == 0 && fstat(fileno(b), &file_b) == 0 && S_ISREG(file_a.st_mode) &&
           S_ISREG(file_b.st_mode) && file_a.st_dev == file_b.st_dev && file_a.st_ino == file_b.st_ino;
}

bool confine(Confinement to, const char** why) {
#ifdef __linux__
    const int abi = landlock::abi_version();
    if (abi == 0) {
        return true;  // no Landlock here: nothing to ask for
    }
    // Images are made in the working directory, which the output folder became.
    const int folder = to == Confinement::write_images ? open(".", O_PATH | O_DIRECTORY | O_CLOEXEC) : -1;
    if (to == Confinement::write_images && folder < 0) {
        return fail(why);
    }
    const int error = landlock::confine_beneath(folder, abi);
    if (folder >= 0) {
        close(folder);
    }
    if (error != 0) {
        *why = std::strerror(error);
        return false;
    }
#else
    (void)to;
    (void)why;
#endif
    return true;
}

void set_line_ends(std::FILE* /*out*/, bool /*text*/) {
    // Lines end in LF, whatever reads them.
}

bool is_terminal(std::FILE* stream) {
    return isatty(fileno(stream)) != 0;
}

bool write_out(std::FILE* out, const char* text, std::size_t count) {
    const int fd = fileno(out);
    if (fd < 0) {  // a stream with no file behind it
        return std::fwrite(text, 1, count, out) == count && std::fflush(out) == 0;
    }
    // Below stdio, whose buffer a failed write leaves in pieces.
    while (count > 0) {
        const ssize_t wrote = write(fd, text, count);
        if (wrote > 0) {
            text += wrote;
            count -= static_cast<std::size_t>(wrote);
        } else if (wrote < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            // An output left non-blocking by whoever opened it: wait for room, as for input.
            pollfd room{fd, POLLOUT, 0};
            if (poll(&room, 1, -1) < 0 && errno != EINTR) {
                return false;
            }
        } else if (wrote == 0 || errno != EINTR) {
            errno = wrote == 0 ? EIO : errno;
            return false;
        }
    }
    return true;
}

}  // namespace kvf
