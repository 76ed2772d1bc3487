// SPDX-License-Identifier: MIT
// What the Windows build does differently, shown by the real binary: the log
// in text mode, Windows-safe image names, wildcards expanded by the runtime,
// any path in UTF-8. Runs on Windows or under Wine.
#include <windows.h>
// After windows.h, which they need.
#include <aclapi.h>
#include <sddl.h>

#include <functional>
#include <thread>

#include "captured_log.h"
#include "driver.h"
#include "shared_cases.h"
#include "tool_runner.h"

namespace kvf::test {
namespace {

using namespace kvf::build;

// `text` with every line break as the Windows log writes it.
std::string crlf(const std::string& text) {
    std::string out;
    for (const char c : text) {
        out += c == '\n' ? "\r\n" : std::string(1, c);
    }
    return out;
}

Bytes cat_bytes(const Bytes& a, const Bytes& b) {
    Bytes joined = a;
    append(joined, b);
    return joined;
}

// Wine shows the host's file system as drive Z:, where its devices can fail a test's reads and writes.
bool under_wine() {
    return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
}

class WindowsBuild : public testing::Test {
protected:
    TempDir dir;
    RunResult unpack(const Bytes& container, const fs::path& name = "in.kvf") {
        write_bytes(dir.path / name, container);
        return run_tool(dir.path, {utf8_string(name)});
    }
};

TEST_F(WindowsBuild, LogLinesEndInCrLfAndJsonLinesInLf) {
    const fs::path examples = fs::absolute(fs::path(KVF_SOURCE_DIR) / "examples");
    const RunResult result = run_tool(dir.path, {utf8_string(examples / "example.kvf")});
    EXPECT_TRUE(same_log(result.log, crlf(read_text(examples / "example.log"))));
    EXPECT_EQ(result.status, 0);
    const RunResult listed = run_tool(dir.path, {"-t", utf8_string(examples / "example.kvf")});
    const std::string log = read_text(examples / "example.log");
    EXPECT_TRUE(same_log(listed.log, crlf("00010000 141 boot_loader_00010000.bin\n00020000 94 main_app_00020000.bin\n"
                                          "00030000 20 main_app_00030000.bin\n" +
                                          log.substr(log.find("DWORD 1")))));
    const RunResult json = run_tool(dir.path, {"--json", "-t", utf8_string(examples / "example.kvf")});
    EXPECT_EQ(json.log.find('\r'), std::string::npos);
    EXPECT_TRUE(json.log.ends_with("\"status\":0,\"bytes\":980,\"frames\":17,\"images\":3,\"images_standing\":3}\n"))
        << json.log;
    EXPECT_EQ(entries(dir.path), entries(examples / "images"));
    for (const std::string& image : entries(examples / "images")) {
        EXPECT_TRUE(has_bytes(dir.path / image, read_bytes(examples / "images" / image)));
    }
}

TEST_F(WindowsBuild, ImageNamesAvoidStreamsDrivesAndDevices) {
    const char* texts[] = {"app:x", ":ge_klhqewiu:cjs-", "C:fw",    "a*b?c\"d<e>f|g", "NUL.x", "Com1.bin", "lpt9.",
                           "con",   "CONOUT$.fw",        "conin$.x"};
    std::vector<std::string> names = {"app_x_00000100.bin",       "_ge_klhqewiu_cjs-_00000200.bin",
                                      "c_fw_00000300.bin",        "a_b_c_d_e_f_g_00000400.bin",
                                      "_nul.x_00000500.bin",      "_com1.bin_00000600.bin",
                                      "_lpt9._00000700.bin",      "con_00000800.bin",
                                      "_conout$.fw_00000900.bin", "_conin$.x_00000A00.bin"};
    Bytes in;
    std::string log;
    for (std::size_t i = 0; i < names.size(); ++i) {
        const auto address = static_cast<std::uint32_t>(0x100 * (i + 1));
        append(in, text(texts[i]));
        append(in, flash(address, pattern(3, address)));
        char lines[256];
        std::snprintf(lines, sizeof lines, "0x%08zX   : Display text (00000000, 00000000): '%s'\n", 2 * i * FRAME_SIZE,
                      texts[i]);
        log += lines;
        if (i > 0) {
            std::snprintf(lines, sizeof lines, "0x%08zX   : End of current Flash data found, closing flashfile\n",
                          (2 * i + 1) * FRAME_SIZE);
            log += lines;
        }
        std::snprintf(lines, sizeof lines, "0x%08zX   : New Flashdata found, create new file for it: %s\n",
                      (2 * i + 1) * FRAME_SIZE, names[i].c_str());
        log += lines;
    }
    const RunResult result = unpack(in);
    char end[32];
    std::snprintf(end, sizeof end, "0x%08zX   : ", in.size());
    EXPECT_TRUE(same_log(result.log, crlf(log + end + "Unknown frame\n" + ZERO_DUMP)));
    EXPECT_EQ(result.status, 0);
    names.push_back("in.kvf");
    std::sort(names.begin(), names.end());
    EXPECT_EQ(entries(dir.path), names);
    EXPECT_TRUE(has_bytes(dir.path / "_nul.x_00000500.bin", pattern(3, 0x500)));
    EXPECT_TRUE(has_bytes(dir.path / "_conout$.fw_00000900.bin", pattern(3, 0x900)));
}

TEST_F(WindowsBuild, WildcardsAreExpandedByTheRuntime) {
    Bytes in;
    append(in, progress(7));
    close_container(in);
    write_bytes(dir.path / "fw.kvf", in);
    RunResult result = run_tool(dir.path, {"*.kvf"});
    EXPECT_TRUE(same_log(result.log, crlf("0x00000000   : Update progress-bar to 7 %\n"
                                          "0x00000038   : 'ADMINEND' keyword found\n" +
                                          trailer_lines(in))));
    EXPECT_EQ(result.status, 0);

    result = run_tool(dir.path, {"*.none"});
    EXPECT_TRUE(same_log(result.log, "File not found: *.none\r\n"));
    EXPECT_EQ(result.status, 1);

    write_bytes(dir.path / "other.kvf", in);
    result = run_tool(dir.path, {"*.kvf"});
    EXPECT_TRUE(same_log(result.log, "Usage: kvf_unpack FILE\r\n"));
    EXPECT_EQ(result.status, 1);
}

TEST_F(WindowsBuild, AnyPathOpensAndIsLoggedAsUtf8) {
    // Texts from the container reach a pipe byte for byte, control bytes and all.
    const std::string crafted = "\x1B[2J\r\x7F\x9B\xC2\x9B\xE2\x80\xAE\xD0\x96";
    Bytes in;
    append(in, text(crafted));
    append(in, text("ok"));
    append(in, flash(0x10, pattern(5, 1)));
    const std::string log = crlf("0x00000000   : Display text (00000000, 00000000): '" + crafted +
                                 "'\n"
                                 "0x00000038   : Display text (00000000, 00000000): 'ok'\n"
                                 "0x00000070   : New Flashdata found, create new file for it: ok_00000010.bin\n"
                                 "0x000000A8   : Unknown frame\n" +
                                 ZERO_DUMP);
    RunResult result = unpack(in, fs::path(u8"прошивка.kvf"));
    EXPECT_TRUE(same_log(result.log, log));
    EXPECT_EQ(result.status, 0);
    EXPECT_TRUE(has_bytes(dir.path / "ok_00000010.bin", pattern(5, 1)));

    // A full path in the \\?\ form, past every rule of ordinary paths: a
    // name that ends in a dot, which no other form reaches.
    const std::wstring dotted = L"\\\\?\\" + fs::absolute(dir.path).wstring() + L"\\x.";
    ASSERT_NE(CopyFileW((dir.path / u8"прошивка.kvf").c_str(), dotted.c_str(), TRUE), 0);
    result = run_tool(dir.path, {utf8_string(dotted)});
    DeleteFileW(dotted.c_str());  // which the folder's removal would not reach
    EXPECT_TRUE(same_log(result.log, log));
    EXPECT_EQ(result.status, 0);

    // The device NUL reads as an empty container.
    result = run_tool(dir.path, {"NUL"});
    EXPECT_TRUE(same_log(result.log, crlf("0x00000000   : Unknown frame\n" + ZERO_DUMP)));
    EXPECT_EQ(result.status, 0);

    const RunResult missing = run_tool(dir.path, {"\xE5\x9B\xBA\xE4\xBB\xB6.kvf"});  // 固件.kvf
    EXPECT_TRUE(same_log(missing.log, "File not found: \xE5\x9B\xBA\xE4\xBB\xB6.kvf\r\n"));
    EXPECT_EQ(missing.status, 1);
}

// An image name taken by a directory cannot be created; one that names the
// input or the log, under any name, or a read-only file must not be:
// either way the run stops. Another file is replaced by a new one: its other
// names keep their content; when it cannot be replaced (held open by a
// program that lets no one delete it), it is left as it was, and nothing of
// the tool's beside it.
TEST_F(WindowsBuild, ImageThatCannotOrMustNotBeCreatedStopsTheRun) {
    const Bytes in = clashing_container();
    TempDir work;
    const fs::path clash = work.path / "b_00000200.bin";
    const struct {
        std::string how;
        std::string reason;  // empty: the system's, whatever its words
        std::function<RunResult()> place_and_run;
        bool content_kept;  // the file there still holds the container
    } cases[] = {
        {"directory", "a directory stands at this name",
         [&] {
             fs::create_directory(clash);
             return run_tool(work.path, {"in.kvf"});
         },
         false},
        {"path", "this is the input container",
         [&] {
             fs::rename(work.path / "in.kvf", clash);
             return run_tool(work.path, {"b_00000200.bin"});
         },
         true},
        {"hard link", "this is the input container",
         [&] {
             fs::create_hard_link(work.path / "in.kvf", clash);
             return run_tool(work.path, {"in.kvf"});
         },
         true},
        {"standard output", "the log is written to this file",
         [&] {
             write_bytes(clash, {});
             RunResult result = run(work.path, {tool_path(), "in.kvf"}, utf8_string(clash));
             result.log = read_text(clash);
             return result;
         },
         false},
        {"read-only file", "a read-only file stands at this name",
         [&] {
             write_bytes(clash, in);
             SetFileAttributesW(clash.c_str(), FILE_ATTRIBUTE_READONLY);
             RunResult result = run_tool(work.path, {"in.kvf"});
             SetFileAttributesW(clash.c_str(), FILE_ATTRIBUTE_NORMAL);
             return result;
         },
         true},
        {"file held open without delete sharing", "",
         [&] {
             write_bytes(clash, in);
             HANDLE held = CreateFileW(clash.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                       OPEN_EXISTING, 0, nullptr);
             RunResult result = run_tool(work.path, {"in.kvf"});
             CloseHandle(held);
             return result;
         },
         true},
    };
    for (const auto& [how, reason, place_and_run, content_kept] : cases) {
        SCOPED_TRACE("the image's name is taken by: " + how);
        for (const auto& entry : fs::directory_iterator(work.path)) {
            fs::remove_all(entry.path());
        }
        write_bytes(work.path / "in.kvf", in);
        write_bytes(work.path / "kept", pattern(100, 9));
        fs::create_hard_link(work.path / "kept", work.path / "a_00000100.bin");
        const RunResult result = place_and_run();
        EXPECT_TRUE(same_log(result.log, crlf(CLASHING_LOG)));
        EXPECT_EQ(result.status, 1);
        if (reason.empty()) {
            EXPECT_TRUE(result.errors.starts_with("kvf_unpack: b_00000200.bin: ")) << result.errors;
        } else {
            EXPECT_EQ(result.errors, "kvf_unpack: b_00000200.bin: " + reason + "\r\n");
        }
        EXPECT_TRUE(has_bytes(work.path / "a_00000100.bin", pattern(20, 1)));
        EXPECT_TRUE(has_bytes(work.path / "kept", pattern(100, 9)));
        if (content_kept) {
            EXPECT_TRUE(has_bytes(clash, in));
        }
        // No temporary file is left beside the image.
        for (const std::string& name : entries(work.path)) {
            EXPECT_FALSE(name.ends_with(".tmp")) << name;
        }
    }
}

// The DACL of the file at `path`, in the system's text form.
std::wstring dacl_of(const fs::path& path) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    wchar_t* text = nullptr;
    std::wstring dacl;
    if (GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, nullptr,
                              nullptr, &descriptor) == ERROR_SUCCESS &&
        ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION,
                                                             &text, nullptr) != 0) {
        dacl = text;
    }
    LocalFree(text);
    LocalFree(descriptor);
    return dacl;
}

