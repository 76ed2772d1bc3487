// libFuzzer target: the whole tool, frame loop and image extraction, on
// arbitrary bytes. It works in a private directory, `root/1/2/3/work`, which
// it empties after every input; a file anywhere else below `root` was
// written outside the working directory (up to three levels up) and stops the run.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>

#include "flash_writer.h"
#include "kvf_unpack.h"

namespace {

namespace fs = std::filesystem;

fs::path root;
fs::path work;

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
    const std::string_view base = whole.substr(0, whole.find('.'));
    for (const char* device : {"con", "prn", "aux", "nul", "conin$", "conout$"}) {
        if (base == device) {
            fail("device name", name);
        }
    }
    if (base.size() == 4 && (base.starts_with("com") || base.starts_with("lpt")) && base[3] >= '0' && base[3] <= '9') {
        fail("device name", name);
    }
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
    // The tool reads below stdio, from a file descriptor: the input is a file in memory.
    const int fd = memfd_create("kvf_fuzz_input", MFD_CLOEXEC);
    if (fd < 0 || write(fd, data, size) != static_cast<ssize_t>(size) || lseek(fd, 0, SEEK_SET) != 0) {
        fail("cannot make the input", work);
    }
    std::FILE* in = fdopen(fd, "rb");
    std::FILE* out = std::fopen("/dev/null", "w");
    if (in == nullptr || out == nullptr) {
        fail("cannot open streams", work);
    }
    const int status = kvf::unpack_container(in, "fuzz-input", out);
    (void)std::fclose(in);
    (void)std::fclose(out);
    if (status != 0 && status != 1) {
        fail("unexpected status", work);
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
        fs::remove(entry.path());
    }
    return 0;
}
