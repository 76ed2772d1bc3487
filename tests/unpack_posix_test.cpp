// SPDX-License-Identifier: MIT
// The frame loop on inputs that only a program can make: one that fails
// partway (a socket whose peer closes with bytes unread resets the
// connection: the reader gets what was sent, then an error), and one left
// non-blocking by whoever opened it.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <thread>
#include <tuple>

#include <gtest/gtest.h>

#include "captured_log.h"
#include "container_builder.h"
#include "kvf_unpack.h"
#include "tool_runner.h"

namespace kvf {
namespace {

using namespace kvf::build;

// CPU time the calling thread has used, in seconds.
double thread_cpu_seconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// Runs the tool's loop on `bytes` followed by a read error; returns the log and the status.
std::pair<std::string, int> unpack_failing_after(const Bytes& bytes, LogFormat format = LogFormat::text) {
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, ends) != 0 ||
        write(ends[0], bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()) ||
        write(ends[1], "x", 1) != 1) {
        throw std::runtime_error("cannot make the socket");
    }
    close(ends[0]);  // with "x" unread: the reader's next read after `bytes` fails
    std::FILE* in = fdopen(ends[1], "rb");
    test::TempStream out;
    const int status = unpack_container(in, "sock", out.file, false, stderr, {format});
    std::fclose(in);
    return {out.contents(), status};
}

TEST(ReadError, DuringTheTrailerEndsWithTheReadErrorLine) {
    Bytes in;
    append(in, progress(1));
    append(in, adminend());
    const std::string head =
        "0x00000000   : Update progress-bar to 1 %\n"
        "0x00000038   : 'ADMINEND' keyword found\n";
    const std::string read_error = "0x00000038   : ERROR reading inputfile: sock\n";

    Bytes cut_short = in;
    append(cut_short, Bytes{'A', 'B', 'C'});
    auto [log, status] = unpack_failing_after(cut_short);
    EXPECT_EQ(log, head + "0x00000038   : Unexpected trailer bytes found after ADMINEND:\n" + test::DUMP_HEAD +
                       "  00000000  41 42 43" + std::string(13 * 3, ' ') + "  ABC\n" + read_error);
    EXPECT_EQ(status, 1);

    // The whole trailer arrived; the read that looks for a byte after it fails.
    Bytes whole = in;
    append(whole, trailer({1, 2, 3, 4, 5, 6, 7}));
    std::tie(log, status) = unpack_failing_after(whole);
    EXPECT_EQ(log, head + test::trailer_lines(whole) + read_error);
    EXPECT_EQ(status, 1);
    // Its event comes after the trailer's, at the byte after it.
    std::tie(log, status) = unpack_failing_after(whole, LogFormat::json);
    EXPECT_NE(log.find("{\"event\":\"trailer\",\"offset\":112,"), std::string::npos) << log;
    EXPECT_NE(log.find("{\"event\":\"error\",\"offset\":140,\"error\":\"read\""), std::string::npos) << log;
}

TEST(NonBlockingInput, IsWaitedForAsAnyStreamAsleep) {
    Bytes in;
    append(in, progress(1));
    append(in, progress(2));
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    ASSERT_EQ(fcntl(ends[0], F_SETFL, fcntl(ends[0], F_GETFL) | O_NONBLOCK), 0);
    // The second frame comes a second later: the reader finds nothing ready
    // (EAGAIN) and must wait, asleep.
    std::thread writer([&] {
        const bool sent = write(ends[1], in.data(), FRAME_SIZE + 20) == static_cast<ssize_t>(FRAME_SIZE + 20);
        std::this_thread::sleep_for(std::chrono::seconds(1));
        const bool rest = write(ends[1], in.data() + FRAME_SIZE + 20, FRAME_SIZE - 20) == FRAME_SIZE - 20;
        close(ends[1]);
        EXPECT_TRUE(sent && rest);
    });
    std::FILE* stream = fdopen(ends[0], "rb");
    test::TempStream out;
    const double cpu_before = thread_cpu_seconds();
    const int status = unpack_container(stream, "pipe", out.file, false, stderr);
    const double cpu = thread_cpu_seconds() - cpu_before;
    writer.join();
    std::fclose(stream);
    EXPECT_EQ(out.contents(),
              "0x00000000   : Update progress-bar to 1 %\n0x00000038   : Update progress-bar to 2 %\n"
              "0x00000070   : Unknown frame\n" +
                  test::ZERO_DUMP);
    EXPECT_EQ(status, 0);
    EXPECT_LT(cpu, 0.25) << "the reader spun while it waited";
}

TEST(LogWithoutAFile, NeverLetsAnImageReplaceAFile) {
    // A log stream with no file behind it cannot be told apart from the
    // file at an image's name, which is kept.
    test::TempDir dir;
    const auto before = std::filesystem::current_path();
    std::filesystem::current_path(dir.path);
    test::write_bytes(dir.path / "_00000100.bin", pattern(5, 1));
    test::TempStream container;
    std::fwrite(flash(0x100, pattern(3, 2)).data(), 1, FRAME_SIZE, container.file);
    std::rewind(container.file);
    char* text = nullptr;
    std::size_t size = 0;
    std::FILE* log = open_memstream(&text, &size);
    const int status = unpack_container(container.file, "in.kvf", log, false, stderr);
    std::fclose(log);
    std::filesystem::current_path(before);
    EXPECT_EQ(std::string(text, size), "0x00000000   : ERROR creating outputfile: _00000100.bin\n");
    std::free(text);
    EXPECT_EQ(status, 1);
    EXPECT_TRUE(test::has_bytes(dir.path / "_00000100.bin", pattern(5, 1)));
}

}  // namespace
}  // namespace kvf
