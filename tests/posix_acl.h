// SPDX-License-Identifier: MIT
// POSIX ACLs as the kernel keeps them in an extended attribute, for tests.
#pragma once

#include <array>
#include <cstdint>
#include <initializer_list>

#include "container_builder.h"

namespace kvf::test {

// Tags of ACL entries: the owner, a named user, the owning group, a named
// group, the mask and others; and the id of an entry that names none.
constexpr std::uint32_t OWNER = 0x01, USER = 0x02, GROUP = 0x04, NAMED_GROUP = 0x08, MASK = 0x10, OTHER = 0x20;
constexpr std::uint32_t ANY = 0xFFFFFFFF;

// The attribute's value: version 2, then each entry's tag and permissions
// (16 bits each) and id, little-endian.
inline build::Bytes acl(std::initializer_list<std::array<std::uint32_t, 3>> entries) {
    build::Bytes value{2, 0, 0, 0};
    for (const auto& [tag, permissions, id] : entries) {
        for (const std::uint32_t word : {tag | permissions << 16, id}) {
            for (int shift = 0; shift < 32; shift += 8) {
                value.push_back(static_cast<std::uint8_t>(word >> shift));
            }
        }
    }
    return value;
}

}  // namespace kvf::test
