// SPDX-License-Identifier: MIT
// Faults injected into the real binary from outside, for the end-to-end
// tests: preloaded (LD_PRELOAD), this library stands between the tool and
// the C library. Each fault is asked for by an environment variable:
//
//   KVF_FAULT_LANDLOCK_ABI=N          the kernel answers the Landlock version query
//                                     with N (0: no Landlock) and refuses a ruleset as
//                                     a kernel of that version does: rights it does not
//                                     know (EINVAL), fields it does not have (E2BIG)
//   KVF_FAULT_CREATE_AT=PATH          every file made with O_CREAT is made at PATH
//                                     instead, and one without a name in PATH's folder
//                                     and named PATH: a name rule that lets a path through
//   KVF_FAULT_POLL=1                  standard input is made non-blocking, and every
//                                     poll fails (ENOMEM)
//   KVF_FAULT_TAKE_NAME=KIND:NAME:TARGET
//                                     right after the tool has looked at NAME, a hard
//                                     link (KIND "link") or a symbolic link ("symlink")
//                                     to TARGET takes that name
//   KVF_FAULT_RULESET=E               making a Landlock ruleset fails with errno E
//   KVF_FAULT_PROBE=PATH              once the process is confined, it tries to make
//                                     the file PATH, as a tool with a wrong rule would
//   KVF_FAULT_FCHMOD=E                every fchmod fails with errno E
//   KVF_FAULT_LOG_WRITE=N             the Nth write to standard output fails (EIO)
//   KVF_FAULT_READ_RESET=N            standard input delivers N bytes, then every
//                                     read fails as a reset connection (ECONNRESET)
//   KVF_FAULT_NO_SWAP=1               the file system cannot swap two names (EINVAL)
//   KVF_FAULT_RENAME_FLAGS=E          every rename with flags (swap, no replace) fails
//                                     with errno E: EINVAL, or ENOSYS for an old kernel
//   KVF_FAULT_TAKE_TEMPORARY=1        another file takes an image's temporary name
//                                     right before it is swapped in
//   KVF_FAULT_NO_TMPFILE=1            the file system makes no file without a name
//                                     (O_TMPFILE fails with EOPNOTSUPP)
//   KVF_FAULT_SIGNAL_NAMING=1         the process is sent SIGTERM as it names an image:
//                                     before a rename, right after a link
//   KVF_FAULT_FULL=1                  every write to a stream made by fdopen(..., "wb"),
//                                     an image, fails as on a full disk (ENOSPC)
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// What a kernel of each Landlock ABI version knows, from the kernel's documentation.
constexpr std::uint64_t FS_KNOWN[] = {0, 0x1FFF, 0x3FFF, 0x7FFF, 0x7FFF, 0xFFFF, 0xFFFF, 0xFFFF};
constexpr std::uint64_t NET_KNOWN[] = {0, 0, 0, 0, 0x3, 0x3, 0x3, 0x3};
constexpr std::uint64_t SCOPES_KNOWN[] = {0, 0, 0, 0, 0, 0, 0x3, 0x3};
constexpr std::size_t ATTR_SIZE[] = {0, 8, 8, 8, 16, 16, 24, 24};
constexpr int NEWEST = 7;

template <typename Function>
Function real(const char* name) {
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

// The error number a kernel of version `abi` gives a ruleset of `size` bytes at `attr`, or 0.
int ruleset_error(int abi, const std::uint64_t* attr, std::size_t size) {
    const int known = abi < NEWEST ? abi : NEWEST;
    if (size < sizeof(std::uint64_t)) {
        return EINVAL;
    }
    std::uint64_t fields[3] = {};
    std::memcpy(fields, attr, size < sizeof fields ? size : sizeof fields);
    for (std::size_t i = ATTR_SIZE[known] / sizeof(std::uint64_t); i < size / sizeof(std::uint64_t); ++i) {
        if (i >= 3 || fields[i] != 0) {
            return E2BIG;  // a field this version does not have
        }
    }
    const bool unknown = (fields[0] & ~FS_KNOWN[known]) != 0 || (fields[1] & ~NET_KNOWN[known]) != 0 ||
                         (fields[2] & ~SCOPES_KNOWN[known]) != 0;
    return unknown ? EINVAL : 0;
}

// Makes what KVF_FAULT_TAKE_NAME asks for at `name` beneath `folder`, once, if `name` is its NAME.
void take_name(int folder, const char* name) {
    static bool taken = false;
    const char* kind_name_target = std::getenv("KVF_FAULT_TAKE_NAME");
    if (taken || kind_name_target == nullptr) {
        return;
    }
    const std::string spec = kind_name_target;
    const std::size_t first = spec.find(':');
    const std::size_t second = spec.find(':', first + 1);
    if (spec.substr(first + 1, second - first - 1) != name) {
        return;
    }
    taken = true;
    const std::string kind = spec.substr(0, first);
    const std::string target = spec.substr(second + 1);
    const int saved = errno;  // what the look itself found
    if (kind == "link") {
        (void)linkat(AT_FDCWD, target.c_str(), folder, name, 0);
    } else {
        (void)symlinkat(target.c_str(), folder, name);
    }
    errno = saved;
}

// Sends the process SIGTERM as it names an image, when KVF_FAULT_SIGNAL_NAMING asks.
void signal_while_naming() {
    if (std::getenv("KVF_FAULT_SIGNAL_NAMING") != nullptr) {
        (void)kill(getpid(), SIGTERM);
    }
}

}  // namespace

