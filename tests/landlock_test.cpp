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

TEST(Landlock, ConfinedProcessMakesImagesBeneathItsFolderAndNothingElse) {
    if (landlock::abi_version() == 0) {
        GTEST_SKIP() << "this kernel has no Landlock";
    }
    test::TempDir root;
    const test::fs::path inside = root.path / "work";
    test::fs::create_directory(inside);
    const std::string secret = (root.path / "secret").string();
    const std::string outside = (root.path / "outside.bin").string();
    close(open(secret.c_str(), O_WRONLY | O_CREAT, 0600));
    close(open((inside / "old.bin").c_str(), O_WRONLY | O_CREAT, 0600));

    int results[2];
    ASSERT_EQ(pipe(results), 0);
    const pid_t child = fork();
    if (child == 0) {
        if (chdir(inside.c_str()) != 0) {
            _exit(2);
        }
        confine_to_output_folder();
        // One character for each attempt: '+' where it was allowed, '-' where it was refused.
        std::string done;
        const auto attempt = [&done](bool allowed) { done += allowed ? '+' : '-'; };
        const char* why = nullptr;
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
    // Images made and replaced; nothing outside written or made, nothing read, made or run.
    EXPECT_EQ(std::string(done, static_cast<std::size_t>(got > 0 ? got : 0)), "++---------");
    EXPECT_FALSE(test::fs::exists(outside));
    EXPECT_EQ(test::fs::file_size(inside / "image.bin"), 5u);
}

}  // namespace
}  // namespace kvf
