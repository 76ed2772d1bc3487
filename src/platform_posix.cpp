// SPDX-License-Identifier: MIT
// POSIX side of the platform interface: names are bytes, opened as they are.
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "access_rules.h"
#include "platform.h"

#ifdef __linux__
#include "landlock.h"
#endif

namespace kvf {

namespace {

// Read, write and execute for owner, group and others.
constexpr mode_t PERMISSION_BITS = 0777;
static_assert(PERMISSION_BITS == (OWNER_BITS | GROUP_BITS | OTHER_BITS));
// A new image, as any file a user makes: readable and writable, less the umask.
constexpr mode_t NEW_FILE_MODE = 0666;
// An image that replaces a file, until it has that file's access rules: its owner's alone.
constexpr mode_t REPLACEMENT_MODE = S_IRUSR | S_IWUSR;
// Opens a file that must be made new: whatever took its name is refused
// without being opened, a link not followed and a FIFO not woken.
constexpr int NEW_FILE_FLAGS = O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY;

// The extended attribute that holds a file's POSIX access ACL.
constexpr const char* ACL_ACCESS = "system.posix_acl_access";
// The largest value of an extended attribute that Linux keeps (XATTR_SIZE_MAX).
constexpr std::size_t ATTRIBUTE_VALUE_MAX = 65536;

// A replacement's name: the image's, the process and an attempt, and ".tmp",
// which no image name ends in.
constexpr const char* REPLACEMENT_NAME_FORMAT = "%s.%ld-%u.tmp";
constexpr unsigned REPLACEMENT_NAME_ATTEMPTS = 100;
constexpr std::size_t REPLACEMENT_NAME_SIZE = 320;

// The images this run made that its user may not write (the umask took the
// owner's write; a file taken over whose owner could not write it): the
// tool's own to replace all the same. Past this many, such an image is kept
// like any other file the user may not write.
constexpr std::size_t OWN_READ_ONLY_MAX = 4096;

struct FileId {
    dev_t device;
    ino_t inode;
};

// Whether standard input was closed when the tool started: then "-" is no input.
bool standard_input_closed = false;

FileId own_read_only[OWN_READ_ONLY_MAX];
std::size_t own_read_only_count = 0;

// The image open now: when it replaces a file, the name it is written under,
// which the signal handler removes while `replacement_pending`, and the file
// at its name when it was made; when its user may not write it, which it is.
char replacement_name[REPLACEMENT_NAME_SIZE];
pid_t process_id = 0;  // asked once
volatile std::sig_atomic_t replacement_pending = 0;
bool replacing = false;
struct stat replaced {};
bool image_read_only = false;
struct stat image_made {};

// An attribute value read or written whole, such as an ACL.
std::uint8_t attribute_value[ATTRIBUTE_VALUE_MAX];

// Puts the system's reason for the failure in errno in `why`; returns false,
// for the caller to return.
bool fail(const char** why) {
    *why = std::strerror(errno);
    return false;
}

bool same_id(const struct stat& file, const FileId& id) {
    return file.st_dev == id.device && file.st_ino == id.inode;
}

// Where the file `file` stands in own_read_only; own_read_only_count if it is not there.
std::size_t find_own(const struct stat& file) {
    std::size_t at = 0;
    while (at < own_read_only_count && !same_id(file, own_read_only[at])) {
        ++at;
    }
    return at;
}

// Forgets the file `file`, which no longer stands at an image's name, as one of the run's own.
void forget_own(const struct stat& file) {
    const std::size_t at = find_own(file);
    if (at < own_read_only_count) {
        own_read_only[at] = own_read_only[--own_read_only_count];
    }
}

// Keeps the image open now, at its name, among the run's own if its user may not write it.
void remember_if_read_only() {
    if (image_read_only && own_read_only_count < OWN_READ_ONLY_MAX) {
        own_read_only[own_read_only_count++] = FileId{image_made.st_dev, image_made.st_ino};
    }
}

// What a kept stream's file is, looked up once: no stream's file changes while the tool runs.
struct StreamFile {
    std::FILE* stream;
    bool told;  // the file could be told: `file` says which it is
    struct stat file;
};
constexpr std::size_t STREAMS_TOLD_MAX = 4;
StreamFile streams_told[STREAMS_TOLD_MAX];
std::size_t streams_told_count = 0;

// The file open on `stream`, from streams_told once it is there.
StreamFile tell_stream(std::FILE* stream) {
    for (std::size_t i = 0; i < streams_told_count; ++i) {
        if (streams_told[i].stream == stream) {
            return streams_told[i];
        }
    }
    StreamFile told{stream, false, {}};
    const int fd = fileno(stream);
    told.told = fd >= 0 && fstat(fd, &told.file) == 0;
    if (streams_told_count < STREAMS_TOLD_MAX) {
        streams_told[streams_told_count++] = told;
    }
    return told;
}

// Whether the regular file `image` is, or may be, the file open on `stream`:
// a stream whose file cannot be told counts as the same.
bool may_be_same_file(const struct stat& image, std::FILE* stream) {
    const StreamFile other = tell_stream(stream);
    return !other.told ||
           (S_ISREG(other.file.st_mode) && other.file.st_dev == image.st_dev && other.file.st_ino == image.st_ino);
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

// Whether the file `existing` at `name` may be replaced by an image; false,
// with `why` set, if it must be kept.
bool may_replace(const char* name, const struct stat& existing, std::span<const KeptFile> kept, const char** why) {
    if (!S_ISREG(existing.st_mode)) {
        *why = refusal(existing.st_mode);
        return false;
    }
    for (const auto& [stream, reason] : kept) {
        if (may_be_same_file(existing, stream)) {
            *why = reason;
            return false;
        }
    }
    // Only what the user could have written is replaced: a read-only image,
    // or another user's file, is kept; an image this run made is its own.
    return faccessat(AT_FDCWD, name, W_OK, AT_EACCESS) == 0 || find_own(existing) < own_read_only_count || fail(why);
}

// Gives the new file open on `fd` the access rules of `old`, the file at
// `image` that it replaces: its owner and group where the process may give
// them (else the owner is the process's user); else its group, where it
// may, or no rights for the group (without_group); its POSIX ACL, or none where it
// had none (a folder's default ACL gave the new file one); and otherwise its
// permission bits, never set-user-ID or set-group-ID, which are then
// `given`, as they are not when an ACL sets them. False, with errno set, if
// any of these could not be set.
bool take_access_rules(int fd, const char* image, const struct stat& old, mode_t& given) {
    given = 0;
    // The owner where the process may give it (root), else the group alone;
    // its own group already is a change to nothing.
    const bool owner_kept = old.st_uid != geteuid() && fchown(fd, old.st_uid, old.st_gid) == 0;
    const bool group_kept = owner_kept || fchown(fd, static_cast<uid_t>(-1), old.st_gid) == 0;
    if (!group_kept && errno != EPERM && errno != EINVAL) {
        return false;  // EINVAL: a group this user namespace cannot name
    }
    // Read by name: whoever could change the file at it between the look and
    // here could as well have put any file there before the tool looked.
    const ssize_t size = lgetxattr(image, ACL_ACCESS, attribute_value, sizeof attribute_value);
    if (size >= 0) {
        if (!group_kept && !acl_without_group(attribute_value, static_cast<std::size_t>(size))) {
            errno = EINVAL;
            return false;
        }
        // The kernel sets the permission bits from it.
        return fsetxattr(fd, ACL_ACCESS, attribute_value, static_cast<std::size_t>(size), 0) == 0;
    }
    if (errno != ENODATA && errno != ENOTSUP) {
        return false;
    }
    if (fremovexattr(fd, ACL_ACCESS) != 0 && errno != ENODATA && errno != ENOTSUP) {
        return false;
    }
    given = group_kept ? old.st_mode & PERMISSION_BITS : without_group(old.st_mode & PERMISSION_BITS);
    return fchmod(fd, given) == 0;
}

// Makes the image at the free name `name`; -1, with `why` set, if it cannot.
int make_at_free_name(const char* name, const char** why) {
    const int fd = openat(AT_FDCWD, name, NEW_FILE_FLAGS, NEW_FILE_MODE);
    if (fd < 0 || fstat(fd, &image_made) != 0) {
        fail(why);
        if (fd >= 0) {
            close(fd);
            (void)unlinkat(AT_FDCWD, name, 0);
        }
        return -1;
    }
    image_read_only = (image_made.st_mode & S_IWUSR) == 0;
    remember_if_read_only();
    replacing = false;
    return fd;
}

// Removes the image that was to replace a file, which stands as it was.
void remove_replacement() {
    (void)unlinkat(AT_FDCWD, replacement_name, 0);
    replacement_pending = 0;
    replacing = false;
}

// Makes the image that replaces `old`, the file at `name`, beside it; -1,
// with `why` set, if it cannot be made with the old file's access rules.
int make_replacement(const char* name, const struct stat& old, const char** why) {
    int fd = -1;
    for (unsigned attempt = 0; fd < 0 && attempt < REPLACEMENT_NAME_ATTEMPTS; ++attempt) {
        process_id = process_id != 0 ? process_id : getpid();
        const int length = std::snprintf(replacement_name, sizeof replacement_name, REPLACEMENT_NAME_FORMAT, name,
                                         static_cast<long>(process_id), attempt);
        if (length < 0 || static_cast<std::size_t>(length) >= sizeof replacement_name) {
            errno = ENAMETOOLONG;
            break;
        }
        fd = openat(AT_FDCWD, replacement_name, NEW_FILE_FLAGS, REPLACEMENT_MODE);
        if (fd < 0 && errno != EEXIST) {
            break;
        }
    }
    if (fd < 0) {
        fail(why);
        return -1;
    }
    replacement_pending = 1;
    // Which file it is matters only for one its user may not write.
    mode_t given = 0;
    if (!take_access_rules(fd, name, old, given) || ((given & S_IWUSR) == 0 && fstat(fd, &image_made) != 0)) {
        fail(why);
        close(fd);
        remove_replacement();
        return -1;
    }
    image_read_only = (given & S_IWUSR) == 0 && (image_made.st_mode & S_IWUSR) == 0;
    replacing = true;
    replaced = old;
    return fd;
}

bool is_replaced(const struct stat& file) {
    return file.st_dev == replaced.st_dev && file.st_ino == replaced.st_ino;
}

constexpr const char* NAME_TAKEN = "another file took this name while the image was written";

// Puts the finished replacement at `name`, where the file it replaces, or
// nothing, stands. False, with `why` set, if it cannot: a file that took the
// name meanwhile stays, and the replacement is removed.
bool take_name(const char* name, const char** why) {
    // Swapped with what stands at the name, which is then removed if it is
    // the old file and put back if not: nothing else is ever lost. (A rename
    // over a file would also make ext4 start writing the image out at once.)
    if (renameat2(AT_FDCWD, replacement_name, AT_FDCWD, name, RENAME_EXCHANGE) == 0) {
        replacement_pending = 0;  // what stands at its name now is not the tool's
        struct stat swapped {};
        if (fstatat(AT_FDCWD, replacement_name, &swapped, AT_SYMLINK_NOFOLLOW) == 0 && is_replaced(swapped)) {
            return unlinkat(AT_FDCWD, replacement_name, 0) == 0 || fail(why);
        }
        *why = NAME_TAKEN;
        if (renameat2(AT_FDCWD, replacement_name, AT_FDCWD, name, RENAME_EXCHANGE) == 0) {
            (void)unlinkat(AT_FDCWD, replacement_name, 0);
        }
        return false;
    }
    bool taken = false;
    if (errno == ENOENT) {  // nothing stands there now
        taken = renameat2(AT_FDCWD, replacement_name, AT_FDCWD, name, RENAME_NOREPLACE) == 0;
    } else if (errno == EINVAL || errno == ENOSYS) {  // no swap here: looked at again, then renamed over
        struct stat now {};
        const bool found = fstatat(AT_FDCWD, name, &now, AT_SYMLINK_NOFOLLOW) == 0;
        if (found && !is_replaced(now)) {
            errno = EEXIST;
        } else if (found || errno == ENOENT) {
            taken = renameat(AT_FDCWD, replacement_name, AT_FDCWD, name) == 0;
        }
    }
    if (!taken) {
        *why = errno == EEXIST ? NAME_TAKEN : std::strerror(errno);
        remove_replacement();
    }
    replacement_pending = 0;
    return taken;
}

// The length of the folder that holds the file whose path is the `end` bytes
// at `path`: up to its last '/', which is 0 for the root.
std::size_t folder_of(const char* path, std::size_t end) {
    while (end > 0 && path[--end] != '/') {
    }
    return end;
}

// Ends the process by `signal` as it would have ended, without leaving an unfinished replacement behind.
extern "C" void remove_replacement_and_end(int signal) {
    if (replacement_pending != 0) {
        (void)unlinkat(AT_FDCWD, replacement_name, 0);
    }
    (void)std::signal(signal, SIG_DFL);
    (void)std::raise(signal);
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
    // Every signal that ends a process by default and may be caught; one
    // that was ignored when the tool started (nohup) stays ignored.
    for (const int signal :
         {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGALRM, SIGUSR1, SIGUSR2, SIGXCPU, SIGVTALRM, SIGPROF}) {
        if (std::signal(signal, remove_replacement_and_end) == SIG_IGN) {
            (void)std::signal(signal, SIG_IGN);
        }
    }
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

std::FILE* create_image(const char* name, std::span<const KeptFile> kept, const char** why) {
    struct stat existing {};
    int fd = -1;
    if (fstatat(AT_FDCWD, name, &existing, AT_SYMLINK_NOFOLLOW) == 0) {
        fd = may_replace(name, existing, kept, why) ? make_replacement(name, existing, why) : -1;
    } else {
        fd = errno == ENOENT ? make_at_free_name(name, why) : (fail(why), -1);
    }
    if (fd < 0) {
        return nullptr;
    }
    std::FILE* file = fdopen(fd, "wb");
    if (file == nullptr) {
        fail(why);
        close(fd);
        // The file just made: nothing of the tool's is left.
        if (replacing) {
            remove_replacement();
        } else {
            if (image_read_only) {
                forget_own(image_made);
            }
            (void)unlinkat(AT_FDCWD, name, 0);
        }
    }
    return file;
}

bool finish_image(std::FILE* image, const char* name, const char** why) {
    if (std::fclose(image) != 0) {
        fail(why);
        if (replacing) {
            remove_replacement();
        }
        return false;
    }
    if (!replacing) {
        return true;
    }
    replacing = false;
    if (!take_name(name, why)) {
        return false;
    }
    forget_own(replaced);
    remember_if_read_only();
    return true;
}

bool discard_image(std::FILE* image) {
    const bool closed = std::fclose(image) == 0;
    if (replacing) {
        remove_replacement();
        return false;
    }
    return closed;
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
