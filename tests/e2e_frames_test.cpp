// SPDX-License-Identifier: MIT
// The log and exit status of the real binary, frame type by frame type.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <thread>

#include "captured_log.h"
#ifdef __linux__
#include "landlock.h"
#endif
#include "shared_cases.h"
#include "terminal_posix.h"
#include "tool_runner.h"

namespace kvf::test {
namespace {

using namespace kvf::build;

// Whether the running kernel confines the tool (Linux with Landlock).
bool kernel_confines() {
#ifdef __linux__
    return landlock::abi_version() > 0;
#else
    return false;
#endif
}

class FrameLog : public testing::Test {
protected:
    TempDir dir;
    RunResult unpack(const Bytes& container) {
        write_bytes(dir.path / "in.kvf", container);
        return run_tool(dir.path, {"in.kvf"});
    }
};

TEST_F(FrameLog, CommandLine) {
    // A container named like an option; its image shows where images go.
    Bytes container;
    append(container, progress(4));
    append(container, flash(0x100, pattern(3, 1)));
    write_bytes(dir.path / "--help", container);
    fs::create_directory(dir.path / "existing");
    write_bytes(dir.path / "a file", {});
    const std::string usage = "Usage: kvf_unpack FILE\n";
    const std::string unpacked =
        "0x00000000   : Update progress-bar to 4 %\n"
        "0x00000038   : New Flashdata found, create new file for it: _00000100.bin\n"
        "0x00000070   : Unknown frame\n" +
        ZERO_DUMP;
    // What standard error says of this container, which has no ADMINEND frame, read as `path`.
    const auto cut_short = [](const std::string& path) {
        return "kvf_unpack: " + path +
               ": the container ends at 0x00000070 without an ADMINEND frame and trailer (cut short?)\n";
    };
    const std::string try_help = ". Try 'kvf_unpack --help'.\n";  // the end of a usage error's reason
    const struct {
        std::vector<std::string> args;
        std::string shell;  // how a shell starts the tool ("$0" "$@"), if not directly
        std::string log;    // the whole log, or its first line when `whole` is false
        bool whole;
        int status;
        std::string errors;  // standard error, whole
        std::string image;   // where the image is left, if anywhere
    } cases[] = {
        {{},
         "",
         usage,
         true,
         1,
         "kvf_unpack: command line: no FILE given (kvf_unpack [OPTION]... FILE)" + try_help,
         ""},
        {{"--help"}, "", "Usage: kvf_unpack [OPTION]... FILE\n", false, 0, "", ""},
        {{"--version"}, "", "kvf_unpack " KVF_VERSION "\n", false, 0, "", ""},
        {{"-x"},
         "",
         usage,
         true,
         1,
         "kvf_unpack: -x: unknown option (a file of this name is given as ./NAME or after --)" + try_help,
         ""},
        {{"missing.kvf"},
         "",
         "File not found: missing.kvf\n",
         true,
         1,
         "kvf_unpack: missing.kvf: No such file or directory\n",
         ""},
        {{"./--help"}, "", unpacked, true, 0, cut_short("./--help"), "_00000100.bin"},
        {{"-"}, "cat ./--help | exec \"$0\" \"$@\"", unpacked, true, 0, cut_short("-"), "_00000100.bin"},
        {{"-"}, "exec \"$0\" \"$@\" <&-", "File not found: -\n", true, 1, "kvf_unpack: -: Bad file descriptor\n", ""},
        {{"-C", "new", "./--help"}, "", unpacked, true, 0, cut_short("./--help"), "new/_00000100.bin"},
        {{"-t", "-C", "new", "./--help"}, "", "00000100 3 _00000100.bin\n", true, 0, cut_short("./--help"), ""},
        {{"--directory", "existing", "./--help"},
         "",
         unpacked,
         true,
         0,
         cut_short("./--help"),
         "existing/_00000100.bin"},
        {{"-C", "a file", "./--help"},
         "",
         "ERROR creating output directory: a file\n",
         true,
         1,
         "kvf_unpack: a file: Not a directory\n",
         ""},
        {{"-C", "no/such", "./--help"},
         "",
         "ERROR creating output directory: no/such\n",
         true,
         1,
         "kvf_unpack: no/such: No such file or directory\n",
         ""},
        {{"-C", "new", "missing.kvf"},  // no folder made for it
         "",
         "File not found: missing.kvf\n",
         true,
         1,
         "kvf_unpack: missing.kvf: No such file or directory\n",
         ""},
        // The reasons would be written into the container: they go to the log instead, and nothing into it.
        {{"./--help"},
         "exec \"$0\" \"$@\" 2>> ./--help",
         "kvf_unpack: ./--help: standard error is this container; the reasons would be written into it\n",
         true,
         1,
         "",
         ""},
        // With few descriptors left, a kernel that has Landlock cannot confine the tool: nothing runs.
        {{"./--help"},
         "ulimit -n 5; exec \"$0\" \"$@\"",
         "",
         true,
         1,
         "kvf_unpack: .: cannot confine the tool to this folder: Too many open files\n",
         ""},
    };
    for (const auto& [args, shell, log, whole, status, errors, image] : cases) {
        std::string shown;
        for (const std::string& arg : args) {
            shown += " " + arg;
        }
        SCOPED_TRACE("kvf_unpack" + shown + (shell.empty() ? "" : ", started by: " + shell));
        if (shell.starts_with("ulimit") && !kernel_confines()) {
            continue;  // only a kernel with Landlock has a confinement to fail; an emulator needs descriptors
        }
        fs::remove_all(dir.path / "new");
        fs::remove(dir.path / "existing" / "_00000100.bin");
        fs::remove(dir.path / "_00000100.bin");
        std::vector<std::string> argv{"/bin/sh", "-c", shell, tool_path()};
        argv.insert(argv.end(), args.begin(), args.end());
        const RunResult result = shell.empty() ? run_tool(dir.path, args) : run(dir.path, argv);
        EXPECT_TRUE(same_log(whole ? result.log : result.log.substr(0, result.log.find('\n') + 1), log));
        EXPECT_EQ(result.status, status);
        EXPECT_EQ(result.errors, errors);
        for (const char* place : {"_00000100.bin", "existing/_00000100.bin", "new/_00000100.bin"}) {
            EXPECT_EQ(fs::exists(dir.path / place), image == place) << place;
        }
        EXPECT_EQ(fs::exists(dir.path / "new"), image.starts_with("new/"));
        EXPECT_TRUE(has_bytes(dir.path / "--help", container));
    }
    // A folder the tool makes is as any folder the user makes: 0777 less the umask.
    run(dir.path, {"/bin/sh", "-c", "umask 027; exec \"$0\" -C new ./--help", tool_path()});
    EXPECT_EQ(fs::status(dir.path / "new").permissions(), fs::perms(0750));
    // Help lists the options and says where the format and the manual are;
    // the version names the licence.
    const std::string help = run_tool(dir.path, {"--help"}).log;
    for (const char* part : {"-C DIR, --directory=DIR", "--version", "FILE as -", "format.md", "man kvf_unpack"}) {
        EXPECT_NE(help.find(part), std::string::npos) << part << " in\n" << help;
    }
    EXPECT_NE(run_tool(dir.path, {"--version"}).log.find("License MIT"), std::string::npos);
}

TEST_F(FrameLog, EveryLoggedFrameTypeAndTrailer) {
    Bytes in;
    append(in, erase(0x00010000, 0x12345678));
    append(in, text("Boot Loader  V1.2", 7, 0xFFFFFFFF));
    append(in, frame(0x00, 1, 2));  // unrecognised types leave no line
    append(in, frame(0x99, 1, 2));
    append(in, dummy());
    append(in, progress(50));
    append(in, progress(0xFFFFFFFF));
    append(in, frame(FRAME_ADMINEND, 0x11111111, 0x22222222, pattern(47, 1)));
    append(in, trailer({1, 2, 3, 0xA0B0C0D0, 5, 0x1CC, 0xDEADBEEF}));
    EXPECT_EQ(trailer_lines(in),
              "DWORD 1 = 00000001\nDWORD 2 = 00000002\nDWORD 3 = 00000003\nDWORD 4 = A0B0C0D0\nDWORD 5 = 00000005\n"
              "KVF file length = 000001CC\nKVF checksum (CRC-32) = DEADBEEF\n");
    const RunResult result = unpack(in);
    EXPECT_TRUE(same_log(result.log,
                         "0x00000000   : Erase Flash (00010000, 12345678)\n"
                         "0x00000038   : Display text (00000007, FFFFFFFF): 'Boot Loader  V1.2'\n"
                         "0x000000E0   : Dummy frame found (payload is all 0xFF)\n"
                         "0x00000118   : Update progress-bar to 50 %\n"
                         "0x00000150   : Update progress-bar to -1 %\n"
                         "0x00000188   : 'ADMINEND' keyword found\n" +
                             trailer_lines(in)));
    EXPECT_EQ(result.status, 0);
}

TEST_F(FrameLog, DisplayTextWithoutNulIsTakenWhole) {
    Bytes in;
    append(in, frame(FRAME_DISPLAY_TEXT, 0, 0, {}, 'x'));
    append(in, erase(0, 0));
    const RunResult result = unpack(in);
    EXPECT_TRUE(same_log(result.log, "0x00000000   : Display text (00000000, 00000000): '" + std::string(47, 'x') +
                                         "'\n0x00000038   : Erase Flash (00000000, 00000000)\n"
                                         "0x00000070   : Unknown frame\n" +
                                         ZERO_DUMP));
}

TEST_F(FrameLog, ContainerCutShortEndsInItsUnknownFrameWithANoticeOrFailsWhenStrict) {
    // Empty; whole frames of unrecognised types and no ADMINEND; a last frame
    // cut short. The log is the same either way; standard error says where
    // the container ends: a notice (status 0), or with --strict a failure.
    Bytes unrecognised;
    append(unrecognised, frame(0x13, 0, 0));
    append(unrecognised, frame(0xFF, 0, 0));
    Bytes short_frame;
    append(short_frame, progress(1));
    for (std::uint8_t b = 0x1E; b < 0x1E + 19; ++b) {
        short_frame.push_back(b);
    }
    const struct {
        const char* what;
        const Bytes& container;
        std::string log;
        std::string end;
    } cases[] = {
        {"empty", {}, "0x00000000   : Unknown frame\n" + ZERO_DUMP, "0x00000000"},
        {"no ADMINEND", unrecognised, "0x00000070   : Unknown frame\n" + ZERO_DUMP, "0x00000070"},
        {"cut inside a frame", short_frame,
         "0x00000000   : Update progress-bar to 1 %\n"
         "0x00000038   : Unknown frame\n" +
             DUMP_HEAD +
             "  00000000  1E 1F 20 21 22 23 24 25 26 27 28 29 2A 2B 2C 2D  .. !\"#$%&'()*+,-\n"
             "  00000010  2E 2F 30                                         ./0\n",
         "0x0000004B"},
    };
    for (const auto& [what, container, log, end] : cases) {
        SCOPED_TRACE(what);
        write_bytes(dir.path / "in.kvf", container);
        const std::string reason =
            "in.kvf: the container ends at " + end + " without an ADMINEND frame and trailer (cut short?)";
        for (const bool strict : {false, true}) {
            const RunResult result = strict ? run_tool(dir.path, {"--strict", "in.kvf"}) : unpack(container);
            EXPECT_TRUE(same_log(result.log, log));
            EXPECT_EQ(result.status, strict ? 1 : 0);
            EXPECT_EQ(result.errors, "kvf_unpack: " + reason + "\n");
            const RunResult json = run_tool(dir.path, {"--json", strict ? "--strict" : "--json", "in.kvf"});
            const std::string event = std::string(strict ? "\"error\"" : "\"notice\"") +
                                      ":\"incomplete\",\"path\":\"in.kvf\",\"reason\":\"" + reason + "\"}\n";
            EXPECT_NE(json.log.find(event), std::string::npos) << json.log;
            EXPECT_EQ(json.status, strict ? 1 : 0);
        }
    }
}

// What a terminal shows of a run of the tool with `args` in `dir`, started
// by the shell command `start`, in which "$0" is the tool and TTY the
// terminal; `result` gets the rest, and `shown_so_far` sees what the
// terminal shows as it grows, while the tool runs.
std::string shown_on_terminal(const fs::path& dir, const std::vector<std::string>& args,
                              std::string start = "exec \"$0\" \"$@\" > TTY", RunResult* result = nullptr,
                              const std::function<void(const std::string&)>& shown_so_far = {}) {
    Terminal terminal;
    start.replace(start.find("TTY"), 3, terminal.path);
    std::vector<std::string> argv{"/bin/sh", "-c", start, tool_path()};
    argv.insert(argv.end(), args.begin(), args.end());
    std::thread tool([&] {
        const RunResult ran = run(dir, argv);
        if (result != nullptr) {
            *result = ran;
        }
        terminal.close_side();
    });
    std::string shown = terminal.read_all(shown_so_far);
    tool.join();
    return shown;
}

TEST_F(FrameLog, BadDummyByteStopsWithoutLineBreak) {
    // Only the first bad byte counts; values below 0x10 keep two digits.
    const struct {
        std::vector<std::pair<std::size_t, std::uint8_t>> bad;
        std::string message;
        std::string reason;  // on standard error
    } cases[] = {
        {{{3, 0x12}, {7, 0x00}}, "#3 is 12", "holds 12 at byte 3"},
        {{{5, 0x00}}, "#5 is 00", "holds 00 at byte 5"},
        {{{1, 0x0F}}, "#1 is 0F", "holds 0F at byte 1"},
        {{{55, 0xFE}}, "#55 is FE", "holds FE at byte 55"},
    };
    for (const auto& [bad, message, reason] : cases) {
        SCOPED_TRACE(message);
        Bytes in;
        append(in, dummy());
        append(in, dummy());
        for (const auto& [index, value] : bad) {
            in[FRAME_SIZE + index] = value;
        }
        append(in, erase(0, 0));
        const RunResult result = unpack(in);
        EXPECT_TRUE(same_log(result.log,
                             "0x00000000   : Dummy frame found (payload is all 0xFF)\n"
                             "0x00000038   : ERROR: Expected all framedata to be 0xFF but " +
                                 message));
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.errors, "kvf_unpack: in.kvf: the dummy frame at 0x00000038 " + reason + ", not FF\n");
    }
    // A terminal gets the line break, so that the reason and the prompt start lines of their own.
    const std::string shown = shown_on_terminal(dir.path, {"in.kvf"}, "exec \"$0\" \"$@\" > TTY 2>&1");
    EXPECT_TRUE(
        shown.ends_with("#55 is FE\nkvf_unpack: in.kvf: the dummy frame at 0x00000038 holds FE at byte 55, "
                        "not FF\n"))
        << shown;
}

TEST_F(FrameLog, TrailerOfWrongSizeIsDumpedAndFails) {
    // Past 28 bytes only the one byte that shows the trailer is too long is read and shown.
    for (const std::size_t size : {0, 27, 29, 40}) {
        SCOPED_TRACE("trailer of " + std::to_string(size) + " bytes");
        Bytes in;
        append(in, progress(2));
        append(in, adminend());
        for (std::size_t i = 0; i < size; ++i) {
            in.push_back(static_cast<std::uint8_t>('a' + i % 26));
        }
        std::string dump = ZERO_DUMP;
        if (size == 27) {
            dump = DUMP_HEAD +
                   "  00000000  61 62 63 64 65 66 67 68 69 6A 6B 6C 6D 6E 6F 70  abcdefghijklmnop\n"
                   "  00000010  71 72 73 74 75 76 77 78 79 7A 61                 qrstuvwxyza\n";
        } else if (size > 28) {
            dump = DUMP_HEAD +
                   "  00000000  61 62 63 64 65 66 67 68 69 6A 6B 6C 6D 6E 6F 70  abcdefghijklmnop\n"
                   "  00000010  71 72 73 74 75 76 77 78 79 7A 61 62 63           qrstuvwxyzabc\n";
        }
        const RunResult result = unpack(in);
        EXPECT_TRUE(same_log(result.log,
                             "0x00000000   : Update progress-bar to 2 %\n"
                             "0x00000038   : 'ADMINEND' keyword found\n"
                             "0x00000038   : Unexpected trailer bytes found after ADMINEND:\n" +
                                 dump));
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.errors,
                  size > 28
                      ? "kvf_unpack: in.kvf: more bytes follow the trailer after the ADMINEND frame at 0x00000038\n"
                      : "kvf_unpack: in.kvf: the trailer after the ADMINEND frame at 0x00000038 holds " +
                            std::to_string(size) + " bytes, not 28\n");
    }
}