// Before the tool starts: standard input non-blocking, when polls are to fail.
[[gnu::constructor]] void make_input_non_blocking() {
    if (std::getenv("KVF_FAULT_POLL") != nullptr) {
        (void)fcntl(STDIN_FILENO, F_SETFL, fcntl(STDIN_FILENO, F_GETFL) | O_NONBLOCK);
    }
}

extern "C" int poll(pollfd* fds, nfds_t count, int timeout) {
    if (std::getenv("KVF_FAULT_POLL") != nullptr) {
        errno = ENOMEM;
        return -1;
    }
    return real<int (*)(pollfd*, nfds_t, int)>("poll")(fds, count, timeout);
}

extern "C" long syscall(long number, ...) noexcept {
    va_list list;
    va_start(list, number);
    long args[6];
    for (long& arg : args) {
        arg = va_arg(list, long);
    }
    va_end(list);
    const char* failed_ruleset = std::getenv("KVF_FAULT_RULESET");
    if (failed_ruleset != nullptr && number == SYS_landlock_create_ruleset && args[0] != 0) {
        errno = std::atoi(failed_ruleset);
        return -1;
    }
    const char* abi_text = std::getenv("KVF_FAULT_LANDLOCK_ABI");
    if (abi_text != nullptr && number == SYS_landlock_create_ruleset) {
        const int abi = std::atoi(abi_text);
        const auto* attr = reinterpret_cast<const std::uint64_t*>(args[0]);
        int error = abi == 0 ? ENOSYS : 0;
        if (error == 0 && attr == nullptr && args[2] == 1) {  // the version query
            return abi;
        }
        if (error == 0 && attr != nullptr) {
            error = ruleset_error(abi, attr, static_cast<std::size_t>(args[1]));
        }
        if (error != 0) {
            errno = error;
            return -1;
        }
    }
    const long result =
        real<long (*)(long, ...)>("syscall")(number, args[0], args[1], args[2], args[3], args[4], args[5]);
    const char* probe = std::getenv("KVF_FAULT_PROBE");
    if (probe != nullptr && number == SYS_landlock_restrict_self && result == 0) {
        const int made =
            real<int (*)(int, const char*, int, ...)>("openat")(AT_FDCWD, probe, O_WRONLY | O_CREAT | O_EXCL, 0600);
        if (made >= 0) {
            close(made);
        }
    }
    return result;
}

extern "C" int fchmod(int fd, mode_t mode) noexcept {
    const char* error = std::getenv("KVF_FAULT_FCHMOD");
    if (error != nullptr) {
        errno = std::atoi(error);
        return -1;
    }
    return real<int (*)(int, mode_t)>("fchmod")(fd, mode);
}

extern "C" ssize_t read(int fd, void* bytes, std::size_t count) {
    static std::size_t delivered = 0;
    const char* reset = std::getenv("KVF_FAULT_READ_RESET");
    if (reset != nullptr && fd == STDIN_FILENO) {
        const auto limit = static_cast<std::size_t>(std::atol(reset));
        if (delivered >= limit) {
            errno = ECONNRESET;
            return -1;
        }
        count = count < limit - delivered ? count : limit - delivered;
    }
    const ssize_t got = real<ssize_t (*)(int, void*, std::size_t)>("read")(fd, bytes, count);
    delivered += got > 0 && fd == STDIN_FILENO ? static_cast<std::size_t>(got) : 0;
    return got;
}

extern "C" ssize_t write(int fd, const void* bytes, std::size_t count) {
    static int log_writes = 0;
    const char* failing = std::getenv("KVF_FAULT_LOG_WRITE");
    if (failing != nullptr && fd == STDOUT_FILENO && ++log_writes == std::atoi(failing)) {
        errno = EIO;
        return -1;
    }
    return real<ssize_t (*)(int, const void*, std::size_t)>("write")(fd, bytes, count);
}

