// SPDX-License-Identifier: MIT
// The frame loop on inputs that only a program can make: one that fails
// partway (a socket whose peer closes with bytes unread resets the
// connection: the reader gets what was sent, then an error), and one left
// non-blocking by whoever opened it.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>
#include <tuple>

#include <gtest/gtest.h>

#include "captured_log.h"
#include "container_builder.h"
#include "kvf_unpack.h"

namespace kvf {
namespace {

using namespace kvf::build;

// Runs the tool's loop on `bytes` followed by a read error; returns the log and the status.
std::pair<std::string, int> unpack_failing_after(const Bytes& bytes) {
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, ends) != 0 ||
        write(ends[0], bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()) ||
        write(ends[1], "x", 1) != 1) {
        throw std::runtime_error("cannot make the socket");
    }
    close(ends[0]);  // with "x" unread: the reader's next read after `bytes` fails
    std::FILE* in = fdopen(ends[1], "rb");
    test::TempStream out;
    const int status = unpack_container(in, "sock", out.file, false, stderr);
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
    EXPECT_EQ(log, head +
                       "DWORD 1 = 00000001\nDWORD 2 = 00000002\nDWORD 3 = 00000003\nDWORD 4 = 00000004\n"
                       "DWORD 5 = 00000005\nKVF file length = 00000006\nKVF checksum (CRC-32) = 00000007\n" +
                       read_error);
    EXPECT_EQ(status, 1);
}

TEST(NonBlockingInput, IsWaitedForAsAnyStream) {
    Bytes in;
    append(in, progress(1));
    append(in, progress(2));
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    ASSERT_EQ(fcntl(ends[0], F_SETFL, fcntl(ends[0], F_GETFL) | O_NONBLOCK), 0);
    // The second frame comes later: the reader finds nothing ready (EAGAIN) and must wait.
    std::thread writer([&] {
        const bool sent = write(ends[1], in.data(), FRAME_SIZE + 20) == static_cast<ssize_t>(FRAME_SIZE + 20);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        const bool rest = write(ends[1], in.data() + FRAME_SIZE + 20, FRAME_SIZE - 20) == FRAME_SIZE - 20;
        close(ends[1]);
        EXPECT_TRUE(sent && rest);
    });
    std::FILE* stream = fdopen(ends[0], "rb");
    test::TempStream out;
    const int status = unpack_container(stream, "pipe", out.file, false, stderr);
    writer.join();
    std::fclose(stream);
    EXPECT_EQ(out.contents(),
              "0x00000000   : Update progress-bar to 1 %\n0x00000038   : Update progress-bar to 2 %\n"
              "0x00000070   : Unknown frame\n" +
                  test::DUMP_HEAD + "  ZERO LENGTH\n");
    EXPECT_EQ(status, 0);
}

}  // namespace
}  // namespace kvf
