// SPDX-License-Identifier: MIT
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "command_line.h"

namespace kvf {
namespace {

TEST(CommandLine, ReadsArgumentsAsAnExtractorsUsersExpect) {
    using Kind = Request::Kind;
    const std::string unknown = "unknown option (a file of this name is given as ./NAME or after --)";
    const struct {
        std::vector<std::string> args;
        Kind kind;
        const char* path;       // FILE, if any
        const char* directory;  // the output folder, if any
        std::string what;       // for a usage error
        std::string why;
    } cases[] = {
        {{"fw.kvf"}, Kind::unpack, "fw.kvf", nullptr, "", ""},
        {{"-"}, Kind::unpack, "-", nullptr, "", ""},
        {{}, Kind::usage_error, nullptr, nullptr, "command line", "no FILE given (kvf_unpack [OPTION]... FILE)"},
        {{"a", "b"},
         Kind::usage_error,
         nullptr,
         nullptr,
         "command line",
         "more than one FILE given (kvf_unpack [OPTION]... FILE)"},
        {{"--help"}, Kind::help, nullptr, nullptr, "", ""},
        {{"-h", "fw.kvf"}, Kind::help, "fw.kvf", nullptr, "", ""},
        {{"--version", "--help"}, Kind::version, nullptr, nullptr, "", ""},
        {{"-x"}, Kind::usage_error, nullptr, nullptr, "-x", unknown},
        {{"-hex.kvf"}, Kind::usage_error, nullptr, nullptr, "-hex.kvf", unknown},
        {{"--Version", "fw.kvf"}, Kind::usage_error, nullptr, nullptr, "--Version", unknown},
        {{"--", "--help"}, Kind::unpack, "--help", nullptr, "", ""},
        {{"--", "-"}, Kind::unpack, "-", nullptr, "", ""},
        {{"-C", "out", "fw.kvf"}, Kind::unpack, "fw.kvf", "out", "", ""},
        {{"fw.kvf", "-Cout"}, Kind::unpack, "fw.kvf", "out", "", ""},
        {{"--directory=out", "fw.kvf"}, Kind::unpack, "fw.kvf", "out", "", ""},
        {{"--directory", "out", "fw.kvf"}, Kind::unpack, "fw.kvf", "out", "", ""},
        {{"-C", "-x", "fw.kvf"}, Kind::unpack, "fw.kvf", "-x", "", ""},  // a folder may be named so
        {{"fw.kvf", "-C"}, Kind::usage_error, nullptr, nullptr, "-C", "needs a directory"},
        {{"-C", "", "fw.kvf"}, Kind::usage_error, nullptr, nullptr, "-C", "needs a directory"},
        {{"--directory=", "fw.kvf"}, Kind::usage_error, nullptr, nullptr, "--directory=", "needs a directory"},
        {{"--directory"}, Kind::usage_error, nullptr, nullptr, "--directory", "needs a directory"},
    };
    for (const auto& [args, kind, path, directory, what, why] : cases) {
        std::string shown;
        std::vector<char*> argv{const_cast<char*>("kvf_unpack")};
        for (const std::string& arg : args) {
            shown += " " + arg;
            argv.push_back(const_cast<char*>(arg.c_str()));
        }
        argv.push_back(nullptr);
        SCOPED_TRACE("kvf_unpack" + shown);
        const Request request = parse_command_line(static_cast<int>(args.size() + 1), argv.data());
        EXPECT_EQ(request.kind, kind);
        if (kind == Kind::usage_error) {
            EXPECT_EQ(request.what, what);
            EXPECT_EQ(request.why, why);
            continue;
        }
        EXPECT_EQ(request.path == nullptr ? "" : std::string(request.path), path == nullptr ? "" : path);
        EXPECT_EQ(request.directory == nullptr ? "" : std::string(request.directory),
                  directory == nullptr ? "" : directory);
    }
}

}  // namespace
}  // namespace kvf