TEST_F(FrameLog, VerifyChecksTheTrailersLengthAndEachCoverageOfItsChecksum) {
    // Frames, then ADMINEND and a trailer whose checksum is the CRC-32 of one
    // coverage, or of none; its length right or one off; or no trailer at all.
    Bytes frames;
    append(frames, text("A"));
    append(frames, flash(0x100, pattern(10, 1)));
    append(frames, progress(5));
    append(frames, flash(0x10A, pattern(5, 2)));
    const Bytes data = cat(pattern(10, 1), pattern(5, 2));
    Bytes before_trailer = frames;
    append(before_trailer, adminend());
    const auto length = static_cast<std::uint32_t>(before_trailer.size() + TRAILER_SIZE);
    const auto words = [](std::uint32_t length_word) {  // the trailer up to its checksum
        const TrailerBytes bytes = trailer({1, 2, 3, 4, 5, length_word, 0});
        return Bytes(bytes.begin(), bytes.end() - 4);
    };
    const auto hex8 = [](std::uint32_t value) {
        char text[9];
        (void)std::snprintf(text, sizeof text, "%08X", value);
        return std::string(text);
    };
    const std::string head =
        "0x00000000   : Display text (00000000, 00000000): 'A'\n"
        "0x00000038   : New Flashdata found, create new file for it: a_00000100.bin\n"
        "0x00000070   : Update progress-bar to 5 %\n"
        "0x000000E0   : 'ADMINEND' keyword found\n";
    const std::string matches =
        "KVF file length matches the bytes read (00000134)\nKVF checksum matches the CRC-32 of ";
    const struct {
        const char* what;
        std::uint32_t length_word;
        std::uint32_t checksum;
        std::string lines;    // after the trailer's
        std::string errors;   // what standard error ends with
        const char* matched;  // the verify event's
    } cases[] = {
        {"before the trailer", length, crc32(0, before_trailer), matches + "every byte before the trailer\n", "",
         "\"before_trailer\""},
        {"before the checksum", length, crc32(0, cat(before_trailer, words(length))),
         matches + "every byte before the checksum word\n", "", "\"before_checksum\""},
        {"before ADMINEND", length, crc32(0, frames), matches + "every byte before the ADMINEND frame\n", "",
         "\"before_adminend\""},
        {"flash data", length, crc32(0, data), matches + "the flash data bytes in file order\n", "", "\"flash_data\""},
        {"none", length, crc32(0, data) + 1,
         "KVF file length matches the bytes read (00000134)\n"
         "KVF checksum not verified: the CRC-32 of none of the bytes tried\n",
         "in.kvf: the trailer's checksum " + hex8(crc32(0, data) + 1) +
             " is the CRC-32 of none of the bytes tried: not verified\n",
         "null"},
        {"length one off", length + 1, crc32(0, before_trailer),
         "KVF file length does not match the bytes read (00000134)\nKVF checksum matches the CRC-32 of every byte "
         "before the trailer\n",
         "in.kvf: the trailer's file length 00000135 is not the 00000134 bytes read\n", "\"before_trailer\""},
    };
    for (const auto& [what, length_word, checksum, lines, errors, matched] : cases) {
        SCOPED_TRACE(what);
        Bytes in = before_trailer;
        append(in, trailer({1, 2, 3, 4, 5, length_word, checksum}));
        write_bytes(dir.path / "in.kvf", in);
        const int status = errors.empty() ? 0 : 1;
        const RunResult result = run_tool(dir.path, {"--verify", "in.kvf"});
        EXPECT_TRUE(same_log(result.log, head + trailer_lines(in) + lines));
        EXPECT_EQ(result.status, status);
        EXPECT_TRUE(result.errors.ends_with(errors)) << result.errors;
        // The same from standard input, listed: the trailer's lines and the same verdict.
        const RunResult listed = run(dir.path, {"/bin/sh", "-c", "exec \"$0\" -t --verify - < in.kvf", tool_path()});
        EXPECT_EQ(listed.log, "00000100 15 a_00000100.bin\n" + trailer_lines(in) + lines);
        EXPECT_EQ(listed.status, status);
        const RunResult json = run_tool(dir.path, {"--json", "--verify", "-t", "in.kvf"});
        EXPECT_NE(json.log.find(std::string(",\"matched\":") + matched + "}\n"), std::string::npos) << json.log;
        EXPECT_EQ(json.status, status);
    }
    // Without --verify nothing of it is shown; without a trailer there is nothing to verify.
    EXPECT_TRUE(
        same_log(unpack(cat(before_trailer, trailer({}))).log, head + trailer_lines(cat(before_trailer, trailer({})))));
    write_bytes(dir.path / "in.kvf", frames);
    const RunResult cut = run_tool(dir.path, {"--verify", "in.kvf"});
    EXPECT_EQ(cut.status, 1);
    EXPECT_TRUE(cut.log.ends_with("KVF file length and checksum not verified: no trailer\n")) << cut.log;
    EXPECT_EQ(cut.errors, "kvf_unpack: in.kvf: no trailer to verify: the container ends at 0x000000E0\n");
}

