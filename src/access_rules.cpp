// SPDX-License-Identifier: MIT
#include "access_rules.h"

namespace kvf {

namespace {

// The ACL attribute: a version word, then entries of a tag and permissions
// (16 bits each) and an id (32 bits), all little-endian.
constexpr unsigned ACL_VERSION = 2;
constexpr std::size_t ACL_HEADER_SIZE = 4;
constexpr std::size_t ACL_ENTRY_SIZE = 8;
constexpr std::size_t ACL_PERMISSIONS_OFFSET = 2;
constexpr unsigned ACL_GROUP_OBJ = 0x04;
constexpr unsigned ACL_MASK = 0x10;
constexpr unsigned ACL_OTHER = 0x20;
constexpr unsigned ACL_ALL = OTHER_BITS;  // read, write and execute

unsigned read_le16(const std::uint8_t* bytes) {
    return bytes[0] | static_cast<unsigned>(bytes[1]) << 8;
}

void write_le16(std::uint8_t* bytes, unsigned value) {
    bytes[0] = static_cast<std::uint8_t>(value);
    bytes[1] = static_cast<std::uint8_t>(value >> 8);
}

}  // namespace

unsigned without_group(unsigned mode) {
    const unsigned group = (mode & GROUP_BITS) >> 3;
    return (mode & OWNER_BITS) | (mode & OTHER_BITS & group);
}

bool acl_without_group(std::uint8_t* acl, std::size_t size) {
    if (size < ACL_HEADER_SIZE || (size - ACL_HEADER_SIZE) % ACL_ENTRY_SIZE != 0 || read_le16(acl) != ACL_VERSION ||
        read_le16(acl + 2) != 0) {
        return false;
    }
    std::uint8_t* group = nullptr;
    std::uint8_t* other = nullptr;
    unsigned mask = ACL_ALL;
    for (std::uint8_t* entry = acl + ACL_HEADER_SIZE; entry < acl + size; entry += ACL_ENTRY_SIZE) {
        const unsigned tag = read_le16(entry);
        group = tag == ACL_GROUP_OBJ ? entry + ACL_PERMISSIONS_OFFSET : group;
        other = tag == ACL_OTHER ? entry + ACL_PERMISSIONS_OFFSET : other;
        mask = tag == ACL_MASK ? read_le16(entry + ACL_PERMISSIONS_OFFSET) : mask;
    }
    if (group == nullptr || other == nullptr) {
        return false;
    }
    write_le16(other, read_le16(other) & read_le16(group) & mask);
    write_le16(group, 0);
    return true;
}

}  // namespace kvf