extern "C" int openat(int folder, const char* name, int flags, ...) {
    va_list list;
    va_start(list, flags);
    const auto mode = static_cast<mode_t>(va_arg(list, unsigned));
    va_end(list);
    const char* elsewhere = std::getenv("KVF_FAULT_CREATE_AT");
    const std::string elsewhere_folder =
        elsewhere != nullptr ? std::string(elsewhere).substr(0, std::string(elsewhere).rfind('/')) : "";
    if (elsewhere != nullptr && (flags & O_CREAT) != 0) {
        folder = AT_FDCWD;
        name = elsewhere;
    } else if (elsewhere != nullptr && (flags & O_TMPFILE) == O_TMPFILE) {
        folder = AT_FDCWD;
        name = elsewhere_folder.c_str();
    }
    if (std::getenv("KVF_FAULT_NO_TMPFILE") != nullptr && (flags & O_TMPFILE) == O_TMPFILE) {
        errno = EOPNOTSUPP;
        return -1;
    }
    const int fd = real<int (*)(int, const char*, int, ...)>("openat")(folder, name, flags, mode);
    if ((flags & O_PATH) != 0) {  // the tool's look at an image's name
        take_name(folder, name);
    }
    return fd;
}

// A file without a name is named at KVF_FAULT_CREATE_AT too.
extern "C" int linkat(int from_folder, const char* from, int to_folder, const char* to, int flags) noexcept {
    const char* elsewhere = std::getenv("KVF_FAULT_CREATE_AT");
    if (elsewhere != nullptr && (flags & AT_SYMLINK_FOLLOW) != 0) {
        to_folder = AT_FDCWD;
        to = elsewhere;
    }
    const int result =
        real<int (*)(int, const char*, int, const char*, int)>("linkat")(from_folder, from, to_folder, to, flags);
    signal_while_naming();  // right after the link, before the tool has returned from it
    return result;
}

extern "C" int openat64(int folder, const char* name, int flags, ...) {
    va_list list;
    va_start(list, flags);
    const auto mode = static_cast<mode_t>(va_arg(list, unsigned));
    va_end(list);
    return openat(folder, name, flags, mode);
}

extern "C" int fstatat(int folder, const char* name, struct stat* status, int flags) noexcept {
    const int result = real<int (*)(int, const char*, struct stat*, int)>("fstatat")(folder, name, status, flags);
    take_name(folder, name);
    return result;
}

extern "C" int fstatat64(int folder, const char* name, struct stat64* status, int flags) noexcept {
    const int result = real<int (*)(int, const char*, struct stat64*, int)>("fstatat64")(folder, name, status, flags);
    take_name(folder, name);
    return result;
}

extern "C" int renameat2(int from_folder, const char* from, int to_folder, const char* to, unsigned flags) noexcept {
    signal_while_naming();
    if (std::getenv("KVF_FAULT_NO_SWAP") != nullptr && (flags & RENAME_EXCHANGE) != 0) {
        errno = EINVAL;
        return -1;
    }
    static bool planted = false;
    if (std::getenv("KVF_FAULT_TAKE_TEMPORARY") != nullptr && (flags & RENAME_EXCHANGE) != 0 && !planted) {
        planted = true;  // another file takes the temporary name just before the swap
        const std::string other = std::string(from) + ".other";
        const int fd = openat(from_folder, other.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
        if (fd >= 0) {
            (void)::write(fd, "other\n", 6);
            (void)close(fd);
            (void)renameat(from_folder, other.c_str(), from_folder, from);
        }
    }
    if (const char* error = std::getenv("KVF_FAULT_RENAME_FLAGS"); error != nullptr && flags != 0) {
        errno = std::atoi(error);
        return -1;
    }
    return real<int (*)(int, const char*, int, const char*, unsigned)>("renameat2")(from_folder, from, to_folder, to,
                                                                                    flags);
}

namespace {

// The streams fdopen made and fclose has not closed: images.
std::FILE* image_streams[16];

std::FILE** image_slot(std::FILE* stream) {
    for (std::FILE*& slot : image_streams) {
        if (slot == stream) {
            return &slot;
        }
    }
    return nullptr;
}

}  // namespace

extern "C" std::FILE* fdopen(int fd, const char* mode) noexcept {
    std::FILE* stream = real<std::FILE* (*)(int, const char*)>("fdopen")(fd, mode);
    // The tool opens images "wb"; a coverage build's counters are opened "r+b" or "w+b".
    std::FILE** slot = std::strcmp(mode, "wb") == 0 ? image_slot(nullptr) : nullptr;
    if (stream != nullptr && slot != nullptr) {
        *slot = stream;
    }
    return stream;
}

extern "C" int fclose(std::FILE* stream) {
    if (std::FILE** slot = image_slot(stream); slot != nullptr && stream != nullptr) {
        *slot = nullptr;
    }
    return real<int (*)(std::FILE*)>("fclose")(stream);
}

extern "C" std::size_t fwrite(const void* bytes, std::size_t size, std::size_t count, std::FILE* stream) {
    if (std::getenv("KVF_FAULT_FULL") != nullptr && image_slot(stream) != nullptr) {
        errno = ENOSPC;
        return 0;
    }
    return real<std::size_t (*)(const void*, std::size_t, std::size_t, std::FILE*)>("fwrite")(bytes, size, count,
                                                                                              stream);
}