TEST_F(WindowsBuild, ReplacementKeepsTheOldFilesAttributesAndAccessRules) {
    const fs::path image = dir.path / "b_00000200.bin";
    write_bytes(image, pattern(6, 6));
    PSECURITY_DESCRIPTOR own = nullptr;
    ASSERT_NE(ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(A;;FA;;;BA)(A;;FR;;;BU)", SDDL_REVISION_1,
                                                                   &own, nullptr),
              0);
    ASSERT_NE(SetFileSecurityW(image.c_str(), DACL_SECURITY_INFORMATION, own), 0);
    LocalFree(own);
    ASSERT_NE(SetFileAttributesW(image.c_str(), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE), 0);
    const std::wstring dacl = dacl_of(image);
    const RunResult result = unpack(clashing_container());
    EXPECT_EQ(result.status, 0);
    EXPECT_TRUE(has_bytes(image, pattern(20, 2)));
    EXPECT_EQ(GetFileAttributesW(image.c_str()), DWORD{FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE});
    if (!under_wine()) {  // Wine keeps no DACL: it makes one up from Unix permission bits
        EXPECT_EQ(dacl_of(image), dacl);
    }
    EXPECT_EQ(entries(dir.path), (std::vector<std::string>{"a_00000100.bin", "b_00000200.bin", "in.kvf"}));
}

