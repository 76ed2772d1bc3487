// SPDX-License-Identifier: MIT
// End-to-end support: a temporary working directory, a runner for the real
// binary that captures its log and exit status, and checks on the results.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "container_builder.h"
#include "temp_files.h"

namespace kvf::test {

namespace fs = std::filesystem;

struct RunResult {
    std::string log;     // everything written to standard output
    std::string errors;  // everything written to standard error
    int status = -1;     // exit status, or -1 when the process did not exit normally
};

// As `stdin_path`: the program starts with standard input closed.
inline const std::string CLOSED = "<closed>";

// Runs `argv` (program first, each argument UTF-8) in `cwd` with standard
// output and standard error captured. When `stdout_path` is given, standard
// output goes to that existing file instead; when `stdin_path` is given,
// standard input comes from that file (or is CLOSED); with `no_errors`, the
// program starts without standard error. Defined for each platform in
// process_*.cpp.
RunResult run(const fs::path& cwd, const std::vector<std::string>& argv, const std::string& stdout_path = "",
              const std::string& stdin_path = "", bool no_errors = false);

// The kvf_unpack binary under test.
std::string tool_path();

// `path` as UTF-8, whatever the platform's own encoding of paths.
inline std::string utf8_string(const fs::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

// Runs kvf_unpack with `args` in `cwd`, under the command in KVF_TEST_WRAPPER
// (words split at spaces, such as a valgrind command line) when it is set.
// The wrapper's notes on standard error ("--PID-- ...", as valgrind's about
// system calls it does not know, such as Landlock's) are dropped.
inline RunResult run_tool(const fs::path& cwd, std::vector<std::string> args) {
    args.insert(args.begin(), tool_path());
    const char* wrapper = std::getenv("KVF_TEST_WRAPPER");
    if (wrapper == nullptr || *wrapper == '\0') {
        return run(cwd, args);
    }
    std::istringstream words(wrapper);
    std::vector<std::string> prefix{std::istream_iterator<std::string>(words), std::istream_iterator<std::string>()};
    args.insert(args.begin(), prefix.begin(), prefix.end());
    RunResult result = run(cwd, args);
    std::istringstream lines(result.errors);
    result.errors.clear();
    for (std::string line; std::getline(lines, line);) {
        if (!(line.starts_with("--") && line.find("-- ") != std::string::npos)) {
            result.errors += line + "\n";
        }
    }
    return result;
}

inline void write_bytes(const fs::path& path, std::span<const std::uint8_t> bytes) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

inline std::string read_text(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline build::Bytes read_bytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return build::Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Names of the entries in `dir`, sorted.
inline std::vector<std::string> entries(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir)) {
        names.push_back(utf8_string(entry.path().filename()));
    }
    std::sort(names.begin(), names.end());
    return names;
}

// Passes when `actual` equals `expected` byte for byte; otherwise names the
// first differing line and shows the whole log.
inline testing::AssertionResult same_log(const std::string& actual, const std::string& expected) {
    if (actual == expected) {
        return testing::AssertionSuccess();
    }
    std::istringstream a(actual);
    std::istringstream e(expected);
    std::string a_line;
    std::string e_line;
    int line = 1;
    while (true) {
        const bool more_a = static_cast<bool>(std::getline(a, a_line));
        const bool more_e = static_cast<bool>(std::getline(e, e_line));
        if (!more_a && !more_e) {
            break;  // same lines, differing only in the final line break
        }
        if (!more_a || !more_e || a_line != e_line) {
            break;
        }
        ++line;
    }
    return testing::AssertionFailure() << "log differs at line " << line << "\n  expected: [" << e_line
                                       << "]\n  actual:   [" << a_line << "]\nwhole log:\n"
                                       << actual << "\n(end of log; expected ends with a line break: "
                                       << (!expected.empty() && expected.back() == '\n') << ")";
}

// Passes when the file at `path` holds exactly `expected`.
inline testing::AssertionResult has_bytes(const fs::path& path, const build::Bytes& expected) {
    if (!fs::is_regular_file(path)) {
        return testing::AssertionFailure() << path << " is not a regular file";
    }
    const build::Bytes actual = read_bytes(path);
    if (actual == expected) {
        return testing::AssertionSuccess();
    }
    const auto diff = std::mismatch(actual.begin(), actual.end(), expected.begin(), expected.end());
    return testing::AssertionFailure() << path << " holds " << actual.size() << " bytes, expected " << expected.size()
                                       << "; first difference at byte " << (diff.first - actual.begin());
}

}  // namespace kvf::test