TEST_F(FrameLog, UnreadableInputEndsWithReadError) {
    fs::create_directory(dir.path / "folder");
    const RunResult result = run_tool(dir.path, {"folder"});
    EXPECT_TRUE(same_log(
        result.log, "0x00000000   : Unknown frame\n" + ZERO_DUMP + "0x00000000   : ERROR reading inputfile: folder\n"));
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.errors, "kvf_unpack: folder: Is a directory\n");
}

TEST_F(FrameLog, ReadErrorNamesALongPathWhole) {
    const std::string level(200, 'd');
    const std::string path = level + "/" + level + "/" + level;
    fs::create_directories(dir.path / path);
    const RunResult result = run_tool(dir.path, {path});
    EXPECT_TRUE(same_log(result.log, "0x00000000   : Unknown frame\n" + ZERO_DUMP +
                                         "0x00000000   : ERROR reading inputfile: " + path + "\n"));
    EXPECT_EQ(result.status, 1);
}

TEST_F(FrameLog, OffsetsPastFourGiBKeepCounting) {
    make_container_past_4_gib(dir.path / "big.kvf");
    // Not under a wrapper such as valgrind: 77 million frames.
    const RunResult result = run(dir.path, {tool_path(), "big.kvf"});
    EXPECT_TRUE(same_log(result.log, LOG_PAST_4_GIB));
    EXPECT_EQ(result.status, 0);
}