TEST_F(WindowsBuild, FailedReadsAndWritesFailTheRun) {
    if (!under_wine()) {
        GTEST_SKIP() << "needs Wine's view of the host's /dev/full and /proc";
    }
    Bytes in;
    append(in, progress(1));
    close_container(in);
    write_bytes(dir.path / "in.kvf", in);
    const RunResult full = run(dir.path, {tool_path(), "in.kvf"}, "Z:\\dev\\full");
    EXPECT_EQ(full.status, 1);
    EXPECT_EQ(full.errors, "kvf_unpack: error writing the log to standard output: No space left on device\r\n");

    // Opens, but no byte of it can be read.
    const RunResult unreadable = run_tool(dir.path, {"Z:\\proc\\self\\mem"});
    EXPECT_TRUE(same_log(unreadable.log, crlf("0x00000000   : Unknown frame\n" + ZERO_DUMP +
                                              "0x00000000   : ERROR reading inputfile: Z:\\proc\\self\\mem\n")));
    EXPECT_EQ(unreadable.status, 1);
}

TEST_F(WindowsBuild, StandardInputIsBinaryAndImagesGoWhereTheyAreSent) {
    // Bytes that text mode would change: CR LF, and Ctrl-Z, which would end the input.
    const Bytes data = {'a', '\r', '\n', 0x1A, 'b', '\n'};
    Bytes in;
    append(in, text("Std In"));
    append(in, flash(0x100, data));
    write_bytes(dir.path / "in.kvf", in);
    fs::create_directory(dir.path / "existing");
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"-C", "new", "-"}, "new"},
        {{"--directory=existing", "-"}, "existing"},
    };
    for (const auto& [args, folder] : cases) {
        std::vector<std::string> argv{tool_path()};
        argv.insert(argv.end(), args.begin(), args.end());
        const RunResult result = run(dir.path, argv, "", utf8_string(dir.path / "in.kvf"));
        EXPECT_TRUE(same_log(result.log, crlf("0x00000000   : Display text (00000000, 00000000): 'Std In'\n"
                                              "0x00000038   : New Flashdata found, create new file for it: "
                                              "std_in_00000100.bin\n"
                                              "0x00000070   : Unknown frame\n" +
                                              ZERO_DUMP)));
        EXPECT_EQ(result.status, 0);
        EXPECT_TRUE(has_bytes(dir.path / folder / "std_in_00000100.bin", data)) << folder;
    }
    // Started without standard input, "-" is no input, as on POSIX systems.
    RunResult result = run(dir.path, {tool_path(), "-"}, "", CLOSED);
    EXPECT_TRUE(same_log(result.log, "File not found: -\r\n"));
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.errors, "kvf_unpack: -: Bad file descriptor\r\n");
    // A file where the folder would be.
    result = run_tool(dir.path, {"-C", "in.kvf", "in.kvf"});
    EXPECT_TRUE(same_log(result.log, "ERROR creating output directory: in.kvf\r\n"));
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.errors, "kvf_unpack: in.kvf: Not a directory\r\n");
}

