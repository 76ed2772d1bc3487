// SPDX-License-Identifier: MIT
#include "landlock.h"

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

namespace kvf::landlock {

namespace {

// The kernel's values, which the system's headers may predate.
constexpr std::uint32_t CREATE_RULESET_VERSION = 1U << 0;
constexpr int RULE_PATH_BENEATH = 1;

// File-system rights, by the ABI version that added them; reading only for instrumented builds.
constexpr std::uint64_t FS_WRITE_FILE = 1ULL << 1;
[[maybe_unused]] constexpr std::uint64_t FS_READ_FILE = 1ULL << 2;
[[maybe_unused]] constexpr std::uint64_t FS_READ_DIR = 1ULL << 3;
constexpr std::uint64_t FS_REMOVE_FILE = 1ULL << 5;
constexpr std::uint64_t FS_MAKE_REG = 1ULL << 8;
constexpr std::uint64_t FS_MAKE_SYM = 1ULL << 12;
// ABI 1: executing, reading, writing, listing, removing and making every kind of file.
constexpr std::uint64_t FS_ABI_1 = (FS_MAKE_SYM << 1) - 1;
constexpr std::uint64_t FS_REFER = 1ULL << 13;      // ABI 2
constexpr std::uint64_t FS_TRUNCATE = 1ULL << 14;   // ABI 3
constexpr std::uint64_t FS_IOCTL_DEV = 1ULL << 15;  // ABI 5
// Network rights and scopes.
constexpr std::uint64_t NET_BIND_TCP = 1ULL << 0;         // ABI 4
constexpr std::uint64_t NET_CONNECT_TCP = 1ULL << 1;      // ABI 4
constexpr std::uint64_t SCOPE_ABSTRACT_UNIX = 1ULL << 0;  // ABI 6
constexpr std::uint64_t SCOPE_SIGNAL = 1ULL << 1;         // ABI 6
static_assert(FS_ABI_1 == 0x1FFF && FS_REFER == FS_ABI_1 + 1);

// What the tool keeps beneath its output folder: making a regular file, writing it, removing one to replace it.
constexpr std::uint64_t FS_IMAGES = FS_MAKE_REG | FS_WRITE_FILE | FS_REMOVE_FILE;

// The kernel's struct landlock_ruleset_attr as of ABI 6; earlier versions read only its first fields.
struct RulesetAttr {
    std::uint64_t handled_access_fs;
    std::uint64_t handled_access_net;  // ABI 4
    std::uint64_t scoped;              // ABI 6
};

// The kernel's struct landlock_path_beneath_attr, which it reads packed.
struct [[gnu::packed]] PathBeneathAttr {
    std::uint64_t allowed_access;
    std::int32_t parent_fd;
};

long create_ruleset(const RulesetAttr* attr, std::size_t size, std::uint32_t flags) {
    return syscall(SYS_landlock_create_ruleset, attr, size, flags);
}

// Allows `access` beneath the folder open on `folder`; 0 or the error number.
int allow_beneath(int ruleset, int folder, std::uint64_t access) {
    const PathBeneathAttr rule{access, folder};
    return syscall(SYS_landlock_add_rule, ruleset, RULE_PATH_BENEATH, &rule, 0) == 0 ? 0 : errno;
}

#if defined(KVF_CONFINE_READABLE) || defined(KVF_CONFINE_WRITABLE)
// Instrumented builds only (sanitizers read /proc at exit, coverage writes
// its counters): `access` beneath `path` as well, where the process can
// reach it at all (run as another user, a build in a private folder keeps
// its counters from it either way).
int allow_beneath_path(int ruleset, const char* path, std::uint64_t access) {
    const int folder = open(path, O_PATH | O_CLOEXEC);
    if (folder < 0) {
        return errno == EACCES ? 0 : errno;
    }
    const int error = allow_beneath(ruleset, folder, access);
    close(folder);
    return error;
}
#endif

// The rules of a ruleset open on `ruleset`; 0 or the error number.
int add_rules(int ruleset, int folder, [[maybe_unused]] const Handled& handled) {
    int error = folder >= 0 ? allow_beneath(ruleset, folder, FS_IMAGES) : 0;
#ifdef KVF_CONFINE_READABLE
    error = error != 0 ? error : allow_beneath_path(ruleset, KVF_CONFINE_READABLE, FS_READ_FILE | FS_READ_DIR);
#endif
#ifdef KVF_CONFINE_WRITABLE
    error = error != 0 ? error : allow_beneath_path(ruleset, KVF_CONFINE_WRITABLE, handled.access_fs);
#endif
    return error;
}

}  // namespace

Handled handled_at(int abi) {
    Handled handled{FS_ABI_1, 0, 0, sizeof(std::uint64_t)};
    if (abi >= 2) {
        handled.access_fs |= FS_REFER;
    }
    if (abi >= 3) {
        handled.access_fs |= FS_TRUNCATE;
    }
    if (abi >= 4) {
        handled.access_net = NET_BIND_TCP | NET_CONNECT_TCP;
        handled.attr_size = offsetof(RulesetAttr, scoped);
    }
    if (abi >= 5) {
        handled.access_fs |= FS_IOCTL_DEV;
    }
    if (abi >= 6) {
        handled.scoped = SCOPE_ABSTRACT_UNIX | SCOPE_SIGNAL;
        handled.attr_size = sizeof(RulesetAttr);
    }
    return handled;  // ABI 7 added logging, no right
}

int abi_version() {
    const long version = create_ruleset(nullptr, 0, CREATE_RULESET_VERSION);
    return version > 0 ? static_cast<int>(version) : 0;
}

int confine_beneath(int folder, int abi) {
    // Needed by an unprivileged process to restrict itself; nothing the tool
    // does gains privileges either way.
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) {
        return errno;
    }
    const Handled handled = handled_at(abi);
    const RulesetAttr attr{handled.access_fs, handled.access_net, handled.scoped};
    const long ruleset = create_ruleset(&attr, handled.attr_size, 0);
    if (ruleset < 0) {
        return errno;
    }
    const int fd = static_cast<int>(ruleset);
    int error = add_rules(fd, folder, handled);
    if (error == 0 && syscall(SYS_landlock_restrict_self, fd, 0) != 0) {
        error = errno;
    }
    close(fd);
    return error;
}

}  // namespace kvf::landlock
