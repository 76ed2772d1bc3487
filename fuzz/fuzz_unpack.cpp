// libFuzzer target: the whole tool, frame loop and image extraction, on
// arbitrary bytes. It works in a private directory, `root/1/2/3/work`, which
// it empties after every input; a file anywhere else below `root` was
// written outside the working directory (up to three levels up) and stops the run.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "kvf_unpack.h"

namespace {

namespace fs = std::filesystem;

fs::path root;
fs::path work;

void fail(const char* what, const fs::path& path) {
    std::fprintf(stderr, "fuzz_unpack: %s: %s\n", what, path.c_str());
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    std::string pattern = (fs::temp_directory_path() / "kvf_fuzz_XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        fail("cannot make a directory", pattern);
    }
    root = pattern;
    work = root / "1" / "2" / "3" / "work";
    fs::create_directories(work);
    fs::current_path(work);
    std::atexit([] {
        std::error_code ignored;
        fs::remove_all(root, ignored);
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
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
    std::fclose(in);
    std::fclose(out);
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