TEST_F(FrameLog, OffsetsFromAPipeCountTheBytesRead) {
    Bytes in;
    append(in, erase(1, 2));
    append(in, progress(3));
    in.push_back(0x41);
    write_bytes(dir.path / "in.kvf", in);
    const RunResult result = run(dir.path, {"/bin/sh", "-c", "cat in.kvf | " + tool_path() + " /dev/stdin"});
    EXPECT_TRUE(same_log(result.log,
                         "0x00000000   : Erase Flash (00000001, 00000002)\n"
                         "0x00000038   : Update progress-bar to 3 %\n"
                         "0x00000070   : Unknown frame\n" +
                             DUMP_HEAD + "  00000000  41                                               A\n"));
    EXPECT_EQ(result.status, 0);
}

// What the tool writes to a pipe left non-blocking by whoever made it, read
// slowly, so that the pipe is often full; its exit status in `status`.
std::string read_slowly_from_non_blocking_pipe(const fs::path& dir, const std::vector<std::string>& args, int& status) {
    int ends[2];
    if (pipe(ends) != 0 || fcntl(ends[1], F_SETFL, fcntl(ends[1], F_GETFL) | O_NONBLOCK) != 0) {
        throw std::runtime_error("cannot make the pipe");
    }
    std::string tool = tool_path();
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(ends[1], STDOUT_FILENO);
        close(ends[0]);
        close(ends[1]);
        if (chdir(dir.c_str()) != 0) {
            _exit(126);
        }
        std::vector<char*> argv{tool.data()};
        for (const std::string& arg : args) {
            argv.push_back(const_cast<char*>(arg.c_str()));
        }
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(ends[1]);
    std::string got;
    char chunk[4096];
    for (ssize_t n; (n = read(ends[0], chunk, sizeof chunk)) > 0;) {
        got.append(chunk, static_cast<std::size_t>(n));
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    close(ends[0]);
    int wait_status = 0;
    waitpid(pid, &wait_status, 0);
    status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : -1;
    return got;
}

TEST_F(FrameLog, LogToANonBlockingPipeIsWaitedForAndWhole) {
    // Logs of several hundred KiB in every format: progress frames, and for
    // the listing thousands of runs (a listing makes no file).
    Bytes frames;
    for (std::uint32_t i = 0; i < 10000; ++i) {
        append(frames, progress(i));
    }
    close_container(frames);
    write_bytes(dir.path / "frames.kvf", frames);
    Bytes runs;
    for (std::uint32_t i = 0; i < 3000; ++i) {
        append(runs, flash(i * 0x1000, pattern(47, i)));
    }
    close_container(runs);
    write_bytes(dir.path / "runs.kvf", runs);
    const std::vector<std::string> cases[] = {{"frames.kvf"}, {"--json", "frames.kvf"}, {"-t", "runs.kvf"}};
    for (const std::vector<std::string>& args : cases) {
        SCOPED_TRACE(args.front());
        const RunResult blocking = run_tool(dir.path, args);
        int status = -1;
        EXPECT_TRUE(same_log(read_slowly_from_non_blocking_pipe(dir.path, args, status), blocking.log));
        EXPECT_EQ(status, 0);
        EXPECT_GT(blocking.log.size(), std::size_t{64} * 1024);
    }
}

TEST_F(FrameLog, UnwritableLogFailsTheRunWithOneLineOnStandardError) {
    // A log that ends in the final flush, one written out in pieces long
    // before the end, one whose reader leaves after the first line, and
    // standard input and output closed: no file the tool opens takes their
    // place, and the image is made whole. A log that would be written into
    // the container is not written at all.
    const std::string full = "error writing the log to standard output: No space left on device";
    const struct {
        const char* redirect;
        std::size_t frames;
        std::string reason;
        bool image;  // made whole
    } cases[] = {{"> /dev/full", 1, full, true},
                 {"> /dev/full", 5000, full, true},
                 {"| head -1 > /dev/null", 5000, "error writing the log to standard output: Broken pipe", true},
                 {"<&- >&-", 5000, "error writing the log to standard output: Bad file descriptor", true},
                 {">> in.kvf", 5000, "in.kvf: standard output is this container; the log would overwrite it", false}};
    for (const auto& [redirect, frames, reason, image] : cases) {
        SCOPED_TRACE(std::string(redirect) + ", " + std::to_string(frames) + " progress frames");
        fs::remove(dir.path / "_00000100.bin");
        Bytes in;
        append(in, flash(0x100, pattern(3, 1)));
        for (std::size_t i = 0; i < frames; ++i) {
            append(in, progress(3));
        }
        close_container(in);
        write_bytes(dir.path / "in.kvf", in);
        // The tool's status, not head's, and 141 if a signal killed it.
        const RunResult result =
            run(dir.path, {"/bin/bash", "-c", std::string("set -o pipefail; \"$0\" in.kvf ") + redirect, tool_path()});
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.errors, "kvf_unpack: " + reason + "\n");
        EXPECT_TRUE(has_bytes(dir.path / "in.kvf", in));
        EXPECT_EQ(fs::exists(dir.path / "_00000100.bin"), image);
        if (image) {
            EXPECT_TRUE(has_bytes(dir.path / "_00000100.bin", pattern(3, 1)));
        }
    }
}

