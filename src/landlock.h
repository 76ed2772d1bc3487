// SPDX-License-Identifier: MIT
// Landlock, the Linux kernel's unprivileged sandbox, reached through its
// system calls: how the tool gives up every right it no longer needs once
// its input is open.
#pragma once

namespace kvf::landlock {

// The Landlock ABI version of the running kernel, or 0 where it has none or
// a policy (a container's system-call filter) hides it.
int abi_version();

// Confines the calling process, and whatever it would start, to creating,
// writing and removing regular files beneath the folder open on `folder`:
// every other file-system right the kernel's Landlock version knows is
// denied (reading, executing, making directories, links, devices, FIFOs and
// sockets; from ABI 3 truncating, from ABI 5 device ioctls), from ABI 4 TCP
// bind and connect, and from ABI 6 signals and abstract UNIX sockets that
// reach out of the process. Sets no_new_privs first. Returns the ABI version
// that confines the process, or 0 when it could not be confined.
int confine_beneath(int folder);

}  // namespace kvf::landlock
