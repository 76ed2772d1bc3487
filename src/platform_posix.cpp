// SPDX-License-Identifier: MIT
// POSIX side of the platform interface: names are bytes, opened as they are.
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>

#include "platform.h"

#ifdef __linux__
#include "landlock.h"
#endif

namespace kvf {

namespace {

// Where images are made: the working directory, or the folder open_output_folder opened.
int output_folder = AT_FDCWD;

// Read, write and execute for owner, group and others.
constexpr mode_t PERMISSION_BITS = 0777;
// A new image, as any file a user makes: readable and writable, less the umask.
constexpr mode_t NEW_FILE_MODE = 0666;

// Whether standard input was closed when the tool started: then "-" is no input.
bool standard_input_closed = false;

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

// Gives the new file open on `fd` the permissions of the file it replaces,
// `old`: its group, where the process may give it, else no group access at
// all, so that the group's rights never pass to another group. False, with
// errno set, if they could not be set.
bool take_permissions(int fd, const struct stat& old) {
    struct stat made {};
    if (fstat(fd, &made) != 0) {
        return false;
    }
    mode_t mode = old.st_mode & PERMISSION_BITS;
    if (made.st_gid != old.st_gid && fchown(fd, static_cast<uid_t>(-1), old.st_gid) != 0) {
        mode &= ~static_cast<mode_t>(S_IRWXG);
    }
    return fchmod(fd, mode) == 0;
}

// Why what stands at an image's name, not a regular file, is refused.
const char* refusal(mode_t mode) {
    if (S_ISLNK(mode)) {
        return "a symbolic link stands at this name";
    }
    if (S_ISDIR(mode)) {
        return "a directory stands at this name";
    }
    if (S_ISFIFO(mode)) {
        return "a FIFO stands at this name";
    }
    if (S_ISCHR(mode) || S_ISBLK(mode)) {
        return "a device stands at this name";
    }
    if (S_ISSOCK(mode)) {
        return "a socket stands at this name";
    }
    return "something other than a regular file stands at this name";
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
}

std::FILE* open_input(const char* path, const char** why) {
    std::FILE* in = std::fopen(path, "rb");
    if (in == nullptr) {
        *why = std::strerror(errno);
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
    if (mkdir(path, 0777) != 0 && errno != EEXIST) {
        *why = std::strerror(errno);
        return false;
    }
    // A link the user names is followed, as `tar -C` does; what the folder
    // holds is another matter.
    const int folder = open(path, O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0) {
        *why = std::strerror(errno);
        return false;
    }
    if (output_folder != AT_FDCWD) {
        close(output_folder);
    }
    output_folder = folder;
    return true;
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

std::FILE* create_image(const char* name, std::span<const KeptFile> kept, const char** why) {
    struct stat existing {};
    bool replaced = false;
    if (fstatat(output_folder, name, &existing, AT_SYMLINK_NOFOLLOW) == 0) {
        if (!S_ISREG(existing.st_mode)) {
            *why = refusal(existing.st_mode);
            return nullptr;
        }
        for (const auto& [stream, reason] : kept) {
            if (may_be_same_file(existing, stream)) {
                *why = reason;
                return nullptr;
            }
        }
        // Only what the user could have written is replaced: a read-only
        // image, or another user's file, is kept.
        if (faccessat(output_folder, name, W_OK, AT_EACCESS) != 0) {
            *why = std::strerror(errno);
            return nullptr;
        }
        // Replaced, never written through: the old file loses only this name.
        if (unlinkat(output_folder, name, 0) != 0 && errno != ENOENT) {
            *why = std::strerror(errno);
            return nullptr;
        }
        replaced = true;
    } else if (errno != ENOENT) {
        *why = std::strerror(errno);
        return nullptr;
    }
    // Exclusive, so that whatever took the name since it was looked at is
    // refused without being opened, a link not followed and a FIFO not woken.
    // A replacing image takes the old file's permissions, so that a private
    // image stays private, but never its set-user-ID and set-group-ID bits;
    // made for its owner alone, it is never more open than that meanwhile.
    const mode_t mode = replaced ? existing.st_mode & PERMISSION_BITS : NEW_FILE_MODE;
    const int fd = openat(output_folder, name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY,
                          replaced ? mode & S_IRWXU : mode);
    if (fd < 0) {
        *why = std::strerror(errno);
        return nullptr;
    }
    std::FILE* file = !replaced || take_permissions(fd, existing) ? fdopen(fd, "wb") : nullptr;
    if (file == nullptr) {
        *why = std::strerror(errno);
        close(fd);
        (void)unlinkat(output_folder, name, 0);  // the file just made: nothing of the tool's is left
    }
    return file;
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
    int folder = -1;
    if (to == Confinement::write_images) {
        folder = output_folder != AT_FDCWD ? output_folder : open(".", O_PATH | O_DIRECTORY | O_CLOEXEC);
        if (folder < 0) {
            *why = std::strerror(errno);
            return false;
        }
    }
    const int error = landlock::confine_beneath(folder, abi);
    if (folder >= 0 && folder != output_folder) {
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
