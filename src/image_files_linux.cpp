// SPDX-License-Identifier: MIT
// Image files on Linux: each written without a name (O_TMPFILE) and named
// through its descriptor when its run is complete, at a free name or in one
// swap over the file it replaces; where the file system makes no unnamed
// file, under a temporary name of its own. And the signals that end the
// tool, which leave nothing of the open run.
#include "image_files_linux.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "access_rules.h"
#include "platform.h"

// Under AddressSanitizer the crash signals are the sanitizer's, which reports them.
#if defined(__SANITIZE_ADDRESS__)
#define KVF_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KVF_SANITIZED 1
#endif
#endif
#ifndef KVF_SANITIZED
#define KVF_SANITIZED 0
#endif

#if KVF_COVERAGE_DUMP
extern "C" void __gcov_dump();
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

// A temporary name: the image's, the process and an attempt, and ".tmp",
// which no image name ends in.
constexpr const char* TEMPORARY_NAME_FORMAT = "%s.%ld-%u.tmp";
constexpr unsigned TEMPORARY_NAME_ATTEMPTS = 100;
constexpr std::size_t TEMPORARY_NAME_SIZE = 320;
// The name by which the kernel reaches the file open on a descriptor.
constexpr const char* DESCRIPTOR_PATH_FORMAT = "/proc/self/fd/%d";
constexpr std::size_t DESCRIPTOR_PATH_SIZE = 32;

constexpr const char* NAME_TAKEN = "another file took this name while the image was written";

// The images this run made that its user may not write (the umask took the
// owner's write; a file taken over whose owner could not write it): the
// tool's own to replace all the same. Past this many, such an image is kept
// like any other file the user may not write.
constexpr std::size_t OWN_READ_ONLY_MAX = 4096;

// Which file an image of this run is: a file that reuses its inode once it
// is gone has another owner, or was changed at another time.
struct FileId {
    dev_t device;
    ino_t inode;
    uid_t owner;
    timespec changed;
};

// Whether standard error is a terminal, which is shown no control character.
bool errors_on_terminal = false;

FileId own_read_only[OWN_READ_ONLY_MAX];
std::size_t own_read_only_count = 0;

// Whether images can be made without a name (O_TMPFILE) and named through
// their descriptor (/proc): asked of the first image.
enum class Unnamed { unknown, usable, unusable };
Unnamed unnamed_images = Unnamed::unknown;
// Whether an image made at a free name in the output folder is read-only to
// its user (a umask or default ACL that takes the owner's write): the same
// for every image, asked of the first.
enum class NewMode { unknown, writable, read_only };
NewMode new_images = NewMode::unknown;

// The image open now.
struct OpenImage {
    bool replacing;        // a file stands at its name, which it replaces when complete
    struct stat replaced;  // that file, as it was looked at
    int replaced_fd;       // that file, held (O_PATH) so that no other file can take its inode; or -1
    bool named_temporary;  // written under `temporary_name`: this file system makes no file without a name
    bool read_only;        // its user may not write it
    bool identified;       // `made` says which file it is
    struct stat made;
};
OpenImage image{};

// What the signal handler needs: the temporary name it removes while
// `temporary_pending`, and the open image's name, which it tells is not kept.
char temporary_name[TEMPORARY_NAME_SIZE];
pid_t process_id = 0;  // asked once
volatile std::sig_atomic_t temporary_pending = 0;
volatile std::sig_atomic_t image_open = 0;
int open_image_fd = -1;
char open_image_name[TEMPORARY_NAME_SIZE];

// Lets go of the file the open image was to replace.
void release_replaced() {
    if (image.replaced_fd >= 0) {
        close(image.replaced_fd);
        image.replaced_fd = -1;
    }
}

// An attribute value read or written whole, such as an ACL.
std::uint8_t attribute_value[ATTRIBUTE_VALUE_MAX];

// Puts the system's reason for the failure in errno in `why`; returns false,
// for the caller to return.
bool fail(const char** why) {
    *why = std::strerror(errno);
    return false;
}

