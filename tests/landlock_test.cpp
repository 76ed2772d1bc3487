// SPDX-License-Identifier: MIT
// The confinement the tool puts itself under, shown in a child process
// confined to a folder of its own, as the tool confines itself to its
// working directory.
#include "landlock.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "platform.h"
#include "temp_files.h"

namespace kvf {
namespace {

TEST(Landlock, EachVersionHandlesTheRightsItKnowsAndNoMore) {
    constexpr std::uint64_t ABI_1 = 0x1FFF;  // execute to make-symlink
    constexpr std::uint64_t REFER = 1ULL << 13, TRUNCATE = 1ULL << 14, IOCTL_DEV = 1ULL << 15;
    constexpr std::uint64_t TCP = 0x3, SCOPES = 0x3;
    const struct {
        int abi;
        landlock::Handled handled;
    } cases[] = {
        {1, {ABI_1, 0, 0, 8}},
        {2, {ABI_1 | REFER, 0, 0, 8}},
        {3, {ABI_1 | REFER | TRUNCATE, 0, 0, 8}},
        {4, {ABI_1 | REFER | TRUNCATE, TCP, 0, 16}},
        {5, {ABI_1 | REFER | TRUNCATE | IOCTL_DEV, TCP, 0, 16}},
        {6, {ABI_1 | REFER | TRUNCATE | IOCTL_DEV, TCP, SCOPES, 24}},
        {7, {ABI_1 | REFER | TRUNCATE | IOCTL_DEV, TCP, SCOPES, 24}},
        {landlock::NEWEST_KNOWN_ABI + 5, {ABI_1 | REFER | TRUNCATE | IOCTL_DEV, TCP, SCOPES, 24}},
    };
    for (const auto& [abi, expected] : cases) {
        const landlock::Handled handled = landlock::handled_at(abi);
        EXPECT_EQ(handled.access_fs, expected.access_fs) << "ABI " << abi;
        EXPECT_EQ(handled.access_net, expected.access_net) << "ABI " << abi;
        EXPECT_EQ(handled.scoped, expected.scoped) << "ABI " << abi;
        EXPECT_EQ(handled.attr_size, expected.attr_size) << "ABI " << abi;
    }
}

TEST(Landlock, ConfinedProcessMakesImagesBeneathItsFolderAndNothingElse) {
    if (landlock::abi_version() == 0) {
        GTEST_SKIP() << "this kernel has no Landlock";
    }
    // Extracting, images are made and replaced; listing, not even that.
    // Either way nothing outside is written or made, nothing read, made,
    // truncated (from ABI 3) or run.
    const bool truncates = landlock::abi_version() < 3;
    const std::pair<Confinement, std::string> cases[] = {
        {Confinement::write_images, truncates ? "++---------+" : "++----------"},
        {Confinement::nothing, truncates ? "-----------+" : "------------"},
    };
    for (const auto& [confinement, expected] : cases) {
        test::TempDir root;
        const test::fs::path inside = root.path / "work";
        test::fs::create_directory(inside);
        const std::string secret = (root.path / "secret").string();
        const std::string outside = (root.path / "outside.bin").string();
        close(open(secret.c_str(), O_WRONLY | O_CREAT, 0600));
        close(open((inside / "old.bin").c_str(), O_WRONLY | O_CREAT, 0600));
        close(open((inside / "image.bin").c_str(), O_WRONLY | O_CREAT, 0600));

        int results[2];
        ASSERT_EQ(pipe(results), 0);
        const pid_t child = fork();
        if (child == 0) {
            const char* why = nullptr;
            if (chdir(inside.c_str()) != 0 || !confine(confinement, &why)) {
                _exit(2);
            }
            // One character for each attempt: '+' where it was allowed, '-' where it was refused.
            std::string done;
            const auto attempt = [&done](bool allowed) { done += allowed ? '+' : '-'; };
            std::FILE* image = create_image("image.bin", {}, &why);
            attempt(image != nullptr && std::fputs("bytes", image) >= 0 && std::fclose(image) == 0);
            attempt(create_image("old.bin", {}, &why) != nullptr);  // replaced
            attempt(open(outside.c_str(), O_WRONLY | O_CREAT, 0600) >= 0);
            attempt(open(secret.c_str(), O_WRONLY) >= 0);
            attempt(open(secret.c_str(), O_RDONLY) >= 0);
            attempt(open("image.bin", O_RDONLY) >= 0);
            attempt(mkdir("folder", 0700) == 0);
            attempt(symlink(secret.c_str(), "link") == 0);
            attempt(mkfifo("fifo", 0600) == 0);
            attempt(link("image.bin", "../hard") == 0);
            attempt(truncate("image.bin", 0) == 0);
            attempt(execl("/bin/true", "true", nullptr) == 0);
            _exit(write(results[1], done.data(), done.size()) == static_cast<ssize_t>(done.size()) ? 0 : 3);
        }
        close(results[1]);
        char done[64] = {};
        const ssize_t got = read(results[0], done, sizeof done - 1);
        close(results[0]);
        int status = 0;
        waitpid(child, &status, 0);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        EXPECT_EQ(std::string(done, static_cast<std::size_t>(got > 0 ? got : 0)), expected);
        EXPECT_FALSE(test::fs::exists(outside));
    }
}

}  // namespace
}  // namespace kvf