TEST_F(FrameLog, TerminalIsShownNothingFromOutsideThatItCouldActOn) {
    // Clears the screen, retitles the window and forges a line of its own;
    // C1 CSI raw and in UTF-8, a right-to-left override, a stray byte, next
    // to text that must survive; an image name with DEL.
    const std::string crafted = "\x1B[2J\x1B]0;x\x07\r\n0x00000038   : forged\x7F\x01\x1F~";
    const std::string foreign =
        "\x9B"
        "2J\xC2\x9B"
        "2J\xE2\x80\xAE"
        "exe.txt \xD0\x96 \xC3\xA9 \xE5\x9B\xBA\xFF";
    Bytes in;
    append(in, text(crafted));
    append(in, text(foreign));
    append(in, text("Del\x7F"));
    append(in, flash(0x100, pattern(2, 1)));
    // No NUL, its last character cut short, though the next byte would end it.
    const std::string cut = std::string(46, 'x') + "\xC3";
    append(in, text(cut));
    in.push_back(0xA9);  // hex dumps show such bytes as dots everywhere
    const std::string tail =
        "0x00000118   : Unknown frame\n" + DUMP_HEAD + "  00000000  A9" + std::string(15 * 3, ' ') + "  .\n";
    const RunResult piped = unpack(in);
    EXPECT_TRUE(
        same_log(piped.log, "0x00000000   : Display text (00000000, 00000000): '" + crafted +
                                "'\n0x00000038   : Display text (00000000, 00000000): '" + foreign +
                                "'\n0x00000070   : Display text (00000000, 00000000): 'Del\x7F'\n"
                                "0x000000A8   : New Flashdata found, create new file for it: del\x7F_00000100.bin\n"
                                "0x000000E0   : Display text (00000000, 00000000): '" +
                                cut + "'\n" + tail));
    EXPECT_TRUE(
        same_log(shown_on_terminal(dir.path, {"in.kvf"}),
                 "0x00000000   : Display text (00000000, 00000000): '?[2J?]0;x???0x00000038   : forged???~'\n"
                 "0x00000038   : Display text (00000000, 00000000): '?2J?2J?exe.txt \xD0\x96 \xC3\xA9 \xE5\x9B\xBA?'\n"
                 "0x00000070   : Display text (00000000, 00000000): 'Del?'\n"
                 "0x000000A8   : New Flashdata found, create new file for it: del?_00000100.bin\n"
                 "0x000000E0   : Display text (00000000, 00000000): '" +
                     std::string(46, 'x') + "?'\n" + tail));
    EXPECT_TRUE(has_bytes(dir.path / "del\x7F_00000100.bin", pattern(2, 1)));
    EXPECT_NE(run_tool(dir.path, {"--json", "in.kvf"}).log.find("7878C3\"}"), std::string::npos);  // its text_hex

    // Paths, as a loop over incoming/* meets them.
    EXPECT_TRUE(same_log(shown_on_terminal(dir.path, {"\x1B]0;owned\x07.kvf"}), "File not found: ?]0;owned?.kvf\n"));
    fs::create_directory(dir.path / "\x1B[31mred");
    EXPECT_TRUE(
        same_log(shown_on_terminal(dir.path, {"\x1B[31mred"}),
                 "0x00000000   : Unknown frame\n" + ZERO_DUMP + "0x00000000   : ERROR reading inputfile: ?[31mred\n"));
    // The reasons on standard error, a terminal while the log is not.
    RunResult result;
    EXPECT_EQ(shown_on_terminal(dir.path, {"\x1B]0;owned\x07.kvf"}, "exec \"$0\" \"$@\" 2> TTY", &result),
              "kvf_unpack: ?]0;owned?.kvf: No such file or directory\n");
    EXPECT_TRUE(same_log(result.log, "File not found: \x1B]0;owned\x07.kvf\n"));
    // Both into one pipe: the log, then the reason that explains it.
    result = run(dir.path, {"/bin/sh", "-c", "exec \"$0\" \"$@\" 2>&1", tool_path(), "\x1B[31mred"});
    EXPECT_TRUE(same_log(result.log, "0x00000000   : Unknown frame\n" + ZERO_DUMP +
                                         "0x00000000   : ERROR reading inputfile: \x1B[31mred\n"
                                         "kvf_unpack: \x1B[31mred: Is a directory\n"));
}

