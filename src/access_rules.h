// SPDX-License-Identifier: MIT
// The access rules an image takes over from the file it replaces where it
// cannot keep that file's group (POSIX systems): the old group's members
// must gain nothing as the new group's or as others.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kvf {

// Read, write and execute bits of each class.
inline constexpr unsigned OWNER_BITS = 0700;
inline constexpr unsigned GROUP_BITS = 0070;
inline constexpr unsigned OTHER_BITS = 0007;

// The permission bits `mode` (at most 0777) without the group's: nothing for
// the group, and for others only what both they and the group had.
unsigned without_group(unsigned mode);

// Changes the POSIX access ACL `acl` of `size` bytes, as the kernel keeps it
// in its extended attribute, as without_group changes permission bits: the
// owning group's entry grants nothing, and others keep only what the owning
// group had too, within the mask. False, with `acl` unchanged, if it is no
// such ACL.
bool acl_without_group(std::uint8_t* acl, std::size_t size);

}  // namespace kvf
