// SPDX-License-Identifier: MIT
#include "landlock.h"

#include <fcntl.h>
#include <linux/landlock.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>

namespace kvf::landlock {

namespace {

// Rights of later ABI versions than the system's headers may know; the values are the kernel's.
constexpr std::uint64_t FS_TRUNCATE = 1ULL << 14;         // ABI 3
constexpr std::uint64_t FS_IOCTL_DEV = 1ULL << 15;        // ABI 5
constexpr std::uint64_t NET_BIND_TCP = 1ULL << 0;         // ABI 4
constexpr std::uint64_t NET_CONNECT_TCP = 1ULL << 1;      // ABI 4
constexpr std::uint64_t SCOPE_ABSTRACT_UNIX = 1ULL << 0;  // ABI 6
constexpr std::uint64_t SCOPE_SIGNAL = 1ULL << 1;         // ABI 6

// The file-system rights of ABI 1: executing, reading, writing, listing,
// removing and making every kind of file.
constexpr std::uint64_t FS_ABI_1 =
    LANDLOCK_ACCESS_FS_EXECUTE | LANDLOCK_ACCESS_FS_WRITE_FILE | LANDLOCK_ACCESS_FS_READ_FILE |
    LANDLOCK_ACCESS_FS_READ_DIR | LANDLOCK_ACCESS_FS_REMOVE_DIR | LANDLOCK_ACCESS_FS_REMOVE_FILE |
    LANDLOCK_ACCESS_FS_MAKE_CHAR | LANDLOCK_ACCESS_FS_MAKE_DIR | LANDLOCK_ACCESS_FS_MAKE_REG |
    LANDLOCK_ACCESS_FS_MAKE_SOCK | LANDLOCK_ACCESS_FS_MAKE_FIFO | LANDLOCK_ACCESS_FS_MAKE_BLOCK |
    LANDLOCK_ACCESS_FS_MAKE_SYM;
// Every right of ABI 1, and nothing else: the thirteen lowest bits, below ABI 2's REFER.
static_assert(FS_ABI_1 == LANDLOCK_ACCESS_FS_REFER - 1);
static_assert(FS_TRUNCATE == LANDLOCK_ACCESS_FS_REFER << 1 && FS_IOCTL_DEV == FS_TRUNCATE << 1);

// What the tool keeps beneath its output folder: making a regular file, writing it, removing one to replace it.
constexpr std::uint64_t FS_IMAGES =
    LANDLOCK_ACCESS_FS_MAKE_REG | LANDLOCK_ACCESS_FS_WRITE_FILE | LANDLOCK_ACCESS_FS_REMOVE_FILE;

// The kernel's struct landlock_ruleset_attr as of ABI 6; earlier versions read only its first fields.
struct RulesetAttr {
    std::uint64_t handled_access_fs;
    std::uint64_t handled_access_net;  // ABI 4
    std::uint64_t scoped;              // ABI 6
};

long create_ruleset(const RulesetAttr* attr, std::size_t size, std::uint32_t flags) {
    return syscall(SYS_landlock_create_ruleset, attr, size, flags);
}

// Allows `access` beneath the folder open on `folder`.
bool allow_beneath(int ruleset, int folder, std::uint64_t access) {
    landlock_path_beneath_attr rule{};
    rule.allowed_access = access;
    rule.parent_fd = folder;
    return syscall(SYS_landlock_add_rule, ruleset, LANDLOCK_RULE_PATH_BENEATH, &rule, 0) == 0;
}

#if defined(KVF_CONFINE_READABLE) || defined(KVF_CONFINE_WRITABLE)
// Instrumented builds only (sanitizers read /proc at exit, coverage writes
// its counters): `access` beneath `path` as well.
bool allow_beneath_path(int ruleset, const char* path, std::uint64_t access) {
    const int folder = open(path, O_PATH | O_CLOEXEC);
    const bool allowed = folder >= 0 && allow_beneath(ruleset, folder, access);
    if (folder >= 0) {
        close(folder);
    }
    return allowed;
}
#endif

}  // namespace

int abi_version() {
    const long version = create_ruleset(nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION);
    return version > 0 ? static_cast<int>(version) : 0;
}

int confine_beneath(int folder) {
    // Needed by an unprivileged process to restrict itself; nothing the tool
    // does gains privileges either way.
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) {
        return 0;
    }
    const int abi = abi_version();
    if (abi == 0) {
        return 0;
    }
    // Handled are exactly the rights this version knows: a handled right is
    // denied wherever no rule allows it.
    RulesetAttr attr{};
    std::size_t attr_size = offsetof(RulesetAttr, handled_access_net);
    attr.handled_access_fs =
        FS_ABI_1 | LANDLOCK_ACCESS_FS_REFER | (abi >= 3 ? FS_TRUNCATE : 0) | (abi >= 5 ? FS_IOCTL_DEV : 0);
    if (abi >= 4) {
        attr.handled_access_net = NET_BIND_TCP | NET_CONNECT_TCP;
        attr_size = offsetof(RulesetAttr, scoped);
    }
    if (abi >= 6) {
        attr.scoped = SCOPE_ABSTRACT_UNIX | SCOPE_SIGNAL;
        attr_size = sizeof attr;
    }
    const long ruleset = create_ruleset(&attr, attr_size, 0);
    if (ruleset < 0) {
        return 0;
    }
    const int fd = static_cast<int>(ruleset);
    bool allowed = allow_beneath(fd, folder, FS_IMAGES);
#ifdef KVF_CONFINE_READABLE
    allowed = allowed &&
              allow_beneath_path(fd, KVF_CONFINE_READABLE, LANDLOCK_ACCESS_FS_READ_FILE | LANDLOCK_ACCESS_FS_READ_DIR);
#endif
#ifdef KVF_CONFINE_WRITABLE
    allowed = allowed && allow_beneath_path(fd, KVF_CONFINE_WRITABLE, attr.handled_access_fs);
#endif
    const bool confined = allowed && syscall(SYS_landlock_restrict_self, fd, 0) == 0;
    close(fd);
    return confined ? abi : 0;
}

}  // namespace kvf::landlock
