// SPDX-License-Identifier: MIT
// Landlock, the Linux kernel's unprivileged sandbox, reached through its
// system calls: how the tool gives up every right it no longer needs once
// its input is open.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kvf::landlock {

// The newest ABI version whose rights the tool knows; a newer kernel is
// asked for these, which it keeps handling as it did.
inline constexpr int NEWEST_KNOWN_ABI = 7;

// What a ruleset handles, and so denies wherever no rule allows it, on a
// kernel of one ABI version: every right that version knows, and the size of
// the ruleset attribute that version reads.
struct Handled {
    std::uint64_t access_fs;
    std::uint64_t access_net;  // ABI 4
    std::uint64_t scoped;      // ABI 6
    std::size_t attr_size;     // bytes of the kernel's struct landlock_ruleset_attr to pass
};

// The rights that ABI version `abi` (1 or more) knows, as the kernel documents
// each version; above NEWEST_KNOWN_ABI, those of NEWEST_KNOWN_ABI.
Handled handled_at(int abi);

// The Landlock ABI version of the running kernel, or 0 where it has none or
// a policy (a container's system-call filter) refuses the question.
int abi_version();

// Confines the calling process, and whatever it would start, on a kernel of
// ABI version `abi` (from abi_version, at least 1): every right handled_at
// gives is denied, but for creating, writing and removing regular files
// beneath the folder open on `folder`, or nowhere when `folder` is -1. Sets
// no_new_privs first. Returns 0, or the error number of the step that failed,
// in which case the process may be left without no_new_privs but is not
// otherwise changed.
int confine_beneath(int folder, int abi);

}  // namespace kvf::landlock