TEST_F(WindowsBuild, LogToNulOrNoStandardErrorIsNoFileToKeep) {
    write_bytes(dir.path / "in.kvf", clashing_container());
    RunResult result = run(dir.path, {tool_path(), "in.kvf"}, "NUL");
    EXPECT_EQ(result.status, 0);
    EXPECT_TRUE(has_bytes(dir.path / "b_00000200.bin", pattern(20, 2)));
    // Started without standard error, the tool replaces an image all the same.
    write_bytes(dir.path / "b_00000200.bin", pattern(6, 6));
    result = run(dir.path, {tool_path(), "in.kvf"}, "", "", true);
    EXPECT_EQ(result.status, 0);
    EXPECT_TRUE(has_bytes(dir.path / "b_00000200.bin", pattern(20, 2)));
}

TEST_F(WindowsBuild, NamedPipeIsActedOnAsItArrives) {
    // Fed in two parts, the first ending inside a frame; before the second
    // is sent, the log (a file) holds the lines, or 5 s have passed. Until
    // its run ends the image is a temporary beside its name, which a file
    // that takes it meanwhile keeps. A failed run (a bad dummy frame) still
    // names an image at a free name, and gives up one that was to replace a
    // file.
    const fs::path image = dir.path / "pipe_00000100.bin";
    const Bytes old = pattern(6, 6);
    const Bytes brought = cat_bytes(pattern(10, 1), pattern(10, 2));
    FrameBytes bad_dummy = dummy();
    bad_dummy[30] = 0;
    const std::string ended = "0x000000A8   : Update progress-bar to 50 %\n0x000000E0   : Unknown frame\n" + ZERO_DUMP;
    const std::string failed = "0x000000A8   : ERROR: Expected all framedata to be 0xFF but #30 is 00";
    const std::string cut_short = "the container ends at 0x000000E0 without an ADMINEND frame and trailer (cut short?)";
    const std::string dummy_reason = "the dummy frame at 0x000000A8 holds 00 at byte 30, not FF";
    const struct {
        const char* how;
        bool old_file;        // a file stands at the image's name from the start
        bool plant;           // a file takes the free name while the run is open
        bool fail;            // the run ends in a bad dummy frame
        std::string log_end;  // after the run's opening
        Bytes at_name;        // what the name holds in the end
        std::string reason;   // on standard error
    } cases[] = {
        {"free name", false, false, false, ended, brought, cut_short},
        {"a file at the name", true, false, false, ended, brought, cut_short},
        {"the free name taken meanwhile", false, true, false,
         ended + "0x000000E0   : ERROR writing outputfile: pipe_00000100.bin\n", pattern(3, 7),
         "another file took this name while the image was written"},
        {"a failed run at a free name", false, false, true, failed, brought, dummy_reason},
        {"a failed run where a file stands", true, false, true, failed, old, dummy_reason},
    };
    const std::wstring name = L"\\\\.\\pipe\\kvf_unpack_test_" + std::to_wstring(GetCurrentProcessId());
    const fs::path log = dir.path / "log";
    for (const auto& [how, old_file, plant, fail, log_end, at_name, reason] : cases) {
        SCOPED_TRACE(how);
        for (const auto& entry : fs::directory_iterator(dir.path)) {
            fs::remove_all(entry.path());
        }
        if (old_file) {
            write_bytes(image, old);
        }
        HANDLE pipe = CreateNamedPipeW(name.c_str(), PIPE_ACCESS_OUTBOUND, PIPE_TYPE_BYTE | PIPE_WAIT, 1, 65536, 65536,
                                       0, nullptr);
        ASSERT_NE(pipe, INVALID_HANDLE_VALUE);
        Bytes in;
        append(in, text("Pipe"));
        append(in, flash(0x100, pattern(10, 1)));
        append(in, flash(0x10A, pattern(10, 2)));
        append(in, fail ? bad_dummy : progress(50));
        const std::size_t cut = 2 * FRAME_SIZE + 20;
        write_bytes(log, {});
        RunResult result;
        std::thread tool([&] { result = run(dir.path, {tool_path(), utf8_string(name)}, utf8_string(log)); });
        const auto send = [pipe](std::span<const std::uint8_t> bytes) {
            DWORD written = 0;
            return WriteFile(pipe, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) != 0 &&
                   written == bytes.size() && FlushFileBuffers(pipe) != 0;
        };
        const bool connected = ConnectNamedPipe(pipe, nullptr) != 0 || GetLastError() == ERROR_PIPE_CONNECTED;
        const bool first_sent = connected && send(std::span(in).first(cut));
        bool acted = false;
        for (int i = 0; i < 50 && !acted; ++i) {
            Sleep(100);
            acted = read_text(log).find("New Flashdata") != std::string::npos;
        }
        const bool written_beside = (old_file ? has_bytes(image, old) : !fs::exists(image)) &&
                                    std::ranges::count_if(entries(dir.path), [](const std::string& entry) {
                                        return entry.ends_with(".tmp");
                                    }) == 1;
        if (plant) {
            write_bytes(image, pattern(3, 7));
        }
        const bool rest_sent = first_sent && send(std::span(in).subspan(cut));
        CloseHandle(pipe);
        tool.join();
        EXPECT_TRUE(first_sent && rest_sent);
        EXPECT_TRUE(acted) << "what arrived waited for the rest";
        EXPECT_TRUE(written_beside) << "the image is not a temporary beside its name until its run ends";
        EXPECT_TRUE(same_log(read_text(log), crlf("0x00000000   : Display text (00000000, 00000000): 'Pipe'\n"
                                                  "0x00000038   : New Flashdata found, create new file for it: "
                                                  "pipe_00000100.bin\n" +
                                                  log_end)));
        EXPECT_EQ(result.status, plant || fail ? 1 : 0);
        EXPECT_EQ(result.errors,
                  "kvf_unpack: " + (plant ? "pipe_00000100.bin" : utf8_string(name)) + ": " + reason + "\r\n");
        EXPECT_TRUE(has_bytes(image, at_name));
        EXPECT_EQ(entries(dir.path), (std::vector<std::string>{"log", "pipe_00000100.bin"}));
    }
}

