// SPDX-License-Identifier: MIT
// libFuzzer target: the whole tool, frame loop and image extraction, on
// arbitrary bytes. It works in a private directory, `root/1/2/3/work`, which
// it empties after every input; a file anywhere else below `root` was
// written outside the working directory (up to three levels up) and stops the
// run, as does a hidden code point (found by another search of the table
// than the tool's) or a byte outside well-formed UTF-8 in what a terminal
// would be shown of the log.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <string>
#include <string_view>

#include "flash_writer.h"
#include "hidden_code_points.h"
#include "kvf_unpack.h"

namespace {

namespace fs = std::filesystem;

fs::path root;
fs::path work;
std::FILE* null_errors = nullptr;  // failure reports are not looked at

void fail(const char* what, const fs::path& path) {
    (void)std::fprintf(stderr, "fuzz_unpack: %s: %s\n", what, path.c_str());
    std::abort();
}

// The Windows name rules, which the tool applies only there, on the input's
// first bytes as a display text: no name holds a character Windows reserves
// or a path separator, and none starts with a device name.
void check_windows_name(const std::uint8_t* data, std::size_t size) {
    char text[kvf::PAYLOAD_SIZE + 1] = {};
    std::memcpy(text, data, std::min(size, kvf::PAYLOAD_SIZE));
    char name[kvf::NAME_BUFFER_SIZE];
    kvf::make_image_name(name, text, 0x10000, kvf::NameRules::windows);
    const std::string_view whole(name);
    if (whole.find_first_of("/\\:*?\"<>|") != std::string_view::npos) {
        fail("reserved character in a Windows name", name);
    }
    if (kvf::is_windows_device_name(whole.substr(0, whole.find('.')))) {
        fail("device name", name);
    }
}

// Length of the well-formed UTF-8 sequence at the start of `text`, 0 if there is none.
std::size_t utf8_length(std::string_view text) {
    const auto byte = [&text](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(0);
    std::size_t length = lead < 0x80 ? 1 : lead < 0xC2 ? 0 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : lead < 0xF5 ? 4 : 0;
    if (length == 0 || text.size() < length) {
        return 0;
    }
    // The second byte's range: narrower after E0 (overlong), ED (surrogates), F0 (overlong) and F4 (past U+10FFFF).
    const unsigned char low = lead == 0xE0 ? 0xA0 : lead == 0xF0 ? 0x90 : 0x80;
    const unsigned char high = lead == 0xED ? 0x9F : lead == 0xF4 ? 0x8F : 0xBF;
    for (std::size_t i = 1; i < length; ++i) {
        if (byte(i) < (i == 1 ? low : 0x80) || byte(i) > (i == 1 ? high : 0xBF)) {
            return 0;
        }
    }
    return length;
}

// What a terminal is shown: well-formed UTF-8 with no code point of the
// hidden table (controls, format, unassigned, separators, default
// ignorable) but the line break.
void check_terminal_text(std::string_view shown) {
    while (!shown.empty()) {
        const std::size_t length = utf8_length(shown);
        if (length == 0) {
            fail("not well-formed UTF-8 on a terminal", work);
        }
        static constexpr unsigned char LEAD_BITS[] = {0, 0x7F, 0x1F, 0x0F, 0x07};
        std::uint32_t code = static_cast<unsigned char>(shown[0]) & LEAD_BITS[length];
        for (std::size_t i = 1; i < length; ++i) {
            code = code << 6 | (static_cast<unsigned char>(shown[i]) & 0x3FU);
        }
        // The last range that starts at or before `code`, by another search than the tool's.
        const auto* after =
            std::upper_bound(std::begin(kvf::HIDDEN_CODE_POINTS), std::end(kvf::HIDDEN_CODE_POINTS), code,
                             [](std::uint32_t c, const kvf::CodePointRange& r) { return c < r.first; });
        const bool hidden = after != std::begin(kvf::HIDDEN_CODE_POINTS) && code <= (after - 1)->last;
        if (code != '\n' && hidden) {
            fail("a hidden code point on a terminal", work);
        }
        shown.remove_prefix(length);
    }
}

// JSON Lines as the tool writes them: one object a line, each holding
// nothing a terminal would act on (strings escape it all), the last the end
// event with the run's status.
void check_json_lines(std::string_view log, int status) {
    check_terminal_text(log);
    constexpr std::string_view EVENT = "{\"event\":\"";
    constexpr std::string_view OFFSET = "\",\"offset\":";
    std::size_t last = 0;
    std::uint64_t offset = 0;  // offsets never go backwards
    for (std::size_t at = 0; at < log.size();) {
        const std::size_t end = log.find('\n', at);
        if (end == std::string_view::npos || log.compare(at, EVENT.size(), EVENT) != 0 || log[end - 1] != '}') {
            fail("a JSON line that is not one event, its kind first", work);
        }
        const std::size_t number = log.find(OFFSET, at);
        if (number < end && number < log.find(',', at)) {
            const std::uint64_t next = std::strtoull(log.data() + number + OFFSET.size(), nullptr, 10);
            if (next < offset) {
                fail("an event's offset goes backwards", work);
            }
            offset = next;
        }
        last = at;
        at = end + 1;
    }
    if (log.rfind("{\"event\":\"start\",", 0) != 0) {
        fail("no start event first", work);
    }
    const std::string end =
        "{\"event\":\"end\",\"container\":\"fuzz-input\",\"status\":" + std::to_string(status) + ",";
    if (log.substr(last).rfind(end, 0) != 0) {
        fail("no end event with the status last", work);
    }
}

// Everything written to the file open on `fd`, from its start.
std::string contents(int fd) {
    std::string text;
    char chunk[4096];
    ssize_t got = 0;
    for (off_t at = 0; (got = pread(fd, chunk, sizeof chunk, at)) > 0; at += got) {
        text.append(chunk, static_cast<std::size_t>(got));
    }
    return text;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
    std::string pattern = (fs::temp_directory_path() / "kvf_fuzz_XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        fail("cannot make a directory", pattern);
    }
    root = pattern;
    work = root / "1" / "2" / "3" / "work";
    fs::create_directories(work);
    fs::current_path(work);
    null_errors = std::fopen("/dev/null", "w");
    if (null_errors == nullptr) {
        fail("cannot open /dev/null", root);
    }
    const int registered = std::atexit([] {
        std::error_code ignored;
        fs::remove_all(root, ignored);
    });
    if (registered != 0) {
        fail("cannot register the clean-up", root);
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    check_windows_name(data, size);
    // The tool reads below stdio, from a file descriptor: the input is a file
    // in memory. Run four ways: listed first, writing nothing, and checked
    // against its trailer; with its log going to a file byte for byte, as a
    // terminal would be shown it, and as JSON Lines, checked too.
    struct Way {
        bool terminal;
        kvf::UnpackOptions options;
    };
    const Way ways[] = {
        {false, {kvf::LogFormat::list, false, true, true}},
        {false, {}},
        {true, {}},
        {false, {kvf::LogFormat::json, true, false, true}},
    };
    for (const auto& [terminal, options] : ways) {
        const int fd = memfd_create("kvf_fuzz_input", MFD_CLOEXEC);
        const int log_fd = memfd_create("kvf_fuzz_log", MFD_CLOEXEC);
        if (fd < 0 || log_fd < 0 || write(fd, data, size) != static_cast<ssize_t>(size) ||
            lseek(fd, 0, SEEK_SET) != 0) {
            fail("cannot make the input", work);
        }
        std::FILE* in = fdopen(fd, "rb");
        std::FILE* out = fdopen(log_fd, "wb");
        if (in == nullptr || out == nullptr) {
            fail("cannot open streams", work);
        }
        const int status = kvf::unpack_container(in, "fuzz-input", out, terminal, null_errors, options);
        if (status != 0 && status != 1) {
            fail("unexpected status", work);
        }
        (void)std::fflush(out);
        if (terminal) {
            check_terminal_text(contents(log_fd));
        }
        if (options.format == kvf::LogFormat::json) {
            check_json_lines(contents(log_fd), status);
        }
        if (!options.write_images && !fs::is_empty(work)) {
            fail("a listing wrote a file", work);
        }
        (void)std::fclose(in);
        (void)std::fclose(out);
    }

    for (auto entry = fs::recursive_directory_iterator(root); entry != fs::recursive_directory_iterator(); ++entry) {
        if (entry->path() == work) {
            entry.disable_recursion_pending();
        } else if (!entry->is_directory()) {
            fail("written outside the working directory", entry->path());
        }
    }
    for (const auto& entry : fs::directory_iterator(work)) {
        if (!entry.is_regular_file()) {
            fail("not a regular file", entry.path());
        }
        if (entry.path().extension() == ".tmp") {
            fail("a replacement left behind", entry.path());
        }
        fs::remove(entry.path());
    }
    return 0;
}