TEST_F(FrameLog, TerminalSeesEachLineWithoutWaitingForTheEnd) {
    // A display text, then a gibibyte of frames of no type, passed over in
    // silence (a sparse file: no disk). The text's line is on the terminal
    // while the tool has read only the start of the container.
    constexpr std::uintmax_t SIZE = (std::uintmax_t{1} << 30) / FRAME_SIZE * FRAME_SIZE;
    { write_bytes(dir.path / "in.kvf", text("first")); }
    fs::resize_file(dir.path / "in.kvf", SIZE);
    std::uintmax_t read_when_shown = 0;  // by the tool, when its first line was shown
    const auto first_line = [&](const std::string& so_far) {
        if (read_when_shown == 0 && so_far.find('\n') != std::string::npos) {
            std::string pid = read_text(dir.path / "pid");
            pid.pop_back();
            std::ifstream io("/proc/" + pid + "/io");
            for (std::string key; io >> key >> read_when_shown && key != "rchar:";) {
            }
        }
    };
    const std::string shown =
        shown_on_terminal(dir.path, {"in.kvf"}, "echo $$ > pid; exec \"$0\" \"$@\" > TTY", nullptr, first_line);
    EXPECT_TRUE(same_log(
        shown,
        "0x00000000   : Display text (00000000, 00000000): 'first'\n0x3FFFFFF8   : Unknown frame\n" + ZERO_DUMP));
    EXPECT_GT(read_when_shown, 0U);
    EXPECT_LT(read_when_shown, SIZE / 2);
}

TEST_F(FrameLog, ExampleContainerGivesTheDocumentedLogAndImages) {
    const fs::path examples = fs::path(KVF_SOURCE_DIR) / "examples";
    const RunResult result = run_tool(dir.path, {(examples / "example.kvf").string()});
    EXPECT_TRUE(same_log(result.log, read_text(examples / "example.log")));
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(entries(dir.path), entries(examples / "images"));
    for (const std::string& image : entries(examples / "images")) {
        EXPECT_TRUE(has_bytes(dir.path / image, read_bytes(examples / "images" / image)));
    }
    // Its events, listed where it lies (a listing writes nothing).
    EXPECT_TRUE(
        same_log(run_tool(examples, {"--json", "-t", "example.kvf"}).log, read_text(examples / "example.jsonl")));
}

}  // namespace
}  // namespace kvf::test
