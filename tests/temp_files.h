// SPDX-License-Identifier: MIT
// Temporary directories and streams for tests, removed with what they hold.
#pragma once

#include <cstdio>
#include <filesystem>
#include <random>
#include <stdexcept>
#include <string>

namespace kvf::test {

namespace fs = std::filesystem;

// A path under the system's temporary directory that does not exist yet.
inline fs::path unique_temp_path(const char* prefix) {
    static std::mt19937_64 random{std::random_device{}()};
    for (int attempt = 0; attempt < 100; ++attempt) {
        fs::path path = fs::temp_directory_path() / (prefix + std::to_string(random()));
        if (!fs::exists(path)) {
            return path;
        }
    }
    throw std::runtime_error("no free temporary name");
}

// A fresh directory, removed with its contents.
struct TempDir {
    fs::path path = unique_temp_path("kvf_test_");
    TempDir() { fs::create_directory(path); }
    ~TempDir() {
        std::error_code ignored;
        fs::remove_all(path, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
};

// A stream on a fresh temporary file, open for reading and writing.
struct TempStream {
    fs::path path = unique_temp_path("kvf_stream_");
    std::FILE* file = std::fopen(path.string().c_str(), "w+b");
    TempStream() {
        if (file == nullptr) {
            throw std::runtime_error("cannot open " + path.string());
        }
    }
    ~TempStream() {
        std::fclose(file);
        std::error_code ignored;
        fs::remove(path, ignored);
    }
    TempStream(const TempStream&) = delete;
    TempStream& operator=(const TempStream&) = delete;

    // Everything written so far.
    std::string contents() {
        std::fflush(file);
        std::rewind(file);
        std::string text;
        char chunk[4096];
        for (std::size_t got; (got = std::fread(chunk, 1, sizeof chunk, file)) > 0;) {
            text.append(chunk, got);
        }
        return text;
    }
};

}  // namespace kvf::test