TEST_F(WindowsBuild, OffsetsPastFourGiBKeepCounting) {
    make_container_past_4_gib(dir.path / "big.kvf");
    const RunResult result = run_tool(dir.path, {"big.kvf"});
    EXPECT_TRUE(same_log(result.log, crlf(LOG_PAST_4_GIB)));
    EXPECT_EQ(result.status, 0);
}

TEST_F(WindowsBuild, WorkingDirectoryDeeperThanMaxPath) {
    // Wine starts no process in such a directory, so the tool runs in this one.
    fs::path deep = fs::absolute(dir.path);
    for (char c = 'a'; c < 'e'; ++c) {
        deep /= std::string(90, c);
    }
    ASSERT_GT(deep.native().size(), std::size_t{MAX_PATH});
    const std::wstring extended = L"\\\\?\\" + deep.native();
    fs::create_directories(extended);
    Bytes in;
    append(in, text("deep"));
    append(in, flash(0x1000, pattern(9, 1)));
    write_bytes(extended + L"\\in.kvf", in);
    const fs::path before = fs::current_path();
    if (!SetCurrentDirectoryW(extended.c_str())) {
        GTEST_SKIP() << "this system keeps working directories within MAX_PATH";
    }
    TempStream out;
    char program[] = "kvf_unpack";
    char input[] = "in.kvf";
    char* argv[] = {program, input, nullptr};
    const int status = run_kvf_unpack(2, argv, out.file);
    SetCurrentDirectoryW(before.c_str());
    EXPECT_EQ(status, 0);
    EXPECT_TRUE(same_log(out.contents(),
                         "0x00000000   : Display text (00000000, 00000000): 'deep'\n"
                         "0x00000038   : New Flashdata found, create new file for it: deep_00001000.bin\n"
                         "0x00000070   : Unknown frame\n" +
                             ZERO_DUMP));
    EXPECT_TRUE(has_bytes(extended + L"\\deep_00001000.bin", pattern(9, 1)));
}

}  // namespace
}  // namespace kvf::test
