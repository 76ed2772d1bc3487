// SPDX-License-Identifier: MIT
#include "command_line.h"

namespace kvf {

namespace {

constexpr std::string_view HELP =
    "Usage: kvf_unpack [OPTION]... FILE\n"
    "Takes apart the KVF firmware-download container FILE: logs its frames to\n"
    "standard output and writes each run of contiguous flash data into an image\n"
    "file. Exit status 0 when FILE was walked to its end, 1 on any error, whose\n"
    "reason is also written to standard error.\n"
    "\n"
    "  -C DIR, --directory=DIR  make the images in DIR (made if missing, one\n"
    "                           level) instead of the working directory;\n"
    "                           --directory DIR as well\n"
    "  -t, --list               list the images FILE holds (address, length in\n"
    "                           bytes, name), making no folder and no file\n"
    "  --json                   log JSON Lines events instead of text, for programs\n"
    "  --strict                 fail (status 1) on a container cut short, without\n"
    "                           its ADMINEND frame and trailer\n"
    "  -h, --help               show this help\n"
    "  --version                show the version and the licence\n"
    "  --                       end of options: a FILE named --help is -- --help\n"
    "  FILE as -                read the container from standard input\n"
    "\n"
    "The format: " KVF_FORMAT_DOC
    "\n"
    "Manual: " KVF_MANUAL "\n";
constexpr std::string_view VERSION = "kvf_unpack " KVF_VERSION
                                     "\n"
                                     "Copyright (C) 2026 the kvf_unpack authors.\n"
                                     "License MIT: <https://opensource.org/license/mit>.\n"
                                     "This is free software: you are free to change and redistribute it.\n"
                                     "There is NO WARRANTY, to the extent permitted by law.\n";

// A request that the command line is wrong: `what` (an argument, or
// "command line") and why; the log's format asked for so far is kept.
Request usage_error(Request request, const char* what, const char* why) {
    request.kind = Request::Kind::usage_error;
    request.what = what;
    request.why = why;
    return request;
}

}  // namespace

Request parse_command_line(int argc, char** argv) {
    Request request;
    int files = 0;
    bool options_ended = false;
    bool json = false;
    bool list = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument = argv[i];
        if (options_ended || argument == "-" || !argument.starts_with('-')) {
            request.path = argv[i];
            ++files;
        } else if (argument == "--") {
            options_ended = true;
        } else if (argument == "--help" || argument == "-h" || argument == "--version") {
            if (request.kind == Request::Kind::unpack) {
                request.kind = argument == "--version" ? Request::Kind::version : Request::Kind::help;
            }
        } else if (argument == "--json") {
            json = true;
        } else if (argument == "-t" || argument == "--list") {
            list = true;
        } else if (argument == "--strict") {
            request.options.strict = true;
        } else if (argument == "-C" || argument == "--directory") {
            if (i + 1 == argc || *argv[i + 1] == '\0') {
                return usage_error(request, argv[i], "needs a directory");
            }
            request.directory = argv[++i];
        } else if (argument.starts_with("--directory=") ||
                   (argument.starts_with("-C") && !argument.starts_with("--"))) {
            request.directory = argv[i] + (argument[1] == 'C' ? 2 : std::string_view("--directory=").size());
            if (*request.directory == '\0') {
                return usage_error(request, argv[i], "needs a directory");
            }
        } else {
            return usage_error(request, argv[i], "unknown option (a file of this name is given as ./NAME or after --)");
        }
        request.options.format = json ? LogFormat::json : list ? LogFormat::list : LogFormat::text;
        request.options.write_images = !list;
    }
    if (request.kind == Request::Kind::unpack && files != 1) {
        return usage_error(request, "command line",
                           files == 0 ? "no FILE given (kvf_unpack [OPTION]... FILE)"
                                      : "more than one FILE given (kvf_unpack [OPTION]... FILE)");
    }
    return request;
}

std::string_view answer_text(Request::Kind kind) {
    return kind == Request::Kind::version ? VERSION : HELP;
}

}  // namespace kvf