bool is_same_inode(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

bool same_id(const struct stat& file, const FileId& id) {
    return file.st_dev == id.device && file.st_ino == id.inode && file.st_uid == id.owner &&
           file.st_ctim.tv_sec == id.changed.tv_sec && file.st_ctim.tv_nsec == id.changed.tv_nsec;
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

// Keeps the image on `fd`, named now, among the run's own if its user may not write it.
void remember_if_read_only(int fd) {
    struct stat made {};
    if (image.read_only && own_read_only_count < OWN_READ_ONLY_MAX && fstat(fd, &made) == 0) {
        own_read_only[own_read_only_count++] = FileId{made.st_dev, made.st_ino, made.st_uid, made.st_ctim};
    }
}

// Holds back every signal while the tool makes, names or removes a name of
// its own, so that no signal ends it in between; `held` gets the mask to restore.
void hold_signals(sigset_t& held) {
    sigset_t all;
    sigfillset(&all);
    (void)sigprocmask(SIG_BLOCK, &all, &held);
}

void release_signals(const sigset_t& held) {
    (void)sigprocmask(SIG_SETMASK, &held, nullptr);
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
    return !other.told || (S_ISREG(other.file.st_mode) && is_same_inode(other.file, image));
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

// The user the process acts as, asked once (kept at file scope: a static
// local would need the C++ runtime's guard, a library the tool does without).
bool user_known = false;
uid_t user_acting = 0;

uid_t effective_user() {
    if (!user_known) {
        user_acting = geteuid();
        user_known = true;
    }
    return user_acting;
}

// Whether the process may take the file `existing` away from the output
// folder, as replacing it does: not from a folder that only grows
// (chattr +a), and from a sticky one (/tmp) only as its owner, the
// folder's or root. False, with errno set, if not.
bool may_remove(const struct stat& existing) {
    struct statx folder {};
    if (statx(AT_FDCWD, ".", 0, STATX_UID | STATX_MODE, &folder) != 0) {
        return false;
    }
    const uid_t user = effective_user();
    const bool append_only = (folder.stx_attributes_mask & folder.stx_attributes & STATX_ATTR_APPEND) != 0;
    const bool sticky_held =
        (folder.stx_mode & S_ISVTX) != 0 && user != 0 && existing.st_uid != user && folder.stx_uid != user;
    return !(append_only || sticky_held) || (errno = EPERM, false);
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
    const bool writable = faccessat(AT_FDCWD, name, W_OK, AT_EACCESS) == 0 || find_own(existing) < own_read_only_count;
    return (writable && may_remove(existing)) || fail(why);
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
    const bool owner_kept = old.st_uid != effective_user() && fchown(fd, old.st_uid, old.st_gid) == 0;
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

// Puts in `path` the name by which the kernel reaches the file open on `fd`.
void descriptor_path(int fd, char (&path)[DESCRIPTOR_PATH_SIZE]) {
    (void)std::snprintf(path, sizeof path, DESCRIPTOR_PATH_FORMAT, fd);
}

// Makes a file without a name in the output folder, with `mode`, open for
// writing; -1 where this file system or kernel makes none, or it cannot be
// named through its descriptor (no /proc, as in some chroots).
int make_unnamed(mode_t mode) {
    if (unnamed_images == Unnamed::unusable) {
        return -1;
    }
    const int fd = openat(AT_FDCWD, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC | O_NOCTTY, mode);
    if (fd < 0) {
        // No O_TMPFILE here (EOPNOTSUPP, EISDIR; EINVAL on old kernels): names as
        // before. Anything else (no room, no descriptor) is the image's failure.
        if (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL) {
            unnamed_images = Unnamed::unusable;
        }
        return -1;
    }
    if (unnamed_images == Unnamed::unknown) {
        char path[DESCRIPTOR_PATH_SIZE];
        descriptor_path(fd, path);
        struct stat by_path {};
        struct stat by_descriptor {};
        const bool reached =
            stat(path, &by_path) == 0 && fstat(fd, &by_descriptor) == 0 && is_same_inode(by_path, by_descriptor);
        unnamed_images = reached ? Unnamed::usable : Unnamed::unusable;
        if (!reached) {
            close(fd);
            return -1;
        }
    }
    return fd;
}

// Makes the image for `name` under a temporary name beside it, with `mode`;
// -1, with errno set, if it cannot. The signal handler removes it should the
// tool be ended before it is named.
int make_named_temporary(const char* name, mode_t mode) {
    int fd = -1;
    process_id = process_id != 0 ? process_id : getpid();
    sigset_t held;
    hold_signals(held);
    for (unsigned attempt = 0; fd < 0 && attempt < TEMPORARY_NAME_ATTEMPTS; ++attempt) {
        const int length = std::snprintf(temporary_name, sizeof temporary_name, TEMPORARY_NAME_FORMAT, name,
                                         static_cast<long>(process_id), attempt);
        if (length < 0 || static_cast<std::size_t>(length) >= sizeof temporary_name) {
            errno = ENAMETOOLONG;
            break;
        }
        fd = openat(AT_FDCWD, temporary_name, NEW_FILE_FLAGS, mode);
        if (fd < 0 && errno != EEXIST) {
            break;
        }
    }
    temporary_pending = fd >= 0 ? 1 : 0;
    const int error = errno;
    release_signals(held);
    errno = error;
    image.named_temporary = fd >= 0;
    return fd;
}

// Removes the image's temporary name, if it has one.
void remove_temporary() {
    if (temporary_pending != 0) {
        (void)unlinkat(AT_FDCWD, temporary_name, 0);
        temporary_pending = 0;
    }
}

// Gives the unnamed image on `fd` a temporary name beside `name`, for a
// rename: false, with errno set, if it cannot. Signals are held.
bool name_temporarily(int fd, const char* name) {
    char path[DESCRIPTOR_PATH_SIZE];
    descriptor_path(fd, path);
    process_id = process_id != 0 ? process_id : getpid();
    for (unsigned attempt = 0; attempt < TEMPORARY_NAME_ATTEMPTS; ++attempt) {
        const int length = std::snprintf(temporary_name, sizeof temporary_name, TEMPORARY_NAME_FORMAT, name,
                                         static_cast<long>(process_id), attempt);
        if (length < 0 || static_cast<std::size_t>(length) >= sizeof temporary_name) {
            errno = ENAMETOOLONG;
            return false;
        }
        if (linkat(AT_FDCWD, path, AT_FDCWD, temporary_name, AT_SYMLINK_FOLLOW) == 0) {
            temporary_pending = 1;
            return true;
        }
        if (errno != EEXIST) {
            return false;
        }
    }
    return false;
}

// Whether the file at `name` is the image open on `fd`, not one put there by another.
bool is_image_at(int fd, const char* name) {
    struct stat at_name {};
    if (!image.identified) {  // asked of its descriptor once
        image.identified = fstat(fd, &image.made) == 0;
    }
    return image.identified && fstatat(AT_FDCWD, name, &at_name, AT_SYMLINK_NOFOLLOW) == 0 &&
           S_ISREG(at_name.st_mode) && is_same_inode(at_name, image.made);
}

// The reason a naming that failed with errno gives: a name that something
// else took meanwhile (a file, or under Landlock a link or folder it may not
// touch) is told as taken.
const char* naming_failure(const char* name) {
    const int error = errno;
    struct stat now {};
    if (error == EEXIST || ((error == EACCES || error == EPERM || error == ENOTEMPTY || error == EISDIR) &&
                            fstatat(AT_FDCWD, name, &now, AT_SYMLINK_NOFOLLOW) == 0 &&
                            !(image.replacing && is_same_inode(now, image.replaced)))) {
        return NAME_TAKEN;
    }
    return std::strerror(error);
}

// Gives the image on `fd` the free name `name`, which it takes only if
// nothing took it meanwhile. False, with `why` set, if it cannot. Signals
// are held while it has a temporary name.
bool name_at_free_name(int fd, const char* name, const char** why) {
    bool named = false;
    if (!image.named_temporary) {
        char path[DESCRIPTOR_PATH_SIZE];
        descriptor_path(fd, path);
        named = linkat(AT_FDCWD, path, AT_FDCWD, name, AT_SYMLINK_FOLLOW) == 0;
    } else if (is_image_at(fd, temporary_name)) {
        named = renameat2(AT_FDCWD, temporary_name, AT_FDCWD, name, RENAME_NOREPLACE) == 0;
        if (!named && (errno == EINVAL || errno == ENOSYS)) {
            // No RENAME_NOREPLACE here: a second name, which is never put over another file.
            named = linkat(AT_FDCWD, temporary_name, AT_FDCWD, name, 0) == 0;
            const int error = errno;
            remove_temporary();
            errno = error;
        }
        temporary_pending = named ? 0 : temporary_pending;
    } else {
        errno = EEXIST;  // what stands at the temporary name is not the image
    }
    if (!named) {
        *why = naming_failure(name);
        return false;
    }
    // A name made by rename or link is checked to be the image: nothing else is told complete.
    if (image.named_temporary && !is_image_at(fd, name)) {
        *why = NAME_TAKEN;
        return false;
    }
    return true;
}

// Puts the image on `fd`, named temporarily, at `name`, where the file it
// replaces, or nothing, stands. False, with `why` set, if it cannot: a file
// that took the name meanwhile stays, and the temporary name is removed.
bool swap_into_name(int fd, const char* name, const char** why) {
    // A temporary name linked a moment ago, signals held, is checked once the swap is made.
    if (image.named_temporary && !is_image_at(fd, temporary_name)) {
        *why = NAME_TAKEN;
        temporary_pending = 0;  // not the tool's to remove
        return false;
    }
    // Swapped with what stands at the name, which is then removed if it is
    // the old file and put back if not: nothing else is ever lost. (A rename
    // over a file would also make ext4 start writing the image out at once.)
    if (renameat2(AT_FDCWD, temporary_name, AT_FDCWD, name, RENAME_EXCHANGE) == 0) {
        // The old file, held open since it was looked at so that no other
        // file can have its inode, came out; and the image went in, not a
        // file put at the temporary name meanwhile.
        struct stat swapped {};
        if (fstatat(AT_FDCWD, temporary_name, &swapped, AT_SYMLINK_NOFOLLOW) == 0 &&
            is_same_inode(swapped, image.replaced) && is_image_at(fd, name)) {
            if (unlinkat(AT_FDCWD, temporary_name, 0) != 0) {
                return fail(why);
            }
            temporary_pending = 0;
            return true;
        }
        *why = NAME_TAKEN;
        if (renameat2(AT_FDCWD, temporary_name, AT_FDCWD, name, RENAME_EXCHANGE) == 0 &&
            is_image_at(fd, temporary_name)) {
            remove_temporary();
        }
        temporary_pending = 0;
        return false;
    }
    bool taken = false;
    if (errno == ENOENT) {  // nothing stands there now
        taken = renameat2(AT_FDCWD, temporary_name, AT_FDCWD, name, RENAME_NOREPLACE) == 0;
        if (!taken && (errno == EINVAL || errno == ENOSYS)) {
            taken = linkat(AT_FDCWD, temporary_name, AT_FDCWD, name, 0) == 0;
        }
    } else if (errno == EINVAL || errno == ENOSYS) {  // no swap here: looked at again, then renamed over
        struct stat now {};
        const bool found = fstatat(AT_FDCWD, name, &now, AT_SYMLINK_NOFOLLOW) == 0;
        if (found && !is_same_inode(now, image.replaced)) {
            errno = EEXIST;
        } else if (found || errno == ENOENT) {
            taken = renameat(AT_FDCWD, temporary_name, AT_FDCWD, name) == 0;
        }
    }
    if (!taken) {
        *why = naming_failure(name);
        remove_temporary();
        return false;
    }
    remove_temporary();  // a second name made by link; a rename left none
    if (!is_image_at(fd, name)) {
        *why = NAME_TAKEN;
        return false;
    }
    return true;
}

// Names the complete image on `fd` `name`: at a free name by a link or a
// rename that never replaces, over the file it replaces by a swap. False,
// with `why` set, if it cannot.
bool name_image(int fd, const char* name, const char** why) {
    // A link of an unnamed file at a free name is one step, which a signal
    // cannot split: the handler tells by its link count whether it was made.
    const bool one_step = !image.replacing && !image.named_temporary;
    sigset_t held;
    if (!one_step) {
        hold_signals(held);
    }
    bool named = false;
    if (!image.replacing) {
        named = name_at_free_name(fd, name, why);
    } else if (image.named_temporary || name_temporarily(fd, name)) {
        named = swap_into_name(fd, name, why);
    } else {
        fail(why);
    }
    // Named or given up, while no signal can come between: the run is no longer open.
    if (!named) {
        remove_temporary();
    }
    image_open = 0;
    if (!one_step) {
        release_signals(held);
    }
    release_replaced();
    if (named) {
        if (image.replacing) {
            forget_own(image.replaced);
        }
        remember_if_read_only(fd);
    }
    return named;
}

// Gives up the open image: a name of its own is removed; an unnamed file
// goes with its descriptor.
void give_up_image() {
    sigset_t held;
    hold_signals(held);
    remove_temporary();
    image_open = 0;
    release_signals(held);
    release_replaced();
}

// The name of `signal` for the line that tells how the tool ended.
const char* signal_name(int signal) {
    static const struct {
        int number;
        const char* name;
    } names[] = {
        {SIGHUP, "SIGHUP"},       {SIGINT, "SIGINT"},   {SIGQUIT, "SIGQUIT"},     {SIGILL, "SIGILL"},
        {SIGTRAP, "SIGTRAP"},     {SIGABRT, "SIGABRT"}, {SIGBUS, "SIGBUS"},       {SIGFPE, "SIGFPE"},
        {SIGUSR1, "SIGUSR1"},     {SIGSEGV, "SIGSEGV"}, {SIGUSR2, "SIGUSR2"},     {SIGALRM, "SIGALRM"},
        {SIGTERM, "SIGTERM"},     {SIGXCPU, "SIGXCPU"}, {SIGVTALRM, "SIGVTALRM"}, {SIGPROF, "SIGPROF"},
        {SIGIO, "SIGIO"},         {SIGSYS, "SIGSYS"},
#ifdef SIGSTKFLT
        {SIGSTKFLT, "SIGSTKFLT"},
#endif
#ifdef SIGPWR
        {SIGPWR, "SIGPWR"},
#endif
    };
    for (const auto& [number, name] : names) {
        if (number == signal) {
            return name;
        }
    }
    return nullptr;
}

// Appends the text `text` to the line at `line` (room to `end`), as a
// signal handler may; on a terminal a control character shows as '?'.
char* append(char* line, const char* end, const char* text) {
    for (; *text != '\0' && line < end; ++text) {
        const char c = *text;
        *line++ = errors_on_terminal && (static_cast<unsigned char>(c) < ' ' || c == '\x7F') && c != '\n' ? '?' : c;
    }
    return line;
}

// Ends the process by `signal` as it would have ended, with no image of its
// open run under any name, and says so on standard error.
extern "C" void end_by_signal(int signal) {
    remove_temporary();
    // An unnamed image that has just taken its name is complete: not the open run's.
    struct stat linked {};
    if (image_open != 0 && fstat(open_image_fd, &linked) == 0 && linked.st_nlink > 0 && !image.named_temporary) {
        image_open = 0;
    }
    char line[2 * TEMPORARY_NAME_SIZE];
    const char* end = line + sizeof line;
    char* at = append(line, end, "kvf_unpack: ended by ");
    if (const char* name = signal_name(signal); name != nullptr) {
        at = append(at, end, name);
    } else {
        // A real-time signal: SIGRTMIN+N.
        char number[4] = {};
        const int past = signal - SIGRTMIN;
        number[0] = static_cast<char>('0' + past / 10 % 10);
        number[1] = static_cast<char>('0' + past % 10);
        at = append(at, end, "SIGRTMIN");
        if (past > 0) {
            at = append(append(at, end, "+"), end, past < 10 ? number + 1 : number);
        }
    }
    at = append(at, end, image_open != 0 ? ": " : ": no image was open");
    if (image_open != 0) {
        at = append(append(at, end, open_image_name), end, " is not kept");
    }
    at = append(at, end, "\n");
    const ssize_t written = write(STDERR_FILENO, line, static_cast<std::size_t>(at - line));
    (void)written;  // nothing more can be done about a failed write here
#if KVF_COVERAGE_DUMP
    __gcov_dump();  // a coverage build's counters, which a death by signal would lose
#endif
    (void)std::signal(signal, SIG_DFL);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, signal);
    (void)sigprocmask(SIG_UNBLOCK, &only, nullptr);
    (void)std::raise(signal);
}

// Room for the signal handler's stack, where a stack overflow still leaves it one.
alignas(16) std::uint8_t signal_stack[64 * 1024];

}  // namespace

void catch_ending_signals(bool terminal) {
    errors_on_terminal = terminal;
    stack_t alternate{};
    alternate.ss_sp = signal_stack;
    alternate.ss_size = sizeof signal_stack;
    (void)sigaltstack(&alternate, nullptr);
    struct sigaction ending {};
    ending.sa_handler = end_by_signal;
    ending.sa_flags = SA_ONSTACK;
    sigfillset(&ending.sa_mask);
    const auto take = [&](int signal) {
        struct sigaction before {};
        if (sigaction(signal, nullptr, &before) == 0 && before.sa_handler != SIG_IGN) {
            (void)sigaction(signal, &ending, nullptr);
        }
    };
    for (const int signal :
         {SIGHUP, SIGINT, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM, SIGTERM, SIGXCPU, SIGVTALRM, SIGPROF, SIGIO,
#ifdef SIGSTKFLT
          SIGSTKFLT,
#endif
#ifdef SIGPWR
          SIGPWR,
#endif
          SIGTRAP, SIGSYS}) {
        take(signal);
    }
#if !KVF_SANITIZED
    for (const int signal : {SIGILL, SIGABRT, SIGBUS, SIGFPE, SIGSEGV}) {
        take(signal);
    }
#endif
    for (int signal = SIGRTMIN; signal <= SIGRTMAX; ++signal) {
        take(signal);
    }
}

std::FILE* create_image(const char* name, std::span<const KeptFile> kept, const char** why) {
    struct stat existing {};
    image = OpenImage{};
    // Looked at through a descriptor that only names it (O_PATH): a link is
    // not followed, a FIFO not woken, a device's driver not called.
    image.replaced_fd = openat(AT_FDCWD, name, O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (image.replaced_fd >= 0) {
        *why = nullptr;
        if (fstat(image.replaced_fd, &existing) != 0 || !may_replace(name, existing, kept, why)) {
            *why = *why != nullptr ? *why : std::strerror(errno);
            release_replaced();
            return nullptr;
        }
        image.replacing = true;
        image.replaced = existing;
    } else if (errno != ENOENT) {
        fail(why);
        return nullptr;
    }
    // Written without a name, or under a temporary one where the file system
    // makes no file without a name: it takes its own when its run is complete.
    const mode_t mode = image.replacing ? REPLACEMENT_MODE : NEW_FILE_MODE;
    int fd = make_unnamed(mode);
    if (fd < 0 && unnamed_images == Unnamed::unusable) {
        fd = make_named_temporary(name, mode);
    }
    if (fd < 0) {
        fail(why);
        return nullptr;
    }
    // Which file it is matters only for one its user may not write.
    mode_t given = 0;
    bool ready = !image.replacing || take_access_rules(fd, name, existing, given);
    if (ready && image.replacing) {
        struct stat made {};
        image.read_only = (given & S_IWUSR) == 0 && fstat(fd, &made) == 0 && (made.st_mode & S_IWUSR) == 0;
    } else if (ready && new_images == NewMode::unknown) {
        struct stat made {};
        ready = fstat(fd, &made) == 0;
        new_images = (made.st_mode & S_IWUSR) == 0 ? NewMode::read_only : NewMode::writable;
    }
    image.read_only = image.replacing ? image.read_only : new_images == NewMode::read_only;
    std::FILE* file = ready ? fdopen(fd, "wb") : nullptr;
    if (file == nullptr) {
        fail(why);
        close(fd);
        give_up_image();
        return nullptr;
    }
    // For the signal handler, which tells it is not kept; and for a discard.
    (void)std::snprintf(open_image_name, sizeof open_image_name, "%s", name);
    open_image_fd = fd;
    image_open = 1;
    return file;
}

bool finish_image(std::FILE* image_file, const char* name, const char** why) {
    // Named before it is closed, through its descriptor: what takes the name
    // is the file the run wrote.
    const bool written = std::fflush(image_file) == 0 || fail(why);
    const bool named = written && name_image(fileno(image_file), name, why);
    if (image_open != 0) {
        give_up_image();
    }
    if (std::fclose(image_file) != 0) {
        return named ? fail(why) : false;
    }
    return named;
}

bool discard_image(std::FILE* image_file, bool whole) {
    // A run given up after a failure: at a free name it keeps what it brought, as images always have.
    const char* why = nullptr;
    const bool stands = whole && !image.replacing && std::fflush(image_file) == 0 &&
                        name_image(fileno(image_file), open_image_name, &why);
    if (image_open != 0) {
        give_up_image();
    }
    return std::fclose(image_file) == 0 && stands;
}

}  // namespace kvf
