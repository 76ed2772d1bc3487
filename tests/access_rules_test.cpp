// SPDX-License-Identifier: MIT
#include "access_rules.h"

#include <gtest/gtest.h>

#include "posix_acl.h"

namespace kvf {
namespace {

using namespace kvf::test;

TEST(AccessRules, TheOldGroupGainsNothingAsTheNewGroupOrAsOthers) {
    for (const auto& [mode, without] :
         {std::pair{0640U, 0600U}, {0646U, 0604U}, {0604U, 0600U}, {0752U, 0700U}, {0777U, 0707U}, {0000U, 0000U}}) {
        EXPECT_EQ(without_group(mode), without) << std::oct << mode;
    }
    const struct {
        build::Bytes acl;
        build::Bytes without;  // empty: no ACL, left as it was
    } acls[] = {
        {acl({{OWNER, 6, ANY}, {USER, 6, 65534}, {GROUP, 4, ANY}, {MASK, 6, ANY}, {OTHER, 6, ANY}}),
         acl({{OWNER, 6, ANY}, {USER, 6, 65534}, {GROUP, 0, ANY}, {MASK, 6, ANY}, {OTHER, 4, ANY}})},
        {acl({{OWNER, 6, ANY}, {GROUP, 5, ANY}, {OTHER, 7, ANY}}),
         acl({{OWNER, 6, ANY}, {GROUP, 0, ANY}, {OTHER, 5, ANY}})},
        {acl({{OWNER, 7, ANY}, {GROUP, 7, ANY}, {MASK, 1, ANY}, {OTHER, 7, ANY}}),
         acl({{OWNER, 7, ANY}, {GROUP, 0, ANY}, {MASK, 1, ANY}, {OTHER, 1, ANY}})},
        {acl({{OWNER, 6, ANY}, {GROUP, 4, ANY}}), {}},  // no entry for others
        {{1, 0, 0, 0}, {}},                             // another version
        {{2, 0, 0, 0, 1, 0}, {}},                       // an entry cut short
    };
    for (auto [value, without] : acls) {
        const build::Bytes before = value;
        EXPECT_EQ(acl_without_group(value.data(), value.size()), !without.empty());
        EXPECT_EQ(value, without.empty() ? before : without);
    }
}

}  // namespace
}  // namespace kvf
